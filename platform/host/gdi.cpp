// Drawing of the Linux host: picture windows with a client area, their device
// contexts, and DrawDib stretching 24-bit bottom-up DIBs into them the way
// Video for Windows does (source rectangle from the picture's top-left
// corner, rows padded to four bytes, nearest-sample scaling).
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/host/host.h"
#include "platform/host/win32_api.h"

namespace vk::host {
namespace {

struct Surface {
  WindowPicture picture;
  PicturePresenter presenter;
};

struct GdiState {
  std::mutex mutex;
  std::map<HWND, Surface> surfaces;
  std::map<HDC, HWND> contexts;
  uintptr_t next_context = 0x20000;
  uintptr_t next_drawdib = 0x30000;
};

GdiState& Gdi() {
  static auto* state = new GdiState;
  return *state;
}

void Resize(WindowPicture& p, int width, int height) {
  p.width = std::max(width, 0);
  p.height = std::max(height, 0);
  p.bgr.assign(static_cast<size_t>(p.width) * p.height * 3, 0);
}

struct Rect {
  int x, y, width, height;
};

// Nearest-sample stretch of `src` (in picture coordinates, top-left origin)
// of the bottom-up DIB onto `dst` of the picture.
void Stretch(const BITMAPINFOHEADER& header, const uint8_t* bits, Rect src,
             Rect dst, WindowPicture& p) {
  const int dib_width = header.biWidth, dib_height = header.biHeight;
  const size_t stride = (static_cast<size_t>(dib_width) * 3 + 3) & ~size_t{3};
  for (int j = std::max(dst.y, 0); j < std::min(dst.y + dst.height, p.height); ++j) {
    const int sy = src.y + static_cast<int>(int64_t{j - dst.y} * src.height / dst.height);
    if (sy < 0 || sy >= dib_height) continue;
    const uint8_t* row = bits + stride * (dib_height - 1 - sy);
    uint8_t* out = p.bgr.data() + static_cast<size_t>(j) * p.width * 3;
    for (int i = std::max(dst.x, 0); i < std::min(dst.x + dst.width, p.width); ++i) {
      const int sx = src.x + static_cast<int>(int64_t{i - dst.x} * src.width / dst.width);
      if (sx < 0 || sx >= dib_width) continue;
      std::memcpy(out + i * 3, row + sx * 3, 3);
    }
  }
}

}  // namespace

HWND CreatePictureWindow(int width, int height) {
  HWND window = CreateMessageWindow();
  GdiState& g = Gdi();
  std::lock_guard lock(g.mutex);
  Resize(g.surfaces[window].picture, width, height);
  return window;
}

void SetClientSize(HWND window, int width, int height) {
  GdiState& g = Gdi();
  std::lock_guard lock(g.mutex);
  auto it = g.surfaces.find(window);
  if (it != g.surfaces.end()) Resize(it->second.picture, width, height);
}

WindowPicture PictureOf(HWND window) {
  GdiState& g = Gdi();
  std::lock_guard lock(g.mutex);
  auto it = g.surfaces.find(window);
  return it == g.surfaces.end() ? WindowPicture{} : it->second.picture;
}

void SetPicturePresenter(HWND window, PicturePresenter presenter) {
  GdiState& g = Gdi();
  std::lock_guard lock(g.mutex);
  auto it = g.surfaces.find(window);
  if (it != g.surfaces.end()) it->second.presenter = std::move(presenter);
}

void ForgetWindowSurface(HWND window) {
  GdiState& g = Gdi();
  std::lock_guard lock(g.mutex);
  g.surfaces.erase(window);
  std::erase_if(g.contexts, [&](const auto& c) { return c.second == window; });
}

}  // namespace vk::host

using vk::host::Gdi;
using vk::host::GdiState;

extern "C" {

HDC GetDC(HWND window) {
  GdiState& g = Gdi();
  std::lock_guard lock(g.mutex);
  if (!g.surfaces.count(window)) return nullptr;
  auto dc = reinterpret_cast<HDC>(g.next_context);
  g.next_context += 0x10;
  g.contexts[dc] = window;
  return dc;
}

int ReleaseDC(HWND, HDC dc) {
  GdiState& g = Gdi();
  std::lock_guard lock(g.mutex);
  return g.contexts.erase(dc) ? 1 : 0;
}

BOOL GetClientRect(HWND window, LPRECT rect) {
  GdiState& g = Gdi();
  std::lock_guard lock(g.mutex);
  auto it = g.surfaces.find(window);
  if (it == g.surfaces.end() || rect == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  *rect = RECT{0, 0, it->second.picture.width, it->second.picture.height};
  return TRUE;
}

HDRAWDIB DrawDibOpen() {
  GdiState& g = Gdi();
  std::lock_guard lock(g.mutex);
  auto drawdib = reinterpret_cast<HDRAWDIB>(g.next_drawdib);
  g.next_drawdib += 0x10;
  return drawdib;
}

BOOL DrawDibClose(HDRAWDIB drawdib) { return drawdib != nullptr; }

BOOL DrawDibDraw(HDRAWDIB drawdib, HDC dc, int x_dst, int y_dst, int dx_dst,
                 int dy_dst, LPBITMAPINFOHEADER header, LPVOID bits, int x_src,
                 int y_src, int dx_src, int dy_src, UINT) {
  if (drawdib == nullptr || header == nullptr || bits == nullptr ||
      header->biBitCount != 24 || header->biCompression != BI_RGB ||
      header->biWidth <= 0 || header->biHeight <= 0)
    return FALSE;
  if (dx_dst == -1) dx_dst = header->biWidth;
  if (dy_dst == -1) dy_dst = header->biHeight;
  if (dx_src < 0) dx_src = header->biWidth;
  if (dy_src < 0) dy_src = header->biHeight;
  vk::host::PicturePresenter presenter;
  vk::host::WindowPicture shown;
  {
    GdiState& g = Gdi();
    std::lock_guard lock(g.mutex);
    auto c = g.contexts.find(dc);
    if (c == g.contexts.end()) return FALSE;
    vk::host::Surface& surface = g.surfaces[c->second];
    if (dx_dst > 0 && dy_dst > 0 && dx_src > 0 && dy_src > 0) {
      vk::host::Stretch(*header, static_cast<const uint8_t*>(bits),
              {x_src, y_src, dx_src, dy_src}, {x_dst, y_dst, dx_dst, dy_dst},
              surface.picture);
    }
    ++surface.picture.draws;
    presenter = surface.presenter;
    if (presenter) shown = surface.picture;
  }
  if (presenter) presenter(shown);
  return TRUE;
}

int SetStretchBltMode(HDC dc, int) {
  GdiState& g = Gdi();
  std::lock_guard lock(g.mutex);
  return g.contexts.count(dc) ? COLORONCOLOR : 0;
}

// Rows of a bottom-up DIB count from the bottom: the source rectangle's
// top row in picture terms is height - y - dy.
int StretchDIBits(HDC dc, int x_dst, int y_dst, int dx_dst, int dy_dst, int x_src,
                  int y_src, int dx_src, int dy_src, const void* bits,
                  const BITMAPINFO* info, UINT, DWORD) {
  if (info == nullptr || bits == nullptr || info->bmiHeader.biBitCount != 24 ||
      info->bmiHeader.biHeight <= 0 || dx_dst <= 0 || dy_dst <= 0 || dx_src <= 0 ||
      dy_src <= 0)
    return 0;
  const int top = info->bmiHeader.biHeight - y_src - dy_src;
  vk::host::PicturePresenter presenter;
  vk::host::WindowPicture shown;
  {
    GdiState& g = Gdi();
    std::lock_guard lock(g.mutex);
    auto c = g.contexts.find(dc);
    if (c == g.contexts.end()) return 0;
    vk::host::Surface& surface = g.surfaces[c->second];
    vk::host::Stretch(info->bmiHeader, static_cast<const uint8_t*>(bits),
                      {x_src, top, dx_src, dy_src}, {x_dst, y_dst, dx_dst, dy_dst},
                      surface.picture);
    ++surface.picture.draws;
    presenter = surface.presenter;
    if (presenter) shown = surface.picture;
  }
  if (presenter) presenter(shown);
  return dy_src;
}

// The application-workspace colour of the default scheme.
HBRUSH GetSysColorBrush(int index) {
  return index == COLOR_APPWORKSPACE ? reinterpret_cast<HBRUSH>(0xABABAB + 1) : nullptr;
}

int FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
  if (rect == nullptr || brush == nullptr) return 0;
  const auto colour = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(brush) - 1);
  GdiState& g = Gdi();
  std::lock_guard lock(g.mutex);
  auto c = g.contexts.find(dc);
  if (c == g.contexts.end()) return 0;
  vk::host::WindowPicture& p = g.surfaces[c->second].picture;
  for (int y = std::max<int>(rect->top, 0); y < std::min<int>(rect->bottom, p.height); ++y) {
    for (int x = std::max<int>(rect->left, 0); x < std::min<int>(rect->right, p.width); ++x) {
      uint8_t* px = p.bgr.data() + (static_cast<size_t>(y) * p.width + x) * 3;
      px[0] = colour & 0xFF;
      px[1] = (colour >> 8) & 0xFF;
      px[2] = (colour >> 16) & 0xFF;
    }
  }
  return 1;
}

}  // extern "C"

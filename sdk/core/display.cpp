// The preview display: DrawDib stretches the pipeline's bottom-up RGB24
// image over the window's client area, from the display source rectangle.
#include "sdk/core/camera.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vk {

int CCamera::SetupDisplay(HWND window) {
  display_window_ = window;
  if (window) {
    display_dc_ = GetDC(window);
    drawdib_ = DrawDibOpen();
  }
  display_header_ = {};
  display_header_.biSize = sizeof(BITMAPINFOHEADER);
  display_header_.biWidth = width_;
  display_header_.biHeight = height_;
  display_header_.biPlanes = 1;
  display_header_.biBitCount = 24;
  display_header_.biCompression = BI_RGB;
  // DrawDib reads rows padded to four bytes; the pipeline's rows are not
  // when width x 3 is not a multiple of four, so such images are drawn
  // from a padded copy.
  display_rows_.reset();
  if (window && DisplayStride() != DisplayRowBytes()) {
    display_rows_.reset(
        new (std::nothrow) uint8_t[DisplayStride() * display_header_.biHeight]);
  }
  return 1;
}

size_t CCamera::DisplayRowBytes() const {
  return static_cast<size_t>(display_header_.biWidth) * 3;
}

size_t CCamera::DisplayStride() const {
  return (DisplayRowBytes() + 3) & ~size_t{3};
}

const uint8_t* CCamera::PaddedForDisplay(const uint8_t* image) {
  if (DisplayStride() == DisplayRowBytes()) return image;
  if (!display_rows_) return nullptr;
  for (int32_t y = 0; y < display_header_.biHeight; ++y) {
    std::memcpy(display_rows_.get() + DisplayStride() * y,
                image + DisplayRowBytes() * y, DisplayRowBytes());
  }
  return display_rows_.get();
}

void CCamera::Draw(const uint8_t* image) {
  if (display_window_ == nullptr) return;
  const uint8_t* bits = PaddedForDisplay(image);
  if (bits == nullptr) return;  // no memory for the padded copy
  RECT client = {};
  GetClientRect(display_window_, &client);
  DrawDibDraw(drawdib_, display_dc_, 0, 0, client.right - client.left,
              client.bottom - client.top, &display_header_,
              const_cast<uint8_t*>(bits), display_rect_[0], display_rect_[1],
              display_rect_[2], display_rect_[3], 0);
}

int CCamera::SetDisplayRect(uint16_t x, uint16_t y, uint16_t width,
                            uint16_t height) {
  if (x > width_ || y > height_ || width > width_ - x || height > height_ - y)
    return 0;
  display_rect_[0] = x;
  display_rect_[1] = y;
  display_rect_[2] = std::min<int32_t>(width, width_ - x);
  display_rect_[3] = std::min<int32_t>(height, height_ - y);
  return 1;
}

}  // namespace vk

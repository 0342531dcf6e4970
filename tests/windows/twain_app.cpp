// A TWAIN application for the data source under a source manager: the
// system's own (twain_32.dll, 1.x) or a 2.x manager (TWAINDSM.dll), named
// by the first argument, on a (virtual) desktop.
//
// With no camera attached (no further argument): it finds and opens the
// source and negotiates capabilities; enables it without its user interface
// and checks that the announced transfer is refused cleanly; then enables
// it with its dialog, looks at the real controls, opens and closes the
// settings sheet and cancels the dialog as a user would. A watcher thread
// plays the user: it answers the message box that reports the missing
// camera and closes the modal sheet.
//
// With a camera ("acquire DIR [ui]"): it acquires one image by each
// transfer mechanism as a plain application does (ICAP_XFERMECH set, the
// source enabled without its user interface, the announced transfer taken,
// MSG_ENDXFER, MSG_DISABLEDS): the native transfer's DIB as DIR\native.bmp
// (the DIB exactly as handed over, behind a file header), the memory
// transfer's rows as DIR\memory.ppm (the bytes exactly as transferred, behind
// a PPM header of the columns and rows it reported), and the file transfer
// into DIR\file.bmp; with "ui" also through the source's dialog: Capture
// pressed once images show, the native transfer as DIR\dialog.bmp. The
// pictures are compared by the caller.
//
// Under a 2.x manager the source must have been handed its entry points
// (it announces DF_DS2), and every container is the manager's memory, as
// the application takes and frees it through the manager's functions.
// Prints each step; exits 0 when every step behaved.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "twain/protocol/twain.h"

using namespace vk::twain;

namespace {

int g_failures = 0;
HWND g_window = nullptr;

bool Check(bool ok, const char* step) {
  std::printf("%s  %s\n", ok ? "ok  " : "FAIL", step);
  std::fflush(stdout);
  if (!ok) ++g_failures;
  return ok;
}

class Session {
 public:
  explicit Session(DSMENTRYPROC entry) : entry_(entry) {
    app_.Version.MajorNum = 1;
    app_.ProtocolMajor = 1;
    app_.ProtocolMinor = 9;
    app_.SupportedGroups = DG_CONTROL | DG_IMAGE;
    std::strcpy(app_.Manufacturer, "Velmoran");
    std::strcpy(app_.ProductFamily, "Checks");
    std::strcpy(app_.ProductName, "wine_twain_app");
  }
  TW_UINT16 Manager(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    return entry_(&app_, nullptr, group, dat, msg, data);
  }
  TW_UINT16 Source(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    return entry_(&app_, &source_, group, dat, msg, data);
  }
  TW_UINT16 Condition() {
    TW_STATUS status = {};
    Source(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    return status.ConditionCode;
  }
  TW_IDENTITY& source() { return source_; }

  // A 2.x manager's memory functions, when it gives them; else the
  // platform's global memory.
  bool TakeEntryPoints() {
    return Manager(DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &points_) == TWRC_SUCCESS;
  }
  TW_HANDLE Allocate(TW_UINT32 bytes) {
    return points_.DSM_MemAllocate ? points_.DSM_MemAllocate(bytes) : GlobalAlloc(GHND, bytes);
  }
  void* Lock(TW_HANDLE h) { return points_.DSM_MemLock ? points_.DSM_MemLock(h) : GlobalLock(h); }
  void Unlock(TW_HANDLE h) {
    if (points_.DSM_MemUnlock) {
      points_.DSM_MemUnlock(h);
    } else {
      GlobalUnlock(h);
    }
  }
  void Free(TW_HANDLE h) {
    if (points_.DSM_MemFree) {
      points_.DSM_MemFree(h);
    } else {
      GlobalFree(h);
    }
  }

 private:
  TW_ENTRYPOINT points_ = {};
  DSMENTRYPROC entry_;
  TW_IDENTITY app_ = {};
  TW_IDENTITY source_ = {};
};

// The current value of a one-value capability, or -1.
long CurrentValue(Session& s, TW_UINT16 cap) {
  TW_CAPABILITY c = {cap, 0, nullptr};
  if (s.Source(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &c) != TWRC_SUCCESS) return -1;
  long value = -1;
  if (c.ConType == TWON_ONEVALUE) {
    const auto* one = static_cast<const TW_ONEVALUE*>(s.Lock(c.hContainer));
    value = static_cast<long>(one->Item);
    s.Unlock(c.hContainer);
  }
  s.Free(c.hContainer);
  return value;
}

bool SetTransferCount(Session& s, TW_INT16 count) {
  TW_CAPABILITY c = {CAP_XFERCOUNT, TWON_ONEVALUE, s.Allocate(sizeof(TW_ONEVALUE))};
  auto* one = static_cast<TW_ONEVALUE*>(s.Lock(c.hContainer));
  one->ItemType = TWTY_INT16;
  one->Item = static_cast<TW_UINT32>(static_cast<TW_UINT16>(count));
  s.Unlock(c.hContainer);
  const bool ok = s.Source(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c) == TWRC_SUCCESS;
  s.Free(c.hContainer);
  return ok;
}

// Pumps the thread's messages through the source until it sends
// `expected` (MSG_XFERREADY, MSG_CLOSEDSREQ), for at most `ms` milliseconds.
bool PumpUntil(Session& s, TW_UINT16 expected, DWORD ms) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      // An idle application still sees messages (timers, paints); the
      // source manager re-posts a notification a modal loop swallowed when
      // the next message passes through it.
      if (g_window) PostMessageA(g_window, WM_NULL, 0, 0);
      Sleep(10);
      continue;
    }
    TW_EVENT event = {&msg, MSG_NULL};
    if (s.Source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) == TWRC_DSEVENT) {
      if (expected != MSG_NULL && event.TWMessage == expected) return true;
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return false;
}

// ---- The watcher: what a user at the desktop does ----

std::atomic<bool> g_watching{true};
std::atomic<bool> g_watcher_done{false};
std::atomic<int> g_camera_messages{0};
std::atomic<int> g_sheets_closed{0};
std::atomic<int> g_gamma_range_max{-1};

std::string TextOf(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof(text));
  return text;
}

BOOL CALLBACK FindText(HWND child, LPARAM found) {
  if (TextOf(child) == "Failed to preview PLV210!") *reinterpret_cast<bool*>(found) = true;
  return TRUE;
}

// One look at this process's top-level windows.
BOOL CALLBACK Look(HWND window, LPARAM) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
  const std::string title = TextOf(window);
  bool camera_message = false;
  EnumChildWindows(window, &FindText, reinterpret_cast<LPARAM>(&camera_message));
  if (camera_message) {
    ++g_camera_messages;
    PostMessageA(window, WM_COMMAND, IDOK, 0);
  } else if (title == "PLV210 Settings") {
    // The page is the sheet's child dialog holding the gamma trackbar.
    HWND page = FindWindowExA(window, nullptr, "#32770", nullptr);
    HWND gamma = page ? GetDlgItem(page, 1011) : nullptr;
    if (gamma) g_gamma_range_max = static_cast<int>(SendMessageA(gamma, 0x0402, 0, 0));
    PostMessageA(window, WM_COMMAND, IDOK, 0);  // the sheet's OK button
    ++g_sheets_closed;
  }
  return TRUE;
}

void Watch() {
  while (g_watching) {
    EnumWindows(&Look, 0);
    Sleep(50);
  }
  g_watcher_done = true;
}

HWND SourceDialog() { return FindWindowA("#32770", "PLV210 USB2.0 Camera"); }

// ---- Without a camera ----

void WithoutCamera(Session& s, HWND window) {
  Check(SetTransferCount(s, 1) && CurrentValue(s, CAP_XFERCOUNT) == 1,
        "CAP_XFERCOUNT set to 1");
  TW_CAPABILITY unknown = {0x7FFF, 0, nullptr};
  Check(s.Source(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &unknown) == TWRC_FAILURE,
        "an unknown capability is refused");

  std::thread watcher(&Watch);
  TW_USERINTERFACE ui = {FALSE, FALSE, window};
  Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS,
        "MSG_ENABLEDS without the user interface");
  Check(PumpUntil(s, MSG_XFERREADY, 5000), "MSG_XFERREADY arrives through the manager");
  TW_HANDLE dib = nullptr;
  Check(s.Source(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) == TWRC_FAILURE &&
            dib == nullptr && s.Condition() == TWCC_OPERATIONERROR,
        "the native transfer is refused without a camera");
  TW_PENDINGXFERS pending = {};
  Check(s.Source(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending) == TWRC_SUCCESS &&
            pending.Count == 0,
        "MSG_RESET of the pending transfers");
  Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui) == TWRC_SUCCESS,
        "MSG_DISABLEDS");
  Check(SourceDialog() == nullptr, "the dialog is gone");

  // With the dialog: the real controls, the settings sheet, and Cancel.
  ui.ShowUI = TRUE;
  Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS,
        "MSG_ENABLEDS with the user interface");
  PumpUntil(s, MSG_NULL, 1000);  // the camera's failure arrives and is answered
  HWND dialog = SourceDialog();
  Check(dialog != nullptr && IsWindowVisible(dialog), "the source dialog shows");
  Check(dialog && SendMessageA(GetDlgItem(dialog, 1132), CB_GETCOUNT, 0, 0) == 3,
        "the resolution list holds the three sizes");
  Check(dialog && !IsWindowEnabled(GetDlgItem(dialog, 1134)),
        "Capture stays disabled without an image");
  Check(g_camera_messages >= 1, "\"Failed to preview PLV210!\" was shown");
  PostMessageA(dialog, WM_COMMAND, 1135, 0);  // Settings...
  PumpUntil(s, MSG_NULL, 1500);
  Check(g_sheets_closed == 1 && g_gamma_range_max == 250,
        "the settings sheet opened with its page (gamma up to 250) and closed");
  PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  Check(PumpUntil(s, MSG_CLOSEDSREQ, 5000), "Cancel asks the application to close");
  Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui) == TWRC_SUCCESS &&
            SourceDialog() == nullptr,
        "MSG_DISABLEDS closes the dialog");
  // The watcher reads window texts, which this thread answers: keep
  // pumping until it has stopped.
  g_watching = false;
  while (!g_watcher_done) PumpUntil(s, MSG_NULL, 20);
  watcher.join();
}

// ---- With a camera ----

constexpr TW_UINT16 kNative = 0, kFile = 1, kMemory = 2;  // TWSX_*
// How long a step may wait for the source: an image comes once the camera
// has been opened and has sent a frame, which a loaded machine under Wine
// takes its time over.
constexpr DWORD kPatienceMs = 60000;

bool SetOneValue(Session& s, TW_UINT16 cap, TW_UINT16 type, TW_UINT32 value) {
  TW_CAPABILITY c = {cap, TWON_ONEVALUE, s.Allocate(sizeof(TW_ONEVALUE))};
  auto* one = static_cast<TW_ONEVALUE*>(s.Lock(c.hContainer));
  one->ItemType = type;
  one->Item = value;
  s.Unlock(c.hContainer);
  const bool ok =
      s.Source(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c) == TWRC_SUCCESS;
  s.Free(c.hContainer);
  return ok;
}

bool WriteFileBytes(const std::string& path, const void* head,
                    size_t head_bytes, const void* body, size_t body_bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(head, 1, head_bytes, f) == head_bytes &&
            std::fwrite(body, 1, body_bytes, f) == body_bytes;
  return std::fclose(f) == 0 && ok;
}

// The packed DIB of a native transfer behind a BMP file header, its bytes
// as handed over; what its header says is printed.
bool SaveNative(Session& s, TW_HANDLE dib, const std::string& path) {
  const auto* p = static_cast<const uint8_t*>(s.Lock(dib));
  if (!p) return false;
  BITMAPINFOHEADER h;
  std::memcpy(&h, p, sizeof(h));
  std::printf(
      "      DIB header: %ld x %ld, %u bits, compression %lu, %lu colours, %lu "
      "bytes\n",
      static_cast<long>(h.biWidth), static_cast<long>(h.biHeight), h.biBitCount,
      static_cast<unsigned long>(h.biCompression),
      static_cast<unsigned long>(h.biClrUsed),
      static_cast<unsigned long>(h.biSizeImage));
  const size_t stride =
      ((static_cast<size_t>(h.biWidth) * h.biBitCount + 31) / 32) * 4;
  const size_t rows =
      static_cast<size_t>(h.biHeight < 0 ? -h.biHeight : h.biHeight);
  const size_t bytes = h.biSize + h.biClrUsed * 4 + stride * rows;
  bool ok = h.biSize >= sizeof(h) && h.biWidth > 0 && rows > 0;
  if (ok) {
    uint8_t file[14] = {'B', 'M'};
    const uint32_t size = static_cast<uint32_t>(14 + bytes);
    const uint32_t offset =
        static_cast<uint32_t>(14 + h.biSize + h.biClrUsed * 4);
    std::memcpy(file + 2, &size, 4);
    std::memcpy(file + 10, &offset, 4);
    ok = WriteFileBytes(path, file, sizeof(file), p, bytes);
  }
  s.Unlock(dib);
  return ok;
}

// Ends the transfer; the source must have nothing more pending.
void EndTransfer(Session& s) {
  TW_PENDINGXFERS pending = {};
  Check(s.Source(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending) ==
                TWRC_SUCCESS &&
            pending.Count == 0,
        "MSG_ENDXFER, nothing more pending");
}

// Enabled without the user interface, the transfer announced is taken by
// `mechanism` into `path`; then MSG_ENDXFER and MSG_DISABLEDS.
bool AcquireWithout(Session& s, HWND window, TW_UINT16 mechanism,
                    const std::string& path) {
  const char* name = mechanism == kNative   ? "native"
                     : mechanism == kMemory ? "memory"
                                            : "file";
  std::printf("---- %s transfer, without the user interface\n", name);
  Check(SetOneValue(s, ICAP_XFERMECH, TWTY_UINT16, mechanism) &&
            CurrentValue(s, ICAP_XFERMECH) == mechanism,
        "ICAP_XFERMECH set");
  TW_USERINTERFACE ui = {FALSE, FALSE, window};
  if (!Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) ==
                 TWRC_SUCCESS,
             "MSG_ENABLEDS without the user interface")) {
    std::printf("      condition %u\n", s.Condition());
    return false;
  }
  bool done = false;
  const bool ready = PumpUntil(s, MSG_XFERREADY, kPatienceMs);
  Check(ready, "MSG_XFERREADY arrives through the manager");
  if (ready) {
    TW_IMAGEINFO info = {};
    const bool known =
        s.Source(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info) == TWRC_SUCCESS;
    std::printf(
        "      image information: %ld x %ld, %d bits per pixel, %d samples, "
        "pixel type %d\n",
        static_cast<long>(info.ImageWidth), static_cast<long>(info.ImageLength),
        info.BitsPerPixel, info.SamplesPerPixel, info.PixelType);
    Check(known && info.BitsPerPixel == 24 && info.SamplesPerPixel == 3 &&
              info.PixelType == TWPT_RGB,
          "DAT_IMAGEINFO: 24-bit RGB");
    if (mechanism == kNative) {
      TW_HANDLE dib = nullptr;
      done = s.Source(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) ==
                 TWRC_XFERDONE &&
             dib != nullptr && SaveNative(s, dib, path);
      if (dib) s.Free(dib);
    } else if (mechanism == kMemory) {
      TW_SETUPMEMXFER setup = {};
      s.Source(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
      std::printf(
          "      memory set-up: minimum %lu, preferred %lu, maximum %lu "
          "bytes\n",
          static_cast<unsigned long>(setup.MinBufSize),
          static_cast<unsigned long>(setup.Preferred),
          static_cast<unsigned long>(setup.MaxBufSize));
      // Strips until the source says the image is done; each is stored
      // where its offset and rows put it.
      const size_t row = static_cast<size_t>(info.ImageWidth) * 3;
      std::string pixels(row * static_cast<size_t>(info.ImageLength), '\0');
      TW_HANDLE block = s.Allocate(setup.Preferred);
      auto* memory = static_cast<uint8_t*>(s.Lock(block));
      TW_UINT16 rc = TWRC_SUCCESS;
      bool laid_out = memory != nullptr;
      for (int strip = 0; laid_out && rc == TWRC_SUCCESS && strip < 100000;
           ++strip) {
        TW_IMAGEMEMXFER t = {};
        t.Memory = {0x9 /* TWMF_APPOWNS | TWMF_POINTER */, setup.Preferred,
                    memory};
        rc = s.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &t);
        if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE) break;
        std::printf(
            "      strip: %lu columns, %lu rows at row %lu, %lu bytes per row, "
            "%lu bytes written, compression %u\n",
            static_cast<unsigned long>(t.Columns),
            static_cast<unsigned long>(t.Rows),
            static_cast<unsigned long>(t.YOffset),
            static_cast<unsigned long>(t.BytesPerRow),
            static_cast<unsigned long>(t.BytesWritten), t.Compression);
        laid_out =
            t.Compression == 0 && t.Columns == TW_UINT32(info.ImageWidth) &&
            t.XOffset == 0 && t.BytesPerRow >= row &&
            t.YOffset + t.Rows <= TW_UINT32(info.ImageLength) &&
            t.BytesWritten >= t.BytesPerRow * (t.Rows ? t.Rows - 1 : 0) + row &&
            t.Memory.TheMem == memory;
        for (TW_UINT32 y = 0; laid_out && y < t.Rows; ++y)
          std::memcpy(&pixels[(t.YOffset + y) * row],
                      memory + y * t.BytesPerRow, row);
      }
      if (block) {
        s.Unlock(block);
        s.Free(block);
      }
      const std::string head = "P6\n" + std::to_string(info.ImageWidth) + " " +
                               std::to_string(info.ImageLength) + "\n255\n";
      done = laid_out && rc == TWRC_XFERDONE &&
             WriteFileBytes(path, head.data(), head.size(), pixels.data(),
                            pixels.size());
    } else {
      TW_SETUPFILEXFER setup = {};
      std::strncpy(setup.FileName, path.c_str(), sizeof(setup.FileName) - 1);
      setup.Format = TWFF_BMP;
      done = s.Source(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) ==
                 TWRC_SUCCESS &&
             s.Source(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) ==
                 TWRC_XFERDONE;
    }
    if (!Check(
            done,
            (std::string("the ") + name + " transfer, into " + path).c_str()))
      std::printf("      condition %u\n", s.Condition());
    EndTransfer(s);
  }
  Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui) ==
            TWRC_SUCCESS,
        "MSG_DISABLEDS");
  return done;
}

// Through the source's dialog: Capture once the camera's images show, the
// native transfer into `path`.
void AcquireWithDialog(Session& s, HWND window, const std::string& path) {
  std::printf("---- native transfer through the dialog\n");
  Check(SetOneValue(s, ICAP_XFERMECH, TWTY_UINT16, kNative),
        "ICAP_XFERMECH set to native");
  TW_USERINTERFACE ui = {TRUE, FALSE, window};
  if (!Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) ==
                 TWRC_SUCCESS,
             "MSG_ENABLEDS with the user interface")) {
    std::printf("      condition %u\n", s.Condition());
    return;
  }
  HWND dialog = SourceDialog();
  Check(dialog != nullptr && IsWindowVisible(dialog),
        "the source dialog shows");
  // Capture is enabled by the first image: wait for it as a user would.
  const DWORD start = GetTickCount();
  HWND capture = dialog ? GetDlgItem(dialog, 1134) : nullptr;
  while (capture && !IsWindowEnabled(capture) && g_camera_messages == 0 &&
         GetTickCount() - start < kPatienceMs)
    PumpUntil(s, MSG_NULL, 50);
  Check(g_camera_messages == 0, "no \"Failed to preview PLV210!\"");
  Check(capture && IsWindowEnabled(capture),
        "Capture is enabled once images show");
  // More images, so that the picture is the camera's steady one.
  PumpUntil(s, MSG_NULL, 1000);
  PostMessageA(dialog, WM_COMMAND, 1134, 0);
  const bool ready = PumpUntil(s, MSG_XFERREADY, kPatienceMs);
  Check(ready, "Capture announces a transfer");
  if (ready) {
    TW_HANDLE dib = nullptr;
    const bool done = s.Source(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) ==
                          TWRC_XFERDONE &&
                      dib != nullptr && SaveNative(s, dib, path);
    if (dib) s.Free(dib);
    Check(done, ("the native transfer, into " + path).c_str());
    EndTransfer(s);
  }
  Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui) ==
                TWRC_SUCCESS &&
            SourceDialog() == nullptr,
        "MSG_DISABLEDS closes the dialog");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string name = argc > 1 ? argv[1] : "twain_32.dll";
  const bool acquire = argc > 3 && std::string(argv[2]) == "acquire";
  const std::string out = acquire ? std::string(argv[3]) + "\\" : "";
  const bool with_dialog = acquire && argc > 4 && std::string(argv[4]) == "ui";
  HMODULE manager = LoadLibraryA(name.c_str());
  Check(manager != nullptr, ("the source manager " + name + " loads").c_str());
  if (!manager) return 1;
  auto entry = reinterpret_cast<DSMENTRYPROC>(
      reinterpret_cast<void*>(GetProcAddress(manager, "DSM_Entry")));
  Check(entry != nullptr, "it exports DSM_Entry");
  if (!entry) return 1;
  HWND window = CreateWindowExA(0, "STATIC", "wine_twain_app", 0, 0, 0, 10, 10, nullptr,
                                nullptr, GetModuleHandleA(nullptr), nullptr);
  g_window = window;
  Check(window != nullptr, "the application's window is made");
  Session s(entry);

  Check(s.Manager(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &window) == TWRC_SUCCESS,
        "MSG_OPENDSM");
  const bool found =
      s.Manager(DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &s.source()) == TWRC_SUCCESS;
  std::printf("      source \"%s\" by \"%s\"\n", s.source().ProductName,
              s.source().Manufacturer);
  Check(found && std::strstr(s.source().ProductName, "PLV210") != nullptr,
        "the manager lists the data source");
  Check((s.source().SupportedGroups & DF_DS2) != 0, "the source announces DF_DS2");
  const bool version2 = s.TakeEntryPoints();
  std::printf("      a %s source manager\n", version2 ? "2.x" : "1.x");
  Check(s.Manager(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &s.source()) == TWRC_SUCCESS,
        "MSG_OPENDS");

  Check(CurrentValue(s, ICAP_PIXELTYPE) == TWPT_RGB, "ICAP_PIXELTYPE is RGB");
  Check(CurrentValue(s, ICAP_BITDEPTH) == 24, "ICAP_BITDEPTH is 24");
  if (acquire) {
    // The watcher answers the source's message box should the camera fail,
    // so that a failure ends the session rather than hangs it.
    std::thread watcher(&Watch);
    // A camera that gives no image fails the first transfer: the others
    // would only wait for it again.
    if (AcquireWithout(s, window, kNative, out + "native.bmp") &&
        AcquireWithout(s, window, kMemory, out + "memory.ppm") &&
        AcquireWithout(s, window, kFile, out + "file.bmp") && with_dialog)
      AcquireWithDialog(s, window, out + "dialog.bmp");
    g_watching = false;
    while (!g_watcher_done) PumpUntil(s, MSG_NULL, 20);
    watcher.join();
  } else {
    WithoutCamera(s, window);
  }

  Check(s.Manager(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &s.source()) == TWRC_SUCCESS,
        "MSG_CLOSEDS");
  Check(s.Manager(DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window) == TWRC_SUCCESS,
        "MSG_CLOSEDSM");
  if (window) DestroyWindow(window);
  std::printf("%d failed\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}

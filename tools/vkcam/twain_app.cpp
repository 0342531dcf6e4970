// vkcam twain: a small TWAIN source manager and application in one. It
// first takes the SDK's picture of the camera at the source's frame size,
// as the reference every transfer is checked against. Then it loads
// PLV210.ds by path and plays the source manager (a 2.x manager as the
// TWAIN Working Group's behaves, or with --manager 1 a 1.x manager reached
// as "twain_32.dll"), opens the source, lists every capability with its
// container, enables it without user interface and acquires one image by
// each of the native, memory and file transfers, then enables it again
// with its dialog and acquires by Capture. Each image is written as a BMP
// and must show the reference's picture upright with its colours right.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sdk/include/VKCAMSDK.h"
#include "tools/vkcam/commands.h"
#include "tools/vkcam/options.h"
#include "tools/vkcam/picture_check.h"
#include "tools/vkcam/session.h"
#include "tools/vkcam/twain_manager.h"
#include "twain/dialog/control_ids.h"
#include "twain/protocol/data_source.h"
#include "twain/protocol/twain.h"

using namespace vk::twain;

namespace vk::tools {
namespace {

constexpr UINT kFrameNotify = 1124;
constexpr int kSourceResolution = 1;  // the source's default: 1024 x 768

TW_IDENTITY AppIdentity(const TwainManager& manager) {
  TW_IDENTITY id = {};
  id.Id = 1;
  id.Version = {1, 0, 13, 1, "vkcam twain"};
  id.ProtocolMajor = manager.version() >= 2 ? 2 : 1;
  id.ProtocolMinor = manager.version() >= 2 ? 4 : 9;
  id.SupportedGroups =
      DG_CONTROL | DG_IMAGE | (manager.version() >= 2 ? DF_APP2 : 0);
  std::strcpy(id.Manufacturer, "vkcam");
  std::strcpy(id.ProductFamily, "tools");
  std::strcpy(id.ProductName, "vkcam twain");
  return id;
}

const char* ContainerName(TW_UINT16 c) {
  switch (c) {
    case TWON_ARRAY:
      return "array";
    case TWON_ENUMERATION:
      return "enumeration";
    case TWON_ONEVALUE:
      return "one value";
    case TWON_RANGE:
      return "range";
    default:
      return "?";
  }
}

bool WriteBmp(const std::string& path, const Picture& picture) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const size_t row = static_cast<size_t>(picture.width) * 3,
               stride = (row + 3) & ~size_t{3};
  const uint32_t pixels = static_cast<uint32_t>(stride * picture.height);
  uint8_t header[54] = {'B', 'M'};
  const uint32_t size = 54 + pixels, offset = 54, info = 40,
                 planes_bits = 1 | 24 << 16;
  std::memcpy(header + 2, &size, 4);
  std::memcpy(header + 10, &offset, 4);
  std::memcpy(header + 14, &info, 4);
  std::memcpy(header + 18, &picture.width, 4);
  std::memcpy(header + 22, &picture.height, 4);
  std::memcpy(header + 26, &planes_bits, 4);
  std::memcpy(header + 34, &pixels, 4);
  bool ok = std::fwrite(header, 1, 54, f) == 54;
  std::vector<uint8_t> out(stride, 0);
  for (int y = picture.height - 1; y >= 0 && ok; --y) {
    const uint8_t* in = &picture.rgb[row * y];
    for (size_t x = 0; x < row; x += 3) {
      out[x] = in[x + 2];
      out[x + 1] = in[x + 1];
      out[x + 2] = in[x];
    }
    ok = std::fwrite(out.data(), 1, stride, f) == stride;
  }
  return std::fclose(f) == 0 && ok;
}

// The picture of a packed DIB (header and pixels) as its header says.
Picture FromPackedDib(const uint8_t* dib) {
  BITMAPINFOHEADER h;
  std::memcpy(&h, dib, sizeof(h));
  if (h.biBitCount != 24 || h.biWidth <= 0 || h.biHeight == 0) return {};
  const size_t stride = ((static_cast<size_t>(h.biWidth) * 24 + 31) >> 5) * 4;
  const int height = h.biHeight > 0 ? h.biHeight : -h.biHeight;
  return FromDib(dib + h.biSize + h.biClrUsed * 4, h.biWidth, height, stride,
                 h.biHeight < 0);
}

Picture ReadBmp(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0)
      bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
  }
  if (bytes.size() < 54) return {};
  return FromPackedDib(bytes.data() + 14);
}

// The SDK's picture of the camera at the source's frame size, once its
// exposure has settled: what every transfer must show.
Picture SdkReference(double settle_frames) {
  char name[] = "--resolution";
  std::string resolution = std::to_string(kSourceResolution);
  char* argv[] = {name, resolution.data()};
  Session session(Options(2, argv, 0));
  if (!session.ok()) return {};
  // Frame by frame: a slow build takes its time, a camera that stopped
  // sending ends it.
  for (int i = 0; i < static_cast<int>(settle_frames); ++i)
    if (!session.WaitForFrames(1)) return {};
  std::vector<uint8_t> rgb24(static_cast<size_t>(session.width()) *
                             session.height() * 3);
  if (CameraGrabFrame(rgb24.data()) != 1) return {};
  // The SDK's RGB24 image is a bottom-up DIB's pixels.
  return FromDib(rgb24.data(), session.width(), session.height(),
                 static_cast<size_t>(session.width()) * 3, false);
}

// The application and the manager it goes through.
class TwainSession {
 public:
  TwainSession(DSENTRYPROC entry, const TwainManager& manager)
      : entry_(entry), manager_(manager), app_(AppIdentity(manager)) {}

  TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) {
    return entry_(&app_, dg, dat, msg, data);
  }
  TW_UINT16 Condition() {
    TW_STATUS status = {};
    Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    return status.ConditionCode;
  }
  const TwainManager& manager() const { return manager_; }
  bool Open(TW_IDENTITY* source) {
    return manager_.OpenSource(entry_, &app_, source) == TWRC_SUCCESS;
  }

  void ListCapabilities() {
    TW_CAPABILITY caps = {CAP_SUPPORTEDCAPS, 0, nullptr};
    if (Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &caps) != TWRC_SUCCESS) {
      std::printf("  no capability list (condition %u)\n", Condition());
      return;
    }
    const auto* list =
        static_cast<const uint8_t*>(manager_.Lock(caps.hContainer));
    uint32_t count;
    std::memcpy(&count, list + 2, 4);
    std::vector<uint16_t> ids(count);
    std::memcpy(ids.data(), list + 6, ids.size() * 2);
    manager_.Unlock(caps.hContainer);
    manager_.Free(caps.hContainer);
    for (const uint16_t id : ids) {
      TW_CAPABILITY c = {id, 0, nullptr};
      if (Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &c) != TWRC_SUCCESS) {
        std::printf("  0x%04X  not answered (condition %u)\n", id, Condition());
        continue;
      }
      const auto* p = static_cast<const uint8_t*>(manager_.Lock(c.hContainer));
      uint16_t type;
      std::memcpy(&type, p, 2);
      std::printf("  0x%04X  %-11s item type %u\n", id,
                  ContainerName(c.ConType), type);
      manager_.Unlock(c.hContainer);
      manager_.Free(c.hContainer);
    }
  }

  bool Enable(bool show_ui) {
    TW_USERINTERFACE ui = {static_cast<TW_BOOL>(show_ui), 0, nullptr};
    return Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) ==
           TWRC_SUCCESS;
  }
  // The application's message loop: every message is offered to the source
  // (MSG_PROCESSEVENT), which is how its dialog sees the camera's images,
  // and between events it takes the notice the manager keeps for it. Runs
  // until the source announces a transfer (when `until_ready`) or `images`
  // more images were made; gives up when `seconds` pass without an image
  // or the notice.
  bool Pump(int images, double seconds, bool until_ready) {
    const int target = images_ + images;
    const auto patience = std::chrono::duration<double>(seconds);
    auto end = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < end) {
      if (TwainManager::TakeNotice() == MSG_XFERREADY) ready_ = true;
      if (until_ready ? ready_ : images_ >= target) return true;
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == kFrameNotify) {
          dialog_ = msg.hwnd;
          if (msg.wParam == 1) {
            ++images_;
            end = std::chrono::steady_clock::now() + patience;
          }
        }
        TW_EVENT event = {&msg, 0};
        Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  // Presses the dialog's Capture button: the source announces a transfer.
  bool Capture() {
    if (dialog_) SendMessageA(dialog_, WM_COMMAND, IDC_CAPTURE, 0);
    return Pump(0, 5, true);
  }
  // The transfer the application was told of is taken.
  void Taken() { ready_ = false; }
  void EndTransfer() {
    TW_PENDINGXFERS pending = {};
    Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
  }
  void Disable() {
    TW_USERINTERFACE ui = {};
    Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    dialog_ = nullptr;
  }
  void Close(TW_IDENTITY* source) {
    Disable();
    Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, source);
  }

 private:
  DSENTRYPROC entry_;
  const TwainManager& manager_;
  TW_IDENTITY app_;
  HWND dialog_ = nullptr;
  int images_ = 0;
  bool ready_ = false;
};

Picture Native(TwainSession& s) {
  TW_HANDLE dib = nullptr;
  if (s.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) != TWRC_XFERDONE ||
      !dib)
    return {};
  const auto* p = static_cast<const uint8_t*>(s.manager().Lock(dib));
  Picture picture = FromPackedDib(p);
  s.manager().Unlock(dib);
  s.manager().Free(dib);
  return picture;
}

// TWAIN's memory transfer of RGB: rows top-down, red, green, blue.
Picture Memory(TwainSession& s) {
  TW_IMAGEINFO info = {};
  if (s.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info) != TWRC_SUCCESS)
    return {};
  TW_SETUPMEMXFER setup = {};
  s.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
  TW_HANDLE block = s.manager().Allocate(setup.Preferred);
  TW_IMAGEMEMXFER t = {};
  t.Memory = {0, setup.Preferred, s.manager().Lock(block)};
  Picture picture;
  if (s.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &t) == TWRC_XFERDONE &&
      t.BytesWritten == t.BytesPerRow * t.Rows &&
      t.BytesPerRow == t.Columns * 3) {
    picture = FromRgb(static_cast<const uint8_t*>(t.Memory.TheMem),
                      static_cast<int>(TW_UINT32{t.Columns}),
                      static_cast<int>(TW_UINT32{t.Rows}));
  }
  s.manager().Unlock(block);
  s.manager().Free(block);
  return picture;
}

Picture File(TwainSession& s, const std::string& path) {
  TW_SETUPFILEXFER setup = {};
  std::strncpy(setup.FileName, path.c_str(), sizeof(setup.FileName) - 1);
  setup.Format = TWFF_BMP;
  if (s.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) != TWRC_SUCCESS)
    return {};
  if (s.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) != TWRC_XFERDONE)
    return {};
  return ReadBmp(path);
}

// Writes the picture and checks it against the reference; false when it
// is missing, or upside down or with its colours exchanged.
bool Check(const char* name, const Picture& picture, const Picture& reference,
           const std::string& path) {
  if (picture.rgb.empty() ||
      (name != std::string("file") && !WriteBmp(path, picture))) {
    std::printf("%-7s transfer: failed\n", name);
    return false;
  }
  const Likeness l = Compare(picture, reference);
  std::printf(
      "%-7s transfer: %s  against the SDK's picture %.1f (upside down %.1f, "
      "red and blue exchanged %.1f): %s\n",
      name, path.c_str(), l.as_is, l.upside_down, l.exchanged,
      l.upright_and_right ? "upright, colours right" : "WRONG");
  return l.upright_and_right;
}

// The application's message loop for `seconds`, every message offered to
// the source first; stops early when `done` holds.
template <typename Done>
bool PumpFor(CDataSource& source, TW_IDENTITY& app, double seconds, Done done) {
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TW_EVENT event = {&msg, 0};
      source.Entry(&app, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
    }
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// The whole TWAIN session with the source dialog and its settings page, as
// a user clicks through them, on the headless dialogs.
int TwainUi(const Options& options, const Picture& reference) {
  const TwainManager manager(static_cast<int>(options.Number("manager", 2)));
  CDataSource source(false);
  TW_IDENTITY app = AppIdentity(manager);
  TW_IDENTITY id = source.identity();
  id.Id = 2;
  const TwainManager::Entry entry =
      [&](TW_IDENTITY* origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
          TW_MEMREF data) { return source.Entry(origin, dg, dat, msg, data); };
  if (manager.OpenSource(entry, &app, &id) != TWRC_SUCCESS) {
    std::fprintf(stderr, "vkcam: the source did not open\n");
    return 1;
  }
  TW_USERINTERFACE ui = {1, 0, nullptr};
  source.Entry(&app, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  CSourceDialog& dialog = *source.dialog();
  CUSBDevice& camera = *source.context()->camera;
  std::printf(
      "source dialog %d shown (state %d); resolution \"%s\"\n",
      dialog.template_id(), source.state(),
      dialog.view()
          .Items(IDC_RESOLUTION)[dialog.view().Selection(IDC_RESOLUTION)]
          .c_str());
  if (!PumpFor(source, app, 60,
               [&] { return dialog.view().IsEnabled(IDC_CAPTURE); })) {
    std::fprintf(stderr, "vkcam: no image arrived\n");
    return 1;
  }
  std::printf("first image: Capture enabled\n");
  dialog.view().Click(IDC_SETTINGS);
  CHeadlessView& page = *dialog.settings_view();
  std::printf("settings sheet \"%s\", page \"%s\"\n",
              dialog.sheet_caption().c_str(), dialog.page_title().c_str());
  page.Click(IDC_AE);
  page.Scroll(IDC_EXPOSURE, 600);
  uint32_t ae = 0;
  uint8_t target = 0, gamma = 0;
  uint16_t time = 0, gain = 0;
  camera.GetExposure(&ae, &target, &time, &gain);
  std::printf(
      "AE off, ExpTime trackbar to 600: camera exposure %u rows, gain %u\n",
      time, gain);
  page.Click(IDC_GROUP_A + 1);
  page.Click(IDC_GROUP_A);
  uint32_t group = 0;
  camera.GetParameterGroup(&group);
  std::printf("group B, then back to group A: group %u\n", group);
  page.Click(IDC_DEFAULT);
  camera.GetGamma(&gamma);
  camera.GetExposure(&ae, &target, &time, &gain);
  std::printf("DEFAULT: gamma %u, AE %s with target %u\n", gamma,
              ae ? "on" : "off", target);
  page.Click(IDC_SAVE);
  std::printf("SAVE: group A written\n");
  dialog.CloseSettings();
  PumpFor(source, app, options.Number("settle-seconds", 1.0),
          [] { return false; });
  SendMessageA(dialog.window(), WM_COMMAND, IDC_CAPTURE, 0);
  const bool announced = TwainManager::TakeNotice() == MSG_XFERREADY;
  std::printf("Capture: state %d, %s\n", source.state(),
              announced ? "the application was told"
                        : "NO NOTICE reached the application");
  TW_HANDLE dib = nullptr;
  source.Entry(&app, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib);
  Picture picture;
  if (dib) {
    picture = FromPackedDib(static_cast<const uint8_t*>(manager.Lock(dib)));
    manager.Unlock(dib);
    manager.Free(dib);
  }
  const bool ok = Check("native", picture, reference,
                        options.Text("out", "twain") + "-ui.bmp") &&
                  announced;
  TW_PENDINGXFERS pending = {};
  source.Entry(&app, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
  source.Entry(&app, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
  source.Entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr);
  std::printf("disabled and closed (state %d)\n", source.state());
  return ok ? 0 : 1;
}

DSENTRYPROC LoadSource(const Options& options, HMODULE* module) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string directory = self;
  directory = directory.substr(0, directory.find_last_of("\\/") + 1);
  const std::string path =
      options.Text("source", directory + "../lib/PLV210.ds");
  *module = LoadLibraryA(path.c_str());
  auto entry = *module ? reinterpret_cast<DSENTRYPROC>(reinterpret_cast<void*>(
                             GetProcAddress(*module, "DS_Entry")))
                       : nullptr;
  if (!entry)
    std::fprintf(stderr, "vkcam: no data source at %s\n", path.c_str());
  return entry;
}

}  // namespace

int Twain(const Options& options) {
#ifdef _WIN32
  // The click-through drives the dialogs' headless views, which only the
  // Linux build has; Windows shows the real dialogs.
  if (options.Has("ui")) {
    std::fprintf(stderr,
                 "vkcam: twain --ui clicks through the headless dialogs of the "
                 "Linux build; on Windows run vkcam twain without it\n");
    return 2;
  }
#endif
  const Picture reference = SdkReference(options.Number("settle", 30));
  if (reference.rgb.empty()) {
    std::fprintf(stderr, "vkcam: the SDK gave no picture to compare with\n");
    return 1;
  }
  std::printf("the SDK's picture: %d x %d\n", reference.width,
              reference.height);
  if (options.Has("ui")) return TwainUi(options, reference);
  HMODULE module = nullptr;
  const DSENTRYPROC entry = LoadSource(options, &module);
  if (!entry) return 1;
  const TwainManager manager(static_cast<int>(options.Number("manager", 2)));
  TwainSession s(entry, manager);
  TW_IDENTITY source = {};
  s.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &source);
  std::printf(
      "%s / %s %u.%u (TWAIN %u.%u%s), through a %d.x source manager\n",
      source.Manufacturer, source.ProductName, source.Version.MajorNum,
      source.Version.MinorNum, source.ProtocolMajor, source.ProtocolMinor,
      (source.SupportedGroups & DF_DS2) ? ", DF_DS2" : "", manager.version());
  source.Id = 2;
  if (!s.Open(&source)) {
    std::fprintf(stderr, "vkcam: the source did not open (condition %u)\n",
                 s.Condition());
    return 1;
  }
  s.ListCapabilities();
  const std::string base = options.Text("out", "twain");
  const double seconds = options.Number("seconds", 20);  // patience per step
  const int settle = static_cast<int>(options.Number("settle", 30));
  int failures = 0;
  // Without the dialog: the first transfer is announced at once and taken
  // at once, as applications do. The camera's exposure then settles over
  // its images; the others follow a press of Capture, as a user would ask
  // for them.
  if (!s.Enable(false) || !s.Pump(0, seconds, true)) {
    std::fprintf(stderr, "vkcam: no transfer was announced (condition %u)\n",
                 s.Condition());
    return 1;
  }
  s.Taken();
  failures += !Check("at once", Native(s), reference, base + "-first.bmp");
  s.EndTransfer();
  s.Pump(settle, seconds, false);
  for (const char* way : {"native", "memory", "file"}) {
    if (!s.Capture()) {
      std::printf("%-7s transfer: no transfer announced\n", way);
      ++failures;
      continue;
    }
    s.Taken();
    const std::string path = base + "-" + way + ".bmp";
    const Picture picture = way[0] == 'n'   ? Native(s)
                            : way[0] == 'm' ? Memory(s)
                                            : File(s, path);
    failures += !Check(way, picture, reference, path);
    s.EndTransfer();
  }
  s.Disable();
  // With the dialog, in the same opening: Capture once images arrive.
  if (!s.Enable(true) || !s.Pump(5, seconds, false) || !s.Capture()) {
    std::printf("dialog  transfer: no transfer announced\n");
    ++failures;
  } else {
    s.Taken();
    failures += !Check("dialog", Native(s), reference, base + "-dialog.bmp");
    s.EndTransfer();
  }
  s.Close(&source);
  FreeLibrary(module);
  std::printf(
      failures == 0
          ? "every transfer shows the SDK's picture, upright, colours right\n"
          : "%d transfers failed or differ from the SDK's picture\n",
      failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace vk::tools

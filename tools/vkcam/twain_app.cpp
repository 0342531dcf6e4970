// vkcam twain: a small TWAIN source manager and application in one. It
// loads PLV210.ds by path, plays the source manager for the source's
// notifications (this program exports DSM_Entry, which the source reaches
// as "twain_32.dll"), opens the source, lists every capability with its
// container, enables it without user interface and acquires one image by
// each of the native, memory and file transfers, writing each as a BMP and
// checking that the three show the same picture.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/vkcam/commands.h"
#include "tools/vkcam/options.h"
#include "twain/dialog/control_ids.h"
#include "twain/protocol/data_source.h"
#include "twain/protocol/twain.h"

using namespace vk::twain;

namespace {

std::atomic<int> g_transfers_ready{0};

TW_IDENTITY AppIdentity() {
  TW_IDENTITY id = {};
  id.Id = 1;
  id.Version = {1, 0, 13, 1, "vkcam twain"};
  id.ProtocolMajor = 1;
  id.ProtocolMinor = 9;
  id.SupportedGroups = DG_CONTROL | DG_IMAGE;
  std::strcpy(id.Manufacturer, "vkcam");
  std::strcpy(id.ProductFamily, "tools");
  std::strcpy(id.ProductName, "vkcam twain");
  return id;
}

const char* ContainerName(TW_UINT16 c) {
  switch (c) {
    case TWON_ARRAY: return "array";
    case TWON_ENUMERATION: return "enumeration";
    case TWON_ONEVALUE: return "one value";
    case TWON_RANGE: return "range";
    default: return "?";
  }
}

class Session {
 public:
  explicit Session(DSENTRYPROC entry) : entry_(entry), app_(AppIdentity()) {}

  TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) {
    return entry_(&app_, dg, dat, msg, data);
  }
  TW_UINT16 Condition() {
    TW_STATUS status = {};
    Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    return status.ConditionCode;
  }

  void ListCapabilities() {
    TW_CAPABILITY caps = {CAP_SUPPORTEDCAPS, 0, nullptr};
    if (Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &caps) != TWRC_SUCCESS) {
      std::printf("  no capability list (condition %u)\n", Condition());
      return;
    }
    const auto* list = static_cast<const TW_ARRAY*>(GlobalLock(caps.hContainer));
    std::vector<uint16_t> ids(list->NumItems);
    std::memcpy(ids.data(), list->ItemList, ids.size() * 2);
    GlobalUnlock(caps.hContainer);
    GlobalFree(caps.hContainer);
    for (const uint16_t id : ids) {
      TW_CAPABILITY c = {id, 0, nullptr};
      if (Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &c) != TWRC_SUCCESS) {
        std::printf("  0x%04X  not answered (condition %u)\n", id, Condition());
        continue;
      }
      const auto* p = static_cast<const uint8_t*>(GlobalLock(c.hContainer));
      uint16_t type;
      std::memcpy(&type, p, 2);
      std::printf("  0x%04X  %-11s item type %u, %zu bytes\n", id, ContainerName(c.ConType),
                  type, static_cast<size_t>(GlobalSize(c.hContainer)));
      GlobalUnlock(c.hContainer);
      GlobalFree(c.hContainer);
    }
  }

  // Enables the source without user interface: it announces a transfer at
  // once (state 6) and starts its camera.
  bool Enable() {
    TW_USERINTERFACE ui = {0, 0, nullptr};
    return Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS;
  }
  // The application's message loop: every message is offered to the source
  // (MSG_PROCESSEVENT), which is how its dialog sees the camera's images.
  // Runs until `images` more images were made or `seconds` passed.
  void Pump(int images, double seconds) {
    const int target = images_ + images;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (images_ < target && std::chrono::steady_clock::now() < end) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == kFrameNotify) {
          dialog_ = msg.hwnd;
          if (msg.wParam == 1) ++images_;
        }
        TW_EVENT event = {&msg, 0};
        Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  // Presses the dialog's Capture button: the source announces a transfer.
  bool Capture() {
    const int before = g_transfers_ready.load();
    if (dialog_) SendMessageA(dialog_, WM_COMMAND, kCaptureButton, 0);
    return g_transfers_ready.load() > before;
  }
  void EndTransfer() {
    TW_PENDINGXFERS pending = {};
    Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
  }
  void Close(TW_IDENTITY* source) {
    TW_USERINTERFACE ui = {};
    Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, source);
  }

  static constexpr UINT kFrameNotify = 1124;
  static constexpr WPARAM kCaptureButton = 1134;
  HWND dialog_ = nullptr;
  int images_ = 0;
  DSENTRYPROC entry_;
  TW_IDENTITY app_;
};

bool WriteBmp(const std::string& path, const uint8_t* dib, size_t dib_bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  uint8_t header[14] = {'B', 'M'};
  const uint32_t size = static_cast<uint32_t>(dib_bytes + 14), offset = 54;
  std::memcpy(header + 2, &size, 4);
  std::memcpy(header + 10, &offset, 4);
  const bool ok = std::fwrite(header, 1, 14, f) == 14 &&
                  std::fwrite(dib, 1, dib_bytes, f) == dib_bytes;
  return std::fclose(f) == 0 && ok;
}

// The pixels of a BMP file written by any of the three ways.
std::vector<uint8_t> BmpPixels(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
  }
  if (bytes.size() < 54) return {};
  return std::vector<uint8_t>(bytes.begin() + 54, bytes.end());
}

double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / a.size();
}

BITMAPINFOHEADER DibHeader(int width, int height) {
  BITMAPINFOHEADER h = {};
  h.biSize = 40;
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = 24;
  h.biSizeImage = static_cast<DWORD>(width * height * 3);
  return h;
}

bool Native(Session& s, const std::string& path) {
  TW_HANDLE dib = nullptr;
  if (s.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) != TWRC_XFERDONE || !dib) return false;
  const bool ok = WriteBmp(path, static_cast<const uint8_t*>(GlobalLock(dib)), GlobalSize(dib));
  GlobalUnlock(dib);
  GlobalUnlock(dib);
  GlobalFree(dib);
  return ok;
}

bool Memory(Session& s, const std::string& path) {
  TW_IMAGEINFO info = {};
  if (s.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info) != TWRC_SUCCESS) return false;
  TW_SETUPMEMXFER setup = {};
  s.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
  HGLOBAL block = GlobalAlloc(GHND, setup.Preferred);
  TW_IMAGEMEMXFER t = {};
  t.Memory = {0, setup.Preferred, GlobalLock(block)};
  if (s.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &t) != TWRC_XFERDONE) return false;
  std::vector<uint8_t> dib(40 + t.BytesWritten);
  const BITMAPINFOHEADER header = DibHeader(info.ImageWidth, info.ImageLength);
  std::memcpy(dib.data(), &header, 40);
  std::memcpy(dib.data() + 40, t.Memory.TheMem, t.BytesWritten);
  HGLOBAL used = GlobalHandle(t.Memory.TheMem);
  GlobalUnlock(used);
  GlobalFree(used);
  return WriteBmp(path, dib.data(), dib.size());
}

bool File(Session& s, const std::string& path) {
  TW_SETUPFILEXFER setup = {};
  std::strncpy(setup.FileName, path.c_str(), sizeof(setup.FileName) - 1);
  setup.Format = TWFF_BMP;
  if (s.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) != TWRC_SUCCESS) return false;
  return s.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) == TWRC_XFERDONE;
}

}  // namespace

extern "C"
#ifdef _WIN32
    __declspec(dllexport)
#else
    __attribute__((visibility("default")))
#endif
    TW_UINT16 TWAIN_CALL DSM_Entry(TW_IDENTITY*, TW_IDENTITY*, TW_UINT32, TW_UINT16,
                                   TW_UINT16 msg, TW_MEMREF) {
  if (msg == MSG_XFERREADY) ++g_transfers_ready;
  return TWRC_SUCCESS;
}

namespace vk::tools {
namespace {

// The application's message loop for `seconds`, every message offered to
// the source first; stops early when `done` holds.
template <typename Done>
bool PumpFor(CDataSource& source, TW_IDENTITY& app, double seconds, Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
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
int TwainUi(const Options& options) {
  CDataSource source(false);
  TW_IDENTITY app = AppIdentity();
  TW_IDENTITY id = source.identity();
  id.Id = 2;
  if (source.Entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &id) != TWRC_SUCCESS) {
    std::fprintf(stderr, "vkcam: the source did not open\n");
    return 1;
  }
  TW_USERINTERFACE ui = {1, 0, nullptr};
  source.Entry(&app, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  CSourceDialog& dialog = *source.dialog();
  CUSBDevice& camera = *source.context()->camera;
  std::printf("source dialog %d shown (state %d); resolution \"%s\"\n", dialog.template_id(),
              source.state(),
              dialog.view().Items(IDC_RESOLUTION)[dialog.view().Selection(IDC_RESOLUTION)].c_str());
  if (!PumpFor(source, app, 10, [&] { return dialog.view().IsEnabled(IDC_CAPTURE); })) {
    std::fprintf(stderr, "vkcam: no image arrived\n");
    return 1;
  }
  std::printf("first image: Capture enabled\n");
  dialog.view().Click(IDC_SETTINGS);
  CHeadlessView& page = *dialog.settings_view();
  std::printf("settings sheet \"%s\", page \"%s\"\n", dialog.sheet_caption().c_str(),
              dialog.page_title().c_str());
  page.Click(IDC_AE);
  page.Scroll(IDC_EXPOSURE, 600);
  uint32_t ae = 0;
  uint8_t target = 0, gamma = 0;
  uint16_t time = 0, gain = 0;
  camera.GetExposure(&ae, &target, &time, &gain);
  std::printf("AE off, ExpTime trackbar to 600: camera exposure %u rows, gain %u\n", time, gain);
  page.Click(IDC_GROUP_A + 1);
  page.Click(IDC_GROUP_A);
  uint32_t group = 0;
  camera.GetParameterGroup(&group);
  std::printf("group B, then back to group A: group %u\n", group);
  page.Click(IDC_DEFAULT);
  camera.GetGamma(&gamma);
  camera.GetExposure(&ae, &target, &time, &gain);
  std::printf("DEFAULT: gamma %u, AE %s with target %u\n", gamma, ae ? "on" : "off", target);
  page.Click(IDC_SAVE);
  std::printf("SAVE: group A written\n");
  dialog.CloseSettings();
  PumpFor(source, app, options.Number("settle", 1.0), [] { return false; });
  SendMessageA(dialog.window(), WM_COMMAND, IDC_CAPTURE, 0);
  std::printf("Capture: state %d\n", source.state());
  TW_HANDLE dib = nullptr;
  source.Entry(&app, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib);
  const std::string path = options.Text("out", "twain") + "-ui.bmp";
  const bool ok = dib && WriteBmp(path, static_cast<const uint8_t*>(GlobalLock(dib)), GlobalSize(dib));
  if (dib) {
    GlobalUnlock(dib);
    GlobalUnlock(dib);
    GlobalFree(dib);
  }
  std::printf("native transfer: %s\n", ok ? path.c_str() : "failed");
  TW_PENDINGXFERS pending = {};
  source.Entry(&app, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
  source.Entry(&app, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
  source.Entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr);
  std::printf("disabled and closed (state %d)\n", source.state());
  return ok ? 0 : 1;
}

}  // namespace

int Twain(const Options& options) {
  if (options.Has("ui")) return TwainUi(options);
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string directory = self;
  directory = directory.substr(0, directory.find_last_of("\\/") + 1);
  const std::string path = options.Text("source", directory + "../lib/PLV210.ds");
  HMODULE module = LoadLibraryA(path.c_str());
  auto entry = module ? reinterpret_cast<DSENTRYPROC>(
                            reinterpret_cast<void*>(GetProcAddress(module, "DS_Entry")))
                      : nullptr;
  if (!entry) {
    std::fprintf(stderr, "vkcam: no data source at %s\n", path.c_str());
    return 1;
  }
  Session s(entry);
  TW_IDENTITY source = {};
  s.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &source);
  std::printf("%s / %s %u.%u (TWAIN %u.%u)\n", source.Manufacturer, source.ProductName,
              source.Version.MajorNum, source.Version.MinorNum, source.ProtocolMajor,
              source.ProtocolMinor);
  source.Id = 2;
  if (s.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source) != TWRC_SUCCESS) {
    std::fprintf(stderr, "vkcam: the source did not open (condition %u)\n", s.Condition());
    return 1;
  }
  s.ListCapabilities();
  const std::string base = options.Text("out", "twain");
  const double settle = options.Number("settle", 20);
  struct Way {
    const char* name;
    bool (*transfer)(Session&, const std::string&);
  };
  const Way ways[] = {{"native", &Native}, {"memory", &Memory}, {"file", &File}};
  std::vector<std::vector<uint8_t>> pictures;
  int status = 0;
  // The first transfer is announced at once; the camera's exposure settles
  // over its first images before it is taken. The others follow a press of
  // Capture, as a user would ask for them.
  bool announced = s.Enable();
  s.Pump(30, settle);
  for (const Way& way : ways) {
    const std::string file = base + "-" + way.name + ".bmp";
    bool ok = false;
    for (int attempt = 0; attempt < 4 && !ok; ++attempt) {
      if (!announced) announced = s.Capture();
      ok = announced && way.transfer(s, file);
      s.EndTransfer();
      announced = false;
      if (!ok) s.Pump(5, settle);
    }
    std::printf("%-6s transfer: %s\n", way.name, ok ? file.c_str() : "failed");
    if (!ok) status = 1;
    pictures.push_back(BmpPixels(file));
  }
  s.Close(&source);
  FreeLibrary(module);
  for (size_t i = 1; i < pictures.size() && status == 0; ++i) {
    // Frames of a live camera differ by their noise, not by their picture.
    const double difference = MeanDifference(pictures[0], pictures[i]);
    std::printf("%s against native: mean difference %.2f\n", ways[i].name, difference);
    if (difference > 6.0) status = 1;
  }
  std::printf(status == 0 ? "all three transfers carry the same picture\n"
                          : "the transfers differ\n");
  return status;
}

}  // namespace vk::tools

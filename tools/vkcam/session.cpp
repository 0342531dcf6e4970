#include "tools/vkcam/session.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/win32.h"
#ifndef _WIN32
#include "platform/host/host.h"
#endif

namespace vk::tools {
namespace {

constexpr UINT kFrameMessage = WM_USER + 0x124;

std::atomic<uint64_t> g_frames{0};
std::atomic<bool> g_draw{false};

void OnFrame(uint8_t* raw) {
  uint8_t* rgb = CameraISP(raw);
  if (g_draw.load()) CameraDisplayRGB24(rgb);
  g_frames.fetch_add(1);
}

HWND CreateMessageTarget() {
#ifdef _WIN32
  return CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         nullptr, nullptr);
#else
  return host::CreateMessageWindow();
#endif
}

void DestroyMessageTarget(HWND window) {
#ifdef _WIN32
  DestroyWindow(window);
#else
  host::DestroyMessageWindow(window);
#endif
}

}  // namespace

int ResolutionOption(const Options& options) {
  return static_cast<int>(options.Number("resolution", 0));
}

Session::Session(const Options& options, HWND preview) {
  g_frames = 0;
  g_draw = preview != nullptr;
  messages_ = CreateMessageTarget();
  CameraSetVideoMessage(kFrameMessage);
  if (options.Has("roi")) {
    int x = 0, y = 0, w = 0, h = 0;
    std::sscanf(options.Text("roi", "").c_str(), "%d,%d,%d,%d", &x, &y, &w, &h);
    CameraSetROI(x, y, w, h);
  }
  const int camera = static_cast<int>(options.Number("camera", 1));
  const int result = CameraInit(&OnFrame, ResolutionOption(options), preview,
                                camera, messages_);
  if (result != 1) {
    std::fprintf(stderr, "vkcam: camera %d could not be opened (%d)\n", camera,
                 result);
    return;
  }
  CameraGetImageSize(&width_, &height_);
  if (options.Switch("ae") >= 0) CameraSetAeState(options.Switch("ae"));
  if (options.Switch("awb") >= 0) CameraSetAWBState(options.Switch("awb"));
  // Fixed sensor settings (with --ae off, for pictures that must be alike).
  if (options.Has("exposure"))
    CameraSetExposureTime(static_cast<int32_t>(options.Number("exposure", 0)));
  if (options.Has("gain"))
    CameraSetAnalogGain(static_cast<int32_t>(options.Number("gain", 0)));
  if (options.Has("mode")) CameraSetB2RGBMode(static_cast<int>(options.Number("mode", 0)));
  if (options.Switch("mono") >= 0) CameraSetMonochrome(options.Switch("mono"));
  if (options.Switch("hflip") >= 0) CameraSetMirror(0, options.Switch("hflip"));
  if (options.Switch("vflip") >= 0) CameraSetMirror(1, options.Switch("vflip"));
  ok_ = CameraPlay() == 1;
}

Session::~Session() {
  CameraStop();
  CameraUnInit();
  DestroyMessageTarget(messages_);
}

uint64_t Session::frames() const { return g_frames.load(); }

void Session::PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, messages_, 0, 0, PM_REMOVE)) {
    if (msg.message != kFrameMessage) continue;
    if (msg.lParam == 0) ++bad_frames_;
    if (msg.lParam == -1) lost_ = true;
  }
}

uint64_t Session::bad_frames() {
  PumpMessages();
  return bad_frames_;
}

bool Session::lost() {
  PumpMessages();
  return lost_;
}

bool Session::WaitForFrames(uint64_t n) {
  const uint64_t target = frames() + n;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (frames() < target) {
    if (lost() || std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string Session::ControlState() const {
  int32_t ae = 0, awb = 0, exposure = 0, r = 0, g = 0, b = 0;
  uint16_t gain = 0;
  CameraGetAeState(&ae);
  CameraGetAWBState(&awb);
  CameraGetExposureTime(&exposure);
  CameraGetAnalogGain(&gain);
  CameraGetGain(&r, &g, &b);
  char text[128];
  std::snprintf(text, sizeof(text),
                "AE %s, exposure %d rows, gain %u; AWB %s, gains %d %d %d",
                ae ? "on" : "off", exposure, gain, awb ? "on" : "off", r, g, b);
  return text;
}

}  // namespace vk::tools

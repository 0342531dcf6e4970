// The exported life-cycle and capture calls: opening and closing the one
// camera, starting and stopping the live capture, single frames into the
// application's buffers, the pipeline and the preview.
#include <cstring>
#include <new>

#include "sdk/api/exported.h"

using vk::CCamera;
using vk::sdk::HaveFrameBuffers;
using vk::sdk::kFrameSlack;
using vk::sdk::QuietCapture;
using vk::sdk::ReadGoodFrame;
using vk::sdk::Sdk;
using vk::sdk::SdkState;
using vk::sdk::WithCamera;
using vk::sdk::ZeroedBuffer;

namespace {


size_t FramePixels(const CCamera& camera) {
  int width = 0, height = 0;
  camera.GetImageSize(&width, &height);
  return static_cast<size_t>(width) * height;
}

// The four raw-frame buffers and the recording buffer, all or none: when
// one cannot be had the others are released, so that a camera whose
// buffers failed has none and every call that needs them says so.
bool AllocateFrameBuffers(SdkState& s) {
  const size_t pixels = FramePixels(*s.camera);
  for (auto& frame : s.frames) frame = ZeroedBuffer(pixels * 2 + kFrameSlack);
  s.last_raw = ZeroedBuffer(pixels * 2 + kFrameSlack);
  s.recording = ZeroedBuffer(pixels * 3 + kFrameSlack);
  if (!HaveFrameBuffers(s)) {
    for (auto& frame : s.frames) frame.reset();
    s.last_raw.reset();
    s.recording.reset();
    return false;
  }
  s.grab = s.frames[0].get();
  s.latest = s.frames[1].get();
  s.process = s.frames[2].get();
  return true;
}

void RunPipeline(CCamera& camera, uint8_t* raw, uint8_t* rgb) {
  int width = 0, height = 0;
  camera.GetImageSize(&width, &height);
  camera.Process(raw, rgb, width, height);
}

void FreeCamera(SdkState& s) { s.camera.reset(); }

}  // namespace

extern "C" {

int32_t CameraGetMultiCameraNumber(uint8_t* count, void*, uint8_t* reserved_out) {
  // An object of its own: an open camera stays as it is.
  auto probe = std::unique_ptr<CCamera>(new (std::nothrow) CCamera);
  if (!probe) return -1;
  *count = probe->CameraCount();
  *reserved_out = 0;
  return 1;
}

int32_t CameraInit(CameraFrameCallback callback, int32_t resolution,
                   HWND preview_window, int32_t camera_number,
                   HWND message_window) {
  SdkState& s = Sdk();
  vk::sdk::Teardown();
  s.camera.reset(new (std::nothrow) CCamera);
  if (!s.camera) return -1;
  if (camera_number < 1 || camera_number > vk::kDeviceLinks ||
      s.camera->SelectCamera(static_cast<uint8_t>(camera_number)) != 1) {
    FreeCamera(s);
    return -1;
  }
  s.message_window = message_window;
  s.camera->SetRoi(s.roi[0], s.roi[1], s.roi[2], s.roi[3]);
  s.callback = callback;
  if (!s.camera->Initialize(static_cast<uint8_t>(resolution))) {
    FreeCamera(s);
    PostQuitMessage(1);
    return -1;
  }
  if (!AllocateFrameBuffers(s)) return -2;
  s.camera->SetupDisplay(preview_window);
  {
    std::lock_guard lock(s.exchange_lock);
    s.fresh = 0;
  }
  s.camera->StartStream();
  return 1;
}

int32_t CameraUnInit() {
  vk::sdk::Teardown();
  return 1;
}

int32_t CameraPlay() {
  SdkState& s = Sdk();
  // Without a camera, its buffers or a callback there is nothing to play.
  if (!s.camera || !HaveFrameBuffers(s) || !s.callback) return 0;
  return vk::sdk::StartCapture();
}

int32_t CameraStop() { return vk::sdk::StopCapture(); }

int32_t CameraSnap(uint8_t* buffer, int32_t mode) {
  SdkState& s = Sdk();
  if (!s.camera) return 0;
  if (mode != 0 && mode != 1) return 1;
  QuietCapture quiet;
  CCamera& camera = *s.camera;
  if (mode == 0) return ReadGoodFrame(camera, buffer);
  auto scratch = ZeroedBuffer(FramePixels(camera) + kFrameSlack);
  if (!scratch) return -2;
  const int result = ReadGoodFrame(camera, scratch.get());
  std::lock_guard lock(s.camera_lock);
  RunPipeline(camera, scratch.get(), buffer);
  return result;
}

int32_t CameraCaptureToBuf(uint8_t* buffer, int32_t mode) {
  SdkState& s = Sdk();
  if (!s.camera || !HaveFrameBuffers(s)) return 0;
  QuietCapture quiet;
  if (mode == 0) {
    std::memcpy(buffer, s.last_raw.get(), FramePixels(*s.camera));
  } else if (mode == 1) {
    std::lock_guard lock(s.camera_lock);
    RunPipeline(*s.camera, s.last_raw.get(), buffer);
  }
  return 1;
}

int32_t CameraGrabFrame(uint8_t* buffer) {
  SdkState& s = Sdk();
  if (s.capture_state.load() != vk::sdk::kPlaying) return 0;
  QuietCapture quiet;
  std::lock_guard lock(s.camera_lock);
  RunPipeline(*s.camera, s.last_raw.get(), buffer);
  return 1;
}

int32_t CameraImageProcess(uint8_t* raw, uint8_t* rgb) {
  return WithCamera([&](CCamera& camera) {
    RunPipeline(camera, raw, rgb);
    return 1;
  });
}

uint8_t* CameraISP(uint8_t* raw) {
  SdkState& s = Sdk();
  if (!s.camera) return nullptr;
  std::lock_guard lock(s.camera_lock);
  CCamera& camera = *s.camera;
  RunPipeline(camera, raw, camera.output());
  if (s.recording_flag.load() == 0) {
    std::lock_guard recording(s.recording_lock);
    std::memcpy(s.recording.get(), camera.output(), FramePixels(camera) * 3);
    ++s.recorded_frames;
  }
  return camera.output();
}

void CameraDisplayRGB24(uint8_t* rgb24) {
  WithCamera([&](CCamera& camera) {
    camera.Draw(rgb24);
    return 1;
  });
}

int32_t CameraGetImageSize(int32_t* width, int32_t* height) {
  return WithCamera([&](CCamera& camera) {
    camera.GetImageSize(width, height);
    return 1;
  });
}

int32_t CameraGetFPS(float* fps) {
  SdkState& s = Sdk();
  if (s.capture_state.load() != vk::sdk::kPlaying) {
    *fps = 0.0f;
    return 0;
  }
  *fps = s.frame_rate.Rate(vk::sdk::FrameRateMeter::Clock::now());
  return 1;
}

int32_t CameraSetVideoMessage(uint32_t message) {
  Sdk().message_number = message;
  return 1;
}

}  // extern "C"

// The exported still-file calls: a new frame captured to files (optionally
// at another resolution for this picture), the frame last handed to the
// application saved to files, and BMP files of the application's images.
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "sdk/api/exported.h"
#include "sdk/api/still_writers.h"

using vk::CCamera;
using vk::sdk::CPngWriter;
using vk::sdk::kFrameSlack;
using vk::sdk::ReadGoodFrame;
using vk::sdk::ZeroedBuffer;
using vk::sdk::Sdk;
using vk::sdk::SdkState;

namespace {

constexpr uint8_t kJpegBit = 1;
constexpr uint8_t kBmpBit = 2;
constexpr uint8_t kRawBit = 4;
constexpr uint8_t kPngBit = 8;

struct Picture {
  int width = 0, height = 0;
  uint8_t* raw = nullptr;
  uint8_t* rgb = nullptr;
};

// The files the format bits ask for, in the order RAW, JPEG, BMP (PNG when
// `png_allowed`); the result the last of the first three left, from 1.
int WriteFiles(CCamera& camera, const std::string& base, uint8_t bits,
               uint8_t quality, const Picture& p, bool png_allowed) {
  SdkState& s = Sdk();
  int result = 1;
  if (bits & kRawBit)
    result = vk::sdk::WriteRawFile((base + ".raw").c_str(), p.raw, p.width, p.height);
  const uint8_t pictures = kJpegBit | kBmpBit | (png_allowed ? kPngBit : 0);
  if (bits & pictures) {
    std::lock_guard lock(s.camera_lock);
    camera.Process(p.raw, p.rgb, p.width, p.height);
  }
  if ((bits & kJpegBit) &&
      vk::sdk::WriteJpegFile((base + ".jpg").c_str(), p.rgb, p.width, p.height,
                             quality) != 1)
    result = 0;
  if (bits & kBmpBit)
    result = vk::sdk::WriteBmpFile((base + ".bmp").c_str(), p.rgb, p.width, p.height);
  if (png_allowed && (bits & kPngBit)) {
    auto png = std::make_unique<CPngWriter>();
    png->Write((base + ".png").c_str(), p.rgb, p.width, p.height);
  }
  return result;
}

void SwitchResolution(CCamera& camera, uint8_t index) {
  std::lock_guard lock(Sdk().camera_lock);
  camera.ChangeResolution(index);
}

}  // namespace

extern "C" {

int32_t SaveBmpFile(const char* path, const uint8_t* rgb24, int32_t width,
                    int32_t height) {
  return vk::sdk::WriteBmpFile(path, rgb24, width, height);
}

int32_t CameraCaptureFile(const char* base_name, uint8_t formats, uint8_t quality,
                          uint8_t resolution) {
  SdkState& s = Sdk();
  if (s.capture_state.load() == vk::sdk::kStopped || !s.camera) {
    MessageBoxA(nullptr, "Camera is closed!\r\nPlease Open it.", nullptr, MB_OK);
    return 0;
  }
  vk::sdk::StopCapture();
  CCamera& camera = *s.camera;
  const uint8_t previous = camera.resolution();
  if (resolution != previous) SwitchResolution(camera, resolution);
  Picture p;
  camera.GetImageSize(&p.width, &p.height);
  const size_t pixels = static_cast<size_t>(p.width) * p.height;
  // Out of memory still puts the camera back as it was, playing.
  auto rgb = ZeroedBuffer(pixels * 4);
  auto raw = rgb ? ZeroedBuffer(pixels + kFrameSlack) : nullptr;
  int result = -2;
  if (raw) {
    p.raw = raw.get();
    p.rgb = rgb.get();
    result = ReadGoodFrame(camera, p.raw);
    if (result == 1) result = WriteFiles(camera, base_name, formats, quality, p, true);
  }
  if (resolution != previous) SwitchResolution(camera, previous);
  vk::sdk::StartCapture();
  return result;
}

int32_t CameraSaveCurrentImage(const char* base_name, uint8_t formats,
                               uint8_t quality) {
  SdkState& s = Sdk();
  if (!s.camera || !vk::sdk::HaveFrameBuffers(s)) return 0;
  vk::sdk::StopWorkers();  // a recording goes on
  Picture p;
  s.camera->GetImageSize(&p.width, &p.height);
  const size_t pixels = static_cast<size_t>(p.width) * p.height;
  auto rgb = ZeroedBuffer(pixels * 3 + kFrameSlack);
  auto raw = rgb ? ZeroedBuffer(pixels + kFrameSlack) : nullptr;
  int result = -2;
  if (raw) {
    p.raw = raw.get();
    p.rgb = rgb.get();
    std::memcpy(p.raw, s.process, pixels);
    result = WriteFiles(*s.camera, base_name, formats, quality, p, false);
  }
  if (s.callback) vk::sdk::StartWorkers();
  return result;
}

}  // extern "C"

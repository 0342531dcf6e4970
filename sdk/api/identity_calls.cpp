// The exported calls on the camera's memory: dead-pixel detection, the
// serial number and the lot date.
#include "common/camera_protocol.h"
#include "sdk/api/exported.h"

using vk::CCamera;
using vk::sdk::QuietCapture;
using vk::sdk::Sdk;
using vk::sdk::SdkState;
using vk::sdk::WithCamera;

namespace {

constexpr int kDetectionAttempts = 3;

uint16_t TodayAsLotDate() {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  const uint16_t year_field = (now.wYear + 39) % 128;
  return static_cast<uint16_t>(year_field * 512 + now.wMonth * 32 + now.wDay);
}

}  // namespace

extern "C" {

int32_t CameraWriteLotDate() {
  return WithCamera([](CCamera& c) {
    c.WriteLotDate(TodayAsLotDate());
    return 1;
  });
}

int32_t CameraReadBN(uint16_t* year, uint8_t* month, uint8_t* day) {
  return WithCamera([&](CCamera& c) {
    const vk::nvram::LotDate date = vk::nvram::DecodeLotDate(c.ReadLotDate());
    *year = static_cast<uint16_t>(date.year);
    *month = static_cast<uint8_t>(date.month);
    *day = static_cast<uint8_t>(date.day);
    return date.month == vk::nvram::kLotDateNeverWrittenMonth ? 0 : 1;
  });
}

int32_t CameraEnableDeadPixelCorrection() {
  SdkState& s = Sdk();
  if (!s.camera) return 0;
  if (s.camera->resolution() == vk::kResolutionFull) CameraWriteLotDate();
  return WithCamera([](CCamera& c) {
    c.RequestDetection();
    return 1;
  });
}

int32_t CameraInitDeadPixel() {
  SdkState& s = Sdk();
  if (!s.camera || !vk::sdk::HaveFrameBuffers(s)) return 0;
  if (s.camera->resolution() == vk::kResolutionFull) CameraWriteLotDate();
  // The grab thread must not read into the same buffer or from the device
  // meanwhile.
  QuietCapture quiet;
  CCamera& camera = *s.camera;
  camera.ReadFrame(s.grab);  // the first frame may predate the request
  for (int i = 0; i < kDetectionAttempts; ++i) {
    if (camera.ReadFrame(s.grab) != 1) continue;
    std::lock_guard lock(s.camera_lock);
    if (camera.DetectAndStore(s.grab) == 1) return 1;
  }
  return 0;
}

int32_t CameraWriteSN(const char* text, int32_t count) {
  SdkState& s = Sdk();
  if (!s.camera) return -1;
  std::lock_guard lock(s.camera_lock);
  return s.camera->WriteSerialNumber(text, static_cast<uint32_t>(count));
}

int32_t CameraReadSN(char* text, int32_t count) {
  SdkState& s = Sdk();
  if (!s.camera) return -1;
  std::lock_guard lock(s.camera_lock);
  return s.camera->ReadSerialNumber(text, static_cast<uint32_t>(count));
}

int32_t CameraCheckSN() { return -1; }

}  // extern "C"

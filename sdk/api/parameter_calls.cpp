// The exported parameter calls: each checks for the camera, forwards to one
// operation of the camera object under the camera lock and returns a fixed
// result (the window, team, serial-number and lot-date calls pass the
// camera's result on).
#include <cstdint>

#include "common/camera_protocol.h"
#include "sdk/api/exported.h"

using vk::CCamera;
using vk::sdk::Sdk;
using vk::sdk::SdkState;
using vk::sdk::WithCamera;

namespace {

constexpr uint8_t kLowByte = 0xFF;
constexpr DWORD kAwbSettleMs = 200;
constexpr int kMirrorHorizontal = 0;
constexpr int kMirrorVertical = 1;

uint8_t LowByte(int32_t v) { return static_cast<uint8_t>(v & kLowByte); }
uint16_t Low16(int32_t v) { return static_cast<uint16_t>(v); }

// A setter whose result is 1 whatever the camera operation returned.
template <typename Op>
int32_t Set(Op op) {
  return WithCamera([&](CCamera& camera) {
    op(camera);
    return 1;
  });
}

}  // namespace

extern "C" {

// ---- Exposure and gains ----

int32_t CameraSetAeState(int32_t state) {
  return Set([&](CCamera& c) { c.SetAeEnable(static_cast<uint32_t>(state)); });
}
int32_t CameraGetAeState(int32_t* state) {
  return Set([&](CCamera& c) { *state = static_cast<int32_t>(c.ae_enable()); });
}

int32_t CameraSetAWBState(int32_t state) {
  const int32_t result =
      Set([&](CCamera& c) { c.SetAwbEnable(static_cast<uint32_t>(state)); });
  // Time for the next frames to pull the gains over.
  if (result == 1) Sleep(kAwbSettleMs);
  return result;
}
int32_t CameraGetAWBState(int32_t* state) {
  return Set([&](CCamera& c) { *state = static_cast<int32_t>(c.awb_enable()); });
}

int32_t CameraSetAeTarget(int32_t target) {
  return Set([&](CCamera& c) { c.SetAeTarget(LowByte(target)); });
}
int32_t CameraGetAeTarget(uint8_t* target) {
  return Set([&](CCamera& c) { *target = c.ae_target(); });
}

int32_t CameraSetExposureTime(int32_t rows) {
  return Set([&](CCamera& c) { c.SetExposure(Low16(rows)); });
}
int32_t CameraGetExposureTime(int32_t* rows) {
  return Set([&](CCamera& c) { *rows = c.GetExposure(); });
}
int32_t CameraGetMaxExposureTime(uint16_t* rows) {
  return Set([&](CCamera& c) { *rows = c.GetMaxExposure(); });
}
int32_t CameraGetRowTime(int32_t* microseconds) {
  return Set([&](CCamera& c) { *microseconds = static_cast<int32_t>(c.GetRowTime()); });
}

int32_t CameraSetAnalogGain(int32_t gain) {
  return Set([&](CCamera& c) { c.SetAnalogGain(Low16(gain)); });
}
int32_t CameraGetAnalogGain(uint16_t* gain) {
  return Set([&](CCamera& c) { *gain = static_cast<uint16_t>(c.GetAnalogGain()); });
}

int32_t CameraSetGain(int32_t red, int32_t green, int32_t blue) {
  return Set([&](CCamera& c) { c.SetGains(Low16(red), Low16(green), Low16(blue)); });
}
int32_t CameraGetGain(int32_t* red, int32_t* green, int32_t* blue) {
  return Set([&](CCamera& c) {
    *red = static_cast<int32_t>(c.gain(0));
    *green = static_cast<int32_t>(c.gain(1));
    *blue = static_cast<int32_t>(c.gain(2));
  });
}

// ---- Image pipeline ----

int32_t CameraSetGamma(int32_t gamma) {
  return Set([&](CCamera& c) { c.SetGamma(LowByte(gamma)); });
}
int32_t CameraGetGamma(uint8_t* gamma) {
  return Set([&](CCamera& c) { *gamma = c.gamma(); });
}
int32_t CameraSetContrast(int32_t contrast) {
  return Set([&](CCamera& c) { c.SetContrast(LowByte(contrast)); });
}
int32_t CameraGetContrast(uint8_t* contrast) {
  return Set([&](CCamera& c) { *contrast = c.contrast(); });
}
int32_t CameraSetSaturation(int32_t saturation) {
  return Set([&](CCamera& c) { c.SetSaturation(LowByte(saturation)); });
}
int32_t CameraGetSaturation(uint8_t* saturation) {
  return Set([&](CCamera& c) { *saturation = c.saturation(); });
}
int32_t CameraSetColorEnhancement(int32_t on) {
  return Set([&](CCamera& c) { c.SetColorCorrection(static_cast<uint32_t>(on)); });
}
int32_t CameraGetColorEnhancement(int32_t* on) {
  return Set([&](CCamera& c) { *on = static_cast<int32_t>(c.color_correction()); });
}

int32_t CameraSetMirror(int32_t direction, int32_t on) {
  return WithCamera([&](CCamera& c) {
    if (direction == kMirrorHorizontal) {
      c.SetHorizontalFlip(static_cast<uint32_t>(on));
    } else if (direction == kMirrorVertical) {
      c.SetVerticalFlip(static_cast<uint32_t>(on));
    } else {
      return -4;
    }
    return 1;
  });
}
int32_t CameraGetMirror(int32_t direction, int32_t* on) {
  return WithCamera([&](CCamera& c) {
    if (direction == kMirrorHorizontal) {
      *on = static_cast<int32_t>(c.horizontal_flip());
    } else if (direction == kMirrorVertical) {
      *on = static_cast<int32_t>(c.vertical_flip());
    } else {
      return -4;
    }
    return 1;
  });
}

int32_t CameraSetMonochrome(int32_t on) {
  return Set([&](CCamera& c) { c.SetMonochrome(static_cast<uint32_t>(on)); });
}
int32_t CameraGetMonochrome(int32_t* on) {
  return WithCamera([&](CCamera& c) {
    *on = static_cast<int32_t>(c.monochrome());
    return -4;
  });
}

int32_t CameraSetB2RGBMode(int32_t mode) {
  return Set([&](CCamera& c) { c.SetDemosaicMode(LowByte(mode)); });
}
int32_t CameraGetB2RGBMode(uint8_t* mode) {
  return Set([&](CCamera& c) { *mode = c.demosaic_mode(); });
}

// ---- Sensor timing ----

int32_t CameraSetFrameSpeed(int32_t speed) {
  return Set([&](CCamera& c) { c.SetFrameSpeed(LowByte(speed)); });
}
int32_t CameraGetFrameSpeed(uint8_t* speed) {
  return Set([&](CCamera& c) { *speed = c.GetFrameSpeed(); });
}
int32_t CameraSetLightFrquency(int32_t frequency) {
  return Set([&](CCamera& c) { c.SetLightFrequency(LowByte(frequency)); });
}
int32_t CameraGetLightFrquency(uint8_t* frequency) {
  return Set([&](CCamera& c) { *frequency = c.GetLightFrequency(); });
}
int32_t CameraSetSnapMode(int32_t) { return -4; }
int32_t CameraGetSnapMode(uint8_t* mode) {
  *mode = 0;
  return 1;
}

// ---- GPIO ----

int32_t CameraSetGpio(uint8_t configuration) {
  return Set([&](CCamera& c) { c.SetGpio(configuration); });
}
int32_t CameraReadGpio(uint8_t* pins) {
  return Set([&](CCamera& c) { *pins = static_cast<uint8_t>(c.ReadGpio()); });
}
int32_t CameraWriteGpio(uint8_t pins) {
  return Set([&](CCamera& c) { c.WriteGpio(pins); });
}

// ---- Windows ----

int32_t CameraSetROI(int32_t x, int32_t y, int32_t width, int32_t height) {
  SdkState& s = Sdk();
  s.roi[0] = Low16(x);
  s.roi[1] = Low16(y);
  s.roi[2] = Low16(width);
  s.roi[3] = Low16(height);
  return 1;
}
int32_t CameraGetROI(uint16_t* x, uint16_t* y, uint16_t* width,
                     uint16_t* height) {
  SdkState& s = Sdk();
  return Set([&](CCamera& c) {
    c.GetRoi(x, y, width, height);
    s.roi[0] = *x;
    s.roi[1] = *y;
    s.roi[2] = *width;
    s.roi[3] = *height;
  });
}

int32_t CameraSetWBWindow(int32_t x, int32_t y, int32_t width, int32_t height) {
  return WithCamera([&](CCamera& c) {
    return c.SetWbWindow(Low16(x), Low16(y), Low16(width), Low16(height));
  });
}
int32_t CameraSetDisplayWindow(int32_t x, int32_t y, int32_t width,
                               int32_t height) {
  return WithCamera([&](CCamera& c) {
    return c.SetDisplayRect(Low16(x), Low16(y), Low16(width), Low16(height));
  });
}

// ---- Parameter teams ----

int32_t CameraSaveParameter(int32_t team) {
  return WithCamera([&](CCamera& c) { return c.SaveTeam(static_cast<uint32_t>(team)); });
}
int32_t CameraReadParameter(int32_t team) {
  return WithCamera([&](CCamera& c) { return c.LoadTeam(static_cast<uint32_t>(team)); });
}
int32_t CameraGetCurrentParameterTeam(uint8_t* team) {
  return Set([&](CCamera& c) { *team = static_cast<uint8_t>(c.GetCurrentTeam()); });
}
int32_t CameraLoadDefault() {
  return Set([&](CCamera& c) { c.LoadDefaults(); });
}

}  // extern "C"

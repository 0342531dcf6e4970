// CTWAIN: the data source's camera, as the TWAIN protocol and the dialogs
// see it. The operations keep this order (the slots of the interface).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace vk::twain {

// Posted by the capture thread to the source dialog: wParam 1 a new image,
// 0 the camera failed.
inline constexpr UINT WM_FRAME_NOTIFY = 1124;

class CTWAIN {
 public:
  virtual ~CTWAIN() = default;
  virtual void GetImageSize(int* width, int* height) = 0;
  virtual void StartPreview(int width, int height) = 0;
  virtual void StopPreview() = 0;
  // The newest image into `buffer`: false when it is too small or there is
  // no image yet.
  virtual bool CopyLatestImage(uint8_t* buffer, size_t capacity) = 0;
  virtual bool OnDialogCommand(WPARAM wparam, LPARAM lparam) = 0;
  virtual void OnFrameNotify(WPARAM ok) = 0;
  virtual void OnDrawItem(HDC dc) = 0;
  virtual void OnInitDialog(HWND dialog) = 0;
  virtual int GetResolution() = 0;
  virtual int GetWhiteBalance(uint32_t* once, uint8_t* red, uint8_t* green,
                              uint8_t* blue) = 0;
  virtual void SetWhiteBalance(uint32_t once, uint8_t red, uint8_t green,
                               uint8_t blue) = 0;
  virtual int GetExposure(uint32_t* ae, uint8_t* target, uint16_t* time,
                          uint16_t* gain) = 0;
  virtual void SetExposure(uint32_t ae, uint8_t target, uint16_t time,
                           uint16_t gain) = 0;
  virtual int GetGamma(uint8_t* gamma) = 0;
  virtual void SetGamma(uint8_t gamma) = 0;
  virtual int GetContrast(uint8_t* contrast) = 0;
  virtual void SetContrast(uint8_t contrast) = 0;
  virtual int GetSaturation(uint32_t* enable, uint8_t* value) = 0;
  virtual void SetSaturation(uint32_t enable, uint8_t value) = 0;
  virtual int GetMono(uint32_t* on) = 0;
  virtual void SetMono(uint32_t on) = 0;
  virtual int GetVFlip(uint32_t* on) = 0;
  virtual void SetVFlip(uint32_t on) = 0;
  virtual int GetHFlip(uint32_t* on) = 0;
  virtual void SetHFlip(uint32_t on) = 0;
  virtual int GetPowerFrequency(uint32_t* frequency) = 0;
  virtual void SetPowerFrequency(uint32_t frequency) = 0;
  virtual void SelectParameterGroup(uint32_t group) = 0;
  virtual int GetParameterGroup(uint32_t* group) = 0;
  virtual void SaveParameters() = 0;
  virtual uint16_t GetRowTime() = 0;
  virtual int GetSpeed(uint32_t* speed) = 0;
  virtual void SetSpeed(uint32_t speed) = 0;
};

}  // namespace vk::twain

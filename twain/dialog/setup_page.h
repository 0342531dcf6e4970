// The settings page: every image setting of the camera live, with its
// trackbars, numeric edits, up-downs, check boxes and radio buttons, the
// parameter groups, DEFAULT, AWB Once and SAVE.
#pragma once

#include <cstdint>

#include "twain/camera/usb_device.h"
#include "twain/dialog/dialog_view.h"

namespace vk::twain {

class CBasePropertyPage {
 public:
  virtual ~CBasePropertyPage() = default;
  virtual INT_PTR OnPageMessage(HWND window, UINT message, WPARAM wparam,
                                LPARAM lparam) = 0;
  virtual void OnLoadValues() = 0;
  virtual void OnInitControls() = 0;
};

class CSetupPage : public CBasePropertyPage {
 public:
  CSetupPage(CUSBDevice* camera, CDialogView* view);
  INT_PTR OnPageMessage(HWND window, UINT message, WPARAM wparam,
                        LPARAM lparam) override;
  void OnLoadValues() override;
  void OnInitControls() override;
  // WM_INITDIALOG: remember the window, load the values, set the controls.
  void Initialize();

 private:
  void OnScroll(int id);
  void OnEditChange(int id);
  void OnClick(int id);
  void RefreshExposureGroup();
  void RefreshSaturation();
  void ShowGains();
  void SelectGroup(int group);
  void Defaults();
  void AwbOnce();
  void SendExposure();

  HWND page_ = nullptr;
  uint32_t loaded_ = 0;
  CUSBDevice* camera_;
  uint8_t gamma_ = 100;
  uint32_t saturation_enable_ = 1;
  uint8_t saturation_ = 100;
  uint8_t contrast_ = 30;
  uint32_t ae_ = 1;
  uint16_t exposure_ = 300;
  uint8_t target_ = 100;
  uint16_t gain_ = 20;
  uint32_t awb_once_ = 0;
  uint8_t red_ = 74, green_ = 64, blue_ = 96;
  uint32_t mono_ = 0;
  uint32_t vflip_ = 0;
  uint32_t hflip_ = 0;
  uint32_t speed_ = 0;
  uint32_t power_frequency_ = 1;
  uint8_t group_ = 0;
  CDialogView* view_;
};

}  // namespace vk::twain

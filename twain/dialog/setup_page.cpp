#include "twain/dialog/setup_page.h"

#include "twain/dialog/control_ids.h"

namespace vk::twain {
namespace {

constexpr int kAwbTries = 2000;

struct Slider {
  int trackbar, edit, spin, low, high, spin_high;
};
constexpr Slider kSliders[] = {
    {IDC_GAMMA, IDC_GAMMA_EDIT, IDC_GAMMA_SPIN, 10, 250, 255},
    {IDC_CONTRAST, IDC_CONTRAST_EDIT, IDC_CONTRAST_SPIN, 0, 100, 100},
    {IDC_SATURATION, IDC_SATURATION_EDIT, IDC_SATURATION_SPIN, 0, 255, 255},
    {IDC_TARGET, IDC_TARGET_EDIT, IDC_TARGET_SPIN, 50, 200, 200},
    {IDC_EXPOSURE, IDC_EXPOSURE_EDIT, IDC_EXPOSURE_SPIN, 1, 4000, 4000},
    {IDC_GAIN, IDC_GAIN_EDIT, IDC_GAIN_SPIN, 1, 80, 80},
    {IDC_RED, IDC_RED_EDIT, IDC_RED_SPIN, 10, 255, 255},
    {IDC_GREEN, IDC_GREEN_EDIT, IDC_GREEN_SPIN, 10, 255, 255},
    {IDC_BLUE, IDC_BLUE_EDIT, IDC_BLUE_SPIN, 10, 255, 255},
};

int LowWord(WPARAM w) { return static_cast<int>(w & 0xFFFF); }
int HighWord(WPARAM w) { return static_cast<int>((w >> 16) & 0xFFFF); }

}  // namespace

CSetupPage::CSetupPage(CUSBDevice* camera, CDialogView* view)
    : camera_(camera), view_(view) {}

void CSetupPage::Initialize() {
  page_ = view_->window();
  OnLoadValues();
  OnInitControls();
}

void CSetupPage::OnLoadValues() {
  uint32_t group = 0;
  camera_->GetParameterGroup(&group);
  group_ = static_cast<uint8_t>(group);
  camera_->GetGamma(&gamma_);
  camera_->GetSaturation(&saturation_enable_, &saturation_);
  camera_->GetContrast(&contrast_);
  camera_->GetExposure(&ae_, &target_, &exposure_, &gain_);
  camera_->GetWhiteBalance(&awb_once_, &red_, &green_, &blue_);
  camera_->GetMono(&mono_);
  camera_->GetVFlip(&vflip_);
  camera_->GetHFlip(&hflip_);
  camera_->GetSpeed(&speed_);
  camera_->GetPowerFrequency(&power_frequency_);
  loaded_ = 0;
}

void CSetupPage::OnInitControls() {
  for (const Slider& s : kSliders) {
    view_->SetRange(s.trackbar, s.low, s.high);
    view_->SetRange(s.spin, s.low, s.spin_high);
    view_->SetTextLimit(s.edit, s.high);
  }
  RefreshExposureGroup();
  RefreshSaturation();
  const int values[] = {gamma_, contrast_, saturation_, target_, exposure_,
                        gain_,  red_,      green_,      blue_};
  for (size_t i = 0; i < std::size(kSliders); ++i) {
    view_->SetPosition(kSliders[i].trackbar, values[i]);
    view_->SetPosition(kSliders[i].spin, values[i]);
    view_->SetNumber(kSliders[i].edit, values[i]);
  }
  view_->Check(IDC_VFLIP, vflip_);
  view_->Check(IDC_HFLIP, hflip_);
  view_->Check(IDC_MONO, mono_);
  view_->Check(IDC_SPEED_NORMAL, speed_ == 0);
  view_->Check(IDC_SPEED_HIGH, speed_ != 0);
  view_->Check(IDC_50HZ, power_frequency_ != 0);
  view_->Check(IDC_60HZ, power_frequency_ == 0);
  for (int g = 0; g < kParameterGroups; ++g) view_->Check(IDC_GROUP_A + g, g == group_);
  loaded_ = 1;
}

// AE on: the target is set, exposure time and gain follow it; AE off: the
// other way round.
void CSetupPage::RefreshExposureGroup() {
  view_->Check(IDC_AE, ae_);
  for (int id : {IDC_TARGET, IDC_TARGET_EDIT, IDC_TARGET_SPIN}) view_->Enable(id, ae_);
  for (int id : {IDC_EXPOSURE, IDC_EXPOSURE_EDIT, IDC_EXPOSURE_SPIN, IDC_GAIN, IDC_GAIN_EDIT,
                 IDC_GAIN_SPIN})
    view_->Enable(id, !ae_);
  if (!loaded_) return;
  view_->SetNumber(IDC_TARGET_EDIT, target_);
  view_->SetNumber(IDC_EXPOSURE_EDIT, exposure_);
  view_->SetNumber(IDC_GAIN_EDIT, gain_);
}

void CSetupPage::RefreshSaturation() {
  view_->Check(IDC_COLOR_ENHANCEMENT, saturation_enable_);
  for (int id : {IDC_SATURATION, IDC_SATURATION_EDIT, IDC_SATURATION_SPIN})
    view_->Enable(id, saturation_enable_);
  if (loaded_) view_->SetNumber(IDC_SATURATION_EDIT, saturation_);
}

void CSetupPage::ShowGains() {
  view_->SetNumber(IDC_RED_EDIT, red_);
  view_->SetNumber(IDC_GREEN_EDIT, green_);
  view_->SetNumber(IDC_BLUE_EDIT, blue_);
}

void CSetupPage::SendExposure() {
  view_->SetPosition(IDC_TARGET, target_);
  view_->SetPosition(IDC_EXPOSURE, exposure_);
  view_->SetPosition(IDC_GAIN, gain_);
  camera_->SetExposure(ae_, target_, exposure_, gain_);
}

INT_PTR CSetupPage::OnPageMessage(HWND, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_HSCROLL:
      OnScroll(view_->ControlId(lparam));
      return TRUE;
    case WM_COMMAND:
      if (HighWord(wparam) == kEditChange) {
        OnEditChange(LowWord(wparam));
      } else if (HighWord(wparam) == kClicked) {
        OnClick(LowWord(wparam));
      }
      return TRUE;
    default:
      return FALSE;
  }
}

void CSetupPage::OnScroll(int id) {
  const int position = view_->Position(id);
  switch (id) {
    case IDC_GAMMA:
      gamma_ = static_cast<uint8_t>(position);
      view_->SetNumber(IDC_GAMMA_EDIT, position);
      break;
    case IDC_CONTRAST:
      contrast_ = static_cast<uint8_t>(position);
      view_->SetNumber(IDC_CONTRAST_EDIT, position);
      break;
    case IDC_SATURATION:
      if (!saturation_enable_) break;
      saturation_ = static_cast<uint8_t>(position);
      RefreshSaturation();
      break;
    case IDC_TARGET:
      target_ = static_cast<uint8_t>(position);
      RefreshExposureGroup();
      break;
    case IDC_EXPOSURE:
    case IDC_GAIN:
      if (ae_) break;
      (id == IDC_EXPOSURE ? exposure_ : gain_) = static_cast<uint16_t>(position);
      RefreshExposureGroup();
      break;
    case IDC_RED:
    case IDC_GREEN:
    case IDC_BLUE:
      (id == IDC_RED ? red_ : id == IDC_GREEN ? green_ : blue_) = static_cast<uint8_t>(position);
      ShowGains();
      break;
    default:
      break;
  }
}

void CSetupPage::OnEditChange(int id) {
  if (!loaded_) return;  // the controls are being filled
  const int n = view_->Number(id);
  switch (id) {
    case IDC_GAMMA_EDIT:
      gamma_ = static_cast<uint8_t>(n);
      view_->SetPosition(IDC_GAMMA, n);
      camera_->SetGamma(gamma_);
      break;
    case IDC_CONTRAST_EDIT:
      contrast_ = static_cast<uint8_t>(n);
      view_->SetPosition(IDC_CONTRAST, n);
      camera_->SetContrast(contrast_);
      break;
    case IDC_SATURATION_EDIT:
      saturation_ = static_cast<uint8_t>(n);
      view_->SetPosition(IDC_SATURATION, n);
      camera_->SetSaturation(saturation_enable_, saturation_);
      break;
    case IDC_TARGET_EDIT:
      if (!ae_) break;
      target_ = static_cast<uint8_t>(n);
      SendExposure();
      break;
    case IDC_EXPOSURE_EDIT:
    case IDC_GAIN_EDIT:
      if (ae_) break;
      (id == IDC_EXPOSURE_EDIT ? exposure_ : gain_) = static_cast<uint16_t>(n);
      SendExposure();
      break;
    case IDC_RED_EDIT:
    case IDC_GREEN_EDIT:
    case IDC_BLUE_EDIT:
      (id == IDC_RED_EDIT ? red_ : id == IDC_GREEN_EDIT ? green_ : blue_) =
          static_cast<uint8_t>(n);
      view_->SetPosition(IDC_RED, red_);
      view_->SetPosition(IDC_GREEN, green_);
      view_->SetPosition(IDC_BLUE, blue_);
      camera_->SetWhiteBalance(awb_once_, red_, green_, blue_);
      break;
    default:
      break;
  }
}

void CSetupPage::OnClick(int id) {
  switch (id) {
    case IDC_AE:
      ae_ = !ae_;
      RefreshExposureGroup();
      break;
    case IDC_VFLIP:
      vflip_ = !vflip_;
      view_->Check(id, vflip_);
      camera_->SetVFlip(vflip_);
      break;
    case IDC_HFLIP:
      hflip_ = !hflip_;
      view_->Check(id, hflip_);
      camera_->SetHFlip(hflip_);
      break;
    case IDC_MONO:
      mono_ = !mono_;
      view_->Check(id, mono_);
      camera_->SetMono(mono_);
      break;
    case IDC_COLOR_ENHANCEMENT:
      saturation_enable_ = !saturation_enable_;
      RefreshSaturation();
      break;
    case IDC_SPEED_NORMAL:
    case IDC_SPEED_HIGH:
      speed_ = id == IDC_SPEED_HIGH;
      view_->Check(IDC_SPEED_NORMAL, !speed_);
      view_->Check(IDC_SPEED_HIGH, speed_);
      camera_->SetSpeed(speed_);
      break;
    case IDC_50HZ:
    case IDC_60HZ:
      power_frequency_ = id == IDC_50HZ;
      view_->Check(IDC_50HZ, power_frequency_);
      view_->Check(IDC_60HZ, !power_frequency_);
      camera_->SetPowerFrequency(power_frequency_);
      break;
    case IDC_SAVE:
      camera_->SaveParameters();
      break;
    case IDC_DEFAULT:
      Defaults();
      break;
    case IDC_AWB_ONCE:
      AwbOnce();
      break;
    default:
      if (id >= IDC_GROUP_A && id < IDC_GROUP_A + kParameterGroups) SelectGroup(id - IDC_GROUP_A);
  }
}

void CSetupPage::SelectGroup(int group) {
  for (int g = 0; g < kParameterGroups; ++g) view_->Check(IDC_GROUP_A + g, g == group);
  camera_->SelectParameterGroup(static_cast<uint32_t>(group));
  Sleep(1);
  OnLoadValues();
  OnInitControls();
}

// The camera's construction defaults; the group and the BGR option stay.
void CSetupPage::Defaults() {
  const Settings d;
  gamma_ = d.gamma;
  contrast_ = d.contrast;
  saturation_enable_ = d.saturation_enable;
  saturation_ = d.saturation;
  awb_once_ = 0;
  red_ = d.red;
  green_ = d.green;
  blue_ = d.blue;
  speed_ = d.speed;
  vflip_ = d.vflip;
  hflip_ = d.hflip;
  mono_ = d.mono;
  power_frequency_ = d.power_frequency;
  ae_ = d.ae;
  exposure_ = d.exposure;
  target_ = d.ae_target;
  gain_ = d.gain;
  camera_->SetGamma(gamma_);
  camera_->SetContrast(contrast_);
  camera_->SetSaturation(saturation_enable_, saturation_);
  camera_->SetWhiteBalance(awb_once_, red_, green_, blue_);
  camera_->SetSpeed(speed_);
  camera_->SetVFlip(vflip_);
  camera_->SetHFlip(hflip_);
  camera_->SetMono(mono_);
  camera_->SetPowerFrequency(power_frequency_);
  camera_->SetExposure(ae_, target_, exposure_, gain_);
  OnInitControls();
}

// Raises the camera's one-shot white balance and shows the gains the next
// processed frame gives (or, after 2000 ms without one, the last read).
void CSetupPage::AwbOnce() {
  awb_once_ = 1;
  camera_->SetWhiteBalance(1, red_, green_, blue_);
  for (int i = 0; i < kAwbTries; ++i) {
    Sleep(1);
    camera_->GetWhiteBalance(&awb_once_, &red_, &green_, &blue_);
    if (awb_once_ == 0) break;
  }
  view_->SetPosition(IDC_RED, red_);
  view_->SetPosition(IDC_GREEN, green_);
  view_->SetPosition(IDC_BLUE, blue_);
  ShowGains();
}

}  // namespace vk::twain

// Parameter teams: four complete sets of the camera object's image and
// exposure settings in the current user's registry, one key each.
#include <iterator>

#include "sdk/core/camera.h"

namespace vk {
namespace {

constexpr const char* kTeamKeys[kParameterTeams] = {
    "Software\\VELMORAN\\TRQ50\\setupa", "Software\\VELMORAN\\TRQ50\\setupb",
    "Software\\VELMORAN\\TRQ50\\setupc", "Software\\VELMORAN\\TRQ50\\setupd"};
constexpr uint32_t kMatrixOffset = 8191;
constexpr const char* kMatrixNames[9] = {"R00 Mt", "R01 Mt", "R02 Mt",
                                         "G00 Mt", "G01 Mt", "G02 Mt",
                                         "B00 Mt", "B01 Mt", "B02 Mt"};

// Team numbers other than 1, 2 and 3 use team 0's key.
const char* KeyOf(uint32_t team) {
  return team >= 1 && team <= 3 ? kTeamKeys[team] : kTeamKeys[0];
}

class TeamKey {
 public:
  explicit TeamKey(uint32_t team) {
    if (RegCreateKeyExA(HKEY_CURRENT_USER, KeyOf(team), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key_,
                        nullptr) != ERROR_SUCCESS)
      key_ = nullptr;
  }
  ~TeamKey() {
    if (key_) RegCloseKey(key_);
  }
  TeamKey(const TeamKey&) = delete;
  TeamKey& operator=(const TeamKey&) = delete;

  bool ok() const { return key_ != nullptr; }

  // A REG_DWORD of 4 bytes compared unsigned and clamped into range;
  // anything else gives the fallback.
  uint32_t Read(const char* name, uint32_t minimum, uint32_t maximum,
                uint32_t fallback) const {
    DWORD type = 0, size = 4;
    uint32_t v = 0;
    if (RegQueryValueExA(key_, name, nullptr, &type,
                         reinterpret_cast<BYTE*>(&v), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != 4)
      return fallback;
    return v > maximum ? maximum : v < minimum ? minimum : v;
  }
  void Write(const char* name, uint32_t v) const {
    RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                   4);
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

int CCamera::ReadTeamNumber() {
  TeamKey key(0);
  if (!key.ok()) return 0;
  team_ = key.Read("ParTeam Team", 0, 3, team_);
  return 1;
}

int CCamera::SaveTeam(uint32_t team) {
  team_ = team;
  TeamKey key(team);
  if (!key.ok()) return 0;
  key.Write("bAutoExposure", ae_enable_);
  key.Write("ExposureTime", exposure_);
  key.Write("ExposureTarget", ae_target_);
  key.Write("Analog Gain", analog_gain_);
  key.Write("bAutoWB", awb_enable_);
  key.Write("Gain r", gains_[0]);
  key.Write("Gain g", gains_[1]);
  key.Write("Gain b", gains_[2]);
  key.Write("Gamma", gamma_);
  key.Write("Contrast", contrast_);
  key.Write("Color Correct Enable ", color_correction_);
  key.Write("Saturation", saturation_);
  key.Write("Frame Speed", frame_speed_);
  key.Write("Sample Type", sample_type_);
  key.Write("Light Frquency", light_frequency_);
  key.Write("Mono Mode", monochrome_);
  key.Write("VFlip Mode", vertical_flip_);
  key.Write("HFlip Mode", horizontal_flip_);
  key.Write("B2RGB Mode", demosaic_mode_);
  for (int i = 0; i < 9; ++i)
    key.Write(kMatrixNames[i],
              static_cast<uint32_t>(color_matrix_[i / 3][i % 3]) + kMatrixOffset);
  key.Write("Resolution", saved_resolution_);
  if (exposure_ != initial_exposure_)
    key.Write("EXPTIME US", row_time_us_ * exposure_);
  return 1;
}

int CCamera::LoadTeam(uint32_t team) {
  TeamKey key(team);
  if (!key.ok()) return 0;
  ae_enable_ = key.Read("bAutoExposure", 0, 1, ae_enable_);
  ae_target_ = static_cast<uint8_t>(key.Read("ExposureTarget", 40, 200, ae_target_));
  exposure_ = static_cast<uint16_t>(
      key.Read("ExposureTime", 1, max_exposure_, exposure_));
  analog_gain_ = static_cast<uint16_t>(key.Read("Analog Gain", 0, 100, analog_gain_));
  awb_enable_ = key.Read("bAutoWB", 0, 1, awb_enable_);
  for (int c = 0; c < 3; ++c) {
    static constexpr const char* kGains[3] = {"Gain r", "Gain g", "Gain b"};
    gains_[c] = static_cast<uint8_t>(key.Read(kGains[c], 0, 255, gains_[c]));
  }
  gamma_ = static_cast<uint8_t>(key.Read("Gamma", 10, 250, gamma_));
  contrast_ = static_cast<uint8_t>(key.Read("Contrast", 0, 100, contrast_));
  color_correction_ = key.Read("Color Correct Enable ", 0, 1, color_correction_);
  saturation_ = static_cast<uint8_t>(key.Read("Saturation", 0, 255, saturation_));
  frame_speed_ = static_cast<uint8_t>(key.Read("Frame Speed", 0, 1, frame_speed_));
  sample_type_ = 0;
  light_frequency_ =
      static_cast<uint8_t>(key.Read("Light Frquency", 0, 1, light_frequency_));
  monochrome_ = key.Read("Mono Mode", 0, 1, monochrome_);
  vertical_flip_ = key.Read("VFlip Mode", 0, 1, vertical_flip_);
  horizontal_flip_ = key.Read("HFlip Mode", 0, 1, horizontal_flip_);
  demosaic_mode_ = static_cast<uint8_t>(key.Read("B2RGB Mode", 0, 255, demosaic_mode_));
  for (int i = 0; i < 9; ++i) {
    const uint32_t fallback = static_cast<uint32_t>(
        kDefaultColorMatrix[i / 3][i % 3] + static_cast<int32_t>(kMatrixOffset));
    color_matrix_[i / 3][i % 3] =
        static_cast<int32_t>(key.Read(kMatrixNames[i], 1, 16382, fallback)) -
        static_cast<int32_t>(kMatrixOffset);
  }
  saved_resolution_ =
      static_cast<uint8_t>(key.Read("Resolution", 0, 3, saved_resolution_));
  exposure_us_ = key.Read("EXPTIME US", 0, 0xFFFFFFFFu, exposure_us_);
  team_ = team;
  return 1;
}

}  // namespace vk

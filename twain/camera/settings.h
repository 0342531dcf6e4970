// The data source's camera settings, their defaults, and the parameter
// groups that keep them in the current user's registry: the base key
// "Software\VELMORAN\PLV210\dshow" ("ParaTeam", "BGR") and one key per
// group ("dshow" itself, "dshowB", "dshowC", "dshowD").
#pragma once

#include <cstdint>

namespace vk::twain {

inline constexpr int kParameterGroups = 4;

struct Settings {
  uint8_t ae_target = 100;
  uint16_t gain = 20;  // analog gain index, when the registry holds none
  uint8_t resolution = 1;
  uint32_t awb_once = 0;
  uint8_t red = 74, green = 64, blue = 96;
  uint32_t ae = 1;
  uint16_t exposure = 300;  // sensor rows
  uint8_t gamma = 100;
  uint8_t contrast = 30;
  uint32_t saturation_enable = 1;
  uint8_t saturation = 100;
  uint32_t mono = 0;
  uint32_t vflip = 0;
  uint32_t hflip = 0;
  uint32_t power_frequency = 1;  // 1 = 50 Hz, 0 = 60 Hz
  uint32_t speed = 0;            // 0 normal, 1 high
};

// The colour matrix (128 = 1.0), rows red, green, blue.
inline constexpr int32_t kColorMatrix[4][4] = {
    {205, -65, -12, 0}, {-63, 222, -32, 0}, {-34, -125, 286, 0}, {0, 0, 0, 0}};

// "ParaTeam" and "BGR" of the base key, clamped; unchanged when absent.
void LoadBase(uint32_t* group, uint32_t* bgr);
// The group's values, each clamped into its load range; a value that is
// absent (or not a REG_DWORD) keeps its setting.
void LoadGroup(uint32_t group, Settings* s);
// "ParaTeam" and "BGR", then every value of the group.
void SaveGroup(uint32_t group, uint32_t bgr, const Settings& s);

}  // namespace vk::twain

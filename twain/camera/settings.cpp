#include "twain/camera/settings.h"

#include <algorithm>
#include <string>

#include "platform/win32.h"

namespace vk::twain {
namespace {

constexpr const char* kBaseKey = "Software\\VELMORAN\\PLV210\\dshow";
constexpr const char* kGroupSuffix[kParameterGroups] = {"", "B", "C", "D"};

HKEY OpenKey(const std::string& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

std::string GroupKey(uint32_t group) {
  return std::string(kBaseKey) + kGroupSuffix[group < kParameterGroups ? group : 0];
}

// Reads a REG_DWORD clamped into [low, high] into *value; absent values
// leave it.
template <typename T>
void Load(HKEY key, const char* name, uint32_t low, uint32_t high, T* value) {
  DWORD type = 0, data = 0, size = sizeof(data);
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data),
                       &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(DWORD))
    return;
  *value = static_cast<T>(std::clamp<uint32_t>(data, low, high));
}

void Save(HKEY key, const char* name, uint32_t value) {
  const DWORD data = value;
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                 sizeof(data));
}

}  // namespace

void LoadBase(uint32_t* group, uint32_t* bgr) {
  HKEY key = OpenKey(kBaseKey);
  if (!key) return;
  Load(key, "ParaTeam", 0, 3, group);
  Load(key, "BGR", 0, 1, bgr);
  RegCloseKey(key);
}

void LoadGroup(uint32_t group, Settings* s) {
  HKEY key = OpenKey(GroupKey(group));
  if (!key) return;
  Load(key, "ePLV210Size", 0, 2, &s->resolution);
  Load(key, "bAutoWB", 0, 1, &s->awb_once);
  Load(key, "r", 0, 255, &s->red);
  Load(key, "g", 0, 255, &s->green);
  Load(key, "b", 0, 255, &s->blue);
  Load(key, "AutoExposure", 0, 1, &s->ae);
  Load(key, "ExposureTime", 1, 4000, &s->exposure);
  Load(key, "Gain", 1, 80, &s->gain);
  Load(key, "AETarget", 40, 200, &s->ae_target);
  Load(key, "Gamma", 10, 250, &s->gamma);
  Load(key, "Contrast", 0, 100, &s->contrast);
  Load(key, "EnableSaturation", 0, 1, &s->saturation_enable);
  Load(key, "Saturation", 0, 255, &s->saturation);
  Load(key, "WhiteBlack", 0, 1, &s->mono);
  Load(key, "VFlip", 0, 1, &s->vflip);
  Load(key, "HFlip", 0, 1, &s->hflip);
  Load(key, "Speed", 0, 1, &s->speed);
  Load(key, "HZ", 0, 1, &s->power_frequency);
  RegCloseKey(key);
}

void SaveGroup(uint32_t group, uint32_t bgr, const Settings& s) {
  if (HKEY base = OpenKey(kBaseKey)) {
    Save(base, "ParaTeam", group);
    Save(base, "BGR", bgr);
    RegCloseKey(base);
  }
  HKEY key = OpenKey(GroupKey(group));
  if (!key) return;
  Save(key, "ePLV210Size", s.resolution);
  Save(key, "bAutoWB", s.awb_once);
  Save(key, "r", s.red);
  Save(key, "g", s.green);
  Save(key, "b", s.blue);
  Save(key, "AutoExposure", s.ae);
  Save(key, "AETarget", s.ae_target);
  Save(key, "ExposureTime", s.exposure);
  Save(key, "AnalogGain", s.gain);
  Save(key, "Gamma", s.gamma);
  Save(key, "Contrast", s.contrast);
  Save(key, "EnableSaturation", s.saturation_enable);
  Save(key, "Saturation", s.saturation);
  Save(key, "WhiteBlack", s.mono);
  Save(key, "VFlip", s.vflip);
  Save(key, "HFlip", s.hflip);
  Save(key, "Gain", s.gain);
  Save(key, "Speed", s.speed);
  Save(key, "HZ", s.power_frequency);
  RegCloseKey(key);
}

}  // namespace vk::twain

#include "sim/camera/environment.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vk::sim {

int SimulatedCameraCount() {
  const char* text = std::getenv("VKCAM_SIM_CAMERAS");
  if (text == nullptr || *text == '\0') return 1;
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (*end != '\0') return 1;
  return static_cast<int>(std::clamp<long>(n, 0, kMaxSimulatedCameras));
}

bool CameraOptionsFromEnvironment(int index, CameraOptions* options,
                                  std::string* error) {
  options->seed = static_cast<uint32_t>(index + 1);
  // "0" turns the sensor noise off: every frame of a setting is then the
  // same bytes, whichever host renders it.
  if (const char* noise = std::getenv("VKCAM_SIM_NOISE"); noise && *noise)
    options->noise = std::strcmp(noise, "0") != 0;
  if (const char* folder = std::getenv("VKCAM_SIM_NVRAM"); folder && *folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    options->nvram_file = (std::filesystem::path(folder) /
                           ("camera-" + std::to_string(index) + ".nvram"))
                              .string();
  }
  if (const char* faults = std::getenv("VKCAM_SIM_FAULTS"); faults && *faults) {
    std::optional<FaultPlan> plan = ParseFaultPlan(faults, error);
    if (!plan) {
      if (error) *error = "VKCAM_SIM_FAULTS: " + *error;
      return false;
    }
    options->faults = *plan;
  }
  return true;
}

}  // namespace vk::sim

// The simulated cameras the host environment asks for: how many
// (VKCAM_SIM_CAMERAS), where each keeps its memory (VKCAM_SIM_NVRAM), which
// faults they show (VKCAM_SIM_FAULTS) and whether their sensors are noisy
// (VKCAM_SIM_NOISE).
#pragma once

#include <string>

#include "sim/camera/camera.h"

namespace vk::sim {

inline constexpr int kMaxSimulatedCameras = 8;

// VKCAM_SIM_CAMERAS clamped to 0..8; 1 when unset or not a number.
int SimulatedCameraCount();

// Options of the camera at `index` (0-based). Returns false with *error set
// when VKCAM_SIM_FAULTS does not parse, so a mistyped plan never runs.
bool CameraOptionsFromEnvironment(int index, CameraOptions* options,
                                  std::string* error);

}  // namespace vk::sim

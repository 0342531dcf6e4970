// The simulated camera's view: a fixed synthetic scene (colour chart with grey
// steps, textures) and its rendering into 8-bit Bayer frames whose brightness
// follows exposure time x gain, with sensor noise and saturation at 255.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/camera/sensor.h"

namespace vk::sim {

// Reflectance planes (0..255 per channel) over the whole sensor array.
class Scene {
 public:
  static const Scene& Default();  // built once, shared by every camera
  uint8_t At(int channel, int x, int y) const {
    return planes_[channel][static_cast<size_t>(y) * kSensorWidth + x];
  }
  const uint8_t* Row(int channel, int y) const {
    return planes_[channel].data() + static_cast<size_t>(y) * kSensorWidth;
  }

 private:
  Scene();
  std::vector<uint8_t> planes_[3];  // red, green, blue
};

// Channel sensitivities of the sensor: a mild warm cast that white balance
// has to take out (the SDK's default gains 74, 64, 96 roughly undo it).
inline constexpr double kChannelSensitivity[3] = {0.86, 1.0, 0.67};

// Exposure time x gain at which a white patch reaches full scale.
inline constexpr double kFullScaleExposureGain = 100000.0;

struct RenderSettings {
  FrameGeometry geometry;
  double exposure_us = 0;
  double gain = 1;
  bool noise = true;
  uint32_t noise_seed = 1;
};

// Bayer colour of output pixel (x, y): even rows G R, odd rows B G.
// Returns 0 red, 1 green, 2 blue.
constexpr int BayerChannel(int x, int y) {
  if ((y & 1) == 0) return (x & 1) ? 0 : 1;
  return (x & 1) ? 1 : 2;
}

// Writes geometry.width x geometry.height bytes, rows top to bottom. Array
// positions outside the sensor read as black.
void RenderBayer(const Scene& scene, const RenderSettings& settings,
                 uint8_t* out);

}  // namespace vk::sim

#include "sim/camera/scene.h"

#include <algorithm>
#include <cmath>

namespace vk::sim {
namespace {

struct Rgb {
  uint8_t r, g, b;
};

// A 6 x 4 colour chart; the last row is the grey step wedge.
constexpr Rgb kChart[24] = {
    {115, 82, 68},   {194, 150, 130}, {98, 122, 157},  {87, 108, 67},
    {133, 128, 177}, {103, 189, 170}, {214, 126, 44},  {80, 91, 166},
    {193, 90, 99},   {94, 60, 108},   {157, 188, 64},  {224, 163, 46},
    {56, 61, 150},   {70, 148, 73},   {175, 54, 60},   {231, 199, 31},
    {187, 86, 149},  {8, 133, 161},   {243, 243, 242}, {200, 200, 200},
    {160, 160, 160}, {122, 122, 121}, {85, 85, 85},    {52, 52, 52},
};
constexpr int kPatch = 250, kGap = 36, kChartX = 184, kChartY = 200;
constexpr int kPatchRowPitch = 220 + 40;

Rgb Background(int y) {
  const auto v = static_cast<uint8_t>(100 + y * 30 / kSensorHeight);
  return {v, v, v};
}

// Chirped vertical stripes: fine detail that demosaicing has to resolve.
Rgb Stripes(int x) {
  const double f = 0.002 + 0.25 * x / kSensorWidth;
  const auto v = static_cast<uint8_t>(128 + 100 * std::sin(f * x));
  return {v, v, v};
}

Rgb Checks(int x, int y) {
  if (x < kSensorWidth / 2) {
    const bool on = ((x / 4) + (y / 4)) & 1;
    return on ? Rgb{220, 220, 220} : Rgb{30, 30, 30};
  }
  const double dx = x - 1536.0, dy = y - 1380.0;
  const auto v =
      static_cast<uint8_t>(128 + 100 * std::cos((dx * dx + dy * dy) / 600.0));
  return {v, static_cast<uint8_t>(v * 3 / 4), static_cast<uint8_t>(v / 2)};
}

Rgb ChartOrBackground(int x, int y) {
  const int cx = x - kChartX, cy = y - kChartY;
  if (cx >= 0 && cy >= 0) {
    const int col = cx / (kPatch + kGap), row = cy / kPatchRowPitch;
    const int px = cx % (kPatch + kGap), py = cy % kPatchRowPitch;
    if (col < 6 && row < 4 && px < kPatch && py < 220) {
      const bool border = px < 6 || px >= kPatch - 6 || py < 6 || py >= 214;
      return border ? Rgb{20, 20, 20} : kChart[row * 6 + col];
    }
  }
  return Background(y);
}

Rgb SceneAt(int x, int y) {
  if (y >= 40 && y < 160) return Stripes(x);
  if (y >= 1260 && y < 1500) return Checks(x, y);
  return ChartOrBackground(x, y);
}

uint32_t XorShift(uint32_t& s) {
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  return s;
}

}  // namespace

Scene::Scene() {
  for (auto& p : planes_) p.resize(size_t{kSensorWidth} * kSensorHeight);
  for (int y = 0; y < kSensorHeight; ++y) {
    for (int x = 0; x < kSensorWidth; ++x) {
      const Rgb c = SceneAt(x, y);
      const size_t i = static_cast<size_t>(y) * kSensorWidth + x;
      planes_[0][i] = c.r;
      planes_[1][i] = c.g;
      planes_[2][i] = c.b;
    }
  }
}

const Scene& Scene::Default() {
  static const Scene scene;
  return scene;
}

void RenderBayer(const Scene& scene, const RenderSettings& s, uint8_t* out) {
  // Per channel, reflectance -> sensor level in 1/16 steps, clamped.
  int lut[3][256];
  const double scale = s.exposure_us * s.gain / kFullScaleExposureGain;
  for (int c = 0; c < 3; ++c) {
    for (int v = 0; v < 256; ++v) {
      lut[c][v] = static_cast<int>(
          std::min(v * kChannelSensitivity[c] * scale * 16.0, 4095.0 + 256));
    }
  }
  const FrameGeometry& g = s.geometry;
  uint32_t seed = s.noise_seed | 1u;
  for (int y = 0; y < g.height; ++y) {
    uint8_t* row = out + static_cast<size_t>(y) * g.width;
    const int ay = g.first_row + y * g.row_step;
    if (ay < 0 || ay >= kSensorHeight) {
      std::fill(row, row + g.width, 0);
      continue;
    }
    const int even = BayerChannel(0, y), odd = BayerChannel(1, y);
    const uint8_t* planes[2] = {scene.Row(even, ay), scene.Row(odd, ay)};
    const int* luts[2] = {lut[even], lut[odd]};
    for (int x = 0; x < g.width; ++x) {
      const int ax = g.first_column + x * g.column_step;
      if (ax < 0 || ax >= kSensorWidth) {
        row[x] = 0;
        continue;
      }
      int level = luts[x & 1][planes[x & 1][ax]];
      if (s.noise) {
        const uint32_t r = XorShift(seed);
        level += (static_cast<int>(r & 0x7F) + static_cast<int>((r >> 7) & 0x7F) -
                  127) >> 1;
      }
      row[x] = static_cast<uint8_t>(std::clamp(level >> 4, 0, 255));
    }
  }
}

}  // namespace vk::sim

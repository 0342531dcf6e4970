// Per-pixel stages: the combined colour step, gains alone, luminance, each
// followed at once by the tone table (the same result as a separate tone
// pass, with one trip through memory), and the geometric flips.
#include <algorithm>
#include <cstring>

#include "sdk/core/isp.h"

namespace vk::isp {

ColorStep MakeColorStep(uint8_t saturation, const int32_t (*matrix)[4]) {
  const int32_t s = saturation, b = 128 - s;
  const int32_t kr = b * 308 / 1000, kg = b * 609 / 1000, kb = b * 82 / 1000;
  // Saturation matrix: rows tR, tG, tB over the gained red, green, blue.
  const int32_t sat[3][3] = {
      {s + kr, kg, kb}, {kr, s + kg, kb}, {kr, kg, s + kb}};
  ColorStep step{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) step.m[i][j] += matrix[i][k] * sat[k][j];
  return step;
}

namespace {

inline uint8_t Fixed14(int32_t v) {
  if (v >= 0x400000) return 255;
  if (v < 0) return 0;
  return static_cast<uint8_t>(v >> 14);
}

}  // namespace

void ApplyColorAndTone(uint8_t* image, size_t pixels, const ColorStep& step,
                       const uint8_t* const gains[3], const uint8_t* tone) {
  const uint8_t* gr = gains[0];
  const uint8_t* gg = gains[1];
  const uint8_t* gb = gains[2];
  const int32_t m00 = step.m[0][0], m01 = step.m[0][1], m02 = step.m[0][2];
  const int32_t m10 = step.m[1][0], m11 = step.m[1][1], m12 = step.m[1][2];
  const int32_t m20 = step.m[2][0], m21 = step.m[2][1], m22 = step.m[2][2];
  for (size_t i = 0; i < pixels; ++i) {
    uint8_t* p = image + 3 * i;
    const int32_t r = gr[p[2]], g = gg[p[1]], b = gb[p[0]];
    p[2] = tone[Fixed14(m00 * r + m01 * g + m02 * b)];
    p[1] = tone[Fixed14(m10 * r + m11 * g + m12 * b)];
    p[0] = tone[Fixed14(m20 * r + m21 * g + m22 * b)];
  }
}

void ApplyGainsAndTone(uint8_t* image, size_t pixels,
                       const uint8_t* const gains[3], const uint8_t* tone) {
  // Fold each channel's gain table into the tone table once.
  uint8_t red[256], green[256], blue[256];
  for (int v = 0; v < 256; ++v) {
    red[v] = tone[gains[0][v]];
    green[v] = tone[gains[1][v]];
    blue[v] = tone[gains[2][v]];
  }
  for (size_t i = 0; i < pixels; ++i) {
    uint8_t* p = image + 3 * i;
    p[0] = blue[p[0]];
    p[1] = green[p[1]];
    p[2] = red[p[2]];
  }
}

void ApplyLuminanceAndTone(uint8_t* image, size_t pixels, const uint8_t* tone) {
  for (size_t i = 0; i < pixels; ++i) {
    uint8_t* p = image + 3 * i;
    const uint8_t y = tone[(p[2] * 19595 + p[1] * 38469 + p[0] * 7472) >> 16];
    p[0] = p[1] = p[2] = y;
  }
}

void MirrorRows(uint8_t* image, Geometry g, int first, int last) {
  for (int r = first; r < last; ++r) {
    uint8_t* row = image + static_cast<size_t>(r) * g.width * 3;
    for (int j = 0, k = g.width - 1; j < k; ++j, --k) {
      std::swap(row[3 * j], row[3 * k]);
      std::swap(row[3 * j + 1], row[3 * k + 1]);
      std::swap(row[3 * j + 2], row[3 * k + 2]);
    }
  }
}

void ReverseRows(uint8_t* image, Geometry g, uint8_t* temp_row) {
  const size_t bytes = static_cast<size_t>(g.width) * 3;
  for (int i = 0, j = g.height - 1; i < j; ++i, --j) {
    uint8_t* a = image + i * bytes;
    uint8_t* b = image + j * bytes;
    std::memcpy(temp_row, a, bytes);
    std::memcpy(a, b, bytes);
    std::memcpy(b, temp_row, bytes);
  }
}

}  // namespace vk::isp

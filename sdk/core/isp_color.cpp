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

// v >> 14 clamped to 0..255: 255 from 0x400000 up, 0 below 0.
inline int Fixed14(int32_t v) { return std::clamp(v >> 14, 0, 255); }

}  // namespace

void ApplyColorAndTone(uint8_t* image, size_t pixels, const ColorStep& step,
                       const uint8_t* const gains[3], const uint8_t* tone) {
  // Each input channel's gain table folded into its column of the matrix:
  // v(out) = T[out][red][R] + T[out][green][G] + T[out][blue][B], the same
  // integer sums as gaining first and multiplying after.
  int32_t t[3][3][256];
  for (int o = 0; o < 3; ++o)
    for (int i = 0; i < 3; ++i)
      for (int x = 0; x < 256; ++x) t[o][i][x] = step.m[o][i] * gains[i][x];
  for (size_t k = 0; k < pixels; ++k) {
    uint8_t* p = image + 3 * k;
    const int b = p[0], g = p[1], r = p[2];
    const int32_t red = t[0][0][r] + t[0][1][g] + t[0][2][b];
    const int32_t green = t[1][0][r] + t[1][1][g] + t[1][2][b];
    const int32_t blue = t[2][0][r] + t[2][1][g] + t[2][2][b];
    p[2] = tone[Fixed14(red)];
    p[1] = tone[Fixed14(green)];
    p[0] = tone[Fixed14(blue)];
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

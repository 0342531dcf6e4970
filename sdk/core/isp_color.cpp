// Per-pixel stages: the combined colour step, gains alone, luminance, each
// followed at once by the tone table (the same result as a separate tone
// pass, with one trip through memory), and the geometric flips.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
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

namespace {

// Whether the gain tables are the gains' own: min((v x gain) >> 6, 255).
bool TablesFollowFactors(const uint8_t* const gains[3], const uint32_t* factors) {
  for (int c = 0; c < 3; ++c) {
    if (factors[c] > 255) return false;  // the vector form multiplies in 16 bits
    for (uint32_t v = 0; v < 256; ++v)
      if (gains[c][v] != std::min<uint32_t>((v * factors[c]) >> 6, 255)) return false;
  }
  return true;
}

// The 16-bit form where the matrix allows it: dividing every entry and the
// sum by the same power of two leaves each output's shifted sum unchanged.
void MakeNarrowForm(const ColorStep& step, const uint8_t* tone,
                    PixelStage* stage) {
  // Sums of products must stay within 32 bits, as the table form's do.
  for (const auto& row : step.m) {
    int64_t largest = 0;
    for (int32_t v : row) largest += std::abs(static_cast<int64_t>(v)) * 255;
    if (largest > INT32_MAX / 2) return;
  }
  int shared = 14;
  for (const auto& row : step.m)
    for (int32_t v : row)
      if (v != 0)
        shared = std::min(shared, __builtin_ctz(static_cast<uint32_t>(v)));
  // The fewest low bits to split off for the high parts to fit 16 bits.
  int split = 0;
  for (const auto& row : step.m)
    for (int32_t v : row)
      while (((v >> shared) >> split) < -32768 ||
             ((v >> shared) >> split) > 32767)
        ++split;
  if (split > 15) return;
  stage->narrow = true;
  stage->narrow_shift = 14 - shared;
  stage->narrow_split = split;
  for (int o = 0; o < 3; ++o) {
    const auto high = [&](int i) {
      return static_cast<uint32_t>((step.m[o][i] >> shared) >> split) & 0xFFFF;
    };
    const auto low = [&](int i) {
      return static_cast<uint32_t>(step.m[o][i] >> shared) &
             ((1u << split) - 1);
    };
    stage->narrow_red_green[o] = high(0) | high(1) << 16;
    stage->narrow_blue[o] = high(2);
    stage->narrow_red_green_low[o] = low(0) | low(1) << 16;
    stage->narrow_blue_low[o] = low(2);
  }
  for (int half = 0; half < 2; ++half)
    for (int k = 0; k < 8; ++k)
      for (int i = 0; i < 16; ++i) {
        const int at = 128 * half + 16 * k + i;
        stage->tone_steps[8 * half + k][i] =
            stage->tone_steps[8 * half + k][16 + i] =
                static_cast<uint8_t>(tone[at] ^ (k < 7 ? tone[at + 16] : 0));
      }
}

}  // namespace

void MakeColorStage(const ColorStep& step, const uint8_t* const gains[3], const uint8_t* tone,
                    PixelStage* stage, const uint32_t* factors) {
  // v(out) = T[out][red][R] + T[out][green][G] + T[out][blue][B]: the same
  // integer sums as gaining first and multiplying after.
  stage->kind = PixelStage::Kind::kColor;
  stage->tone = tone;
  for (int o = 0; o < 3; ++o)
    for (int i = 0; i < 3; ++i)
      for (int x = 0; x < 256; ++x) stage->color[o][i][x] = step.m[o][i] * gains[i][x];
  stage->narrow = false;
  stage->vector = factors != nullptr && HasAvx2() && TablesFollowFactors(gains, factors);
  if (!stage->vector) return;
  for (int o = 0; o < 3; ++o)
    for (int i = 0; i < 3; ++i) stage->matrix[o][i] = step.m[o][i];
  for (int c = 0; c < 3; ++c) stage->gain[c] = static_cast<uint16_t>(factors[c]);
  for (int v = 0; v < 256; ++v) stage->tone32[v] = tone[v];
  MakeNarrowForm(step, tone, stage);
}

void MakeGainsStage(const uint8_t* const gains[3], const uint8_t* tone, PixelStage* stage) {
  stage->kind = PixelStage::Kind::kGains;
  stage->tone = tone;
  for (int v = 0; v < 256; ++v) {
    stage->channel[0][v] = tone[gains[2][v]];
    stage->channel[1][v] = tone[gains[1][v]];
    stage->channel[2][v] = tone[gains[0][v]];
  }
}

void MakeLuminanceStage(const uint8_t* tone, PixelStage* stage) {
  stage->kind = PixelStage::Kind::kLuminance;
  stage->tone = tone;
}

namespace {

void ColorRow(const PixelStage& s, const uint8_t* src, uint8_t* dst, size_t pixels) {
  const auto& t = s.color;
  for (size_t k = 0; k < pixels; ++k) {
    const uint8_t* p = src + 3 * k;
    const int b = p[0], g = p[1], r = p[2];
    const int32_t red = t[0][0][r] + t[0][1][g] + t[0][2][b];
    const int32_t green = t[1][0][r] + t[1][1][g] + t[1][2][b];
    const int32_t blue = t[2][0][r] + t[2][1][g] + t[2][2][b];
    uint8_t* q = dst + 3 * k;
    q[2] = s.tone[Fixed14(red)];
    q[1] = s.tone[Fixed14(green)];
    q[0] = s.tone[Fixed14(blue)];
  }
}

void GainsRow(const PixelStage& s, const uint8_t* src, uint8_t* dst, size_t pixels) {
  for (size_t k = 0; k < 3 * pixels; k += 3) {
    dst[k] = s.channel[0][src[k]];
    dst[k + 1] = s.channel[1][src[k + 1]];
    dst[k + 2] = s.channel[2][src[k + 2]];
  }
}

void LuminanceRow(const PixelStage& s, const uint8_t* src, uint8_t* dst, size_t pixels) {
  for (size_t k = 0; k < 3 * pixels; k += 3) {
    const uint8_t y = s.tone[(src[k + 2] * 19595 + src[k + 1] * 38469 + src[k] * 7472) >> 16];
    dst[k] = dst[k + 1] = dst[k + 2] = y;
  }
}

}  // namespace

void MirrorCopy(const uint8_t* src, uint8_t* dst, int width) {
  const int done = HasAvx2() ? MirrorCopyVector(src, dst, width) : 0;
  for (int j = done, k = width - 1 - done; j < width; ++j, --k) {
    dst[3 * k] = src[3 * j];
    dst[3 * k + 1] = src[3 * j + 1];
    dst[3 * k + 2] = src[3 * j + 2];
  }
}

void ApplyStage(const PixelStage& stage, const uint8_t* src, uint8_t* dst, size_t pixels) {
  switch (stage.kind) {
    case PixelStage::Kind::kColor: {
      const size_t done = stage.vector ? ColorRowVector(stage, src, dst, pixels) : 0;
      ColorRow(stage, src + 3 * done, dst + 3 * done, pixels - done);
      break;
    }
    case PixelStage::Kind::kGains: GainsRow(stage, src, dst, pixels); break;
    case PixelStage::Kind::kLuminance: LuminanceRow(stage, src, dst, pixels); break;
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

namespace {

// One row into its place: through `scratch` when mirrored, else directly.
void FinishRow(const PixelStage& stage, const uint8_t* src, uint8_t* dst, int width,
               bool mirror, uint8_t* scratch) {
  if (!mirror) {
    ApplyStage(stage, src, dst, width);
    return;
  }
  ApplyStage(stage, src, scratch, width);
  MirrorCopy(scratch, dst, width);
}

}  // namespace

void FinishRows(uint8_t* image, Geometry g, int first, int last, const PixelStage& stage,
                bool mirror, bool reverse) {
  if (g.width <= 0 || g.width > kMaxWidth) return;
  alignas(64) uint8_t scratch[2][kMaxWidth * 3];
  const size_t bytes = static_cast<size_t>(g.width) * 3;
  auto row = [&](int r) { return image + static_cast<size_t>(r) * bytes; };
  for (int u = first; u < last; ++u) {
    const int i = u, j = reverse ? g.height - 1 - u : u;
    if (i == j) {
      FinishRow(stage, row(i), row(i), g.width, mirror, scratch[0]);
      continue;
    }
    // Row j is read into the scratch before row i's result takes its place.
    ApplyStage(stage, row(j), scratch[1], g.width);
    FinishRow(stage, row(i), row(j), g.width, mirror, scratch[0]);
    if (mirror) {
      MirrorCopy(scratch[1], row(i), g.width);
    } else {
      std::memcpy(row(i), scratch[1], bytes);
    }
  }
}

}  // namespace vk::isp

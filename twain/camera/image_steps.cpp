#include "twain/camera/image_steps.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vk::twain {
namespace {

constexpr int kOffset = 8;
constexpr int64_t kSaturated = int64_t{1} << 28;
constexpr int kGainCeiling = 32;
constexpr int kGainThreshold = 15;

}  // namespace

void CorrectDeadPixels(uint8_t* raw, int width, int height,
                       const DeadPixel* pixels, int count) {
  for (int i = 0; i < count; ++i) {
    const DeadPixel p = pixels[i];
    if (p.column <= 2 || p.column >= width || p.row >= height) continue;
    uint8_t* sample = raw + static_cast<size_t>(p.row) * width + p.column;
    *sample = sample[-2];
  }
}

void Monochrome(uint8_t* image, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i, image += 3) {
    const auto y = static_cast<uint8_t>((11 * image[0] + 59 * image[1] + 30 * image[2]) / 100);
    image[0] = image[1] = image[2] = y;
  }
}

void Smooth(uint8_t* image, int width, int height, uint8_t* copy) {
  const size_t stride = static_cast<size_t>(width) * 3;
  std::memcpy(copy, image, stride * height);
  for (int y = 1; y < height - 1; ++y) {
    const uint8_t* above = copy + stride * (y - 1);
    const uint8_t* centre = above + stride;
    const uint8_t* below = centre + stride;
    uint8_t* out = image + stride * y;
    for (size_t x = 3; x < stride - 3; ++x) {
      out[x] = static_cast<uint8_t>(
          (above[x] + below[x] + centre[x - 3] + centre[x + 3] + 4 * centre[x]) >> 3);
    }
  }
}

void WhiteBalanceOnce(const uint8_t* image, size_t pixels, WhiteBalance* gains) {
  uint64_t sb = 0, sg = 0, sr = 0;
  for (size_t i = 0; i < pixels; ++i, image += 3) {
    sb += image[0];
    sg += image[1];
    sr += image[2];
  }
  WhiteBalanceFromSums(sb, sg, sr, gains);
}

void WhiteBalanceFromSums(uint64_t sb, uint64_t sg, uint64_t sr,
                          WhiteBalance* gains) {
  if (sr <= 63 || sb <= 63 || sg == 0) return;
  const uint64_t r = sg / (sr / 64), bl = sg / (sb / 64);
  if (r <= 255 && bl <= 255) {
    *gains = {static_cast<uint8_t>(r), 64, static_cast<uint8_t>(bl)};
  } else if (r < bl) {
    *gains = {static_cast<uint8_t>(r * 255 / bl), static_cast<uint8_t>(16320 / bl), 255};
  } else {
    *gains = {255, static_cast<uint8_t>(16320 / r), static_cast<uint8_t>(bl * 255 / r)};
  }
}

ColorMatrix MakeColorMatrix(uint8_t saturation, const int32_t (*matrix)[4],
                            const WhiteBalance& gains) {
  const int s = saturation, b = 128 - s;
  const int k1 = b * 308 / 1000, k2 = b * 609 / 1000, k3 = b * 82 / 1000;
  const int64_t sat[3][3] = {{s + k1, k2, k3}, {k1, s + k2, k3}, {k1, k2, s + k3}};
  const int64_t d[3] = {gains.red, gains.green, gains.blue};
  ColorMatrix m{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      int64_t sum = 0;
      for (int k = 0; k < 3; ++k) sum += sat[i][k] * matrix[k][j];
      m.m[i][j] = sum * d[j];
    }
  return m;
}

void ApplyColorMatrix(uint8_t* image, size_t pixels, const ColorMatrix& m,
                      const WhiteBalance& gains) {
  // A gain of 0 removes its channel whatever the sample (the matrix column
  // is 0), so its clamp is left open rather than divided by zero.
  auto ceiling = [](uint8_t gain) { return gain ? 16320 / gain : 16320; };
  const int top[3] = {ceiling(gains.red), ceiling(gains.green), ceiling(gains.blue)};
  for (size_t i = 0; i < pixels; ++i, image += 3) {
    const int64_t v[3] = {std::clamp(image[2] - kOffset, 0, top[0]),
                          std::clamp(image[1] - kOffset, 0, top[1]),
                          std::clamp(image[0] - kOffset, 0, top[2])};
    uint8_t out[3];
    for (int c = 0; c < 3; ++c) {
      const int64_t x = m.m[c][0] * v[0] + m.m[c][1] * v[1] + m.m[c][2] * v[2];
      out[c] = x >= kSaturated ? 255 : x < 0 ? 0 : static_cast<uint8_t>(x >> 20);
    }
    image[2] = out[0];
    image[1] = out[1];
    image[0] = out[2];
  }
}

uint16_t GainRegister(int g) {
  if (g >= 0 && g <= 24) return static_cast<uint16_t>(g + 8);
  if (g >= 25 && g <= 40) return static_cast<uint16_t>(g + 56);
  if (g >= 41 && g <= 85) return static_cast<uint16_t>(g * 256 - 10144);
  return 11616;
}

uint8_t CentreBrightness(const uint8_t* image, int width, int height) {
  uint64_t sum[3] = {0, 0, 0};
  const size_t stride = static_cast<size_t>(width) * 3;
  for (int y = height / 4; y < 3 * height / 4; ++y) {
    const uint8_t* p = image + stride * y + static_cast<size_t>(width / 4) * 3;
    for (int x = width / 4; x < 3 * width / 4; ++x, p += 3) {
      sum[0] += p[0];
      sum[1] += p[1];
      sum[2] += p[2];
    }
  }
  return CentreFromSums(sum, width, height);
}

uint8_t CentreFromSums(const uint64_t sum[3], int width, int height) {
  const uint64_t area = static_cast<uint64_t>(width) * height;
  uint8_t mean[3] = {0, 0, 0};
  if (area)
    for (int c = 0; c < 3; ++c) mean[c] = static_cast<uint8_t>(sum[c] * 4 / area);
  return static_cast<uint8_t>(((mean[1] * 16425 + mean[2] * 8432 + mean[0] * 3176) >> 15) + 16);
}

namespace {

// Brighter: longer exposure first, gain once the exposure has grown past the
// banding step.
void Darker(AeState* s, uint8_t y, int d) {
  const int t = s->target, u = s->banding;
  int e = s->exposure, g = s->gain;
  s->brightness = static_cast<uint8_t>(t + std::min(t >> 2, d >> 1));
  if (y == 0) {
    e += e < 4 ? 1 : e >> 2;
    e = std::min(e, static_cast<int>(s->height));
  }
  if (e < u) {
    if (e < 10) e += d < 32 ? d >> 4 : 1;
    if (e < 30) {
      e += d >= 16 ? 1 : d >> 3;
    } else {
      e += d < 8 ? 1 : d >> 3;
    }
  } else if (g > kGainThreshold) {
    if (e < 2 * u) {
      e += d >> 2;
    } else if (e < 300) {
      e += d >> 1;
    } else {
      e += d;
      if (e > s->height) {
        g = std::min(g + d, kGainCeiling);
        e = s->height;
      }
    }
  } else {
    const int step = e >= 4 * u ? d >> 3 : d >> 4;
    g += step == 0 ? 1 : step > 6 ? 6 : step;
  }
  s->exposure = static_cast<uint16_t>(e);
  s->gain = g;
}

// The low-gain reduction of the exposure between one and three banding
// steps.
int SmallReduction(int e, int d) {
  const int x = (d >> 2) <= (e >> 2) ? d : e;
  return e - (x >> 2);
}

void Brighter(AeState* s, uint8_t y, int d) {
  const int t = s->target, u = s->banding;
  int e = s->exposure, g = s->gain;
  s->brightness = static_cast<uint8_t>(t - std::min(t >> 2, d >> 1));
  if (y == 255) {
    g -= g >> 2;
    if (e > 4 * u) {
      e -= e >> 2;
    } else if (e != 0) {
      e -= e < 8 ? 1 : e >> 3;
    }
  }
  if (g < 9) {
    if (e > 4 * u) {
      e -= std::min(e >> 2, d);
      if (g > 4) g -= d < 2 ? d : 1;
      if (e < 4 * u) g = (g + 1) * 2;
    } else if (e > 3 * u) {
      e -= std::min(e >> 2, d >> 1);
      if (g > 4) g -= d < 8 ? d >> 2 : 1;
      if (e < 3 * u) g = (g + 1) * 2;
    } else if (e > 2 * u) {
      e = SmallReduction(e, d);
      if (g > 2) g -= (d >> 2) < 2 ? d >> 2 : 1;
      if (e < 2 * u) g = (g + 1) * 2;
    } else if (e > u) {
      e = SmallReduction(e, d);
      if (g != 0) g -= (d >> 2) < 2 ? d >> 2 : 1;
      if (e < u) g = (g + 1) * 4;
    } else if (g <= d >> 2) {
      if (g == 0) {
        if (e >= 31) {
          e -= std::min(e >> 1, d >> 3);
        } else if (e >= 2) {
          e -= d < 32 ? d >> 4 : 1;
        }
      } else {
        g -= 1;
      }
    } else {
      g -= d < 8 ? 1 : d >> 3;
    }
  } else if (e > 29) {
    const int step = e < u ? d >> 4 : d >> 3;
    g -= step == 0 ? 1 : step > 4 ? 4 : step;
  } else {
    g -= d >= 16 ? 1 : d >> 3;
  }
  s->exposure = static_cast<uint16_t>(e);
  s->gain = g;
}

}  // namespace

bool AeStep(AeState* s, uint8_t y, uint16_t* rows) {
  const int t = s->target;
  const int lo = std::min(t >> 2, 20);
  if (y < lo) {
    y = 0;
  } else if (y > std::min(2 * t, 210)) {
    y = 255;
  }
  s->brightness = static_cast<uint8_t>((y + s->brightness) / 2);
  const int d = std::min(std::abs(s->brightness - t), t);
  if (d < 10) {
    s->brightness = static_cast<uint8_t>(t);
    return false;
  }
  if (s->brightness < t) {
    Darker(s, y, d);
  } else {
    Brighter(s, y, d);
  }
  const int u = s->banding;
  int exposure = s->exposure;
  if (u > 0 && exposure >= u) exposure = u * (exposure / u);
  *rows = static_cast<uint16_t>(exposure == 0 ? 1 : exposure);
  return true;
}

}  // namespace vk::twain

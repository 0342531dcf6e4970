// Automatic white balance (gains from the window's colour sums) and
// automatic exposure (exposure rows and analog gain toward the target, on
// whole banding steps), once per processed frame.
#include <algorithm>
#include <cstdlib>

#include "sdk/core/camera.h"

namespace vk {

int CCamera::SetWbWindow(uint16_t column, uint16_t row, uint16_t width,
                         uint16_t height) {
  if (column > width_ || row > height_ || width > width_ - column ||
      height > height_ - row)
    return 0;
  wb_window_[0] = row;
  wb_window_[1] = column;
  wb_window_[2] = width;
  wb_window_[3] = height;
  return 1;
}

void CCamera::GetWbWindow(uint16_t* column, uint16_t* row, uint16_t* width,
                          uint16_t* height) const {
  *row = wb_window_[0];
  *column = wb_window_[1];
  *width = wb_window_[2];
  *height = wb_window_[3];
}

namespace {

isp::ChannelSums SumWindow(const uint8_t* image, int width,
                           const isp::Window& w) {
  isp::ChannelSums sums;
  for (int r = w.top; r < w.bottom; ++r) {
    const uint8_t* p = image + (static_cast<size_t>(r) * width + w.left) * 3;
    for (int c = w.left; c < w.right; ++c, p += 3) {
      sums.blue += p[0];
      sums.green += p[1];
      sums.red += p[2];
    }
  }
  return sums;
}

}  // namespace

isp::Window CCamera::WbWindowIn(int width, int height) const {
  // A window set for a larger image (before a resolution change) is taken
  // within the image.
  const int row0 = std::min<int>(wb_window_[0], height);
  const int column0 = std::min<int>(wb_window_[1], width);
  const int rows = std::min<int>(wb_window_[3], height - row0);
  const int columns = std::min<int>(wb_window_[2], width - column0);
  return {row0, row0 + rows, column0, column0 + columns};
}

void CCamera::AwbStep(const uint8_t* image, int width, int height) {
  AwbFromSums(SumWindow(image, width, WbWindowIn(width, height)));
}

void CCamera::AwbFromSums(const isp::ChannelSums& sums) {
  const uint64_t r = sums.red >> 6, b = sums.blue >> 6, green = sums.green;
  if (r == 0 || green == 0 || b == 0) return;
  const uint64_t kr = green / r, kb = green / b;
  if (kr <= 255 && kb <= 255) {
    gains_[0] = static_cast<uint32_t>(kr);
    gains_[1] = 64;
    gains_[2] = static_cast<uint32_t>(kb);
  } else if (kr >= kb) {
    gains_[0] = 255;
    gains_[1] = static_cast<uint32_t>(16320 / kr) & 0xFF;
    gains_[2] = static_cast<uint32_t>(kb * 255 / kr) & 0xFF;
  } else {
    gains_[2] = 255;
    gains_[1] = static_cast<uint32_t>(16320 / kb) & 0xFF;
    gains_[0] = static_cast<uint32_t>(kr * 255 / kb) & 0xFF;
  }
}

isp::Window CCamera::BrightnessWindow(int width, int height) {
  if (width <= 0 || height <= 0) return {};
  if (width <= 640) return {0, height, 0, width};
  return {height / 4, 3 * height / 4, width / 4, 3 * width / 4};
}

uint8_t CCamera::MeasureBrightness(const uint8_t* image, int width,
                                   int height) const {
  return BrightnessFromSums(
      SumWindow(image, width, BrightnessWindow(width, height)), width, height);
}

uint8_t CCamera::BrightnessFromSums(const isp::ChannelSums& sums, int width,
                                    int height) {
  if (width <= 0 || height <= 0) return 0;
  const uint64_t area = static_cast<uint64_t>(width) * height;
  const uint64_t scale = width <= 640 ? 1 : 4;
  const uint32_t blue = static_cast<uint8_t>(sums.blue * scale / area);
  const uint32_t green = static_cast<uint8_t>(sums.green * scale / area);
  const uint32_t red = static_cast<uint8_t>(sums.red * scale / area);
  return static_cast<uint8_t>((green * 16425 + red * 8432 + blue * 3176) >> 15);
}

namespace {

// The exposure decrease of the middle bands of the too-bright rules.
int BandDecrease(int e, int d) { return (d >> 2) <= (e >> 2) ? d >> 2 : e >> 2; }

}  // namespace

void CCamera::AeStep(const uint8_t* image, int width, int height) {
  AeFromBrightness(MeasureBrightness(image, width, height));
}

void CCamera::AeFromBrightness(uint8_t brightness) {
  const int t = ae_target_;
  int y = brightness;
  const int lo = t < 84 ? t >> 2 : 20, hi = std::min(2 * t, 210);
  if (y < lo) {
    y = 0;
  } else if (y > hi) {
    y = 255;
  }
  ae_level_ = (static_cast<uint32_t>(y) + ae_level_) >> 1;
  const int level = static_cast<int>(ae_level_);
  const int d = std::min(std::abs(level - t), t);
  if (d < 10) {
    ae_level_ = static_cast<uint32_t>(t);
    return;
  }
  const int step = (t >> 2) < (d >> 1) ? t >> 2 : d >> 1;
  const int s = banding_step_, e_max = max_exposure_;
  int e = ae_exposure_;
  int g = static_cast<int>(analog_gain_);
  if (level < t) {
    ae_level_ = static_cast<uint32_t>(t + step);
    if (y == 0) e = std::min(e < 4 ? e + 1 : e + (e >> 2), e_max);
    if (e < s) {
      if (e < 10 && d >= 16) e += 1;
      if (e < 30) {
        e += d >= 16 ? 1 : d >> 3;
      } else {
        e += d < 8 ? 1 : d >> 3;
      }
    } else if (g > 9) {
      if (e < 2 * s) {
        e += d >> 2;
      } else if (e < 300) {
        e += d >> 1;
      } else {
        e += d;
        if (e > e_max) {
          e = e_max;
          g = std::min(g + d, 36);
        }
      }
    } else if (e >= 4 * s) {
      g += d < 8 ? 1 : d < 56 ? d >> 3 : 6;
    } else {
      g += d < 16 ? 1 : d < 112 ? d >> 4 : 6;
    }
  } else {
    ae_level_ = static_cast<uint32_t>(t - step);
    if (y == 255) {
      g -= g >> 2;
      if (e > 4 * s) {
        e -= e >> 2;
      } else if (e != 0) {
        e -= e < 8 ? 1 : e >> 3;
      }
    }
    if (g < 9) {
      if (e > 4 * s) {
        e -= std::min(e >> 2, d);
        if (g > 4) g -= 1;
        if (e < 4 * s) g = 2 * g + 2;
      } else if (e > 3 * s) {
        e -= (e >> 2) < (d >> 1) ? e >> 2 : d >> 1;
        if (g > 4) g -= 1;
        if (e < 3 * s) g = 2 * g + 2;
      } else if (e > 2 * s) {
        e -= BandDecrease(e, d);
        if (g > 2) g -= 1;
        if (e < 2 * s) g = 2 * g + 2;
      } else if (e > s) {
        e -= BandDecrease(e, d);
        if (g != 0) g -= 1;
        if (e < s) g = 4 * g + 4;
      } else if (g > (d >> 2)) {
        g -= d >= 8 ? d >> 3 : 1;
      } else if (g != 0) {
        g -= 1;
      } else if (e >= 2 && e <= 30) {
        if (d >= 16) e -= 1;
      } else if (e > 30) {
        e -= (e >> 1) < (d >> 3) ? e >> 1 : d >> 3;
      }
    } else if (e < 30) {
      g -= d >= 16 ? 1 : d >> 3;
    } else if (e < s) {
      g -= d < 16 ? 1 : d < 80 ? d >> 4 : 4;
    } else {
      g -= d < 8 ? 1 : d < 40 ? d >> 3 : 4;
    }
  }
  ae_exposure_ = static_cast<uint16_t>(e);
  const int exposure = s > 0 && e >= s ? s * (e / s) : e;
  SetAnalogGain(static_cast<uint32_t>(std::max(g, 0)));
  SetExposure(static_cast<uint16_t>(exposure));
}

}  // namespace vk

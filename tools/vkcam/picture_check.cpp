#include "tools/vkcam/picture_check.h"

#include <algorithm>
#include <cmath>

namespace vk::tools {
namespace {

constexpr int kColumns = 32, kRows = 24;
// Block colours of alike takes differ by pipeline, exposure and noise: the
// SDK's and the data source's pipelines of one scene lie about 14 apart
// once the exposure has settled, and up to about 30 while it still settles
// (a slow machine takes an image before it has); a picture turned over or
// with red and blue exchanged lies 45 or more from the reference.
constexpr double kMostForAlike = 40.0;
// The wrong readings must be clearly farther than the right one.
constexpr double kMargin = 1.5;

// Block means per channel, scaled so that the picture's mean is 128.
std::vector<double> Blocks(const Picture& p) {
  std::vector<double> blocks(kColumns * kRows * 3, 0.0);
  std::vector<double> counts(kColumns * kRows, 0.0);
  double total = 0;
  for (int y = 0; y < p.height; ++y) {
    const int by = y * kRows / p.height;
    for (int x = 0; x < p.width; ++x) {
      const int b = by * kColumns + x * kColumns / p.width;
      const uint8_t* px = &p.rgb[(static_cast<size_t>(y) * p.width + x) * 3];
      for (int c = 0; c < 3; ++c) {
        blocks[b * 3 + c] += px[c];
        total += px[c];
      }
      counts[b] += 1;
    }
  }
  const double mean = total / (3.0 * p.width * p.height);
  const double scale = mean > 0 ? 128.0 / mean : 0.0;
  for (size_t i = 0; i < blocks.size(); ++i)
    blocks[i] = counts[i / 3] > 0 ? blocks[i] / counts[i / 3] * scale : 0.0;
  return blocks;
}

}  // namespace

Picture FromDib(const uint8_t* pixels, int width, int height, size_t stride,
                bool top_down) {
  Picture p{width, height,
            std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = pixels + stride * (top_down ? y : height - 1 - y);
    uint8_t* out = &p.rgb[static_cast<size_t>(y) * width * 3];
    for (int x = 0; x < width; ++x) {
      out[3 * x] = in[3 * x + 2];
      out[3 * x + 1] = in[3 * x + 1];
      out[3 * x + 2] = in[3 * x];
    }
  }
  return p;
}

Picture FromRgb(const uint8_t* pixels, int width, int height) {
  return {width, height,
          std::vector<uint8_t>(
              pixels, pixels + static_cast<size_t>(width) * height * 3)};
}

Picture UpsideDown(const Picture& picture) {
  Picture p = picture;
  const size_t row = static_cast<size_t>(p.width) * 3;
  for (int y = 0; y < p.height; ++y)
    std::copy_n(&picture.rgb[row * (p.height - 1 - y)], row, &p.rgb[row * y]);
  return p;
}

Picture RedBlueExchanged(const Picture& picture) {
  Picture p = picture;
  for (size_t i = 0; i + 2 < p.rgb.size(); i += 3)
    std::swap(p.rgb[i], p.rgb[i + 2]);
  return p;
}

double Difference(const Picture& a, const Picture& b) {
  if (a.width != b.width || a.height != b.height || a.rgb.empty()) return -1;
  const std::vector<double> x = Blocks(a), y = Blocks(b);
  double sum = 0;
  for (size_t i = 0; i < x.size(); ++i) sum += std::abs(x[i] - y[i]);
  return sum / x.size();
}

Likeness Compare(const Picture& picture, const Picture& reference) {
  Likeness l;
  l.as_is = Difference(picture, reference);
  l.upside_down = Difference(UpsideDown(picture), reference);
  l.exchanged = Difference(RedBlueExchanged(picture), reference);
  l.upright_and_right = l.as_is >= 0 && l.as_is <= kMostForAlike &&
                        l.as_is * kMargin < l.upside_down &&
                        l.as_is * kMargin < l.exchanged;
  return l;
}

}  // namespace vk::tools

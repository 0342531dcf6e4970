// The data source's own image steps against the figures and a plain
// reference, and its automatic exposure walked branch by branch.
#include "twain/camera/image_steps.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "twain/camera/settings.h"

namespace vk::twain {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomImage(size_t pixels, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes image(pixels * 3);
  for (auto& b : image) b = static_cast<uint8_t>(random());
  return image;
}

TEST(TwainImageSteps, GainRegisterCodes) {
  EXPECT_EQ(GainRegister(0), 8);
  EXPECT_EQ(GainRegister(24), 32);
  EXPECT_EQ(GainRegister(25), 81);
  EXPECT_EQ(GainRegister(40), 96);
  EXPECT_EQ(GainRegister(41), 41 * 256 - 10144);
  EXPECT_EQ(GainRegister(85), 11616);
  EXPECT_EQ(GainRegister(86), 11616);
  EXPECT_EQ(GainRegister(1000), 11616);
  EXPECT_EQ(GainRegister(-1), 11616);
}

TEST(TwainImageSteps, DeadPixelsTakeTheSampleTwoToTheLeft) {
  Bytes raw(8 * 4);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i);
  const DeadPixel list[] = {{5, 1}, {2, 2}, {9, 0}, {3, 7}};
  CorrectDeadPixels(raw.data(), 8, 4, list, 4);
  EXPECT_EQ(raw[1 * 8 + 5], 1 * 8 + 3);
  EXPECT_EQ(raw[2 * 8 + 2], 2 * 8 + 2) << "column 2 is never corrected";
}

TEST(TwainImageSteps, MonochromeWeights) {
  Bytes image = {10, 20, 30, 255, 255, 255, 0, 0, 200};
  Monochrome(image.data(), 3);
  const uint8_t y0 = (11 * 10 + 59 * 20 + 30 * 30) / 100;
  EXPECT_EQ(image, (Bytes{y0, y0, y0, 255, 255, 255, 60, 60, 60}));
}

TEST(TwainImageSteps, SmoothingMatchesItsDefinition) {
  const int w = 13, h = 9;
  const Bytes original = RandomImage(w * h, 3);
  Bytes image = original, copy(original.size());
  Smooth(image.data(), w, h, copy.data());
  auto at = [&](int x, int y, int c) { return int(original[(y * w + x) * 3 + c]); };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        const bool border = x == 0 || y == 0 || x == w - 1 || y == h - 1;
        const int expected = border ? at(x, y, c)
                                    : (at(x, y - 1, c) + at(x, y + 1, c) + at(x - 1, y, c) +
                                       at(x + 1, y, c) + 4 * at(x, y, c)) >> 3;
        ASSERT_EQ(image[(y * w + x) * 3 + c], expected) << x << "," << y << "," << c;
      }
}

TEST(TwainImageSteps, WhiteBalanceOnce) {
  auto uniform = [](uint8_t b, uint8_t g, uint8_t r) {
    Bytes image;
    for (int i = 0; i < 64; ++i) image.insert(image.end(), {b, g, r});
    return image;
  };
  WhiteBalance gains{1, 2, 3};
  WhiteBalanceOnce(uniform(100, 100, 100).data(), 64, &gains);
  EXPECT_EQ((std::array{gains.red, gains.green, gains.blue}), (std::array<uint8_t, 3>{64, 64, 64}));
  WhiteBalanceOnce(uniform(100, 100, 200).data(), 64, &gains);
  EXPECT_EQ((std::array{gains.red, gains.green, gains.blue}), (std::array<uint8_t, 3>{32, 64, 64}));
  // Red nearly absent: red pinned at 255, the others scaled down with it.
  WhiteBalanceOnce(uniform(100, 100, 1).data(), 64, &gains);
  EXPECT_EQ((std::array{gains.red, gains.green, gains.blue}),
            (std::array<uint8_t, 3>{255, 16320 / 6400, 64 * 255 / 6400}));
  gains = {7, 8, 9};
  Bytes dark(3, 0);
  WhiteBalanceOnce(dark.data(), 1, &gains);
  EXPECT_EQ(gains.red, 7) << "too little light changes nothing";
}

// The colour step as the definition reads, one pixel at a time.
void ReferenceColor(uint8_t* p, uint8_t saturation, const WhiteBalance& wb) {
  const int s = saturation, b = 128 - s;
  const int k1 = b * 308 / 1000, k2 = b * 609 / 1000, k3 = b * 82 / 1000;
  const int64_t S[3][3] = {{s + k1, k2, k3}, {k1, s + k2, k3}, {k1, k2, s + k3}};
  const int64_t D[3] = {wb.red, wb.green, wb.blue};
  int64_t M[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      M[i][j] = 0;
      for (int k = 0; k < 3; ++k) M[i][j] += S[i][k] * kColorMatrix[k][j] * D[j];
    }
  const int in[3] = {p[2], p[1], p[0]};
  int64_t v[3];
  for (int k = 0; k < 3; ++k) {
    const int top = D[k] ? 16320 / int(D[k]) : 16320;
    v[k] = std::min(std::max(in[k] - 8, 0), top);
  }
  int out[3];
  for (int c = 0; c < 3; ++c) {
    const int64_t x = M[c][0] * v[0] + M[c][1] * v[1] + M[c][2] * v[2];
    out[c] = x >= (int64_t{1} << 28) ? 255 : x < 0 ? 0 : int(x >> 20);
  }
  p[2] = uint8_t(out[0]);
  p[1] = uint8_t(out[1]);
  p[0] = uint8_t(out[2]);
}

TEST(TwainImageSteps, ColorStepEqualsItsDefinition) {
  for (const auto& [saturation, wb] :
       {std::pair<uint8_t, WhiteBalance>{100, {74, 64, 96}}, {128, {64, 64, 64}},
        {0, {200, 10, 255}}, {255, {0, 64, 33}}}) {
    Bytes image = RandomImage(5000, saturation), expected = image;
    ApplyColorMatrix(image.data(), 5000, MakeColorMatrix(saturation, kColorMatrix, wb), wb);
    for (size_t i = 0; i < 5000; ++i) ReferenceColor(expected.data() + i * 3, saturation, wb);
    EXPECT_EQ(image, expected) << int(saturation);
  }
}

TEST(TwainImageSteps, CentreBrightness) {
  // Only the centre half counts: a bright frame edge changes nothing.
  const int w = 8, h = 8;
  Bytes image(w * h * 3, 255);
  for (int y = 2; y < 6; ++y)
    for (int x = 2; x < 6; ++x)
      for (int c = 0; c < 3; ++c) image[(y * w + x) * 3 + c] = 100;
  EXPECT_EQ(CentreBrightness(image.data(), w, h),
            ((100 * 16425 + 100 * 8432 + 100 * 3176) >> 15) + 16);
  EXPECT_EQ(CentreBrightness(image.data(), 1, 1), 16) << "an empty region";
}

AeState State(int gain, int exposure, int brightness) {
  return AeState{100, static_cast<uint8_t>(brightness), gain,
                 static_cast<uint16_t>(exposure), 116, 768};
}

TEST(TwainAutoExposure, DeadBandChangesNothing) {
  AeState s = State(20, 300, 100);
  uint16_t rows = 0;
  EXPECT_FALSE(AeStep(&s, 105, &rows));
  EXPECT_EQ(s.brightness, 100);
  EXPECT_EQ(s.exposure, 300);
  EXPECT_EQ(s.gain, 20);
}

TEST(TwainAutoExposure, TooDarkBranches) {
  uint16_t rows = 0;
  // Far too dark (y below the clip): exposure up by a quarter, then by d.
  AeState s = State(20, 300, 80);
  ASSERT_TRUE(AeStep(&s, 10, &rows));
  EXPECT_EQ(s.brightness, 125);
  EXPECT_EQ(s.exposure, 435);
  EXPECT_EQ(s.gain, 20);
  EXPECT_EQ(rows, 348) << "whole banding periods";
  // Short exposures grow a row at a time.
  s = State(10, 5, 80);
  ASSERT_TRUE(AeStep(&s, 60, &rows));
  EXPECT_EQ(s.exposure, 7);
  EXPECT_EQ(rows, 7);
  // Low gain past the banding step: the gain grows.
  s = State(10, 200, 80);
  ASSERT_TRUE(AeStep(&s, 40, &rows));
  EXPECT_EQ(s.gain, 12);
  EXPECT_EQ(rows, 116);
  // At the exposure ceiling the gain takes over, to at most 32.
  s = State(20, 760, 80);
  ASSERT_TRUE(AeStep(&s, 40, &rows));
  EXPECT_EQ(s.exposure, 768);
  EXPECT_EQ(s.gain, 32);
}

TEST(TwainAutoExposure, TooBrightBranches) {
  uint16_t rows = 0;
  // Far too bright: gain and exposure cut by a quarter, then the low-gain
  // band between three and four banding steps.
  AeState s = State(8, 500, 80);
  ASSERT_TRUE(AeStep(&s, 230, &rows));
  EXPECT_EQ(s.brightness, 75);
  EXPECT_EQ(s.exposure, 342);
  EXPECT_EQ(s.gain, 12);
  EXPECT_EQ(rows, 232);
  // High gain: the gain comes down first.
  s = State(20, 200, 120);
  ASSERT_TRUE(AeStep(&s, 150, &rows));
  EXPECT_EQ(s.gain, 16);
  EXPECT_EQ(s.exposure, 200);
  // No gain left: the exposure shrinks.
  s = State(0, 100, 120);
  ASSERT_TRUE(AeStep(&s, 160, &rows));
  EXPECT_EQ(s.exposure, 95);
  EXPECT_EQ(rows, 95);
  // Some gain left at a short exposure: the gain steps down.
  s = State(8, 100, 110);
  ASSERT_TRUE(AeStep(&s, 130, &rows));
  EXPECT_EQ(s.gain, 6);
  // The shortest exposure is one row.
  s = State(0, 1, 120);
  ASSERT_TRUE(AeStep(&s, 160, &rows));
  EXPECT_EQ(rows, 1);
}

}  // namespace
}  // namespace vk::twain

// The data source's one-pass image against its image steps one after
// another over whole images, on random frames, sizes and settings.
#include "twain/camera/image_pipeline.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "sdk/core/isp.h"
#include "twain/camera/image_steps.h"
#include "twain/camera/settings.h"

namespace vk::twain {
namespace {

struct Case {
  int width, height;
  bool mono, vflip, hflip;
  WhiteBalance gains;
  uint8_t saturation;
  uint8_t tone[256];
};

Case RandomCase(std::mt19937& random) {
  Case c{};
  c.width = 1 + static_cast<int>(random() % 120);
  c.height = 1 + static_cast<int>(random() % 80);
  c.mono = random() % 4 == 0;
  c.vflip = random() % 2;
  c.hflip = random() % 2;
  // Gains of 0 included: their channel is removed.
  c.gains = {static_cast<uint8_t>(random()), static_cast<uint8_t>(random()),
             static_cast<uint8_t>(random())};
  c.saturation = static_cast<uint8_t>(random());
  isp::BuildToneTable(static_cast<long double>(1 + random() % 250) / 100,
                      random() % 128, c.tone);
  return c;
}

// The steps as the capture path ran them, image after image.
std::vector<uint8_t> Steps(const std::vector<uint8_t>& raw, const Case& c,
                           uint8_t* brightness) {
  const int w = c.width, h = c.height;
  const size_t pixels = static_cast<size_t>(w) * h;
  std::vector<uint8_t> image(pixels * 3), copy(pixels * 3);
  isp::Demosaic0(raw.data(), image.data(), {w, h}, 0, h);
  if (c.mono) {
    Monochrome(image.data(), pixels);
  } else {
    Smooth(image.data(), w, h, copy.data());
    ApplyColorMatrix(image.data(), pixels,
                     MakeColorMatrix(c.saturation, kColorMatrix, c.gains),
                     c.gains);
  }
  *brightness = CentreBrightness(image.data(), w, h);
  for (auto& b : image) b = c.tone[b];
  if (!c.vflip) isp::ReverseRows(image.data(), {w, h}, copy.data());
  if (c.hflip) isp::MirrorRows(image.data(), {w, h}, 0, h);
  return image;
}

TEST(TwainImagePipeline, EqualsTheStepsOnRandomFrames) {
  std::mt19937 random(31);
  for (int round = 0; round < 150; ++round) {
    const Case c = RandomCase(random);
    std::vector<uint8_t> raw(static_cast<size_t>(c.width) * c.height);
    for (auto& b : raw) b = static_cast<uint8_t>(random());
    uint8_t expected_brightness = 0;
    const std::vector<uint8_t> expected = Steps(raw, c, &expected_brightness);

    ColorTables tables;
    MakeColorTables(MakeColorMatrix(c.saturation, kColorMatrix, c.gains),
                    c.gains, &tables);
    std::vector<uint8_t> image(expected.size(), 0xEE);
    // Every third image without AE: nothing is measured.
    const bool measured = round % 3 != 0;
    uint64_t centre[3];
    MakeImage({raw.data(), image.data(), c.width, c.height, c.mono, &tables,
               c.tone, c.vflip, c.hflip},
              measured ? centre : nullptr);
    ASSERT_EQ(image, expected) << c.width << "x" << c.height << " mono "
                               << c.mono << " flips " << c.vflip << c.hflip;
    if (measured) {
      EXPECT_EQ(CentreFromSums(centre, c.width, c.height), expected_brightness);
    }
  }
}

TEST(TwainImagePipeline, WhiteBalanceSumsEqualTheSmoothedImage) {
  std::mt19937 random(8);
  for (int round = 0; round < 40; ++round) {
    const int w = 1 + static_cast<int>(random() % 100),
              h = 1 + static_cast<int>(random() % 70);
    std::vector<uint8_t> raw(static_cast<size_t>(w) * h);
    for (auto& b : raw) b = static_cast<uint8_t>(random() % 256);
    std::vector<uint8_t> image(raw.size() * 3), copy(image.size());
    isp::Demosaic0(raw.data(), image.data(), {w, h}, 0, h);
    Smooth(image.data(), w, h, copy.data());
    WhiteBalance expected{1, 2, 3}, gains{1, 2, 3};
    WhiteBalanceOnce(image.data(), raw.size(), &expected);
    uint64_t sums[3];
    SmoothedSums(raw.data(), w, h, sums);
    WhiteBalanceFromSums(sums[0], sums[1], sums[2], &gains);
    EXPECT_EQ(gains.red, expected.red) << w << "x" << h;
    EXPECT_EQ(gains.green, expected.green);
    EXPECT_EQ(gains.blue, expected.blue);
  }
}

TEST(TwainImagePipeline, SmoothRowEqualsTheSmoothing) {
  std::mt19937 random(4);
  for (int w = 1; w <= 60; ++w) {
    const int h = 3;
    std::vector<uint8_t> image(static_cast<size_t>(w) * h * 3),
        copy(image.size());
    for (auto& b : image) b = static_cast<uint8_t>(random());
    const size_t stride = static_cast<size_t>(w) * 3;
    std::vector<uint8_t> row(stride);
    SmoothRow(image.data(), image.data() + stride, image.data() + 2 * stride,
              row.data(), w);
    Smooth(image.data(), w, h, copy.data());
    EXPECT_EQ(row, std::vector<uint8_t>(image.begin() + stride,
                                        image.begin() + 2 * stride))
        << w;
  }
}

}  // namespace
}  // namespace vk::twain

// The pipeline in cache-sized bands against the plain reference: random
// frames of random (odd) sizes and settings on several thread counts, and
// the measurements AE and AWB take on the way against their steps on the
// whole image.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "isp_reference.h"
#include "sdk/core/camera.h"
#include "sdk/core/isp.h"
#include "sdk/core/row_bands.h"

namespace vk {
namespace {

class IspBandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string registry =
        ::testing::TempDir() + "vkcam_isp_band_" +
        ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::remove(registry.c_str());
    setenv("VKCAM_REGISTRY", registry.c_str(), 1);
  }

  static std::vector<uint8_t> RandomFrame(int w, int h, std::mt19937& random) {
    std::vector<uint8_t> raw(static_cast<size_t>(w) * h);
    for (auto& b : raw) b = static_cast<uint8_t>(random());
    return raw;
  }

  static void Apply(const reference::Settings& s, CCamera* camera) {
    camera->SetDemosaicMode(static_cast<uint8_t>(s.mode));
    camera->SetMonochrome(s.mono);
    camera->SetColorCorrection(s.color);
    camera->SetHorizontalFlip(s.hflip);
    camera->SetVerticalFlip(s.vflip);
    camera->SetSaturation(static_cast<uint8_t>(s.saturation));
    camera->SetGains(s.gains[0], s.gains[1], s.gains[2]);
    int32_t m[3][3];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) m[r][c] = s.matrix[r][c];
    camera->SetColorMatrix(m);
    camera->SetGamma(static_cast<uint8_t>(s.gamma));
    camera->SetContrast(static_cast<uint8_t>(s.contrast));
    camera->SetAeEnable(0);
    camera->SetAwbEnable(0);
  }

  static reference::Settings RandomSettings(std::mt19937& random) {
    reference::Settings s;
    s.mode = static_cast<int>(random() % 4);  // 3: any other mode is mode 0
    s.mono = random() % 5 == 0;
    s.color = random() % 4 != 0;
    s.hflip = random() % 2;
    s.vflip = random() % 2;
    s.saturation = static_cast<int>(random() % 256);
    s.gamma = 1 + static_cast<int>(random() % 250);
    s.contrast = static_cast<int>(random() % 128);
    for (int& g : s.gains) g = static_cast<int>(random() % 256);
    for (auto& row : s.matrix)
      for (int& v : row) v = static_cast<int>(random() % 601) - 300;
    return s;
  }
};

TEST_F(IspBandTest, RandomFramesSizesAndSettingsEqualTheReference) {
  std::mt19937 random(2024);
  for (int threads : {1, 2, 3, 5}) {
    CCamera camera;
    camera.SetPipelineThreads(threads);
    for (int round = 0; round < 40; ++round) {
      // Heights past a few bands of rows, widths past a few vector blocks,
      // both often odd.
      const int w = 1 + static_cast<int>(random() % 124);
      const int h = 1 + static_cast<int>(random() % 94);
      const reference::Settings s = RandomSettings(random);
      Apply(s, &camera);
      std::vector<uint8_t> raw = RandomFrame(w, h, random);
      const reference::Image expected =
          reference::Process({raw.data(), w, h}, s);
      std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3, 0xEE);
      camera.Process(raw.data(), out.data(), w, h);
      size_t first_difference = 0;
      while (first_difference < out.size() &&
             out[first_difference] == expected.bgr[first_difference])
        ++first_difference;
      ASSERT_EQ(out, expected.bgr)
          << "first difference at byte " << first_difference << ", " << w << "x"
          << h << " mode " << s.mode << " mono " << s.mono << " color "
          << s.color << " flips " << s.hflip << s.vflip << " threads "
          << threads;
    }
  }
}

// Settings whose colour matrix fits 16 bits, whole or in two parts, which
// take the colour step's 16-bit form (demosaicing into it directly): widths
// around its blocks of 32 columns, both flips, each mode, several thread
// counts.
TEST_F(IspBandTest, SixteenBitColourStepFramesEqualTheReference) {
  std::mt19937 random(31);
  const int widths[] = {1, 2, 17, 33, 34, 35, 65, 66, 67, 97, 98, 130, 161};
  for (int threads : {1, 2, 3}) {
    CCamera camera;
    camera.SetPipelineThreads(threads);
    for (int w : widths) {
      for (int mode : {0, 1, 2}) {
        reference::Settings s;
        s.mode = mode;
        s.hflip = random() % 2;
        s.vflip = random() % 2;
        // Shifts of 7 and 14; any other saturation mostly splits the
        // entries of the default matrix's size in two parts.
        const int pick = static_cast<int>(random() % 3);
        s.saturation = pick == 0   ? 128
                       : pick == 1 ? 127
                                   : static_cast<int>(random() % 256);
        s.gamma = 1 + static_cast<int>(random() % 250);
        s.contrast = static_cast<int>(random() % 128);
        for (int& g : s.gains) g = static_cast<int>(random() % 256);
        for (auto& row : s.matrix)
          for (int& v : row) v = static_cast<int>(random() % 511) - 255;
        const int h = 1 + static_cast<int>(random() % 40);
        Apply(s, &camera);
        std::vector<uint8_t> raw = RandomFrame(w, h, random);
        std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3, 0xEE);
        camera.Process(raw.data(), out.data(), w, h);
        ASSERT_EQ(out, reference::Process({raw.data(), w, h}, s).bgr)
            << w << "x" << h << " mode " << mode << " saturation "
            << s.saturation << " flips " << s.hflip << s.vflip << " threads "
            << threads;
      }
    }
  }
}

TEST_F(IspBandTest, FramesOfOneToFourRowsOrColumnsEqualTheReference) {
  std::mt19937 random(12);
  CCamera camera;
  camera.SetPipelineThreads(2);
  for (int w = 1; w <= 4; ++w) {
    for (int h = 1; h <= 4; ++h) {
      for (int mode : {0, 1, 2}) {
        reference::Settings s;
        s.mode = mode;
        s.hflip = (w + h) & 1;
        Apply(s, &camera);
        std::vector<uint8_t> raw = RandomFrame(w, h, random);
        std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3, 0xEE);
        camera.Process(raw.data(), out.data(), w, h);
        EXPECT_EQ(out, reference::Process({raw.data(), w, h}, s).bgr)
            << w << "x" << h << " mode " << mode;
      }
    }
  }
}

// The image the reference demosaics, for the white balance step.
reference::Image Demosaiced(const std::vector<uint8_t>& raw, int w, int h,
                            int mode) {
  const reference::Raw x{raw.data(), w, h};
  return mode == 1   ? reference::Mode1(x)
         : mode == 2 ? reference::Mode2(x)
                     : reference::Mode0(x);
}

TEST_F(IspBandTest, WhiteBalanceOnTheWayEqualsItsStepOnTheDemosaicedImage) {
  std::mt19937 random(77);
  // A window inside the image and one reaching past it.
  const uint16_t windows[2][4] = {{3, 5, 61, 37}, {60, 30, 500, 400}};
  for (int threads : {1, 3}) {
    for (int mode : {0, 1, 2}) {
      for (const auto& window : windows) {
        const int w = 101, h = 67;
        reference::Settings s;
        s.mode = mode;
        std::vector<uint8_t> raw = RandomFrame(w, h, random);
        CCamera expected;
        Apply(s, &expected);
        expected.SetResolution(
            kResolutionVga);  // the window is checked against it
        ASSERT_EQ(
            expected.SetWbWindow(window[0], window[1], window[2], window[3]),
            1);
        expected.AwbStep(Demosaiced(raw, w, h, mode).bgr.data(), w, h);

        CCamera camera;
        camera.SetPipelineThreads(threads);
        Apply(s, &camera);
        camera.SetResolution(kResolutionVga);
        camera.SetWbWindow(window[0], window[1], window[2], window[3]);
        camera.SetAwbEnable(1);
        std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
        camera.Process(raw.data(), out.data(), w, h);
        for (int c = 0; c < 3; ++c) {
          EXPECT_EQ(camera.gain(c), expected.gain(c))
              << "mode " << mode << " channel " << c;
          s.gains[c] = static_cast<int>(expected.gain(c));
        }
        EXPECT_EQ(out, reference::Process({raw.data(), w, h}, s).bgr)
            << "mode " << mode;
      }
    }
  }
}

TEST_F(IspBandTest, ExposureOnTheWayEqualsItsStepOnTheFinishedImage) {
  std::mt19937 random(5);
  // Wide images measure the centre half, narrow ones the whole image.
  for (auto [w, h] : {std::pair{701, 43}, {64, 48}}) {
    for (int threads : {1, 3}) {
      for (int variant = 0; variant < 4; ++variant) {
        reference::Settings s;
        s.mode = variant % 3;
        s.hflip = variant & 1;
        s.vflip = variant & 2;
        std::vector<uint8_t> raw = RandomFrame(w, h, random);
        CCamera expected, camera;
        camera.SetPipelineThreads(threads);
        for (CCamera* c : {&expected, &camera}) {
          Apply(s, c);
          c->SetAeTarget(
              200);  // far from the random frame's mean: a step is taken
          c->SetAeState(120, 400);
        }
        std::vector<uint8_t> image(static_cast<size_t>(w) * h * 3),
            out(image.size());
        expected.Process(raw.data(), image.data(), w, h);
        expected.AeStep(image.data(), w, h);
        camera.SetAeEnable(1);
        camera.Process(raw.data(), out.data(), w, h);
        EXPECT_EQ(out, image);
        EXPECT_EQ(camera.ae_level(), expected.ae_level())
            << w << " variant " << variant;
        EXPECT_EQ(camera.ae_exposure(), expected.ae_exposure())
            << w << " variant " << variant;
        EXPECT_EQ(camera.GetExposure(), expected.GetExposure());
        EXPECT_EQ(camera.GetAnalogGain(), expected.GetAnalogGain());
      }
    }
  }
}

// Bands claimed in turn by the threads cover every row once, in bands of
// whole 16-row chunks but for the last, whatever the count of rows.
TEST(IspRowBands, ClaimedBandsCoverEveryRowOnce) {
  for (int threads : {2, 3, 5}) {
    RowBands bands(threads);
    for (int rows : {0, 1, 15, 16, 17, 100, 481, 1536}) {
      struct Seen {
        std::vector<std::atomic<int>> count;
        std::atomic<bool> ragged{false};
        int rows;
      } seen{std::vector<std::atomic<int>>(static_cast<size_t>(rows)), {}, rows};
      bands.Run(
          rows,
          [](void* c, int first, int last) {
            auto* s = static_cast<Seen*>(c);
            if (first % 16 != 0 || (last % 16 != 0 && last != s->rows))
              s->ragged = true;
            for (int r = first; r < last; ++r) ++s->count[static_cast<size_t>(r)];
          },
          &seen);
      EXPECT_FALSE(seen.ragged) << threads << " threads, " << rows << " rows";
      for (int r = 0; r < rows; ++r)
        ASSERT_EQ(seen.count[static_cast<size_t>(r)].load(), 1)
            << threads << " threads, row " << r << " of " << rows;
    }
  }
}

TEST(IspMirror, VectorFormEqualsThePlainReversal) {
  std::mt19937 random(9);
  for (int width = 1; width <= 70; ++width) {
    std::vector<uint8_t> row(static_cast<size_t>(width) * 3), out(row.size()),
        expected(row.size());
    for (auto& b : row) b = static_cast<uint8_t>(random());
    for (int j = 0; j < width; ++j)
      for (int c = 0; c < 3; ++c)
        expected[3 * (width - 1 - j) + c] = row[3 * j + c];
    isp::MirrorCopy(row.data(), out.data(), width);
    ASSERT_EQ(out, expected) << width;
  }
}

}  // namespace
}  // namespace vk

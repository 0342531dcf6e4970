// The image signal pipeline against the plain reference, and its figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>

#include "isp_reference.h"
#include "sdk/core/camera.h"
#include "sdk/core/isp.h"

namespace vk {
namespace {

class IspTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_ = ::testing::TempDir() + "vkcam_isp_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::remove(registry_.c_str());
    setenv("VKCAM_REGISTRY", registry_.c_str(), 1);
    camera_ = std::make_unique<CCamera>();
  }
  std::vector<uint8_t> RandomFrame(int w, int h, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> raw(static_cast<size_t>(w) * h);
    for (auto& b : raw) b = static_cast<uint8_t>(random());
    return raw;
  }
  void Apply(const reference::Settings& s) {
    camera_->SetDemosaicMode(static_cast<uint8_t>(s.mode));
    camera_->SetMonochrome(s.mono);
    camera_->SetColorCorrection(s.color);
    camera_->SetHorizontalFlip(s.hflip);
    camera_->SetVerticalFlip(s.vflip);
    camera_->SetSaturation(static_cast<uint8_t>(s.saturation));
    camera_->SetGains(s.gains[0], s.gains[1], s.gains[2]);
    int32_t m[3][3];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) m[r][c] = s.matrix[r][c];
    camera_->SetColorMatrix(m);
    camera_->SetGamma(static_cast<uint8_t>(s.gamma));
    camera_->SetContrast(static_cast<uint8_t>(s.contrast));
    camera_->SetAeEnable(0);
    camera_->SetAwbEnable(0);
  }
  // Runs both pipelines on the same random frame; true when they agree.
  void ExpectSame(int w, int h, const reference::Settings& s, uint32_t seed) {
    Apply(s);
    std::vector<uint8_t> raw = RandomFrame(w, h, seed);
    const reference::Image expected = reference::Process({raw.data(), w, h}, s);
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3, 0xEE);
    camera_->Process(raw.data(), out.data(), w, h);
    ASSERT_EQ(out, expected.bgr) << w << "x" << h << " mode " << s.mode << " mono "
                                 << s.mono << " color " << s.color << " flips "
                                 << s.hflip << s.vflip << " threads "
                                 << camera_->pipeline_threads();
  }

  std::string registry_;
  std::unique_ptr<CCamera> camera_;
};

TEST_F(IspTest, EqualsTheReferenceForEverySetting) {
  uint32_t seed = 1;
  for (int threads : {1, 3}) {
    camera_->SetPipelineThreads(threads);
    for (int mode : {0, 1, 2, 7}) {
      for (int variant = 0; variant < 6; ++variant) {
        reference::Settings s;
        s.mode = mode;
        s.mono = variant == 1;
        s.color = variant != 2;
        s.hflip = variant & 1;
        s.vflip = variant >= 3;
        s.saturation = variant * 50;
        s.gamma = 40 + variant * 30;
        s.contrast = variant * 17;
        s.gains[0] = 40 + variant * 20;
        ExpectSame(64, 48, s, seed++);
        ExpectSame(10, 9, s, seed++);  // odd sizes: regions of interest
      }
    }
  }
}

TEST_F(IspTest, EqualsTheReferenceAtEveryResolution) {
  camera_->SetPipelineThreads(3);
  for (auto [w, h] : {std::pair{640, 480}, {1024, 768}}) {
    for (int mode : {0, 1, 2}) {
      reference::Settings s;
      s.mode = mode;
      ExpectSame(w, h, s, 100u + mode);
    }
  }
  for (int mode : {0, 1, 2}) {
    reference::Settings s;
    s.mode = mode;
    s.hflip = true;
    ExpectSame(2048, 1536, s, 99);
  }
  camera_->SetPipelineThreads(1);
  reference::Settings s;
  ExpectSame(2048, 1536, s, 98);
}

// The colour step's vector form against its table form, on rows of every
// length (the vector form leaves the last few pixels to the tables), with
// matrices from the extremes of the settings and gains up to 255, in place
// and into another row.
TEST(IspColorStep, VectorFormEqualsTheTables) {
  std::mt19937 random(7);
  uint8_t tone[256];
  for (int i = 0; i < 256; ++i) tone[i] = static_cast<uint8_t>(random());
  for (int trial = 0; trial < 40; ++trial) {
    int32_t matrix[3][4] = {};
    for (auto& row : matrix)
      for (int c = 0; c < 3; ++c) row[c] = static_cast<int32_t>(random() % 16383) - 8191;
    const auto factor = [&] { return static_cast<uint32_t>(random() % 256); };
    const uint32_t factors[3] = {factor(), factor(), trial == 0 ? 255u : factor()};
    uint8_t tables[3][256];
    for (int c = 0; c < 3; ++c)
      for (uint32_t v = 0; v < 256; ++v)
        tables[c][v] = static_cast<uint8_t>(std::min<uint32_t>((v * factors[c]) >> 6, 255));
    const uint8_t* gains[3] = {tables[0], tables[1], tables[2]};
    const isp::ColorStep step = isp::MakeColorStep(static_cast<uint8_t>(random()), matrix);
    auto vector = std::make_unique<isp::PixelStage>();
    auto scalar = std::make_unique<isp::PixelStage>();
    isp::MakeColorStage(step, gains, tone, vector.get(), factors);
    isp::MakeColorStage(step, gains, tone, scalar.get());
    if (!vector->vector) GTEST_SKIP() << "this processor has no AVX2";
    ASSERT_FALSE(scalar->vector);
    const size_t pixels = 1 + random() % 67;
    std::vector<uint8_t> row(pixels * 3);
    for (auto& b : row) b = static_cast<uint8_t>(random());
    std::vector<uint8_t> expected(row.size()), apart(row.size()), in_place = row;
    isp::ApplyStage(*scalar, row.data(), expected.data(), pixels);
    isp::ApplyStage(*vector, row.data(), apart.data(), pixels);
    isp::ApplyStage(*vector, in_place.data(), in_place.data(), pixels);
    ASSERT_EQ(apart, expected) << "trial " << trial << ", " << pixels << " pixels";
    ASSERT_EQ(in_place, expected) << "trial " << trial;
  }
}

// The colour step's 16-bit form against the table form: matrices whose
// entries share from no factor of two to fourteen of them, within 16 bits,
// past them (each entry split in two parts of 16 bits) and past what
// 32-bit sums hold (the 32-bit form stays), rows of every length around
// its groups of 32 pixels, in place and into another row.
TEST(IspColorStep, SixteenBitFormEqualsTheTables) {
  std::mt19937 random(11);
  uint8_t tone[256];
  for (int i = 0; i < 256; ++i) tone[i] = static_cast<uint8_t>(random());
  struct Case {
    uint8_t saturation;  // 128: the matrix times 128; 127: times 127, odd
    int largest;         // entries in -largest .. largest
    bool narrow, split;
  };
  const Case cases[] = {{128, 255, true, false}, {127, 258, true, false},
                        {127, 1, true, false},   {128, 0, true, false},
                        {127, 259, true, true},  {127, 2000, true, true},
                        {200, 8000, true, true}, {255, 8191, false, false}};
  for (const Case& c : cases) {
    for (int trial = 0; trial < 12; ++trial) {
      int32_t matrix[3][4] = {};
      for (auto& row : matrix)
        for (int k = 0; k < 3; ++k)
          row[k] =
              static_cast<int32_t>(random() % (2 * c.largest + 1)) - c.largest;
      if (c.largest == 258 || c.largest == 259)
        matrix[trial % 3][trial % 2] = c.largest;
      if (!c.narrow) {  // an output whose sums would pass 2^30
        matrix[0][0] = matrix[0][2] = c.largest;
        matrix[0][1] = -c.largest;
      }
      const uint32_t factors[3] = {static_cast<uint32_t>(random() % 256),
                                   trial == 0 ? 255u : 64u,
                                   static_cast<uint32_t>(random() % 256)};
      uint8_t tables[3][256];
      for (int k = 0; k < 3; ++k)
        for (uint32_t v = 0; v < 256; ++v)
          tables[k][v] = static_cast<uint8_t>(
              std::min<uint32_t>((v * factors[k]) >> 6, 255));
      const uint8_t* gains[3] = {tables[0], tables[1], tables[2]};
      const isp::ColorStep step = isp::MakeColorStep(c.saturation, matrix);
      auto narrow = std::make_unique<isp::PixelStage>();
      auto scalar = std::make_unique<isp::PixelStage>();
      isp::MakeColorStage(step, gains, tone, narrow.get(), factors);
      isp::MakeColorStage(step, gains, tone, scalar.get());
      if (!narrow->vector) GTEST_SKIP() << "this processor has no AVX2";
      ASSERT_EQ(narrow->narrow, c.narrow) << "largest " << c.largest;
      if (c.narrow) {
        ASSERT_EQ(narrow->narrow_split > 0, c.split) << "largest " << c.largest;
      }
      const size_t pixels = 1 + random() % 200;
      std::vector<uint8_t> row(pixels * 3);
      for (auto& b : row) b = static_cast<uint8_t>(random());
      std::vector<uint8_t> expected(row.size()), apart(row.size()),
          in_place = row;
      isp::ApplyStage(*scalar, row.data(), expected.data(), pixels);
      isp::ApplyStage(*narrow, row.data(), apart.data(), pixels);
      isp::ApplyStage(*narrow, in_place.data(), in_place.data(), pixels);
      ASSERT_EQ(apart, expected)
          << "largest " << c.largest << ", " << pixels << " pixels";
      ASSERT_EQ(in_place, expected) << "largest " << c.largest;
    }
  }
}

// Tables that no gain makes keep the table form.
TEST(IspColorStep, TablesOfNoGainKeepTheTableForm) {
  uint8_t tone[256], table[256];
  for (int i = 0; i < 256; ++i) tone[i] = table[i] = static_cast<uint8_t>(i);
  table[7] = 0;  // not min((v x 64) >> 6, 255)
  const uint8_t* gains[3] = {table, table, table};
  const uint32_t factors[3] = {64, 64, 64};
  const int32_t identity[3][4] = {{128, 0, 0, 0}, {0, 128, 0, 0}, {0, 0, 128, 0}};
  auto stage = std::make_unique<isp::PixelStage>();
  isp::MakeColorStage(isp::MakeColorStep(128, identity), gains, tone, stage.get(), factors);
  EXPECT_FALSE(stage->vector);
}

TEST_F(IspTest, ModeOtherThanOneOrTwoIsModeZero) {
  std::vector<uint8_t> raw = RandomFrame(32, 24, 5);
  std::vector<uint8_t> zero(32 * 24 * 3), seven(32 * 24 * 3);
  camera_->SetDemosaicMode(0);
  std::vector<uint8_t> copy = raw;
  camera_->Process(copy.data(), zero.data(), 32, 24);
  camera_->SetDemosaicMode(7);
  copy = raw;
  camera_->Process(copy.data(), seven.data(), 32, 24);
  EXPECT_EQ(zero, seven);
}

TEST_F(IspTest, ToneTableFigures) {
  camera_->BuildToneTable(100, 0);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(camera_->tone_table()[i], i);
  camera_->BuildToneTable(100, 100);
  EXPECT_EQ(camera_->tone_table()[200], 255);
  EXPECT_EQ(camera_->tone_table()[100], 79);
  EXPECT_EQ(camera_->tone_table()[50], 0);
}

TEST_F(IspTest, SaturationFoldsIntoTheMatrix) {
  const int32_t identity[4][4] = {{128, 0, 0, 0}, {0, 128, 0, 0}, {0, 0, 128, 0}};
  isp::ColorStep step = isp::MakeColorStep(128, identity);
  EXPECT_EQ(step.m[0][0], 128 * 128);
  EXPECT_EQ(step.m[0][1], 0);
  step = isp::MakeColorStep(0, identity);
  EXPECT_EQ(step.m[0][0], 128 * 39);  // kR
  EXPECT_EQ(step.m[0][1], 128 * 77);  // kG
  EXPECT_EQ(step.m[0][2], 128 * 10);  // kB
}

TEST_F(IspTest, DefaultGainsMapTwoHundred) {
  camera_->SetGains(74, 64, 96);
  EXPECT_EQ(camera_->gain_table(0)[200], 231);
  EXPECT_EQ(camera_->gain_table(1)[200], 200);
  EXPECT_EQ(camera_->gain_table(2)[200], 255);
}

TEST_F(IspTest, VerticalFlipOffPutsTheFirstRowLast) {
  std::vector<uint8_t> raw(16 * 8, 0);
  for (int c = 0; c < 16; ++c) raw[16 * 1 + c] = 200;  // row 1 bright
  reference::Settings s;
  s.color = false;
  s.gains[0] = s.gains[1] = s.gains[2] = 64;
  s.contrast = 0;
  Apply(s);
  std::vector<uint8_t> out(16 * 8 * 3);
  camera_->Process(raw.data(), out.data(), 16, 8);
  // Output row 6 is sensor row 1: its pixels saw the bright row.
  EXPECT_GT(out[(6 * 16 + 5) * 3 + 1], 0);
  EXPECT_EQ(out[(1 * 16 + 5) * 3 + 1], 0);
}

TEST_F(IspTest, MonochromeSkipsWhiteBalanceGainsAndMatrix) {
  camera_->SetResolution(kResolutionVga);
  reference::Settings s;
  s.mono = true;
  s.gains[0] = 200;
  Apply(s);
  camera_->SetAwbEnable(1);
  std::vector<uint8_t> raw = RandomFrame(640, 480, 3);
  const reference::Image expected = reference::Process({raw.data(), 640, 480}, s);
  std::vector<uint8_t> out(640 * 480 * 3);
  camera_->Process(raw.data(), out.data(), 640, 480);
  EXPECT_EQ(out, expected.bgr);
  EXPECT_EQ(camera_->gain(0), 200u);  // AWB did not run
}

// ---- White balance ----

std::vector<uint8_t> Flat(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
  std::vector<uint8_t> img(static_cast<size_t>(w) * h * 3);
  for (size_t i = 0; i < img.size(); i += 3) {
    img[i] = b;
    img[i + 1] = g;
    img[i + 2] = r;
  }
  return img;
}

TEST_F(IspTest, WhiteBalanceOnGreyGivesUnityGains) {
  camera_->SetResolution(kResolutionVga);
  camera_->SetWbWindow(0, 0, 64, 64);  // 4096 pixels: sums multiples of 64
  camera_->AwbStep(Flat(640, 480, 100, 100, 100).data());
  EXPECT_EQ(camera_->gain(0), 64u);
  EXPECT_EQ(camera_->gain(1), 64u);
  EXPECT_EQ(camera_->gain(2), 64u);
}

TEST_F(IspTest, WhiteBalancePinsTheLargestGain) {
  camera_->SetResolution(kResolutionVga);
  camera_->SetWbWindow(0, 0, 64, 64);
  camera_->AwbStep(Flat(640, 480, 100, 100, 25).data());
  EXPECT_EQ(camera_->gain(0), 255u);
  EXPECT_EQ(camera_->gain(1), 63u);
  EXPECT_EQ(camera_->gain(2), 63u);
}

TEST_F(IspTest, WhiteBalanceWindowPastTheImageIsRefused) {
  camera_->SetResolution(kResolutionVga);
  EXPECT_EQ(camera_->SetWbWindow(600, 0, 41, 10), 0);
  EXPECT_EQ(camera_->SetWbWindow(0, 481, 1, 1), 0);
  EXPECT_EQ(camera_->SetWbWindow(0, 470, 10, 11), 0);
  EXPECT_EQ(camera_->SetWbWindow(600, 470, 40, 10), 1);
  uint16_t c, r, w, h;
  camera_->GetWbWindow(&c, &r, &w, &h);
  EXPECT_EQ(c, 600);
  EXPECT_EQ(h, 10);
}

TEST_F(IspTest, DarkWindowLeavesTheGains) {
  camera_->SetResolution(kResolutionVga);
  camera_->SetGains(70, 64, 90);
  camera_->SetWbWindow(0, 0, 4, 4);
  camera_->AwbStep(Flat(640, 480, 1, 1, 1).data());  // red sum under 64
  EXPECT_EQ(camera_->gain(0), 70u);
}

// ---- Exposure ----

TEST_F(IspTest, FarTooDarkFrameGrowsTheExposureByAQuarterFirst) {
  camera_->SetResolution(kResolutionVga);
  camera_->UpdateTiming();  // banding step 24 x 10000 / 1989 = 120
  ASSERT_EQ(camera_->banding_step(), 120);
  camera_->SetAeTarget(120);
  camera_->SetAnalogGain(20);
  camera_->SetAeState(120, 400);
  camera_->AeStep(Flat(640, 480, 15, 15, 15).data());  // 15 < 20: counts as 0
  // L = 60, d = 60, step 30; 400 + 100 = 500, then + d = 560 (gain > 9).
  EXPECT_EQ(camera_->ae_level(), 150u);
  EXPECT_EQ(camera_->ae_exposure(), 560);
  EXPECT_EQ(camera_->GetExposure(), 480);  // whole banding steps
  EXPECT_EQ(camera_->GetAnalogGain(), 20u);
}

TEST_F(IspTest, BrightnessWithinNineChangesNothing) {
  camera_->SetResolution(kResolutionVga);
  camera_->SetAeTarget(120);
  camera_->SetExposure(300);
  camera_->SetAeState(125, 300);
  camera_->AeStep(Flat(640, 480, 120, 120, 120).data());
  EXPECT_EQ(camera_->ae_level(), 120u);
  EXPECT_EQ(camera_->GetExposure(), 300);
  EXPECT_EQ(camera_->ae_exposure(), 300);
}

TEST_F(IspTest, FarTooBrightFrameCutsGainAndExposure) {
  camera_->SetResolution(kResolutionVga);
  camera_->UpdateTiming();
  camera_->SetAeTarget(120);
  camera_->SetAnalogGain(40);
  camera_->SetAeState(120, 900);
  camera_->AeStep(Flat(640, 480, 250, 250, 250).data());  // above 210: 255
  // L = 187, d = 67; g 40 - 10 = 30, e 900 - 225 = 675; g >= 9, e >= S: -4.
  EXPECT_EQ(camera_->ae_level(), 120u - 30);
  EXPECT_EQ(camera_->GetAnalogGain(), 26u);
  EXPECT_EQ(camera_->ae_exposure(), 675);
  EXPECT_EQ(camera_->GetExposure(), 600);
}

TEST_F(IspTest, BrightnessOfWideImagesCountsTheCentreHalf) {
  camera_->SetResolution(kResolutionFull);
  std::vector<uint8_t> img = Flat(2048, 1536, 0, 0, 0);
  for (int r = 384; r < 1152; ++r)
    for (int c = 512; c < 1536; ++c) img[(static_cast<size_t>(r) * 2048 + c) * 3 + 1] = 100;
  EXPECT_EQ(camera_->MeasureBrightness(img.data()), (100 * 16425) >> 15);
}

// ---- Dead pixels ----

TEST_F(IspTest, DeadPixelDetection) {
  std::vector<uint8_t> raw(100 * 100, 0);
  camera_->DetectDeadPixels(raw.data(), 100, 100, 100);
  EXPECT_EQ(camera_->dead_pixel_count(), 0u);
  for (int i = 0; i < 200; ++i) raw[(10 + i / 50) * 100 + 10 + i % 50] = 255;
  camera_->DetectDeadPixels(raw.data(), 100, 100, 100);
  EXPECT_EQ(camera_->dead_pixel_count(), 0u);  // threshold 255: none above
  std::fill(raw.begin(), raw.end(), 0);
  for (int i = 0; i < 50; ++i) raw[20 * 100 + 10 + i] = 255;
  for (int i = 0; i < 100; ++i) raw[(30 + i / 50) * 100 + 10 + i % 50] = 200;
  camera_->DetectDeadPixels(raw.data(), 100, 100, 100);
  ASSERT_EQ(camera_->dead_pixel_count(), 50u);
  EXPECT_EQ(camera_->dead_pixels()[0].column, 10);
  EXPECT_EQ(camera_->dead_pixels()[0].row, 20);
  // Samples in the outer two rows and four columns never count.
  std::fill(raw.begin(), raw.end(), 0);
  for (int c = 0; c < 100; ++c) raw[c] = raw[100 + c] = 255;
  camera_->DetectDeadPixels(raw.data(), 100, 100, 100);
  EXPECT_EQ(camera_->dead_pixel_count(), 0u);
}

TEST_F(IspTest, CorrectionUsesSameColourNeighboursAndSkipsTheEdges) {
  std::vector<uint8_t> raw(100 * 100, 0);
  for (int i = 0; i < 50; ++i) raw[20 * 100 + 10 + i] = 255;
  for (int i = 0; i < 100; ++i) raw[(30 + i / 50) * 100 + 10 + i % 50] = 200;
  camera_->DetectDeadPixels(raw.data(), 100, 100, 100);
  ASSERT_EQ(camera_->dead_pixel_count(), 50u);
  std::vector<uint8_t> frame(100 * 100, 0);
  frame[20 * 100 + 8] = 40;
  frame[20 * 100 + 10] = 250;
  frame[20 * 100 + 12] = 60;
  camera_->CorrectDeadPixels(frame.data(), 100, 100);
  EXPECT_EQ(frame[20 * 100 + 10], 50);
  // Column 2 is never corrected; neither is a column near the right edge.
  std::vector<uint8_t> edge(10 * 10, 0);
  edge[5 * 10 + 2] = 255;
  edge[5 * 10 + 8] = 255;
  std::vector<uint8_t> big(100 * 100, 0);
  camera_->DetectDeadPixels(big.data(), 100, 100, 100);  // empties the list
  camera_->CorrectDeadPixels(edge.data(), 10, 10);
  EXPECT_EQ(edge[5 * 10 + 2], 255);
}

}  // namespace
}  // namespace vk

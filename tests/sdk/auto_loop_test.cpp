// Automatic exposure and white balance closing their loops through the
// simulated camera: the brightness settles and stays, the colour cast goes.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sdk/core/camera.h"
#include "sdk_fixture.h"

namespace vk {
namespace {

class AutoLoopTest : public SdkFixture {
 protected:
  void SetUp() override {
    SdkFixture::SetUp();
    camera_ = std::make_unique<CCamera>();
    ASSERT_EQ(camera_->Initialize(kResolutionVga), 1);
    camera_->StartStream();
    raw_.resize(640 * 480);
  }
  // One frame through the pipeline; its brightness as AE measures it.
  int Frame() {
    int result = 0;
    for (int attempt = 0; attempt < 5 && result != 1; ++attempt)
      result = camera_->ReadFrame(raw_.data());
    EXPECT_EQ(result, 1);
    camera_->Process(raw_.data(), camera_->output(), 640, 480);
    return camera_->MeasureBrightness(camera_->output());
  }
  // Frames until AE finds the smoothed brightness within its dead band
  // (it then holds the level at the target and writes nothing) and stays
  // there for ten more; -1 when it never does in `limit` frames.
  int Settle(int limit) {
    const int target = camera_->ae_target();
    int inside = 0;
    for (int n = 0; n < limit; ++n) {
      const int y = Frame();
      if (std::getenv("VKCAM_TRACE_AE"))
        std::fprintf(stderr, "frame %d: Y %d L %u e %u exposure %u gain %u\n", n, y,
                     camera_->ae_level(), camera_->ae_exposure(),
                     camera_->GetExposure(), camera_->GetAnalogGain());
      const bool settled = camera_->ae_level() == static_cast<uint32_t>(target) &&
                           std::abs(y - target) < 20;
      inside = settled ? inside + 1 : 0;
      if (inside == 10) return n - 9;
    }
    return -1;
  }

  std::unique_ptr<CCamera> camera_;
  std::vector<uint8_t> raw_;
};

TEST_F(AutoLoopTest, FarTooDarkSettlesAndStays) {
  camera_->SetAnalogGain(0);
  camera_->SetExposure(2);
  camera_->SetAeState(camera_->ae_target(), 2);
  const int frames = Settle(150);
  EXPECT_GE(frames, 0) << "never settled";
  EXPECT_LT(frames, 120);
}

TEST_F(AutoLoopTest, FarTooBrightSettlesAndStays) {
  camera_->SetAnalogGain(86);
  camera_->SetExposure(camera_->GetMaxExposure());
  camera_->SetAeState(camera_->ae_target(), camera_->GetMaxExposure());
  const int frames = Settle(150);
  EXPECT_GE(frames, 0) << "never settled";
  EXPECT_LT(frames, 120);
}

TEST_F(AutoLoopTest, WhiteBalanceTakesOutTheColourCast) {
  // A grey patch of the chart: columns 360..419, rows 340..389 at 640 x 480.
  ASSERT_EQ(camera_->SetWbWindow(360, 340, 60, 50), 1);
  camera_->SetAwbEnable(1);
  for (int n = 0; n < 40; ++n) Frame();
  // The output is bottom row first: sensor row r is output row 479 - r.
  long sum[3] = {0, 0, 0};
  for (int r = 340; r < 390; ++r)
    for (int c = 360; c < 420; ++c)
      for (int k = 0; k < 3; ++k)
        sum[k] += camera_->output()[((479 - r) * 640 + c) * 3 + k];
  const long blue = sum[0] / 3000, green = sum[1] / 3000, red = sum[2] / 3000;
  EXPECT_NEAR(red, green, 4);
  EXPECT_NEAR(blue, green, 4);
  EXPECT_GT(green, 40);  // not black: AE kept it visible
}

}  // namespace
}  // namespace vk

// The camera object's pipeline: dead pixels, demosaicing, AWB, the colour
// step with the tone table, flips and AE, in that order, on the settings of
// the moment (they may change between frames, never within one).
#include <algorithm>
#include <atomic>

#include "sdk/core/camera.h"
#include "sdk/core/isp.h"

namespace vk {
namespace {

// A frame's job with the sums its bands add up; integer sums, so the
// total does not depend on the split.
struct Frame {
  isp::FrameJob job;
  std::atomic<uint64_t> blue{0}, green{0}, red{0};

  void Add(const isp::ChannelSums& sums) {
    blue.fetch_add(sums.blue, std::memory_order_relaxed);
    green.fetch_add(sums.green, std::memory_order_relaxed);
    red.fetch_add(sums.red, std::memory_order_relaxed);
  }
  isp::ChannelSums Sums() const {
    return {blue.load(), green.load(), red.load()};
  }
};

void ProcessBand(void* c, int first, int last) {
  auto* f = static_cast<Frame*>(c);
  isp::ChannelSums sums;
  isp::ProcessRows(f->job, first, last, &sums);
  f->Add(sums);
}

void MeasureBand(void* c, int first, int last) {
  auto* f = static_cast<Frame*>(c);
  isp::ChannelSums sums;
  isp::MeasureDemosaiced(f->job.raw, f->job.g, f->job.mode, f->job.measured,
                         first, last, &sums);
  f->Add(sums);
}

}  // namespace

void CCamera::Process(uint8_t* raw, uint8_t* out, int width, int height) {
  if (width <= 0 || height <= 0) return;
  if (detection_requested_) {
    detection_requested_ = 0;
    DetectAndStore(raw);
  }
  CorrectDeadPixels(raw, width, height);
  const isp::Geometry g{width, height};
  const int mode =
      demosaic_mode_ == 1 || demosaic_mode_ == 2 ? demosaic_mode_ : 0;
  isp::PixelStage stage;
  if (monochrome_) {
    isp::MakeLuminanceStage(tone_table_, &stage);
  } else {
    if (awb_enable_) {
      // White balance reads the demosaiced image before the colour step it
      // sets: a pass of its own over its window, nothing stored.
      Frame measure{
          {raw, out, g, mode, &stage, false, false, WbWindowIn(width, height)}};
      bands_->Run(height, &MeasureBand, &measure);
      AwbFromSums(measure.Sums());
      BuildGainTables();
    }
    const uint8_t* gains[3] = {gain_tables_[0], gain_tables_[1],
                               gain_tables_[2]};
    if (color_correction_) {
      isp::MakeColorStage(isp::MakeColorStep(saturation_, color_matrix_), gains, tone_table_,
                          &stage, gains_);
    } else {
      isp::MakeGainsStage(gains, tone_table_, &stage);
    }
  }
  // Demosaicing, the pixel stage, the mirror, the row reversal and AE's
  // measurement in one trip through memory.
  Frame f{{raw, out, g, mode, &stage, horizontal_flip_ != 0,
           vertical_flip_ == 0,
           ae_enable_ ? BrightnessWindow(width, height) : isp::Window{}}};
  bands_->Run(height, &ProcessBand, &f);
  if (ae_enable_) AeFromBrightness(BrightnessFromSums(f.Sums(), width, height));
}

void CCamera::SetGamma(uint8_t gamma) {
  gamma_ = gamma;
  BuildToneTable(gamma_, contrast_);
}

void CCamera::SetContrast(uint8_t contrast) {
  contrast_ = contrast;
  BuildToneTable(gamma_, contrast_);
}

void CCamera::SetGains(uint32_t red, uint32_t green, uint32_t blue) {
  gains_[0] = red;
  gains_[1] = green;
  gains_[2] = blue;
  BuildGainTables();
}

void CCamera::SetColorMatrix(const int32_t matrix[3][3]) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) color_matrix_[r][c] = matrix[r][c];
}

void CCamera::SetPipelineThreads(int threads) {
  bands_ = std::make_unique<RowBands>(std::clamp(threads, 1, 64));
}

}  // namespace vk

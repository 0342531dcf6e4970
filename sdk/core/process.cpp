// The camera object's pipeline: dead pixels, demosaicing, AWB, the colour
// step with the tone table, flips and AE, in that order, on the settings of
// the moment (they may change between frames, never within one).
#include <algorithm>

#include "sdk/core/camera.h"
#include "sdk/core/isp.h"

namespace vk {
namespace {

struct Frame {
  const uint8_t* raw;
  uint8_t* out;
  isp::Geometry g;
  const isp::PixelStage* stage;
  bool mirror;
  bool reverse;
};

void Mode0(void* c, int a, int b) {
  auto* f = static_cast<Frame*>(c);
  isp::Demosaic0(f->raw, f->out, f->g, a, b);
}
void Mode1Green(void* c, int a, int b) {
  auto* f = static_cast<Frame*>(c);
  isp::Mode1Green(f->raw, f->out, f->g, a, b);
}
void Mode1RedBlue(void* c, int a, int b) {
  auto* f = static_cast<Frame*>(c);
  isp::Mode1RedBlue(f->raw, f->out, f->g, a, b);
}
void Mode2Green(void* c, int a, int b) {
  auto* f = static_cast<Frame*>(c);
  isp::Mode2Green(f->raw, f->out, f->g, a, b);
}
void Mode2RedBlue(void* c, int a, int b) {
  auto* f = static_cast<Frame*>(c);
  isp::Mode2RedBlue(f->raw, f->out, f->g, a, b);
}
void Finish(void* c, int a, int b) {
  auto* f = static_cast<Frame*>(c);
  isp::FinishRows(f->out, f->g, a, b, *f->stage, f->mirror, f->reverse);
}

}  // namespace

void CCamera::Process(uint8_t* raw, uint8_t* out, int width, int height) {
  if (width <= 0 || height <= 0) return;
  if (detection_requested_) {
    detection_requested_ = 0;
    DetectAndStore(raw);
  }
  CorrectDeadPixels(raw, width, height);
  const uint8_t* gains[3] = {gain_tables_[0], gain_tables_[1], gain_tables_[2]};
  isp::PixelStage stage;
  Frame f{raw, out, {width, height}, &stage, horizontal_flip_ != 0, vertical_flip_ == 0};
  switch (demosaic_mode_) {
    case 1:
      bands_->Run(height, &Mode1Green, &f);
      bands_->Run(height, &Mode1RedBlue, &f);
      break;
    case 2:
      bands_->Run(height, &Mode2Green, &f);
      bands_->Run(height, &Mode2RedBlue, &f);
      break;
    default:
      bands_->Run(height, &Mode0, &f);
  }
  if (monochrome_) {
    isp::MakeLuminanceStage(tone_table_, &stage);
  } else {
    if (awb_enable_) {
      AwbStep(out, width, height);
      BuildGainTables();
    }
    if (color_correction_) {
      isp::MakeColorStage(isp::MakeColorStep(saturation_, color_matrix_), gains, tone_table_,
                          &stage, gains_);
    } else {
      isp::MakeGainsStage(gains, tone_table_, &stage);
    }
  }
  // The pixel stage, the mirror and the row reversal in one pass.
  bands_->Run(isp::FinishUnits(f.g, f.reverse), &Finish, &f);
  if (ae_enable_) AeStep(out, width, height);
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

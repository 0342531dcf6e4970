#include "sdk/core/camera.h"

#include "sdk/core/isp.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>

namespace vk {
namespace {

constexpr uint16_t kRowTimes[4] = {2753, 2055, 1989, 1927};
constexpr uint8_t kSensorOutput = 7;
constexpr uint8_t kChipVersion = 0;
constexpr uint16_t kChipFamily = 0x1600;

// The sensor's start-up table after the chip version check; 0xFFFF marks
// the two 100 ms waits around the reset pulse on register 13.
constexpr uint16_t kWait = 0xFFFF;
constexpr uint16_t kStartUp[][2] = {
    {10, 0x8000}, {13, 1}, {kWait, 100}, {13, 0}, {kWait, 100},
    {1, 21},      {2, 33}, {32, 0},      {30, 0x8040}, {78, 0x20},
    {4, 2047},    {3, 1535}, {43, 96},   {44, 96},     {45, 96},
    {46, 96},     {10, 0x8001}, {73, 128}, {34, 0},    {35, 0},
    {8, 0},       {96, 0},  {97, 127},   {98, 3},
};

struct Geometry {
  int width, height;
};

Geometry GeometryOf(uint8_t index, const uint16_t* roi) {
  switch (index) {
    case kResolutionFull: return {2048, 1536};
    case kResolutionHalf: return {1024, 768};
    case kResolutionVga: return {640, 480};
    case kResolutionRoi: return {roi[2], roi[3]};
    default: return {1280, 1024};
  }
}

// Every processor a share of the rows, unless VKCAM_PIPELINE_THREADS says
// otherwise (1 keeps the pipeline on the calling thread).
int DefaultPipelineThreads() {
  if (const char* v = std::getenv("VKCAM_PIPELINE_THREADS"); v && *v)
    return std::clamp(std::atoi(v), 1, 64);
  return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
}

}  // namespace

CCamera::CCamera()
    : output_(std::make_unique<uint8_t[]>(kMaxWidth * kMaxHeight * 3)),
      bands_(std::make_unique<RowBands>(DefaultPipelineThreads())) {
  device_ = std::make_unique<CCameraDevice>();
  dead_pixel_count_ = 0;
  detection_requested_ = 0;
  ae_exposure_ = 94;
  // The exported layer's region of interest until an application sets one.
  roi_[0] = 272;
  roi_[1] = 360;
  roi_[2] = 640;
  roi_[3] = 480;
  // White balance measures the whole image until a window is set.
  wb_window_[0] = 0;
  wb_window_[1] = 0;
  wb_window_[2] = kMaxWidth;
  wb_window_[3] = kMaxHeight;
  LoadDefaults();
  ReadTeamNumber();
  LoadTeam(team_);
  BuildToneTable(gamma_, contrast_);
  BuildGainTables();
  ae_level_ = ae_target_;
}

CCamera::~CCamera() {
  if (display_dc_) ReleaseDC(display_window_, display_dc_);
  if (drawdib_) DrawDibClose(drawdib_);
}

void CCamera::LoadDefaults() {
  ae_enable_ = 1;
  color_correction_ = 1;
  awb_enable_ = 0;
  initial_exposure_ = 0;
  team_ = 0;
  frame_speed_ = 0;
  sample_type_ = 0;
  light_frequency_ = 0;
  monochrome_ = vertical_flip_ = horizontal_flip_ = 0;
  demosaic_mode_ = 0;
  display_rect_[0] = display_rect_[1] = 0;
  display_rect_[2] = display_rect_[3] = -1;
  banding_step_ = 100;
  gamma_ = 100;
  std::copy(std::begin(kRowTimes), std::end(kRowTimes), row_time_table_);
  ae_target_ = 120;
  max_exposure_ = 2000;
  exposure_ = 300;
  analog_gain_ = 20;
  contrast_ = 20;
  saturation_ = 128;
  gains_[0] = 74;
  gains_[1] = 64;
  gains_[2] = 96;
  exposure_us_ = 50000;
  for (auto& row : color_matrix_) std::fill(std::begin(row), std::end(row), 0);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) color_matrix_[r][c] = kDefaultColorMatrix[r][c];
  BuildGainTables();
  BuildToneTable(gamma_, contrast_);
}

void CCamera::WriteRegisters(const uint16_t (*writes)[2], size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (writes[i][0] == kWait) {
      Sleep(writes[i][1]);
    } else {
      WriteSensorRegister(writes[i][0], writes[i][1]);  // results ignored
    }
  }
}

int CCamera::Initialize(uint8_t resolution) {
  if (!device_ || !device_->Open(true)) {
    MessageBoxA(nullptr, "USB Camera Not Find!", nullptr, MB_OK);
    return 0;
  }
  SetResolution(resolution);
  WriteSensorRegister(kSensorOutput, 2);
  uint16_t version = 0;
  if (!ReadSensorRegister(kChipVersion, &version) ||
      (version & 0xFF00) != kChipFamily)
    return 0;
  WriteRegisters(kStartUp, std::size(kStartUp));
  ApplySensorMode(resolution);
  SetFrameSpeed(frame_speed_);
  const uint32_t row_time = std::max<uint32_t>(row_time_us_, 1);
  exposure_us_ = std::max(exposure_us_, row_time);
  const auto rows = static_cast<uint16_t>(exposure_us_ / row_time);
  saved_resolution_ = resolution;
  initial_exposure_ = exposure_ = rows;
  SetExposure(rows);
  SetAnalogGain(analog_gain_);
  LoadDeadPixels(resolution);
  Sleep(200);
  return 1;
}

void CCamera::SetResolution(uint8_t index) {
  const Geometry g = GeometryOf(index, roi_);
  resolution_ = index;
  width_ = g.width;
  height_ = g.height;
  max_exposure_ = static_cast<uint16_t>(2 * height_);
  if (device_) device_->SetFrameSize(static_cast<uint32_t>(width_),
                                     static_cast<uint32_t>(height_));
}

void CCamera::ApplySensorMode(uint8_t index) {
  if (!device_) return;
  const uint16_t binning = sample_type_ ? 1 : 0x11;
  const uint16_t binning3 = sample_type_ ? 2 : 0x22;
  switch (index) {
    case kResolutionFull: {
      const uint16_t w[][2] = {{1, 21}, {2, 33}, {4, 2047}, {3, 1535},
                               {34, 0}, {35, 0}, {5, 336}};
      WriteRegisters(w, std::size(w));
      break;
    }
    case kResolutionHalf: {
      const uint16_t w[][2] = {{1, 21},       {2, 33},       {4, 2047},
                               {3, 1535},     {34, binning}, {35, binning},
                               {5, 336}};
      WriteRegisters(w, std::size(w));
      break;
    }
    case kResolutionVga: {
      const uint16_t w[][2] = {
          {1, 21},
          {2, 36},
          {4, static_cast<uint16_t>(3 * width_ - 1)},
          {3, static_cast<uint16_t>(3 * height_ - 1)},
          {34, binning3},
          {35, binning3},
          {5, 336}};
      WriteRegisters(w, std::size(w));
      break;
    }
    case kResolutionRoi: {
      const uint16_t w[][2] = {{4, static_cast<uint16_t>(roi_[2] - 1)},
                               {3, static_cast<uint16_t>(roi_[3] - 1)},
                               {1, static_cast<uint16_t>(roi_[0] + 21)},
                               {2, static_cast<uint16_t>(roi_[1] + 33)},
                               {34, 0},
                               {35, 0}};
      WriteRegisters(w, std::size(w));
      break;
    }
    default:
      break;  // geometry only
  }
}

int CCamera::SetRoi(uint16_t column, uint16_t row, uint16_t width,
                    uint16_t height) {
  roi_[1] = column & 0xFFFE;
  roi_[0] = row & 0xFFFE;
  roi_[2] = std::min<uint16_t>(width, static_cast<uint16_t>(kMaxWidth - roi_[1]));
  roi_[3] = std::min<uint16_t>(height, static_cast<uint16_t>(kMaxHeight - roi_[0]));
  return 1;
}

void CCamera::GetRoi(uint16_t* column, uint16_t* row, uint16_t* width,
                     uint16_t* height) const {
  *column = roi_[1];
  *row = roi_[0];
  *width = roi_[2];
  *height = roi_[3];
}

void CCamera::ChangeResolution(uint8_t index) {
  // Indexes without a row time of their own keep the exposure as it is.
  if (resolution_ < 4 && index < 4 && row_time_table_[index] != 0) {
    exposure_ = static_cast<uint16_t>(std::max<uint32_t>(
        1, uint32_t{exposure_} * row_time_table_[resolution_] /
               row_time_table_[index]));
  }
  SetExposure(exposure_);
  SetResolution(index);
  ApplySensorMode(index);
  LoadDeadPixels(index);
  StartStream();
}

void CCamera::SetExposure(uint16_t rows) {
  exposure_ = rows;
  WriteSensorRegister(8, 0);
  WriteSensorRegister(9, rows);
}

int CCamera::SetAnalogGain(uint32_t value) {
  const auto g = static_cast<uint16_t>(std::min<uint32_t>(value, 86));
  uint16_t code = 0x2D60;
  if (g <= 24) {
    code = static_cast<uint16_t>(g + 8);
  } else if (g <= 40) {
    code = static_cast<uint16_t>(g + 56);
  } else if (g <= 85) {
    code = static_cast<uint16_t>(g * 256 - 10144);
  }
  analog_gain_ = g;
  if (!device_) return g;
  return WriteSensorRegister(53, code);
}

void CCamera::SetFrameSpeed(uint8_t value) {
  WriteSensorRegister(10, value != 0 ? 0x8000 : 0x8001);
  WriteSensorRegister(5, 336);
  frame_speed_ = value != 0;
  UpdateTiming();
}

void CCamera::SetLightFrequency(uint8_t value) {
  light_frequency_ = value;
  UpdateTiming();
}

int CCamera::UpdateTiming() {
  if (resolution_ == kResolutionRoi) {
    uint16_t w = 0, column_mode = 0, row_mode = 0, blank = 0;
    ReadSensorRegister(4, &w);
    ReadSensorRegister(35, &column_mode);
    ReadSensorRegister(34, &row_mode);
    ReadSensorRegister(5, &blank);
    static constexpr uint16_t kBinExtra[4] = {38, 22, 14, 14};
    static constexpr uint16_t kBinTail[4] = {331, 673, 999, 999};
    const uint32_t b = (row_mode >> 4) & 3;
    uint16_t t = static_cast<uint16_t>((w + 1) / ((column_mode & 7) + 1) +
                                       blank + kBinExtra[b]);
    t = std::max<uint16_t>(t, static_cast<uint16_t>(316 * (b + 1)));
    row_time_table_[3] = static_cast<uint16_t>(t + kBinTail[b]);
  }
  if (resolution_ > kResolutionRoi) return 0;
  const uint32_t r = row_time_table_[resolution_];
  const uint32_t p = frame_speed_ ? 48 : 24;
  if (r == 0) return 0;
  banding_step_ = static_cast<uint16_t>(light_frequency_ ? p * 100000 / (r * 12)
                                                         : p * 10000 / r);
  ae_exposure_ = exposure_;
  row_time_us_ = r / p;
  if (banding_step_ != 0 && exposure_ >= banding_step_)
    exposure_ = static_cast<uint16_t>(banding_step_ * (exposure_ / banding_step_));
  SetExposure(exposure_);
  return 1;
}

void CCamera::GetImageSize(int* width, int* height) const {
  *width = width_;
  *height = height_;
}

void CCamera::StartStream() {
  if (device_ && device_->handle() != INVALID_HANDLE_VALUE)
    device_->SetStreamControl(3);
}

void CCamera::Shutdown() {
  SaveTeam(team_);
  WriteSensorRegister(kSensorOutput, 0);
  if (device_) device_->StopLink();
}

void CCamera::BuildGainTables() {
  for (int c = 0; c < 3; ++c) {
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t v = (i * gains_[c]) >> 6;
      gain_tables_[c][i] = static_cast<uint8_t>(std::min<uint32_t>(v, 255));
    }
  }
}

void CCamera::BuildToneTable(uint8_t gamma, uint8_t contrast) {
  // The exponent's factor is a single-precision 0.01, as the tables have
  // always been built.
  isp::BuildToneTable(gamma * static_cast<double>(0.01f), contrast, tone_table_);
}

}  // namespace vk

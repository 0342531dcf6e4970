// CCamera: the SDK's camera object. It owns the device access, the sensor
// configuration (resolution modes, region of interest, exposure, analog
// gain, frame speed, mains frequency and the row-time arithmetic behind
// them), the image settings that the parameter teams persist, and the RGB24
// output image of the pipeline.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/vfw.h"
#include "sdk/core/camera_device.h"
#include "sdk/core/isp.h"
#include "sdk/core/row_bands.h"

namespace vk {

inline constexpr int kMaxWidth = 2048;
inline constexpr int kMaxHeight = 1536;
inline constexpr int kMaxDeadPixels = 100;
inline constexpr int kParameterTeams = 4;

// Resolution indexes.
inline constexpr uint8_t kResolutionFull = 0;     // 2048 x 1536
inline constexpr uint8_t kResolutionHalf = 1;     // 1024 x 768
inline constexpr uint8_t kResolutionVga = 2;      // 640 x 480
inline constexpr uint8_t kResolutionRoi = 3;      // region of interest

// The colour matrix's default (128 = 1.0): rows red, green, blue.
inline constexpr int32_t kDefaultColorMatrix[3][3] = {
    {205, -65, -12}, {-63, 222, -32}, {-34, -125, 286}};

struct DeadPixel {
  uint16_t column;
  uint16_t row;
};

struct Rect16 {
  uint16_t a, b, width, height;  // (row, column) or (column, row), as named
};

class CCamera {
 public:
  CCamera();
  virtual ~CCamera();
  CCamera(const CCamera&) = delete;
  CCamera& operator=(const CCamera&) = delete;

  // ---- Initialisation and teardown ----
  int Initialize(uint8_t resolution);
  void LoadDefaults();
  void Shutdown();
  void StartStream();

  // ---- Sensor configuration ----
  void SetResolution(uint8_t index);
  void ApplySensorMode(uint8_t index);
  void ChangeResolution(uint8_t index);
  int SetRoi(uint16_t column, uint16_t row, uint16_t width, uint16_t height);
  void GetRoi(uint16_t* column, uint16_t* row, uint16_t* width,
              uint16_t* height) const;
  void SetExposure(uint16_t rows);
  uint16_t GetExposure() const { return exposure_; }
  uint16_t GetMaxExposure() const { return max_exposure_; }
  uint32_t GetRowTime() const { return row_time_us_; }
  // The register write's result, or the clamped value without a device.
  int SetAnalogGain(uint32_t value);
  uint32_t GetAnalogGain() const { return analog_gain_; }
  void SetFrameSpeed(uint8_t value);
  uint8_t GetFrameSpeed() const { return frame_speed_; }
  void SetLightFrequency(uint8_t value);
  uint8_t GetLightFrequency() const { return light_frequency_; }
  int UpdateTiming();
  void GetImageSize(int* width, int* height) const;
  uint16_t banding_step() const { return banding_step_; }
  uint8_t resolution() const { return resolution_; }

  // ---- Tables of the pipeline ----
  void BuildGainTables();
  void BuildToneTable(uint8_t gamma, uint8_t contrast);
  const uint8_t* tone_table() const { return tone_table_; }
  const uint8_t* gain_table(int color) const { return gain_tables_[color]; }

  // ---- Image signal pipeline ----
  // Raw frame (corrected in place for dead pixels) to RGB24 in `out`, which
  // holds width x height x 3 bytes.
  void Process(uint8_t* raw, uint8_t* out, int width, int height);
  void SetGamma(uint8_t gamma);
  void SetContrast(uint8_t contrast);
  void SetSaturation(uint8_t saturation) { saturation_ = saturation; }
  void SetGains(uint32_t red, uint32_t green, uint32_t blue);
  void SetColorCorrection(uint32_t on) { color_correction_ = on; }
  void SetDemosaicMode(uint8_t mode) { demosaic_mode_ = mode; }
  void SetMonochrome(uint32_t on) { monochrome_ = on; }
  void SetHorizontalFlip(uint32_t on) { horizontal_flip_ = on; }
  void SetVerticalFlip(uint32_t on) { vertical_flip_ = on; }
  void SetColorMatrix(const int32_t matrix[3][3]);
  // Rows of the pipeline run on this many threads (1: the caller's only);
  // the output is the same for any number.
  void SetPipelineThreads(int threads);
  int pipeline_threads() const { return bands_->threads(); }

  // ---- Preview display ----
  // Attaches the preview window (none: drawing is skipped) and describes the
  // current image size for drawing. Returns 1.
  int SetupDisplay(HWND window);
  // Draws an image of the setup's size, scaled to the window's client area.
  void Draw(const uint8_t* image);
  // The part of the image drawn: 1, or 0 with nothing stored when it does
  // not lie within the image.
  int SetDisplayRect(uint16_t x, uint16_t y, uint16_t width, uint16_t height);
  const int32_t* display_rect() const { return display_rect_; }

  // ---- Automatic exposure and white balance ----
  void SetAeEnable(uint32_t on) { ae_enable_ = on; }
  void SetAeTarget(uint32_t value) { ae_target_ = static_cast<uint8_t>(value); }
  void SetAwbEnable(uint32_t on) { awb_enable_ = on; }
  int SetWbWindow(uint16_t column, uint16_t row, uint16_t width,
                  uint16_t height);
  void GetWbWindow(uint16_t* column, uint16_t* row, uint16_t* width,
                   uint16_t* height) const;
  // On an image of the camera's geometry, or of the one given (the frame
  // being processed).
  void AwbStep(const uint8_t* image) { AwbStep(image, width_, height_); }
  void AwbStep(const uint8_t* image, int width, int height);
  uint8_t MeasureBrightness(const uint8_t* image) const {
    return MeasureBrightness(image, width_, height_);
  }
  uint8_t MeasureBrightness(const uint8_t* image, int width, int height) const;
  void AeStep(const uint8_t* image) { AeStep(image, width_, height_); }
  void AeStep(const uint8_t* image, int width, int height);
  // The same steps split for a pipeline that sums the windows on its way:
  // the window each reads (of the demosaiced image for white balance, of
  // the finished one for exposure) and the step from the window's sums.
  isp::Window WbWindowIn(int width, int height) const;
  void AwbFromSums(const isp::ChannelSums& sums);
  static isp::Window BrightnessWindow(int width, int height);
  static uint8_t BrightnessFromSums(const isp::ChannelSums& sums, int width,
                                    int height);
  void AeFromBrightness(uint8_t brightness);
  uint32_t ae_level() const { return ae_level_; }
  uint16_t ae_exposure() const { return ae_exposure_; }
  void SetAeState(uint32_t level, uint16_t exposure) {
    ae_level_ = level;
    ae_exposure_ = exposure;
  }

  // ---- Parameter teams ----
  int ReadTeamNumber();
  int SaveTeam(uint32_t team);
  int LoadTeam(uint32_t team);
  uint32_t GetCurrentTeam() const { return team_; }

  // ---- Dead pixels ----
  void RequestDetection() { detection_requested_ = 1; }
  uint32_t detection_requested() const { return detection_requested_; }
  int DetectAndStore(const uint8_t* raw);
  void DetectDeadPixels(const uint8_t* raw, int width, int height, int limit);
  int StoreDeadPixels(uint8_t resolution);
  int LoadDeadPixels(uint8_t resolution);
  void CorrectDeadPixels(uint8_t* raw, int width, int height) const;
  uint32_t dead_pixel_count() const { return dead_pixel_count_; }
  const DeadPixel* dead_pixels() const { return dead_pixels_; }

  // ---- Device forwarders and identity data ----
  int ReadFrame(uint8_t* buffer);
  uint8_t CameraCount();
  int SelectCamera(uint8_t n);
  int ReadSensorRegister(uint16_t reg, uint16_t* data);
  int WriteSensorRegister(uint16_t reg, uint16_t data);
  int ReadGpio();
  int WriteGpio(uint8_t byte);
  int SetGpio(uint8_t byte);
  // 1..32 characters; -1 without a device object; 0 on a bad length or a
  // failed request.
  int WriteSerialNumber(const char* text, uint32_t length);
  int ReadSerialNumber(char* text, uint32_t length);
  int WriteLotDate(uint16_t word);
  uint16_t ReadLotDate();
  CCameraDevice* device() { return device_.get(); }

  // ---- Settings the parameter teams persist (setters for the pipeline
  // and the exported interface come with them) ----
  uint8_t ae_target() const { return ae_target_; }
  uint32_t ae_enable() const { return ae_enable_; }
  uint32_t awb_enable() const { return awb_enable_; }
  uint32_t color_correction() const { return color_correction_; }
  uint8_t gamma() const { return gamma_; }
  uint8_t contrast() const { return contrast_; }
  uint8_t saturation() const { return saturation_; }
  uint32_t gain(int color) const { return gains_[color]; }
  uint32_t monochrome() const { return monochrome_; }
  uint32_t vertical_flip() const { return vertical_flip_; }
  uint32_t horizontal_flip() const { return horizontal_flip_; }
  uint8_t demosaic_mode() const { return demosaic_mode_; }
  int32_t color_matrix(int row, int column) const {
    return color_matrix_[row][column];
  }
  uint8_t saved_resolution() const { return saved_resolution_; }
  uint32_t exposure_us() const { return exposure_us_; }
  uint8_t sample_type() const { return sample_type_; }
  uint8_t* output() { return output_.get(); }

 private:
  void WriteRegisters(const uint16_t (*writes)[2], size_t count);
  // Bytes of one image row, and of one row as DrawDib reads it.
  size_t DisplayRowBytes() const;
  size_t DisplayStride() const;
  // `image` with its rows padded as DrawDib reads them; null when the
  // padded copy could not be allocated.
  const uint8_t* PaddedForDisplay(const uint8_t* image);

  uint16_t row_time_table_[4];
  uint8_t demosaic_mode_;
  int32_t display_rect_[4];
  uint16_t wb_window_[4];  // row, column, width, height
  uint16_t roi_[4];        // row start, column start, width, height
  DeadPixel dead_pixels_[kMaxDeadPixels];
  uint32_t dead_pixel_count_ = 0;
  uint32_t detection_requested_ = 0;
  uint16_t ae_exposure_ = 94;
  uint32_t ae_level_;
  uint32_t row_time_us_ = 0;
  uint32_t team_;
  uint8_t sample_type_;
  uint16_t banding_step_;
  uint8_t light_frequency_;
  uint8_t frame_speed_;
  uint8_t resolution_ = 0;
  int32_t width_ = 0;
  int32_t height_ = 0;
  uint32_t analog_gain_;
  uint16_t initial_exposure_;
  uint16_t exposure_;
  uint16_t max_exposure_;
  uint8_t ae_target_;
  uint32_t ae_enable_;
  uint32_t awb_enable_;
  uint32_t color_correction_;
  uint8_t gamma_;
  uint8_t tone_table_[256];
  int32_t color_matrix_[4][4];
  uint8_t saturation_;
  uint8_t contrast_;
  uint32_t gains_[3];  // red, green, blue; 64 = 1.0
  uint32_t monochrome_;
  uint32_t vertical_flip_;
  uint32_t horizontal_flip_;
  uint8_t saved_resolution_ = 0;
  uint32_t exposure_us_;
  // The digital-gain tables of the pipeline, red, green, blue. Kept with
  // the object rather than shared, so that a second camera object (the one
  // that counts cameras) never changes the first one's tables.
  uint8_t gain_tables_[3][256];
  std::unique_ptr<uint8_t[]> output_;  // kMaxWidth x kMaxHeight x 3
  std::unique_ptr<RowBands> bands_;
  std::unique_ptr<CCameraDevice> device_;
  HWND display_window_ = nullptr;
  HDC display_dc_ = nullptr;
  HDRAWDIB drawdib_ = nullptr;
  BITMAPINFOHEADER display_header_ = {};
  std::unique_ptr<uint8_t[]> display_rows_;  // padded rows for DrawDib

  friend class CameraTestPeer;
};

}  // namespace vk

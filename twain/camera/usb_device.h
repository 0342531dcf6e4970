// CUSBDevice: the data source's camera engine. It opens link 0, configures
// the sensor, reads raw frames on a capture thread (and, on machines with
// more than one processor, a reader thread feeding it through a pool of
// three raw buffers), turns them into 24-bit DIB images with its own
// pipeline and automatic exposure, and keeps the newest of three image
// buffers for the preview and for transfers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "sdk/core/camera_device.h"
#include "twain/camera/ctwain.h"
#include "twain/camera/image_pipeline.h"
#include "twain/camera/image_steps.h"
#include "twain/camera/settings.h"
#include "twain/dialog/dialog_view.h"

namespace vk::twain {

inline constexpr int kImageBuffers = 3;
inline constexpr int kBadFramesGiveUp = 8;
inline constexpr int kRawNodes = 3;

class CUSBDevice : public CTWAIN {
 public:
  // `processors` 0 asks the machine; tests choose 1 or 2.
  explicit CUSBDevice(int processors = 0);
  ~CUSBDevice() override;
  CUSBDevice(const CUSBDevice&) = delete;
  CUSBDevice& operator=(const CUSBDevice&) = delete;

  void GetImageSize(int* width, int* height) override;
  void StartPreview(int width, int height) override;
  void StopPreview() override;
  bool CopyLatestImage(uint8_t* buffer, size_t capacity) override;
  bool OnDialogCommand(WPARAM wparam, LPARAM lparam) override;
  void OnFrameNotify(WPARAM ok) override;
  void OnDrawItem(HDC dc) override;
  void OnInitDialog(HWND dialog) override;
  int GetResolution() override;
  int GetWhiteBalance(uint32_t* once, uint8_t* red, uint8_t* green,
                      uint8_t* blue) override;
  void SetWhiteBalance(uint32_t once, uint8_t red, uint8_t green,
                       uint8_t blue) override;
  int GetExposure(uint32_t* ae, uint8_t* target, uint16_t* time,
                  uint16_t* gain) override;
  void SetExposure(uint32_t ae, uint8_t target, uint16_t time,
                   uint16_t gain) override;
  int GetGamma(uint8_t* gamma) override;
  void SetGamma(uint8_t gamma) override;
  int GetContrast(uint8_t* contrast) override;
  void SetContrast(uint8_t contrast) override;
  int GetSaturation(uint32_t* enable, uint8_t* value) override;
  void SetSaturation(uint32_t enable, uint8_t value) override;
  int GetMono(uint32_t* on) override;
  void SetMono(uint32_t on) override;
  int GetVFlip(uint32_t* on) override;
  void SetVFlip(uint32_t on) override;
  int GetHFlip(uint32_t* on) override;
  void SetHFlip(uint32_t on) override;
  int GetPowerFrequency(uint32_t* frequency) override;
  void SetPowerFrequency(uint32_t frequency) override;
  void SelectParameterGroup(uint32_t group) override;
  int GetParameterGroup(uint32_t* group) override;
  void SaveParameters() override;
  uint16_t GetRowTime() override;
  int GetSpeed(uint32_t* speed) override;
  void SetSpeed(uint32_t speed) override;

  // The latest image as the preview draws it (DIB order: rows and bytes as
  // its DIB header says), whatever the BGR option; false as CopyLatestImage.
  bool CopyLatestDib(uint8_t* buffer, size_t capacity);
  // Waits for a first image while the capture runs and gets on: true once
  // there is one. Gives up when the capture has ended (or never started),
  // when the camera has sent kBadFramesGiveUp frames without a whole one,
  // or when `quiet_ms` pass without the capture getting on (the camera
  // opened, a frame came); so a slow machine waits as long as it needs.
  bool WaitForImage(DWORD quiet_ms);
  // Stops the capture, forgets the image and restarts at resolution
  // `index` (0..2).
  void ChangeResolution(int index);
  void SetDialog(HWND dialog) { dialog_ = dialog; }
  // The source dialog's controls, on the application's thread.
  void SetView(CDialogView* view) { view_ = view; }
  bool capture_disabled() const { return capture_disabled_; }
  uint32_t bgr_option() const { return bgr_; }
  void set_bgr_option(uint32_t on) { bgr_ = on; }
  bool multi_processor() const { return multi_; }
  bool capture_running() const { return capture_.joinable(); }
  const BITMAPINFOHEADER& dib_header() const { return dib_header_; }

 protected:
  // Runs `body` on a thread of its own; throws std::system_error when the
  // system gives no thread.
  virtual std::thread NewThread(std::function<void()> body) {
    return std::thread(std::move(body));
  }

 private:
  struct RawNode {
    RawNode* next = nullptr;
    std::unique_ptr<uint8_t[]> data;
  };

  // Capture path (capture_thread.cpp).
  // False when the capture thread could not be started.
  bool StartCapture();
  void SetCapturing(bool on);
  // The capture got on: the camera opened or a frame came (`bad`: one that
  // was not whole).
  void Step(bool bad);
  void StopCapture();
  void CaptureThread();
  void ReaderThread();
  bool OpenCamera();
  void CloseCamera();
  bool OpenLinkTwice();
  void ConfigureSensor();
  void LoadDeadPixels();
  void StartReader();
  void StopReader();
  int ProduceImage(uint8_t* image);
  int TakeRawFrame(RawNode** node);
  void ProcessImage(const uint8_t* raw, uint8_t* image);
  void RunAe(uint8_t brightness);
  void JoinCancelling(std::thread& thread, HANDLE finished);
  void CancelReads();
  void Notify(WPARAM ok);

  // Image buffers.
  bool CopyLatest(uint8_t* buffer, size_t capacity, bool reorder);
  int AcquireFreeBuffer();
  void ReleaseBuffer(int index);
  int AcquireLatest();
  void ForgetLatest();
  void SetGeometry(int index);
  void BuildTone();

  HWND dialog_ = nullptr;
  CDialogView* view_ = nullptr;
  BITMAPINFOHEADER dib_header_ = {};
  int width_ = 0, height_ = 0;

  // Guards the device, the latest image and the settings.
  std::mutex device_lock_;
  std::unique_ptr<CCameraDevice> device_;
  int latest_ = -1;
  // The capture thread runs, and how it gets on since it started: with
  // `image_ready_`, they wake a wait for the first image.
  bool capturing_ = false;
  uint64_t steps_ = 0;
  int bad_frames_ = 0;
  std::condition_variable image_ready_;
  Settings settings_;
  uint8_t tone_[256] = {};
  uint32_t bgr_ = 1;
  uint32_t group_ = 0;
  DeadPixel dead_pixels_[kMaxDeadPixels] = {};
  int dead_pixel_count_ = 0;
  AeState ae_ = {};
  uint16_t row_time_ = 0;

  std::thread capture_;
  HANDLE capture_finished_ = nullptr;
  std::atomic<bool> run_{false};
  bool capture_disabled_ = true;

  bool multi_ = false;
  std::thread reader_;
  HANDLE reader_finished_ = nullptr;
  std::atomic<bool> reader_run_{false};
  std::atomic<bool> reader_alive_{false};
  HANDLE raw_free_ = nullptr;
  HANDLE raw_ready_ = nullptr;
  std::mutex raw_lock_;
  RawNode nodes_[kRawNodes];
  RawNode* free_list_ = nullptr;
  RawNode* ready_list_ = nullptr;

  std::unique_ptr<uint8_t[]> images_[kImageBuffers];
  int use_counts_[kImageBuffers] = {};
  std::mutex buffer_lock_;
  HANDLE buffer_released_ = nullptr;
  // The colour step's tables, made per image on the capture thread.
  ColorTables color_tables_;
};

}  // namespace vk::twain

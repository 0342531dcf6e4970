// CUSBDevice's capture path: opening and configuring the camera on link 0,
// the capture thread, the reader thread with its pool of raw frames, and
// the making of one image.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <system_error>

#include "common/camera_protocol.h"
#include "sdk/core/isp.h"
#include "twain/camera/usb_device.h"

namespace vk::twain {
namespace {

constexpr uint16_t kWait = 0xFFFF;
// The sensor's start-up table of the data source: register 44 at 1120, no
// registers 96 to 98, and the exposure register last.
constexpr uint16_t kStartUp[][2] = {
    {10, 0x8000}, {13, 1},      {kWait, 100}, {13, 0},  {kWait, 100},
    {1, 21},      {2, 33},      {32, 0},      {30, 0x8040}, {78, 0x20},
    {4, 2047},    {3, 1535},    {43, 96},     {44, 1120},   {45, 96},
    {46, 96},     {10, 0x8001}, {73, 128},    {34, 0},      {35, 0},
    {8, 0},       {9, 1561},
};
constexpr uint16_t kResolutionWrites[3][5][2] = {
    {{34, 0}, {35, 0}},
    {{34, 0x11}, {35, 0x11}},
    {{4, 1919}, {3, 1439}, {34, 0x22}, {35, 0x22}, {2, 36}},
};
constexpr int kResolutionWriteCount[3] = {2, 2, 5};
constexpr uint32_t kChunkRows[3] = {256, 128, 128};
constexpr uint16_t kRowClocks[3] = {2753, 2055, 1989};
constexpr uint16_t kChipFamily = 0x1600;
constexpr DWORD kStopPatienceMs = 100;

}  // namespace

// ---- Threads ----

bool CUSBDevice::StartCapture() {
  if (capture_.joinable()) return true;
  run_ = true;
  ForgetLatest();
  SetCapturing(true);
  capture_finished_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (capture_finished_) {
    try {
      capture_ = NewThread([this] {
        CaptureThread();
        SetCapturing(false);
        SetEvent(capture_finished_);
      });
      return true;
    } catch (const std::system_error&) {
      CloseHandle(capture_finished_);
      capture_finished_ = nullptr;
    }
  }
  run_ = false;
  SetCapturing(false);
  MessageBoxA(dialog_, "Failed to start PLV210!", nullptr,
              MB_OK | MB_ICONWARNING);
  return false;
}

void CUSBDevice::SetCapturing(bool on) {
  {
    std::lock_guard lock(device_lock_);
    capturing_ = on;
    steps_ = 0;
    bad_frames_ = 0;
  }
  image_ready_.notify_all();
}

void CUSBDevice::Step(bool bad) {
  {
    std::lock_guard lock(device_lock_);
    ++steps_;
    bad_frames_ += bad;
  }
  image_ready_.notify_all();
}

void CUSBDevice::StopCapture() {
  if (!capture_.joinable()) return;
  run_ = false;
  JoinCancelling(capture_, capture_finished_);
  CloseHandle(capture_finished_);
  capture_finished_ = nullptr;
}

// Waits for a thread's end; a camera that stopped sending would hold it in
// a read for ever, so the reads in flight are cancelled while it waits.
void CUSBDevice::JoinCancelling(std::thread& thread, HANDLE finished) {
  while (WaitForSingleObject(finished, kStopPatienceMs) == WAIT_TIMEOUT) CancelReads();
  thread.join();
}

void CUSBDevice::CancelReads() {
  std::lock_guard lock(device_lock_);
  if (device_) CancelIoEx(device_->handle(), nullptr);
}

void CUSBDevice::Notify(WPARAM ok) {
  if (dialog_) PostMessageA(dialog_, WM_FRAME_NOTIFY, ok, ok ? 1 : 0);
}

void CUSBDevice::CaptureThread() {
  if (!OpenCamera()) {
    Notify(0);
    return;
  }
  Step(false);
  {
    std::lock_guard lock(device_lock_);
    device_->SetStreamControl(kStreamRestart);
  }
  while (run_.load()) {
    const int index = AcquireFreeBuffer();
    if (index < 0) break;
    const int result = ProduceImage(images_[index].get());
    if (result == 1) {
      int previous;
      {
        std::lock_guard lock(device_lock_);
        previous = latest_;
        latest_ = index;
      }
      image_ready_.notify_all();
      if (previous >= 0) ReleaseBuffer(previous);
      Notify(1);
      continue;
    }
    ReleaseBuffer(index);
    if (result < 0) {
      // A stop cancels the reads: that is no failure to report.
      if (run_.load()) Notify(0);
      break;
    }
    Sleep(1);
  }
  CloseCamera();
}

void CUSBDevice::StartReader() {
  reader_run_ = true;
  reader_alive_ = true;
  SetEvent(raw_free_);
  ResetEvent(raw_ready_);
  {
    std::lock_guard lock(raw_lock_);
    for (int i = 0; i < kRawNodes; ++i)
      nodes_[i].next = i + 1 < kRawNodes ? &nodes_[i + 1] : nullptr;
    free_list_ = &nodes_[0];
    ready_list_ = nullptr;
  }
  reader_finished_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  try {
    if (reader_finished_) {
      reader_ = NewThread([this] {
        ReaderThread();
        SetEvent(reader_finished_);
      });
      return;
    }
  } catch (const std::system_error&) {
    CloseHandle(reader_finished_);
    reader_finished_ = nullptr;
  }
  // No reader: the capture thread reads each frame itself.
  reader_run_ = false;
  reader_alive_ = false;
  multi_ = false;
}

void CUSBDevice::StopReader() {
  if (!reader_.joinable()) return;
  reader_run_ = false;
  SetEvent(raw_free_);
  JoinCancelling(reader_, reader_finished_);
  CloseHandle(reader_finished_);
  reader_finished_ = nullptr;
}

void CUSBDevice::ReaderThread() {
  while (reader_run_.load()) {
    WaitForSingleObject(raw_free_, INFINITE);
    while (reader_run_.load()) {
      RawNode* node;
      {
        std::lock_guard lock(raw_lock_);
        node = free_list_;
        if (!node) break;
        free_list_ = node->next;
      }
      const int r = device_->ReadFrame(node->data.get());
      if (r >= 0) Step(r == 0);
      std::lock_guard lock(raw_lock_);
      if (r < 0) {
        node->next = free_list_;
        free_list_ = node;
        reader_alive_ = false;
        return;
      }
      if (r == 1) {
        node->next = nullptr;
        RawNode** tail = &ready_list_;
        while (*tail) tail = &(*tail)->next;
        *tail = node;
        SetEvent(raw_ready_);
      } else {
        node->next = free_list_;
        free_list_ = node;
      }
    }
  }
}

// ---- Opening and closing ----

bool CUSBDevice::OpenLinkTwice() {
  device_ = std::make_unique<CCameraDevice>(false);
  for (int run = 0; run < 2; ++run) {
    // The second run replaces the first run's handle: close it, not leak it.
    if (run == 1) device_->Close();
    if (!device_->OpenLinkNumber(0) || !device_->Open(true)) {
      if (device_->opened()) device_->WriteSensorRegister(7, 0);
      device_->Close();
      device_.reset();
      return false;
    }
  }
  return true;
}

void CUSBDevice::ConfigureSensor() {
  const int r = settings_.resolution < 3 ? settings_.resolution : 1;
  for (int i = 0; i < kResolutionWriteCount[r]; ++i)
    device_->WriteSensorRegister(kResolutionWrites[r][i][0], kResolutionWrites[r][i][1]);
  device_->WriteSensorRegister(10, settings_.speed ? 0x8000 : 0x8001);
  device_->WriteSensorRegister(5, 336);
  const int clocks = kRowClocks[r];
  const int p = settings_.speed ? 48 : 24;
  ae_.banding = static_cast<uint16_t>(settings_.power_frequency
                                          ? p * 10000 / clocks
                                          : p * 100000 / (clocks * 12));
  ae_.exposure = settings_.exposure;
  ae_.target = settings_.ae_target;
  ae_.height = static_cast<uint16_t>(height_);
  row_time_ = static_cast<uint16_t>(clocks / p);
}

// The dead-pixel table of the resolution; empty unless every word of it
// reads well.
void CUSBDevice::LoadDeadPixels() {
  dead_pixel_count_ = 0;
  const uint32_t r = settings_.resolution;
  uint16_t marker = 0, header = 0, count = 0;
  if (!device_->ReadMemoryWord(nvram::kDeadPixelMarker, &marker) ||
      marker != nvram::kDeadPixelMarkerValid ||
      !device_->ReadMemoryWord(nvram::DeadPixelHeader(r), &header) ||
      header != nvram::DeadPixelHeaderValue(r) ||
      !device_->ReadMemoryWord(nvram::DeadPixelCount(r), &count) ||
      count >= nvram::kDeadPixelMaxEntries)
    return;
  for (uint16_t k = 0; k < count; ++k) {
    DeadPixel p;
    if (!device_->ReadMemoryWord(nvram::DeadPixelColumn(r, k), &p.column) ||
        !device_->ReadMemoryWord(nvram::DeadPixelRow(r, k), &p.row)) {
      dead_pixel_count_ = 0;
      return;
    }
    dead_pixels_[dead_pixel_count_++] = p;
  }
}

bool CUSBDevice::OpenCamera() {
  CloseCamera();
  {
    std::lock_guard lock(device_lock_);
    if (!OpenLinkTwice()) return false;
    const int r = settings_.resolution < 3 ? settings_.resolution : 1;
    device_->SetFrameSize(width_, height_, width_ * kChunkRows[r]);
    device_->WriteSensorRegister(7, 2);
    uint16_t version = 0;
    if (!device_->ReadSensorRegister(0, &version) || (version & 0xFF00) != kChipFamily) {
      device_->WriteSensorRegister(7, 0);
      device_->Close();
      device_.reset();
      return false;
    }
    for (const auto& w : kStartUp) {
      if (w[0] == kWait) {
        Sleep(w[1]);
      } else {
        device_->WriteSensorRegister(w[0], w[1]);
      }
    }
    ConfigureSensor();
    LoadDeadPixels();
    Sleep(400);
    device_->WriteSensorRegister(9, settings_.exposure);
    device_->WriteSensorRegister(53, GainRegister(settings_.gain));
  }
  if (multi_) StartReader();
  return true;
}

void CUSBDevice::CloseCamera() {
  StopReader();
  std::lock_guard lock(device_lock_);
  if (!device_) return;
  device_->SetStreamControl(kStreamStart);
  device_->SetStreamControl(kStreamStop);
  device_->WriteSensorRegister(7, 0);
  device_->Close();
  device_.reset();
}

// ---- One image ----

// The next raw frame: 1 with `*node` taken, 0 none yet, -1 the camera
// failed.
int CUSBDevice::TakeRawFrame(RawNode** node) {
  if (!multi_) {
    *node = &nodes_[0];
    const int read = device_->ReadFrame(nodes_[0].data.get());
    if (read >= 0) Step(read == 0);
    return read;
  }
  if (!reader_alive_.load()) return -1;
  {
    std::lock_guard lock(raw_lock_);
    *node = ready_list_;
    if (*node) ready_list_ = (*node)->next;
  }
  if (*node) return 1;
  WaitForSingleObject(raw_ready_, 1000);
  return 0;
}

int CUSBDevice::ProduceImage(uint8_t* image) {
  RawNode* node = nullptr;
  const int taken = TakeRawFrame(&node);
  if (taken != 1) return taken;
  uint8_t* raw = node->data.get();
  CorrectDeadPixels(raw, width_, height_, dead_pixels_, dead_pixel_count_);
  ProcessImage(raw, image);
  if (multi_) {
    {
      std::lock_guard lock(raw_lock_);
      node->next = free_list_;
      free_list_ = node;
    }
    SetEvent(raw_free_);
  }
  return 1;
}

void CUSBDevice::ProcessImage(const uint8_t* raw, uint8_t* image) {
  Settings s;
  uint8_t tone[256];
  {
    std::lock_guard lock(device_lock_);
    s = settings_;
    std::memcpy(tone, tone_, sizeof(tone));
  }
  if (!s.mono) {
    WhiteBalance gains{s.red, s.green, s.blue};
    if (s.awb_once) {
      // The request is answered once the gains are in: whoever waits for
      // it reads them together with the cleared flag.
      uint64_t sums[3];
      SmoothedSums(raw, width_, height_, sums);
      WhiteBalanceFromSums(sums[0], sums[1], sums[2], &gains);
      std::lock_guard lock(device_lock_);
      settings_.red = gains.red;
      settings_.green = gains.green;
      settings_.blue = gains.blue;
      settings_.awb_once = 0;
    }
    MakeColorTables(MakeColorMatrix(s.saturation, kColorMatrix, gains), gains,
                    &color_tables_);
  }
  uint64_t centre[3];
  MakeImage({raw, image, width_, height_, s.mono != 0, &color_tables_, tone,
             s.vflip != 0, s.hflip != 0},
            s.ae ? centre : nullptr);
  if (s.ae) RunAe(CentreFromSums(centre, width_, height_));
}

void CUSBDevice::RunAe(uint8_t y) {
  std::lock_guard lock(device_lock_);
  ae_.target = settings_.ae_target;
  ae_.gain = settings_.gain;
  uint16_t rows = 0;
  if (!AeStep(&ae_, y, &rows)) return;
  settings_.gain = static_cast<uint16_t>(ae_.gain);
  settings_.exposure = rows;
  if (device_) {
    device_->WriteSensorRegister(53, GainRegister(ae_.gain));
    device_->WriteSensorRegister(9, rows);
  }
}

}  // namespace vk::twain

// CUSBDevice: construction, settings, image buffers and the preview's
// control. The capture path is in capture_thread.cpp.
#include "twain/camera/usb_device.h"

#include <cstring>

#include "sdk/core/isp.h"
#include "twain/dialog/control_ids.h"

namespace vk::twain {
namespace {

constexpr size_t kImageBytes = 2048 * 1536 * 3;
constexpr size_t kRawBytes = 3 * 1024 * 1024 + 512;

struct Size {
  int width, height;
};
constexpr Size kSizes[3] = {{2048, 1536}, {1024, 768}, {640, 480}};

int ProcessorCount() {
  SYSTEM_INFO info = {};
  GetSystemInfo(&info);
  return static_cast<int>(info.dwNumberOfProcessors);
}

template <typename T>
int Get(T* out, T value) {
  if (!out) return 0;
  *out = value;
  return 1;
}

}  // namespace

CUSBDevice::CUSBDevice(int processors) {
  for (auto& image : images_) image = std::make_unique<uint8_t[]>(kImageBytes);
  buffer_released_ = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  LoadBase(&group_, &bgr_);
  LoadGroup(group_, &settings_);
  BuildTone();
  SetGeometry(settings_.resolution);
  ae_.brightness = 80;
  ae_.target = settings_.ae_target;
  ae_.gain = settings_.gain;
  ae_.exposure = settings_.exposure;
  multi_ = (processors > 0 ? processors : ProcessorCount()) > 1;
  if (multi_) {
    raw_free_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    raw_ready_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    multi_ = raw_free_ && raw_ready_;
  }
  for (RawNode& node : nodes_) node.data = std::make_unique<uint8_t[]>(kRawBytes);
  if (multi_) {
    SetEvent(raw_free_);
    ResetEvent(raw_ready_);
  }
}

CUSBDevice::~CUSBDevice() {
  StopCapture();
  ForgetLatest();
  if (raw_free_) CloseHandle(raw_free_);
  if (raw_ready_) CloseHandle(raw_ready_);
  SaveParameters();
  CloseHandle(buffer_released_);
}

void CUSBDevice::SetGeometry(int index) {
  const Size size = index >= 0 && index < 3 ? kSizes[index] : Size{0, 0};
  width_ = size.width;
  height_ = size.height;
  dib_header_ = {};
  dib_header_.biSize = sizeof(BITMAPINFOHEADER);
  dib_header_.biWidth = width_;
  dib_header_.biHeight = height_;
  dib_header_.biPlanes = 1;
  dib_header_.biBitCount = 24;
}

// Under the device lock, or before any thread runs.
void CUSBDevice::BuildTone() {
  isp::BuildToneTable(settings_.gamma / 100.0L, settings_.contrast, tone_);
}

// ---- Image buffers ----

int CUSBDevice::AcquireFreeBuffer() {
  while (run_.load()) {
    {
      std::lock_guard lock(buffer_lock_);
      for (int i = 0; i < kImageBuffers; ++i) {
        if (use_counts_[i] == 0) {
          use_counts_[i] = 1;
          return i;
        }
      }
    }
    WaitForSingleObject(buffer_released_, 1000);
  }
  return -1;
}

void CUSBDevice::ReleaseBuffer(int index) {
  std::lock_guard lock(buffer_lock_);
  if (--use_counts_[index] == 0) SetEvent(buffer_released_);
}

int CUSBDevice::AcquireLatest() {
  std::lock_guard device(device_lock_);
  if (latest_ < 0) return -1;
  std::lock_guard lock(buffer_lock_);
  ++use_counts_[latest_];
  return latest_;
}

// The latest image gives up its role; a copy still holding the buffer
// keeps it until it releases it.
void CUSBDevice::ForgetLatest() {
  int latest;
  {
    std::lock_guard device(device_lock_);
    latest = latest_;
    latest_ = -1;
  }
  if (latest >= 0) ReleaseBuffer(latest);
}

bool CUSBDevice::CopyLatestImage(uint8_t* buffer, size_t capacity) {
  return CopyLatest(buffer, capacity, bgr_ != 0);
}

bool CUSBDevice::CopyLatestDib(uint8_t* buffer, size_t capacity) {
  return CopyLatest(buffer, capacity, false);
}

bool CUSBDevice::CopyLatest(uint8_t* buffer, size_t capacity, bool reorder) {
  int width, height;
  {
    std::lock_guard lock(device_lock_);  // the size the images were made at
    width = width_;
    height = height_;
  }
  const size_t row = static_cast<size_t>(width) * 3;
  if (!buffer || capacity < row * height) return false;
  const int index = AcquireLatest();
  if (index < 0) return false;
  const uint8_t* image = images_[index].get();
  if (reorder) {
    // Rows in reverse order with red and blue exchanged, taken while
    // copying so that the shared image stays as the preview draws it.
    for (int y = 0; y < height; ++y) {
      const uint8_t* in = image + row * (height - 1 - y);
      uint8_t* out = buffer + row * y;
      for (size_t x = 0; x < row; x += 3) {
        out[x] = in[x + 2];
        out[x + 1] = in[x + 1];
        out[x + 2] = in[x];
      }
    }
  } else {
    std::memcpy(buffer, image, row * height);
  }
  ReleaseBuffer(index);
  return true;
}

bool CUSBDevice::WaitForImage(DWORD quiet_ms) {
  std::unique_lock lock(device_lock_);
  for (;;) {
    const uint64_t steps = steps_;
    const bool woken = image_ready_.wait_for(lock, std::chrono::milliseconds(quiet_ms), [&] {
      return latest_ >= 0 || !capturing_ || steps_ != steps;
    });
    if (latest_ >= 0) return true;
    if (!woken || !capturing_ || bad_frames_ >= kBadFramesGiveUp) return false;
  }
}

// ---- Preview ----

void CUSBDevice::GetImageSize(int* width, int* height) {
  std::lock_guard lock(device_lock_);
  *width = device_ ? width_ : 0;
  *height = device_ ? height_ : 0;
}

void CUSBDevice::StartPreview(int, int) { StartCapture(); }

void CUSBDevice::StopPreview() {
  StopCapture();
  ForgetLatest();
}

void CUSBDevice::ChangeResolution(int index) {
  capture_disabled_ = true;
  if (view_) view_->Enable(IDC_CAPTURE, false);
  StopCapture();
  ForgetLatest();
  {
    std::lock_guard lock(device_lock_);
    settings_.resolution = static_cast<uint8_t>(index);
    SetGeometry(index);
  }
  StartCapture();
}

bool CUSBDevice::OnDialogCommand(WPARAM wparam, LPARAM) {
  const int id = static_cast<int>(wparam & 0xFFFF);
  const int code = static_cast<int>((wparam >> 16) & 0xFFFF);
  if (id == IDC_RESOLUTION && code == kSelectionChange && view_) {
    const int selection = view_->Selection(IDC_RESOLUTION);
    if (selection >= 0) ChangeResolution(selection);
    return true;
  }
  if (id == IDC_BGR && code == kClicked) {
    bgr_ = !bgr_;
    if (view_) view_->Check(IDC_BGR, bgr_);
    return true;
  }
  return false;
}

void CUSBDevice::OnFrameNotify(WPARAM ok) {
  if (ok) {
    // The first good frame makes Capture available; later ones only redraw.
    if (capture_disabled_) {
      capture_disabled_ = false;
      if (view_) view_->Enable(IDC_CAPTURE, true);
    }
    if (view_) view_->Repaint(IDC_PREVIEW);
    return;
  }
  if (view_) view_->Enable(IDC_CAPTURE, false);
  capture_disabled_ = true;
  MessageBoxA(dialog_, "Failed to preview PLV210!", nullptr, MB_OK | MB_ICONWARNING);
}

// The preview area shows the latest image stretched to 640 x 480, or the
// workspace colour while there is none. (Headless, the preview area has no
// device context and the calls draw nothing.)
void CUSBDevice::OnDrawItem(HDC dc) {
  constexpr RECT kPreview = {0, 0, 640, 480};
  BITMAPINFO info = {};
  {
    std::lock_guard lock(device_lock_);
    info.bmiHeader = dib_header_;
  }
  const int index = AcquireLatest();
  if (index < 0) {
    FillRect(dc, &kPreview, GetSysColorBrush(COLOR_APPWORKSPACE));
    return;
  }
  SetStretchBltMode(dc, COLORONCOLOR);
  StretchDIBits(dc, 0, 0, kPreview.right, kPreview.bottom, 0, 0, info.bmiHeader.biWidth,
                info.bmiHeader.biHeight, images_[index].get(), &info, DIB_RGB_COLORS, SRCCOPY);
  ReleaseBuffer(index);
}

// The dialog's handle came with SetDialog before the capture started.
void CUSBDevice::OnInitDialog(HWND) {
  if (view_) view_->Check(IDC_BGR, bgr_);
}

// ---- Settings ----

int CUSBDevice::GetResolution() {
  std::lock_guard lock(device_lock_);
  return settings_.resolution;
}

int CUSBDevice::GetWhiteBalance(uint32_t* once, uint8_t* red, uint8_t* green,
                                uint8_t* blue) {
  if (!once || !red || !green || !blue) return 0;
  std::lock_guard lock(device_lock_);
  *once = settings_.awb_once;
  *red = settings_.red;
  *green = settings_.green;
  *blue = settings_.blue;
  return 1;
}

void CUSBDevice::SetWhiteBalance(uint32_t once, uint8_t red, uint8_t green,
                                 uint8_t blue) {
  std::lock_guard lock(device_lock_);
  settings_.awb_once = once;
  if (once == 0) {
    settings_.red = red;
    settings_.green = green;
    settings_.blue = blue;
  }
}

int CUSBDevice::GetExposure(uint32_t* ae, uint8_t* target, uint16_t* time,
                            uint16_t* gain) {
  if (!ae || !target || !time || !gain) return 0;
  std::lock_guard lock(device_lock_);
  *ae = settings_.ae;
  *target = settings_.ae_target;
  *time = settings_.exposure;
  *gain = settings_.gain;
  return 1;
}

void CUSBDevice::SetExposure(uint32_t ae, uint8_t target, uint16_t time,
                             uint16_t gain) {
  std::lock_guard lock(device_lock_);
  settings_.ae = ae;
  settings_.ae_target = target;
  settings_.exposure = time;
  settings_.gain = gain;
  ae_.target = target;
  if (device_ && !ae) {
    device_->WriteSensorRegister(9, time);
    device_->WriteSensorRegister(53, GainRegister(gain));
  }
}

int CUSBDevice::GetGamma(uint8_t* gamma) {
  std::lock_guard lock(device_lock_);
  return Get(gamma, settings_.gamma);
}

void CUSBDevice::SetGamma(uint8_t gamma) {
  std::lock_guard lock(device_lock_);
  settings_.gamma = gamma;
  BuildTone();
}

int CUSBDevice::GetContrast(uint8_t* contrast) {
  std::lock_guard lock(device_lock_);
  return Get(contrast, settings_.contrast);
}

void CUSBDevice::SetContrast(uint8_t contrast) {
  std::lock_guard lock(device_lock_);
  settings_.contrast = contrast;
  BuildTone();
}

int CUSBDevice::GetSaturation(uint32_t* enable, uint8_t* value) {
  if (!enable || !value) return 0;
  std::lock_guard lock(device_lock_);
  *enable = settings_.saturation_enable;
  *value = settings_.saturation;
  return 1;
}

void CUSBDevice::SetSaturation(uint32_t enable, uint8_t value) {
  std::lock_guard lock(device_lock_);
  settings_.saturation_enable = enable;
  settings_.saturation = value;
}

// The switches the pipeline reads are kept under the device lock too, so a
// change from the dialog never races the capture thread.
int CUSBDevice::GetMono(uint32_t* on) {
  std::lock_guard lock(device_lock_);
  return Get(on, settings_.mono);
}
void CUSBDevice::SetMono(uint32_t on) {
  std::lock_guard lock(device_lock_);
  settings_.mono = on;
}
int CUSBDevice::GetVFlip(uint32_t* on) {
  std::lock_guard lock(device_lock_);
  return Get(on, settings_.vflip);
}
void CUSBDevice::SetVFlip(uint32_t on) {
  std::lock_guard lock(device_lock_);
  settings_.vflip = on;
}
int CUSBDevice::GetHFlip(uint32_t* on) {
  std::lock_guard lock(device_lock_);
  return Get(on, settings_.hflip);
}
void CUSBDevice::SetHFlip(uint32_t on) {
  std::lock_guard lock(device_lock_);
  settings_.hflip = on;
}
int CUSBDevice::GetPowerFrequency(uint32_t* frequency) {
  std::lock_guard lock(device_lock_);
  return Get(frequency, settings_.power_frequency);
}
void CUSBDevice::SetPowerFrequency(uint32_t frequency) {
  std::lock_guard lock(device_lock_);
  settings_.power_frequency = frequency;
}

void CUSBDevice::SelectParameterGroup(uint32_t group) {
  std::lock_guard lock(device_lock_);
  if (group == group_) return;
  group_ = group;
  // The resolution loaded takes effect with the next camera object; the
  // running capture keeps its size.
  LoadGroup(group_, &settings_);
  ae_.target = settings_.ae_target;
  BuildTone();
}

int CUSBDevice::GetParameterGroup(uint32_t* group) {
  std::lock_guard lock(device_lock_);
  return Get(group, group_);
}

void CUSBDevice::SaveParameters() {
  std::lock_guard lock(device_lock_);
  SaveGroup(group_, bgr_, settings_);
}

uint16_t CUSBDevice::GetRowTime() {
  std::lock_guard lock(device_lock_);
  return row_time_;
}

int CUSBDevice::GetSpeed(uint32_t* speed) {
  std::lock_guard lock(device_lock_);
  return Get(speed, settings_.speed);
}

void CUSBDevice::SetSpeed(uint32_t speed) {
  std::lock_guard lock(device_lock_);
  settings_.speed = speed;
  if (device_) {
    device_->WriteSensorRegister(10, speed ? 0x8000 : 0x8001);
    device_->WriteSensorRegister(5, 336);
  }
}

}  // namespace vk::twain

// The dead-pixel list of the current resolution, as the camera's memory
// keeps it per resolution.
#include <algorithm>

#include "common/camera_protocol.h"
#include "sdk/core/camera.h"

namespace vk {

int CCamera::LoadDeadPixels(uint8_t r) {
  if (!device_ || r >= nvram::kDeadPixelResolutions) return 0;
  uint16_t word = 0;
  device_->ReadMemoryWord(nvram::kDeadPixelMarker, &word);
  if (word != nvram::kDeadPixelMarkerValid) return 0;  // list left as it was
  dead_pixel_count_ = 0;
  device_->ReadMemoryWord(nvram::DeadPixelHeader(r), &word);
  if (word != nvram::DeadPixelHeaderValue(r)) return 0;
  uint16_t count = 0;
  device_->ReadMemoryWord(nvram::DeadPixelCount(r), &count);
  if (count >= nvram::kDeadPixelMaxEntries) return 0;
  for (uint16_t k = 0; k < count; ++k) {
    uint16_t column = 0, row = 0;
    device_->ReadMemoryWord(nvram::DeadPixelColumn(r, k), &column);
    device_->ReadMemoryWord(nvram::DeadPixelRow(r, k), &row);
    dead_pixels_[dead_pixel_count_++] = {
        std::min<uint16_t>(column, static_cast<uint16_t>(width_)),
        std::min<uint16_t>(row, static_cast<uint16_t>(height_))};
  }
  return 1;
}

}  // namespace vk

namespace vk {

void CCamera::DetectDeadPixels(const uint8_t* raw, int width, int height,
                               int limit) {
  const int wanted = limit - 10;  // the list holds fewer than this many
  uint32_t histogram[256] = {};
  const bool big_enough = height >= 5 && width >= 9;
  if (big_enough) {
    for (int r = 2; r <= height - 3; ++r) {
      const uint8_t* row = raw + static_cast<size_t>(r) * width;
      for (int c = 4; c <= width - 5; ++c) ++histogram[row[c]];
    }
  }
  dead_pixel_count_ = 0;
  int threshold = 255;
  uint32_t total = 0;
  for (int v = 255; v >= 3; --v) {
    total += histogram[v];
    if (total >= static_cast<uint32_t>(wanted)) {
      threshold = v;
      break;
    }
  }
  dead_pixel_count_ = 0;
  if (!big_enough) return;
  for (int r = 2; r <= height - 3; ++r) {
    const uint8_t* row = raw + static_cast<size_t>(r) * width;
    for (int c = 4; c <= width - 5; ++c) {
      if (dead_pixel_count_ >= static_cast<uint32_t>(wanted)) return;
      if (row[c] > threshold)
        dead_pixels_[dead_pixel_count_++] = {static_cast<uint16_t>(c),
                                             static_cast<uint16_t>(r)};
    }
  }
}

int CCamera::StoreDeadPixels(uint8_t r) {
  if (!device_ || r >= nvram::kDeadPixelResolutions) return 0;
  device_->WriteMemoryWord(nvram::kUnlock, nvram::kUnlockWord);
  uint16_t back = 0;
  device_->WriteMemoryWord(nvram::kDeadPixelMarker, 0xAA23);
  device_->ReadMemoryWord(nvram::kDeadPixelMarker, &back);
  if (back != 0xAA23) {
    MessageBoxA(nullptr, "can't write!", nullptr, MB_OK);
    return 0;
  }
  device_->WriteMemoryWord(nvram::kDeadPixelMarker, nvram::kDeadPixelMarkerValid);
  device_->ReadMemoryWord(nvram::kDeadPixelMarker, &back);
  if (back != nvram::kDeadPixelMarkerValid) return 0;
  device_->WriteMemoryWord(nvram::DeadPixelHeader(r), nvram::DeadPixelHeaderValue(r));
  device_->WriteMemoryWord(nvram::DeadPixelCount(r),
                           static_cast<uint16_t>(dead_pixel_count_));
  for (uint32_t k = 0; k < dead_pixel_count_; ++k) {
    device_->WriteMemoryWord(nvram::DeadPixelColumn(r, k), dead_pixels_[k].column);
    device_->WriteMemoryWord(nvram::DeadPixelRow(r, k), dead_pixels_[k].row);
  }
  return 1;
}

int CCamera::DetectAndStore(const uint8_t* raw) {
  DetectDeadPixels(raw, width_, height_, kMaxDeadPixels);
  return StoreDeadPixels(resolution_);
}

// Each listed pixel becomes the mean of its nearest same-colour neighbours
// in its row. Entries whose neighbours would lie outside the row or the
// frame (columns 0..2, the last two columns, rows past the frame) are left.
void CCamera::CorrectDeadPixels(uint8_t* raw, int width, int height) const {
  for (uint32_t k = 0; k < dead_pixel_count_; ++k) {
    const DeadPixel& d = dead_pixels_[k];
    if (d.column <= 2 || d.column + 2 >= width || d.row >= height) continue;
    uint8_t* row = raw + static_cast<size_t>(d.row) * width;
    row[d.column] = static_cast<uint8_t>((row[d.column - 2] + row[d.column + 2]) >> 1);
  }
}

}  // namespace vk

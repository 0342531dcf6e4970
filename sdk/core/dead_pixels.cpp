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

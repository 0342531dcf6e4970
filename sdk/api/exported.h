// Helpers of the exported calls: the camera cell under the camera lock, and
// the stop-and-resume pattern of the capture calls.
#pragma once

#include <memory>
#include <mutex>
#include <new>

#include "sdk/api/capture_engine.h"
#include "sdk/api/sdk_state.h"

namespace vk::sdk {

// Frame buffers carry this much room beyond the frame.
inline constexpr size_t kFrameSlack = 512;

// A zero-filled buffer, or null when memory is short.
inline std::unique_ptr<uint8_t[]> ZeroedBuffer(size_t bytes) {
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bytes]());
}

// Whether the capture engine's frame buffers and the recording buffer are
// there: CameraInit allocates all of them or none.
inline bool HaveFrameBuffers(const SdkState& s) {
  for (const auto& frame : s.frames)
    if (!frame) return false;
  return s.last_raw && s.recording;
}

// Reads up to ten frames into `raw` until one is good; the last read's
// result (1 good, 0 bad, -1 failed).
inline int ReadGoodFrame(CCamera& camera, uint8_t* raw) {
  constexpr int kReads = 10;
  int result = -1;
  for (int i = 0; i < kReads; ++i) {
    result = camera.ReadFrame(raw);
    if (result == 1) break;
  }
  return result;
}

// Runs `op` on the camera object under the camera lock; 0 without camera,
// else `op`'s result.
template <typename Op>
int32_t WithCamera(Op op) {
  SdkState& s = Sdk();
  if (!s.camera) return 0;
  std::lock_guard lock(s.camera_lock);
  return op(*s.camera);
}

// Stops a playing capture for the life of the object and resumes it after,
// so that the caller may use the frame buffers and the device alone.
class QuietCapture {
 public:
  QuietCapture() : was_playing_(Sdk().capture_state.load() == kPlaying) {
    if (was_playing_) StopCapture();
  }
  ~QuietCapture() {
    if (was_playing_) StartCapture();
  }
  QuietCapture(const QuietCapture&) = delete;
  QuietCapture& operator=(const QuietCapture&) = delete;

 private:
  const bool was_playing_;
};

}  // namespace vk::sdk

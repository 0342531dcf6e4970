// Helpers of the exported calls: the camera cell under the camera lock, and
// the stop-and-resume pattern of the capture calls.
#pragma once

#include <mutex>

#include "sdk/api/capture_engine.h"
#include "sdk/api/sdk_state.h"

namespace vk::sdk {

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

#include "sdk/api/frame_rate.h"

namespace vk::sdk {

void FrameRateMeter::Tick(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  newest_ = (newest_ + 1) % kFrames;
  times_[newest_] = now;
  if (count_ < kFrames) ++count_;
}

float FrameRateMeter::Rate(Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  if (count_ < 2 || now - times_[newest_] > std::chrono::seconds(1)) return 0;
  // The oldest frame still inside the window.
  int frames = 1;
  Clock::time_point oldest = times_[newest_];
  for (int k = 1; k < count_; ++k) {
    const Clock::time_point t = times_[(newest_ - k + kFrames) % kFrames];
    if (now - t > kWindow) break;
    oldest = t;
    ++frames;
  }
  const std::chrono::duration<double> span = times_[newest_] - oldest;
  if (frames < 2 || span.count() <= 0) return 0;
  return static_cast<float>((frames - 1) / span.count());
}

void FrameRateMeter::Reset() {
  std::lock_guard lock(mutex_);
  newest_ = -1;
  count_ = 0;
}

}  // namespace vk::sdk

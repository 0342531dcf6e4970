// The frame rate delivered to the application: a sliding average over the
// frames of the last two seconds, read by CameraGetFPS and used as the
// rate of AVI recordings.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace vk::sdk {

class FrameRateMeter {
 public:
  using Clock = std::chrono::steady_clock;

  void Tick(Clock::time_point now);
  // Frames per second at `now`; 0 when fewer than two frames came within
  // the window or the newest is more than a second old.
  float Rate(Clock::time_point now) const;
  void Reset();

 private:
  static constexpr int kFrames = 64;
  static constexpr auto kWindow = std::chrono::seconds(2);

  mutable std::mutex mutex_;
  Clock::time_point times_[kFrames];
  int newest_ = -1;  // slot of the newest frame
  int count_ = 0;
};

}  // namespace vk::sdk

// The exported SDK calls against the whole simulated stack, as an
// application sees them: the public header only, frames through a callback.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "sdk/include/VKCAMSDK.h"
#include "tests/common/wait.h"
#include "tests/sdk/sdk_fixture.h"

namespace vk {

// What the frame callback saw; the callback itself can be swapped.
struct CallbackLog {
  std::atomic<int> frames{0};
  std::function<void(uint8_t*)> on_frame;
};

inline CallbackLog& Log() {
  static CallbackLog log;
  return log;
}

inline void CountingCallback(uint8_t* raw) {
  CallbackLog& log = Log();
  if (log.on_frame) log.on_frame(raw);
  log.frames.fetch_add(1);
}

class SdkApiTest : public SdkFixture {
 protected:
  void SetUp() override {
    SdkFixture::SetUp();
    Log().frames = 0;
    Log().on_frame = nullptr;
  }
  void TearDown() override {
    CameraUnInit();
    Log().on_frame = nullptr;
  }

  // Opens the first camera at 640 x 480 unless told otherwise.
  void Open(int resolution = CAMERA_RESOLUTION_640X480, HWND preview = nullptr,
            HWND messages = nullptr) {
    ASSERT_EQ(CameraInit(&CountingCallback, resolution, preview, 1, messages), 1);
  }

  // Waits until `n` more frames reached the callback.
  static bool WaitForFrames(int n) {
    const int target = Log().frames.load() + n;
    return WaitUntil([target] { return Log().frames.load() >= target; });
  }
};

}  // namespace vk

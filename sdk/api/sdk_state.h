// The SDK-wide state behind the exported calls: the one camera object, the
// capture engine's frame buffers, threads and events, the region cells and
// the recording cells. It lives as long as the loaded library.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/win32.h"
#include "sdk/api/frame_rate.h"
#include "sdk/core/camera.h"
#include "sdk/include/VKCAMSDK.h"

namespace vk::sdk {

inline constexpr uint8_t kPlaying = 0;
inline constexpr uint8_t kStopped = 2;

struct SdkState {
  // Changed only by the application thread while no worker runs.
  std::unique_ptr<CCamera> camera;
  // Settings written by the application and read by the pipeline on the
  // process thread: every exported call that touches the camera object's
  // settings or runs the pipeline holds this lock, so a change lands
  // between two frames and takes effect from the next one.
  std::mutex camera_lock;

  std::atomic<uint8_t> capture_state{kStopped};
  CameraFrameCallback callback = nullptr;
  HWND message_window = nullptr;
  std::atomic<uint32_t> message_number{0};

  // The frame exchange: the lock guards `latest` and `fresh` only.
  std::mutex exchange_lock;
  int32_t fresh = 0;
  // Each worker owns the buffer its pointer names between exchanges; the
  // three buffers are owned by `frames` and only their pointers move;
  // `frames` itself changes only while no worker runs.
  uint8_t* grab = nullptr;
  uint8_t* latest = nullptr;
  uint8_t* process = nullptr;
  std::unique_ptr<uint8_t[]> frames[3];
  std::unique_ptr<uint8_t[]> last_raw;
  std::unique_ptr<uint8_t[]> recording;  // RGB24 for the record thread

  HANDLE grab_finished = nullptr;
  HANDLE process_finished = nullptr;
  std::thread grab_thread, process_thread;

  // Region of interest for the next CameraInit: x, y, width, height.
  uint16_t roi[4] = {360, 272, 640, 480};

  std::atomic<uint8_t> recording_flag{1};  // 1 not recording, 0 recording
  // CameraISP copies each image into `recording` and counts it under this
  // lock, and the record thread takes it out under the same lock, so a
  // recorded frame never mixes two images.
  std::mutex recording_lock;
  uint32_t recorded_frames = 0;
  std::atomic<uint32_t> codec_handler{0};  // 0: the default, Xvid
  std::mutex video_path_lock;
  std::string video_path;
  HANDLE record_finished = nullptr;
  std::thread record_thread;
  FrameRateMeter frame_rate;
};

SdkState& Sdk();

}  // namespace vk::sdk

#include "sdk/api/capture_engine.h"

#include <cstring>
#include <utility>

#include "sdk/api/recorder.h"
#include "sdk/api/sdk_state.h"

namespace vk::sdk {
namespace {

constexpr int kReadFailuresTolerated = 10;
constexpr DWORD kReadRetryMs = 20;
// How long a stop waits for the grab thread before it cancels the reads
// that keep it waiting on a camera that no longer sends.
constexpr DWORD kStopPatienceMs = 100;

void PostFrameMessage(const SdkState& s, LPARAM what) {
  if (s.message_window)
    PostMessageA(s.message_window, s.message_number.load(), 0, what);
}

// Waits for a worker's finished event; while it waits, the reads in flight
// on the camera's link are cancelled so that a silent camera cannot hold
// the grab thread forever.
void WaitForWorker(HANDLE finished, CCamera* camera) {
  while (WaitForSingleObject(finished, kStopPatienceMs) == WAIT_TIMEOUT) {
    if (camera && camera->device()) CancelIoEx(camera->device()->handle(), nullptr);
  }
}

}  // namespace

SdkState& Sdk() {
  static SdkState state;
  return state;
}

bool ExchangeFrame(uint8_t** slot, int32_t fresh) {
  SdkState& s = Sdk();
  std::lock_guard lock(s.exchange_lock);
  bool swapped = false;
  if (fresh != 0 || s.fresh != 0) {
    std::swap(*slot, s.latest);
    swapped = true;
  }
  s.fresh = fresh;
  return swapped;
}

void GrabThread() {
  SdkState& s = Sdk();
  CCamera* camera = s.camera.get();
  int failures = 0;
  while (s.capture_state.load() != kStopped) {
    const int r = camera->ReadFrame(s.grab);
    if (r == 1) {
      ExchangeFrame(&s.grab, 1);
      PostFrameMessage(s, 1);
    } else if (r == 0) {
      PostFrameMessage(s, 0);
    } else {
      ++failures;
      if (failures > kReadFailuresTolerated && s.message_window) {
        PostFrameMessage(s, -1);
        break;
      }
      Sleep(kReadRetryMs);
    }
  }
  SetEvent(s.grab_finished);
}

void ProcessThread() {
  SdkState& s = Sdk();
  int width = 0, height = 0;
  s.camera->GetImageSize(&width, &height);
  while (s.capture_state.load() != kStopped) {
    if (ExchangeFrame(&s.process, 0)) {
      std::memcpy(s.last_raw.get(), s.process, static_cast<size_t>(width) * height);
      s.frame_rate.Tick(FrameRateMeter::Clock::now());
      s.callback(s.process);
    } else {
      Sleep(1);
    }
  }
  SetEvent(s.process_finished);
}

int StartCapture() {
  if (Sdk().capture_state.load() == kPlaying) return 0;
  StartWorkers();
  return 1;
}

void StartWorkers() {
  SdkState& s = Sdk();
  s.capture_state = kPlaying;
  s.frame_rate.Reset();
  s.grab_finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  s.process_finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  s.grab_thread = std::thread(GrabThread);
  s.process_thread = std::thread(ProcessThread);
}

int StopCapture() {
  if (Sdk().capture_state.load() == kStopped) return 0;
  StopRecording();
  StopWorkers();
  return 1;
}

void StopWorkers() {
  SdkState& s = Sdk();
  s.capture_state = kStopped;
  if (!s.grab_thread.joinable()) return;
  WaitForWorker(s.grab_finished, s.camera.get());
  WaitForWorker(s.process_finished, nullptr);
  s.grab_thread.join();
  s.process_thread.join();
  CloseHandle(std::exchange(s.grab_finished, nullptr));
  CloseHandle(std::exchange(s.process_finished, nullptr));
  s.frame_rate.Reset();
}

void Teardown() {
  SdkState& s = Sdk();
  StopCapture();
  StopRecording();  // one started while stopped reads the buffers too
  if (s.camera) {
    s.camera->Shutdown();
    s.camera.reset();
  }
  s.grab = s.latest = s.process = nullptr;
  for (auto& frame : s.frames) frame.reset();
  s.last_raw.reset();
  s.recording.reset();
}

}  // namespace vk::sdk

// A camera opened through the SDK for one vkcam command: every frame runs
// through CameraISP (and is drawn when a preview window is given), frames
// and bad frames are counted.
#pragma once

#include <cstdint>
#include <string>

#include "sdk/include/VKCAMSDK.h"
#include "tools/vkcam/options.h"

namespace vk::tools {

class Session {
 public:
  // Opens --camera (default 1) at --resolution (0..3, default 0) and applies
  // the pipeline options (--ae, --awb, --mode, --mono, --hflip, --vflip).
  Session(const Options& options, HWND preview = nullptr);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool ok() const { return ok_; }
  int width() const { return width_; }
  int height() const { return height_; }

  // Frames handed to the callback since the start.
  uint64_t frames() const;
  // Bad frames reported by the grab thread; true once the camera stopped
  // answering.
  uint64_t bad_frames();
  bool lost();
  // Waits for `n` more frames; false when they do not come within 10 s.
  bool WaitForFrames(uint64_t n);
  // "AE on, exposure 300 rows, gain 20; AWB off, gains 74 64 96"
  std::string ControlState() const;

 private:
  void PumpMessages();

  bool ok_ = false;
  int width_ = 0, height_ = 0;
  HWND messages_ = nullptr;
  uint64_t bad_frames_ = 0;
  bool lost_ = false;
};

int ResolutionOption(const Options& options);

}  // namespace vk::tools

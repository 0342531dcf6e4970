// The source dialog: the window MSG_ENABLEDS creates. It owns the preview
// of the camera: creating it starts the camera, destroying it stops the
// camera and ends the acquire context.
#pragma once

#include <functional>

#include "platform/win32.h"
#include "twain/camera/usb_device.h"

namespace vk::twain {

class CSourceDialog {
 public:
  // `on_destroy` runs when the dialog goes (it frees the acquire context).
  CSourceDialog(HWND parent, bool chinese, CUSBDevice* camera,
                std::function<void()> on_destroy);
  ~CSourceDialog();
  CSourceDialog(const CSourceDialog&) = delete;
  CSourceDialog& operator=(const CSourceDialog&) = delete;

  HWND window() const { return window_; }
  bool chinese() const { return chinese_; }
  void Show();
  bool visible() const { return visible_; }

 private:
  HWND window_ = nullptr;
  bool chinese_;
  bool visible_ = false;
  CUSBDevice* camera_;
  std::function<void()> on_destroy_;
};

}  // namespace vk::twain

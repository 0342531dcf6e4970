#include "twain/dialog/source_dialog.h"

#include <utility>

#ifndef _WIN32
#include "platform/host/host.h"
#endif

namespace vk::twain {

CSourceDialog::CSourceDialog(HWND, bool chinese, CUSBDevice* camera,
                             std::function<void()> on_destroy)
    : chinese_(chinese), camera_(camera), on_destroy_(std::move(on_destroy)) {
#ifdef _WIN32
  window_ = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            nullptr, nullptr);
#else
  window_ = host::CreateMessageWindow();
#endif
  camera_->SetDialog(window_);
  camera_->StartPreview(640, 480);
}

CSourceDialog::~CSourceDialog() {
  camera_->StopPreview();
  camera_->SetDialog(nullptr);
#ifdef _WIN32
  DestroyWindow(window_);
#else
  host::DestroyMessageWindow(window_);
#endif
  if (on_destroy_) on_destroy_();
}

void CSourceDialog::Show() { visible_ = true; }

}  // namespace vk::twain

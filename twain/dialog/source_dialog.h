// The source dialog that MSG_ENABLEDS creates: the live preview, the
// resolution list, Capture, Settings... and RGB/BGR. Creating it starts the
// camera; destroying it stops the camera and ends the acquire context.
// Settings... opens the settings sheet with its one page.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "twain/camera/usb_device.h"
#include "twain/dialog/headless_view.h"
#include "twain/dialog/setup_page.h"

namespace vk::twain {

class CSourceDialog {
 public:
  // `notify` sends a message to the application (MSG_XFERREADY,
  // MSG_CLOSEDSREQ); `on_destroy` ends the acquire context.
  using Notify = std::function<void(uint16_t message)>;
  CSourceDialog(HWND parent, bool chinese, CUSBDevice* camera, Notify notify,
                std::function<void()> on_destroy);
  ~CSourceDialog();
  CSourceDialog(const CSourceDialog&) = delete;
  CSourceDialog& operator=(const CSourceDialog&) = delete;

  HWND window() const { return window_; }
  bool chinese() const { return chinese_; }
  int template_id() const;
  // Shown centred on the work area (headless: the parent has no pixels).
  void Show();
  bool visible() const { return visible_; }
  // The dialog procedure.
  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);

  // The controls as the user sees them.
  CHeadlessView& view() { return *view_; }
  // The settings sheet while it is open.
  CSetupPage* settings_page() { return page_.get(); }
  CHeadlessView* settings_view() { return page_view_.get(); }
  const std::string& sheet_caption() const { return sheet_caption_; }
  const std::string& page_title() const { return page_title_; }
  void CloseSettings();

 private:
  void InitDialog();
  void OpenSettings();

  HWND window_ = nullptr;
  HWND page_window_ = nullptr;
  bool chinese_;
  bool visible_ = false;
  CUSBDevice* camera_;
  Notify notify_;
  std::function<void()> on_destroy_;
  std::unique_ptr<CHeadlessView> view_;
  std::unique_ptr<CHeadlessView> page_view_;
  std::unique_ptr<CSetupPage> page_;
  std::string sheet_caption_, page_title_;
};

}  // namespace vk::twain

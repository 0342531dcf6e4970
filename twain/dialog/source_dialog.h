// The source dialog that MSG_ENABLEDS creates: the live preview, the
// resolution list, Capture, Settings... and RGB/BGR. Creating it starts the
// camera; destroying it stops the camera and ends the acquire context.
// Settings... opens the settings sheet with its one page. On Windows the
// dialog and the sheet are real windows from the data source's templates
// (source_dialog_win32.cpp); elsewhere they are headless views
// (source_dialog_headless.cpp).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "twain/camera/usb_device.h"
#include "twain/dialog/dialog_view.h"
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

  // Null when the dialog's window could not be created.
  HWND window() const { return window_; }
  bool chinese() const { return chinese_; }
  int template_id() const;
  // Shown centred on the parent or the work area and kept inside it.
  void Show();
  bool visible() const { return visible_; }
  // The dialog procedure.
  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);

  // Headless only: the controls as the user sees them, and the settings
  // sheet's page and controls while it is open.
  CHeadlessView& view() { return *headless_; }
  CSetupPage* settings_page() { return page_.get(); }
  CHeadlessView* settings_view() { return page_headless_; }
  const std::string& sheet_caption() const { return sheet_caption_; }
  const std::string& page_title() const { return page_title_; }
  void CloseSettings();

 private:
  friend struct SourceDialogWindows;  // the Windows dialog procedures
  // Per platform: the window and its view (running InitDialog), and their end.
  void CreateWindowAndView(HWND parent);
  void DestroyWindowAndView();
  void InitDialog();
  void OpenSettings();
  // The page object and its view, shared by both platforms' sheets.
  void CreatePage(std::unique_ptr<CDialogView> view);

  HWND window_ = nullptr;
  HWND page_window_ = nullptr;
  bool chinese_;
  bool visible_ = false;
  CUSBDevice* camera_;
  Notify notify_;
  std::function<void()> on_destroy_;
  std::unique_ptr<CDialogView> view_;
  CHeadlessView* headless_ = nullptr;
  std::unique_ptr<CDialogView> page_view_;
  CHeadlessView* page_headless_ = nullptr;
  std::unique_ptr<CSetupPage> page_;
  std::string sheet_caption_, page_title_;
};

}  // namespace vk::twain

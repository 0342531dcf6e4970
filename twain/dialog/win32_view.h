// The Windows view: the dialogs' controls as real windows of a dialog made
// from the data source's templates. Each call becomes the message Windows
// controls understand (trackbar, up-down, edit, combo box, buttons).
#pragma once

#include "twain/dialog/dialog_view.h"

namespace vk::twain {

class CWin32View : public CDialogView {
 public:
  // A page view gets its window at WM_INITDIALOG.
  explicit CWin32View(HWND window = nullptr) : window_(window) {}
  void Attach(HWND window) { window_ = window; }

  HWND window() override { return window_; }
  void Enable(int id, bool on) override;
  bool IsEnabled(int id) override;
  void Check(int id, bool on) override;
  bool IsChecked(int id) override;
  void SetRange(int id, int low, int high) override;
  void SetPosition(int id, int position) override;
  int Position(int id) override;
  void SetNumber(int id, int value) override;
  int Number(int id) override;
  void SetTextLimit(int id, int characters) override;
  void AddString(int id, const std::string& text) override;
  void Select(int id, int index) override;
  int Selection(int id) override;
  int ControlId(LPARAM control) override;
  void SetControlSize(int id, int width, int height) override;
  RECT ControlRect(int id) override;
  void SetDialogSize(int width, int height) override;
  void MoveDialog(POINT top_left) override;
  void Repaint(int id) override;

 private:
  HWND Item(int id) const { return GetDlgItem(window_, id); }
  bool IsTrackbar(int id) const;

  HWND window_;
};

// The module the dialog templates and strings come from: the data source.
HINSTANCE DataSourceModule();

}  // namespace vk::twain

// What the dialogs' behaviour needs of their windows: the state of each
// control by identifier. The behaviour classes (source dialog, settings
// page) work only through this; the Windows view maps it onto real
// controls, the headless view keeps it in memory for tests and tools.
#pragma once

#include <string>

#include "platform/win32.h"

namespace vk::twain {

class CDialogView {
 public:
  virtual ~CDialogView() = default;
  virtual HWND window() = 0;
  virtual void Enable(int id, bool on) = 0;
  virtual bool IsEnabled(int id) = 0;
  virtual void Check(int id, bool on) = 0;
  virtual bool IsChecked(int id) = 0;
  // Trackbars and up-downs.
  virtual void SetRange(int id, int low, int high) = 0;
  virtual void SetPosition(int id, int position) = 0;
  virtual int Position(int id) = 0;
  // Numeric edits: setting the number notifies EN_CHANGE, as Windows does.
  virtual void SetNumber(int id, int value) = 0;
  virtual int Number(int id) = 0;
  virtual void SetTextLimit(int id, int characters) = 0;
  // Lists.
  virtual void AddString(int id, const std::string& text) = 0;
  virtual void Select(int id, int index) = 0;
  virtual int Selection(int id) = 0;
  // The identifier of the control a WM_HSCROLL names in its lParam.
  virtual int ControlId(LPARAM control) = 0;
  // Sizes in pixels: the preview area, the group box, the dialog.
  virtual void SetControlSize(int id, int width, int height) = 0;
  virtual RECT ControlRect(int id) = 0;
  virtual void SetDialogSize(int width, int height) = 0;
  virtual void MoveDialog(POINT top_left) = 0;
  virtual void Repaint(int id) = 0;
};

}  // namespace vk::twain

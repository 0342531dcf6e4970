// The common controls' headers need <windows.h> before them.
#include "platform/win32.h"

#include <commctrl.h>

#include <cstring>

#include "twain/dialog/win32_view.h"

namespace vk::twain {

void CWin32View::Enable(int id, bool on) { EnableWindow(Item(id), on); }
bool CWin32View::IsEnabled(int id) { return IsWindowEnabled(Item(id)); }
void CWin32View::Check(int id, bool on) {
  CheckDlgButton(window_, id, on ? BST_CHECKED : BST_UNCHECKED);
}
bool CWin32View::IsChecked(int id) { return IsDlgButtonChecked(window_, id) == BST_CHECKED; }

bool CWin32View::IsTrackbar(int id) const {
  char name[32] = {};
  GetClassNameA(Item(id), name, sizeof(name));
  return std::strcmp(name, TRACKBAR_CLASSA) == 0;
}

void CWin32View::SetRange(int id, int low, int high) {
  if (IsTrackbar(id)) {
    SendDlgItemMessageA(window_, id, TBM_SETRANGEMIN, FALSE, low);
    SendDlgItemMessageA(window_, id, TBM_SETRANGEMAX, TRUE, high);
  } else {
    SendDlgItemMessageA(window_, id, UDM_SETRANGE32, low, high);
  }
}

void CWin32View::SetPosition(int id, int position) {
  if (IsTrackbar(id)) {
    SendDlgItemMessageA(window_, id, TBM_SETPOS, TRUE, position);
  } else {
    SendDlgItemMessageA(window_, id, UDM_SETPOS32, 0, position);
  }
}

int CWin32View::Position(int id) {
  if (IsTrackbar(id)) return static_cast<int>(SendDlgItemMessageA(window_, id, TBM_GETPOS, 0, 0));
  return static_cast<int>(SendDlgItemMessageA(window_, id, UDM_GETPOS32, 0, 0));
}

// SetDlgItemInt changes the edit's text, which notifies EN_CHANGE.
void CWin32View::SetNumber(int id, int value) { SetDlgItemInt(window_, id, value, TRUE); }

int CWin32View::Number(int id) {
  BOOL ok = FALSE;
  const int value = static_cast<int>(GetDlgItemInt(window_, id, &ok, TRUE));
  return ok ? value : 0;
}

void CWin32View::SetTextLimit(int id, int characters) {
  SendDlgItemMessageA(window_, id, EM_SETLIMITTEXT, characters, 0);
}

void CWin32View::AddString(int id, const std::string& text) {
  SendDlgItemMessageA(window_, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void CWin32View::Select(int id, int index) {
  SendDlgItemMessageA(window_, id, CB_SETCURSEL, index, 0);
}

int CWin32View::Selection(int id) {
  return static_cast<int>(SendDlgItemMessageA(window_, id, CB_GETCURSEL, 0, 0));
}

int CWin32View::ControlId(LPARAM control) {
  return GetDlgCtrlID(reinterpret_cast<HWND>(control));
}

void CWin32View::SetControlSize(int id, int width, int height) {
  SetWindowPos(Item(id), nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
}

// In the dialog's client coordinates.
RECT CWin32View::ControlRect(int id) {
  RECT rect = {};
  GetWindowRect(Item(id), &rect);
  MapWindowPoints(HWND_DESKTOP, window_, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// A client area of width x height: the frame is added around it.
void CWin32View::SetDialogSize(int width, int height) {
  RECT rect = {0, 0, width, height};
  AdjustWindowRectEx(&rect, static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_EXSTYLE)));
  SetWindowPos(window_, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
               SWP_NOMOVE | SWP_NOZORDER);
}

// Moved only: neither resized, nor activated, nor changed in z-order.
void CWin32View::MoveDialog(POINT top_left) {
  SetWindowPos(window_, nullptr, top_left.x, top_left.y, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWin32View::Repaint(int id) { InvalidateRect(Item(id), nullptr, FALSE); }

HINSTANCE DataSourceModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&DataSourceModule), &module);
  return module;
}

}  // namespace vk::twain

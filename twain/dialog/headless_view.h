// A dialog without pixels: every control's state in memory, and the user's
// actions (click, type, scroll, spin, choose) turned into the messages
// Windows would send the dialog. Tests and `vkcam twain --ui` drive the
// dialogs through it and read what they show.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "twain/dialog/dialog_view.h"

namespace vk::twain {

class CHeadlessView : public CDialogView {
 public:
  // Messages the view sends to the dialog (WM_COMMAND, WM_HSCROLL).
  using Handler = std::function<void(UINT message, WPARAM wparam, LPARAM lparam)>;

  explicit CHeadlessView(HWND window) : window_(window) {}
  void SetHandler(Handler handler) { handler_ = std::move(handler); }
  // An up-down and the edit it drives.
  void SetBuddy(int spin, int edit) { buddies_[spin] = edit; }
  void Place(int id, RECT rect) { controls_[id].rect = rect; }

  HWND window() override { return window_; }
  void Enable(int id, bool on) override { controls_[id].enabled = on; }
  bool IsEnabled(int id) override { return controls_[id].enabled; }
  void Check(int id, bool on) override { controls_[id].checked = on; }
  bool IsChecked(int id) override { return controls_[id].checked; }
  void SetRange(int id, int low, int high) override;
  void SetPosition(int id, int position) override;
  int Position(int id) override { return controls_[id].position; }
  void SetNumber(int id, int value) override;
  int Number(int id) override { return controls_[id].number; }
  void SetTextLimit(int id, int characters) override { controls_[id].limit = characters; }
  void AddString(int id, const std::string& text) override { controls_[id].items.push_back(text); }
  void Select(int id, int index) override { controls_[id].selection = index; }
  int Selection(int id) override { return controls_[id].selection; }
  int ControlId(LPARAM control) override { return static_cast<int>(control); }
  void SetControlSize(int id, int width, int height) override;
  RECT ControlRect(int id) override { return controls_[id].rect; }
  void SetDialogSize(int width, int height) override { dialog_size_ = {width, height}; }
  void MoveDialog(POINT top_left) override { dialog_position_ = top_left; }
  POINT DialogPosition() const { return dialog_position_; }
  void Repaint(int id) override { ++controls_[id].repaints; }

  // ---- What a user does ----
  void Click(int id);  // a button, check box or radio button
  // Types a number into an edit; a disabled edit takes nothing.
  void Type(int id, int value);
  // Drags a trackbar (kept within its range); nothing when disabled.
  void Scroll(int id, int position);
  // Spins an up-down to `value` (kept within its range): its edit changes.
  void Spin(int id, int value);
  void Choose(int id, int index);  // a list's selection

  // ---- What the dialog shows ----
  const std::vector<std::string>& Items(int id) { return controls_[id].items; }
  std::pair<int, int> Range(int id) { return {controls_[id].low, controls_[id].high}; }
  int TextLimit(int id) { return controls_[id].limit; }
  int Repaints(int id) { return controls_[id].repaints; }
  std::pair<int, int> DialogSize() const { return dialog_size_; }

 private:
  struct Control {
    bool enabled = true;
    bool checked = false;
    int low = 0, high = 0x7FFFFFFF;
    int position = 0;
    int number = 0;
    int limit = 0;
    int selection = -1;
    int repaints = 0;
    RECT rect = {0, 0, 0, 0};
    std::vector<std::string> items;
  };
  void Send(UINT message, WPARAM wparam, LPARAM lparam);

  HWND window_;
  Handler handler_;
  std::map<int, Control> controls_;
  std::map<int, int> buddies_;
  std::pair<int, int> dialog_size_ = {0, 0};
  POINT dialog_position_ = {0, 0};
};

}  // namespace vk::twain

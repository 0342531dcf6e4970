#include "twain/dialog/headless_view.h"

#include <algorithm>

#include "twain/dialog/control_ids.h"

namespace vk::twain {
namespace {

WPARAM Command(int id, int code) {
  return static_cast<WPARAM>((static_cast<unsigned>(code) << 16) | (id & 0xFFFF));
}

}  // namespace

void CHeadlessView::Send(UINT message, WPARAM wparam, LPARAM lparam) {
  if (handler_) handler_(message, wparam, lparam);
}

void CHeadlessView::SetRange(int id, int low, int high) {
  Control& c = controls_[id];
  c.low = low;
  c.high = high;
  c.position = std::clamp(c.position, low, high);
}

void CHeadlessView::SetPosition(int id, int position) {
  Control& c = controls_[id];
  c.position = std::clamp(position, c.low, c.high);
}

void CHeadlessView::SetNumber(int id, int value) {
  controls_[id].number = value;
  Send(WM_COMMAND, Command(id, kEditChange), id);
}

void CHeadlessView::SetControlSize(int id, int width, int height) {
  RECT& r = controls_[id].rect;
  r.right = r.left + width;
  r.bottom = r.top + height;
}

void CHeadlessView::Click(int id) {
  if (!controls_[id].enabled) return;
  Send(WM_COMMAND, Command(id, kClicked), id);
}

void CHeadlessView::Type(int id, int value) {
  if (!controls_[id].enabled) return;
  SetNumber(id, value);
}

void CHeadlessView::Scroll(int id, int position) {
  if (!controls_[id].enabled) return;
  SetPosition(id, position);
  Send(WM_HSCROLL, 0, id);
}

void CHeadlessView::Spin(int id, int value) {
  Control& spin = controls_[id];
  if (!spin.enabled) return;
  spin.position = std::clamp(value, spin.low, spin.high);
  auto buddy = buddies_.find(id);
  if (buddy != buddies_.end()) SetNumber(buddy->second, spin.position);
}

void CHeadlessView::Choose(int id, int index) {
  if (!controls_[id].enabled) return;
  controls_[id].selection = index;
  Send(WM_COMMAND, Command(id, kSelectionChange), id);
}

}  // namespace vk::twain

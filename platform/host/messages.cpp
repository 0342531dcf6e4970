// Message boxes and posted messages of the Linux host. A message box is
// printed on standard error and recorded; posted messages wait in per-window
// (and per-thread) queues until taken.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/host/host.h"
#include "platform/host/win32_api.h"

namespace vk::host {
namespace {

struct MessageState {
  std::mutex mutex;
  std::vector<ShownMessageBox> boxes;
  int answer = 0;
  std::map<HWND, std::thread::id> windows;  // and the thread that owns each
  std::map<HWND, std::deque<MSG>> window_queues;
  std::map<std::thread::id, std::deque<MSG>> thread_queues;
  uintptr_t next_window = 0x10000;
};

MessageState& State() {
  static auto* state = new MessageState;
  return *state;
}

int DefaultButton(UINT type) {
  switch (type & 0xF) {
    case MB_YESNO: return IDYES;
    default: return IDOK;
  }
}

}  // namespace

std::vector<ShownMessageBox> TakeMessageBoxes() {
  MessageState& s = State();
  std::lock_guard lock(s.mutex);
  return std::exchange(s.boxes, {});
}

void SetMessageBoxAnswer(int answer) {
  MessageState& s = State();
  std::lock_guard lock(s.mutex);
  s.answer = answer;
}

HWND CreateMessageWindow() {
  MessageState& s = State();
  std::lock_guard lock(s.mutex);
  auto window = reinterpret_cast<HWND>(s.next_window);
  s.next_window += 0x10;
  s.windows[window] = std::this_thread::get_id();
  return window;
}

void DestroyMessageWindow(HWND window) {
  ForgetWindowSurface(window);
  MessageState& s = State();
  std::lock_guard lock(s.mutex);
  s.windows.erase(window);
  s.window_queues.erase(window);
}

std::vector<MSG> TakePostedMessages(HWND window) {
  MessageState& s = State();
  std::lock_guard lock(s.mutex);
  std::deque<MSG>& q = window ? s.window_queues[window]
                              : s.thread_queues[std::this_thread::get_id()];
  std::vector<MSG> out(q.begin(), q.end());
  q.clear();
  return out;
}

}  // namespace vk::host

using vk::host::State;

extern "C" {

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  std::fprintf(stderr, "[message box%s%s] %s\n", caption ? ": " : "",
               caption ? caption : "", text ? text : "");
  auto& s = State();
  std::lock_guard lock(s.mutex);
  s.boxes.push_back({owner, text ? text : "", caption ? caption : "", type});
  return s.answer ? s.answer : vk::host::DefaultButton(type);
}

int VkHostTakeMessageBox(char* text, size_t text_size, char* caption,
                         size_t caption_size) {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  if (s.boxes.empty()) return 0;
  const vk::host::ShownMessageBox box = s.boxes.front();
  s.boxes.erase(s.boxes.begin());
  const auto copy = [](const std::string& from, char* to, size_t size) {
    if (!to || size == 0) return;
    const size_t n = std::min(from.size(), size - 1);
    std::memcpy(to, from.data(), n);
    to[n] = 0;
  };
  copy(box.text, text, text_size);
  copy(box.caption, caption, caption_size);
  return 1;
}

HWND VkHostCreateMessageWindow() { return vk::host::CreateMessageWindow(); }

void VkHostDestroyMessageWindow(HWND window) {
  vk::host::DestroyMessageWindow(window);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  const MSG msg{window, message, wparam, lparam,
                static_cast<DWORD>(GetTickCount()), {0, 0}};
  if (window == nullptr) {
    s.thread_queues[std::this_thread::get_id()].push_back(msg);
    return TRUE;
  }
  if (s.windows.count(window) == 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  s.window_queues[window].push_back(msg);
  return TRUE;
}

void PostQuitMessage(int exit_code) {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  s.thread_queues[std::this_thread::get_id()].push_back(
      MSG{nullptr, WM_QUIT, static_cast<WPARAM>(exit_code), 0,
          static_cast<DWORD>(GetTickCount()), {0, 0}});
}

BOOL PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove) {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  auto in_range = [&](const MSG& m) {
    return (first == 0 && last == 0) || (m.message >= first && m.message <= last);
  };
  auto take = [&](std::deque<MSG>& q) {
    for (auto it = q.begin(); it != q.end(); ++it) {
      if (!in_range(*it)) continue;
      if (msg) *msg = *it;
      if (remove & PM_REMOVE) q.erase(it);
      return true;
    }
    return false;
  };
  if (window != nullptr) return take(s.window_queues[window]);
  if (take(s.thread_queues[std::this_thread::get_id()])) return TRUE;
  for (auto& [w, owner] : s.windows) {
    if (owner == std::this_thread::get_id() && take(s.window_queues[w]))
      return TRUE;
  }
  return FALSE;
}

}  // extern "C"

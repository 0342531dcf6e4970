// What tests and tools may see and steer of the Linux host beyond the Win32
// calls: message boxes shown, messages posted, window handles, the registry
// file in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/host/host_objects.h"
#include "platform/host/win32_types.h"

namespace vk::host {

struct ShownMessageBox {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};
// Message boxes shown since the last call, oldest first; clears the list.
VKHOST_EXPORT std::vector<ShownMessageBox> TakeMessageBoxes();
// The button the next message boxes answer with (0: the default button).
VKHOST_EXPORT void SetMessageBoxAnswer(int answer);

// A window that can receive posted messages. Windows of the host have no
// pixels; they are message targets.
VKHOST_EXPORT HWND CreateMessageWindow();
VKHOST_EXPORT void DestroyMessageWindow(HWND window);
// Messages posted to `window` (null: to the calling thread) and not yet
// taken, oldest first; clears them.
VKHOST_EXPORT std::vector<MSG> TakePostedMessages(HWND window);

// A window with a client area, standing in for an application's preview
// window: it keeps the last picture drawn into it with DrawDibDraw.
VKHOST_EXPORT HWND CreatePictureWindow(int width, int height);
// Resizes the client area; the next draw fills the new size.
VKHOST_EXPORT void SetClientSize(HWND window, int width, int height);

struct WindowPicture {
  int width = 0;   // the client area's
  int height = 0;
  uint64_t draws = 0;         // pictures drawn so far
  std::vector<uint8_t> bgr;   // width x height x 3, top row first
};
VKHOST_EXPORT WindowPicture PictureOf(HWND window);
// Called on the drawing thread with each picture drawn into the window; an
// on-screen view shows it. An empty function removes the presenter.
using PicturePresenter = std::function<void(const WindowPicture&)>;
VKHOST_EXPORT void SetPicturePresenter(HWND window, PicturePresenter presenter);

// The procedure a window's sent and dispatched messages reach (dialogs of
// the host have no other); an empty function removes it.
using WindowProcedure = std::function<LRESULT(UINT message, WPARAM wparam, LPARAM lparam)>;
VKHOST_EXPORT void SetWindowProcedure(HWND window, WindowProcedure procedure);

// The answer of the next save-file dialogs: a path to confirm, or empty to
// cancel (the default). The last dialog shown, for tests to read.
VKHOST_EXPORT void SetSaveFileAnswer(const std::string& path);
struct SaveFileDialog {
  std::string title;
  std::string filter;  // the pairs joined with '|'
  std::string default_extension;
  DWORD flags = 0;
  DWORD filter_index = 0;
};
VKHOST_EXPORT SaveFileDialog LastSaveFileDialog();

// The registry store's file: VKCAM_REGISTRY, else
// $XDG_CONFIG_HOME/vkcam/registry, else ~/.config/vkcam/registry.
VKHOST_EXPORT std::string RegistryFile();

}  // namespace vk::host

// The same sink and message windows for programs that reach the host through
// a C foreign-function interface (the Python package), where C++ types
// cannot cross.
extern "C" {
// Takes the oldest message box not yet taken: its text and caption, each cut
// to its buffer's size and zero-terminated. 1 when there was one, 0 when
// none was waiting.
VKHOST_API int VkHostTakeMessageBox(char* text, size_t text_size, char* caption,
                                    size_t caption_size);
VKHOST_API HWND VkHostCreateMessageWindow(void);
VKHOST_API void VkHostDestroyMessageWindow(HWND window);
}

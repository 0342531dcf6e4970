// What tests and tools may see and steer of the Linux host beyond the Win32
// calls: message boxes shown, messages posted, window handles, the registry
// file in use.
#pragma once

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

// The registry store's file: VKCAM_REGISTRY, else
// $XDG_CONFIG_HOME/vkcam/registry, else ~/.config/vkcam/registry.
VKHOST_EXPORT std::string RegistryFile();

}  // namespace vk::host

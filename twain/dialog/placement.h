// Where the source dialog goes when it is shown: centred on its parent
// window when that is visible and not minimised, else on the work area,
// and moved back inside the work area where it would cross an edge.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace vk::twain {

// The parent's style bits that decide (their values in <windows.h>).
inline constexpr uint32_t kStyleVisible = 0x10000000;    // WS_VISIBLE
inline constexpr uint32_t kStyleMinimised = 0x20000000;  // WS_MINIMIZE

// Whether a parent of window style `style` is the reference: visible and
// not minimised (a minimised window's rectangle lies off the screen).
bool CentresOnParent(uint32_t style);

// `parent` is null when there is no visible, unminimised parent. Returns
// the dialog's new top-left corner; its size does not change.
POINT PlaceDialog(const RECT& dialog, const RECT* parent, const RECT& work_area);

}  // namespace vk::twain

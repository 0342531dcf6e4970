// Where the source dialog goes when it is shown: centred on its parent
// window when that is visible and not minimised, else on the work area,
// and moved back inside the work area where it would cross an edge.
#pragma once

#include "platform/win32.h"

namespace vk::twain {

// `parent` is null when there is no visible, unminimised parent. Returns
// the dialog's new top-left corner; its size does not change.
POINT PlaceDialog(const RECT& dialog, const RECT* parent, const RECT& work_area);

}  // namespace vk::twain

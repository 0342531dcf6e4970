// The common dialogs (the save-file dialog): <commdlg.h> on Windows, the
// host's declarations on Linux.
#pragma once

#include "platform/win32.h"

#ifdef _WIN32
#include <commdlg.h>
#endif

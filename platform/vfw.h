// Video for Windows (DrawDib drawing, AVIFile streams and installable
// compressors): the real <vfw.h> on Windows, the host's declarations on
// Linux.
#pragma once

#include "platform/win32.h"

#ifdef _WIN32
#include <vfw.h>
#else
#include "platform/host/vfw_api.h"
#endif

// The Win32 subset that user mode is written against. On Windows this is the
// real <windows.h>; on Linux, platform/host declares and implements the same
// subset, so the SDK, the TWAIN source and the tools compile unchanged.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include "platform/host/win32_api.h"
#endif

// The few Windows functions tools call. On Windows these are the system's
// own; elsewhere the host provides functions of the same signatures that
// route to handlers the host application installs (HostApp.h).
#pragma once

#if defined(_WIN32)
#  include <windows.h>
#else
#  include "HostExport.h"

using HWND = void*;
using UINT = unsigned int;
inline constexpr UINT MB_OK = 0x00000000u;
inline constexpr int IDOK = 1;

// Shows a message box through the host application's handler; returns IDOK
// when no handler is installed.
extern "C" HOSTSYSTEM_API int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type);
#endif

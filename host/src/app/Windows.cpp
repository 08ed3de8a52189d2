// Stand-ins for the Windows functions tools call, on other systems.
#include "HostWindows.h"

#if !defined(_WIN32)
#include "HostInternal.h"

extern "C" int MessageBoxA(HWND, const char* text, const char* caption, UINT type) {
    int result = IDOK;
    if (!hostimpl::ShowMessageBox(text ? text : "", caption ? caption : "", type, result))
        return IDOK;
    return result;
}
#endif

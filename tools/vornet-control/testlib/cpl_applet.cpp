// A control-panel library with two applets; it writes each message it gets to the file
// named by VORNET_TEST_LOG.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32/cpl.h"

extern "C" LONG CPlApplet(HWND, UINT msg, LPARAM lParam1, LPARAM lParam2)
{
    if (const char* log = std::getenv("VORNET_TEST_LOG")) {
        if (FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%u %ld\n", msg, static_cast<long>(lParam1));
            std::fclose(f);
        }
    }
    switch (msg) {
    case CPL_INIT: return 1;
    case CPL_GETCOUNT: return 2;
    case CPL_INQUIRE: return 0;
    case CPL_NEWINQUIRE: {
        auto* info = reinterpret_cast<NEWCPLINFOA*>(lParam2);
        info->dwSize = sizeof *info;
        info->lData = 40 + lParam1;
        info->hIcon = reinterpret_cast<HICON>(static_cast<intptr_t>(151 + lParam1));
        std::snprintf(info->szName, sizeof info->szName, "Test applet %ld", static_cast<long>(lParam1));
        std::snprintf(info->szInfo, sizeof info->szInfo, "Applet number %ld", static_cast<long>(lParam1));
        return 0;
    }
    case CPL_DBLCLK: return 0;
    case CPL_EXIT: return 0;
    default: return 1;
    }
}

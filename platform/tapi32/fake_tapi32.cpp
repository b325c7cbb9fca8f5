// A TAPI32 with two of its entries, for the import tests.
#include "platform/tapi32/tapi.h"

extern "C" {
LONG lineInitializeExA(LPHLINEAPP LineApp, HINSTANCE, LINECALLBACK, LPCSTR, LPDWORD NumDevs, LPDWORD,
                       LPLINEINITIALIZEEXPARAMS)
{
    *LineApp = 0x77;
    *NumDevs = 3;
    return 0;
}
LONG lineShutdown(HLINEAPP LineApp) { return LineApp == 0x77 ? 0 : (LONG)LINEERR_INVALAPPHANDLE; }
}

// TAPI32 as an application links it: the line entries load "TAPI32.DLL" on first use and
// call through; a missing library or entry answers LINEERR_OPERATIONUNAVAIL.
#include <mutex>

#include "platform/tapi32/tapi.h"

namespace {

std::mutex g_lock;
HMODULE g_library = nullptr;
bool g_tried = false;

template <typename Proc>
Proc entry(const char* name)
{
    std::lock_guard<std::mutex> g(g_lock);
    if (!g_tried) {
        g_tried = true;
        g_library = LoadLibraryA("TAPI32.DLL");
    }
    if (g_library == nullptr) return nullptr;
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(g_library, name)));
}

}  // namespace

extern "C" {

LONG lineInitializeExA(LPHLINEAPP LineApp, HINSTANCE Instance, LINECALLBACK Callback, LPCSTR FriendlyAppName,
                       LPDWORD NumDevs, LPDWORD APIVersion, LPLINEINITIALIZEEXPARAMS Params)
{
    auto p = entry<LINEINITIALIZEEXA_PROC>("lineInitializeExA");
    return p ? p(LineApp, Instance, Callback, FriendlyAppName, NumDevs, APIVersion, Params)
             : (LONG)LINEERR_OPERATIONUNAVAIL;
}

LONG lineNegotiateAPIVersion(HLINEAPP LineApp, DWORD DeviceID, DWORD APILowVersion, DWORD APIHighVersion,
                             LPDWORD APIVersion, LPLINEEXTENSIONID ExtensionID)
{
    auto p = entry<LINENEGOTIATEAPIVERSION_PROC>("lineNegotiateAPIVersion");
    return p ? p(LineApp, DeviceID, APILowVersion, APIHighVersion, APIVersion, ExtensionID)
             : (LONG)LINEERR_OPERATIONUNAVAIL;
}

LONG lineOpenA(HLINEAPP LineApp, DWORD DeviceID, LPHLINE Line, DWORD APIVersion, DWORD ExtVersion,
               ULONG_PTR CallbackInstance, DWORD Privileges, DWORD MediaModes, const LINECALLPARAMS* CallParams)
{
    auto p = entry<LINEOPENA_PROC>("lineOpenA");
    return p ? p(LineApp, DeviceID, Line, APIVersion, ExtVersion, CallbackInstance, Privileges, MediaModes,
                 CallParams)
             : (LONG)LINEERR_OPERATIONUNAVAIL;
}

LONG lineGetDevCapsA(HLINEAPP LineApp, DWORD DeviceID, DWORD APIVersion, DWORD ExtVersion, LPLINEDEVCAPS DevCaps)
{
    auto p = entry<LINEGETDEVCAPSA_PROC>("lineGetDevCapsA");
    return p ? p(LineApp, DeviceID, APIVersion, ExtVersion, DevCaps) : (LONG)LINEERR_OPERATIONUNAVAIL;
}

LONG lineGetDevCaps(HLINEAPP LineApp, DWORD DeviceID, DWORD APIVersion, DWORD ExtVersion, LPLINEDEVCAPS DevCaps)
{
    return lineGetDevCapsA(LineApp, DeviceID, APIVersion, ExtVersion, DevCaps);
}

LONG lineClose(HLINE Line)
{
    auto p = entry<LINECLOSE_PROC>("lineClose");
    return p ? p(Line) : (LONG)LINEERR_OPERATIONUNAVAIL;
}

LONG lineShutdown(HLINEAPP LineApp)
{
    auto p = entry<LINESHUTDOWN_PROC>("lineShutdown");
    return p ? p(LineApp) : (LONG)LINEERR_OPERATIONUNAVAIL;
}

}  // extern "C"

// TAPI32: the line functions over the machine's telephony service ("tapi" in the run's
// root, VORNET_ROOT). One connection per application handle; the service owns the
// providers and closes what an application leaves open when its connection ends.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tapi32/tapi.h"
#include "platform/win32/wire.h"

VORNET_VERSION_RESOURCE(Tapi32Version, VFT_DLL, 0);

namespace {

namespace wire = vornet::wire;

// The fixed part of a provider's LINE_DEV_CAPS: an application's LINEDEVCAPS starts the
// same, and TAPI 2.0 adds its fields behind it.
constexpr DWORD kProviderCapsSize = offsetof(LINEDEVCAPS, dwLineFeatures);
constexpr DWORD kParamsMinSize = offsetof(LINEINITIALIZEEXPARAMS, Handles) + sizeof(HANDLE);
constexpr time_t kReplyLimitSeconds = 30;

struct App {
    int fd = -1;
    DWORD devices = 0;
    HANDLE event = nullptr;
};
struct Line {
    HLINEAPP app = 0;
    uint32_t served = 0;  // the service's handle of it
};

// Applications call from any thread; one lock serialises them and their exchanges.
std::mutex g_lock;
std::map<HLINEAPP, App> g_apps;
std::map<HLINE, Line> g_lines;
HLINEAPP g_next_app = 0x00010001;
HLINE g_next_line = 0x00020001;

int connect_service()
{
    const char* root = std::getenv("VORNET_ROOT");
    if (root == nullptr || *root == '\0') return -1;
    std::string path = std::string(root) + "/" + wire::kTapiSocket;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return -1;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval limit{kReplyLimitSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One request and its whole reply. The service's status, or LINEERR_OPERATIONFAILED
// when the service did not answer as it should (gone, silent, malformed).
DWORD exchange(int fd, uint32_t kind, uint32_t code, uint32_t out_length, std::vector<uint8_t>* out)
{
    if (fd < 0) return LINEERR_OPERATIONFAILED;
    wire::RequestHeader q{wire::kRequestMagic, kind, code, 0, out_length};
    std::vector<uint8_t> d(sizeof q + out_length, 0);
    std::memcpy(d.data(), &q, sizeof q);
    ssize_t n;
    do n = ::send(fd, d.data(), d.size(), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(d.size())) return LINEERR_OPERATIONFAILED;
    std::vector<uint8_t> r(sizeof(wire::ReplyHeader) + out_length + 1);
    do n = ::recv(fd, r.data(), r.size(), 0);
    while (n < 0 && errno == EINTR);
    wire::ReplyHeader h{};
    if (n < static_cast<ssize_t>(sizeof h)) return LINEERR_OPERATIONFAILED;
    std::memcpy(&h, r.data(), sizeof h);
    size_t data = static_cast<size_t>(n) - sizeof h;
    if (h.magic != wire::kReplyMagic || h.information != data || data > out_length) return LINEERR_OPERATIONFAILED;
    if (out != nullptr) out->assign(r.begin() + sizeof h, r.begin() + static_cast<long>(sizeof h + data));
    return static_cast<DWORD>(h.status);
}

bool version_ok(DWORD v) { return v >= TAPI_LOWEST_VERSION && v <= TAPI_CURRENT_VERSION; }

App* app_of(HLINEAPP app)
{
    auto it = g_apps.find(app);
    return it == g_apps.end() ? nullptr : &it->second;
}

void end_app(HLINEAPP handle, App& app)
{
    std::erase_if(g_lines, [&](const auto& l) { return l.second.app == handle; });
    if (app.event != nullptr) CloseHandle(app.event);
    if (app.fd >= 0) ::close(app.fd);
}

// The provider's capabilities into the application's structure: the fixed part as it
// is, TAPI 2.0's fields behind it, and the variable part moved behind those, every
// offset moved with it. A size and offset that do not lie inside what the provider
// filled are dropped.
void place_caps(const std::vector<uint8_t>& from, DWORD fixed, LPLINEDEVCAPS to)
{
    const DWORD total = to->dwTotalSize, delta = fixed - kProviderCapsSize;
    LINEDEVCAPS head{};
    std::memcpy(&head, from.data(), kProviderCapsSize);
    DWORD provider_used = std::clamp<DWORD>(head.dwUsedSize, kProviderCapsSize, static_cast<DWORD>(from.size()));
    DWORD variable = std::min<DWORD>(provider_used - kProviderCapsSize, total - fixed);
    auto* out = reinterpret_cast<uint8_t*>(to);
    std::memset(out + sizeof(DWORD), 0, total - sizeof(DWORD));
    std::memcpy(out + sizeof(DWORD), from.data() + sizeof(DWORD), kProviderCapsSize - sizeof(DWORD));
    std::memcpy(out + fixed, from.data() + kProviderCapsSize, variable);
    to->dwNeededSize = std::max(std::min<DWORD>(head.dwNeededSize, wire::kMaxTransfer), provider_used) + delta;
    to->dwUsedSize = fixed + variable;
    const struct {
        size_t size, offset;
    } parts[] = {
        {offsetof(LINEDEVCAPS, dwProviderInfoSize), offsetof(LINEDEVCAPS, dwProviderInfoOffset)},
        {offsetof(LINEDEVCAPS, dwSwitchInfoSize), offsetof(LINEDEVCAPS, dwSwitchInfoOffset)},
        {offsetof(LINEDEVCAPS, dwLineNameSize), offsetof(LINEDEVCAPS, dwLineNameOffset)},
        {offsetof(LINEDEVCAPS, dwTerminalCapsSize), offsetof(LINEDEVCAPS, dwTerminalCapsOffset)},
        {offsetof(LINEDEVCAPS, dwTerminalTextSize), offsetof(LINEDEVCAPS, dwTerminalTextOffset)},
        {offsetof(LINEDEVCAPS, dwDevSpecificSize), offsetof(LINEDEVCAPS, dwDevSpecificOffset)},
    };
    for (const auto& p : parts) {
        DWORD size, offset;
        std::memcpy(&size, out + p.size, 4);
        std::memcpy(&offset, out + p.offset, 4);
        if (size == 0) continue;
        bool inside = offset >= kProviderCapsSize && size <= provider_used && offset <= provider_used - size &&
                      offset + delta + size <= to->dwUsedSize;
        size = inside ? size : 0;
        offset = inside ? offset + delta : 0;
        std::memcpy(out + p.size, &size, 4);
        std::memcpy(out + p.offset, &offset, 4);
    }
}

}  // namespace

extern "C" {

LONG lineInitializeExA(LPHLINEAPP LineApp, HINSTANCE, LINECALLBACK Callback, LPCSTR, LPDWORD NumDevs,
                       LPDWORD APIVersion, LPLINEINITIALIZEEXPARAMS Params)
{
    if (LineApp == nullptr || NumDevs == nullptr || APIVersion == nullptr) return LONG(LINEERR_INVALPOINTER);
    if (*APIVersion < TAPI_CURRENT_VERSION) return LONG(LINEERR_INCOMPATIBLEAPIVERSION);
    DWORD option = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    if (Params != nullptr) {
        if (Params->dwTotalSize < kParamsMinSize) return LONG(LINEERR_STRUCTURETOOSMALL);
        option = Params->dwOptions;
    }
    switch (option) {
    case LINEINITIALIZEEXOPTION_USEHIDDENWINDOW:
        if (Callback == nullptr) return LONG(LINEERR_INVALPOINTER);
        break;
    case LINEINITIALIZEEXOPTION_USEEVENT: break;
    case LINEINITIALIZEEXOPTION_USECOMPLETIONPORT: return LONG(LINEERR_OPERATIONUNAVAIL);
    default: return LONG(LINEERR_INVALPARAM);
    }

    std::lock_guard<std::mutex> l(g_lock);
    App app;
    app.fd = connect_service();
    if (app.fd < 0) return LONG(LINEERR_OPERATIONUNAVAIL);  // no telephony service on this machine
    std::vector<uint8_t> count;
    DWORD e = exchange(app.fd, wire::kTapiInitialize, 0, 4, &count);
    if (e == 0 && count.size() != 4) e = LINEERR_OPERATIONFAILED;
    if (e == 0 && option == LINEINITIALIZEEXOPTION_USEEVENT) {
        app.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (app.event == nullptr) e = LINEERR_NOMEM;
    }
    if (e != 0) {
        end_app(0, app);
        return LONG(e);
    }
    std::memcpy(&app.devices, count.data(), 4);
    if (Params != nullptr) {
        Params->dwNeededSize = Params->dwUsedSize = std::min<DWORD>(Params->dwTotalSize, sizeof *Params);
        if (app.event != nullptr) Params->Handles.hEvent = app.event;
    }
    HLINEAPP handle = g_next_app++;
    g_apps[handle] = app;
    *LineApp = handle;
    *NumDevs = app.devices;
    *APIVersion = TAPI_CURRENT_VERSION;
    return 0;
}

LONG lineNegotiateAPIVersion(HLINEAPP LineApp, DWORD DeviceID, DWORD APILowVersion, DWORD APIHighVersion,
                             LPDWORD APIVersion, LPLINEEXTENSIONID ExtensionID)
{
    std::lock_guard<std::mutex> l(g_lock);
    App* app = app_of(LineApp);
    if (app == nullptr) return LONG(LINEERR_INVALAPPHANDLE);
    if (APIVersion == nullptr || ExtensionID == nullptr) return LONG(LINEERR_INVALPOINTER);
    if (DeviceID >= app->devices) return LONG(LINEERR_BADDEVICEID);
    DWORD v = std::min(APIHighVersion, TAPI_CURRENT_VERSION);
    if (APILowVersion > APIHighVersion || v < std::max(APILowVersion, TAPI_LOWEST_VERSION))
        return LONG(LINEERR_INCOMPATIBLEAPIVERSION);
    *APIVersion = v;
    *ExtensionID = LINEEXTENSIONID{};  // the providers have no extensions
    return 0;
}

LONG lineOpenA(HLINEAPP LineApp, DWORD DeviceID, LPHLINE Line, DWORD APIVersion, DWORD ExtVersion, ULONG_PTR,
               DWORD Privileges, DWORD MediaModes, const LINECALLPARAMS*)
{
    std::lock_guard<std::mutex> l(g_lock);
    App* app = app_of(LineApp);
    if (app == nullptr) return LONG(LINEERR_INVALAPPHANDLE);
    if (Line == nullptr) return LONG(LINEERR_INVALPOINTER);
    if (DeviceID >= app->devices) return LONG(LINEERR_BADDEVICEID);
    if (!version_ok(APIVersion)) return LONG(LINEERR_INCOMPATIBLEAPIVERSION);
    if (ExtVersion != 0) return LONG(LINEERR_INCOMPATIBLEEXTVERSION);
    if (Privileges != LINECALLPRIVILEGE_NONE && Privileges != LINECALLPRIVILEGE_MONITOR &&
        Privileges != LINECALLPRIVILEGE_OWNER && Privileges != (LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER))
        return LONG(LINEERR_INVALPRIVSELECT);
    if ((Privileges & LINECALLPRIVILEGE_OWNER) != 0 && MediaModes == 0) return LONG(LINEERR_INVALMEDIAMODE);
    std::vector<uint8_t> out;
    DWORD e = exchange(app->fd, wire::kTapiOpen, DeviceID, 4, &out);
    if (e == 0 && out.size() != 4) e = LINEERR_OPERATIONFAILED;
    if (e != 0) return LONG(e);
    uint32_t served = 0;
    std::memcpy(&served, out.data(), 4);
    HLINE handle = g_next_line++;
    g_lines[handle] = ::Line{LineApp, served};
    *Line = handle;
    return 0;
}

LONG lineGetDevCapsA(HLINEAPP LineApp, DWORD DeviceID, DWORD APIVersion, DWORD ExtVersion, LPLINEDEVCAPS DevCaps)
{
    std::lock_guard<std::mutex> l(g_lock);
    App* app = app_of(LineApp);
    if (app == nullptr) return LONG(LINEERR_INVALAPPHANDLE);
    if (DevCaps == nullptr) return LONG(LINEERR_INVALPOINTER);
    if (DeviceID >= app->devices) return LONG(LINEERR_BADDEVICEID);
    if (!version_ok(APIVersion)) return LONG(LINEERR_INCOMPATIBLEAPIVERSION);
    if (ExtVersion != 0) return LONG(LINEERR_INCOMPATIBLEEXTVERSION);
    // An application of TAPI 1.x knows only the provider's fixed part.
    const DWORD fixed = APIVersion < TAPI_CURRENT_VERSION ? kProviderCapsSize : DWORD(sizeof(LINEDEVCAPS));
    const DWORD total = DevCaps->dwTotalSize;
    if (total < fixed) return LONG(LINEERR_STRUCTURETOOSMALL);
    const DWORD offered = std::min<DWORD>(total, wire::kMaxTransfer) - (fixed - kProviderCapsSize);
    std::vector<uint8_t> caps;
    DWORD e = exchange(app->fd, wire::kTapiDevCaps, DeviceID, offered, &caps);
    if (e == 0 && caps.size() < kProviderCapsSize) e = LINEERR_OPERATIONFAILED;
    if (e != 0) return LONG(e);
    place_caps(caps, fixed, DevCaps);
    return 0;
}

LONG lineGetDevCaps(HLINEAPP LineApp, DWORD DeviceID, DWORD APIVersion, DWORD ExtVersion, LPLINEDEVCAPS DevCaps)
{
    return lineGetDevCapsA(LineApp, DeviceID, APIVersion, ExtVersion, DevCaps);
}

LONG lineClose(HLINE Line)
{
    std::lock_guard<std::mutex> l(g_lock);
    auto it = g_lines.find(Line);
    if (it == g_lines.end()) return LONG(LINEERR_INVALLINEHANDLE);
    ::Line line = it->second;
    g_lines.erase(it);
    App* app = app_of(line.app);
    return LONG(app == nullptr ? LINEERR_INVALLINEHANDLE : exchange(app->fd, wire::kTapiClose, line.served, 0, nullptr));
}

LONG lineShutdown(HLINEAPP LineApp)
{
    std::lock_guard<std::mutex> l(g_lock);
    auto it = g_apps.find(LineApp);
    if (it == g_apps.end()) return LONG(LINEERR_INVALAPPHANDLE);
    end_app(it->first, it->second);  // the service closes the lines left open
    g_apps.erase(it);
    return 0;
}

}  // extern "C"

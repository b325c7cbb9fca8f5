// A control-panel library whose applet, when opened, does what the applet's transport
// does: reads the adapter's parameters from the hive, opens "\\.\VORNET1" and sends it a
// management request (class 0, action 17), and prints what came back.
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/win32/cpl.h"

static void Probe()
{
    HKEY k = nullptr;
    char name[64] = {};
    DWORD size = sizeof name, type = 0;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters", &k) == ERROR_SUCCESS) {
        RegQueryValueExA(k, "DeviceName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
        RegCloseKey(k);
    }
    std::printf("DeviceName %s\n", name);
    HANDLE h = CreateFileA("\\\\.\\VORNET1", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("open failed %u\n", GetLastError());
        return;
    }
    std::vector<uint32_t> record(16468 / 4, 0);
    record[0] = 0x524F4B00;  // signature
    record[1] = 0;           // class
    record[2] = 17;          // action
    record[3] = 16468;       // buffer length
    DWORD oid = 0xFF000000, returned = 0;
    if (DeviceIoControl(h, 0x00170002, &oid, 4, record.data(), 16468, &returned, nullptr))
        std::printf("request status %u returned %u\n", record[5], returned);
    else
        std::printf("request failed %u\n", GetLastError());
    CloseHandle(h);
}

extern "C" LONG CPlApplet(HWND, UINT msg, LPARAM, LPARAM lParam2)
{
    switch (msg) {
    case CPL_GETCOUNT: return 1;
    case CPL_NEWINQUIRE: {
        auto* info = reinterpret_cast<NEWCPLINFOA*>(lParam2);
        info->dwSize = sizeof *info;
        std::snprintf(info->szName, sizeof info->szName, "Device probe");
        return 0;
    }
    case CPL_DBLCLK: Probe(); std::fflush(stdout); return 0;
    case CPL_INQUIRE:
    case CPL_EXIT: return 0;
    default: return 1;
    }
}

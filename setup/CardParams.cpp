#include "setup/CardParams.h"

#include <cstdio>
#include <cstring>

#include "platform/win32/windows.h"
#include "setup/RegValue.h"

CardParameters GCard;
std::string GParameterKey;
int GCurrentLine = 0;

namespace {

std::string g_LastFailure;

struct LineWord {
    const char* name;
    DWORD CardLine::*field;
    DWORD fallback;
};

// The per-line words in the order they are read and written.
const LineWord kLineWords[] = {
    {"LineIntfMode", &CardLine::LineIntfMode, 1},
    {"SystemBusMode", &CardLine::SystemBusMode, 2},
    {"NetworkSide", &CardLine::NetworkSide, 0},
    {"LineMode", &CardLine::LineMode, 0},
    {"QStackMultiplier", &CardLine::QStackMultiplier, 2},
    {"LineCode", &CardLine::LineCode, 0},
    {"FramingFormat", &CardLine::FramingFormat, 3},
    {"DS0IdleCode", &CardLine::DS0IdleCode, 1},
    {"DChRate", &CardLine::DChRate, 0},
    {"TxPulseTemplate", &CardLine::TxPulseTemplate, 0},
    {"Modulus", &CardLine::Modulus, 0},
    {"WindowSize", &CardLine::WindowSize, 7},
    {"SignallingProtocol", &CardLine::SignallingProtocol, 1},
    {"DChInversion", &CardLine::DChInversion, 0},
    {"BChProtocol", &CardLine::BChProtocol, 2},
    {"ISDNthroughCSM", &CardLine::ISDNthroughCSM, 0},
    {"SamplingType", &CardLine::SamplingType, 2},
    {"RBSType", &CardLine::RBSType, 0},
    {"RBSCallType", &CardLine::RBSCallType, 0},
    {"RBSProtocol", &CardLine::RBSProtocol, 2},
    {"RBSWinkDuration", &CardLine::RBSWinkDuration, 0},
};

bool ReadWord(const std::string& key, const std::string& name, DWORD fallback, DWORD* value)
{
    char text[16];
    DwordToRegData(fallback, reinterpret_cast<BYTE*>(text));
    if (!ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), text, sizeof text, REG_DWORD, 4)) {
        g_LastFailure = name;
        return false;
    }
    // Eight hexadecimal digits or nothing: a REG_SZ or short value is not a word.
    if (!HexToDword(text, value) || text[8] != '\0') {
        g_LastFailure = name;
        return false;
    }
    return true;
}

bool ReadText(const std::string& key, const std::string& name, const char* fallback, char* out, DWORD outSize)
{
    // A text longer than its slot is refused whole rather than cut.
    char text[1024];
    std::snprintf(text, sizeof text, "%s", fallback);
    const DWORD room = out != nullptr && outSize < sizeof text ? outSize : (DWORD)sizeof text;
    if (!ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), text, room, REG_SZ,
                      (DWORD)std::strlen(text) + 1)) {
        g_LastFailure = name;
        return false;
    }
    if (out != nullptr)
        std::snprintf(out, outSize, "%s", text);
    return true;
}

bool WriteWord(const std::string& key, const std::string& name, DWORD value)
{
    BYTE data[5];
    DwordToRegData(value, data);
    if (!WriteRegValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), data, REG_DWORD, 4)) {
        g_LastFailure = name;
        return false;
    }
    return true;
}

bool WriteText(const std::string& key, const std::string& name, const char* text)
{
    if (!WriteRegValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), text, REG_SZ, (DWORD)std::strlen(text))) {
        g_LastFailure = name;
        return false;
    }
    return true;
}

std::string LineName(const char* base, int line) { return std::string(base) + "_" + std::to_string(line); }

std::string DirNumName(int line, int n)
{
    char name[40];
    std::snprintf(name, sizeof name, "Line_%d.DirectoryNumber_%2.2d", line, n);
    return name;
}

}  // namespace

const std::string& CardLastFailure() { return g_LastFailure; }

void ClearCardParameters()
{
    std::memset(&GCard, 0, sizeof GCard);
    GCurrentLine = 0;
}

std::string CardReadKeyPath()
{
    HKEY select;
    std::string path;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Select", 0, KEY_READ, &select) == ERROR_SUCCESS) {
        DWORD type = 0, current = 0, size = sizeof current;
        if (RegQueryValueExA(select, "Current", nullptr, &type, reinterpret_cast<BYTE*>(&current), &size) ==
                ERROR_SUCCESS &&
            type == REG_DWORD && size == 4) {
            static const char kDigits[] = "0123456789ABCDEF";
            path = std::string("SYSTEM\\ControlSet00") + kDigits[current & 0xF] + "\\Services\\" + GParameterKey;
        }
        RegCloseKey(select);
    }
    if (path.empty())
        path = "SYSTEM\\CurrentControlSet\\Services\\" + GParameterKey;
    return path;
}

std::string CardWriteKeyPath() { return "SYSTEM\\CurrentControlSet\\Services\\" + GParameterKey; }

int ReadCardParameters()
{
    const std::string key = CardReadKeyPath();
    g_LastFailure.clear();
    HKEY opened;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        g_LastFailure = key;
        return 0;
    }
    RegCloseKey(opened);
    if (!ReadText(key, "MediaType", "ISDN", nullptr, 0))
        return 0;
    if (!ReadWord(key, "AdapterID", 4, &GCard.AdapterID) || !ReadWord(key, "IrqStatistics", 0, &GCard.IrqStatistics) ||
        !ReadWord(key, "TimerResolution", 10, &GCard.TimerResolution))
        return 0;
    for (int n = 0; n < CARD_LINES; n++) {
        CardLine& line = GCard.Line[n];
        for (const LineWord& w : kLineWords)
            if (!ReadWord(key, LineName(w.name, n), w.fallback, &(line.*w.field)))
                return 0;
        if (!ReadWord(key, "AsyncPortNumbersStartAt", 5, &GCard.AsyncPortNumbersStartAt) ||
            !ReadWord(key, LineName("AsyncPorts", n), 0, &line.AsyncPorts))
            return 0;
        for (int d = 0; d < CARD_DIRNUMS; d++)
            if (!ReadText(key, DirNumName(n, d), "", line.DirectoryNumber[d], CARD_DIRNUM_SIZE))
                return 0;
    }
    for (int m = 0; m < CARD_MODULES; m++)
        if (!ReadWord(key, LineName("ModuleID", m), 4, &GCard.ModuleID[m]))
            return 0;
    return 1;
}

bool WriteCardParameters()
{
    const std::string key = CardWriteKeyPath();
    g_LastFailure.clear();
    // The key is created when setup runs before the driver's parameters exist.
    HKEY created;
    DWORD disposition;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &created, &disposition) != ERROR_SUCCESS) {
        g_LastFailure = key;
        return false;
    }
    RegCloseKey(created);
    if (!WriteWord(key, "TimerResolution", GCard.TimerResolution) || !WriteWord(key, "AdapterID", GCard.AdapterID) ||
        !WriteWord(key, "IrqStatistics", GCard.IrqStatistics))
        return false;
    for (int n = 0; n < CARD_LINES; n++) {
        const CardLine& line = GCard.Line[n];
        for (const LineWord& w : kLineWords)
            if (!WriteWord(key, LineName(w.name, n), line.*w.field))
                return false;
        if (!WriteWord(key, "AsyncPortNumbersStartAt", GCard.AsyncPortNumbersStartAt) ||
            !WriteWord(key, LineName("AsyncPorts", n), line.AsyncPorts))
            return false;
        for (int d = 0; d < CARD_DIRNUMS; d++)
            if (!WriteText(key, DirNumName(n, d), line.DirectoryNumber[d]))
                return false;
    }
    for (int m = 0; m < CARD_MODULES; m++)
        if (!WriteWord(key, LineName("ModuleID", m), GCard.ModuleID[m]))
            return false;
    return true;
}

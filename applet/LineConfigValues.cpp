// The line configuration's values: names, defaults, lists, loading, writing, the standard
// configurations and the report text.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "applet/ControlPanel.h"
#include "applet/LineConfigPage.h"
#include "setup/RegValue.h"

namespace linecfg {

const ValueName kLineValueNames[kLineValues] = {
    {"LineIntfMode_0", 1},     {"SystemBusMode_0", 2},    {"NetworkSide_0", 0},        {"LineMode_0", 0},
    {"QStackMultiplier_0", 2}, {"LineCode_0", 0},         {"FramingFormat_0", 3},      {"DS0IdleCode_0", 1},
    {"DChRate_0", 0},          {"TxPulseTemplate_0", 0},  {"Modulus_0", 0},            {"WindowSize_0", 7},
    {"SignallingProtocol_0", 1}, {"DChInversion_0", 0},   {"BChProtocol_0", 2},        {"ISDNthroughCSM_0", 0},
    {"SamplingType_0", 2},     {"RBSType_0", 0},          {"RBSCallType_0", 0},        {"RBSProtocol_0", 2},
    {"RBSWinkDuration_0", 0},
};

namespace {

constexpr uint32_t kSequence[] = {0, 1, 2, 3, 4, 5, 6, 7};
const uint32_t kZeroTwo[] = {0, 2};
const uint32_t kFramingValues[] = {0, 1, 2, 3, 4, 5, 6};

const char* const kLineModes[] = {"T1", "E1", nullptr};
// The driver takes line codes 0 to 4 and framings 0 to 6, which the setup library writes too.
const char* const kLineCodes[] = {"B8ZS", "B7ZS", "HDB3", "AMI", "UMC", nullptr};
const char* const kFramings[] = {"FT", "SF", "SLC", "ESF", "FAS", "FAS/CAS", "FAS no CRC", nullptr};
const char* const kDChRates[] = {"64", "56", nullptr};
const char* const kIdleCodes[] = {"7F", "FF", nullptr};
const char* const kPulses[] = {"0 133 100",   "133 266 100", "266 399 100", "399 533 100",
                               "533 655 100", "G703 75",     "G703 120",    "Long Haul 100", nullptr};
const char* const kModuli[] = {"128", "8", nullptr};
const char* const kProtocols[] = {"Robbed Bit Signalling", "PRI / Lucent 5ESS",     "PRI / National ISDN 1",
                                  "PRI / Nortel DMS 100",  "PRI / Euro ISDN",       "PRI / French VN4 ISDN",
                                  "Leased Line",           nullptr};
const char* const kInversions[] = {"Inversion OFF", "Inversion ON", nullptr};
const char* const kBChannels[] = {"Transparent", "SS7 HDLC CRC16", "HDLC CRC16", "HDLC CRC32", nullptr};
const char* const kCallTypes[] = {"Analog", "ISDN", nullptr};
const char* const kRbsProtocols[] = {"Immediat", "Wink", nullptr};
const char* const kRbsTypes[] = {"Ear&Mouth", nullptr};
const char* const kWinks[] = {"200", "400", nullptr};
const char* const kNetworkSides[] = {"Slave to network", "Master on network", nullptr};
const char* const kIrqs[] = {"Min", "Max", nullptr};
const char* const kCsms[] = {"OFF", "ON", nullptr};
const char* const kSamplings[] = {"Force u law", "Force A law", "Use default", nullptr};

std::string Item(const std::string& name, const std::string& value) { return name + "=" + value; }

// One REG_DWORD, created with its default when missing, as its eight-digit text.
bool ReadDword(const std::string& key, const std::string& name, uint32_t fallback, uint32_t* value, std::string* text)
{
    char buffer[1024] = {};
    DwordToRegData(fallback, reinterpret_cast<BYTE*>(buffer));
    if (!ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), buffer, sizeof buffer, REG_DWORD, 4))
        return false;
    DWORD v = 0;
    if (!HexToDword(buffer, &v) || buffer[8] != '\0')
        return false;  // not a REG_DWORD
    *value = v;
    *text = buffer;
    return true;
}

bool ReadText(const std::string& key, const std::string& name, const char* fallback, std::string* text)
{
    char buffer[1024] = {};
    std::snprintf(buffer, sizeof buffer, "%s", fallback);
    if (!ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), buffer, sizeof buffer, REG_SZ,
                      static_cast<DWORD>(std::strlen(buffer) + 1)))
        return false;
    *text = buffer;
    return true;
}

bool WriteDword(const std::string& key, const std::string& name, uint32_t value)
{
    BYTE data[5];
    DwordToRegData(value, data);
    return WriteRegValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), data, REG_DWORD, 4) != 0;
}

bool WriteText(const std::string& key, const std::string& name, const char* text, size_t size)
{
    std::string value(text, strnlen(text, size));
    return WriteRegValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), value.c_str(), REG_SZ,
                         static_cast<DWORD>(value.size())) != 0;
}

}  // namespace

const Choice kLineModeChoice{kLineModes, kSequence}, kLineCodeChoice{kLineCodes, kSequence},
    kFramingChoice{kFramings, kFramingValues}, kDChRateChoice{kDChRates, kSequence},
    kIdleCodeChoice{kIdleCodes, kSequence}, kPulseChoice{kPulses, kSequence}, kModulusChoice{kModuli, kSequence},
    kProtocolChoice{kProtocols, kSequence}, kInversionChoice{kInversions, kSequence},
    kBChannelChoice{kBChannels, kSequence}, kRbsCallTypeChoice{kCallTypes, kSequence},
    kRbsProtocolChoice{kRbsProtocols, kZeroTwo}, kRbsTypeChoice{kRbsTypes, kSequence},
    kWinkChoice{kWinks, kZeroTwo}, kNetworkSideChoice{kNetworkSides, kSequence}, kIrqChoice{kIrqs, kSequence},
    kCsmChoice{kCsms, kSequence}, kSamplingChoice{kSamplings, kSequence}, kOutgoingAnalogChoice{kCsms, kSequence};

int Choice::Count() const
{
    int n = 0;
    while (Texts[n] != nullptr) n++;
    return n;
}

int Choice::IndexOf(uint32_t value) const
{
    for (int i = 0; Texts[i] != nullptr; i++)
        if (Values[i] == value)
            return i;
    return -1;
}

const std::vector<std::string>& AdapterNames()
{
    static const std::vector<std::string> names = {
        "No board",          "ZELVX24 1 line",         "ZELVX30 4 lines",        "ZELVX30 4 lines, no modems",
        "ZELVX24 1 line, 5 sockets", "ZELVX30 4 lines, 4 sockets", "ZELVX30 2 lines x 2 sockets",
        "ZELVX30 4 lines x 1 socket",
    };
    return names;
}

const std::vector<std::string>& ModuleNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n = {"Uninstalled"};
        for (uint32_t m = 1; m < kModuleTypes; m++) {
            const ModuleTypeRow& row = applet::ModuleTypeTable[m];
            char text[64];
            std::snprintf(text, sizeof text, "%s %ux%u%s", row.Word[0] == 64 ? "DIMM" : "SIMM", row.Word[2],
                          row.Word[3], row.Word[5] != 0 ? " (B)" : "");
            n.push_back(text);
        }
        return n;
    }();
    return names;
}

std::string LineValueName(int value, int line)
{
    std::string name = kLineValueNames[value].Name;
    name.back() = static_cast<char>('0' + line);
    return name;
}

std::string NumberName(int line, int number)
{
    char name[] = "Line_0.DirectoryNumber_00";
    name[5] = static_cast<char>('0' + line);
    name[23] = static_cast<char>('0' + number / 10);
    name[24] = static_cast<char>('0' + number % 10);
    return name;
}

std::string ModuleName(int socket) { return "ModuleID_" + std::to_string(socket); }

std::string FullKey(uint32_t deviceNumber, std::string* current)
{
    char text[1024] = {};
    bool read = ReadRegValue(HKEY_LOCAL_MACHINE, "SYSTEM\\Select", "Current", text, sizeof text, REG_DWORD, 0) &&
                text[0] != '\0';
    if (current != nullptr)
        *current = read ? text : "";
    return ParametersKeyOf(deviceNumber);
}

bool Load(const std::string& key, const std::string& current, Values& values, Tree& tree)
{
    tree = Tree{};
    tree.Key = key;
    Values read;
    read.Current = current;
    tree.Top.push_back(Item("Current", current));
    if (!ReadText(key, "MediaType", "ISDN", &read.MediaType))
        return false;
    tree.Top.push_back(Item("MediaType", read.MediaType));

    std::string text;
    struct {
        const char* name;
        uint32_t fallback;
        uint32_t* value;
    } adapter[] = {{"TimerResolution", 10, &read.TimerResolution},
                   {"IrqStatistics", 0, &read.IrqStatistics},
                   {"AdapterID", 4, &read.AdapterID}};
    for (const auto& a : adapter) {
        if (!ReadDword(key, a.name, a.fallback, a.value, &text))
            return false;
        tree.Adapter.push_back(Item(a.name, text));
    }
    for (int n = 0; n < kLines; n++) {
        for (int v = 0; v < kLineValues; v++) {
            std::string name = LineValueName(v, n);
            if (!ReadDword(key, name, kLineValueNames[v].Default, &read.Line[n].Value[v], &text))
                return false;
            tree.Lines[n].Values.push_back(Item(name, text));
        }
        for (int k = 0; k < kNumbers; k++) {
            std::string name = NumberName(n, k);
            // A number longer than its slot would be written back cut short: not read.
            if (!ReadText(key, name, "", &text) || text.size() >= static_cast<size_t>(kNumberLength))
                return false;
            std::snprintf(read.Line[n].Numbers[k], kNumberLength, "%s", text.c_str());
            tree.Lines[n].Numbers.push_back(Item(name, read.Line[n].Numbers[k]));
        }
    }
    for (int k = 0; k < kModules; k++) {
        if (!ReadDword(key, ModuleName(k), 4, &read.ModuleID[k], &text))
            return false;
        tree.Modules.push_back(Item(ModuleName(k), text));
    }
    values = read;
    return true;
}

bool Write(const std::string& key, const Values& values)
{
    if (!WriteDword(key, "TimerResolution", values.TimerResolution) ||
        !WriteDword(key, "IrqStatistics", values.IrqStatistics) || !WriteDword(key, "AdapterID", values.AdapterID))
        return false;
    for (int n = 0; n < kLines; n++)
        for (int v = 0; v < kLineValues; v++)
            if (!WriteDword(key, LineValueName(v, n), values.Line[n].Value[v]))
                return false;
    for (int n = 0; n < kLines; n++)
        for (int k = 0; k < kNumbers; k++)
            if (!WriteText(key, NumberName(n, k), values.Line[n].Numbers[k], kNumberLength))
                return false;
    for (int k = 0; k < kModules; k++)
        if (!WriteDword(key, ModuleName(k), values.ModuleID[k]))
            return false;
    return true;
}

void ApplyStandard(LineSet& line, Standard which)
{
    // LineIntfMode, SystemBusMode, LineMode, LineCode, FramingFormat, DS0IdleCode, DChRate,
    // TxPulseTemplate, Modulus, WindowSize, SignallingProtocol, DChInversion, BChProtocol.
    static const LineValue kColumns[] = {LineIntfMode, SystemBusMode,  LineMode, LineCode,   FramingFormat,
                                         DS0IdleCode,  DChRate,        TxPulseTemplate, Modulus, WindowSize,
                                         SignallingProtocol, DChInversion, BChProtocol};
    static const uint32_t kRows[3][std::size(kColumns)] = {
        {1, 2, 0, 0, 3, 1, 0, 0, 0, 7, 1, 0, 2},
        {1, 5, 1, 2, 5, 1, 0, 6, 0, 7, 4, 0, 2},
        {1, 2, 0, 0, 3, 1, 0, 0, 0, 7, 0, 0, 2},
    };
    const uint32_t* row = kRows[static_cast<int>(which)];
    for (size_t c = 0; c < std::size(kColumns); c++)
        line.Value[kColumns[c]] = row[c];
    if (which == Standard::T1Rbs) {
        line.Value[RBSType] = 0;
        line.Value[RBSCallType] = 0;
        line.Value[RBSProtocol] = 2;
        line.Value[RBSWinkDuration] = 2;
    }
}

void SetInterfaceType(LineSet& line, uint32_t lineMode)
{
    if (line.Value[LineMode] == lineMode)
        return;
    line.Value[LineMode] = lineMode;
    line.Value[SystemBusMode] = lineMode == 1 ? 5 : 2;
}

std::string ExportText(const Tree& tree)
{
    std::string out = "\n\n\n";  // the first item has no text
    for (const std::string& item : tree.Top) out += "\t" + item + "\n";
    out += tree.Key + "\n";
    for (int n = 0; n < kLines; n++) out += "\tLine " + std::to_string(n) + "\n";
    for (const std::string& item : tree.Adapter) out += "\t" + item + "\n";
    for (const std::string& item : tree.Modules) out += "\t" + item + "\n";
    for (int n = 0; n < kLines; n++) {
        out += "\tLine " + std::to_string(n) + " Parameters:\n";
        for (const std::string& item : tree.Lines[n].Values) out += "\t\t" + item + "\n";
        out += "\t\tDirectory Numbers\n";
        for (size_t k = 0; k < tree.Lines[n].Numbers.size(); k++) {
            const std::string& item = tree.Lines[n].Numbers[k];
            if (item.empty() || item.back() == '=')
                continue;  // an empty number
            char head[16];
            std::snprintf(head, sizeof head, "\t\t\t%2d: ", static_cast<int>(k));
            out += head + item + "\n";
        }
    }
    return out;
}

std::vector<std::string> FillNumbers(const std::string& first, bool increment)
{
    std::vector<std::string> rows{first};
    for (int i = 1; i < kNumbers; i++) {
        std::string next = rows.back();
        for (size_t k = 0; increment && k < 3 && k < next.size(); k++) {
            char& c = next[next.size() - 1 - k];
            if (c < '0' || c > '9')
                break;  // the counter ends at a character that is no digit
            if (c != '9') {
                c++;
                break;
            }
            c = '0';
        }
        rows.push_back(next);
    }
    return rows;
}

std::string NumberDigits(const std::string& text)
{
    std::string digits;
    for (char c : text)
        if (c >= '0' && c <= '9' && digits.size() < kNumberLength - 1)
            digits += c;
    return digits;
}

}  // namespace linecfg

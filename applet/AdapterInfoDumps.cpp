#include "applet/AdapterInfoDumps.h"

#include "applet/Reports.h"
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "driver/Wmp_nt40/RSS_DVSP_replies.h"

namespace infodump {

namespace {

int D(uint32_t v) { return static_cast<int>(v); }

// A label ending in "0x" and the value as eight upper-case digits.
std::string UpperHex(const char* label, uint32_t v) { return FormatText("%s0x%08X\r\n", label, v); }

// The words of segment k, only what lies inside the record; none unless Status is 0.
std::vector<uint32_t> SegmentWords(const BackdoorRequest& reply, int k)
{
    std::vector<uint32_t> words;
    if (reply.Status != 0 || k < 0 || k >= 4)
        return words;
    uint64_t offset = reply.Segment[k].Offset, length = reply.Segment[k].Length;
    if (offset < kBackdoorHeaderSize || offset >= kBackdoorRequestSize)
        return words;
    if (length > kBackdoorRequestSize - offset)
        length = kBackdoorRequestSize - offset;
    CReplyReader reader(reinterpret_cast<const uint8_t*>(&reply) + offset, static_cast<size_t>(length));
    words.reserve(reader.WordsLeft());
    for (uint32_t w; reader.Word(&w);)
        words.push_back(w);
    return words;
}

CInfoDump Fail(std::string text) { return {std::move(text), InfoHealth::Unhealthy}; }

// The failure of the request, or nothing when the reply may be read.
std::optional<CInfoDump> Failure(const BackdoorRequest* reply, const std::string& sendText,
                                 const std::string& statusFormat)
{
    if (reply == nullptr)
        return Fail(sendText);
    if (reply->Status != 0)
        return Fail(FormatText(statusFormat.c_str(), reply->Status));
    return std::nullopt;
}

CInfoDump Short(const std::string& prefix, size_t words)
{
    return Fail(prefix + FormatText("Reply too short (%u words)", static_cast<unsigned>(words)));
}

void Unhealthy(CInfoDump& d) { d.Health = InfoHealth::Unhealthy; }

// The thirteen connection counters of a CSM or pump, words 7 to 19.
void ConnectionCounters(CInfoDump& d, const std::vector<uint32_t>& w)
{
    static const char* const kLines[] = {
        "Good Connections=\t%d\r\n",         "Failed Connections=\t%d\r\n",       "DialRequests=\t%d\r\n",
        "AnswerRequests=\t%d\r\n",           "IncomingInd=\t%d\r\n",              "ConnectInd=\t%d\r\n",
        "Connect 64K ISDN=\t\t%d\r\n",       "Connect 56K ISDN=\t\t%d\r\n",       "33600 < Connect <=56000 =\t%d\r\n",
        "14400 < Connect <=33600 =\t%d\r\n", "300 < Connect <=14400 =\t%d\r\n",   "Connect @ 300=\t\t%d\r\n",
        "Connect in Voice mode=\t%d\r\n",
    };
    for (size_t i = 0; i < std::size(kLines); i++)
        d.Text += FormatText(kLines[i], D(w[7 + i]));
}

// Six models, the same six with "P", six further models and those with "P".
const char* const kModels[24] = {
    "QM103",  "QM106",  "QM112",  "QM203",  "QM206",  "QM212",
    "QM103P", "QM106P", "QM112P", "QM203P", "QM206P", "QM212P",
    "QX103",  "QX106",  "QX112",  "QX203",  "QX206",  "QX212",
    "QX103P", "QX106P", "QX112P", "QX203P", "QX206P", "QX212P",
};

}  // namespace

const char* ModuleModel(uint32_t type) { return type >= 1 && type <= 24 ? kModels[type - 1] : nullptr; }

CAdapterCounts AdapterCounts(const BackdoorRequest* reply)
{
    CAdapterCounts c;
    if (reply == nullptr)
        return c;
    if (reply->Status != 0) {
        c.Result = CAdapterCounts::Refused;
        return c;
    }
    std::vector<uint32_t> w = SegmentWords(*reply, 0);
    c.Words = static_cast<uint32_t>(w.size());
    if (w.size() > kAdapterTableWords) {
        c.Result = CAdapterCounts::TooLong;
        return c;
    }
    c.Result = CAdapterCounts::Sent;
    w.resize(kAdapterTableWords, 0);
    c.Type = w[0];
    c.Buses = w[1];
    c.Lines = w[2];
    c.Sockets = w[3];
    return c;
}

std::vector<CTreeEntry> TreePlan(const CAdapterCounts& counts, const BoardTypeRow* board,
                                 const ModuleTypeRow* const modules[kModuleSockets])
{
    constexpr uint32_t kBoardSocketBus = 12;    // board row: the bus of each socket
    constexpr uint32_t kModuleProcessors = 2;  // module row: processors, pumps of each
    constexpr uint32_t kModulePumps = 3;
    constexpr uint32_t kMaxProcessors = 4, kMaxPumps = 12;
    uint32_t buses = std::min(counts.Buses, kMaxBuses);
    uint32_t lines = std::min(counts.Lines, kMaxLines);
    uint32_t sockets = std::min(counts.Sockets, std::min(kMaxSockets, kModuleSockets));

    std::vector<CTreeEntry> plan;
    auto add = [&](std::string text, uint32_t code, int parent, bool expand = false) {
        plan.push_back({std::move(text), code, parent, expand});
        return static_cast<int>(plan.size() - 1);
    };
    int root = add("", ItemCode(kAdapter), -1);
    std::vector<int> bus;
    for (uint32_t i = 0; i < buses; i++) {
        bus.push_back(add(FormatText("System Bus %u", i), ItemCode(kSystemBus, i), root, true));
        add(FormatText(counts.Buses == 4 ? "Bt8474 Port %u" : "Bt8472 Port %u", i), ItemCode(kDataIntf, i), bus[i], true);
    }
    auto busItem = [&](uint32_t i) { return i < buses ? bus[i] : root; };
    for (uint32_t j = 0; j < lines; j++) {
        add(FormatText("Bt8370 Device %u", j), ItemCode(kLineIntf, j), busItem(j));
        add(FormatText("Signalling %u", j), ItemCode(kQstack, j), busItem(j));
    }
    std::vector<int> module;
    for (uint32_t k = 0; k < sockets; k++)
        module.push_back(add(FormatText("Module %u", k), ItemCode(kModule, k),
                             busItem(board != nullptr ? board->Word[kBoardSocketBus + k] : buses)));
    for (uint32_t k = 0; k < sockets; k++) {
        const ModuleTypeRow* row = modules != nullptr ? modules[k] : nullptr;
        if (row == nullptr)
            continue;
        for (uint32_t c = 0; c < row->Word[kModuleProcessors] && c < kMaxProcessors; c++) {
            int csm = add(FormatText("CSM Device %u", c), ItemCode(kCsmDevice, k, c), module[k]);
            for (uint32_t p = 0; p < row->Word[kModulePumps] && p < kMaxPumps; p++)
                add(FormatText("Channel %u", p), ItemCode(kPumpDevice, k, c, p), csm);
        }
    }
    add("Driver", ItemCode(kDriver), -1);
    return plan;
}

CInfoDump Adapter(const BackdoorRequest* reply)
{
    if (auto f = Failure(reply, "GetInfoAdapter:Tapi Function Call Error", "GetInfoAdapter:Driver Error Code=0x%08x"))
        return *f;
    std::vector<uint32_t> w = SegmentWords(*reply, 0);
    if (w.empty())
        return Short("GetInfoAdapter:", 0);
    if (w[0] == 0 || w[0] > 7)
        return Fail(FormatText("Unknown Adapter Type 0x%x", w[0]));
    // Twenty-one words up to the name's length, the name, then five words.
    if (w.size() < 21 || w[20] > w.size() - 21 || w.size() - 21 - w[20] < 5)
        return Short("GetInfoAdapter:", w.size());
    CInfoDump d;
    d.Text += FormatText("ID= %d\r\n", D(w[0]));
    d.Text += FormatText("Number of System Buses= %d\r\n", D(w[1]));
    d.Text += FormatText("Number of Line Interfaces= %d\r\n", D(w[2]));
    d.Text += FormatText("Number of Sockets= %d\r\n", D(w[3]));
    if (w[4] != 0) {
        d.Text += "Need Reset ? Yes\r\n";
        Unhealthy(d);
    } else {
        d.Text += "Need Reset ? No\r\n";
    }
    d.Text += FormatText("Size of Adapter Info block= %d KBytes\r\n", D(w[5] / 1024));
    d.Text += UpperHex("MiniportAdapterHandle= ", w[6]);
    d.Text += FormatText("Instance= %d\r\n", D(w[7]));
    d.Text += FormatText("\r\nPCI Slot= %d\r\n", D(w[8]));
    d.Text += UpperHex("Virtual Address PCI Func. 0 = ", w[9]);
    d.Text += UpperHex("Physical Address PCI Func. 0 = ", w[10]);
    d.Text += UpperHex("Virtual Address PCI Func. 1 = ", w[11]);
    d.Text += UpperHex("Physical Address PCI Func. 1 = ", w[12]);
    d.Text += UpperHex("Virtual Address Shared Memory= ", w[13]);
    d.Text += UpperHex("Physical Address Shared Memory= ", w[14]);
    d.Text += FormatText("Size of Shared Memory= %d KBytes\r\n", D(w[15] / 1024));
    d.Text += FormatText("IRQ Vector 847x= %d\r\n", D(w[16]));
    d.Text += FormatText("IRQ Level 847x= %d\r\n", D(w[17]));
    d.Text += FormatText("IRQ Vector EBUS= %d\r\n", D(w[18]));
    d.Text += FormatText("IRQ Level EBUS= %d\r\n", D(w[19]));
    // The name ends at its first zero or at the end of its words.
    std::string name;
    for (uint32_t i = 0; i < w[20]; i++)
        for (int b = 0; b < 4; b++)
            name += static_cast<char>((w[21 + i] >> (8 * b)) & 0xFF);
    name.resize(strnlen(name.c_str(), name.size()));
    d.Text += "\r\nDevice Name: " + name + "\r\n";
    size_t at = 21 + w[20];
    d.Text += FormatText("Line Devices= %d\r\n", D(w[at]));
    d.Text += FormatText("Phone Devices= %d\r\n", D(w[at + 1]));
    d.Text += FormatText("Open Lines= %d\r\n", D(w[at + 2]));
    d.Text += FormatText("Device ID Base= %d\r\n", D(w[at + 3]));
    d.Text += FormatText("\r\nCSM Code Size= %d KBytes\r\n", D(w[at + 4] / 1024));
    return d;
}

CInfoDump LineIntf(const BackdoorRequest* reply, uint32_t line)
{
    if (auto f = Failure(reply, FormatText("GetInfoLineIntf: GroupIndex %d,Tapi Function Call Error", D(line)),
                         FormatText("GetInfoLineIntf: GroupIndex %d, Driver Error Code=0x%%08x", D(line))))
        return *f;
    std::vector<uint32_t> regs = SegmentWords(*reply, 0), f = SegmentWords(*reply, 1);
    constexpr size_t kPcr0 = 0x001;
    if (regs.size() <= kPcr0 || f.size() <= BD_FRAMER_W_PH_DEACTIVATE)
        return Short(FormatText("GetInfoLineIntf: GroupIndex %d, ", D(line)), f.size());
    static const char* const kStates[] = {
        "No Bt8370 Present\r\n",        "Bt8370 Present\r\n",          "1st Reset Process Failed\r\n",
        "1st Reset Process Passed\r\n", "2nd Reset Process Failed\r\n", "2nd Resed Process Passed\r\n",
        "No RX Analog Signal\r\n",      "RX Analog Signal\r\n",        "Not Synchronized to Network\r\n",
        "Synchronized to Network\r\n",
    };
    CInfoDump d;
    d.Text += FormatText("Base Address= 0x%08x\r\n", f[BD_FRAMER_W_BASE]);
    d.Text += (regs[kPcr0] & 1) != 0 ? "T1 1.544 MHz line rate\r\n" : "E1 2.048 MHz line rate\r\n";
    d.Text += FormatText("Number of reset= %d\r\n", D(f[BD_FRAMER_W_RESETS]));
    uint32_t state = f[BD_FRAMER_W_STATE];
    d.Text += "Status=";
    d.Text += state < std::size(kStates) ? kStates[state] : "BAD STATE\r\n";
    if (state >= std::size(kStates) || state % 2 == 0)
        Unhealthy(d);
    d.Text += f[BD_FRAMER_W_MASTER] != 0 ? "Master\r\n" : "Slave\r\n";
    d.Text += f[BD_FRAMER_W_INBAND] != 0 ? "In Band Signalling\r\n" : "Out Band Signalling\r\n";
    d.Text += FormatText("Number of PH-ACTIVATE= %d\r\n", D(f[BD_FRAMER_W_PH_ACTIVATE]));
    d.Text += FormatText("Number of PH-DEACTIVATE= %d\r\n", D(f[BD_FRAMER_W_PH_DEACTIVATE]));
    return d;
}

CInfoDump DataIntf(const BackdoorRequest* reply, uint32_t bus)
{
    if (auto f = Failure(reply, FormatText("GetInfoDataIntf:GroupIndex %d, Tapi Function Call Error", D(bus)),
                         FormatText("GetInfoDataIntf:Group %d, Driver Error Code=0x%%08x", D(bus))))
        return *f;
    if (reply->Arg[0] >= 3)
        return Fail("Failed Reset \r\n");
    return {"OK\r\n", InfoHealth::Healthy};
}

CInfoDump Module(const BackdoorRequest* reply, uint32_t socket)
{
    if (auto f = Failure(reply, FormatText("GetInfoModule: SocketIndex %d, Tapi Function Call Error", D(socket)),
                         FormatText("GetInfoModule: SocketIndex %d, Driver Error Code=0x%%08x", D(socket))))
        return *f;
    std::vector<uint32_t> w = SegmentWords(*reply, 0);
    if (!w.empty() && w[0] == 0)
        return {"Module not installed\r\n", InfoHealth::NotInstalled};
    if (w.size() < 10)
        return Short(FormatText("GetInfoModule: SocketIndex %d, ", D(socket)), w.size());
    CInfoDump d;
    if (const char* model = ModuleModel(w[0])) {
        d.Text += std::string(model) + " Module\r\n";
    } else {
        d.Text += "Unknown Module ID\r\n";
        Unhealthy(d);
    }
    if (w[1] == 1) {
        d.Text += "CSM Devices\r\n";
    } else {
        d.Text += "Unknown Module Type\r\n";
        Unhealthy(d);
    }
    d.Text += FormatText("System Bus= %d\r\n", D(w[2]));
    d.Text += FormatText("Socket= %d\r\n", D(w[3]));
    d.Text += UpperHex("Base Address= ", w[4]);
    d.Text += UpperHex("Offset Per Device= ", w[5]);
    d.Text += FormatText("Devices= %d\r\n", D(w[6]));
    d.Text += FormatText("Background Period= %d msec\r\n", D(w[7]));
    d.Text += FormatText("Total Resets= %d\r\n", D(w[8]));
    d.Text += FormatText("Successive Resets= %d\r\n", D(w[9]));
    return d;
}

CInfoDump CsmDevice(const BackdoorRequest* reply, uint32_t socket, uint32_t device)
{
    std::string prefix = FormatText("GetInfoCsmDevice: SocketIndex %d, CsmIndex %d, ", D(socket), D(device));
    if (auto f = Failure(reply, prefix + "Tapi Function Call Error", prefix + "Driver Error Code=0x%08x"))
        return *f;
    std::vector<uint32_t> w = SegmentWords(*reply, 0);
    if (w.size() < 20)
        return Short(prefix, w.size());
    static const char* const kStates[] = {"CSM_NEED_CODE_DOWNLOAD\r\n", "CSM_IN_CODE_DOWNLOAD\r\n",
                                          "CSM_NEED_FIFO_INIT\r\n",     "CSM_READY\r\n",
                                          "CSM_NEED_RESET\r\n",         "CSM_IN_RESET\r\n",
                                          "CSM_OUTOF_SERVICE\r\n"};
    CInfoDump d;
    d.Text += FormatText("System Bus= %d\r\n", D(w[0]));
    d.Text += FormatText("Device#%d\r\n", D(w[1]));
    d.Text += UpperHex("Base Address= ", w[2]);
    d.Text += FormatText("Lines= %d\r\n", D(w[3]));
    d.Text += w[4] < std::size(kStates) ? kStates[w[4]] : "Unknown State\r\n";
    if (w[4] == 4 || w[4] >= 6)
        Unhealthy(d);
    d.Text += FormatText("Total Resets= %d\r\n", D(w[5]));
    d.Text += FormatText("Successive Resets= %d\r\n", D(w[6]));
    ConnectionCounters(d, w);
    return d;
}

CInfoDump PumpDevice(const BackdoorRequest* reply, uint32_t socket, uint32_t device, uint32_t pump)
{
    std::string prefix =
        FormatText("GetInfoPumpDevice: SocketIndex %d, CsmIndex %d, PumpIndex %d, ", D(socket), D(device), D(pump));
    if (auto f = Failure(reply, prefix + "Tapi Function Call Error", prefix + "Driver Error Code=0x%08x"))
        return *f;
    std::vector<uint32_t> w = SegmentWords(*reply, 0);
    if (w.size() < 20)
        return Short(prefix, w.size());
    static const char* const kStates[] = {
        "PUMP_NEED_RESET\r\n", "PUMP_SLEEP\r\n",  "PUMP_INIT\r\n",           "PUMP_IDLE\r\n",
        "PUMP_ANSWER\r\n",     "PUMP_DIAL\r\n",   "PUMP_ON_LINE\r\n",        "PUMP_HANGUP\r\n",
        "PUMP_GET_STATISTICS\r\n", "PUMP_OUT_OF_SERVICE\r\n",
    };
    CInfoDump d;
    d.Text += FormatText("Device#%d\r\n", D(w[0]));
    d.Text += w[1] < std::size(kStates) ? kStates[w[1]] : "Unknown State\r\n";
    if (w[1] == 0 || w[1] >= 9)
        Unhealthy(d);
    d.Text += FormatText("Successive Resets= %d\r\n", D(w[2]));
    d.Text += FormatText("Good Connections= %d\r\n", D(w[3]));
    d.Text += FormatText("Failed Connections= %d\r\n", D(w[4]));
    d.Text += FormatText("PCM timeslot= %d\r\n", D(w[5]));
    d.Text += FormatText("Data timeslots= %d,%d,%d\r\n", D(w[6]), D(w[6] + 1), D(w[6] + 2));
    ConnectionCounters(d, w);
    return d;
}

CInfoDump SystemBus(const BackdoorRequest* reply, uint32_t bus)
{
    if (auto f = Failure(reply, FormatText("GetInfoSystemBus: GroupIndex %d, Tapi Function Call Error", D(bus)),
                         FormatText("GetInfoSystemBus: GroupIndex %d, Driver Error Code=0x%%08x", D(bus))))
        return *f;
    static const char* const kModes[] = {
        "1.544 MHz Bus\r\n",  "4.096 MHz Bus\r\n",   "8.192 MHz Bus\r\n",   "2.048 MHz Bus\r\n",
        "4.096 MHz Bus\r\n",  "8.192 MHz Bus\r\n",   "Nx64 Mode\r\n",       "Nx64 T1 Mode\r\n",
        "Nx64 2 T1 Mode\r\n", "Nx64 4 T1 Mode\r\n",  "Nx64 E1 Mode\r\n",    "Nx64 2 E1 Mode\r\n",
        "Nx64 4 E1 Mode\r\n",
    };
    uint32_t mode = reply->Arg[1];
    if (mode >= std::size(kModes))
        return Fail("Unknown System Bus Mode\r\n");
    return {kModes[mode], InfoHealth::Healthy};
}

CInfoDump Qstack(const BackdoorRequest* reply, uint32_t line, std::optional<uint32_t> protocol)
{
    if (reply == nullptr)
        return Fail(FormatText("GetInfoQstack: GroupIndex %d, Tapi Function Call Error", D(line)));
    if (reply->Status != 0) {
        // A robbed-bit line has no layer 2 to ask about; anything else is the driver's refusal.
        if (protocol == 0u)
            return {"Robbed Bit Signalling \r\n", InfoHealth::Healthy};
        return Fail(FormatText("GetInfoQstack: GroupIndex %d, Driver Error Code=0x%08x", D(line), reply->Status));
    }
    switch (reply->Arg[1]) {
    case 1: return Fail("layer 2 link connection released\r\n");
    case 2: return {"layer 2 awaiting establish\r\n", InfoHealth::Healthy};
    case 3: return Fail("layer 2 awaiting release\r\n");
    case 4: return {"layer 2 link connection established\r\n", InfoHealth::Healthy};
    default: return Fail("layer 2 state unknown\r\n");
    }
}

CInfoDump Driver(const CDriverFacts& facts, const std::vector<const BackdoorRequest*>& groups)
{
    CInfoDump d;
    d.Text += FormatText("Total TAPI line devices= %d\r\n", D(facts.LineDevices));
    d.Text += FormatText("DVPT TAPI line devices= %d\r\n", D(facts.KeptLines));
    if (facts.LineDevices == 0 || facts.KeptLines == 0)
        Unhealthy(d);
    d.Text += FormatText("TAPI version= 0x%08x\r\n", facts.TapiVersion);
    d.Text += FormatText("NDIS TSPI version= 0x%08x\r\n", facts.LineVersion);
    auto version = [](uint64_t v) {
        uint32_t ms = static_cast<uint32_t>(v >> 32), ls = static_cast<uint32_t>(v);
        return FormatText("%d.%d.%d.%d", D(ms >> 16), D(ms & 0xFFFF), D(ls >> 16), D(ls & 0xFFFF));
    };
    if (facts.AppletVersion)
        d.Text += "Control Panel Applet Version " + version(*facts.AppletVersion) + "\r\n";
    if (facts.DriverVersion)
        d.Text += "Vornet.sys Driver Version " + version(*facts.DriverVersion) + "\r\n\r\n";
    static const char* const kCounters[] = {
        "DialRequests=\t\t%d\r\n",          "AnswerRequests=\t\t%d\r\n",        "IncomingInd=\t\t%d\r\n",
        "ConnectInd=\t\t%d\r\n",            "Connect 64K ISDN=\t%d\r\n",        "Connect 56K ISDN=\t%d\r\n",
        "33600 < Connect <=56000 =\t%d\r\n", "14400 < Connect <=33600 =\t%d\r\n", "300 < Connect <=14400 =\t%d\r\n",
        "Connect @ 300=\t\t%d\r\n",         "Connect Voice=\t\t%d\r\n",
    };
    for (size_t g = 0; g < groups.size(); g++) {
        d.Text += FormatText("Group: %d\r\n", D(static_cast<uint32_t>(g)));
        const BackdoorRequest* reply = groups[g];
        if (auto f = Failure(reply, "Tapi Function Call Error\r\n", "Driver Error Code=0x%08x\r\n")) {
            d.Text += f->Text;
            Unhealthy(d);
            continue;
        }
        std::vector<uint32_t> w = SegmentWords(*reply, 0);
        if (w.size() < std::size(kCounters)) {
            d.Text += FormatText("Reply too short (%u words)\r\n", static_cast<unsigned>(w.size()));
            Unhealthy(d);
            continue;
        }
        for (size_t i = 0; i < std::size(kCounters); i++)
            d.Text += FormatText(kCounters[i], D(w[i]));
    }
    return d;
}

}  // namespace infodump

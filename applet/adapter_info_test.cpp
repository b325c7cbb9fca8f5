// The "Device Manager" page: its dump builders over hand-made reply records (what each
// state shows, refusals, replies whose lengths and counts lie), and the page on the
// served default board: the whole object tree with its pictures, a selection and
// "Refresh", and what a line down, a stopped processor and refused requests look like.
#include "applet/AdapterInfoPage.h"
#include "applet/applet_fixture.h"
#include "platform/version_resource.h"
#include "sim/board/hdlc.h"

extern const VersionResource VornetDriverVersion;

using namespace applettest;
namespace fs = std::filesystem;

namespace {

// A reply record with words in its segments, laid out one after another.
struct Reply {
    std::unique_ptr<BackdoorRequest> r = std::make_unique<BackdoorRequest>();
    uint32_t next = kBackdoorHeaderSize;
    explicit Reply(uint32_t status = 0)
    {
        std::memset(r.get(), 0, sizeof *r);
        r->Signature = kBackdoorSignature;
        r->Status = status;
    }
    Reply& Segment(int k, const std::vector<uint32_t>& words)
    {
        r->Segment[k].Offset = next;
        r->Segment[k].Length = static_cast<uint32_t>(words.size() * 4);
        std::memcpy(reinterpret_cast<uint8_t*>(r.get()) + next, words.data(), words.size() * 4);
        next += static_cast<uint32_t>(words.size() * 4);
        return *this;
    }
    Reply& Arg(int i, uint32_t v)
    {
        r->Arg[i] = v;
        return *this;
    }
    const BackdoorRequest* get() const { return r.get(); }
};

// The adapter summary as the driver answers it for the default board.
std::vector<uint32_t> AdapterWords()
{
    std::vector<uint32_t> w = {4,          1,          1,          5,       0,       3005168, 0x1234abcd,
                               1,          3,          0xE0000000, 0xE0000001, 0xE1000000, 0xE1000001, 0xE2000000,
                               0xE2000001, 0x2000,     11,         12,      13,      14,      8};
    const char name[32] = "\\Device\\VORNET1";
    for (int i = 0; i < 8; i++) {
        uint32_t v;
        std::memcpy(&v, name + 4 * i, 4);
        w.push_back(v);
    }
    for (uint32_t v : {24u, 0u, 2u, 100u, 262144u, 32u})
        w.push_back(v);
    return w;
}

// Words 7 to 19 of a CSM or pump: the connection counters 1 to 13.
std::vector<uint32_t> WithCounters(std::vector<uint32_t> head)
{
    head.resize(7);
    for (uint32_t i = 1; i <= 13; i++)
        head.push_back(i);
    return head;
}

// ---- the builders ---------------------------------------------------------------------------

TEST(AdapterInfoDumps, AdapterSummaryReadsAsTheDriverLaysItOut)
{
    CInfoDump d = infodump::Adapter(Reply().Segment(0, AdapterWords()).get());
    EXPECT_EQ(d.Health, InfoHealth::Healthy);
    EXPECT_EQ(d.Text,
              "ID= 4\r\nNumber of System Buses= 1\r\nNumber of Line Interfaces= 1\r\nNumber of Sockets= 5\r\n"
              "Need Reset ? No\r\nSize of Adapter Info block= 2934 KBytes\r\nMiniportAdapterHandle= 0x1234ABCD\r\n"
              "Instance= 1\r\n\r\nPCI Slot= 3\r\nVirtual Address PCI Func. 0 = 0xE0000000\r\n"
              "Physical Address PCI Func. 0 = 0xE0000001\r\nVirtual Address PCI Func. 1 = 0xE1000000\r\n"
              "Physical Address PCI Func. 1 = 0xE1000001\r\nVirtual Address Shared Memory= 0xE2000000\r\n"
              "Physical Address Shared Memory= 0xE2000001\r\nSize of Shared Memory= 8 KBytes\r\n"
              "IRQ Vector 847x= 11\r\nIRQ Level 847x= 12\r\nIRQ Vector EBUS= 13\r\nIRQ Level EBUS= 14\r\n"
              "\r\nDevice Name: \\Device\\VORNET1\r\nLine Devices= 24\r\nPhone Devices= 0\r\nOpen Lines= 2\r\n"
              "Device ID Base= 100\r\n\r\nCSM Code Size= 256 KBytes\r\n");

    std::vector<uint32_t> w = AdapterWords();
    w[4] = 1;
    d = infodump::Adapter(Reply().Segment(0, w).get());
    EXPECT_NE(d.Text.find("Need Reset ? Yes\r\n"), std::string::npos);
    EXPECT_EQ(d.Health, InfoHealth::Unhealthy) << "an adapter that needs a reset";
    for (uint32_t type : {0u, 8u, 0xFFFFFFFFu}) {
        w = AdapterWords();
        w[0] = type;
        d = infodump::Adapter(Reply().Segment(0, w).get());
        char expected[64];
        std::snprintf(expected, sizeof expected, "Unknown Adapter Type 0x%x", type);
        EXPECT_EQ(d.Text, expected);
        EXPECT_EQ(d.Health, InfoHealth::Unhealthy);
    }
}

// The name's length and terminator, and the words after it, are taken from the reply only
// as far as the reply holds them.
TEST(AdapterInfoDumps, AdapterNameIsBoundedByItsLengthAndByTheReply)
{
    std::vector<uint32_t> w = AdapterWords();
    for (int i = 21; i < 29; i++)
        w[i] = 0x41414141;  // "AAAA...": no terminator in its eight words
    CInfoDump d = infodump::Adapter(Reply().Segment(0, w).get());
    EXPECT_NE(d.Text.find("\r\nDevice Name: " + std::string(32, 'A') + "\r\nLine Devices= 24\r\n"), std::string::npos)
        << d.Text;

    for (uint32_t length : {0xFFFFFFFFu, 0x40000000u, 11u, 10u}) {
        SCOPED_TRACE("name length " + std::to_string(length));
        w = AdapterWords();
        w[20] = length;  // past the end of the reply: the five words after it are missing
        d = infodump::Adapter(Reply().Segment(0, w).get());
        EXPECT_EQ(d.Text, "GetInfoAdapter:Reply too short (35 words)");
        EXPECT_EQ(d.Health, InfoHealth::Unhealthy);
    }
    w = AdapterWords();
    w[20] = 0;
    d = infodump::Adapter(Reply().Segment(0, w).get());
    EXPECT_NE(d.Text.find("\r\nDevice Name: \r\n"), std::string::npos) << "an empty name";

    // A segment that claims more than the record holds is read to the record's end only.
    Reply big;
    big.Segment(0, AdapterWords());
    big.r->Segment[0].Offset = kBackdoorRequestSize - 8;
    big.r->Segment[0].Length = 0xFFFFFFFF;
    d = infodump::Adapter(big.get());
    EXPECT_EQ(d.Text, "Unknown Adapter Type 0x0");
    big.r->Segment[0].Offset = 12;  // inside the header
    EXPECT_EQ(infodump::Adapter(big.get()).Text, "GetInfoAdapter:Reply too short (0 words)");
}

// The counts the tree is built from: read from the words the reply holds, never from a
// table of 150 words copied whatever the reply's length.
TEST(AdapterInfoDumps, TreeCountsComeOnlyFromTheReplysWords)
{
    struct Case {
        size_t words;
        CAdapterCounts::Outcome outcome;
        uint32_t type, sockets;
    } cases[] = {
        {35, CAdapterCounts::Sent, 4, 5},     {2, CAdapterCounts::Sent, 4, 0},      {0, CAdapterCounts::Sent, 0, 0},
        {50, CAdapterCounts::Sent, 4, 5},     {150, CAdapterCounts::Sent, 4, 5},
        {151, CAdapterCounts::TooLong, 0, 0},
        {4000, CAdapterCounts::TooLong, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.words) + " words");
        std::vector<uint32_t> w = AdapterWords();
        w.resize(c.words, 7);
        CAdapterCounts counts = infodump::AdapterCounts(Reply().Segment(0, w).get());
        EXPECT_EQ(counts.Result, c.outcome);
        EXPECT_EQ(counts.Words, c.words);
        EXPECT_EQ(counts.Type, c.type);
        EXPECT_EQ(counts.Sockets, c.sockets);
    }
    EXPECT_EQ(infodump::AdapterCounts(nullptr).Result, CAdapterCounts::NotSent);
    Reply refused(0xF0000002);
    refused.Segment(0, AdapterWords());
    CAdapterCounts counts = infodump::AdapterCounts(refused.get());
    EXPECT_EQ(counts.Result, CAdapterCounts::Refused);
    EXPECT_EQ(counts.Buses + counts.Lines + counts.Sockets, 0u) << "a refused reply is not read as counts";
}

// The tree's counts come from the driver: however many objects it claims, no more are made
// than the board rows and the item codes name, and an object whose bus is not in the tree
// hangs from the adapter.
TEST(AdapterInfoDumps, TreeOfLyingCountsStaysWithinTheRows)
{
    const ModuleTypeRow* modules[kModuleSockets];
    for (auto& m : modules)
        m = &applet::ModuleTypeTable[6];  // two processors of twelve pumps
    CAdapterCounts counts;
    counts.Result = CAdapterCounts::Sent;
    counts.Type = 7;
    counts.Buses = counts.Lines = counts.Sockets = 0xFFFFFFFF;
    std::vector<CTreeEntry> plan = infodump::TreePlan(counts, &applet::BoardTypeTable[7], modules);
    std::map<uint32_t, size_t> perType;
    for (size_t i = 0; i < plan.size(); i++) {
        perType[plan[i].Code >> 24]++;
        ASSERT_LT(plan[i].Parent, static_cast<int>(i)) << "a parent is added before its children";
    }
    EXPECT_EQ(perType[infodump::kSystemBus], 4u);
    EXPECT_EQ(perType[infodump::kLineIntf], 4u);
    EXPECT_EQ(perType[infodump::kModule], 8u);
    EXPECT_EQ(perType[infodump::kCsmDevice], 16u);
    EXPECT_EQ(perType[infodump::kPumpDevice], 16u * 12u);
    EXPECT_EQ(plan.front().Code, 0x01000000u);
    EXPECT_EQ(plan.back().Text, "Driver");
    EXPECT_EQ(plan.back().Parent, -1);
    // Board type 7 puts socket k on bus k for the first four sockets, the rest on bus 0.
    for (const CTreeEntry& e : plan) {
        if (e.Code >> 24 != infodump::kModule)
            continue;
        uint32_t k = (e.Code >> 16) & 0xFF;
        EXPECT_EQ(plan[e.Parent].Code, 0x07000000u + (k < 4 ? k : 0) * 0x10000) << e.Text;
    }
    EXPECT_EQ(plan[2].Text, "Bt8472 Port 0") << "the controller is named for four buses only when four are reported";

    // Four buses reported: the four-port controller; a socket on a bus the adapter lacks.
    BoardTypeRow board = applet::BoardTypeTable[7];
    board.Word[12 + 1] = 200;
    counts.Buses = 4, counts.Lines = 1, counts.Sockets = 2;
    plan = infodump::TreePlan(counts, &board, modules);
    EXPECT_EQ(plan[2].Text, "Bt8474 Port 0");
    for (const CTreeEntry& e : plan) {
        if (e.Code == 0x04010000) {
            EXPECT_EQ(e.Parent, 0) << "under the adapter";
        }
    }
}

// Every object's request that cannot be sent or is refused shows its failure message and
// the unhealthy picture, whatever data the refused record carries.
TEST(AdapterInfoDumps, UnsentAndRefusedRequestsShowTheirFailure)
{
    using Builder = std::function<CInfoDump(const BackdoorRequest*)>;
    struct Case {
        const char* name;
        Builder build;
        const char* unsent;
        const char* refused;
    } cases[] = {
        {"adapter", [](const BackdoorRequest* r) { return infodump::Adapter(r); },
         "GetInfoAdapter:Tapi Function Call Error", "GetInfoAdapter:Driver Error Code=0xf0000003"},
        {"line", [](const BackdoorRequest* r) { return infodump::LineIntf(r, 2); },
         "GetInfoLineIntf: GroupIndex 2,Tapi Function Call Error",
         "GetInfoLineIntf: GroupIndex 2, Driver Error Code=0xf0000003"},
        {"data", [](const BackdoorRequest* r) { return infodump::DataIntf(r, 1); },
         "GetInfoDataIntf:GroupIndex 1, Tapi Function Call Error",
         "GetInfoDataIntf:Group 1, Driver Error Code=0xf0000003"},
        {"module", [](const BackdoorRequest* r) { return infodump::Module(r, 3); },
         "GetInfoModule: SocketIndex 3, Tapi Function Call Error",
         "GetInfoModule: SocketIndex 3, Driver Error Code=0xf0000003"},
        {"csm", [](const BackdoorRequest* r) { return infodump::CsmDevice(r, 3, 1); },
         "GetInfoCsmDevice: SocketIndex 3, CsmIndex 1, Tapi Function Call Error",
         "GetInfoCsmDevice: SocketIndex 3, CsmIndex 1, Driver Error Code=0xf0000003"},
        {"pump", [](const BackdoorRequest* r) { return infodump::PumpDevice(r, 3, 1, 2); },
         "GetInfoPumpDevice: SocketIndex 3, CsmIndex 1, PumpIndex 2, Tapi Function Call Error",
         "GetInfoPumpDevice: SocketIndex 3, CsmIndex 1, PumpIndex 2, Driver Error Code=0xf0000003"},
        {"bus", [](const BackdoorRequest* r) { return infodump::SystemBus(r, 0); },
         "GetInfoSystemBus: GroupIndex 0, Tapi Function Call Error",
         "GetInfoSystemBus: GroupIndex 0, Driver Error Code=0xf0000003"},
        {"qstack", [](const BackdoorRequest* r) { return infodump::Qstack(r, 1, 1u); },
         "GetInfoQstack: GroupIndex 1, Tapi Function Call Error",
         "GetInfoQstack: GroupIndex 1, Driver Error Code=0xf0000003"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CInfoDump d = c.build(nullptr);
        EXPECT_EQ(d.Text, c.unsent);
        EXPECT_EQ(d.Health, InfoHealth::Unhealthy);
        // A refused record whose arguments and segment would read as a healthy object.
        Reply refused(0xF0000003);
        refused.Segment(0, WithCounters({4, 1, 0, 0, 3, 0, 0})).Arg(0, 0).Arg(1, 4);
        d = c.build(refused.get());
        EXPECT_EQ(d.Text, c.refused);
        EXPECT_EQ(d.Health, InfoHealth::Unhealthy);
    }
}

TEST(AdapterInfoDumps, StatesGiveTheirTextsAndPictures)
{
    using H = InfoHealth;
    struct Case {
        const char* kind;
        uint32_t value;
        const char* text;
        H health;
    } cases[] = {
        {"bus", 0, "1.544 MHz Bus\r\n", H::Healthy},         {"bus", 1, "4.096 MHz Bus\r\n", H::Healthy},
        {"bus", 4, "4.096 MHz Bus\r\n", H::Healthy},         {"bus", 5, "8.192 MHz Bus\r\n", H::Healthy},
        {"bus", 3, "2.048 MHz Bus\r\n", H::Healthy},         {"bus", 7, "Nx64 T1 Mode\r\n", H::Healthy},
        {"bus", 12, "Nx64 4 E1 Mode\r\n", H::Healthy},       {"bus", 13, "Unknown System Bus Mode\r\n", H::Unhealthy},
        {"csm", 0, "CSM_NEED_CODE_DOWNLOAD\r\n", H::Healthy}, {"csm", 3, "CSM_READY\r\n", H::Healthy},
        {"csm", 4, "CSM_NEED_RESET\r\n", H::Unhealthy},      {"csm", 5, "CSM_IN_RESET\r\n", H::Healthy},
        {"csm", 6, "CSM_OUTOF_SERVICE\r\n", H::Unhealthy},   {"csm", 7, "Unknown State\r\n", H::Unhealthy},
        {"pump", 0, "PUMP_NEED_RESET\r\n", H::Unhealthy},    {"pump", 3, "PUMP_IDLE\r\n", H::Healthy},
        {"pump", 6, "PUMP_ON_LINE\r\n", H::Healthy},         {"pump", 8, "PUMP_GET_STATISTICS\r\n", H::Healthy},
        {"pump", 9, "PUMP_OUT_OF_SERVICE\r\n", H::Unhealthy}, {"pump", 10, "Unknown State\r\n", H::Unhealthy},
        {"framer", 9, "Status=Synchronized to Network\r\n", H::Healthy},
        {"framer", 8, "Status=Not Synchronized to Network\r\n", H::Unhealthy},
        {"framer", 5, "Status=2nd Resed Process Passed\r\n", H::Healthy},
        {"framer", 0, "Status=No Bt8370 Present\r\n", H::Unhealthy},
        {"framer", 10, "Status=BAD STATE\r\n", H::Unhealthy},
        {"layer2", 1, "layer 2 link connection released\r\n", H::Unhealthy},
        {"layer2", 2, "layer 2 awaiting establish\r\n", H::Healthy},
        {"layer2", 3, "layer 2 awaiting release\r\n", H::Unhealthy},
        {"layer2", 4, "layer 2 link connection established\r\n", H::Healthy},
        {"layer2", 0, "layer 2 state unknown\r\n", H::Unhealthy},
        {"data", 0, "OK\r\n", H::Healthy},                   {"data", 2, "OK\r\n", H::Healthy},
        {"data", 3, "Failed Reset \r\n", H::Unhealthy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + std::to_string(c.value));
        CInfoDump d;
        std::string kind = c.kind;
        if (kind == "bus") {
            d = infodump::SystemBus(Reply().Arg(1, c.value).get(), 0);
        } else if (kind == "csm") {
            d = infodump::CsmDevice(Reply().Segment(0, WithCounters({0, 1, 0x4000, 3, c.value, 2, 1})).get(), 0, 1);
        } else if (kind == "pump") {
            d = infodump::PumpDevice(Reply().Segment(0, WithCounters({2, c.value, 0, 5, 1, 7, 40})).get(), 0, 0, 2);
        } else if (kind == "framer") {
            std::vector<uint32_t> f(543, 0);
            f[28] = c.value;
            d = infodump::LineIntf(Reply().Segment(0, std::vector<uint32_t>(512, 0)).Segment(1, f).get(), 0);
        } else if (kind == "layer2") {
            d = infodump::Qstack(Reply().Arg(1, c.value).get(), 0, 1u);
        } else {
            d = infodump::DataIntf(Reply().Arg(0, c.value).get(), 0);
        }
        EXPECT_NE(d.Text.find(c.text), std::string::npos) << d.Text;
        EXPECT_EQ(d.Health, c.health);
    }
}

// A refused layer-2 query is robbed-bit signalling only on a line that runs it; on any
// other line it is the driver's refusal.
TEST(AdapterInfoDumps, RefusedLayer2QueryIsRobbedBitOnlyOnARobbedBitLine)
{
    struct Case {
        std::optional<uint32_t> protocol;
        const char* text;
        InfoHealth health;
    } cases[] = {
        {0u, "Robbed Bit Signalling \r\n", InfoHealth::Healthy},
        {1u, "GetInfoQstack: GroupIndex 2, Driver Error Code=0xf0000003", InfoHealth::Unhealthy},
        {6u, "GetInfoQstack: GroupIndex 2, Driver Error Code=0xf0000003", InfoHealth::Unhealthy},
        {std::nullopt, "GetInfoQstack: GroupIndex 2, Driver Error Code=0xf0000003", InfoHealth::Unhealthy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protocol ? std::to_string(*c.protocol) : "unknown");
        CInfoDump d = infodump::Qstack(Reply(0xF0000003).Arg(1, 4).get(), 2, c.protocol);
        EXPECT_EQ(d.Text, c.text);
        EXPECT_EQ(d.Health, c.health);
    }
}

TEST(AdapterInfoDumps, ModuleLineAndCountersRead)
{
    CInfoDump d = infodump::Module(Reply().Segment(0, {4, 1, 0, 2, 0x4000, 0x40, 2, 100, 1, 0}).get(), 2);
    EXPECT_EQ(d.Text,
              "QM203 Module\r\nCSM Devices\r\nSystem Bus= 0\r\nSocket= 2\r\nBase Address= 0x00004000\r\n"
              "Offset Per Device= 0x00000040\r\nDevices= 2\r\nBackground Period= 100 msec\r\nTotal Resets= 1\r\n"
              "Successive Resets= 0\r\n");
    EXPECT_EQ(d.Health, InfoHealth::Healthy);
    d = infodump::Module(Reply().Segment(0, {0, 0, 0, 2, 0, 0, 0, 0, 0, 0}).get(), 2);
    EXPECT_EQ(d.Text, "Module not installed\r\n");
    EXPECT_EQ(d.Health, InfoHealth::NotInstalled);
    EXPECT_STREQ(infodump::ModuleModel(7), "QM103P");
    EXPECT_STREQ(infodump::ModuleModel(24), "QX212P");
    d = infodump::Module(Reply().Segment(0, {25, 2, 0, 2, 0, 0, 0, 0, 0, 0}).get(), 2);
    EXPECT_EQ(d.Text.substr(0, 40), "Unknown Module ID\r\nUnknown Module Type\r\n");
    EXPECT_EQ(d.Health, InfoHealth::Unhealthy);
    d = infodump::Module(Reply().Segment(0, {4, 1, 0}).get(), 2);
    EXPECT_EQ(d.Text, "GetInfoModule: SocketIndex 2, Reply too short (3 words)");

    d = infodump::PumpDevice(Reply().Segment(0, WithCounters({2, 6, 1, 5, 1, 7, 40})).get(), 0, 0, 2);
    EXPECT_EQ(d.Text,
              "Device#2\r\nPUMP_ON_LINE\r\nSuccessive Resets= 1\r\nGood Connections= 5\r\nFailed Connections= 1\r\n"
              "PCM timeslot= 7\r\nData timeslots= 40,41,42\r\nGood Connections=\t1\r\nFailed Connections=\t2\r\n"
              "DialRequests=\t3\r\nAnswerRequests=\t4\r\nIncomingInd=\t5\r\nConnectInd=\t6\r\n"
              "Connect 64K ISDN=\t\t7\r\nConnect 56K ISDN=\t\t8\r\n33600 < Connect <=56000 =\t9\r\n"
              "14400 < Connect <=33600 =\t10\r\n300 < Connect <=14400 =\t11\r\nConnect @ 300=\t\t12\r\n"
              "Connect in Voice mode=\t13\r\n");
    EXPECT_EQ(infodump::PumpDevice(Reply().Segment(0, std::vector<uint32_t>(19, 1)).get(), 0, 0, 2).Text,
              "GetInfoPumpDevice: SocketIndex 0, CsmIndex 0, PumpIndex 2, Reply too short (19 words)");

    std::vector<uint32_t> regs(512, 0), f(543, 0);
    regs[1] = 0x01;
    f[28] = 9, f[32] = 0xE000A000, f[33] = 1, f[48] = 2, f[49] = 0, f[51] = 3, f[52] = 1;
    d = infodump::LineIntf(Reply().Segment(0, regs).Segment(1, f).get(), 0);
    EXPECT_EQ(d.Text,
              "Base Address= 0xe000a000\r\nT1 1.544 MHz line rate\r\nNumber of reset= 2\r\n"
              "Status=Synchronized to Network\r\nMaster\r\nOut Band Signalling\r\nNumber of PH-ACTIVATE= 3\r\n"
              "Number of PH-DEACTIVATE= 1\r\n");
    regs[1] = 0x02, f[33] = 0, f[49] = 1;
    d = infodump::LineIntf(Reply().Segment(0, regs).Segment(1, f).get(), 0);
    EXPECT_NE(d.Text.find("E1 2.048 MHz line rate\r\n"), std::string::npos);
    EXPECT_NE(d.Text.find("Slave\r\nIn Band Signalling\r\n"), std::string::npos);
    f.resize(52);
    EXPECT_EQ(infodump::LineIntf(Reply().Segment(0, regs).Segment(1, f).get(), 0).Health, InfoHealth::Unhealthy)
        << "a framer record without its last counter";
}

// The driver's dump: a line whose statistics are refused shows the refusal, not nothing.
TEST(AdapterInfoDumps, DriverDumpShowsEachLinesStatisticsOrItsFailure)
{
    CDriverFacts facts;
    facts.LineDevices = 30;
    facts.KeptLines = 24;
    facts.TapiVersion = 0x00020000;
    facts.LineVersion = 0x00010004;
    facts.AppletVersion = uint64_t(0x00010002) << 32 | 0x00030004;
    std::vector<uint32_t> counters;
    for (uint32_t i = 1; i <= 11; i++)
        counters.push_back(i * 10);
    Reply good, refused(0xFFFFFFFF), shortReply;
    good.Segment(0, counters);
    refused.Segment(0, counters);
    shortReply.Segment(0, {1, 2});
    CInfoDump d = infodump::Driver(facts, {good.get()});
    EXPECT_EQ(d.Text,
              "Total TAPI line devices= 30\r\nDVPT TAPI line devices= 24\r\nTAPI version= 0x00020000\r\n"
              "NDIS TSPI version= 0x00010004\r\nControl Panel Applet Version 1.2.3.4\r\nGroup: 0\r\n"
              "DialRequests=\t\t10\r\nAnswerRequests=\t\t20\r\nIncomingInd=\t\t30\r\nConnectInd=\t\t40\r\n"
              "Connect 64K ISDN=\t50\r\nConnect 56K ISDN=\t60\r\n33600 < Connect <=56000 =\t70\r\n"
              "14400 < Connect <=33600 =\t80\r\n300 < Connect <=14400 =\t90\r\nConnect @ 300=\t\t100\r\n"
              "Connect Voice=\t\t110\r\n");
    EXPECT_EQ(d.Health, InfoHealth::Healthy);

    facts.DriverVersion = uint64_t(0x00050006) << 32 | 0x00070008;
    d = infodump::Driver(facts, {refused.get(), nullptr, shortReply.get()});
    EXPECT_NE(d.Text.find("Vornet.sys Driver Version 5.6.7.8\r\n\r\nGroup: 0\r\nDriver Error Code=0xffffffff\r\n"
                          "Group: 1\r\nTapi Function Call Error\r\nGroup: 2\r\nReply too short (2 words)\r\n"),
              std::string::npos)
        << d.Text;
    EXPECT_EQ(d.Text.find("DialRequests"), std::string::npos) << "a refused record is not read as counters";
    EXPECT_EQ(d.Health, InfoHealth::Unhealthy);

    facts.KeptLines = 0;
    EXPECT_EQ(infodump::Driver(facts, {}).Health, InfoHealth::Unhealthy) << "none of our TAPI lines";
}

// ---- the page on the served board -------------------------------------------------------------

class AdapterInfoTest : public AppletTest {
protected:
    void SetUp() override
    {
        AppletTest::SetUp();
        setenv("VORNET_LIBRARY_PATH", (std::string(TAPI32_DIR) + ":" + VORNETAP_DIR).c_str(), 1);
        std::ofstream(root.dir / "C/WINNT/system32/drivers/vornet.sys", std::ios::binary)
            .write(reinterpret_cast<const char*>(&VornetDriverVersion), sizeof VornetDriverVersion);
    }

    // Opens the applet, adds the page to its sheet and shows it, then lets `look` look at it.
    void WithPage(const std::function<void(CMyPropertySheet&, CMyPropertyPage7&)>& look)
    {
        // The page comes with the adapter's debug pages, in the sheet they size.
        ChangeHive([](plat::reg::Registry& r) { r.set_dword(kParameters, "DebugPagesOn", 1); });
        OpenApplet([&](CMyPropertySheet& sheet) {
            CMyPropertyPage7& page = sheet.m_InfoPage;
            ASSERT_TRUE(sheet.HasCommonPages());
            sheet.SetActivePage(&page);
            ASSERT_NE(page.GetSafeHwnd(), nullptr);
            look(sheet, page);
            afxtest::CloseWindow(&sheet);
        });
    }

    // The tree, one line per item: its depth in spaces, text, code and picture's bitmap.
    static std::vector<std::string> Tree(CMyPropertyPage7& page)
    {
        std::vector<std::string> lines;
        std::function<void(HTREEITEM, int)> walk = [&](HTREEITEM item, int depth) {
            for (; item != nullptr; item = page.m_Tree.GetNextSiblingItem(item)) {
                int image = -1, selected = -1;
                page.m_Tree.GetItemImage(item, image, selected);
                char line[160];
                std::snprintf(line, sizeof line, "%s%s %08x %s", std::string(depth * 2, ' ').c_str(),
                              page.m_Tree.GetItemText(item).str().c_str(), (unsigned)page.m_Tree.GetItemData(item),
                              Picture(page, image).c_str());
                lines.push_back(line);
                EXPECT_EQ(image, selected) << line;
                walk(page.m_Tree.GetChildItem(item), depth + 1);
            }
        };
        walk(page.m_Tree.GetRootItem(), 0);
        return lines;
    }
    static std::string Picture(CMyPropertyPage7& p, int image)
    {
        const std::pair<int, const char*> names[] = {
            {p.m_iAdapter, "adapter"},  {p.m_iAdapterBad, "adapter!"}, {p.m_iPump, "pump"},
            {p.m_iPumpBad, "pump!"},    {p.m_iBus, "bus"},             {p.m_iBusBad, "bus!"},
            {p.m_iModule, "module"},    {p.m_iModuleBad, "module!"},   {p.m_iModuleNone, "empty"},
            {p.m_iDevice, "device"},    {p.m_iDeviceBad, "device!"},   {p.m_iQstack, "stack"},
            {p.m_iQstackBad, "stack!"}, {p.m_iDriver, "driver"},       {p.m_iDriverBad, "driver!"},
        };
        for (const auto& [i, name] : names)
            if (i == image)
                return name;
        return "image " + std::to_string(image);
    }
    static HTREEITEM Find(CMyPropertyPage7& page, uint32_t code)
    {
        std::function<HTREEITEM(HTREEITEM)> walk = [&](HTREEITEM item) -> HTREEITEM {
            for (; item != nullptr; item = page.m_Tree.GetNextSiblingItem(item)) {
                if (page.m_Tree.GetItemData(item) == code)
                    return item;
                if (HTREEITEM found = walk(page.m_Tree.GetChildItem(item)))
                    return found;
            }
            return nullptr;
        };
        return walk(page.m_Tree.GetRootItem());
    }
    static std::string Image(CMyPropertyPage7& page, HTREEITEM item)
    {
        int image = -1, selected = -1;
        page.m_Tree.GetItemImage(item, image, selected);
        return Picture(page, image);
    }
    static std::string Text(CMyPropertyPage7& page)
    {
        CString text;
        page.GetDlgItemText(IDC_INFO_TEXT, text);
        const std::string s = text.str();
        // The edit may keep its lines with either ending.
        std::string lines;
        lines.reserve(s.size());
        for (size_t i = 0; i < s.size(); i++)
            if (s[i] != '\r' || i + 1 == s.size() || s[i + 1] != '\n')
                lines += s[i];
        return lines;
    }
    // Every line of the text, its value included, lies inside the visible pane.
    static void ExpectWholeLinesVisible(CMyPropertyPage7& page)
    {
        const int width = afxtest::TextViewWidth(&page, IDC_INFO_TEXT);
        ASSERT_GT(width, 0);
        std::istringstream lines(Text(page));
        std::string line;
        for (int n = 0; std::getline(lines, line); n++)
            EXPECT_LE(afxtest::TextLineRight(&page, IDC_INFO_TEXT, n), width) << "line " << n << ": " << line;
    }
    void Select(CMyPropertyPage7& page, uint32_t code)
    {
        HTREEITEM item = Find(page, code);
        ASSERT_NE(item, nullptr) << std::hex << code;
        afxtest::SelectTreeItem(&page, IDC_INFO_TREE, item);
    }
};

// The default board: one system bus with its HDLC controller port, the T1 line's framer and
// stack, five modules of two modem processors with three pumps each, and the driver.
TEST_F(AdapterInfoTest, DefaultBoardShowsItsWholeTreeFromTheDriver)
{
    StartSim();
    WithPage([&](CMyPropertySheet& sheet, CMyPropertyPage7& page) {
        EXPECT_EQ(page.GetTitle(), "Device Manager");
        std::vector<std::string> expected = {
            " 01000000 adapter",
            "  System Bus 0 07000000 bus",
            "    Bt8472 Port 0 03000000 device",
            "    Bt8370 Device 0 02000000 device",
            "    Signalling 0 08000000 stack",
        };
        for (uint32_t k = 0; k < 5; k++) {
            char line[80];
            std::snprintf(line, sizeof line, "    Module %u %08x module", k, 0x04000000 + k * 0x10000);
            expected.push_back(line);
            for (uint32_t c = 0; c < 2; c++) {
                std::snprintf(line, sizeof line, "      CSM Device %u %08x device", c,
                              0x05000000 + k * 0x10000 + c * 0x100);
                expected.push_back(line);
                for (uint32_t p = 0; p < 3; p++) {
                    std::snprintf(line, sizeof line, "        Channel %u %08x pump", p,
                                  0x06000000 + k * 0x10000 + c * 0x100 + p);
                    expected.push_back(line);
                }
            }
        }
        expected.push_back("Driver 09000000 driver");
        EXPECT_EQ(Tree(page), expected);

        // After building, the driver's dump is showing.
        EXPECT_EQ(page.ItemCode, 0x09000000u);
        std::string text = Text(page);
        char tapi[128];
        std::snprintf(tapi, sizeof tapi, "Total TAPI line devices= %u\nDVPT TAPI line devices= %u\n",
                      sheet.m_LineDevices, sheet.m_KeptLines);
        EXPECT_EQ(text.rfind(tapi, 0), 0u) << text;
        EXPECT_NE(text.find("Control Panel Applet Version 1.0.0.1\nVornet.sys Driver Version 1.0.0.1\n\nGroup: 0\n"
                            "DialRequests=\t\t"),
                  std::string::npos)
            << text;
        EXPECT_EQ(text.find("Group: 1"), std::string::npos) << "the board has one line";

        // Selecting an object reads it again.
        Select(page, 0x01000000);
        EXPECT_EQ(page.ItemCode, 0x01000000u);
        text = Text(page);
        EXPECT_EQ(text.rfind("ID= 4\nNumber of System Buses= 1\nNumber of Line Interfaces= 1\nNumber of Sockets= 5\n"
                             "Need Reset ? No\n", 0),
                  0u)
            << text;
        Select(page, 0x07000000);
        EXPECT_EQ(Text(page), "8.192 MHz Bus\n");
        Select(page, 0x03000000);
        EXPECT_EQ(Text(page), "OK\n") << "the controller came up at its first reset";
        Select(page, 0x02000000);
        EXPECT_NE(Text(page).find("T1 1.544 MHz line rate\nNumber of reset="), std::string::npos) << Text(page);
        EXPECT_NE(Text(page).find("Status=Synchronized to Network\n"), std::string::npos) << Text(page);
        Select(page, 0x08000000);
        EXPECT_EQ(Text(page), "layer 2 link connection established\n");
        Select(page, 0x04030000);
        EXPECT_NE(Text(page).find("CSM Devices\nSystem Bus= 0\nSocket= 3\n"), std::string::npos) << Text(page);
        Select(page, 0x05030100);
        EXPECT_NE(Text(page).find("Device#1\n"), std::string::npos) << Text(page);
        EXPECT_NE(Text(page).find("CSM_READY\n"), std::string::npos) << Text(page);
        Select(page, 0x06030102);
        EXPECT_EQ(Text(page).rfind("Device#2\nPUMP_SLEEP\n", 0), 0u) << Text(page);
        afxtest::SelectSheetPage(&sheet, sheet.GetPageIndex(&page));
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("adapter-info-tree")));
    });
}

// A line down, a modem processor out of service and a pump the driver refuses to answer for
// each turn their item's picture to the unhealthy one when the item is read; "Refresh"
// renews the text only.
TEST_F(AdapterInfoTest, DriverErrorsGiveTheUnhealthyPicture)
{
    StartSim();
    // The applet believes socket 1 holds twelve pumps per processor; the driver has three.
    ChangeHive([](plat::reg::Registry& r) { r.set_dword(kParameters, "ModuleID_1", 6); });
    WithPage([&](CMyPropertySheet& sheet, CMyPropertyPage7& page) {
        HTREEITEM pump = Find(page, 0x06010005);
        ASSERT_NE(pump, nullptr);
        EXPECT_EQ(Image(page, pump), "pump!");
        Select(page, 0x06010005);
        EXPECT_EQ(Text(page),
                  "GetInfoPumpDevice: SocketIndex 1, CsmIndex 0, PumpIndex 5, Driver Error Code=0xf0000003");
        EXPECT_EQ(Image(page, Find(page, 0x06010002)), "pump") << "the pumps the driver has";

        // The processor stops: its picture turns on the next selection, not on "Refresh".
        HTREEITEM csm = Find(page, 0x05020100);
        Select(page, 0x05020100);
        EXPECT_EQ(Image(page, csm), "device");
        sim->Do([&] { sim->adapter()->Socket[2].Csms[1].State = CSM_DEAD; });
        afxtest::Click(&page, IDC_INFO_REFRESH);
        EXPECT_NE(Text(page).find("CSM_OUTOF_SERVICE\n"), std::string::npos) << Text(page);
        EXPECT_EQ(Image(page, csm), "device") << "Refresh renews the text only";
        Select(page, 0x05020000);
        Select(page, 0x05020100);
        EXPECT_EQ(Image(page, csm), "device!");

        // The network takes the line down.
        sim->Do([&] { sim->r.boards[0]->line(0).take_down(); });
        PumpUntil([&] {
            Select(page, 0x02000000);
            Select(page, 0x08000000);
            return Image(page, Find(page, 0x02000000)) == "device!" && Image(page, Find(page, 0x08000000)) == "stack!";
        });
        EXPECT_EQ(Image(page, Find(page, 0x02000000)), "device!");
        EXPECT_EQ(Image(page, Find(page, 0x08000000)), "stack!") << Text(page);

        // The HDLC controller is reset and its clocks never come: all three soft resets spent.
        HTREEITEM port = Find(page, 0x03000000);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(Image(page, port), "device");
        sim->Do([&] {
            sim->r.boards[0]->hdlc().knobs.clocks_never = true;
            rig::with_adapter_lock(sim->adapter(), [&] { ResetAdapter(sim->adapter()); });
        });
        ASSERT_TRUE(PumpUntil([&] {
            Select(page, 0x07000000);
            Select(page, 0x03000000);
            return Text(page) == "Failed Reset \n";
        })) << Text(page);
        EXPECT_EQ(Image(page, port), "device!");
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("adapter-info-errors")));
    });
}

// A speech call from the network reaches a pump: its item reads on line with the healthy
// picture, and the driver's dump counts the call on the line.
TEST_F(AdapterInfoTest, AFarEndCallShowsOnItsPumpAndInTheLinesCounters)
{
    StartSim();
    Link* l = nullptr;
    sim->Do([&] {
        rig::with_adapter_lock(sim->adapter(), [&] { l = LinkAcquire(sim->adapter(), 0, 0, 2, OWNER_DRIVER); });
    });
    ASSERT_NE(l, nullptr);
    WithPage([&](CMyPropertySheet& sheet, CMyPropertyPage7& page) {
        std::optional<sim::CallKey> key;
        sim->Do([&] { key = sim->net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::speech(false)); });
        ASSERT_TRUE(key.has_value());
        uint32_t code = 0;
        ASSERT_TRUE(PumpUntil([&] {
            sim->Do([&] {
                Pump* p = l->ThisPump;
                if (p != nullptr && p->PumpState == PUMP_ON_LINE)
                    code = infodump::ItemCode(infodump::kPumpDevice, p->ThisCsm->ThisSocket->SocketIndex,
                                              p->ThisCsm->Index, p->PumpNumber);
            });
            return code != 0;
        }));
        Select(page, code);
        EXPECT_NE(Text(page).find("\nPUMP_ON_LINE\n"), std::string::npos) << Text(page);
        EXPECT_EQ(Image(page, Find(page, code)), "pump");
        Select(page, 0x09000000);
        EXPECT_NE(Text(page).find("Group: 0\nDialRequests=\t\t0\nAnswerRequests=\t\t1\nIncomingInd=\t\t1\n"
                                  "ConnectInd=\t\t1\n"),
                  std::string::npos)
            << Text(page);
        ExpectWholeLinesVisible(page);
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("adapter-info-call")));
        Select(page, code);
        ExpectWholeLinesVisible(page);
        Select(page, 0x01000000);
        ExpectWholeLinesVisible(page);
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("adapter-info-adapter")));
        sim->Do([&] { sim->net->clear_call(*key); });
    });
}

// An empty socket: the driver and the applet both read its module type 0, so the module
// shows "Module not installed" with its own picture and has no processors under it.
TEST_F(AdapterInfoTest, AnEmptySocketShowsNotInstalledWithoutChildren)
{
    ChangeHive([](plat::reg::Registry& r) { r.set_dword(kParameters, "ModuleID_4", 0); });
    StartSim(false);
    WithPage([&](CMyPropertySheet&, CMyPropertyPage7& page) {
        HTREEITEM module = Find(page, 0x04040000);
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(Image(page, module), "empty");
        EXPECT_EQ(page.m_Tree.GetChildItem(module), nullptr);
        EXPECT_EQ(Find(page, 0x05040000), nullptr);
        Select(page, 0x04040000);
        EXPECT_EQ(Text(page), "Module not installed\n");
        EXPECT_EQ(Image(page, Find(page, 0x04030000)), "module") << "the other sockets keep their modules";
    });
}

// The four-line board: a system bus per line with its port of the four-port controller,
// the line's framer and stack, and the bus's module; the robbed-bit line has no layer 2
// and says so with the healthy picture.
TEST_F(AdapterInfoTest, FourLineBoardHasABusPerLineWithItsLineAndModule)
{
    ChangeHive([](plat::reg::Registry& r) {
        r.set_dword(kParameters, "AdapterID", 7);
        for (int k = 0; k < 4; k++)
            r.set_dword(kParameters, "ModuleID_" + std::to_string(k), 6);
        r.set_dword(kParameters, "SignallingProtocol_1", 2);
        r.set_dword(kParameters, "SignallingProtocol_2", 4);
        r.set_dword(kParameters, "LineMode_2", 1);
        r.set_dword(kParameters, "SystemBusMode_2", 5);
        r.set_dword(kParameters, "SignallingProtocol_3", 0);
    });
    StartSim(false);
    WithPage([&](CMyPropertySheet& sheet, CMyPropertyPage7& page) {
        std::vector<std::string> tree = Tree(page);
        std::vector<std::string> heads;
        for (const std::string& line : tree)
            if (line.find("Channel ") == std::string::npos && line.find("CSM Device ") == std::string::npos)
                heads.push_back(line.substr(0, line.rfind(' ')));  // the picture depends on the lines' state
        std::vector<std::string> expected = {" 01000000"};
        for (uint32_t i = 0; i < 4; i++) {
            char line[80];
            std::snprintf(line, sizeof line, "  System Bus %u %08x", i, 0x07000000 + i * 0x10000);
            expected.push_back(line);
            std::snprintf(line, sizeof line, "    Bt8474 Port %u %08x", i, 0x03000000 + i * 0x10000);
            expected.push_back(line);
            std::snprintf(line, sizeof line, "    Bt8370 Device %u %08x", i, 0x02000000 + i * 0x10000);
            expected.push_back(line);
            std::snprintf(line, sizeof line, "    Signalling %u %08x", i, 0x08000000 + i * 0x10000);
            expected.push_back(line);
            std::snprintf(line, sizeof line, "    Module %u %08x", i, 0x04000000 + i * 0x10000);
            expected.push_back(line);
        }
        expected.push_back("Driver 09000000");
        EXPECT_EQ(heads, expected);
        EXPECT_EQ(tree.size(), heads.size() + 4u * 2u * 13u) << "two processors of twelve pumps per module";
        for (uint32_t i = 0; i < 4; i++)
            EXPECT_EQ(Image(page, Find(page, 0x03000000 + i * 0x10000)), "device") << i;
        EXPECT_EQ(Image(page, Find(page, 0x08030000)), "stack");
        Select(page, 0x08030000);
        EXPECT_EQ(Text(page), "Robbed Bit Signalling \n");
        Select(page, 0x07020000);
        EXPECT_EQ(Text(page), "8.192 MHz Bus\n");
        Select(page, 0x02020000);
        EXPECT_NE(Text(page).find("E1 2.048 MHz line rate\n"), std::string::npos) << Text(page);
        Select(page, 0x04020000);
        EXPECT_NE(Text(page).find("QM212 Module\nCSM Devices\nSystem Bus= 2\nSocket= 2\n"), std::string::npos)
            << Text(page);
        Select(page, 0x09000000);
        EXPECT_NE(Text(page).find("Group: 3\nDialRequests="), std::string::npos) << Text(page);
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("adapter-info-four-lines")));
    });
}

// The adapter's type differs from the configured one: only the unknown adapter is shown.
TEST_F(AdapterInfoTest, AnAdapterOfAnotherTypeShowsOnlyTheUnknownRoot)
{
    StartSim();
    ChangeHive([](plat::reg::Registry& r) { r.set_dword(kParameters, "AdapterID", 5); });
    WithPage([&](CMyPropertySheet&, CMyPropertyPage7& page) {
        EXPECT_EQ(Tree(page), std::vector<std::string>{"Adapter: Unknown 01000000 adapter!"});
        EXPECT_EQ(Text(page), "Unknown Adapter Type 0x4");
    });
}

// No request reaches the driver: without the counts only the adapter and the driver are
// shown, both unhealthy, and the text tells why.
TEST_F(AdapterInfoTest, UnsentAdapterQueryShowsOnlyTheAdapterAndTheDriver)
{
    StartSim();
    std::unique_ptr<CMyPropertyPage7> page;
    OpenApplet([&](CMyPropertySheet& sheet) {
        sheet.m_CurrentAdapter = sheet.m_AdapterCount;  // an adapter the sheet has no device for
        page = std::make_unique<CMyPropertyPage7>();
        sheet.AddPage(page.get());
        sheet.SetActivePage(page.get());
        EXPECT_EQ(Tree(*page), (std::vector<std::string>{" 01000000 adapter!", "Driver 09000000 driver!"}));
        EXPECT_EQ(Text(*page), "Tapi Function Call Error");
        Select(*page, 0x01000000);
        EXPECT_EQ(Text(*page), "GetInfoAdapter:Tapi Function Call Error");
        Select(*page, 0x09000000);
        EXPECT_NE(Text(*page).find("Group: 0\nTapi Function Call Error\n"), std::string::npos) << Text(*page);

        page->ItemCode = 0x0A000000;
        EXPECT_EQ(page->GetInfo(), 0);
        EXPECT_EQ(Text(*page), "Unknown Object ItemCode 0xa000000");
        sheet.m_CurrentAdapter = 0;
        sheet.RemovePage(page.get());
        afxtest::CloseWindow(&sheet);
    });
}

// Signalling of a line that is not ISDN: a robbed-bit line has no layer 2 and says so with
// the healthy picture; a leased line's refused query is shown as the refusal.
TEST_F(AdapterInfoTest, SignallingOfLinesWithoutLayer2)
{
    struct Case {
        uint32_t protocol;
        const char* text;
        const char* picture;
    } cases[] = {
        {0, "Robbed Bit Signalling \n", "stack"},
        {6, "GetInfoQstack: GroupIndex 0, Driver Error Code=0xf0000003", "stack!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("SignallingProtocol " + std::to_string(c.protocol));
        ChangeHive([&](plat::reg::Registry& r) { r.set_dword(kParameters, "SignallingProtocol_0", c.protocol); });
        StartSim(false);
        WithPage([&](CMyPropertySheet&, CMyPropertyPage7& page) {
            EXPECT_EQ(Image(page, Find(page, 0x08000000)), c.picture);
            Select(page, 0x08000000);
            EXPECT_EQ(Text(page), c.text);
        });
        sim.reset();
    }
}

}  // namespace

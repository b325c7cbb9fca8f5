// The driver-attached objects: the transport and its bounded replies, the status
// snapshot and the state mappings, modem requests and addressing, the call history,
// configuration maps against the hive, directory numbers, the file copy and the text
// utilities, discovery, and SNMP requests.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "QLCommon/Adapter.h"
#include "QLCommon/Agent.h"
#include "QLCommon/SNMPRequest.h"
#include "QLCommon/mthrd.h"
#include "QLCommon/smem.h"
#include "QLCommon/strutil.h"
#include "QLCommon/fake_device.h"
#include "platform/win32/hive.h"
#include "platform/win32/test_root.h"

namespace fs = std::filesystem;

namespace {

const char* const kParams = "SYSTEM\\CurrentControlSet\\Services\\VORNET0\\Parameters";

// A run's root with a hive; the registry and files of this process live there.
struct Root : TempRoot {
    explicit Root(const std::string& hive = "REGEDIT4\n") : TempRoot("qlcommon-objects")
    {
        std::ofstream(dir / "registry.reg") << hive;
    }
    std::string read(const fs::path& p) const
    {
        std::ifstream f(dir / p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
};

struct Boxes {
    std::mutex lock;
    std::vector<std::string> texts;
    Boxes()
    {
        os_SetMessageBoxHandler([this](const std::string& t) {
            std::lock_guard<std::mutex> g(lock);
            texts.push_back(t);
        });
    }
    ~Boxes() { os_SetMessageBoxHandler(nullptr); }
    std::vector<std::string> taken()
    {
        std::lock_guard<std::mutex> g(lock);
        return std::move(texts);
    }
};

struct Counter : CObserver {
    std::atomic<int> count{0};
    void Update(CSubject*, SubjectHint) override { count++; }
};

// Runs a modem's (or any object's) queued message on this thread.
int32_t RunOne(CManageableObject* object, CMessage* message)
{
    struct Status : CObserver {
        int32_t status = -1;
        void Update(CSubject* s, SubjectHint) override { status = static_cast<CMessage*>(s)->GetStatus(); }
    } status;
    object->PushWithObserver(message, &status);
    object->Run();
    return status.status;
}

std::vector<uint8_t> Bytes(const std::vector<uint32_t>& words)
{
    std::vector<uint8_t> b(words.size() * 4);
    std::memcpy(b.data(), words.data(), b.size());
    return b;
}

// --- the transport ----------------------------------------------------------------

TEST(IOCTLTransport, TheReplyCopyStaysInsideTheRecord)
{
    Root root;
    BackdoorSegment answer{};
    std::mutex answerLock;
    FakeDevice device(root.dir, "VORNET0", [&](BackdoorRequest& r) {
        std::lock_guard<std::mutex> g(answerLock);
        EXPECT_EQ(r.Signature, kBackdoorSignature);
        EXPECT_EQ(r.BufferLength, kBackdoorRequestSize);
        r.Segment[0] = answer;
        std::memset(r.Data, 0x5A, sizeof r.Data);
    });
    CIOCTLMethod t("\\\\.\\VORNET0");
    EXPECT_EQ(t.GetDeviceName(), "VORNET0");
    EXPECT_EQ(t.GetKindName(), "IOCTL");
    struct Case {
        const char* name;
        BackdoorSegment segment;
        size_t bytes;
    } cases[] = {
        {"in the data area", {16, 84}, 16},
        {"running past the record", {4096, 16400}, 68},
        {"longer than the data area", {0xFFFFFFFF, 84}, 16384},
        {"inside the header", {4096, 0}, 0},
        {"beyond the record", {16, 0xFFFFFFF0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> g(answerLock);
            answer = c.segment;
        }
        ASSERT_TRUE(t.Lock());
        ASSERT_TRUE(t.SendIoctlRequest());
        CReplyData* reply = t.GetReplyData();
        t.Unlock();
        EXPECT_EQ(reply->Bytes.size(), c.bytes);
        EXPECT_TRUE(std::all_of(reply->Bytes.begin(), reply->Bytes.end(), [](uint8_t b) { return b == 0x5A; }));
        t.FreeReplyData(reply);
    }
}

TEST(IOCTLTransport, AFailedSendTellsTheUserAndFreesTheRecord)
{
    Root root;
    Boxes boxes;
    CIOCTLMethod t("\\\\.\\VORNET7");  // nothing answers
    ASSERT_TRUE(t.Lock());
    EXPECT_FALSE(t.SendIoctlRequest());
    EXPECT_EQ(boxes.taken(), std::vector<std::string>{"GetLastErrors returns 6"});
    std::atomic<bool> locked{false};
    std::thread other([&] {
        t.Lock();
        locked = true;
        t.Unlock();
    });
    other.join();
    EXPECT_TRUE(locked);
}

TEST(ModemShape, ModemsAreNumberedOverTheBoardsModulesProcessorsAndPumps)
{
    CModemShape board;
    board.Modules = {{0, {3, 3}}, {1, {12, 12}}, {1, {}}, {2, {6}}};
    EXPECT_EQ(board.ModemCount(), 36u);
    EXPECT_EQ(board.FirstModem(1), 6u);
    EXPECT_EQ(board.FirstModem(3), 30u);
    struct Case {
        uint32_t modem, module, processor, pump;
    } const cases[] = {{1, 0, 0, 0}, {4, 0, 1, 0}, {6, 0, 1, 2}, {7, 1, 0, 0}, {18, 1, 0, 11},
                       {19, 1, 1, 0}, {30, 1, 1, 11}, {31, 3, 0, 0}, {36, 3, 0, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.modem);
        ModemAddress a{};
        ASSERT_TRUE(board.AddressOf(c.modem, &a));
        EXPECT_EQ(a.Module, c.module);
        EXPECT_EQ(a.Processor, c.processor);
        EXPECT_EQ(a.Pump, c.pump);
        EXPECT_EQ(board.NumberOf(c.module, c.processor, c.pump), c.modem);
    }
    ModemAddress a{};
    EXPECT_FALSE(board.AddressOf(0, &a));
    EXPECT_FALSE(board.AddressOf(37, &a));
    EXPECT_EQ(board.NumberOf(0, 0, 3), 0u) << "no fourth pump";
    EXPECT_EQ(board.NumberOf(0, 2, 0), 0u) << "no third processor";
    EXPECT_EQ(board.NumberOf(2, 0, 0), 0u) << "a module without processors";
    EXPECT_EQ(board.NumberOf(4, 0, 0), 0u) << "no fifth module";
}

TEST(BoundedReader, AReadPastTheEndFailsAndStaysThere)
{
    std::vector<uint8_t> b = Bytes({1, 2});
    b.push_back(7);  // a stray byte is no word
    CReplyReader r(b.data(), b.size());
    uint32_t w = 0;
    EXPECT_TRUE(r.Word(&w));
    EXPECT_EQ(w, 1u);
    EXPECT_FALSE(r.Skip(2));
    EXPECT_FALSE(r.Word(&w));
    EXPECT_TRUE(r.AtEnd());
}

// --- modem requests ---------------------------------------------------------------

class ModemRequests : public ::testing::Test {
public:
    Root root;
    Boxes boxes;
    std::mutex lock;
    std::vector<BackdoorRequest> seen;
    uint32_t status = 0;
    std::string response;
    std::unique_ptr<FakeDevice> device;
    std::unique_ptr<CIOCTLMethod> transport;

    void SetUp() override
    {
        device = std::make_unique<FakeDevice>(root.dir, "VORNET0", [this](BackdoorRequest& r) {
            std::lock_guard<std::mutex> g(lock);
            seen.push_back(r);
            r.Status = status;
            if (r.Class == 0 && r.Action == 33) {
                std::memcpy(r.Data, response.data(), response.size());
                r.Segment[0].Length = (uint32_t)response.size();
            }
        });
        transport = std::make_unique<CIOCTLMethod>("\\\\.\\VORNET0");
    }
    void answer(uint32_t s)
    {
        std::lock_guard<std::mutex> g(lock);
        status = s;
    }
    BackdoorRequest last()
    {
        std::lock_guard<std::mutex> g(lock);
        return seen.back();
    }
};

TEST_F(ModemRequests, AtCommandCarriesItsTextAndAddressAndTheDriversStatusDecides)
{
    CRockyModem modem(transport.get(), 12, nullptr, ModemAddress{1, 1, 2});
    EXPECT_EQ(RunOne(&modem, new CSendATCommandMessage(12, "ATI3")), MSG_DONE);
    BackdoorRequest r = last();
    EXPECT_EQ(r.Class, 5u);
    EXPECT_EQ(r.Action, 5u);
    EXPECT_EQ(r.Arg[0], 1u);
    EXPECT_EQ(r.Arg[1], 1u);
    EXPECT_EQ(r.Arg[2], 2u);
    EXPECT_EQ(r.Arg[3], 0u);
    EXPECT_EQ(r.Segment[0].Offset, 84u);
    EXPECT_EQ(r.Segment[0].Length, 5u);
    EXPECT_EQ(std::string((const char*)r.Data, 6), std::string("ATI3\r\0", 6));

    answer(0xF0000003);  // no such pump
    EXPECT_EQ(RunOne(&modem, new CSendATCommandMessage(12, "ATZ")), MSG_FAILED);
    EXPECT_EQ(RunOne(&modem, new COOSMessage(1)), MSG_FAILED) << "out of service refused by the driver";
    EXPECT_FALSE(modem.IsOutOfService());
    answer(0);
    EXPECT_EQ(RunOne(&modem, new COOSMessage(1)), MSG_DONE);
    EXPECT_EQ(last().Class, 2u);
    EXPECT_EQ(last().Action, 9u);
    EXPECT_TRUE(modem.IsOutOfService()) << "the menu shows it checked";
    EXPECT_EQ(RunOne(&modem, new COOSMessage(0)), MSG_DONE);
    EXPECT_EQ(last().Class, 2u);
    EXPECT_EQ(last().Action, 8u) << "back into service: the pump is reset";
    EXPECT_FALSE(modem.IsOutOfService());

    int before = device->Requests();
    EXPECT_EQ(RunOne(&modem, new CSendATCommandMessage(12, std::string(16384, 'A'))), MSG_FAILED)
        << "a command that does not fit with its carriage return";
    EXPECT_EQ(RunOne(&modem, new CSendATCommandMessage(0, "AT")), MSG_FAILED) << "modem 0 names no pump";
    EXPECT_EQ(device->Requests(), before);
    EXPECT_TRUE(boxes.taken().empty());
}

TEST_F(ModemRequests, AtResponseIsCutAtSixtyFourCharactersAndARefusalGivesNothing)
{
    CRockyModem modem(transport.get(), 7, nullptr, ModemAddress{1, 0, 0});
    response = std::string(100, 'R');
    auto* get = new CGetATResponseMessage(7, "stale");
    struct Keep : CObserver {
        std::string text;
        void Update(CSubject* s, SubjectHint) override { text = static_cast<CGetATResponseMessage*>(s)->m_Response; }
    } keep;
    get->Attach(&keep);
    EXPECT_EQ(RunOne(&modem, get), MSG_DONE);
    EXPECT_EQ(keep.text, std::string(64, 'R'));
    EXPECT_EQ(last().Arg[0], 1u);
    EXPECT_EQ(last().Arg[1], 0u);
    EXPECT_EQ(last().Arg[2], 0u);

    response = "OK\r\n";
    answer(0xF0000003);
    auto* refused = new CGetATResponseMessage(7, "stale");
    refused->Attach(&keep);
    EXPECT_EQ(RunOne(&modem, refused), MSG_FAILED);
    EXPECT_EQ(keep.text, "");
}

// A monitor whose thread uses the transport until it is stopped.
struct BusyMonitor : CModemMonitor {
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool>* ended;
    explicit BusyMonitor(std::atomic<bool>* e) : ended(e) {}
    bool Start(CIOCTLMethod* t, uint32_t, const ModemAddress&) override
    {
        thread = std::thread([this, t] {
            while (!stop) {
                t->Lock();
                t->m_pRequest->Class = 12;
                t->Unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            *ended = true;
        });
        return true;
    }
    void Stop() override
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
    std::string GetLogFileName() override { return "mon.log"; }
    ~BusyMonitor() override { Stop(); }
};

TEST(ModemMonitors, DeletingAMonitoringModemEndsItsMonitorsBeforeTheTransportGoes)
{
    Root root;
    std::atomic<bool> armEnded{false}, driverEnded{false};
    CRockyModem::SetMonitorFactory([&](int kind) -> CModemMonitor* {
        return new BusyMonitor(kind == MONITOR_ARM ? &armEnded : &driverEnded);
    });
    auto* transport = new CIOCTLMethod("\\\\.\\VORNET0");
    auto* modem = new CRockyModem(transport, 1, nullptr, ModemAddress{});
    modem->SetMonitoring(true);
    EXPECT_TRUE(modem->IsMonitoring());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    delete modem;
    EXPECT_TRUE(armEnded);
    EXPECT_TRUE(driverEnded);
    delete transport;  // no monitor thread may touch it now
    CRockyModem::SetMonitorFactory(nullptr);
}

// --- the status snapshot ----------------------------------------------------------

// Modules of one line, each of `processors` processors of `pumps` pumps.
CModemShape Shape(uint32_t modules, uint32_t processors, uint32_t pumps)
{
    CModemShape shape;
    for (uint32_t m = 0; m < modules; m++) shape.Modules.push_back(CModuleShape{0, std::vector<uint32_t>(processors, pumps)});
    return shape;
}

struct Tree {
    CRockyLineInterface li{nullptr, nullptr, 2};
    std::vector<std::unique_ptr<CRockyChannel>> channels;
    std::vector<std::unique_ptr<CRockyModem>> modems;
    uint32_t wordA[5] = {}, wordB[5] = {};
    CModemShape shape;
    CSnapshotTargets targets;
    // Modules of two processors of three pumps, unless a shape is given.
    Tree(uint32_t channelCount, uint32_t modules) : Tree(channelCount, Shape(modules, 2, 3)) {}
    Tree(uint32_t channelCount, CModemShape boardShape) : shape(std::move(boardShape))
    {
        for (uint32_t n = 1; n <= channelCount; n++)
            channels.push_back(std::make_unique<CRockyChannel>(nullptr, n, n == 24 ? 1 : 0));
        for (uint32_t n = 1; n <= shape.ModemCount(); n++) {
            ModemAddress a{};
            shape.AddressOf(n, &a);
            modems.push_back(std::make_unique<CRockyModem>(nullptr, n, nullptr, a));
        }
        targets.LineInterface = &li;
        for (auto& c : channels) targets.Channels.push_back(c.get());
        for (auto& m : modems) targets.Modems.push_back(m.get());
        targets.Shape = &shape;
        for (uint32_t m = 0; m < shape.Modules.size(); m++) targets.Modules.push_back(m);
        targets.ModuleWordA = wordA;
        targets.ModuleWordB = wordB;
    }
    std::string channel(uint32_t n) { return channels[n - 1]->GetViewText(); }
    std::string modem(uint32_t n) { return modems[n - 1]->GetViewText(); }
};

// Snapshot words: head, 32 channel entries, then per module two words and six modems.
struct Snapshot {
    std::vector<uint32_t> w;
    Snapshot(uint32_t protocol, uint32_t layer1, uint32_t layer2) : w{protocol, layer1, layer2} {}
    Snapshot& entry(uint32_t state, std::vector<uint32_t> items = {})
    {
        w.push_back(state);
        w.insert(w.end(), items.begin(), items.end());
        w.push_back(0);
        return *this;
    }
    Snapshot& bare(uint32_t state)
    {
        w.push_back(state);
        return *this;
    }
    Snapshot& module(uint32_t a, uint32_t b)
    {
        w.push_back(a);
        w.push_back(b);
        return *this;
    }
};

Snapshot IsdnSnapshot()
{
    Snapshot s(1, 9, 4);
    for (uint32_t k = 0; k < 32; k++) {
        if (k == 3)
            s.entry(10, {3, 3, 0, 0, 1});  // pump 0, processor 0, module 1: modem 7
        else if (k == 5)
            s.entry(11);
        else
            s.entry(1);
    }
    s.module(4, 1);
    s.entry(2, {1, 1, 2, 2, 1, 5});  // owned by COM5
    s.entry(2, {1, 1, 0});
    for (int i = 0; i < 4; i++) s.entry(1);
    s.module(4, 1);
    s.entry(6, {1, 1, 1, 2, 1, 3, 4, 1, 3});  // ISDN line 3 on B channel 3
    for (int i = 0; i < 5; i++) s.entry(9);
    return s;
}

TEST(StatusSnapshot, IsdnItemsReachTheLineChannelsAndModems)
{
    Tree t(24, 2);
    Counter lineObserver, channelObserver;
    t.li.Attach(&lineObserver);
    t.channels[2]->Attach(&channelObserver);
    Snapshot s = IsdnSnapshot();
    std::vector<uint8_t> b = Bytes(s.w);
    ASSERT_TRUE(ParseStatusSnapshot(CReplyReader(b.data(), b.size()), t.targets));
    EXPECT_EQ(t.li.GetLayer1StateText(), "Layer Up");
    EXPECT_EQ(t.li.GetLayer2StateText(), "Layer Up");
    EXPECT_EQ(t.channel(3), "Connected on Modem 7");
    EXPECT_EQ(t.channel(5), "Disconnecting");
    EXPECT_EQ(t.channel(1), "Idle");
    EXPECT_EQ(t.channel(24), "D-Channel");
    EXPECT_EQ(t.modem(1), "Idle: Com5");
    EXPECT_EQ(t.modem(2), "Idle: Unallocated");
    EXPECT_EQ(t.modem(7), "Connected on B-Channel 3: ISDN3");
    EXPECT_EQ(t.modem(8), "Out Of Service: Unallocated");
    EXPECT_EQ(t.wordA[1], 4u);
    EXPECT_EQ(t.wordB[1], 1u);
    EXPECT_EQ(lineObserver.count, 1);
    int channelNotes = channelObserver.count;
    EXPECT_GE(channelNotes, 1);
    // The same snapshot again changes nothing and tells nobody.
    ASSERT_TRUE(ParseStatusSnapshot(CReplyReader(b.data(), b.size()), t.targets));
    EXPECT_EQ(lineObserver.count, 1);
    EXPECT_EQ(channelObserver.count, channelNotes);
    t.li.Detach(&lineObserver);
    t.channels[2]->Detach(&channelObserver);
}

TEST(StatusSnapshot, RepliesOfEveryShapeAreReadWithinTheirWords)
{
    struct Case {
        const char* name;
        std::function<std::vector<uint32_t>()> words;
        bool whole;
        std::function<void(Tree&)> check;
    } cases[] = {
        {"robbed-bit line: bare channel words, then the modules",
         [] {
             Snapshot s(0, 9, 4);
             for (uint32_t k = 0; k < 32; k++) s.bare(k == 3 ? 18 : k == 5 ? 13 : k == 7 ? 65535 : 2);
             s.module(4, 1).entry(6, {4, 1, 7});
             for (int i = 0; i < 5; i++) s.entry(1);
             s.module(4, 1);
             for (int i = 0; i < 6; i++) s.entry(1);
             return s.w;
         },
         true,
         [](Tree& t) {
             EXPECT_EQ((int)t.channels[2]->GetRecord().State, 6);
             EXPECT_EQ(t.channel(5), "Disconnecting");
             EXPECT_EQ(t.channel(7), "Idle");
             EXPECT_EQ(t.modem(1), "Connected on B-Channel 7");
             EXPECT_EQ(t.modem(2), "Idle: Unallocated");
         }},
        {"truncated inside the channel entries",
         [] {
             std::vector<uint32_t> w = IsdnSnapshot().w;
             w.resize(3 + 2 * 3 + 1);  // channels 0 to 2 whole, channel 3's state only
             return w;
         },
         false,
         [](Tree& t) {
             EXPECT_EQ(t.channel(2), "Idle");
             EXPECT_EQ(t.channel(3), "Out Of Service");
             EXPECT_EQ(t.modem(1), "Out Of Service: Unallocated");
         }},
        {"an item of length 65535",
         [] {
             Snapshot s(1, 9, 4);
             s.entry(1).entry(10);
             s.w.insert(s.w.end(), {10, 3, 65535, 1, 2, 3, 0});
             return s.w;
         },
         false, [](Tree& t) { EXPECT_EQ(t.channel(1), "Connected") << "its entry named no modem"; }},
        {"only the head", [] { return std::vector<uint32_t>{1, 9}; }, false,
         [](Tree& t) { EXPECT_EQ(t.li.GetLayer1StateText(), "Layer Down"); }},
        {"leased line: channel states stay",
         [] {
             Snapshot s(6, 9, 4);
             for (uint32_t k = 0; k < 32; k++) s.entry(10);
             s.module(4, 1);
             for (int i = 0; i < 6; i++) s.entry(6);
             s.module(4, 1);
             for (int i = 0; i < 6; i++) s.entry(6);
             return s.w;
         },
         true,
         [](Tree& t) {
             EXPECT_EQ(t.channel(3), "Out Of Service");
             EXPECT_EQ(t.modem(12), "Connected") << "no channel named: none shown";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t(24, 2);
        std::vector<uint8_t> b = Bytes(c.words());
        EXPECT_EQ(ParseStatusSnapshot(CReplyReader(b.data(), b.size()), t.targets), c.whole);
        c.check(t);
    }
}

// A channel shows the modem its latest entry names; a data call, whose entry names
// none, shows no modem, also on a channel a modem served before.
TEST(StatusSnapshot, AChannelShowsTheModemItsEntryNamesAndNoneWithoutOne)
{
    auto snapshot = [](std::vector<uint32_t> items) {
        Snapshot s(1, 9, 4);
        for (uint32_t k = 0; k < 32; k++) k == 3 ? s.entry(10, items) : s.entry(1);
        for (int m = 0; m < 2; m++) {
            s.module(4, 1);
            for (int i = 0; i < 6; i++) s.entry(1);
        }
        return Bytes(s.w);
    };
    struct Case {
        const char* name;
        std::vector<std::vector<uint32_t>> items;  // of channel 3, one list per snapshot
        const char* shown;
    } const cases[] = {
        {"a data call", {{}}, "Connected"},
        {"a modem call", {{3, 3, 2, 1, 0}}, "Connected on Modem 6"},
        {"a data call after a modem call", {{3, 3, 2, 1, 0}, {}}, "Connected"},
        {"another modem call", {{3, 3, 2, 1, 0}, {3, 3, 0, 0, 1}}, "Connected on Modem 7"},
        {"a pump the board does not have", {{3, 3, 3, 0, 0}}, "Connected"},
        {"a module the board does not have", {{3, 3, 0, 0, 7}}, "Connected"},
        {"a pump item too short", {{3, 2, 0, 0}}, "Connected"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t(24, 2);
        for (const auto& items : c.items) {
            std::vector<uint8_t> b = snapshot(items);
            ASSERT_TRUE(ParseStatusSnapshot(CReplyReader(b.data(), b.size()), t.targets));
        }
        EXPECT_EQ(t.channel(3), c.shown);
    }
}

// Modules of every shape the board's tables hold (no processor; one or two of 3, 6 or
// 12 pumps), mixed on one board: each module's entries are read in step and every
// modem, and the channel a pump serves, is named by the board's own numbering.
TEST(StatusSnapshot, ModulesOfEveryShapeAreReadInStepAndTheirModemsNumberedByTheBoard)
{
    for (uint32_t processors : {0u, 1u, 2u})
        for (uint32_t pumps : {3u, 6u, 12u}) {
            if (processors == 0 && pumps != 3)
                continue;  // no processor: one shape
            SCOPED_TRACE(std::to_string(processors) + " x " + std::to_string(pumps));
            // Module 0 of two processors of three pumps, module 1 of the shape, module 2 of six.
            CModemShape shape = Shape(1, 2, 3);
            shape.Modules.push_back(CModuleShape{0, std::vector<uint32_t>(processors, pumps)});
            shape.Modules.push_back(CModuleShape{0, {6}});
            Tree t(24, shape);
            uint32_t total = 6 + processors * pumps + 6;
            ASSERT_EQ(t.modems.size(), total);

            Snapshot s(1, 9, 4);
            // Channel 5: the last pump of module 1 when it has one, else module 2's first.
            std::vector<uint32_t> pump = processors != 0 ? std::vector<uint32_t>{3, 3, pumps - 1, processors - 1, 1}
                                                         : std::vector<uint32_t>{3, 3, 0, 0, 2};
            for (uint32_t k = 0; k < 32; k++) k == 5 ? s.entry(10, pump) : s.entry(1);
            uint32_t n = 0;
            for (uint32_t m = 0; m < 3; m++) {
                s.module(m == 1 ? 100 + processors * pumps : 4, 1);
                for (uint32_t i = 0; i < shape.Modules[m].ModemCount(); i++, n++) s.entry(6, {4, 1, 1 + n % 23});
            }
            std::vector<uint8_t> b = Bytes(s.w);
            ASSERT_TRUE(ParseStatusSnapshot(CReplyReader(b.data(), b.size()), t.targets));
            for (uint32_t i = 0; i < total; i++)
                EXPECT_EQ(t.modem(i + 1), "Connected on B-Channel " + std::to_string(1 + i % 23)) << "modem " << i + 1;
            const uint32_t served = processors != 0 ? 6 + processors * pumps : 6 + processors * pumps + 1;
            EXPECT_EQ(t.channel(5), "Connected on Modem " + std::to_string(served));
            EXPECT_EQ(t.wordA[1], 100 + processors * pumps);
            EXPECT_EQ(t.wordA[2], 4u) << "the module after it read in step";
        }
}

TEST(StatusSnapshot, WithoutChannelObjectsTheEntriesAreReadAndDropped)
{
    Tree t(0, 2);
    t.targets.LineInterface = nullptr;
    std::vector<uint8_t> b = Bytes(IsdnSnapshot().w);
    ASSERT_TRUE(ParseStatusSnapshot(CReplyReader(b.data(), b.size()), t.targets));
    EXPECT_EQ(t.modem(1), "Idle: Com5");
    EXPECT_EQ(t.modem(7), "Connected on B-Channel 3: ISDN3");
}

TEST(StateMapping, ChannelStatesByProtocol)
{
    struct Case {
        uint32_t protocol, state;
        int8_t shown;  // 0: unchanged
    } cases[] = {
        {0, 2, 1},  {0, 12, 1},  {0, 16, 1},  {0, 65535, 1}, {0, 13, 8}, {0, 20, 8},  {0, 18, 6},  {0, 1, 9},
        {0, 21, 9}, {6, 10, 0},  {1, 0, 1},   {1, 4, 1},     {1, 9, 1},  {1, 255, 1}, {1, 10, 6},  {1, 11, 8},
        {1, 19, 8}, {1, 254, 0}, {1, 5, 9},   {1, 13, 9},    {2, 10, 6},
    };
    CRockyChannel fresh(nullptr, 3, 0);
    EXPECT_EQ(fresh.GetRecord().State, 9);
    EXPECT_EQ(fresh.GetRecord().Text1[0], 0) << "texts start empty";
    EXPECT_EQ(fresh.GetRecord().Text2[19], 0);
    for (const Case& c : cases) {
        CRockyChannel channel(nullptr, 3, 0);
        channel.SetState(0, 14);  // a known start: 1
        channel.SetState(c.protocol, c.state);
        EXPECT_EQ(channel.GetRecord().State, c.shown == 0 ? 1 : c.shown) << c.protocol << "/" << c.state;
    }
}

TEST(StateMapping, LayerStatesAndTheirTexts)
{
    struct Case {
        uint8_t layer1, layer2;
        int8_t shown1, shown2;
        const char *text1, *text2;
    } cases[] = {
        {9, 2, 2, 5, "Layer Up", "Awaiting Establishment"},
        {9, 3, 2, 6, "Layer Up", "Awaiting Release"},
        {9, 4, 2, 7, "Layer Up", "Layer Up"},
        {1, 4, 1, 7, "Layer Down", "Layer Up"},
        {2, 1, 1, 1, "Layer Down", "Layer Down"},
        {8, 5, 1, 1, "Layer Down", "Layer Down"},
        {0xFF, 0xFF, 1, 1, "Layer Down", "Layer Down"},
    };
    CRockyLineInterface fresh(nullptr, nullptr, 2);
    EXPECT_EQ(fresh.GetLineStatus().Layer1, 1);
    EXPECT_EQ(fresh.GetLineStatus().Layer2, 1);
    EXPECT_EQ(fresh.GetDisplayName(), "Rocky Line Interface");
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << (int)c.layer1 << "/" << (int)c.layer2);
        CRockyLineInterface li(nullptr, nullptr, 2);
        li.SetLayerStates(c.layer1, c.layer2);
        EXPECT_EQ(li.GetLineStatus().Layer1, c.shown1);
        EXPECT_EQ(li.GetLineStatus().Layer2, c.shown2);
        EXPECT_EQ(li.GetLayer1StateText(), c.text1);
        EXPECT_EQ(li.GetLayer2StateText(), c.text2);
    }
}

TEST(StateMapping, ModemStatesAndTheirTexts)
{
    struct Case {
        uint32_t state, owner;
        uint32_t shown;
        const char* text;
    } cases[] = {
        {1, 0, 2, "Idle: Unallocated"},     {3, 2, 9, "Idle: Com5"},
        {4, 1, 3, "Connecting on B-Channel 4: ISDN5"}, {5, 0, 3, "Connecting on B-Channel 4"},
        {6, 2, 4, "Connected on B-Channel 4: Com5"},  {7, 0, 8, "Disconnecting on B-Channel 4"},
        {8, 3, 8, "Disconnecting on B-Channel 4"},    {0, 0, 5, "Out Of Service: Unallocated"},
        {9, 2, 5, "Out Of Service: Unallocated"},
    };
    for (const Case& c : cases) {
        CRockyModem modem(nullptr, 1, nullptr, ModemAddress{});
        uint32_t owner[1] = {c.owner}, line[1] = {5}, channel[1] = {4};
        modem.SetStatusItem(1, 1, owner);
        modem.SetStatusItem(2, 1, line);
        modem.SetStatusItem(4, 1, channel);
        modem.SetState(c.state);
        EXPECT_EQ(modem.GetModemState(), c.shown) << c.state;
        EXPECT_EQ(modem.GetViewText(), c.text) << c.state;
    }
    CRockyModem fresh(nullptr, 4, nullptr, ModemAddress{});
    EXPECT_EQ(fresh.GetViewText(), "Out Of Service: Unallocated");
    EXPECT_EQ(fresh.GetDisplayName(), "Rocky Modem(4)");
}

// --- the call history -------------------------------------------------------------

TEST(CallHistory, TheEleventhCallReplacesTheOldestAndIndexZeroIsTheNewest)
{
    CRockyModem modem(nullptr, 1, nullptr, ModemAddress{});
    const uint32_t kEndTime = 0x00028001;  // class 2, call record, field 1
    modem.EndCall(5);
    EXPECT_EQ(modem.CallCount(), 0u) << "no call in progress";
    for (uint32_t i = 1; i <= 11; i++) {
        modem.StartCall();
        modem.m_LastCall.m_Record.Field[22] = i == 3 ? 47 : 0;
        modem.EndCall(1000 + i);
    }
    EXPECT_EQ(modem.CallCount(), 10u);
    struct Case {
        int32_t index;
        uint32_t endTime;  // 0: none
    } cases[] = {{0, 1011}, {1, 1010}, {9, 1002}, {10, 0}, {-1, 0}};
    for (const Case& c : cases) {
        auto* p = static_cast<uint32_t*>(modem.GetItemptr2(kEndTime, c.index, 0));
        if (c.endTime == 0) {
            EXPECT_EQ(p, nullptr) << c.index;
        } else {
            ASSERT_NE(p, nullptr) << c.index;
            EXPECT_EQ(*p, c.endTime) << c.index;
        }
    }
    EXPECT_EQ(modem.GetItemptr2(0x00038001, 0, 0), nullptr) << "only class 2 reaches the history";
    auto* completed = static_cast<uint32_t*>(modem.GetItemptr2(0x00028003, 0, 0));
    ASSERT_NE(completed, nullptr);
    EXPECT_EQ(*completed, 1u);
    // Statistics counted every call; one was successful (47, counted also in field 3).
    EXPECT_EQ(modem.m_CallStatistics.m_Record.Field[2], 0xFFFFFFFFu + 11);
    EXPECT_EQ(modem.m_CallStatistics.m_Record.Field[1], 0xFFFFFFFFu + 1);
    EXPECT_EQ(modem.m_CallStatistics.m_Record.Field[3], 0xFFFFFFFFu + 1);
}

// --- configuration maps, directory numbers ---------------------------------------

// A driver transport that is never asked: the methods of the driver-attached objects
// are chosen by its kind.
CIOCTLMethod* Unused()
{
    static CIOCTLMethod* transport = new CIOCTLMethod("\\\\.\\VORNET250");
    return transport;
}

struct NamedAdapter : CMQAdapter {
    explicit NamedAdapter(const std::string& name) { m_Name = name; }
};

std::string Hive(const std::string& values)
{
    return std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\") + kParams + "]\n" + values;
}

DWORD QueryDword(const char* name, LONG* result = nullptr)
{
    HKEY k = nullptr;
    DWORD v = 0xDEAD, type = 0, size = 4;
    LONG r = RegOpenKeyA(HKEY_LOCAL_MACHINE, kParams, &k);
    if (r == ERROR_SUCCESS) {
        r = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
        RegCloseKey(k);
    }
    if (result != nullptr) *result = r;
    return v;
}

TEST(ConfigMaps, TheSetupRecordReadsAndWritesTheHiveByFieldType)
{
    Root root(Hive("\"SignallingProtocol_0\"=dword:00000001\n\"LineCode_0\"=dword:00000002\n"
                   "\"FramingFormat_0\"=dword:00000003\n\"LineMode_0\"=dword:00000001\n"
                   "\"SystemBusMode_0\"=dword:12345678\n"));
    NamedAdapter adapter("VORNET0");
    CRockyLineInterface li(Unused(), &adapter, 2);
    auto* read = new CReadVariableMessage<rpri_tSetup>(rpri_tSetup_Table);
    rpri_tSetup got{};
    struct Keep : CObserver {
        rpri_tSetup* out;
        void Update(CSubject* s, SubjectHint) override { *out = static_cast<CReadVariableMessage<rpri_tSetup>*>(s)->m_Record; }
    } keep;
    keep.out = &got;
    read->Attach(&keep);
    EXPECT_EQ(RunOne(&li, read), MSG_DONE);
    EXPECT_EQ(got.SignallingProtocol, 1);
    EXPECT_EQ(got.LineCode, 2);
    EXPECT_EQ(got.FramingFormat, 3);
    EXPECT_EQ(got.Field3, -1) << "no row: untouched";
    EXPECT_EQ(got.LineMode, 1);
    EXPECT_EQ(got.TxPulseTemplate, 0) << "missing: the row's default";
    EXPECT_EQ(got.Field7, 0xFF);
    EXPECT_EQ(got.SystemBusMode, 0x78) << "one byte for a byte field";
    EXPECT_EQ(li.m_Setup.Table(), rpri_tSetup_Table) << "nothing written past the record";

    // Only changed fields are written.
    rpri_tSetup changed = li.m_Setup.m_Record;
    changed.LineCode = 1;
    changed.Field7 = 3;  // no row: never written
    LONG before;
    QueryDword("TxPulseTemplate_0", &before);
    EXPECT_EQ(RunOne(&li, new CWriteVariableMessage<rpri_tSetup>(rpri_tSetup_Table, changed)), MSG_DONE);
    EXPECT_EQ(QueryDword("LineCode_0"), 1u);
    LONG after;
    QueryDword("TxPulseTemplate_0", &after);
    EXPECT_EQ(after, before) << "an unchanged field is not written";
    EXPECT_EQ(li.m_Setup.m_Record.LineCode, 1);

    // A key that is not there: failure, and the record keeps the old value.
    NamedAdapter gone("VORNET9");
    CRockyLineInterface orphan(Unused(), &gone, 2);
    orphan.m_Setup.m_Record = li.m_Setup.m_Record;
    changed.LineCode = 2;
    EXPECT_EQ(RunOne(&orphan, new CWriteVariableMessage<rpri_tSetup>(rpri_tSetup_Table, changed)), MSG_FAILED);
    EXPECT_EQ(orphan.m_Setup.m_Record.LineCode, 1);
}

std::atomic<int> g_GroupReads{0}, g_GroupWrites{0};
int CountRead(CManageableObject*, uintptr_t, uint32_t) { return ++g_GroupReads, 0; }
int CountWrite(CManageableObject*, uintptr_t, uint32_t, void*) { return ++g_GroupWrites, 0; }
int RefuseWrite(CManageableObject*, uintptr_t, uint32_t, void*) { return 2; }

TEST(ConfigMaps, RowsOfOneGroupAreHandledOnceAndAHandlerCanEndTheWalk)
{
    g_GroupReads = 0;
    g_GroupWrites = 0;
    Root root;
    NamedAdapter adapter("VORNET0");
    CRockyLineInterface li(nullptr, &adapter, 2);
    const CConfigMapRow rows[] = {
        {1, CountRead, 1, CountWrite, RPRI_SETUP_ID | 0, "a", nullptr, nullptr, nullptr, 0},
        {1, CountRead, 1, CountWrite, RPRI_SETUP_ID | 1, "b", nullptr, nullptr, nullptr, 0},
        {0, CountRead, 0, RefuseWrite, RPRI_SETUP_ID | 4, "c", nullptr, nullptr, nullptr, 0},
        {0, nullptr, 0, CountWrite, RPRI_SETUP_ID | 5, "d", nullptr, nullptr, nullptr, 0},
        {0, nullptr, 0, nullptr, 0xFFFFFFFFu, nullptr, nullptr, nullptr, nullptr, 0},
    };
    CConfigMap map(rows);
    EXPECT_EQ(map.Find(RPRI_SETUP_ID | 1), &rows[1]);
    EXPECT_EQ(map.Find(RPRI_SETUP_ID | 2), nullptr);
    EXPECT_EQ(map.Read(&li, 0, rpri_tSetup_Table, RPRI_SETUP_ID), 1);
    EXPECT_EQ(g_GroupReads, 2) << "group 1 once, row c once";

    rpri_tSetup current = li.m_Setup.m_Record, wanted = current;
    wanted.SignallingProtocol = 1;
    wanted.LineCode = 2;
    wanted.TxPulseTemplate = 3;
    EXPECT_EQ(map.Write(&li, 0, rpri_tSetup_Table, RPRI_SETUP_ID, &wanted, &current), 1);
    EXPECT_EQ(g_GroupWrites, 2) << "group 1 once, row d once; unchanged row c not at all";
    EXPECT_EQ(current.SignallingProtocol, 1);
    EXPECT_EQ(current.LineCode, -1) << "its group was handled by the first row";
    EXPECT_EQ(current.TxPulseTemplate, 3);

    wanted.LineMode = 1;  // row c refuses: the walk ends there
    wanted.TxPulseTemplate = 4;
    EXPECT_EQ(map.Write(&li, 0, rpri_tSetup_Table, RPRI_SETUP_ID, &wanted, &current), 0);
    EXPECT_EQ(current.LineMode, -1);
    EXPECT_EQ(current.TxPulseTemplate, 3) << "not reached";
}

std::vector<int> g_DeviceWrites;
int DeviceWrite(CManageableObject*, uintptr_t, uint32_t, void* field)
{
    int8_t value;
    std::memcpy(&value, field, 1);
    g_DeviceWrites.push_back(value);
    return 0;
}

// A field that goes to a device and to the registry: the registry is given the new
// value, and when it cannot take it the device is given the old one back.
TEST(ConfigMaps, AFieldTheRegistryRefusesIsGivenBackToTheDeviceAndTheWriteFails)
{
    Root root(Hive("\"LineCode_0\"=dword:00000001\n"));
    const CConfigMapRow rows[] = {
        {0, nullptr, 0, DeviceWrite, RPRI_SETUP_ID | 1, "LineCode_0", nullptr, ConfigMap_WriteDword,
         CRockyLineInterface::GetConfigKey, 0},
        {0, nullptr, 0, nullptr, 0xFFFFFFFFu, nullptr, nullptr, nullptr, nullptr, 0},
    };
    CConfigMap map(rows);
    struct Case {
        const char* adapter;
        int answer;
        std::vector<int> device;
        int8_t record;
        DWORD hive;
    } const cases[] = {
        {"VORNET9", 0, {2, 1}, 1, 1},  // no key: VORNET0's value stays as it was
        {"VORNET0", 1, {2}, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.adapter);
        g_DeviceWrites.clear();
        NamedAdapter adapter(c.adapter);
        CRockyLineInterface li(nullptr, &adapter, 2);
        // The object's own record is not the one written: the value comes from the new record.
        rpri_tSetup current = li.m_Setup.m_Record, wanted;
        current.LineCode = 1;
        wanted = current;
        wanted.LineCode = 2;
        EXPECT_EQ(map.Write(&li, 0, rpri_tSetup_Table, RPRI_SETUP_ID, &wanted, &current), c.answer);
        EXPECT_EQ(g_DeviceWrites, c.device);
        EXPECT_EQ(current.LineCode, c.record);
        EXPECT_EQ(QueryDword("LineCode_0"), c.hive);
    }
}

TEST(ConfigMaps, AValueOfAnotherTypeEndsTheReadAsAFailure)
{
    Root root(Hive("\"SignallingProtocol_0\"=dword:00000001\n\"LineCode_0\"=\"2\"\n\"FramingFormat_0\"=dword:00000003\n"));
    NamedAdapter adapter("VORNET0");
    CRockyLineInterface li(Unused(), &adapter, 2);
    EXPECT_EQ(RunOne(&li, new CReadVariableMessage<rpri_tSetup>(rpri_tSetup_Table)), MSG_FAILED);
    EXPECT_EQ(li.m_Setup.m_Record.SignallingProtocol, 1) << "read before the failure";
    EXPECT_EQ(li.m_Setup.m_Record.FramingFormat, -1) << "not reached";
}

TEST(ConfigMaps, DebugFlagsAreReadOnceAMinute)
{
    Root root("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters]\n"
              "\"ZELDbgFlowCtrl\"=dword:00000001\n\"ZELDbgThrdCtrl\"=dword:00000005\n");
    DbgFlagReset();
    EXPECT_EQ(DbgFlagGet(1), 1u);
    EXPECT_EQ(DbgFlagGet(2), 1u);
    EXPECT_EQ(DbgFlagGet(3), 0u);
    EXPECT_EQ(DbgFlagGet(5), 5u);
    EXPECT_EQ(DbgFlagGet(6), 0u);
    HKEY k;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters", &k), 0);
    DWORD v = 0;
    RegSetValueExA(k, "ZELDbgFlowCtrl", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
    RegCloseKey(k);
    EXPECT_EQ(DbgFlagGet(2), 1u) << "within the minute: the last read";
    DbgFlagReset();
    EXPECT_EQ(DbgFlagGet(2), 0u);
}

TEST(DirectoryNumbers, ReadWriteAndRefusal)
{
    Root root(Hive("\"Line_0.DirectoryNumber_00\"=\"5551000\"\n"
                   "\"Line_0.DirectoryNumber_01\"=\"123456789012345678901234567890123456789012345\"\n"
                   "\"Line_0.DirectoryNumber_03\"=\"5551003\"\n"));
    NamedAdapter adapter("VORNET0");
    CRockyLineInterface li(Unused(), &adapter, 2);
    for (const auto& e : li.m_DirNums.m_Record.Entry) EXPECT_EQ(e[0], 0) << "entries start empty";
    EXPECT_EQ(RunOne(&li, new CReadVariableMessage<rpri_tDirNumSetup>(rpri_tDirNumSetup_Table)), MSG_DONE);
    EXPECT_STREQ(li.m_DirNums.m_Record.Entry[0], "5551000");
    EXPECT_STREQ(li.m_DirNums.m_Record.Entry[1], "") << "45 characters do not fit";
    EXPECT_STREQ(li.m_DirNums.m_Record.Entry[2], "");
    EXPECT_STREQ(li.m_DirNums.m_Record.Entry[3], "5551003");

    rpri_tDirNumSetup numbers{};
    std::strcpy(numbers.Entry[0], "4165550100");
    std::strcpy(numbers.Entry[29], "4165550129");
    EXPECT_EQ(RunOne(&li, new CWriteVariableMessage<rpri_tDirNumSetup>(rpri_tDirNumSetup_Table, numbers)), MSG_DONE);
    EXPECT_STREQ(li.m_DirNums.m_Record.Entry[0], "4165550100");
    HKEY k;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kParams, &k), 0);
    char text[64] = {};
    DWORD type = 0, size = sizeof text;
    ASSERT_EQ(RegQueryValueExA(k, "Line_0.DirectoryNumber_29", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), 0);
    RegCloseKey(k);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_STREQ(text, "4165550129");

    // No key: the write fails and the numbers stay.
    NamedAdapter gone("VORNET9");
    CRockyLineInterface orphan(Unused(), &gone, 2);
    std::strcpy(orphan.m_DirNums.m_Record.Entry[0], "old");
    EXPECT_EQ(RunOne(&orphan, new CWriteVariableMessage<rpri_tDirNumSetup>(rpri_tDirNumSetup_Table, numbers)),
              MSG_FAILED);
    EXPECT_STREQ(orphan.m_DirNums.m_Record.Entry[0], "old");
}

// A store that fails part way puts back what the earlier ones replaced or added.
TEST(DirectoryNumbers, AWriteThatFailsPartWayLeavesTheHiveAndTheObjectAsTheyWere)
{
    Root root(Hive("\"Line_0.DirectoryNumber_00\"=\"5551000\"\n"
                   "\"Line_0.DirectoryNumber_02\"=dword:00000007\n"
                   "\"Line_0.DirectoryNumber_03\"=\"5551003\"\n"));
    NamedAdapter adapter("VORNET0");
    CRockyLineInterface li(Unused(), &adapter, 2);
    ASSERT_EQ(RunOne(&li, new CReadVariableMessage<rpri_tDirNumSetup>(rpri_tDirNumSetup_Table)), MSG_DONE);
    auto hive = [] {
        std::vector<std::string> values;
        HKEY k;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kParams, &k) != 0) return values;
        for (int i = 0; i < RPRI_DIRNUM_ENTRIES; i++) {
            char name[48], data[64] = {};
            std::snprintf(name, sizeof name, "Line_0.DirectoryNumber_%2.2d", i);
            DWORD type = 0, size = sizeof data;
            LONG r = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
            values.push_back(r != 0 ? "-" : std::to_string(type) + ":" + std::string(data, size));
        }
        RegCloseKey(k);
        return values;
    };
    const std::vector<std::string> before = hive();
    ASSERT_EQ(before[1], "-");

    rpri_tDirNumSetup numbers{};
    for (int i = 0; i < RPRI_DIRNUM_ENTRIES; i++) std::snprintf(numbers.Entry[i], RPRI_DIRNUM_LENGTH, "41655501%02d", i);
    for (unsigned failing : {1u, 2u, 6u, 30u}) {
        SCOPED_TRACE(failing);
        plat::win32::fail_value_write(failing);
        EXPECT_EQ(RunOne(&li, new CWriteVariableMessage<rpri_tDirNumSetup>(rpri_tDirNumSetup_Table, numbers)),
                  MSG_FAILED);
        plat::win32::fail_value_write(0);
        EXPECT_EQ(hive(), before);
        EXPECT_STREQ(li.m_DirNums.m_Record.Entry[0], "5551000") << "the object keeps its numbers";
    }
    EXPECT_EQ(RunOne(&li, new CWriteVariableMessage<rpri_tDirNumSetup>(rpri_tDirNumSetup_Table, numbers)), MSG_DONE);
    EXPECT_EQ(hive()[2].rfind(std::to_string(REG_SZ) + ":4165550102", 0), 0u);
    EXPECT_STREQ(li.m_DirNums.m_Record.Entry[29], "4165550129");
}

// --- files and text ---------------------------------------------------------------

TEST(CopyFileByStreams, CopiesWholeOrChangesNothing)
{
    Root root;
    const fs::path drivers = fs::path("C") / "WINNT" / "system32" / "drivers";
    std::ofstream(root.dir / drivers / "armcsm") << "old firmware";
    std::ofstream(root.dir / "C" / "new.bin") << std::string(10000, 'N');
    std::ofstream(root.dir / "C" / "locked.bin") << "locked";
    ASSERT_TRUE(SetFileAttributesA("C:\\locked.bin", FILE_ATTRIBUTE_READONLY));
    struct Case {
        const char* name;
        const char* source;
        const char* destination;
        int result;
        fs::path unchanged;  // a file whose text must stay
        const char* text;
    } cases[] = {
        {"one path", "C:\\new.bin", "C:\\new.bin", COPY_SAME_FILE, "", ""},
        {"one file by another spelling", "C:\\WINNT\\System32\\drivers\\armcsm", "c:\\winnt\\system32\\DRIVERS\\ARMCSM",
         COPY_SAME_FILE, drivers / "armcsm", "old firmware"},
        {"missing source", "C:\\none.bin", "C:\\WINNT\\system32\\drivers\\armcsm", COPY_NOT_OPENED, drivers / "armcsm",
         "old firmware"},
        {"read-only destination", "C:\\new.bin", "C:\\locked.bin", COPY_NOT_OPENED, fs::path("C") / "locked.bin", "locked"},
        {"destination folder missing", "C:\\new.bin", "C:\\nowhere\\x.bin", COPY_NOT_OPENED, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CopyFileByStreams(c.source, c.destination), c.result);
        if (!c.unchanged.empty()) {
            EXPECT_EQ(root.read(c.unchanged), c.text);
        }
    }
    EXPECT_EQ(CopyFileByStreams("C:\\new.bin", "C:\\WINNT\\SYSTEM32\\drivers\\armcsm"), COPY_DONE);
    EXPECT_EQ(root.read(drivers / "armcsm"), std::string(10000, 'N'));
    EXPECT_FALSE(fs::exists(root.dir / drivers / "armcsm.new"));

    // An update staged beside the file it replaces, under the name a copy might take
    // for itself: the destination gets the whole file and the source stays.
    std::ofstream(root.dir / drivers / "armcsm.new") << std::string(5000, 'S');
    EXPECT_EQ(CopyFileByStreams("C:\\WINNT\\system32\\drivers\\armcsm.new", "C:\\WINNT\\system32\\drivers\\armcsm"),
              COPY_DONE);
    EXPECT_EQ(root.read(drivers / "armcsm"), std::string(5000, 'S'));
    EXPECT_EQ(root.read(drivers / "armcsm.new"), std::string(5000, 'S'));
    // Another file beside the destination is left as it was.
    std::ofstream(root.dir / drivers / "armcsm.new") << "someone else's";
    EXPECT_EQ(CopyFileByStreams("C:\\new.bin", "C:\\WINNT\\system32\\drivers\\armcsm"), COPY_DONE);
    EXPECT_EQ(root.read(drivers / "armcsm"), std::string(10000, 'N'));
    EXPECT_EQ(root.read(drivers / "armcsm.new"), "someone else's");
    for (auto& e : fs::directory_iterator(root.dir / drivers))
        EXPECT_TRUE(e.path().filename() == "armcsm" || e.path().filename() == "armcsm.new" ||
                    e.path().filename().string().rfind("armcsm", 0) != 0)
            << "no copy left behind: " << e.path().filename();
    SetFileAttributesA("C:\\locked.bin", 0);
}

TEST(TextUtilities, WritersStayInsideTheirBuffers)
{
    Root root;
    std::ofstream(root.dir / "C" / "lines.txt") << "abcdefgh\r\nxy\r\nlast";
    HANDLE f = CreateFileA("C:\\lines.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    char small[5];
    std::memset(small, '#', sizeof small);
    char guard = small[4];
    EXPECT_TRUE(ReadTextLine(f, small, 4));
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(small[4], guard) << "nothing past the buffer";
    char line[32];
    EXPECT_TRUE(ReadTextLine(f, line, sizeof line));
    EXPECT_STREQ(line, "defgh");
    EXPECT_TRUE(ReadTextLine(f, line, sizeof line));
    EXPECT_STREQ(line, "xy");
    EXPECT_TRUE(ReadTextLine(f, line, sizeof line));
    EXPECT_STREQ(line, "last") << "a last line without CR LF";
    EXPECT_FALSE(ReadTextLine(f, line, sizeof line));
    CloseHandle(f);

    uint8_t bytes[3];
    EXPECT_EQ(HexToBytes(bytes, sizeof bytes, "0x0A1b2C"), 3);
    EXPECT_EQ(bytes[1], 0x1B);
    EXPECT_EQ(HexToBytes(bytes, sizeof bytes, "0A1B2C3D"), -1) << "four bytes do not fit";
    EXPECT_EQ(HexToBytes(bytes, sizeof bytes, "0A1"), -1);
    char hex[8];
    BytesToHex(hex, sizeof hex, bytes, 3);
    EXPECT_STREQ(hex, "0A1B2C");
    char out[12];
    EXPECT_TRUE(ReplaceFirst("ATDT%s;", "%s", "12345", out, sizeof out));
    EXPECT_STREQ(out, "ATDT12345;");
    EXPECT_FALSE(ReplaceFirst("ATDT%s;", "%s", "1234567890", out, sizeof out));
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(ReplaceFirst("ATZ", "%s", "x", out, sizeof out));
    EXPECT_STREQ(out, "ATZ");
}

TEST(TextUtilities, DurationsAndNumbers)
{
    char text[24];
    FormatDuration(text, sizeof text, 8640000);
    EXPECT_STREQ(text, "01:00:00:00");
    FormatDuration(text, sizeof text, 99);
    EXPECT_STREQ(text, "00:00:00:00");
    struct Case {
        const char* text;
        bool ok;
        uint32_t hundredths;
        const char* error;
    } cases[] = {
        {"1:2:3:4", true, 9378400, ""},
        {"", true, 0, ""},
        {"5", true, 5 * 8640000, ""},
        {"100", false, 0, ""},
        {"99:24", false, 0, "Invalid number of hours (24) entered into the Log Duration Field"},
        {"1:2:60", false, 0, "Invalid number of minutes (60) entered into the Log Duration Field"},
        {"1:2:3:4:5", false, 0, ""},
        {"1a", false, 0, ""},
    };
    for (const Case& c : cases) {
        uint32_t h = 0;
        char error[96] = "x";
        EXPECT_EQ(ParseDuration(c.text, &h, error, sizeof error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(h, c.hundredths) << c.text;
        } else if (*c.error) {
            EXPECT_STREQ(error, c.error);
        }
    }
    EXPECT_EQ(ParseNumber("0x1F"), 31u);
    EXPECT_EQ(ParseNumber("42"), 42u);
    EXPECT_EQ(ParseNumber("x"), 0u);
    EXPECT_EQ(IsCommonSourceName("D:\\src\\gp.c"), 0);
    EXPECT_EQ(IsCommonSourceName("D:\\src\\gpx.c"), 1);
    char trimmed[8];
    EXPECT_EQ(CopyTrimmed(trimmed, "  \tabcdefghij \r\n", sizeof trimmed), 7u);
    EXPECT_STREQ(trimmed, "abcdefg");
    char caret[16];
    ExpandCaretEscapes(caret, sizeof caret, "AT^M^j^e^x");
    EXPECT_STREQ(caret, "AT\r\n\x05^x");
}

struct SerialModem : CModem {
    uint32_t port, busyOut;
    SerialModem(CMethod* t, uint32_t p, CAdapter* a, uint32_t b) : CModem(t, p + 1, a), port(p), busyOut(b) {}
    std::string GetDisplayName() override { return "Serial"; }
    void BuildVariableMethods() override {}
};

TEST(SerialPortList, ListedPortsBecomeModemsOfOneSerialAdapter)
{
    Root root("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters]\n"
              "\"ZELPortCount\"=dword:00000003\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters\\Port1]\n"
              "\"ShadowDeviceName\"=\"\\\\\\\\.\\\\ZELCOM1\"\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters\\Port3]\n"
              "\"ShadowDeviceName\"=\"\\\\\\\\.\\\\ZELCOM3\"\n\"BusyOutAfterDisconnect\"=dword:00000005\n");
    std::vector<std::string> names;
    CAgent::SetSerialPortFactories(
        {[&](const std::string& name) -> CMethod* {
             names.push_back(name);
             return new CMethod(name, "SerialPort");
         },
         [](CMethod* t, uint32_t port, CMQAdapter* a, uint32_t busyOut) -> CModem* {
             return new SerialModem(t, port, a, busyOut);
         }});
    {
        CAgent agent;
        HKEY k;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters", &k), 0);
        char name[80];
        EXPECT_EQ(agent.ReadSerialPortList(k, name, sizeof name), 3);
        RegCloseKey(k);
        ASSERT_EQ(agent.GetAdapters().size(), 1u);
        CAdapter* mq = agent.GetAdapters()[0];
        EXPECT_EQ(mq->GetDisplayName(), "ZELMQ Adapter");
        ASSERT_EQ(mq->GetModemCount(), 2u);
        auto* first = static_cast<SerialModem*>(mq->GetModem(0));
        auto* second = static_cast<SerialModem*>(mq->GetModem(1));
        EXPECT_EQ(first->port, 0u);
        EXPECT_EQ(first->busyOut, 15u) << "missing: 15";
        EXPECT_EQ(second->port, 2u);
        EXPECT_EQ(second->busyOut, 5u);
        EXPECT_EQ(names, (std::vector<std::string>{"\\\\.\\ZELCOM1", "\\\\.\\ZELCOM3"}));
        EXPECT_EQ(agent.m_Info.m_Record.SerialModemCount, 2);
        EXPECT_EQ(agent.m_Info.m_Record.AdapterCount, 1u);
        EXPECT_EQ(agent.ReturnGetPtr(0x3FFFF, CSMemIndex(1)), second);
    }
    CAgent::SetSerialPortFactories({});
}

// A port count no board has looks at the ports a board can have, and no further.
TEST(SerialPortList, APortCountBeyondABoardLooksNoFurtherThanABoardsPorts)
{
    for (const char* count : {"001e8480", "ffffffff"}) {
        SCOPED_TRACE(count);
        Root root(std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters]\n"
                              "\"ZELPortCount\"=dword:") +
                  count +
                  "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters\\Port2]\n"
                  "\"ShadowDeviceName\"=\"\\\\\\\\.\\\\ZELCOM2\"\n");
        CAgent::SetSerialPortFactories(
            {[](const std::string& name) -> CMethod* { return new CMethod(name, "SerialPort"); },
             [](CMethod* t, uint32_t port, CMQAdapter* a, uint32_t busyOut) -> CModem* {
                 return new SerialModem(t, port, a, busyOut);
             }});
        {
            CAgent agent;
            HKEY k;
            ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters", &k), 0);
            char name[80];
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(agent.ReadSerialPortList(k, name, sizeof name), (LONG)CAgent::kMaxSerialPorts);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
            RegCloseKey(k);
            ASSERT_EQ(agent.GetAdapters().at(0)->GetModemCount(), 1u);
            EXPECT_EQ(static_cast<SerialModem*>(agent.GetAdapters()[0]->GetModem(0))->port, 1u);
        }
        CAgent::SetSerialPortFactories({});
    }
}

// --- discovery, the adapter and SNMP over a fake driver ---------------------------

// Devices answering the adapter summary (module count 2) and refusing the snapshot.
class Discovery : public ::testing::Test {
public:
    Root root{"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET0\\Parameters]\n"
              "\"LineMode_0\"=dword:00000001\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET2\\Parameters]\n"
              "\"LineMode_0\"=dword:00000002\n\"DebugPagesOn\"=\"1\"\n\"DebugMenusOn\"=dword:00000001\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters]\n"};
    Boxes boxes;
    std::unique_ptr<FakeDevice> zero, two;

    // Modules of two processors of three pumps.
    static void Answer(BackdoorRequest& r, uint32_t modules)
    {
        if (r.Class == 0 && r.Action == 17) {
            uint32_t w[4] = {4, 1, 1, modules};
            std::memcpy(r.Data, w, sizeof w);
            r.Segment[0] = {sizeof w, kBackdoorHeaderSize};
        } else if (r.Class == 0 && r.Action == 20 && r.Arg[0] < modules) {
            uint32_t w[10] = {4, 1, 0, r.Arg[0], 0, 256, 2, 10, 0, 0};
            std::memcpy(r.Data, w, sizeof w);
            r.Segment[0] = {sizeof w, kBackdoorHeaderSize};
        } else if (r.Class == 0 && r.Action == 15 && r.Arg[0] < modules && r.Arg[1] < 2) {
            r.Arg[3] = 3;
        } else {
            r.Status = 0xF0000003;
        }
    }
    void SetUp() override
    {
        struct Menu : CUI_Menu {
            void TrackPopup(int, int, void*) override {}
            void OnMenuCommand(unsigned, uintptr_t) override {}
        };
        CModem::SetMenuFactory([](CModem*) -> CUI_Menu* { return new Menu; });
        zero = std::make_unique<FakeDevice>(root.dir, "VORNET0", [](BackdoorRequest& r) { Answer(r, 2); });
        two = std::make_unique<FakeDevice>(root.dir, "VORNET2", [](BackdoorRequest& r) { Answer(r, 0xFFFFFFFF); });
        ASSERT_TRUE(smem_Open(1));
    }
    void TearDown() override
    {
        for (size_t i = 0; i < GAgent->GetAdapters().size(); i++) adapter(i);
        smem_Close();
        CModem::SetMenuFactory(nullptr);
        EXPECT_TRUE(boxes.taken().empty());
    }
    CVX2430Adapter* adapter(size_t i)
    {
        auto* a = dynamic_cast<CVX2430Adapter*>(GAgent->GetAdapters().at(i));
        EXPECT_EQ(WaitForSingleObject(a->GetInitialisedEvent(), 10000), WAIT_OBJECT_0);
        return a;
    }
};

TEST_F(Discovery, ProbedDevicesBecomeAdaptersWithTheirObjects)
{
    ASSERT_EQ(GAgent->GetAdapters().size(), 2u);
    CVX2430Adapter* first = adapter(0);
    CVX2430Adapter* second = adapter(1);
    EXPECT_EQ(first->GetName(), "VORNET0");
    EXPECT_EQ(second->GetName(), "VORNET2");
    EXPECT_EQ(second->GetDeviceNumber(), 2u);
    EXPECT_EQ(GAgent->m_Info.m_Record.AdapterCount, 2u);

    EXPECT_EQ(first->GetModemCount(), 12u);
    EXPECT_EQ(first->GetChannelCount(), 31u) << "E1";
    EXPECT_TRUE(first->GetChannel(15)->IsDChannel());
    EXPECT_FALSE(first->GetChannel(23)->IsDChannel());
    EXPECT_NE(first->GetLineInterface(), nullptr);
    EXPECT_EQ(second->GetModemCount(), 6 * CVX2430Adapter::kMaxModules) << "at most the board's modules";
    EXPECT_EQ(second->GetChannelCount(), 0u) << "LineMode 2: no channel";
    EXPECT_FALSE(first->IsDebugPagesOn());
    EXPECT_FALSE(second->IsDebugPagesOn()) << "REG_SZ \"1\" is no switch";
    EXPECT_TRUE(second->IsDebugMenusOn());
    EXPECT_NE(second->GetModem(0)->GetMenu(), nullptr) << "debug menus on: a modem menu";
    EXPECT_EQ(first->GetModem(0)->GetMenu(), nullptr);

    // Modem numbers in SMem lookups run over all adapters.
    EXPECT_EQ(smem_ReturnGetPtr(0x3FFFF, CSMemIndex(12)), second->GetModem(0));
    EXPECT_EQ(smem_ReturnGetPtr(0x3FFFF, CSMemIndex(11)), first->GetModem(11));
    EXPECT_EQ(smem_ReturnGetPtr(0x3FFFF, CSMemIndex(12 + 60)), nullptr);
    EXPECT_EQ(smem_ReturnGetPtr(0x00A0FFFF, CSMemIndex(0)), nullptr);
}

TEST_F(Discovery, TheAgentsFlagsReadAndWriteTheirOwnHiveValues)
{
    const char* const names[] = {"ZELCallHistory",   "ZELSnmpLogging",   "ZELDbgFlowCtrl",
                                 "ZELDbgThrdCtrl",   "ZELDbgCallEvents", "ZELDbgCallHistory"};
    HKEY k;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters", &k), 0);
    for (DWORD i = 0; i < 6; i++) {
        DWORD v = 10 + i;
        ASSERT_EQ(RegSetValueExA(k, names[i], 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), 0);
    }
    zelagt_tInfo got{};
    struct Keep : CObserver {
        zelagt_tInfo* out;
        void Update(CSubject* s, SubjectHint) override { *out = static_cast<CReadVariableMessage<zelagt_tInfo>*>(s)->m_Record; }
    } keep;
    keep.out = &got;
    auto* read = new CReadVariableMessage<zelagt_tInfo>(zelagt_tInfo_Table);
    read->Attach(&keep);
    EXPECT_EQ(RunOne(GAgent, read), MSG_DONE);
    const uint32_t fields[6] = {got.CallHistory,  got.SnmpLogging,   got.DbgFlowCtrl,
                                got.DbgThrdCtrl,  got.DbgCallEvents, got.DbgCallHistory};
    for (uint32_t i = 0; i < 6; i++) EXPECT_EQ(fields[i], 10 + i) << names[i];
    EXPECT_EQ(got.AdapterCount, 2u);

    zelagt_tInfo wanted = GAgent->m_Info.m_Record;
    wanted.DbgCallEvents = 44;
    EXPECT_EQ(RunOne(GAgent, new CWriteVariableMessage<zelagt_tInfo>(zelagt_tInfo_Table, wanted)), MSG_DONE);
    for (DWORD i = 0; i < 6; i++) {
        DWORD v = 0, type = 0, size = 4;
        EXPECT_EQ(RegQueryValueExA(k, names[i], nullptr, &type, reinterpret_cast<BYTE*>(&v), &size), 0);
        EXPECT_EQ(v, i == 4 ? 44u : 10 + i) << names[i];
    }
    RegCloseKey(k);
}

TEST_F(Discovery, SnmpGroupsBindingsByRecordAndObjectAndAnswersMissingObjects)
{
    CVX2430Adapter* first = adapter(0);
    auto* m0 = static_cast<CRockyModem*>(first->GetModem(0));
    auto* m1 = static_cast<CRockyModem*>(first->GetModem(1));
    uint32_t five[1] = {5}, six[1] = {6}, two[1] = {2};
    m0->SetStatusItem(2, 1, five);
    m1->SetStatusItem(2, 1, six);
    m1->SetStatusItem(1, 1, two);
    const uint32_t kOwner = 0x00032000 | 10, kOwnerKind = 0x00032000 | 9;
    {
        CSNMPRequest get(CSNMPRequest::SNMP_GET);
        get.AddBinding(kOwner, CSMemIndex(0), CSNMPRequest::ASN_INTEGER, 0);
        get.AddBinding(kOwner, CSMemIndex(1), CSNMPRequest::ASN_INTEGER, 0);
        get.AddBinding(kOwnerKind, CSMemIndex(1), CSNMPRequest::ASN_GAUGE, 0);
        get.AddBinding(kOwnerKind, CSMemIndex(0), 6 /* an object identifier */, 77);
        EXPECT_EQ(get.Execute(), CSNMPRequest::SNMP_OK);
        EXPECT_EQ(get.PendingCount(), 2u) << "one message per record of each modem";
        EXPECT_EQ(*get.ReturnGetPtr(kOwner, CSMemIndex(0)), 5u);
        EXPECT_EQ(*get.ReturnGetPtr(kOwner, CSMemIndex(1)), 6u);
        EXPECT_EQ(*get.ReturnGetPtr(kOwnerKind, CSMemIndex(1)), 2u);
        EXPECT_EQ(*get.ReturnGetPtr(kOwnerKind, CSMemIndex(0)), 77u) << "another type is not filled";
        EXPECT_EQ(get.ReturnGetPtr(kOwner, CSMemIndex(2)), nullptr);
    }
    {
        CSNMPRequest get(CSNMPRequest::SNMP_GET);
        get.AddBinding(kOwner, CSMemIndex(0), CSNMPRequest::ASN_INTEGER, 0);
        get.AddBinding(kOwner, CSMemIndex(500), CSNMPRequest::ASN_INTEGER, 0);
        EXPECT_EQ(get.Execute(), CSNMPRequest::SNMP_NO_SUCH_OBJECT);
    }
    {
        // A set through the agent's map reaches the hive.
        CSNMPRequest set(CSNMPRequest::SNMP_SET);
        set.AddBinding(0x00000002, CSMemIndex(), CSNMPRequest::ASN_INTEGER, 3);
        EXPECT_EQ(set.Execute(), CSNMPRequest::SNMP_OK);
        HKEY k;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters", &k), 0);
        DWORD v = 0, type = 0, size = 4;
        EXPECT_EQ(RegQueryValueExA(k, "ZELDbgFlowCtrl", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size), 0);
        RegCloseKey(k);
        EXPECT_EQ(v, 3u);
    }
}

TEST_F(Discovery, TheFirmwareUpdateCopiesAndAnswersACodePerOutcome)
{
    CVX2430Adapter* first = adapter(0);
    std::ofstream(root.dir / "C" / "fw.bin") << "new firmware";
    struct Case {
        const char* source;
        uint32_t driverFile;
        int32_t code, status;
        const char* file;
    } cases[] = {
        {"C:\\fw.bin", 0, 0, MSG_DONE, "armcsm"},
        {"C:\\WINNT\\SYSTEM32\\drivers\\ARMCSM", 0, 1, MSG_FAILED, "armcsm"},
        {"C:\\fw.bin", 1, 0, MSG_DONE, "vornet.sys"},
        {"C:\\none.bin", 1, 2, MSG_FAILED, "vornet.sys"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        struct Result : CObserver {
            std::mutex lock;
            std::condition_variable cv;
            int32_t code = -9, status = -9;
            void Update(CSubject* s, SubjectHint) override
            {
                std::lock_guard<std::mutex> g(lock);
                auto* m = static_cast<CVX2430Adapter::CUpdateModemCodeMessage*>(s);
                code = m->m_Result;
                status = m->GetStatus();
                cv.notify_all();
            }
        } result;
        first->PushWithObserver(new CVX2430Adapter::CUpdateModemCodeMessage(c.source, c.driverFile), &result);
        std::unique_lock<std::mutex> g(result.lock);
        ASSERT_TRUE(result.cv.wait_for(g, std::chrono::seconds(10), [&] { return result.status != -9; }));
        EXPECT_EQ(result.code, c.code);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(root.read(fs::path("C") / "WINNT" / "system32" / "drivers" / c.file), "new firmware");
    }
}

// As many adapters as the pool has workers: each one's initialisation lets its worker go
// while its line interface reads the setup on another, so every adapter gets its channels.
TEST(ManyAdapters, EveryAdapterOfAFullPoolGetsItsChannels)
{
    constexpr int kAdapters = CManagementThread::kWorkers;
    std::string hive = "REGEDIT4\n\n";
    for (int i = 0; i < kAdapters; i++)
        hive += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET" + std::to_string(i) +
                "\\Parameters]\n\"LineMode_0\"=dword:00000000\n";
    Root root(hive);
    Boxes boxes;
    std::vector<std::unique_ptr<FakeDevice>> devices;
    for (int i = 0; i < kAdapters; i++)
        devices.push_back(std::make_unique<FakeDevice>(root.dir, "VORNET" + std::to_string(i),
                                                       [](BackdoorRequest& r) { Discovery::Answer(r, 1); }));
    ASSERT_TRUE(smem_Open(1));
    ASSERT_EQ(GAgent->GetAdapters().size(), (size_t)kAdapters);
    for (int i = 0; i < kAdapters; i++) {
        SCOPED_TRACE(i);
        auto* a = dynamic_cast<CVX2430Adapter*>(GAgent->GetAdapters()[(size_t)i]);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(WaitForSingleObject(a->GetInitialisedEvent(), 10000), WAIT_OBJECT_0);
        EXPECT_EQ(a->GetChannelCount(), 24u);
        EXPECT_EQ(a->GetModemCount(), 6u);
    }
    smem_Close();
    EXPECT_TRUE(boxes.taken().empty());
}

}  // namespace

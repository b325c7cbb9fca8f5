// Serial-attached modems as managed objects, on the simulator's serial modem adapter:
// discovery from the hive's port list, initialisation, the line state through ring,
// carrier and drop, the call history, the records read and written through the
// configuration map, and the edge cases of start and version.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "QLCommon/Adapter.h"
#include "QLCommon/Agent.h"
#include "QLCommon/DovuModem.h"
#include "QLCommon/SerialPortMethod.h"
#include "QLCommon/TextField.h"
#include "QLCommon/mdparse.h"
#include "QLCommon/mthrd.h"
#include "QLCommon/smem.h"
#include "QLCommon/test_modem.h"
#include "QLCommon/zeldev.h"
#include "sim/serial/test_ports.h"

namespace {

using sim::serial::TestPorts;

bool WaitFor(const std::function<bool()>& done, int ms = 8000)
{
    for (int i = 0; i < ms / 10 && !done(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

int Count(const std::vector<std::string>& commands, const std::string& command)
{
    return (int)std::count(commands.begin(), commands.end(), command);
}

// Pushes a message to an object the management thread runs and waits for its status;
// take copies what the caller needs of the message before the status is seen.
int32_t Exchange(CManageableObject* object, CMessage* message, std::function<void(CMessage*)> take = {})
{
    struct Status : CObserver {
        std::function<void(CMessage*)> take;
        std::atomic<int32_t> status{-1};
        void Update(CSubject* s, SubjectHint) override
        {
            if (take) take(static_cast<CMessage*>(s));
            status = static_cast<CMessage*>(s)->GetStatus();
        }
    } status;
    status.take = std::move(take);
    object->PushWithObserver(message, &status);
    WaitFor([&] { return status.status.load() != -1; }, 20000);
    return status.status.load();
}

uint32_t StatusField(CDovuModem* modem, int field)
{
    std::lock_guard<std::mutex> g(modem->m_RecordLock);
    return modem->m_GeneralStatus.m_Record.Field[field];
}

// The agent builds the modems of the listed ports; the management thread follows them.
class DovuModems : public ::testing::Test {
public:
    FastTiming fast;
    TestPorts ports{2};
    std::string name = TestPorts::shadow(1);
    CDovuModem* modem = nullptr;

    void SetUp() override
    {
        ASSERT_TRUE(smem_Open(1));
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters", &key), 0);
        char buffer[80];
        EXPECT_EQ(GAgent->ReadSerialPortList(key, buffer, sizeof buffer), 2);
        RegCloseKey(key);
        ASSERT_EQ(GAgent->GetAdapters().size(), 1u);
        CAdapter* mq = GAgent->GetAdapters()[0];
        ASSERT_EQ(mq->GetModemCount(), 2u);
        modem = dynamic_cast<CDovuModem*>(mq->GetModem(0));
        ASSERT_NE(modem, nullptr);
    }
    void TearDown() override { smem_Close(); }
};

TEST_F(DovuModems, DiscoveredModemsInitialiseFollowCallsAndFileEachCallsOwnReport)
{
    EXPECT_EQ(modem->GetDisplayName(), "Dovu Modem(0)");
    EXPECT_EQ(GAgent->GetAdapters()[0]->GetModem(1)->GetDisplayName(), "Dovu Modem(1)");
    EXPECT_EQ(modem->GetTransport()->GetObjectName(), name);
    EXPECT_EQ(modem->GetBusyOutTime(), 15);

    // Idle at start: the modem is asked its version and told its busy-out time.
    ASSERT_TRUE(WaitFor([&] { return modem->IsInitialised(); }));
    auto commands = ports.adapter->commands(name);
    EXPECT_EQ(Count(commands, "ati0"), 1);
    EXPECT_EQ(Count(commands, "at*h15"), 1);
    EXPECT_EQ(txtf_Get(StatusField(modem, 0)).value_or(""), "ZELMQPCI Modem Version 4.16j");
    EXPECT_EQ(StatusField(modem, 3), 1u);
    EXPECT_EQ(modem->GetLineState(), CDovuModem::LINE_IDLE);
    EXPECT_TRUE(WaitFor([&] { return ports.adapter->setting(TestPorts::shadow(2), "*h") == "15"; }))
        << "the second port's modem too";

    struct Call {
        unsigned termination, rate;
    } const calls[] = {{61, 26400}, {91, 9600}};
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        ports.adapter->ring(name);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(modem->GetLineState(), CDovuModem::LINE_IDLE) << "a ring alone changes nothing";

        sim::serial::CallReport report;
        report.termination = calls[i].termination;
        report.final_rx_rate = calls[i].rate;
        ports.adapter->raise_carrier(name, report);
        ASSERT_TRUE(WaitFor([&] { return modem->GetLineState() == CDovuModem::LINE_IN_CALL; }));
        EXPECT_TRUE(WaitFor([&] { return StatusField(modem, 7) == 1 && StatusField(modem, 8) == 1; }));
        EXPECT_EQ(StatusField(modem, 2), (uint32_t)CDovuModem::HOOK_OFF);

        ports.adapter->drop_carrier(name);
        ASSERT_TRUE(WaitFor([&] { return modem->CallCount() == i + 1; })) << "the call is filed";
        EXPECT_EQ(modem->GetLineState(), CDovuModem::LINE_IDLE);
        EXPECT_EQ(StatusField(modem, 2), (uint32_t)CDovuModem::HOOK_ON);
        EXPECT_EQ(StatusField(modem, 7), 2u);
        // The newest entry holds this call's own report, though the last one is not 120 s old.
        auto* termination = static_cast<uint32_t*>(modem->GetItemptr2(0x00024000 | 22, 0, 0));
        auto* rate = static_cast<uint32_t*>(modem->GetItemptr2(0x00024000 | 5, 0, 0));
        ASSERT_NE(termination, nullptr);
        EXPECT_EQ(*termination, calls[i].termination);
        EXPECT_EQ(*rate, calls[i].rate);
        auto* completed = static_cast<uint32_t*>(modem->GetItemptr2(0x00028000 | 3, 0, 0));
        EXPECT_EQ(*completed, 1u);
        EXPECT_EQ(Count(ports.adapter->commands(name), "ati11"), (int)i + 1);
    }
    std::lock_guard<std::mutex> g(modem->m_RecordLock);
    const uint32_t* S = modem->m_CallStatistics.m_Record.Field;
    EXPECT_EQ(S[2], 2u) << "two calls counted, once each";
    EXPECT_EQ(S[1], 2u) << "both ended well (61, 91)";
    EXPECT_EQ(S[8] + S[9], 2u) << "by rate band";
    EXPECT_EQ(Count(ports.adapter->commands(name), "ati0"), 1) << "initialised once";
}

TEST_F(DovuModems, RecordsAreReadAndWrittenThroughTheModemAndItsPort)
{
    ASSERT_TRUE(WaitFor([&] { return modem->IsInitialised(); }));

    auto* config = new CReadVariableMessage<zelmdm_tGeneralConfig>(zelmdm_tGeneralConfig_Table);
    config->Hook();
    zelmdm_tGeneralConfig read{};
    ASSERT_EQ(Exchange(modem, config,
                       [&](CMessage* m) { read = static_cast<CReadVariableMessage<zelmdm_tGeneralConfig>*>(m)->m_Record; }),
              MSG_DONE);
    EXPECT_EQ(read.Field[0], 14u) << "No Carrier Disc from at&v";
    EXPECT_EQ(read.Field[19], 1u) << "echo on";

    // Two changed fields of one record: each goes to the modem with its new value.
    zelmdm_tGeneralConfig wanted = read;
    wanted.Field[0] = 7;   // ats10=
    wanted.Field[10] = 3;  // ats0=
    ASSERT_EQ(Exchange(modem, new CWriteVariableMessage<zelmdm_tGeneralConfig>(zelmdm_tGeneralConfig_Table, wanted)),
              MSG_DONE);
    EXPECT_EQ(ports.adapter->setting(name, "s10"), "7");
    EXPECT_EQ(ports.adapter->setting(name, "s0"), "3");
    {
        std::lock_guard<std::mutex> g(modem->m_RecordLock);
        EXPECT_EQ(modem->m_GeneralConfig.m_Record.Field[0], 7u);
        EXPECT_EQ(modem->m_GeneralConfig.m_Record.Field[10], 3u);
    }
    // Field 11 has no command the modem knows.
    wanted.Field[11] = read.Field[11] + 1;
    EXPECT_EQ(Exchange(modem, new CWriteVariableMessage<zelmdm_tGeneralConfig>(zelmdm_tGeneralConfig_Table, wanted)),
              MSG_FAILED);

    // Line signals: DTR set through the record, read back with the others.
    zelmdm_tGeneralStatus status{};
    {
        std::lock_guard<std::mutex> g(modem->m_RecordLock);
        status = modem->m_GeneralStatus.m_Record;
    }
    status.Field[4] = 1;
    status.Field[5] = 2;
    ASSERT_EQ(Exchange(modem, new CWriteVariableMessage<zelmdm_tGeneralStatus>(zelmdm_tGeneralStatus_Table, status)),
              MSG_DONE);
    EXPECT_TRUE(ports.adapter->dtr(name));
    EXPECT_FALSE(ports.adapter->rts(name));
    ASSERT_EQ(Exchange(modem, new CReadVariableMessage<zelmdm_tGeneralStatus>(zelmdm_tGeneralStatus_Table)), MSG_DONE);
    EXPECT_EQ(StatusField(modem, 4), 1u);
    EXPECT_EQ(StatusField(modem, 5), 2u);
    EXPECT_EQ(StatusField(modem, 6), 1u) << "CTS";
    EXPECT_EQ(StatusField(modem, 8), 2u) << "DSR";

    // In a call the modem is not asked: the read fails.
    ports.adapter->raise_carrier(name);
    ASSERT_TRUE(WaitFor([&] { return modem->GetLineState() == CDovuModem::LINE_IN_CALL; }));
    EXPECT_EQ(Exchange(modem, new CReadVariableMessage<zelmdm_tGeneralStatus>(zelmdm_tGeneralStatus_Table)),
              MSG_FAILED);
    ports.adapter->drop_carrier(name);
    ASSERT_TRUE(WaitFor([&] { return modem->CallCount() == 1; }));
}

// The busy-out time goes to the modem and to the port's key under Card1: both take it,
// or neither does and the write fails.
TEST_F(DovuModems, TheBusyOutTimeIsTakenByTheModemTheRecordAndTheHiveOrByNone)
{
    ASSERT_TRUE(WaitFor([&] { return modem->IsInitialised(); }));
    auto record = [&] {
        std::lock_guard<std::mutex> g(modem->m_RecordLock);
        return modem->m_CallControl.m_Record;
    };
    const std::string portKey = "SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters\\Card1\\Port1";
    auto hive = [&]() -> int64_t {
        HKEY key = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, portKey.c_str(), &key) != 0) return -1;
        uint32_t value = 0;
        DWORD type = 0, size = sizeof value;
        LONG r = RegQueryValueExA(key, "BusyOutAfterDisconnect", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
        return r == 0 && type == REG_DWORD ? (int64_t)value : -1;
    };
    EXPECT_EQ(record().Field[10], 15u) << "what the modem was told";

    // No key for the port under Card1: the hive cannot take it, so neither does the modem.
    zelmdm_tCallControlConfig wanted = record();
    wanted.Field[10] = 20;
    EXPECT_EQ(Exchange(modem, new CWriteVariableMessage<zelmdm_tCallControlConfig>(zelmdm_tCallControlConfig_Table, wanted)),
              MSG_FAILED);
    EXPECT_EQ(ports.adapter->setting(name, "*h"), "15");
    EXPECT_EQ(record().Field[10], 15u);
    EXPECT_EQ(hive(), -1);

    // With the key: the modem, the record and the hive hold the new time.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, portKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    RegCloseKey(key);
    EXPECT_EQ(Exchange(modem, new CWriteVariableMessage<zelmdm_tCallControlConfig>(zelmdm_tCallControlConfig_Table, wanted)),
              MSG_DONE);
    EXPECT_EQ(ports.adapter->setting(name, "*h"), "20");
    EXPECT_EQ(record().Field[10], 20u);
    EXPECT_EQ(hive(), 20);
}

// Without the management thread: the constructor's decisions and the event handling,
// run by hand.
struct Port {
    FastTiming fast;
    TestPorts ports{1};
    std::string name = TestPorts::shadow(1);
    CSerialPortMethod port{name};

    // Hands the port's events to the modem as the management thread would, until the
    // modem's line state is the one wanted.
    bool Follow(CDovuModem& modem, uint32_t state)
    {
        for (int i = 0; i < 6 && modem.GetLineState() != state; i++)
            if (WaitForSingleObject(port.GetEventHandle(), 1000) == WAIT_OBJECT_0) modem.HandleEvent(port.GetEventHandle());
        return modem.GetLineState() == state;
    }
    DWORD NextEvent(DWORD want)
    {
        DWORD seen = 0;
        for (int i = 0; i < 6 && (seen & want) != want; i++) {
            if (WaitForSingleObject(port.GetEventHandle(), 1000) != WAIT_OBJECT_0) break;
            seen |= port.GetEventMask();
            port.WaitForEvent();
        }
        return seen;
    }
};

TEST(DovuModemStart, AModemInACallAtStartIsInitialisedAfterTheCall)
{
    Port p;
    p.ports.adapter->set_dsr(p.name, true);
    ASSERT_EQ(p.NextEvent(EV_DSR), (DWORD)EV_DSR);
    CDovuModem modem(&p.port, 0, nullptr, 9);
    EXPECT_EQ(modem.GetLineState(), CDovuModem::LINE_IN_CALL);
    EXPECT_EQ(modem.QueueLength(), 0u) << "no initialisation while DSR is on";
    ASSERT_EQ(modem.GetEventList().size(), 1u);
    EXPECT_EQ(modem.GetEventList()[0], p.port.GetEventHandle());

    p.ports.adapter->set_dsr(p.name, false);
    ASSERT_TRUE(p.Follow(modem, CDovuModem::LINE_IDLE));
    ASSERT_EQ(modem.QueueLength(), 1u);
    modem.Run();
    EXPECT_TRUE(modem.IsInitialised());
    EXPECT_EQ(Count(p.ports.adapter->commands(p.name), "at*h9"), 1);
}

TEST(DovuModemStart, UnsupportedVersionsAreAskedAgainAfterEachCallAndFileNoHistory)
{
    struct Case {
        const char* version;
        bool accepted;
    } const cases[] = {
        {"ZELMQPCI Modem Version 4.16i", false},
        {"ZELMQPCI Modem Version 4.9z", false},
        {"OTHER Modem Version 9.0a", false},
        {"ZELMQPCI Modem Version 5.0a", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        Port p;
        sim::serial::ModemKnobs knobs;
        knobs.version_text = c.version;
        p.ports.adapter->set_knobs(p.name, knobs);
        CDovuModem modem(&p.port, 0, nullptr, 15);
        ASSERT_EQ(modem.QueueLength(), 1u);
        modem.Run();
        EXPECT_EQ(modem.IsInitialised(), c.accepted);
        EXPECT_EQ(StatusField(&modem, 3), c.accepted ? 1u : 0u);
        EXPECT_EQ(Count(p.ports.adapter->commands(p.name), "at*h15"), c.accepted ? 1 : 0);

        p.ports.adapter->raise_carrier(p.name);
        ASSERT_TRUE(p.Follow(modem, CDovuModem::LINE_IN_CALL));
        p.ports.adapter->drop_carrier(p.name);
        ASSERT_TRUE(p.Follow(modem, CDovuModem::LINE_IDLE));
        ASSERT_EQ(modem.QueueLength(), 1u);
        modem.Run();
        auto commands = p.ports.adapter->commands(p.name);
        // Refused: initialisation again; accepted: the call's report.
        EXPECT_EQ(Count(commands, "ati11"), c.accepted ? 1 : 0);
        EXPECT_EQ(modem.CallCount(), c.accepted ? 1u : 0u);
        EXPECT_EQ(Count(commands, "ati0"), c.accepted ? 1 : 2);
    }
}

// The lines in the orders a modem may move them: the line state always names the lines
// (2 neither DSR nor DCD), and a call is filed once, when the modem is back on hook.
TEST(DovuModemLines, EachOrderOfLinesGivesTheLineStateAndFilesEachCallOnce)
{
    using Adapter = sim::serial::SerialModemAdapter;
    struct Step {
        void (*act)(Adapter&, const std::string&);
        uint32_t line, hook;
    };
    auto carrier = [](Adapter& a, const std::string& n) { a.raise_carrier(n); };
    auto lost = [](Adapter& a, const std::string& n) { a.lose_carrier(n); };
    auto drop = [](Adapter& a, const std::string& n) { a.drop_carrier(n); };
    auto offHook = [](Adapter& a, const std::string& n) { a.set_dsr(n, true); };
    auto onHook = [](Adapter& a, const std::string& n) { a.set_dsr(n, false); };
    constexpr uint32_t IDLE = CDovuModem::LINE_IDLE, READY = CDovuModem::LINE_READY, CALL = CDovuModem::LINE_IN_CALL;
    constexpr uint32_t ON = CDovuModem::HOOK_ON, OFF = CDovuModem::HOOK_OFF;
    struct Case {
        const char* what;
        std::vector<Step> steps;
        size_t calls;
    } const cases[] = {
        {"carrier and drop together", {{carrier, CALL, OFF}, {drop, IDLE, ON}}, 1},
        {"carrier lost before the modem goes on hook", {{carrier, CALL, OFF}, {lost, READY, OFF}, {onHook, IDLE, ON}}, 1},
        {"carrier lost and found again in one call",
         {{carrier, CALL, OFF}, {lost, READY, OFF}, {carrier, CALL, OFF}, {drop, IDLE, ON}},
         1},
        {"off hook without carrier and back", {{offHook, READY, OFF}, {onHook, IDLE, ON}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Port p;
        CDovuModem modem(&p.port, 0, nullptr, 15);
        modem.Run();
        ASSERT_TRUE(modem.IsInitialised());
        for (const Step& s : c.steps) {
            s.act(*p.ports.adapter, p.name);
            ASSERT_TRUE(p.Follow(modem, s.line)) << modem.GetLineState();
            EXPECT_TRUE(WaitFor([&] { return StatusField(&modem, 2) == s.hook; }, 1000));
        }
        while (modem.QueueLength() > 0) modem.Run();
        EXPECT_EQ(modem.CallCount(), c.calls);
        EXPECT_EQ(Count(p.ports.adapter->commands(p.name), "ati11"), (int)c.calls);
    }
}

// ZELCallHistory is read at each call's end: off, the call ends without a report.
TEST(DovuModemLines, CallHistoryFollowsTheRegistryValueAtEachCallsEnd)
{
    Port p;
    auto setHistory = [](uint32_t on) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters", &key), 0);
        EXPECT_EQ(RegSetValueExA(key, "ZELCallHistory", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on), 0);
        RegCloseKey(key);
    };
    CDovuModem modem(&p.port, 0, nullptr, 15);
    modem.Run();
    ASSERT_TRUE(modem.IsInitialised());
    for (uint32_t on : {0u, 1u}) {
        SCOPED_TRACE(on);
        setHistory(on);
        p.ports.adapter->raise_carrier(p.name);
        ASSERT_TRUE(p.Follow(modem, CDovuModem::LINE_IN_CALL));
        p.ports.adapter->drop_carrier(p.name);
        ASSERT_TRUE(p.Follow(modem, CDovuModem::LINE_IDLE));
        EXPECT_EQ(modem.QueueLength(), on);
        while (modem.QueueLength() > 0) modem.Run();
        EXPECT_EQ(modem.CallCount(), on);
        EXPECT_EQ(Count(p.ports.adapter->commands(p.name), "ati11"), (int)on);
    }
}

TEST(DovuModemStart, TransportsThatAreNoOpenSerialPortGetNoEventAndNoInitialisation)
{
    FastTiming fast;
    TestPorts ports(1);
    CMethod other("\\\\.\\VORNET0", "IOCTL");
    CDovuModem onDriver(&other, 0, nullptr, 15);
    EXPECT_TRUE(onDriver.GetEventList().empty());
    EXPECT_EQ(onDriver.QueueLength(), 0u);
    CSerialPortMethod closed("ZELSHADOW7");
    CDovuModem onClosed(&closed, 1, nullptr, 15);
    EXPECT_TRUE(onClosed.GetEventList().empty());
    EXPECT_EQ(onClosed.QueueLength(), 0u);
    // Line reads need a serial port.
    EXPECT_EQ(zeldev_UpdateSharedMem(&onDriver, ZELDEV_DSR), 4);
    uint32_t on = 1;
    EXPECT_EQ(zeldev_ConfigLine(&onDriver, nullptr, ZELDEV_SET_DTR, &on), 4);
    EXPECT_EQ(zeldev_ConfigLine(&onDriver, &closed, 31, &on), 4);
    EXPECT_FALSE(onDriver.IsOutOfService());
    EXPECT_FALSE(onDriver.IsMonitoring());
    onDriver.SetMonitoring(true);
    EXPECT_FALSE(onDriver.IsMonitoring());
}

TEST(DovuModemMap, RowsAndTheirKeyPath)
{
    struct Case {
        uint32_t key;
        uint32_t readGroup, writeParameter;
    } const cases[] = {
        {ZELMDM_GENERALSTATUS_ID | 0, 0x800, 0}, {ZELMDM_GENERALSTATUS_ID | 4, 64, 29},
        {ZELMDM_GENERALSTATUS_ID | 8, 1024, 0},  {ZELMDM_GENERALCONFIG_ID | 9, 2, 3},
        {ZELMDM_GENERALCONFIG_ID | 11, 2, 19},   {ZELMDM_GENERALCONFIG_ID | 17, 2, 34},
        {ZELMDM_CALLCONTROL_ID | 10, 0, 35},     {ZELMDM_CALLCONTROL_ID | 1, 16, 27},
        {ZELMDM_DIALCONTROL_ID | 4, 2, 25},      {ZELMDM_LASTCALL_ID | 22, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const CConfigMapRow* row = CDovuModem::ConfigMap.Find(c.key);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->ReadMask, c.readGroup);
        EXPECT_EQ(row->WriteMask, c.writeParameter);
    }
    EXPECT_EQ(CDovuModem::ConfigMap.Find(ZELMDM_CALLSTATISTICS_ID | 0), nullptr);
    EXPECT_STREQ(CDovuModem::ConfigMap.Find(ZELMDM_CALLCONTROL_ID | 10)->ValueName, "BusyOutAfterDisconnect");
    CMethod none("x", "None");
    CDovuModem modem(&none, 2, nullptr, 15);
    EXPECT_EQ(CDovuModem::GetPortKey(&modem), "SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters\\Card1\\Port3");
}

}  // namespace

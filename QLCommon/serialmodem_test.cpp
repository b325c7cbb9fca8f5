// Serial-attached modems: the COM-port transport, AT exchanges and reply tables, on
// the simulator's modem adapter.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "QLCommon/ManageableObject.h"
#include "QLCommon/SerialPortMethod.h"
#include "QLCommon/TextField.h"
#include "QLCommon/Variables.h"
#include "QLCommon/mdparse.h"
#include "QLCommon/parsetbl.h"
#include "QLCommon/test_modem.h"
#include "sim/serial/test_ports.h"

namespace {

using sim::serial::TestPorts;

constexpr uint32_t kUnset = 0xFFFFFFFF;

// ---- reply tables ----

const char kAti11Reply[] =
    "ati11\r"
    "\r\nLast Connection                 V.90\r\n"
    "Initial Transmit Carrier Rate   33600\r\n"
    "Initial Receive  Carrier Rate   50666\r\n"
    "Final   Transmit Carrier Rate   31200\r\n"
    "Final   Receive  Carrier Rate   48000\r\n"
    "Protocol Negotiation Result     MNP\r\n"
    "Data Compression Result         V42bis/MNP5\r\n"
    "Estimated Noise Level           35\r\n"
    "Receive  Signal Power Level     (-dBm)  21\r\n"
    "Transmit Signal Power Level     (-dBm)  12\r\n"
    "Round Trip Delay                (msec)  n/a\r\n"
    "Near Echo Level                 (-dB)  33\r\n"
    "Transmit Frame Count            1234\r\n"
    "Transmit Frame Error Count      5\r\n"
    "Receive  Frame Count            4321\r\n"
    "Receive  Frame Error Count      6\r\n"
    "Retrain by Local Modem          2\r\n"
    "Retrain by Remote Modem         1\r\n"
    "Call Termination Cause          61\r\n"
    "Robbed-Bit Signaling            1\r\n"
    "Digital Loss                    (dB)  3\r\n"
    "\r\nOK\r\n";

TEST(ParseTables, Ati11PageFillsTheLastCallRecord)
{
    TestModem m;
    ASSERT_EQ(parsetbl_ParseCommand(&m, kAti11Reply, PARSETBL_ATI11), 1);
    struct {
        int field;
        uint32_t value;
    } const expected[] = {
        {6, 5},  {2, 33600}, {3, 50666}, {4, 31200}, {5, 48000}, {0, 2},  {1, 3},  {7, 21},
        {8, 12}, {9, 0},  // a value word that is no number
        {10, 33}, {11, kUnset},  // a label the page does not carry
        {12, 1234}, {13, 5}, {14, 4321}, {15, 6}, {16, 2}, {17, 1}, {22, 61}, {20, 1}, {21, 3},
        {18, kUnset}, {19, kUnset},
    };
    for (auto& e : expected) {
        SCOPED_TRACE(e.field);
        EXPECT_EQ(m.last.Field[e.field], e.value);
    }
}

TEST(ParseTables, AtAndVPageFillsTheConfigurationRecords)
{
    const char reply[] =
        "at&v\r"
        "\r\nComm Standard       CCITT             CommandCharEcho     Enabled           \r\n"
        "Result Codes        Enabled           ResultCode Form     Number            \r\n"
        "CDC Action          Standard RS232    DTR Action          Off=Reset         \r\n"
        "V22b Guard Tone     550 Hz            Flow Control        Hardware          \r\n"
        "Error Control Mode  V42,MNP           Data Compression    V42bis            \r\n"
        "AutoAnswerRing#     2                 AT Escape Char      43                \r\n"
        "CarriageReturn Char 13                Linefeed Char       10                \r\n"
        "Blind Dial Pause    4                 Pause Time          3                 \r\n"
        "No Carrier Disc     14                DTMF Dial Speed     95                \r\n"
        "Data Calling Tone   Disabled          Line Rate           Turbo             \r\n"
        "&Z0=5551234  &Z1=  &Z2=0049301234  &Z3=\r\n"
        "\r\nOK\r\n";
    TestModem m;
    txtf_Set(&m.config.Field[15], "kept");
    ASSERT_EQ(parsetbl_ParseCommand(&m, reply, PARSETBL_ATANDV), 1);
    struct {
        const char* what;
        uint32_t got, value;
    } const expected[] = {
        {"echo", m.config.Field[19], 1},        {"result codes", m.config.Field[20], 2},
        {"result form", m.config.Field[18], 2}, {"cd action", m.config.Field[7], 1},
        {"dtr action", m.config.Field[2], 4},   {"guard tone", m.dial.Field[0], 1},
        {"flow control", m.config.Field[9], 3}, {"error control", m.call.Field[2], 3},
        {"compression", m.call.Field[3], 1},    {"auto answer", m.config.Field[10], 2},
        {"escape", m.call.Field[4], 43},        {"cr", m.config.Field[21], 13},
        {"lf", m.config.Field[22], 10},         {"backspace (absent)", m.config.Field[23], kUnset},
        {"blind pause", m.dial.Field[1], 4},    {"pause", m.dial.Field[2], 3},
        {"no carrier", m.config.Field[0], 14},  {"dtmf", m.dial.Field[3], 95},
        {"calling tone", m.dial.Field[4], 0},   {"line rate (no name)", m.call.Field[0], PARSETBL_NO_MATCH},
    };
    for (auto& e : expected) {
        SCOPED_TRACE(e.what);
        EXPECT_EQ(e.got, e.value);
    }
    EXPECT_EQ(m.Text(m.config.Field[14]), "5551234");
    EXPECT_EQ(m.Text(m.config.Field[15]), "kept");  // the next entry's "&": unchanged
    EXPECT_EQ(m.Text(m.config.Field[16]), "0049301234");
    EXPECT_EQ(m.Text(m.config.Field[17]), "<none>");  // empty at the line's end
}

TEST(ParseTables, ValueNamesAndRows)
{
    const parsetbl_tRow* flow = nullptr;
    for (int i = 0; parsetbl_GetRow(2, i) != nullptr; i++)
        if (std::strcmp(parsetbl_GetRow(2, i)->Label, "Flow Control") == 0) flow = parsetbl_GetRow(2, i);
    ASSERT_NE(flow, nullptr);
    struct {
        const char* text;
        uint32_t value;
    } const cases[] = {
        {"Hardware", 3}, {"Hardware\r\n", 3}, {"Software  Next", 4}, {"Hard ware", PARSETBL_NO_MATCH},
        {"hardware", PARSETBL_NO_MATCH}, {"", PARSETBL_NO_MATCH}, {"Disabled", 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parsetbl_LookupValue(flow->Values, c.text), c.value);
    }
    // Names through their rows' tables, where names repeat or hold blanks and punctuation.
    auto row = [](int table, const char* label) -> const parsetbl_tRow* {
        for (int i = 0; parsetbl_GetRow(table, i) != nullptr; i++)
            if (std::strcmp(parsetbl_GetRow(table, i)->Label, label) == 0) return parsetbl_GetRow(table, i);
        return nullptr;
    };
    struct {
        int table;
        const char* label;
        const char* text;
        uint32_t value;
    } const names[] = {
        {1, "Last Connection", "56K", 3},          {1, "Last Connection", "NA", 99},
        {1, "Last Connection", "Failure", 4},      {1, "Protocol Negotiation Result", "NONE", 3},
        {1, "Data Compression Result", "MNP5", 2}, {1, "Data Compression Result", "V42bis/MNP5", 3},
        {2, "Line Rate", "33600", 0},              {2, "Line Rate", "1200/75", 2},
        {2, "Line Rate", "300(V22)", 3},           {2, "Line Rate", "1200(V22)", 5},
        {2, "Line Rate", "31200", 18},             {2, "Error Control Mode", "DirectMode", 1},
        {2, "Error Control Mode", "MNP or Disc.", 2}, {2, "Error Control Mode", "V42 or Disc.", 4},
        {2, "Error Control Mode", "V42,MNP,Buffer", 3}, {2, "Data Compression", "MNP5", 1},
        {2, "DTR Action", "Command Mode", 2},      {2, "CDC Action", "Always On", 0},
        {2, "V22b Guard Tone", "1800 Hz", 2},      {2, "Result Codes", "NoResp", 3},
        {2, "ResultCode Form", "Disabled", 1},     {2, "Speaker Volume", "Low", 0},
        {2, "Speaker Control", "OnUntilCarrier", 2}, {2, "Comm Standard", "Bell", 1},
    };
    for (auto& n : names) {
        SCOPED_TRACE(std::string(n.label) + ": " + n.text);
        const parsetbl_tRow* r = row(n.table, n.label);
        ASSERT_NE(r, nullptr);
        ASSERT_NE(r->Values, nullptr);
        EXPECT_EQ(parsetbl_LookupValue(r->Values, n.text), n.value);
    }
    EXPECT_STREQ(parsetbl_LookupName(flow->Values, 4)->Name, "Software");
    EXPECT_EQ(parsetbl_LookupName(flow->Values, 7)->Value, PARSETBL_NO_MATCH);

    EXPECT_STREQ(parsetbl_GetRow(1, 0)->Label, "ati11");
    EXPECT_STREQ(parsetbl_GetRow(2, 0)->Label, "at&v");
    int rows = 0;
    while (parsetbl_GetRow(1, rows)->Skip != PARSETBL_END_SKIP) rows++;
    EXPECT_EQ(rows, 23);
    EXPECT_EQ(parsetbl_GetRow(1, rows + 1), nullptr);
    EXPECT_EQ(parsetbl_GetRow(3, 0), nullptr);
    EXPECT_EQ(parsetbl_GetRow(1, -1), nullptr);
}

TEST(ParseTables, SingleValueQueriesAndTheProductText)
{
    TestModem m;
    EXPECT_EQ(parsetbl_ParseCommand(&m, "ats28?\r\r\n017\r\n\r\nOK\r\n", 0x004), 1);
    EXPECT_EQ(m.call.Field[7], 17u);
    EXPECT_EQ(parsetbl_ParseCommand(&m, "ats109?\r\r\n062\r\n\r\nOK\r\n", 0x020), 1);
    EXPECT_EQ(m.call.Field[8], 62u);
    EXPECT_EQ(parsetbl_ParseCommand(&m, "whatever", 0x040), 0);

    // The product text runs to the whole result line, not to a digit inside it.
    EXPECT_EQ(parsetbl_ParseCommand(&m, "ati0\r\r\nZELMQPCI Modem Version 4.10j\r\n0\r", PARSETBL_ATI0), 1);
    EXPECT_EQ(m.Text(m.status.Field[0]), "ZELMQPCI Modem Version 4.10j");
    parsetbl_ParseCommand(&m, "ati0\r\r\nOther modem\r\n\r\nOK\r\n", PARSETBL_ATI0);
    EXPECT_EQ(m.Text(m.status.Field[0]), "Other modem");
    parsetbl_ParseCommand(&m, "ati0\r\r\nno result", PARSETBL_ATI0);
    EXPECT_EQ(m.Text(m.status.Field[0]), "Other modem");
}

TEST(ParseTables, OnlyAWholeResultLineCounts)
{
    struct {
        const char* reply;
        bool found, accepted;
    } const cases[] = {
        {"\r\nOK\r\n", true, true},
        {"0\r", true, true},
        {"\r\nERROR\r\n", true, false},
        {"4\r", true, false},
        {"\r\nOKAY\r\n", false, false},
        {"\r\n10\r\nOK", true, true},
        {"\r\n000\r\n", false, false},
        {"", false, false},
        {"\r\nERROR\r\nOK\r\n", true, false},  // the first result line decides
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.reply);
        bool accepted = false;
        EXPECT_EQ(parsetbl_FindResultLine(c.reply, &accepted) != nullptr, c.found);
        EXPECT_EQ(accepted, c.accepted);
    }
}

TEST(ModemVersion, SupportedModemsAndVersions)
{
    struct {
        const char* text;
        bool supported;
    } const cases[] = {
        {"ZELMQPCI Modem Version 4.16j", true},  {"ZELMQPCI Modem Version 4.16i", false},
        {"ZELMQPCI Modem Version 4.9z", false},  {"ZELMQPCI Modem Version 5.0a", true},
        {"ZELMQPCI Modem Version 4.17", true},   {"ZELMQPCI Modem Version   4.16k", true},
        {"OTHER Modem Version 9.99z", false},    {"ZELMQPCI", false},
        {"ZELMQPCI Modem Version ", false},      {"", false},
        {"ZELMQPCI Modem Version 99999999999999999999.1a", true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(mdparse_VersionSupported(c.text), c.supported);
    }
    EXPECT_FALSE(mdparse_VersionSupported(nullptr));
}

// ---- the transport ----

struct WaitForPortEvent {
    static DWORD Next(CSerialPortMethod& port, DWORD ms = 2000)
    {
        if (WaitForSingleObject(port.GetEventHandle(), ms) != WAIT_OBJECT_0) return 0;
        DWORD mask = port.GetEventMask();
        port.WaitForEvent();
        return mask;
    }
};

TEST(SerialPortMethod, FollowsRingCarrierAndDrop)
{
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    CSerialPortMethod port(name);
    ASSERT_TRUE(port.IsOpened());
    EXPECT_EQ(port.GetKindName(), "SerialPort");
    EXPECT_EQ(port.GetObjectName(), name);
    EXPECT_EQ(port.IsCTSOn(), 1);
    EXPECT_EQ(port.IsDSROn(), 2);
    EXPECT_EQ(port.IsDCDOn(), 2);

    struct Step {
        const char* what;
        void (*act)(sim::serial::SerialModemAdapter&, const std::string&);
        DWORD events;
        int dsr, dcd;
    };
    const Step steps[] = {
        {"ring", [](auto& a, auto& n) { a.ring(n); }, EV_RING, 2, 2},
        {"carrier", [](auto& a, auto& n) { a.raise_carrier(n); }, EV_DSR | EV_RLSD, 1, 1},
        {"drop", [](auto& a, auto& n) { a.drop_carrier(n); }, EV_DSR | EV_RLSD, 2, 2},
        {"off hook", [](auto& a, auto& n) { a.set_dsr(n, true); }, EV_DSR, 1, 2},
        {"on hook", [](auto& a, auto& n) { a.set_dsr(n, false); }, EV_DSR, 2, 2},
    };
    for (auto& s : steps) {
        SCOPED_TRACE(s.what);
        s.act(*ports.adapter, name);
        DWORD seen = 0;
        for (int i = 0; i < 4 && (seen & s.events) != s.events; i++) seen |= WaitForPortEvent::Next(port);
        EXPECT_EQ(seen, s.events);
        EXPECT_EQ(port.IsDSROn(), s.dsr);
        EXPECT_EQ(port.IsDCDOn(), s.dcd);
    }
}

TEST(SerialPortMethod, ControlLinesAndBlocking)
{
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    CSerialPortMethod port(name);
    ASSERT_TRUE(port.IsOpened());
    EXPECT_EQ(port.IsDTROn(), 2);
    port.SetDTR(1);
    port.SetRTS(1);
    EXPECT_EQ(port.IsDTROn(), 1);
    EXPECT_EQ(port.IsRTSOn(), 1);
    port.SetRTS(2);
    EXPECT_EQ(port.IsRTSOn(), 2);
    EXPECT_TRUE(ports.adapter->dtr(name));

    EXPECT_TRUE(port.SetBlocking(1));
    EXPECT_TRUE(ports.adapter->blocking(name));
    EXPECT_TRUE(port.SetBlocking(0));
    EXPECT_FALSE(ports.adapter->blocking(name));

    // A call on the modem: blocking is refused and nothing is sent; releasing still goes.
    ports.adapter->set_dsr(name, true);
    for (int i = 0; i < 100 && port.IsDSROn() != 1; i++) Sleep(10);
    EXPECT_FALSE(port.SetBlocking(1));
    EXPECT_FALSE(ports.adapter->blocking(name));
    ports.adapter->set_dsr(name, false);
    for (int i = 0; i < 100 && port.IsDSROn() != 2; i++) Sleep(10);
    EXPECT_TRUE(port.SetBlocking(1));
    ports.adapter->set_dsr(name, true);
    for (int i = 0; i < 100 && port.IsDSROn() != 1; i++) Sleep(10);
    EXPECT_TRUE(port.SetBlocking(0));
    EXPECT_FALSE(ports.adapter->blocking(name));
}

TEST(SerialPortMethod, AControlThePortDriverNeverAnswersIsCancelled)
{
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    CSerialPortMethod port(name);
    ASSERT_TRUE(port.IsOpened());
    port.SetDTR(1);
    sim::serial::ModemKnobs held;
    held.hold_controls = true;
    ports.adapter->set_knobs(name, held);
    // The output word lives on SendControl's stack: the late answer must find nothing.
    EXPECT_EQ(port.SendControl(IOCTL_SERIAL_GET_DTRRTS), 0u);
    // Nor does blocking hold its caller: it is refused once the wait is over.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.SetBlocking(1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ports.adapter->set_knobs(name, {});
    EXPECT_EQ(port.IsDTROn(), 1);
    EXPECT_TRUE(port.SetBlocking(1)) << "answered again once the port driver answers";
    EXPECT_TRUE(port.SetBlocking(0));
}

TEST(SerialPortMethod, APortThatDoesNotOpenHasNoEvent)
{
    TestPorts ports(1);
    CSerialPortMethod port("ZELSHADOW7");
    EXPECT_FALSE(port.IsOpened());
    EXPECT_EQ(port.GetEventHandle(), nullptr);
    EXPECT_FALSE(port.WaitForEvent());
    // Neither does a port another owner holds.
    CSerialPortMethod first(TestPorts::shadow(1));
    CSerialPortMethod second(TestPorts::shadow(1));
    EXPECT_TRUE(first.IsOpened());
    EXPECT_FALSE(second.IsOpened());
}

// ---- exchanges with the modem ----

TEST(ModemExchange, QueriesFillTheRecords)
{
    FastTiming fast;
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    CSerialPortMethod port(name);
    ASSERT_TRUE(port.IsOpened());
    TestModem m;

    ASSERT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI0), 0);
    EXPECT_EQ(m.Text(m.status.Field[0]), "ZELMQPCI Modem Version 4.16j");
    EXPECT_TRUE(mdparse_VersionSupported(m.Text(m.status.Field[0]).c_str()));
    EXPECT_FALSE(ports.adapter->blocking(name));  // released after the exchange

    sim::serial::CallReport call;
    call.modulation = "V.32";
    call.final_rx_rate = 9600;
    call.termination = 25;
    call.rx_power = 19;
    ports.adapter->raise_carrier(name, call);
    ports.adapter->drop_carrier(name);
    for (int i = 0; i < 100 && port.IsDSROn() != 2; i++) Sleep(10);
    Sleep(50);
    ASSERT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI11), 0);
    EXPECT_EQ(m.last.Field[6], 1u);
    EXPECT_EQ(m.last.Field[5], 9600u);
    EXPECT_EQ(m.last.Field[22], 25u);
    EXPECT_EQ(m.last.Field[7], 19u);
    EXPECT_EQ(m.last.Field[21], 6u);  // on the second page

    ASSERT_EQ(mdparse_ConfigModem(&m, &port, 3, 4), 0);  // at&k4: software flow control
    uint32_t number = 0;
    txtf_Set(&number, "5551234");
    ASSERT_EQ(mdparse_ConfigModem(&m, &port, 33, number), 0);
    txtf_Free(&number);
    ASSERT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATANDV), 0);
    EXPECT_EQ(m.config.Field[9], 4u);
    EXPECT_EQ(m.Text(m.config.Field[16]), "5551234");
    EXPECT_EQ(m.config.Field[0], 14u);  // "No Carrier Disc" on the last page but one
    EXPECT_EQ(m.call.Field[0], 0u);     // "Line Rate" on the last page

    ASSERT_EQ(mdparse_ConfigModem(&m, &port, 23, 3), 0);
    ASSERT_EQ(mdparse_ATCommand(&m, &port, 0x004), 0);
    EXPECT_EQ(m.call.Field[7], 3u);
    EXPECT_EQ(mdparse_ATCommand(&m, &port, 0x040), 4);
}

TEST(ModemExchange, VersionTextsFromTheModem)
{
    FastTiming fast;
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    CSerialPortMethod port(name);
    TestModem m;
    struct {
        const char* text;
        bool supported;
    } const cases[] = {
        {"ZELMQPCI Modem Version 4.16j", true},
        {"ZELMQPCI Modem Version 4.16i", false},
        {"ZELMQPCI Modem Version 4.20", true},
        {"ZELMQPCI rev. 10 Modem Version 4.9z", false},
        {"GENERIC 56K Modem Version 9.1a", false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.text);
        sim::serial::ModemKnobs knobs;
        knobs.version_text = c.text;
        ports.adapter->set_knobs(name, knobs);
        ASSERT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI0), 0);
        EXPECT_EQ(m.Text(m.status.Field[0]), c.text);
        EXPECT_EQ(mdparse_VersionSupported(m.Text(m.status.Field[0]).c_str()), c.supported);
    }
}

TEST(ModemExchange, PageReadsStayFreshButAFreshReadAsksAgain)
{
    FastTiming fast;
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    CSerialPortMethod port(name);
    TestModem m;
    auto asked = [&] {
        int n = 0;
        for (auto& c : ports.adapter->commands(name)) n += c == "ati11";
        return n;
    };
    ASSERT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI11), 0);
    EXPECT_EQ(m.last.Field[22], 47u);
    EXPECT_EQ(asked(), 1);

    sim::serial::CallReport second;
    second.termination = 91;
    ports.adapter->raise_carrier(name, second);
    ports.adapter->drop_carrier(name);
    for (int i = 0; i < 100 && port.IsDSROn() != 2; i++) Sleep(10);
    // The modem's NO CARRIER waits in the port: the next command's reply is not it.
    auto waiting = [&] {
        DWORD errors = 0;
        COMSTAT stat{};
        return ClearCommError(port.GetPortHandle(), &errors, &stat) ? stat.cbInQue : 0u;
    };
    for (int i = 0; i < 100 && waiting() < std::strlen("\r\nNO CARRIER\r\n"); i++) Sleep(10);
    ASSERT_GT(waiting(), 0u);
    // Within 120 s: the page read answers from the record and the modem is not asked.
    EXPECT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI11), 0);
    EXPECT_EQ(asked(), 1);
    EXPECT_EQ(m.last.Field[22], 47u);
    // The call's own report is always asked for.
    EXPECT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI11, true), 0);
    EXPECT_EQ(asked(), 2);
    EXPECT_EQ(m.last.Field[22], 91u);
    // Another modem object has its own fresh time.
    TestModem other;
    EXPECT_EQ(mdparse_ATCommand(&other, &port, PARSETBL_ATI11), 0);
    EXPECT_EQ(asked(), 3);
}

TEST(ModemExchange, CommandAcceptance)
{
    FastTiming fast;
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    CSerialPortMethod port(name);
    TestModem m;
    struct {
        const char* what;
        bool numeric;           // the modem answers in digits (atv0)
        const char* error_to;   // a command the modem answers ERROR
        int command;
        uint32_t value;
        int result;
    } const cases[] = {
        {"OK", false, nullptr, 21, 5, 0},
        {"ERROR after an echo holding 0", false, "s10=", 21, 50, 4},
        {"ERROR after the echo ats10=0", false, "s10=", 21, 0, 4},
        {"digit result 0", true, nullptr, 13, 2, 0},
        {"digit result 4", true, "s0=", 13, 10, 4},
        {"a value the modem refuses", false, nullptr, 21, 999, 4},
        {"no such command", false, nullptr, 19, 1, 4},
        {"no such command past the table", false, nullptr, 36, 1, 4},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::serial::ModemKnobs knobs;
        if (c.error_to != nullptr) knobs.error_to.insert(c.error_to);
        ports.adapter->set_knobs(name, knobs);
        ASSERT_EQ(mdparse_ConfigModem(&m, &port, 10, c.numeric ? 0 : 1), 0);
        EXPECT_EQ(mdparse_ConfigModem(&m, &port, c.command, c.value), c.result);
        EXPECT_FALSE(ports.adapter->blocking(name));
    }
    EXPECT_EQ(ports.adapter->setting(name, "s10"), "5");
    EXPECT_EQ(ports.adapter->setting(name, "s0"), "2");
}

// Every command index goes out as its text and value, and every single-value query
// reads its register into its own field.
TEST(ModemExchange, EachCommandAndEachSingleValueQuery)
{
    FastTiming fast;
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    CSerialPortMethod port(name);
    TestModem m;
    uint32_t number = 0;
    txtf_Set(&number, "5550199");
    struct {
        int command;
        uint32_t value;
        const char* sent;  // nullptr: no such command, nothing sent
    } const commands[] = {
        {1, 1, "at%c1"},     {2, 1, "at&c1"},     {3, 3, "at&k3"},     {4, 0, "at&s0"},     {5, 1, "at&g1"},
        {6, 2, "at&d2"},     {7, 1, nullptr},     {8, 5, "at\\k5"},    {9, 3, "at\\n3"},    {10, 1, "atv1"},
        {11, 1, "ate1"},     {12, 0, "atq0"},     {13, 2, "ats0=2"},   {14, 43, "ats2=43"}, {15, 13, "ats3=13"},
        {16, 10, "ats4=10"}, {17, 8, "ats5=8"},   {18, 3, "ats6=3"},   {19, 1, nullptr},    {20, 4, "ats8=4"},
        {21, 20, "ats10=20"}, {22, 70, "ats11=70"}, {23, 5, "ats28=5"}, {24, 7, "ats30=7"}, {25, 1, "ats35=1"},
        {26, 9, "ats37=9"},  {27, 6, "ats38=6"},  {28, 11, "ats109=11"}, {29, 1, nullptr},  {30, 1, nullptr},
        {31, number, "at&Z0=5550199"}, {32, number, "at&Z1=5550199"}, {33, number, "at&Z2=5550199"},
        {34, number, "at&Z3=5550199"}, {35, 12, "at*h12"}, {36, 1, nullptr},
    };
    for (auto& c : commands) {
        SCOPED_TRACE(c.command);
        size_t before = ports.adapter->commands(name).size();
        EXPECT_EQ(mdparse_ConfigModem(&m, &port, c.command, c.value), c.sent != nullptr ? 0 : 4);
        auto sent = ports.adapter->commands(name);
        if (c.sent == nullptr) {
            EXPECT_EQ(sent.size(), before);
        } else {
            ASSERT_EQ(sent.size(), before + 1);
            EXPECT_EQ(sent.back(), c.sent);
        }
    }
    // A stored number is one command: a text that would end it and start another is refused.
    for (const char* text : {"555\rATZ", "555\nATZ", "555\x01"}) {
        SCOPED_TRACE(text);
        size_t before = ports.adapter->commands(name).size();
        txtf_Set(&number, text);
        EXPECT_EQ(mdparse_ConfigModem(&m, &port, 31, number), 4);
        EXPECT_EQ(ports.adapter->commands(name).size(), before);
        EXPECT_FALSE(ports.adapter->blocking(name));
    }
    txtf_Free(&number);

    struct {
        uint32_t group;
        const char* sent;
        uint32_t* field;
        uint32_t value;
    } const queries[] = {
        {0x004, "ats28?", &m.call.Field[7], 5},
        {0x008, "ats30?", &m.config.Field[6], 7},
        {0x010, "ats38?", &m.call.Field[1], 6},
        {0x020, "ats109?", &m.call.Field[8], 11},
    };
    for (auto& q : queries) {
        SCOPED_TRACE(q.sent);
        ASSERT_EQ(mdparse_ATCommand(&m, &port, q.group), 0);
        EXPECT_EQ(ports.adapter->commands(name).back(), q.sent);
        EXPECT_EQ(*q.field, q.value);
    }
    for (uint32_t unknown : {0x040u, 0x400u, 0x1000u, 0u}) EXPECT_EQ(mdparse_ATCommand(&m, &port, unknown), 4);
}

TEST(ModemExchange, ACallOnTheModemRefusesExchangesAndWritesNothing)
{
    FastTiming fast;
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    CSerialPortMethod port(name);
    TestModem m;
    ports.adapter->raise_carrier(name);
    for (int i = 0; i < 100 && port.IsDSROn() != 1; i++) Sleep(10);
    EXPECT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI0), 3);
    EXPECT_EQ(mdparse_ConfigModem(&m, &port, 21, 5), 4);
    EXPECT_EQ(mdparse_SendCommand(&port, "at", false), 1);
    Sleep(50);
    EXPECT_TRUE(ports.adapter->commands(name).empty());
    EXPECT_EQ(m.status.Field[0], kUnset);
}

TEST(ModemExchange, ASilentModemFailsTheQueryAndKeepsNoFreshTime)
{
    FastTiming fast;
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    CSerialPortMethod port(name);
    TestModem m;
    sim::serial::ModemKnobs silent;
    silent.silent = true;
    ports.adapter->set_knobs(name, silent);
    EXPECT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI11), 3);
    EXPECT_EQ(mdparse_ConfigModem(&m, &port, 21, 5), 4);
    ports.adapter->set_knobs(name, {});
    EXPECT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI11), 0);
    EXPECT_EQ(m.last.Field[22], 47u);
}

TEST(ModemExchange, ASlowModemsReadIsCancelledBeforeItsBufferIsFreed)
{
    FastTiming fast;
    mdparse_tTiming t = mdparse_GetTiming();
    t.PageWaitMs = 0;
    t.IoWaitMs = 100;
    mdparse_SetTiming(t);
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    CSerialPortMethod port(name);
    TestModem m;
    ASSERT_EQ(mdparse_ConfigModem(&m, &port, 11, 0), 0);  // no echo: nothing arrives early
    sim::serial::ModemKnobs slow;
    slow.reply_delay_ms = 800;
    ports.adapter->set_knobs(name, slow);
    for (int i = 0; i < 2; i++) {
        // The reply arrives long after the read has given up and the page buffer is gone.
        EXPECT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI0), 3);
        char* reply = new char[80]();
        int status = 0;
        char* end = mdparse_GetResults(&port, &status, reply, reply + 79);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(end, reply);
        delete[] reply;
    }
    Sleep(1000);  // the late replies land in the port's queue, nowhere else
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port.GetPortHandle(), &errors, &stat));
    EXPECT_GT(stat.cbInQue, 0u);
}

}  // namespace

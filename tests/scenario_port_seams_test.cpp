// COM ports where two events meet, on the four-line board with its firmware booted and
// the configured far ends (ISDN network on line 0, robbed-bit trunk on line 3): a
// modem-processor reset under an open port, the network's clearing of a call whose
// terminal closed the port and opened it again at once, and a dial nobody answers on
// either kind of line. An application talks to its port as a terminal program does.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/ser_init.h"
#include "platform/nt/win32.h"
#include "sim/far/isdn_network.h"
#include "sim/far/modem_peer.h"
#include "sim/far/robbed_bit.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

namespace {

using plat::nt::HANDLE;
using plat::nt::INVALID_HANDLE_VALUE;

std::string read_config(const std::string& name)
{
    std::ifstream in(std::string(VORNET_SOURCE_DIR) + "/configs/" + name);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class PortSeams : public ::testing::Test {
protected:
    static constexpr unsigned kIsdnLine = 0, kRbsLine = 3;
    rig::Rig r;
    sim::Card* card = nullptr;
    plat::ndis::Adapter* na = nullptr;
    rig::FarEnds far;
    std::unique_ptr<sim::ModemPeer> peer;  // the far modem on the ISDN line's speech calls
    plat::nt::Win32Client client;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(read_config("four-line.reg"), &e)) << e;
        r.set_firmware(sim::fw::default_image());
        card = &r.add_board_for(1, 4);
        far = r.attach_far_ends(*card, 1);
        ASSERT_NE(far.isdn[kIsdnLine], nullptr);
        ASSERT_NE(far.robbed_bit[kRbsLine], nullptr);
        peer = std::make_unique<sim::ModemPeer>(r.host.sched, card->line(kIsdnLine));
        peer->follow(*far.isdn[kIsdnLine]);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        r.host.run_for(plat::ms(15000));
        ASSERT_TRUE(rig::run_until(r.host, [&] { return net().link_up(); }, plat::ms(5000)));
    }
    void TearDown() override
    {
        r.host.run_for(plat::ms(100));
        if (na != nullptr) r.halt(na);
        peer.reset();
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    Adapter* a() { return rig::Rig::driver_adapter(na); }
    sim::IsdnNetworkSide& net() { return *far.isdn[kIsdnLine]; }
    Link& link(unsigned line, unsigned index = 0) { return a()->NdisWanInfo[line][index]; }
    std::string com_of(unsigned line, unsigned index = 0)
    {
        return "\\\\.\\COM" + std::to_string(ser_PortOf(link(line, index).ThisAsyncPort)->ComNumber);
    }

    // Opened as a terminal program opens it: reads give what is there (or wait 20 ms for
    // a first byte), DTR raised.
    HANDLE open(const std::string& com)
    {
        HANDLE h = client.CreateFile(com);
        if (h == INVALID_HANDLE_VALUE) return h;
        SERIAL_TIMEOUTS t = {0xFFFFFFFF, 0xFFFFFFFF, 20, 0, 0};
        uint32_t n = 0;
        EXPECT_TRUE(client.DeviceIoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0, &n));
        EXPECT_TRUE(client.DeviceIoControl(h, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, &n));
        return h;
    }
    void type(HANDLE h, const std::string& s)
    {
        uint32_t n = 0;
        EXPECT_TRUE(client.WriteFile(h, s.data(), uint32_t(s.size()), &n));
        EXPECT_EQ(n, s.size());
    }
    // What the port gives until `want` has come or `limit` has passed.
    std::string read_until(HANDLE h, const std::string& want, plat::VTime limit)
    {
        std::string got;
        char buf[256];
        for (plat::VTime end = r.host.now() + limit; r.host.now() < end && got.find(want) == std::string::npos;) {
            uint32_t n = 0;
            if (!client.ReadFile(h, buf, sizeof buf, &n)) break;
            got.append(buf, n);
        }
        return got;
    }
    // The network-mode entry the pump of the port's Link was given since `mark` (a
    // position in its processor's message log).
    std::vector<uint8_t> entry_steps(size_t mark)
    {
        Pump* pump = link(kIsdnLine).ThisPump;
        std::vector<uint8_t> steps;
        if (pump == nullptr) return steps;
        const auto& log = card->modem(pump->ThisCsm->ThisSocket->SocketIndex)->messages();
        for (size_t i = mark; i < log.size(); i++) {
            const auto& m = log[i];
            if (!m.running || m.processor != pump->ThisCsm->Index || (m.words[3] & 0xFF) != pump->PumpNumber) continue;
            if (m.code() == MSG_NTWKENA || m.code() == MSG_SETASYN || m.code() == MSG_CRCENA) steps.push_back(m.code());
        }
        return steps;
    }
    size_t log_size(unsigned socket) { return card->modem(socket)->messages().size(); }
    bool no_isdn_call_up()
    {
        for (const auto& c : net().calls())
            if (c.state != sim::NetState::Null) return false;
        return true;
    }
};

// A dial the far end never answers ends after the modem's dial time-out with NO CARRIER
// on either kind of line, the trunk is let go, and the modem takes commands again.
TEST_F(PortSeams, ADialNobodyAnswersEndsInNoCarrierOnEitherKindOfLine)
{
    sim::AnswerPolicy silent;
    silent.action = sim::AnswerPolicy::Action::NoAnswer;
    silent.no_answer_after = plat::ms(ASYNC_DIAL_TIMEOUT_MS * 3);  // the adapter gives up first
    net().set_answer_policy(silent);
    struct Case {
        const char* name;
        unsigned line;
    } cases[] = {{"ISDN", kIsdnLine}, {"robbed bit", kRbsLine}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE h = open(com_of(c.line));
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << std::hex << client.last_status();
        type(h, "AT\r");
        EXPECT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "AT\r\r\nOK\r\n");
        type(h, "ATD5550199\r");
        std::string got = read_until(h, "NO CARRIER\r\n", plat::ms(ASYNC_DIAL_TIMEOUT_MS + 10000));
        EXPECT_NE(got.find("\r\nNO CARRIER\r\n"), std::string::npos) << got;
        EXPECT_EQ(link(c.line).ThisBChannel, nullptr) << "the call is let go";
        if (c.line == kRbsLine) {
            EXPECT_TRUE(rig::run_until(r.host, [&] {
                for (unsigned ch = 0; ch < sim::RobbedBitFarEnd::kChannels; ch++)
                    if (far.robbed_bit[kRbsLine]->adapter_off_hook(ch)) return false;
                return true;
            }, plat::ms(3000))) << "the trunk is back on-hook";
        } else {
            EXPECT_TRUE(rig::run_until(r.host, [&] { return no_isdn_call_up(); }, plat::ms(5000)))
                << "the network heard the call cleared";
        }
        type(h, "AT\r");
        EXPECT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "AT\r\r\nOK\r\n");
        EXPECT_TRUE(client.CloseHandle(h));
        r.host.run_for(plat::ms(500));
    }
}

// The far end clears a connected call on either kind of line: the port hears NO CARRIER,
// the modem is back in command state (the driver's data state ends with it) and the
// application's AT is answered, not sent down the dead line as data.
TEST_F(PortSeams, AfterTheFarEndClearsACallThePortAnswersAtAgain)
{
    sim::RobbedBitFarEnd& trunk = *far.robbed_bit[kRbsLine];
    sim::ModemPeer trunk_modem(r.host.sched, card->line(kRbsLine));
    trunk_modem.follow(trunk);
    struct Case {
        const char* name;
        unsigned line;
    } cases[] = {{"ISDN", kIsdnLine}, {"robbed bit", kRbsLine}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE h = open(com_of(c.line));
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << std::hex << client.last_status();
        type(h, "AT\r");
        ASSERT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "AT\r\r\nOK\r\n");
        type(h, "ATD5550112\r");
        std::optional<unsigned> channel;  // the trunk's channel the adapter seized
        if (c.line == kRbsLine) {
            ASSERT_TRUE(rig::run_until(r.host, [&] {
                for (unsigned ch = 0; ch < sim::RobbedBitFarEnd::kChannels && !channel; ch++)
                    if (trunk.state(ch) == sim::RobbedBitFarEnd::State::Called) channel = ch;
                return channel.has_value();
            }, plat::ms(5000)));
            ASSERT_TRUE(trunk.answer(*channel));
        }
        std::string got = read_until(h, "CONNECT", plat::ms(10000));
        ASSERT_NE(got.find("\r\nCONNECT"), std::string::npos) << got;
        read_until(h, "\r\n", plat::ms(200));
        ASSERT_NE(link(c.line).ThisPump, nullptr);
        EXPECT_EQ(link(c.line).ThisPump->OnLineData, 1u) << "data state";

        if (c.line == kRbsLine) {
            ASSERT_TRUE(trunk.clear(*channel));
        } else {
            std::optional<sim::CallKey> key;
            for (const auto& call : net().calls())
                if (call.called == "5550112") key = call.key;
            ASSERT_TRUE(key.has_value());
            ASSERT_TRUE(net().clear_call(*key));
        }
        got = read_until(h, "NO CARRIER\r\n", plat::ms(5000));
        EXPECT_NE(got.find("\r\nNO CARRIER\r\n"), std::string::npos) << got;
        EXPECT_TRUE(rig::run_until(r.host, [&] { return link(c.line).ThisBChannel == nullptr; }, plat::ms(3000)))
            << "the call is let go";
        Pump* pump = link(c.line).ThisPump;
        ASSERT_NE(pump, nullptr) << "the open port keeps its pump";
        EXPECT_TRUE(rig::run_until(r.host, [&] { return pump->OnLineData == 0; }, plat::ms(1000))) << "command state";
        type(h, "AT\r");
        EXPECT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "AT\r\r\nOK\r\n");
        EXPECT_TRUE(client.CloseHandle(h));
        r.host.run_for(plat::ms(500));
    }
}

// A terminal program closed in the middle of a call and started again at once: the
// network's clearing of the old call may arrive after the new open, and belongs to
// no session of the port. Every new session echoes, dials and connects.
TEST_F(PortSeams, ATerminalClosedMidCallAndReopenedAtOnceFindsItsModemFiftyTimesInARow)
{
    const std::string com = com_of(kIsdnLine);
    const unsigned socket = a()->Socket[0].SocketIndex;
    ASSERT_EQ(a()->Socket[0].Group, kIsdnLine);
    rig::with_adapter_lock(a(), [&] { a()->ModemRouting[kIsdnLine] = 1; });  // the line's processors in turn
    for (int i = 0; i < 50; i++) {
        SCOPED_TRACE(testing::Message() << "session " << i);
        size_t mark = log_size(socket);
        HANDLE h = open(com);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << std::hex << client.last_status();
        type(h, "AT\r");
        ASSERT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "AT\r\r\nOK\r\n") << "the modem is in network mode";
        r.host.run_for(plat::ms(100));
        ASSERT_EQ(entry_steps(mark), (std::vector<uint8_t>{MSG_NTWKENA, MSG_SETASYN, MSG_CRCENA}))
            << "the whole network-mode entry, once";
        ASSERT_EQ(link(kIsdnLine).ThisPump->SyncMode, 0u);
        const std::string number = "55501" + std::to_string(10 + i);
        type(h, "ATD" + number + "\r");
        std::string got = read_until(h, "CONNECT", plat::ms(10000));
        ASSERT_NE(got.find("\r\nCONNECT"), std::string::npos) << got;
        EXPECT_EQ(got.rfind("ATD" + number + "\r", 0), 0u) << got;
        // Closed mid-call; opened again after 0 to 48 ms, across the clearing's round trip.
        EXPECT_TRUE(client.CloseHandle(h));
        r.host.run_for(plat::ms(2 * (i % 25)));
    }
    HANDLE h = open(com);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    type(h, "AT\r");
    EXPECT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "AT\r\r\nOK\r\n");
    EXPECT_TRUE(rig::run_until(r.host, [&] { return no_isdn_call_up(); }, plat::ms(5000)))
        << "every call was cleared at the network";
    EXPECT_TRUE(client.CloseHandle(h));
}

// A call the port cleared and then lost with layer 1, before the network's clearing came:
// the next call on that Link may take the same call record, and the network's clearing
// of that call still reaches the port.
TEST_F(PortSeams, TheNextCallAfterOneClearedAndLostWithLayerOneStillHearsItsClearing)
{
    rig::with_adapter_lock(a(), [&] { a()->ModemRouting[kIsdnLine] = 1; });
    const std::string com = com_of(kIsdnLine);
    auto dial = [&](HANDLE h, const std::string& number) {
        type(h, "AT\r");
        EXPECT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "AT\r\r\nOK\r\n");
        type(h, "ATD" + number + "\r");
        const std::string got = read_until(h, "CONNECT", plat::ms(10000));
        EXPECT_NE(got.find("\r\nCONNECT"), std::string::npos) << got;
        read_until(h, "\r\n", plat::ms(200));
    };
    HANDLE h = open(com);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    dial(h, "5550111");
    EXPECT_TRUE(client.CloseHandle(h));  // the port clears the call ...
    card->line(kIsdnLine).take_down();   // ... and layer 1 goes before the network answers
    r.host.run_for(plat::ms(2000));
    card->line(kIsdnLine).bring_up();
    ASSERT_TRUE(rig::run_until(r.host, [&] { return net().link_up(); }, plat::ms(20000)));
    r.host.run_for(plat::ms(3000));

    h = open(com);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    dial(h, "5550112");
    std::optional<sim::CallKey> key;
    for (const auto& c : net().calls())
        if (c.called == "5550112") key = c.key;
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(net().clear_call(*key));
    const std::string got = read_until(h, "NO CARRIER\r\n", plat::ms(5000));
    EXPECT_NE(got.find("NO CARRIER"), std::string::npos) << "the network's clearing reached the port: " << got;
    EXPECT_TRUE(rig::run_until(r.host, [&] { return net().calls().empty(); }, plat::ms(5000)));
    EXPECT_TRUE(client.CloseHandle(h));
}

// The processor serving an open port is reset, once idle and once in a call: the port
// keeps its handle, the call is cleared at the network, and once a processor runs
// again the port has a pump and its application's AT is answered.
TEST_F(PortSeams, AnOpenPortTakesAPumpAgainAfterItsModemProcessorIsReset)
{
    rig::with_adapter_lock(a(), [&] { a()->ModemRouting[kIsdnLine] = 1; });
    HANDLE h = open(com_of(kIsdnLine));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    type(h, "AT\r");
    ASSERT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "AT\r\r\nOK\r\n");
    for (bool in_call : {false, true}) {
        SCOPED_TRACE(in_call ? "in a call" : "idle");
        if (in_call) {
            type(h, "ATD5550177\r");
            std::string got = read_until(h, "CONNECT", plat::ms(10000));
            ASSERT_NE(got.find("\r\nCONNECT"), std::string::npos) << got;
            read_until(h, "\r\n", plat::ms(200));
        }
        Pump* pump = link(kIsdnLine).ThisPump;
        ASSERT_NE(pump, nullptr);
        Csm* csm = pump->ThisCsm;
        // The processor asks for its own reset.
        card->modem(csm->ThisSocket->SocketIndex)->send_to_host(csm->Index, {0, 0, 0, uint16_t(MSG_CHRESET << 8)});
        ASSERT_TRUE(rig::run_until(r.host, [&] { return csm->State != CSM_RUNNING; }, plat::ms(100)));
        if (in_call) {
            EXPECT_TRUE(rig::run_until(r.host, [&] { return no_isdn_call_up(); }, plat::ms(5000)))
                << "the network heard the call cleared";
        }
        // Typed while no pump serves the port: answered once one does.
        auto w = client.start_write(h, {'A', 'T', '\r'});
        std::string got = read_until(h, "OK\r\n", plat::ms(30000));
        EXPECT_NE(got.find("AT\r\r\nOK\r\n"), std::string::npos) << got;
        EXPECT_TRUE(client.wait(*w, plat::ms(1000)));
        if (!w->done()) {  // never left in the driver's hands when the request goes
            client.CancelIo(h);
            ASSERT_TRUE(client.wait(*w, plat::ms(1000)));
        }
        EXPECT_EQ(w->status(), STATUS_SUCCESS);
        ASSERT_NE(link(kIsdnLine).ThisPump, nullptr);
        EXPECT_EQ(link(kIsdnLine).ThisPump->ThisLink, &link(kIsdnLine));
    }
    EXPECT_TRUE(client.CloseHandle(h));
}

// The far modem sends far more than the port holds while its application reads
// nothing: the driver's flow control (RTS to the modem) holds the data at the modem,
// which hands it on at the line's rate; all of it arrives, in order, once the
// application reads. The application then turns the modem's echo off (ATE0): after
// the escape, commands are answered without being echoed.
TEST_F(PortSeams, DataTheApplicationDoesNotReadYetIsHeldByFlowControlAndNoneIsLost)
{
    HANDLE h = open(com_of(kIsdnLine));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    type(h, "ATD5550188\r");
    std::string got = read_until(h, "CONNECT", plat::ms(10000));
    ASSERT_NE(got.find("\r\nCONNECT"), std::string::npos) << got;
    got += read_until(h, "\r\n", plat::ms(200));
    std::optional<sim::CallInfo> call;
    for (const auto& c : net().calls())
        if (c.called == "5550188") call = c;
    ASSERT_TRUE(call.has_value());
    Pump* pump = link(kIsdnLine).ThisPump;
    ASSERT_NE(pump, nullptr);
    sim::ModemSocket& model = *card->modem(pump->ThisCsm->ThisSocket->SocketIndex);

    std::string sent;
    for (int i = 0; i < 20000; i++) sent += char('A' + i % 26 + (i / 26 % 2) * 32);
    ASSERT_TRUE(peer->send(call->channel, std::vector<uint8_t>(sent.begin(), sent.end())));
    bool held = false;
    for (plat::VTime end = r.host.now() + plat::ms(8000); r.host.now() < end;) {
        r.host.run_for(plat::ms(20));
        held |= !model.rts(pump->ThisCsm->Index, pump->PumpNumber);
    }
    EXPECT_TRUE(held) << "the port never held the modem";
    std::string received;
    char buf[512];
    for (plat::VTime end = r.host.now() + plat::ms(20000); r.host.now() < end && received.size() < sent.size();) {
        uint32_t n = 0;
        if (!client.ReadFile(h, buf, sizeof buf, &n)) break;
        received.append(buf, n);
    }
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent) << "the data arrived changed or out of order";
    EXPECT_EQ(model.dropped_for_rts(pump->ThisCsm->Index, pump->PumpNumber), 0u);

    // Back to command state; echo off.
    r.host.run_for(plat::ms(1100));
    type(h, "+++");  // data to the far modem, which does not echo it
    EXPECT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "\r\nOK\r\n");
    type(h, "ATE0\r");
    EXPECT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "ATE0\r\r\nOK\r\n") << "the command itself is echoed";
    type(h, "AT\r");
    EXPECT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "\r\nOK\r\n");
    type(h, "ATE1\r");
    EXPECT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "\r\nOK\r\n");
    type(h, "AT\r");
    EXPECT_EQ(read_until(h, "OK\r\n", plat::ms(3000)), "AT\r\r\nOK\r\n");
    EXPECT_TRUE(client.CloseHandle(h));
}

// A terminal on one port dials the directory number of another port of the same line:
// the network routes the call back to the adapter, the other port rings, its terminal
// answers, both connect and the bytes cross; the caller hangs up and the answerer
// hears NO CARRIER.
TEST_F(PortSeams, ACallToTheAdaptersOwnNumberRingsTheOtherPortAndConnectsTheTwo)
{
    const std::string caller_com = com_of(kIsdnLine, 1);
    const std::string own = r.host.registry.get_value(r.parameters_key(1), "Line_0.DirectoryNumber_00")->sz;
    ASSERT_FALSE(own.empty());
    HANDLE answerer = open(com_of(kIsdnLine));
    HANDLE caller = open(caller_com);
    ASSERT_NE(answerer, INVALID_HANDLE_VALUE);
    ASSERT_NE(caller, INVALID_HANDLE_VALUE);
    type(caller, "ATD" + own + "\r");
    EXPECT_EQ(read_until(answerer, "RING\r\n", plat::ms(5000)), "\r\nRING\r\n");
    ASSERT_EQ(net().calls().size(), 2u);
    for (const auto& c : net().calls()) EXPECT_TRUE(c.routed_back);
    type(answerer, "ATA\r");
    std::string a_said = read_until(answerer, "CONNECT", plat::ms(10000));
    std::string c_said = read_until(caller, "CONNECT", plat::ms(10000));
    EXPECT_NE(a_said.find("\r\nCONNECT"), std::string::npos) << a_said;
    EXPECT_NE(c_said.find("\r\nCONNECT"), std::string::npos) << c_said;
    read_until(answerer, "\r\n", plat::ms(200));
    read_until(caller, "\r\n", plat::ms(200));
    for (const auto& c : net().calls()) EXPECT_EQ(c.state, sim::NetState::Active);

    type(caller, "hello, other port");
    EXPECT_EQ(read_until(answerer, "hello, other port", plat::ms(3000)), "hello, other port");
    type(answerer, "and back");
    EXPECT_EQ(read_until(caller, "and back", plat::ms(3000)), "and back");

    r.host.run_for(plat::ms(1100));
    type(caller, "+++");
    EXPECT_EQ(read_until(caller, "OK\r\n", plat::ms(3000)), "\r\nOK\r\n");
    type(caller, "ATH\r");
    EXPECT_EQ(read_until(caller, "OK\r\n", plat::ms(3000)), "ATH\r\r\nOK\r\n");
    std::string hung = read_until(answerer, "NO CARRIER\r\n", plat::ms(5000));
    EXPECT_NE(hung.find("\r\nNO CARRIER\r\n"), std::string::npos) << hung;
    EXPECT_TRUE(rig::run_until(r.host, [&] { return net().calls().empty(); }, plat::ms(5000))) << "both legs cleared";
    type(answerer, "AT\r");
    EXPECT_EQ(read_until(answerer, "OK\r\n", plat::ms(3000)), "AT\r\r\nOK\r\n");
    EXPECT_TRUE(client.CloseHandle(caller));
    EXPECT_TRUE(client.CloseHandle(answerer));
}

}  // namespace

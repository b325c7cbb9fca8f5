// The road of a management client on the default board with the ISDN network side on
// line 0, every request sent as the applet sends it: a 16,468-byte record through the
// vendor OID of the miniport's query entry. It reads the status snapshot of the running
// adapter, follows a network call in the link and call views, switches a framer
// loop-back on and off and sees the line come back, simulates an incoming call and a
// network disconnect through the adapter timer, and resets the adapter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/RSS_DVSP.h"
#include "driver/Wmp_nt40/RSS_DVSP_replies.h"
#include "driver/Wmp_nt40/Wmp_wspi.h"
#include "driver/Wmp_nt40/ser_init.h"
#include "platform/nt/win32.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

namespace {

struct Reply {
    ULONG status = 0;
    BACKDOOR_REQUEST_HEADER h{};
    std::vector<ULONG> seg[4];
};

class MgmtScenario : public ::testing::Test {
public:
    rig::Rig r;
    sim::Card* card = nullptr;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    sim::IsdnNetworkSide* net = nullptr;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        card = &r.add_board_for(1, 4);
        net = &r.attach_isdn_network(*card, 0, sim::IsdnNetworkConfig{});
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        a = rig::Rig::driver_adapter(na);
        ASSERT_TRUE(run_until([&] { return a->BringUpCompleted == 1; }, 1000));
        if (!run_until([&] { return net->link_up(); }, 3000)) net->establish();
        ASSERT_TRUE(run_until([&] { return net->link_up() && a->LineUp[0] == 1; }, 3000));
    }
    void TearDown() override
    {
        if (na != nullptr) r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    bool run_until(const std::function<bool()>& done, uint64_t ms)
    {
        for (uint64_t t = 0; t < ms; t += 10) {
            if (done()) return true;
            r.host.run_for(plat::ms(10));
        }
        return done();
    }
    // One request as the applet sends it: the record zeroed, class, action and
    // arguments written, then the signature and the buffer length last.
    Reply request(ULONG cls, ULONG action, std::vector<ULONG> args = {})
    {
        std::vector<ULONG> rec(BACKDOOR_REQUEST_SIZE / 4, 0);
        BACKDOOR_REQUEST_HEADER h{};
        h.Class = cls;
        h.Action = action;
        for (size_t i = 0; i < args.size(); i++) h.Arg[i] = args[i];
        h.Signature = BACKDOOR_SIGNATURE;
        h.BufferLength = BACKDOOR_REQUEST_SIZE;
        std::memcpy(rec.data(), &h, sizeof h);
        ULONG written = 0, needed = 0;
        EXPECT_EQ(r.host.ndis().query(na, OID_BACKDOOR_REQUEST, rec.data(), BACKDOOR_REQUEST_SIZE, &written, &needed),
                  NDIS_STATUS_SUCCESS);
        Reply out;
        std::memcpy(&out.h, rec.data(), sizeof out.h);
        out.status = out.h.Status;
        for (int k = 0; k < 4; k++) {
            const auto& s = out.h.Segment[k];
            if (s.Length == 0 || s.Offset < BACKDOOR_HEADER_SIZE) continue;
            EXPECT_LE(uint64_t(s.Offset) + s.Length, uint64_t(BACKDOOR_REQUEST_SIZE));
            EXPECT_EQ(s.Offset % 4, 0u);
            out.seg[k].assign(rec.begin() + s.Offset / 4, rec.begin() + (s.Offset + s.Length) / 4);
        }
        return out;
    }
    size_t trace_count(const std::string& needle)
    {
        const auto& lines = r.host.trace.lines();
        return size_t(std::count_if(lines.begin(), lines.end(),
                                    [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
    }
};

TEST_F(MgmtScenario, StatusSnapshotOfTheRunningAdapterFollowsANetworkCall)
{
    Reply snap = request(0, 100, {0});
    ASSERT_EQ(snap.status, 0u);
    const auto& w = snap.seg[0];
    ASSERT_GE(w.size(), 3u + 64);
    EXPECT_EQ(w[0], 1u) << "ISDN";
    EXPECT_EQ(w[1], ULONG(SYNCHRONIZED_ON));
    EXPECT_EQ(w[2], 4u) << "layer 2 established";
    // Every channel word is followed by its terminator: no link has a pump.
    size_t i = 3;
    for (ULONG ch = 0; ch < 32; ch++, i += 2) ASSERT_EQ(w[i + 1], 0u) << "channel " << ch;
    // Then the group's sockets: module type, 1, and per pump its state, the owner item
    // and the terminator.
    for (ULONG k = 0; k < a->SocketsPerGroup[0]; k++) {
        const DimmSocket& s = a->Socket[k];
        ASSERT_LT(i + 1, w.size());
        EXPECT_EQ(w[i], s.ModuleID);
        EXPECT_EQ(w[i + 1], 1u);
        i += 2;
        for (ULONG c = 0; c < s.ProcessorCount; c++)
            for (ULONG p = 0; p < s.Csms[c].PumpCount; p++) {
                if (s.Csms[c].State == CSM_DEAD) {
                    ASSERT_LT(i + 1, w.size());
                    EXPECT_EQ(w[i], 9u);
                    EXPECT_EQ(w[i + 1], 0u);
                    i += 2;
                    continue;
                }
                ASSERT_LT(i + 4, w.size());
                EXPECT_EQ(w[i], s.Csms[c].Pumps[p].PumpState);
                EXPECT_EQ(w[i + 1], 1u);
                EXPECT_EQ(w[i + 2], 1u);
                EXPECT_EQ(w[i + 3], 0u) << "no owner";
                EXPECT_EQ(w[i + 4], 0u);
                i += 5;
            }
    }
    EXPECT_EQ(i, w.size()) << "S0 Length counts exactly the words written";
    EXPECT_EQ(request(0, 24, {0}).h.Arg[1], 4u);

    // A call the network offers to a driver-owned link shows in the views.
    Link* l = nullptr;
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    l = LinkAcquire(a, 0, 0, 2, OWNER_DRIVER);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    ASSERT_NE(l, nullptr);
    auto key = net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(run_until([&] { return l->LinkCallStats.ConnectInd == 1; }, 3000));

    Reply dump = request(0, 28, {0, 2});
    ASSERT_EQ(dump.status, 0u);
    ASSERT_EQ(dump.seg[0].size(), 134u);
    EXPECT_EQ(dump.seg[0][0], ULONG(OWNER_DRIVER));
    EXPECT_EQ(dump.seg[0][23], 1u) << "ConnectInd";
    EXPECT_EQ(dump.seg[0][51], 3u) << "the call's B channel";
    std::string calling;
    for (ULONG k = 1; k <= dump.seg[0][54]; k++) calling += char(dump.seg[0][54 + k]);
    EXPECT_EQ(calling, "4165550199");

    Reply ch = request(0, 42, {0, 2});
    EXPECT_EQ(ch.status, 0u);
    EXPECT_EQ(ch.h.Arg[1], 3u);
    Reply stats = request(0, 29, {0});
    EXPECT_EQ(stats.seg[0][3], 1u) << "connect indications of the group";

    Reply view = request(0, 30, {0});
    ASSERT_EQ(view.seg[0].size(), 0xA00u / 4);
    EXPECT_EQ(view.seg[0][128 * 1 + 2], 2u) << "link 2 has a call";
    EXPECT_EQ(view.seg[0][128 * 2 + 2], 4u);
    EXPECT_EQ(view.seg[0][128 * 1 + 5], 100u) << "link 5 has none";

    // Ending every transfer of the group, idle links included, leaves the call to the
    // network; a simulated network disconnect then takes the link's channel down on
    // the next tick.
    EXPECT_EQ(request(3, 0, {0, 0xFFFFFFFF}).status, 0u);
    EXPECT_EQ(l->TransferTerminated, 1);
    ASSERT_EQ(l->DisconnectCause, ULONG(DISCONNECT_CAUSE_NONE));
    EXPECT_EQ(request(2, 4, {0, 2}).status, 0u);
    EXPECT_EQ(l->DisconnectCause, ULONG(DISCONNECT_CAUSE_NONE)) << "nothing happens inside the request";
    ASSERT_TRUE(run_until([&] { return l->DisconnectCause == DISCONNECT_CAUSE_NETWORK; }, 100));
    EXPECT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_IDLE; }, 1000));
}

// The layer-3 test page's messages, as it sends them, reach the network side whole.
TEST_F(MgmtScenario, LayerThreeTestMessagesReachTheNetworkWithEveryDigit)
{
    sim::AnswerPolicy manual;
    manual.action = sim::AnswerPolicy::Action::Manual;
    net->set_answer_policy(manual);
    net->clear_log();

    // "Setup": the number as one word per character, Length counting characters.
    const std::string number = "5551212";
    std::vector<ULONG> rec(BACKDOOR_REQUEST_SIZE / 4, 0);
    BACKDOOR_REQUEST_HEADER h{};
    h.Class = 2;
    h.Action = 22;
    h.Arg[0] = 0;
    h.Arg[1] = 2;       // call reference length
    h.Arg[2] = 0x0123;  // call reference value
    h.Arg[3] = 0;       // "ISDN Not Restricted (64K)"
    h.Arg[4] = 5;       // channel index 4 + 1
    h.Arg[5] = 1;       // exclusive
    h.Segment[0] = {ULONG(number.size()), BACKDOOR_HEADER_SIZE};
    h.Signature = BACKDOOR_SIGNATURE;
    h.BufferLength = BACKDOOR_REQUEST_SIZE;
    std::memcpy(rec.data(), &h, sizeof h);
    for (size_t i = 0; i < number.size(); i++) rec[BACKDOOR_HEADER_SIZE / 4 + i] = ULONG(number[i] - '0');
    ULONG w = 0, n = 0;
    ASSERT_EQ(r.host.ndis().query(na, OID_BACKDOOR_REQUEST, rec.data(), BACKDOOR_REQUEST_SIZE, &w, &n), 0u);
    std::memcpy(&h, rec.data(), sizeof h);
    ASSERT_EQ(h.Status, 0u);
    ASSERT_TRUE(run_until([&] { return !net->calls().empty(); }, 1000)) << "a SETUP reached the network";
    auto calls = net->calls();
    EXPECT_EQ(calls[0].called, number);
    EXPECT_EQ(calls[0].channel, 5u);
    EXPECT_EQ(calls[0].key.ref, 0x0123u) << "the page's call reference";
    EXPECT_TRUE(calls[0].key.user_originated);
    // "Disconnect" names that call by the same reference.
    ASSERT_EQ(request(2, 24, {0, 2, 0x0123, 1}).status, 0u);
    EXPECT_TRUE(run_until([&] { return !net->calls().empty() && net->calls()[0].last_cause == 0x10; }, 1000))
        << "DISCONNECT, normal clearing, for the page's call";

    // "Restart" of the indicated channel, then of the whole interface.
    auto restarts = [&] {
        std::vector<sim::q931::Message> out;
        for (const auto& ev : net->log())
            if (ev.kind == sim::IsdnEvent::Kind::MessageIn && ev.message && ev.message->type == uint8_t(sim::q931::MsgType::Restart))
                out.push_back(*ev.message);
        return out;
    };
    ASSERT_EQ(request(2, 26, {0, 7, 1, 0}).status, 0u);
    ASSERT_TRUE(run_until([&] { return restarts().size() == 1; }, 1000)) << "a RESTART reached the line";
    ASSERT_TRUE(restarts()[0].channel.has_value());
    EXPECT_EQ(restarts()[0].channel->channel, std::optional<uint8_t>(7));
    EXPECT_EQ(restarts()[0].restart_class, std::optional<uint8_t>(0)) << "indicated channel";
    // "Whole Interface", the page's second choice, is the interface's RESTART class.
    ASSERT_EQ(request(2, 26, {0, 0, 0, 1}).status, 0u);
    ASSERT_TRUE(run_until([&] { return restarts().size() == 2; }, 1000));
    EXPECT_EQ(restarts()[1].restart_class, std::optional<uint8_t>(6)) << "single interface";
    EXPECT_FALSE(restarts()[1].channel.has_value()) << "no B channel was given";
}

// In test mode the layer-3 test page answers and clears a call the network offers; it
// names the call by the reference value and sends the length (2) where a flag would be.
TEST_F(MgmtScenario, LayerThreeTestPageConnectsAndClearsAnOfferedCall)
{
    ASSERT_EQ(request(2, 21, {0, 1}).status, 0u);  // "Test running"
    net->clear_log();
    auto key = net->offer_call(6, "5559999", "4165550199", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key.has_value());
    r.host.run_for(plat::ms(300));
    auto got = [&](sim::q931::MsgType type) {
        for (const auto& ev : net->log())
            if (ev.kind == sim::IsdnEvent::Kind::MessageIn && ev.message && ev.message->type == uint8_t(type)) return true;
        return false;
    };
    ASSERT_FALSE(got(sim::q931::MsgType::Connect));

    ASSERT_EQ(request(2, 23, {0, 2, key->ref}).status, 0u);  // "Connect"
    EXPECT_TRUE(run_until([&] { return got(sim::q931::MsgType::Connect); }, 1000)) << "CONNECT reached the network";
    ASSERT_EQ(request(2, 24, {0, 2, key->ref, 1}).status, 0u);  // "Disconnect", 16 normal clearing
    EXPECT_TRUE(run_until([&] { return got(sim::q931::MsgType::Disconnect); }, 1000)) << "DISCONNECT reached the network";
    ASSERT_EQ(request(2, 21, {0, 0}).status, 0u);
}

// "Restart" of the indicated channel restarts that channel only: a call on another
// channel of the line stays up.
TEST_F(MgmtScenario, RestartOfOneChannelKeepsTheOtherCallsOfTheLine)
{
    Link* l = nullptr;
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    l = LinkAcquire(a, 0, 0, 2, OWNER_DRIVER);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    ASSERT_NE(l, nullptr);
    auto key = net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(run_until([&] { return net->call(*key) && net->call(*key)->state == sim::NetState::Active; }, 3000));
    net->clear_log();

    ASSERT_EQ(request(2, 26, {0, 7, 1, 0}).status, 0u);
    std::optional<sim::q931::Message> restart;
    ASSERT_TRUE(run_until(
        [&] {
            for (const auto& ev : net->log())
                if (ev.kind == sim::IsdnEvent::Kind::MessageIn && ev.message &&
                    ev.message->type == uint8_t(sim::q931::MsgType::Restart))
                    restart = *ev.message;
            return restart.has_value();
        },
        1000));
    EXPECT_EQ(restart->restart_class, std::optional<uint8_t>(0)) << "indicated channels";
    ASSERT_TRUE(restart->channel.has_value());
    EXPECT_EQ(restart->channel->channel, std::optional<uint8_t>(7));
    r.host.run_for(plat::ms(500));
    ASSERT_TRUE(net->call(*key).has_value());
    EXPECT_EQ(net->call(*key)->state, sim::NetState::Active) << "the call on channel 3 is untouched";
    EXPECT_EQ(l->ChannelState, ULONG(CHANNEL_STATE_ACTIVE));
}

// 0/10 reads the link's transmit buffer on the board, not the sender's packet.
TEST_F(MgmtScenario, LinkMemoryAfterAShortSendIsTheBoardsTransmitBuffer)
{
    Link* l = nullptr;
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    l = LinkAcquire(a, 0, 0, 2, OWNER_DRIVER);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    ASSERT_NE(l, nullptr);
    auto key = net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(run_until([&] { return l->LinkCallStats.ConnectInd == 1 && l->ChannelState == CHANNEL_STATE_ACTIVE; }, 3000));
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    l->NdisLinkContext = 0x7702;
    NdisReleaseSpinLock(&a->AdapterSpinLock);

    // Six bytes in a buffer of their own: reading 2 KiB from it would run past it.
    auto frame = std::make_unique<UCHAR[]>(6);
    const UCHAR bytes[6] = {0xFF, 0x03, 0xC0, 0x21, 0x09, 0x01};
    std::memcpy(frame.get(), bytes, 6);
    NDIS_WAN_PACKET packet{};
    packet.CurrentBuffer = frame.get();
    packet.CurrentLength = 6;
    ASSERT_EQ(r.host.ndis().send(na, l->LinkHandle, &packet), NDIS_STATUS_PENDING);
    ASSERT_TRUE(run_until([&] { return !na->send_completions.empty(); }, 1000));

    Reply mem = request(0, 10, {0, 2, 0, 0});
    ASSERT_EQ(mem.status, 0u);
    ASSERT_EQ(mem.h.Segment[0].Length, l->TxPacketSize);
    EXPECT_EQ(std::memcmp(mem.seg[0].data(), bytes, 6), 0) << "the frame as the controller sent it";
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    l->NdisLinkContext = 0;
    NdisReleaseSpinLock(&a->AdapterSpinLock);
}

// Stopping every link of the group leaves the line's signalling running.
TEST_F(MgmtScenario, StoppingAllLinksOfTheGroupKeepsTheDChannel)
{
    ASSERT_EQ(request(3, 0, {0, 0xFFFFFFFF}).status, 0u);
    EXPECT_EQ(a->NdisWanInfo[0][31].ChannelState, ULONG(CHANNEL_STATE_ACTIVE));
    r.host.run_for(plat::ms(15000));  // beyond the network's T203 and T200 retries
    EXPECT_TRUE(net->link_up());
    EXPECT_EQ(a->LineUp[0], 1);
    // A call still gets through.
    Link* l = nullptr;
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    l = LinkAcquire(a, 0, 0, 2, OWNER_DRIVER);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    auto key = net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key.has_value());
    EXPECT_TRUE(run_until([&] { return l->LinkCallStats.ConnectInd == 1; }, 3000));
}

TEST_F(MgmtScenario, FramerLoopbackOnAndOffAndTheLineComesBack)
{
    Reply on = request(6, 2, {0, 0, FRAMER_LOOPBACK});
    ASSERT_EQ(on.status, 0u);
    EXPECT_EQ(request(0, 7, {0, BT_LOOP}).h.Arg[2], 0x02u);
    EXPECT_EQ(a->Framer[0].ActiveLoopback, ULONG(FRAMER_LOOPBACK));

    Reply off = request(6, 3, {0, 0, FRAMER_LOOPBACK});
    ASSERT_EQ(off.status, 0u);
    EXPECT_EQ(request(0, 7, {0, BT_LOOP}).h.Arg[2], 0x00u);
    ASSERT_TRUE(run_until([&] { return a->Framer[0].nState == SYNCHRONIZED_ON && a->LineUp[0] == 1; }, 6000))
        << "the line resynchronises and its D channel comes back";
    EXPECT_EQ(request(6, 0, {1}).status, BACKDOOR_STATUS_BAD_PARAMETER) << "the board has one line";
}

TEST_F(MgmtScenario, SimulatedIncomingCallArrivesOnTheNextAdapterTick)
{
    size_t before = trace_count("IncomingCallIndHdlr: Entry");
    Reply rep = request(2, 3, {0, 7});
    EXPECT_EQ(rep.status, 0u);
    EXPECT_TRUE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)&a->NdisWanInfo[0][7], LINK_TMR_BACKDOOR_INCOMING_CALL));
    EXPECT_EQ(trace_count("IncomingCallIndHdlr: Entry"), before) << "the request only arms the timer";
    r.host.run_for(plat::ms(3 * a->TimerResolution));
    EXPECT_EQ(trace_count("IncomingCallIndHdlr: Entry"), before + 1);
    EXPECT_GE(trace_count("Index=7"), 1u);
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)&a->NdisWanInfo[0][7], LINK_TMR_BACKDOOR_INCOMING_CALL));
}

TEST_F(MgmtScenario, AdapterResetRequestBringsTheLineBackAndHaltIsRefused)
{
    a->StatusEventIndication = 1;
    ASSERT_EQ(request(8, 1).status, 0u);
    EXPECT_EQ(a->PumpStatusIndication, 1);
    ASSERT_EQ(request(1, 0).status, 0u);
    EXPECT_EQ(a->StatusEventIndication, 0) << "a reset clears both flag bytes";
    EXPECT_EQ(a->PumpStatusIndication, 0);
    ASSERT_TRUE(run_until([&] { return a->LineUp[0] == 1; }, 8000)) << "the bring-up chain ran again";

    EXPECT_EQ(request(2, 31).status, BACKDOOR_STATUS_BAD_INDEX);
    EXPECT_EQ(request(0, 17).status, 0u) << "the adapter still serves requests";
}

// The same road with the firmware booted: a management client talks to a pump.
class MgmtModemScenario : public MgmtScenario {
public:
    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        r.set_firmware(sim::fw::default_image());
        card = &r.add_board_for(1, 4);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        a = rig::Rig::driver_adapter(na);
        ASSERT_TRUE(run_until([&] { return a->Socket[0].Csms[0].State == CSM_RUNNING; }, 15000));
        ASSERT_TRUE(run_until([&] { return a->Socket[0].Csms[0].Pumps[0].PumpState == PUMP_SLEEP; }, 3000));
    }
};

TEST_F(MgmtModemScenario, AnAtCommandReachesAPumpAndItsAnswerIsReadOnce)
{
    Reply state = request(0, 15, {0, 0});
    ASSERT_EQ(state.status, 0u);
    EXPECT_EQ(state.h.Arg[2], 3u) << "READY";
    EXPECT_EQ(state.seg[0][0], ULONG(PUMP_SLEEP));

    // The applet's AT command: the text in Segment 0 at the data area.
    std::vector<ULONG> rec(BACKDOOR_REQUEST_SIZE / 4, 0);
    BACKDOOR_REQUEST_HEADER h{};
    h.Class = 5;
    h.Action = 5;
    h.Segment[0] = {5, BACKDOOR_HEADER_SIZE};
    h.Signature = BACKDOOR_SIGNATURE;
    h.BufferLength = BACKDOOR_REQUEST_SIZE;
    std::memcpy(rec.data(), &h, sizeof h);
    std::memcpy(reinterpret_cast<char*>(rec.data()) + BACKDOOR_HEADER_SIZE, "ATI3\r", 5);
    ULONG w = 0, n = 0;
    ASSERT_EQ(r.host.ndis().query(na, OID_BACKDOOR_REQUEST, rec.data(), BACKDOOR_REQUEST_SIZE, &w, &n), 0u);
    std::memcpy(&h, rec.data(), sizeof h);
    ASSERT_EQ(h.Status, 0u);
    Pump& p = a->Socket[0].Csms[0].Pumps[0];
    EXPECT_EQ(p.PumpEvent, ULONG(Host_Ev_Cmd));

    ASSERT_TRUE(run_until([&] { return p.AtResponseLength != 0; }, 2000)) << "the pump answered";
    Reply answer = request(0, 33, {0, 0, 0});
    ASSERT_EQ(answer.status, 0u);
    EXPECT_GT(answer.h.Segment[0].Length, 0u);
    EXPECT_EQ(p.AtResponseLength, 0u);
    EXPECT_EQ(request(0, 33, {0, 0, 0}).h.Segment[0].Length, 0u) << "each answer is read once";
}


// The PRI debug page's messages reach the network: CONNECT for the offered call named
// by its reference (length and value), RESTART of the indicated channel and of the
// interface.
TEST_F(MgmtScenario, LayerThreeTestMessagesAnswerTheOfferedCallAndRestartAsAsked)
{
    auto key = net->offer_call(6, "5551003", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(run_until([&] { return net->call(*key) && net->call(*key)->state == sim::NetState::CallReceived; }, 2000))
        << "nobody owns the Link: the call rings";
    ASSERT_EQ(request(2, 23, {0, 2, key->ref}).status, 0u);
    ASSERT_TRUE(run_until([&] { return net->call(*key) && net->call(*key)->state == sim::NetState::Active; }, 2000))
        << "CONNECT for the call of that reference";

    auto restart_sent = [&](uint8_t cls) -> std::optional<sim::q931::Message> {
        for (const auto& ev : net->log())
            if (ev.kind == sim::IsdnEvent::Kind::MessageIn && ev.message &&
                ev.message->type == uint8_t(sim::q931::MsgType::Restart) && ev.message->restart_class == cls)
                return ev.message;
        return std::nullopt;
    };
    ASSERT_EQ(request(2, 26, {0, 6, 0, 0}).status, 0u);  // channel 6, indicated channel
    ASSERT_TRUE(run_until([&] { return restart_sent(0).has_value(); }, 1000));
    ASSERT_TRUE(restart_sent(0)->channel.has_value());
    EXPECT_EQ(restart_sent(0)->channel->channel, std::optional<uint8_t>(6));
    EXPECT_FALSE(restart_sent(6).has_value()) << "one channel, not the interface";
    ASSERT_EQ(request(2, 26, {0, 6, 0, 1}).status, 0u);  // whole interface
    EXPECT_TRUE(run_until([&] { return restart_sent(6).has_value(); }, 1000));

    // No indicator chosen (the page's combo left at -1): nothing can be sent, and the
    // request says so instead of answering done.
    net->clear_log();
    EXPECT_EQ(request(2, 26, {0, 6, 0, 0xFFFFFFFF}).status, BACKDOOR_STATUS_BAD_PARAMETER);
    EXPECT_EQ(request(2, 26, {0, 6, 0, 3}).status, BACKDOOR_STATUS_BAD_PARAMETER);
    r.host.run_for(plat::ms(300));
    for (uint8_t cls : {0, 6, 7}) EXPECT_FALSE(restart_sent(cls).has_value()) << int(cls);
}

}  // namespace

namespace {

// A management client watches a serial application: the port's data monitor and the
// snapshot's COM number of the port's pump.
TEST(MgmtSerialScenario, ThePortMonitorAndTheSnapshotShowAnOpenComPort)
{
    rig::Rig r;
    std::string error;
    ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
    r.host.registry.set_dword(r.parameters_key(1), "AsyncPorts_0", 2);
    r.host.registry.set_dword(r.parameters_key(1), "AsyncPortNumbersStartAt", 3);
    r.set_firmware(sim::fw::default_image());
    r.add_board_for(1, 4);
    ASSERT_EQ(r.load_driver(), 0);
    plat::ndis::Adapter* na = r.initialize(1);
    ASSERT_NE(na, nullptr);
    r.host.run_for(plat::ms(14000));

    plat::nt::Win32Client client;
    plat::nt::HANDLE h = client.CreateFile("\\\\.\\COM3");
    ASSERT_NE(h, plat::nt::INVALID_HANDLE_VALUE) << std::hex << client.last_status();
    SERIAL_TIMEOUTS t = {0xFFFFFFFF, 0xFFFFFFFF, 300, 0, 0};
    uint32_t n = 0;
    ASSERT_TRUE(client.DeviceIoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0, &n));
    ASSERT_TRUE(client.DeviceIoControl(h, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, &n));
    r.host.run_for(plat::ms(200));
    const std::string command = "ATI3\r";
    ASSERT_TRUE(client.WriteFile(h, command.data(), uint32_t(command.size()), &n));
    char buf[64];
    while (client.ReadFile(h, buf, sizeof buf, &n) && n > 0) {
    }

    Adapter* a = rig::Rig::driver_adapter(na);
    Link* l = &a->NdisWanInfo[0][0];
    Pump* pump = l->ThisPump;
    ASSERT_NE(pump, nullptr);
    const ULONG socket = pump->ThisCsm->ThisSocket->SocketIndex, csm = pump->ThisCsm->Index, number = pump->PumpNumber;

    auto send = [&](ULONG cls, ULONG action, std::vector<ULONG> args, std::vector<ULONG>& rec) {
        rec.assign(BACKDOOR_REQUEST_SIZE / 4, 0);
        BACKDOOR_REQUEST_HEADER hd{};
        hd.Class = cls;
        hd.Action = action;
        for (size_t i = 0; i < args.size(); i++) hd.Arg[i] = args[i];
        hd.Signature = BACKDOOR_SIGNATURE;
        hd.BufferLength = BACKDOOR_REQUEST_SIZE;
        std::memcpy(rec.data(), &hd, sizeof hd);
        ULONG w = 0, m = 0;
        EXPECT_EQ(r.host.ndis().query(na, OID_BACKDOOR_REQUEST, rec.data(), BACKDOOR_REQUEST_SIZE, &w, &m), 0u);
        std::memcpy(&hd, rec.data(), sizeof hd);
        return hd;
    };
    std::vector<ULONG> rec;
    BACKDOOR_REQUEST_HEADER hd = send(12, 0, {socket, csm, number}, rec);
    ASSERT_EQ(hd.Status, 0u);
    ASSERT_EQ(hd.Segment[0].Length, 0x208u);
    const UCHAR* ring = reinterpret_cast<const UCHAR*>(rec.data()) + 0x54 + 8;
    EXPECT_NE(std::search(ring, ring + SER_MONITOR_RING_SIZE, command.begin(), command.end() - 1),
              ring + SER_MONITOR_RING_SIZE)
        << "the command the application wrote is in the monitor";

    hd = send(0, 100, {0}, rec);
    ASSERT_EQ(hd.Status, 0u);
    const ULONG* w = rec.data() + 0x54 / 4;
    bool com3 = false;
    for (ULONG i = 0; i + 2 < hd.Segment[0].Length / 4; i++)
        com3 |= w[i] == BD_SNAPSHOT_TAG_LINE_ID && w[i + 1] == 1 && w[i + 2] == 3;
    EXPECT_TRUE(com3) << "the port's pump names COM3";

    EXPECT_TRUE(client.CloseHandle(h));
    r.halt(na);
    EXPECT_EQ(r.leaked_allocations(), 0u);
    for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
}

}  // namespace

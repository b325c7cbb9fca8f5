// Modem calls on the default board with its firmware booted: the ISDN network side on
// line 0 offers a speech call to a Link the driver owns; the call goes to a free pump,
// which initialises its modem, answers on the call's time slot when the B channel is
// connected, and goes on line at the far-end modem's CONNECT; frames then cross between
// the far end and NDIS through the pump and the Link's HDLC channel; the network clears,
// the pump drops DTR, reads the call's statistics and goes back to sleep. A far-end
// modem that never answers ends the call as a failed one; a line whose pumps are all
// busy refuses the next call as busy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/MDM_PUMP.h"
#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "sim/board/hdlc.h"
#include "sim/board/tsswitch.h"
#include "sim/far/isdn_network.h"
#include "sim/far/modem_peer.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

namespace {

using Frame = std::vector<uint8_t>;
constexpr unsigned kLine = 0;

class ModemCalls : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    sim::Card* card = nullptr;
    std::unique_ptr<sim::IsdnNetworkSide> net;  // destroyed before the rig's boards
    std::unique_ptr<sim::ModemPeer> peer;       // the far modem, on each B channel the network connects
    std::deque<NDIS_WAN_PACKET> packets;
    std::deque<Frame> payloads;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        r.set_firmware(sim::fw::default_image());
        configure();
        card = &r.add_board_for(1, 4);
        net = std::make_unique<sim::IsdnNetworkSide>(r.host, card->line(kLine), sim::IsdnNetworkConfig{});
        peer = std::make_unique<sim::ModemPeer>(r.host.sched, card->line(kLine));
        peer->follow(*net);
        ASSERT_EQ(r.load_driver(), 0);
        a = rig::Rig::driver_adapter(na = r.initialize(1));
        ASSERT_NE(a, nullptr);
        // Processors boot (the 8 s start wait); layer 2 comes up meanwhile.
        ASSERT_TRUE(run_until([&] { return running_processors() == processors_of_line(); }, plat::ms(15000)));
        if (!run_until([&] { return net->link_up(); }, plat::ms(3000))) net->establish();
        ASSERT_TRUE(run_until([&] { return net->link_up(); }, plat::ms(3000)));
        ASSERT_TRUE(run_until([&] { return sleeping_pumps() == pumps_of_line(); }, plat::ms(2000)))
            << "every pump reset its channel and fell asleep";
    }
    virtual void configure() {}
    void TearDown() override
    {
        if (na) r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
        if (!net) return;
        EXPECT_EQ(net->counters().malformed, 0u);
        EXPECT_EQ(net->counters().bad_messages, 0u);
    }

    // The line channel a controller time slot reaches (-1: none).
    int channel_of_slot(int slot)
    {
        int bus = card->tsswitch().bus_slot(kLine, unsigned(slot));
        return bus < 0 || !card->bus_slot_channel ? -1 : card->bus_slot_channel(kLine, unsigned(bus));
    }

    // ---- helpers ----
    void locked(const std::function<void()>& fn) { rig::with_adapter_lock(a, fn); }
    bool run_until(const std::function<bool()>& done, plat::VTime limit) { return rig::run_until(r.host, done, limit); }
    template <typename Fn>
    void each_pump_of_line(Fn fn)
    {
        for (unsigned s = 0; s < a->SocketCount && s < MAX_SOCKETS; s++) {
            DimmSocket& socket = a->Socket[s];
            if (socket.Present != 1 || socket.Group != kLine) continue;
            for (unsigned c = 0; c < socket.ProcessorCount; c++) fn(socket.Csms[c]);
        }
    }
    size_t processors_of_line()
    {
        size_t n = 0;
        each_pump_of_line([&](Csm&) { n++; });
        return n;
    }
    size_t running_processors()
    {
        size_t n = 0;
        each_pump_of_line([&](Csm& c) { n += c.State == CSM_RUNNING; });
        return n;
    }
    size_t pumps_of_line()
    {
        size_t n = 0;
        each_pump_of_line([&](Csm& c) { n += c.PumpCount; });
        return n;
    }
    size_t sleeping_pumps()
    {
        size_t n = 0;
        each_pump_of_line([&](Csm& c) {
            for (ULONG p = 0; p < c.PumpCount; p++) n += c.Pumps[p].PumpState == PUMP_SLEEP && c.Pumps[p].ThisLink == nullptr;
        });
        return n;
    }
    sim::ModemSocket& model_of(Pump* p) { return *card->modem(p->ThisCsm->ThisSocket->SocketIndex); }
    std::string host_text(Pump* p) { return model_of(p).text_from_host(p->ThisCsm->Index, p->PumpNumber); }
    // Running-firmware messages the driver sent to pump p, by code, in order.
    std::vector<uint8_t> codes_to(Pump* p, std::initializer_list<uint8_t> wanted, plat::VTime since)
    {
        std::vector<uint8_t> out;
        for (const auto& m : model_of(p).messages())
            if (m.running && m.time >= since && m.processor == p->ThisCsm->Index && (m.words[3] & 0xFF) == p->PumpNumber &&
                std::find(wanted.begin(), wanted.end(), m.code()) != wanted.end())
                out.push_back(m.code());
        return out;
    }
    NDIS_STATUS send(Link* l, const Frame& f)
    {
        payloads.push_back(f);
        packets.emplace_back();
        NDIS_WAN_PACKET& p = packets.back();
        std::memset(&p, 0, sizeof p);
        p.CurrentBuffer = payloads.back().data();
        p.CurrentLength = ULONG(f.size());
        return r.host.ndis().send(na, l->LinkHandle, &p);
    }
    // One frame each way between the far modem on `channel` and NDIS on Link l.
    void exchange_data(Link* l, unsigned channel, ULONG context)
    {
        const Frame in{0xFF, 0x03, 0xC0, 0x21, 0x01, 0x07, 0x00, 0x04};
        size_t before = na->receives.size(), heard = peer->received(channel).size();
        ASSERT_TRUE(peer->send(channel, in));
        ASSERT_TRUE(run_until([&] { return na->receives.size() == before + 1; }, plat::ms(200)));
        EXPECT_EQ(na->receives[before].link_context, context);
        EXPECT_EQ(na->receives[before].data, in);
        ASSERT_EQ(send(l, {0xFF, 0x03, 0x00, 0x21, 0x45, 0x00, 0x00, 0x14}), NDIS_STATUS_PENDING);
        ASSERT_TRUE(run_until([&] { return peer->received(channel).size() == heard + 1; }, plat::ms(200)));
        EXPECT_EQ(peer->received(channel).back(), payloads.back());
    }
    // The cause of the first clearing message the network received (0: none).
    uint8_t clearing_cause() const
    {
        for (const auto& ev : net->log())
            if (ev.kind == sim::IsdnEvent::Kind::MessageIn && ev.message && ev.message->cause &&
                (ev.message->type == uint8_t(sim::q931::MsgType::Disconnect) ||
                 ev.message->type == uint8_t(sim::q931::MsgType::Release) ||
                 ev.message->type == uint8_t(sim::q931::MsgType::ReleaseComplete)))
                return ev.message->cause->value;
        return 0;
    }
    bool net_sent(sim::q931::MsgType type) const
    {
        for (const auto& ev : net->log())
            if (ev.kind == sim::IsdnEvent::Kind::MessageIn && ev.message && ev.message->type == uint8_t(type)) return true;
        return false;
    }
    char sampling_digit()
    {
        ULONG s = a->SamplingType[kLine];
        return char('0' + (s != 2 ? s : 0));  // line 0 is T1
    }
    std::string answer_command(ULONG slot)
    {
        std::string digits = std::to_string(slot);
        digits.resize(3, ' ');
        return "AT+TSA=" + digits + ",1;%U" + sampling_digit() + "A\r";
    }
};

TEST_F(ModemCalls, SpeechCallIsAnsweredByAPumpCarriesDataAndEndsWithStatistics)
{
    const ULONG kIndex = 2;       // directory number 5551002
    const unsigned kChannel = 3;  // the call's B channel
    Link* l = nullptr;
    locked([&] { l = LinkAcquire(a, 0, kLine, kIndex, OWNER_DRIVER); });
    ASSERT_NE(l, nullptr);

    auto key = net->offer_call(kChannel, "5551002", "4165550199", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(run_until([&] { return l->ThisPump != nullptr; }, plat::ms(1000))) << "a pump was reserved";
    Pump* p = l->ThisPump;
    EXPECT_EQ(p->ThisLink, l);
    EXPECT_EQ(p->ThisCsm->State, ULONG(CSM_RUNNING));
    EXPECT_EQ(p->ThisCsm->ThisSocket->Group, kLine);
    EXPECT_EQ(p->CallNumber, 1u);
    const plat::VTime offered = r.host.sched.now();

    // Init string, OK, ring: the driver answers its own call; CONNECT ACKNOWLEDGE hands
    // the call to the pump, which answers on the call's slot; the far end connects.
    ASSERT_TRUE(run_until([&] { return net->call(*key) && net->call(*key)->state == sim::NetState::Active; },
                          plat::ms(3000)));
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_ON_LINE; }, plat::ms(3000)));
    ASSERT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_ACTIVE && l->LinkCallStats.ConnectInd == 1; },
                          plat::ms(1000)));
    const std::string init(a->ModemDataInit[kLine].Text, size_t(a->ModemDataInit[kLine].Count));
    EXPECT_EQ(init, "ATS95=4\\N3%C3\r");
    const std::string answer = answer_command(p->TimeSlot);
    EXPECT_EQ(host_text(p), init + answer) << "the init string, then the answer command, nothing else";
    EXPECT_EQ(channel_of_slot(int(p->TimeSlot)), int(kChannel)) << "the answer command names the call's channel";
    EXPECT_EQ(model_of(p).call(p->ThisCsm->Index, p->PumpNumber), sim::ModemSocket::Call::Connected);
    EXPECT_TRUE(model_of(p).dtr(p->ThisCsm->Index, p->PumpNumber)) << "DTR raised after the init string";
    EXPECT_EQ(l->LinkSpeed, 33600u) << "from the modem's CARRIER report";
    EXPECT_EQ(l->TransferCaps, 0u);
    EXPECT_EQ(l->LinkCallStats.ConnectTo33600, 1u);
    EXPECT_EQ(p->GoodCalls, 1u);
    EXPECT_EQ(p->FailedCalls, 0u);
    EXPECT_EQ(p->PumpCallStats.ConnectTo33600, 1u);
    EXPECT_EQ(p->ThisCsm->CallStats.ConnectTo33600, 1u);
    EXPECT_EQ(p->ThisCsm->GoodCalls, 1u);
    EXPECT_EQ(p->ResetAttempts, 0u);
    // The B channel went to the pump: the controller's map carries the pump's data slots.
    ULONG ch = GetLinkTimeslot(l);
    for (ULONG s = p->PumpDataTS; s < p->PumpDataTS + 3; s++)
        EXPECT_EQ(card->hdlc().map_byte(false, kLine, s), 0x80 | ch) << "slot " << s;
    EXPECT_EQ(codes_to(p, {MSG_DTERPT, MSG_SETTSA, MSG_CHRESET}, offered), (std::vector<uint8_t>{MSG_DTERPT}));

    EXPECT_EQ(peer->state(kChannel), sim::ModemPeer::State::Connected) << "the far modem on the call's channel";
    EXPECT_EQ(peer->connects(kChannel), 1u);

    // Data both ways: far modem <-> line channel <-> time-slot switch <-> pump <-> its
    // data slots <-> HDLC channel <-> NDIS.
    locked([&] { l->NdisLinkContext = 0x7702; });
    exchange_data(l, kChannel, 0x7702);

    // The network clears: time slot away, DTR dropped, the modem hangs up, statistics
    // are read, the channel is reset and the pump sleeps.
    const plat::VTime cleared = r.host.sched.now();
    ASSERT_TRUE(net->clear_call(*key));
    ASSERT_TRUE(run_until([&] { return l->ThisPump == nullptr; }, plat::ms(3000)));
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_SLEEP; }, plat::ms(5000)));
    EXPECT_EQ(p->ThisLink, nullptr);
    EXPECT_EQ(codes_to(p, {MSG_SETTSA, MSG_DTERPT, MSG_CHRESET, MSG_DCEREQ}, cleared),
              (std::vector<uint8_t>{MSG_SETTSA, MSG_DTERPT, MSG_CHRESET, MSG_DCEREQ}));
    EXPECT_FALSE(model_of(p).dtr(p->ThisCsm->Index, p->PumpNumber));
    EXPECT_EQ(host_text(p), init + answer + "AT&V1&V2\r ");
    const std::string stats = model_of(p).statistics_text(p->PumpNumber);
    ASSERT_GT(stats.size(), 512u);
    EXPECT_EQ(std::string((const char*)p->StatisticsText, p->StatisticsLength), stats);
    EXPECT_EQ(p->FailedCalls, 0u) << "a host clearing is no failed call";
    EXPECT_EQ(p->GoodCalls, 1u);
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_IDLE);
    EXPECT_TRUE(r.host.trace.contains("PUMP_ON_LINE + Host_Ev_Disc= PUMP_GET_STATISTICS"));
    EXPECT_TRUE(r.host.trace.contains("PUMP_GET_STATISTICS + Pump_Ev_End_Statistics= PUMP_HANGUP"));
    EXPECT_EQ(sleeping_pumps(), pumps_of_line());

    // The next call takes a pump again and connects.
    auto again = net->offer_call(kChannel, "5551002", "4165550199", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(run_until([&] { return l->LinkCallStats.ConnectInd == 2; }, plat::ms(5000)));
    ASSERT_NE(l->ThisPump, nullptr);
    EXPECT_EQ(l->ThisPump->CallNumber, 2u);
}

TEST_F(ModemCalls, OutgoingModemCallDialsOnItsPumpAndIsDroppedLocally)
{
    Link* l = nullptr;
    locked([&] { l = LinkAcquire(a, 0x1234, kLine, 7, OWNER_TELEPHONY_SUBSYSTEM); });
    ASSERT_NE(l, nullptr);
    const char dial[] = "555-1212";
    BOOLEAN placed = FALSE;
    locked([&] {
        DecodeCallModifiers(l, (const UCHAR*)dial, sizeof dial - 1);
        l->TransferCaps = 0;  // a modem call
        placed = RSS_MakeCall(l);
    });
    ASSERT_TRUE(placed);
    Pump* p = l->ThisPump;
    ASSERT_NE(p, nullptr) << "the pump is reserved before the SETUP";
    EXPECT_EQ(p->OutgoingCall, 1);
    EXPECT_TRUE(net->calls().empty()) << "no SETUP before the pump is ready";
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_ON_LINE && l->LinkCallStats.ConnectInd == 1; },
                          plat::ms(5000)));
    auto calls = net->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].called, "5551212");
    EXPECT_EQ(calls[0].bearer.capability, 0x00) << "speech";
    EXPECT_EQ(channel_of_slot(int(p->TimeSlot)), int(calls[0].channel));
    std::string digits = std::to_string(p->TimeSlot);
    digits.resize(3, ' ');
    EXPECT_EQ(host_text(p), "ATS95=4\\N3%C3\r" + std::string("AT+TSA=") + digits + ",1;%U" + sampling_digit() + "D\r");
    EXPECT_EQ(l->LinkCallStats.ConnectTo33600, 1u);
    EXPECT_EQ(p->PumpCallStats.ConnectTo33600, 1u);
    EXPECT_EQ(peer->state(calls[0].channel), sim::ModemPeer::State::Connected) << "the far modem answered the dial";

    // Data both ways through the board's time-slot switch.
    ASSERT_TRUE(run_until([&] { return l->NdisLinkContext != 0; }, plat::ms(200))) << "NDIS has the line up";
    exchange_data(l, calls[0].channel, l->NdisLinkContext);

    // TAPI drops the call: the pump clears, reads its statistics and sleeps.
    locked([&] { RSS_Disconnect(l, TERMINATE_TRANSFER | TERMINATE_CALL | LINK_DOWN); });
    EXPECT_EQ(l->ThisPump, nullptr);
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_SLEEP; }, plat::ms(5000)));
    EXPECT_EQ(p->ThisLink, nullptr);
    EXPECT_EQ(p->FailedCalls, 0u);
    EXPECT_NE(host_text(p).find("AT&V1&V2\r "), std::string::npos);
    EXPECT_EQ(std::string((const char*)p->StatisticsText, p->StatisticsLength),
              model_of(p).statistics_text(p->PumpNumber));
    EXPECT_EQ(peer->hangups_heard(calls[0].channel), 1u) << "the far modem heard the pump hang up";
    ASSERT_TRUE(run_until([&] { return net->calls().empty() || net->calls()[0].state == sim::NetState::Null; },
                          plat::ms(3000)));
}

TEST_F(ModemCalls, FarModemWithoutCarrierFailsTheCallAndStillReadsStatistics)
{
    peer->set_config({false, 33600, plat::ms(200)});  // hears the pump's carrier, never answers it
    for (unsigned s = 0; s < a->SocketCount && s < MAX_SOCKETS; s++)
        if (card->modem(s)) card->modem(s)->set_carrier_wait(plat::ms(1000));
    Link* l = nullptr;
    locked([&] { l = LinkAcquire(a, 0, kLine, 2, OWNER_DRIVER); });
    ASSERT_NE(l, nullptr);
    auto key = net->offer_call(3, "5551002", "100", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(run_until([&] { return l->ThisPump != nullptr; }, plat::ms(1000)));
    Pump* p = l->ThisPump;
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_ANSWER; }, plat::ms(3000)));
    // NO CARRIER: a failed call, reported to call control, which clears the call.
    ASSERT_TRUE(run_until([&] { return !net->call(*key) || net->call(*key)->state == sim::NetState::Null; },
                          plat::ms(6000)));
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_SLEEP; }, plat::ms(5000)));
    EXPECT_EQ(p->FailedCalls, 1u);
    EXPECT_EQ(p->GoodCalls, 0u);
    EXPECT_EQ(p->ThisCsm->FailedCalls, 1u);
    const CALL_STATS zero{};
    EXPECT_EQ(std::memcmp(&p->PumpCallStats, &zero, sizeof zero), 0) << "no speed class for a failed call";
    EXPECT_EQ(l->DisconnectCause, (ULONG)DISCONNECT_CAUSE_PUMP_FAILURE);
    EXPECT_EQ(l->LinkCallStats.ConnectInd, 0u);
    EXPECT_EQ(l->ThisPump, nullptr);
    EXPECT_EQ(p->ThisLink, nullptr);
    EXPECT_NE(host_text(p).find("AT&V1&V2\r "), std::string::npos) << "statistics read after a failed call too";
    EXPECT_GT(p->StatisticsLength, 512u);
    EXPECT_TRUE(net_sent(sim::q931::MsgType::Disconnect) || net_sent(sim::q931::MsgType::Release));
}

TEST_F(ModemCalls, FarModemDroppingItsCarrierEndsTheCallAsAFailedOne)
{
    Link* l = nullptr;
    locked([&] { l = LinkAcquire(a, 0, kLine, 2, OWNER_DRIVER); });
    ASSERT_NE(l, nullptr);
    auto key = net->offer_call(3, "5551002", "100", sim::q931::Bearer::speech(true));
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(run_until([&] { return l->ThisPump != nullptr; }, plat::ms(1000)));
    Pump* p = l->ThisPump;
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_ON_LINE && l->LinkCallStats.ConnectInd == 1; },
                          plat::ms(5000)));
    ASSERT_TRUE(peer->hang_up(3));
    // NO CARRIER on line: a failed call after a good one; call control clears the call.
    ASSERT_TRUE(run_until([&] { return !net->call(*key) || net->call(*key)->state == sim::NetState::Null; },
                          plat::ms(6000)));
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_SLEEP; }, plat::ms(5000)));
    EXPECT_EQ(p->GoodCalls, 1u);
    EXPECT_EQ(p->FailedCalls, 1u);
    EXPECT_EQ(l->DisconnectCause, (ULONG)DISCONNECT_CAUSE_PUMP_FAILURE);
    EXPECT_EQ(l->ThisPump, nullptr);
    EXPECT_EQ(p->ThisLink, nullptr);
    EXPECT_GT(p->StatisticsLength, 512u);
    EXPECT_TRUE(r.host.trace.contains("PUMP_ON_LINE + Pump_Ev_No_Carrier= PUMP_GET_STATISTICS"));
}

// A processor reset takes its pumps from their calls: the call is reported cleared (the
// network hears of it), both sides of the binding go, and the old Link no longer reaches
// the pump once it serves another call. A good call on a processor that was reset
// before starts its reset count afresh.
TEST_F(ModemCalls, AProcessorResetClearsItsCallsAndUnbindsBothSides)
{
    a->ModemRouting[kLine] = 1;  // every call takes the line's first free pump
    Csm& csm = a->Socket[0].Csms[0];
    Link* first = nullptr;
    locked([&] { first = LinkAcquire(a, 0, kLine, 2, OWNER_DRIVER); });
    ASSERT_NE(first, nullptr);
    auto key = net->offer_call(3, "5551002", "100", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(run_until([&] { return first->ThisPump != nullptr; }, plat::ms(1000)));
    Pump* p = first->ThisPump;
    ASSERT_EQ(p, &csm.Pumps[0]);
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_ON_LINE && first->LinkCallStats.ConnectInd == 1; },
                          plat::ms(5000)));
    EXPECT_EQ(csm.ResetAttempts, 0u) << "the good call cleared the bring-up's reset";

    // The processor asks for its own reset in the middle of the call.
    card->modem(0)->send_to_host(0, {0, 0, 0, uint16_t(MSG_CHRESET << 8)});
    ASSERT_TRUE(run_until([&] { return csm.State != CSM_RUNNING; }, plat::ms(100)));
    ASSERT_TRUE(run_until([&] { return csm.State == CSM_RESETTING || csm.State == CSM_DOWNLOADING; }, plat::ms(100)));
    EXPECT_EQ(first->ThisPump, nullptr);
    EXPECT_EQ(p->ThisLink, nullptr);
    EXPECT_EQ(first->DisconnectCause, (ULONG)DISCONNECT_CAUSE_PUMP_FAILURE);
    ASSERT_TRUE(run_until([&] { return !net->call(*key) || net->call(*key)->state == sim::NetState::Null; },
                          plat::ms(3000)))
        << "the network heard the call cleared";

    // Once loaded again the pump serves a new call on another Link; clearing the old
    // Link does not touch it.
    ASSERT_TRUE(run_until([&] { return csm.State == CSM_RUNNING && p->PumpState == PUMP_SLEEP; }, plat::ms(15000)));
    EXPECT_EQ(csm.ResetAttempts, 1u);
    Link* second = nullptr;
    locked([&] { second = LinkAcquire(a, 0, kLine, 4, OWNER_DRIVER); });
    ASSERT_NE(second, nullptr);
    auto again = net->offer_call(5, "5551004", "100", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(again.has_value());
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_ON_LINE && second->LinkCallStats.ConnectInd == 1; },
                          plat::ms(5000)));
    ASSERT_EQ(second->ThisPump, p);
    EXPECT_EQ(csm.ResetAttempts, 0u);
    locked([&] { RSS_Disconnect(first, TERMINATE_TRANSFER | TERMINATE_CALL | LINK_DOWN); });
    r.host.run_for(plat::ms(500));
    EXPECT_EQ(p->PumpState, ULONG(PUMP_ON_LINE)) << "the new call goes on";
    EXPECT_EQ(p->ThisLink, second);
    EXPECT_EQ(net->call(*again)->state, sim::NetState::Active);
}

TEST_F(ModemCalls, CallsBeyondTheFreePumpsAreRefusedBusy)
{
    // One pump of the line is left free: the others are put out of service, as the
    // management request puts them, under the adapter's lock.
    Pump* free_pump = nullptr;
    locked([&] {
        each_pump_of_line([&](Csm& c) {
            for (ULONG p = 0; p < c.PumpCount; p++) {
                if (free_pump == nullptr && c.Pumps[p].PumpState == PUMP_SLEEP)
                    free_pump = &c.Pumps[p];
                else
                    c.Pumps[p].PumpState = PUMP_OUT_OF_SERVICE;
            }
        });
    });
    ASSERT_NE(free_pump, nullptr);
    Link* first = nullptr;
    Link* second = nullptr;
    locked([&] {
        first = LinkAcquire(a, 0, kLine, 2, OWNER_DRIVER);
        second = LinkAcquire(a, 0, kLine, 3, OWNER_DRIVER);
    });
    ASSERT_TRUE(first && second);
    auto taken = net->offer_call(3, "5551002", "100", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(taken.has_value());
    ASSERT_TRUE(run_until([&] { return first->ThisPump != nullptr; }, plat::ms(1000)));
    EXPECT_EQ(first->ThisPump, free_pump);

    // The call beyond it is refused busy; the first keeps its pump and connects.
    auto refused = net->offer_call(4, "5551003", "101", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(refused.has_value());
    ASSERT_TRUE(run_until([&] { return !net->call(*refused) || net->call(*refused)->state == sim::NetState::Null; },
                          plat::ms(6000)));
    EXPECT_EQ(second->ThisPump, nullptr);
    EXPECT_EQ(second->LinkCallStats.IncomingInd, 1u);
    EXPECT_TRUE(r.host.trace.contains("\tNo pump available"));
    uint8_t cause = 0;
    for (const auto& ev : net->log())
        if (ev.kind == sim::IsdnEvent::Kind::MessageIn && ev.call == *refused && ev.message && ev.message->cause && cause == 0)
            cause = ev.message->cause->value;
    EXPECT_EQ(cause, sim::q931::cause::kUserBusy) << "the refused call's clearing says user busy";
    ASSERT_TRUE(run_until([&] { return net->call(*taken) && net->call(*taken)->state == sim::NetState::Active; },
                          plat::ms(5000)));
    EXPECT_EQ(first->ThisPump, free_pump);
    EXPECT_EQ(clearing_cause(), sim::q931::cause::kUserBusy) << "the only clearing was the refusal";
}

}  // namespace

namespace {

// Six-pump modules are told their pumps' data slots by the TDM set-up message: a call
// on such a board connects and carries data on the slots the driver named.
class TdmModemCalls : public ModemCalls {
    void configure() override
    {
        for (int k = 0; k < 5; k++) r.host.registry.set_dword(r.parameters_key(1), "ModuleID_" + std::to_string(k), 5);
    }
};

TEST_F(TdmModemCalls, ACallRunsOnTheDataSlotsTheDriverNamed)
{
    a->ModemRouting[kLine] = 1;  // the first free pump: socket 0's slots lie inside the controller's 128
    Link* l = nullptr;
    locked([&] { l = LinkAcquire(a, 0, kLine, 2, OWNER_DRIVER); });
    ASSERT_NE(l, nullptr);
    auto key = net->offer_call(3, "5551002", "100", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(run_until([&] { return l->ThisPump != nullptr; }, plat::ms(1000)));
    Pump* p = l->ThisPump;
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_ON_LINE && l->ChannelState == CHANNEL_STATE_ACTIVE; },
                          plat::ms(5000)));
    EXPECT_EQ(p->ThisCsm->PumpCount, 6u);
    EXPECT_EQ(model_of(p).data_slot(p->ThisCsm->Index, p->PumpNumber), int(p->PumpDataTS));
    locked([&] { l->NdisLinkContext = 0x5A; });
    r.host.run_for(plat::ms(100));  // the channel's activation completes at the controller
    exchange_data(l, 3, 0x5A);
    ASSERT_TRUE(net->clear_call(*key));
    ASSERT_TRUE(run_until([&] { return p->PumpState == PUMP_SLEEP; }, plat::ms(5000)));
    EXPECT_GT(p->StatisticsLength, 512u);
}

}  // namespace

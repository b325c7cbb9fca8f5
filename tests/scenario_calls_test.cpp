// Call control on the simulated board with the real line stacks: the ISDN network side
// on line 0 offers a data call to a Link the driver owns, which the driver answers; the
// call connects, its frames cross between the far end and NDIS once the NDIS line is up,
// and the network's clearing ends the data path, the NDIS line and the call. A call
// placed with a dial string is answered by the network, carries data and is cleared
// locally. On a robbed-bit line an offered call is answered and cleared by the far end.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/signalling/isdn/IsdnStack.h"
#include "driver/signalling/rbs/RbsStack.h"
#include "sim/board/hdlc.h"
#include "sim/far/isdn_network.h"
#include "sim/far/robbed_bit.h"
#include "tools/harness/rig.h"

namespace {

using Frame = std::vector<uint8_t>;

// What a rig-driven call test needs: the host, the lock, waiting, NDIS sends.
class CallRig : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    sim::Card* card = nullptr;
    std::deque<NDIS_WAN_PACKET> packets;
    std::deque<Frame> payloads;
    std::vector<std::pair<uint32_t, Frame>> at_far_end;

    // The board of instance 1, with what the adapter sends on `line` recorded.
    void start(unsigned line)
    {
        card = &r.add_board_for(1, 4);
        card->line(line).on_frame_from_adapter([this](uint32_t m, const Frame& f) { at_far_end.push_back({m, f}); });
    }
    void init()
    {
        ASSERT_EQ(r.load_driver(), 0);
        a = rig::Rig::driver_adapter(na = r.initialize(1));
        ASSERT_NE(a, nullptr);
    }
    void finish()
    {
        if (na) r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    void locked(const std::function<void()>& fn) { rig::with_adapter_lock(a, fn); }
    bool run_until(const std::function<bool()>& done, plat::VTime limit) { return rig::run_until(r.host, done, limit); }
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
    std::vector<Frame> far_frames(uint32_t mask) const
    {
        std::vector<Frame> out;
        for (const auto& [m, f] : at_far_end)
            if (m == mask) out.push_back(f);
        return out;
    }
    size_t indications(NDIS_STATUS status) const
    {
        size_t n = 0;
        for (const auto& i : na->indications) n += i.status == status;
        return n;
    }
    std::string number(const CHAR* field) const { return std::string(field + 1, size_t((UCHAR)field[0])); }
};

// ---- ISDN, ESS5 on T1, the network side on line 0 ----

class IsdnCalls : public CallRig {
public:
    std::unique_ptr<sim::IsdnNetworkSide> net;  // destroyed before the rig's boards

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        r.host.registry.set_dword(r.parameters_key(1), "SignallingProtocol_0", 1);
        start(0);
        net = std::make_unique<sim::IsdnNetworkSide>(r.host, card->line(0), sim::IsdnNetworkConfig{});
        init();
        ASSERT_TRUE(run_until([&] { return a->BringUpCompleted == 1; }, plat::ms(1000)));
        // Layer 2 up: whichever side asks first.
        if (!run_until([&] { return net->link_up(); }, plat::ms(3000))) net->establish();
        ASSERT_TRUE(run_until([&] { return net->link_up(); }, plat::ms(3000)));
        r.host.run_for(plat::ms(200));
    }
    void TearDown() override
    {
        finish();
        if (!net) return;
        EXPECT_EQ(net->counters().malformed, 0u);
        EXPECT_EQ(net->counters().bad_messages, 0u);
    }
    bool net_sent(sim::q931::MsgType type) const
    {
        for (const auto& ev : net->log())
            if (ev.kind == sim::IsdnEvent::Kind::MessageIn && ev.message && ev.message->type == uint8_t(type)) return true;
        return false;
    }
    // The clearing messages the adapter sent for one call, with their causes (0: none).
    std::vector<std::pair<sim::q931::MsgType, uint8_t>> clearings_from_adapter(sim::CallKey key) const
    {
        using MT = sim::q931::MsgType;
        std::vector<std::pair<MT, uint8_t>> out;
        for (const auto& ev : net->log()) {
            if (ev.kind != sim::IsdnEvent::Kind::MessageIn || !ev.message || ev.call != key) continue;
            MT t = MT(ev.message->type);
            if (t == MT::Disconnect || t == MT::Release || t == MT::ReleaseComplete)
                out.push_back({t, ev.message->cause ? ev.message->cause->value : uint8_t(0)});
        }
        return out;
    }
    // Places a call from a dial string as the TAPI provider does.
    BOOLEAN dial(Link* l, const std::string& digits)
    {
        BOOLEAN placed = FALSE;
        locked([&] {
            l->TransferCaps = INFO_TRANSFER_CAPS_UNRESTRICTED_64K;
            l->LinkSpeed = 64000;
            placed = DecodeCallModifiers(l, (const UCHAR*)digits.data(), ULONG(digits.size())) != 0 && RSS_MakeCall(l);
        });
        return placed;
    }
};

TEST_F(IsdnCalls, DriverOwnedLinkAnswersADataCallCarriesFramesAndIsClearedByTheNetwork)
{
    const ULONG kIndex = 2;  // directory number 5551002
    Link* l = nullptr;
    locked([&] { l = LinkAcquire(a, 0, 0, kIndex, OWNER_DRIVER); });
    ASSERT_NE(l, nullptr);

    auto key = net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(run_until([&] { return net->call(*key) && net->call(*key)->state == sim::NetState::Active; }, plat::ms(3000)))
        << "the driver answers its own call";
    ASSERT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_ACTIVE && l->LinkCallStats.ConnectInd == 1; },
                          plat::ms(1000)));
    EXPECT_NE(l->ThisBChannel, nullptr);
    EXPECT_EQ(number(l->CallingNumber), "4165550199");
    EXPECT_EQ(number(l->CalledNumber), "5551002");
    EXPECT_EQ(l->TransferCaps, 1u);
    EXPECT_EQ(l->LinkSpeed, 64000u);
    EXPECT_EQ(l->LinkCallStats.IncomingInd, 1u);
    EXPECT_EQ(l->LinkCallStats.AnswerRequests, 1u);
    EXPECT_EQ(l->LinkCallStats.Connect64K, 1u);
    EXPECT_EQ(a->GroupCallStats[0].Connect64K, 1u);
    EXPECT_TRUE(card->hdlc().channel_active(false, 0, 3));
    EXPECT_TRUE(card->hdlc().channel_active(true, 0, 3));

    // The NDIS line is up (the context NDISWAN hands back); frames cross both ways.
    locked([&] { l->NdisLinkContext = 0x7701; });
    card->line(0).frame_to_adapter(1u << 3, {0xFF, 0x03, 0xC0, 0x21, 0x01});
    ASSERT_TRUE(run_until([&] { return na->receives.size() == 1; }, plat::ms(100)));
    EXPECT_EQ(na->receives[0].link_context, 0x7701u);
    EXPECT_EQ(na->receives[0].data, (Frame{0xFF, 0x03, 0xC0, 0x21, 0x01}));
    ASSERT_EQ(send(l, {0xFF, 0x03, 0x00, 0x21, 0x45}), NDIS_STATUS_PENDING);
    ASSERT_TRUE(run_until([&] { return far_frames(1u << 3).size() == 1; }, plat::ms(100)));
    EXPECT_EQ(far_frames(1u << 3)[0], payloads[0]);

    // A frame queued when the network clears is handed back exactly once.
    ASSERT_EQ(send(l, {0x99}), NDIS_STATUS_PENDING);
    ASSERT_TRUE(net->clear_call(*key));
    ASSERT_TRUE(run_until([&] { return !net->call(*key).has_value() || net->call(*key)->state == sim::NetState::Null; },
                          plat::ms(3000)));
    ASSERT_TRUE(run_until([&] { return l->ThisBChannel == nullptr; }, plat::ms(1000)));
    r.host.run_for(plat::ms(50));
    EXPECT_EQ(l->DisconnectCause, (ULONG)DISCONNECT_CAUSE_NETWORK);
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_IDLE);
    // The driver ends its transfer and its call; an NDIS line is not its to take down.
    EXPECT_EQ(indications(NDIS_STATUS_WAN_LINE_DOWN), 0u);
    locked([&] { l->NdisLinkContext = 0; });
    EXPECT_EQ(l->CurrentOwner, (ULONG)OWNER_DRIVER) << "the driver keeps its Link for the next call";
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_RX_BACKGROUND));
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_TX_BACKGROUND));
    EXPECT_EQ(na->send_completions.size(), 2u) << "every packet NDIS handed over came back once";
    EXPECT_EQ(send(l, {0x01}), NDIS_STATUS_FAILURE) << "no sends on a cleared call";

    // The next call on the same Link is answered again.
    auto again = net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(again.has_value());
    ASSERT_TRUE(run_until([&] { return net->call(*again) && net->call(*again)->state == sim::NetState::Active; },
                          plat::ms(3000)));
    EXPECT_TRUE(run_until([&] { return l->LinkCallStats.ConnectInd == 2; }, plat::ms(1000)));
}

TEST_F(IsdnCalls, CallOnALinkNobodyOwnsRingsUnansweredAndOneWithoutAPumpIsRefusedBusy)
{
    using MT = sim::q931::MsgType;
    // Link 4 has no owner; Link 5 belongs to TAPI but its line sends speech to a pump,
    // and this board runs no modem firmware.
    Link* tapi = nullptr;
    locked([&] { tapi = LinkAcquire(a, 0, 0, 5, OWNER_TELEPHONY_SUBSYSTEM); });
    ASSERT_NE(tapi, nullptr);
    auto unowned = net->offer_call(4, "5551004", "100", sim::q931::Bearer::unrestricted64());
    auto speech = net->offer_call(6, "5551005", "101", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(unowned && speech);
    ASSERT_TRUE(run_until([&] { return !net->call(*speech) || net->call(*speech)->state == sim::NetState::Null; },
                          plat::ms(6000)));
    auto refused = clearings_from_adapter(*speech);
    ASSERT_FALSE(refused.empty()) << "the adapter refused the speech call itself";
    EXPECT_TRUE(refused[0].first == MT::Disconnect || refused[0].first == MT::ReleaseComplete);
    EXPECT_EQ(refused[0].second, sim::q931::cause::kUserBusy) << "no pump: busy";
    EXPECT_EQ(tapi->LinkCallStats.IncomingInd, 1u);
    EXPECT_EQ(tapi->ThisBChannel, nullptr);
    // Nobody answers for Link 4: its call rings until the network gives up.
    r.host.run_for(plat::ms(6000));
    ASSERT_TRUE(net->call(*unowned));
    EXPECT_EQ(net->call(*unowned)->state, sim::NetState::CallReceived);
    EXPECT_TRUE(clearings_from_adapter(*unowned).empty()) << "neither refused nor cleared by the adapter";
    EXPECT_NE(a->NdisWanInfo[0][4].ThisBChannel, nullptr) << "the call stays bound to its Link";
    EXPECT_FALSE(net_sent(MT::Connect)) << "neither call was answered";
    ASSERT_TRUE(net->clear_call(*unowned));
    EXPECT_TRUE(run_until([&] { return !net->call(*unowned) && a->NdisWanInfo[0][4].ThisBChannel == nullptr; },
                          plat::ms(3000)));
}

// A Link taken while a call it was offered still rings: the new owner's call waits until
// the ringing call is gone, instead of taking the Link from under it and being
// unbound when the network clears the old one.
TEST_F(IsdnCalls, ALinkTakenWhileItsOfferedCallRingsPlacesNoCallUntilThatCallIsGone)
{
    auto ringing = net->offer_call(5, "5551004", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(ringing);
    Link* l = &a->NdisWanInfo[0][4];
    ASSERT_TRUE(run_until([&] { return l->ThisBChannel != nullptr; }, plat::ms(1000)));
    r.host.run_for(plat::ms(200));
    ASSERT_EQ(net->call(*ringing)->state, sim::NetState::CallReceived);

    locked([&] { ASSERT_EQ(LinkAcquire(a, 0, 0, 4, OWNER_DRIVER), l); });
    EXPECT_FALSE(dial(l, "I5553000")) << "the Link still holds the ringing call";
    r.host.run_for(plat::ms(300));
    EXPECT_EQ(net->calls().size(), 1u) << "no SETUP went out";
    EXPECT_EQ(l->LinkCallStats.DialRequests, 0u);
    EXPECT_EQ(l->OutgoingCall, 0);

    // Once the network has cleared the old call the Link places the new one, which stays
    // bound and is cleared at the network when the owner drops it.
    ASSERT_TRUE(net->clear_call(*ringing));
    ASSERT_TRUE(run_until([&] { return !net->call(*ringing) && l->ThisBChannel == nullptr; }, plat::ms(3000)));
    ASSERT_TRUE(dial(l, "I5553000"));
    ASSERT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
    ASSERT_EQ(net->calls().size(), 1u);
    EXPECT_NE(l->ThisBChannel, nullptr);
    locked([&] { RSS_Disconnect(l, TERMINATE_TRANSFER | TERMINATE_CALL); });
    EXPECT_TRUE(run_until([&] { return net->calls().empty() && l->ThisBChannel == nullptr; }, plat::ms(3000)))
        << "no call is left up at the network";
}

TEST_F(IsdnCalls, OutgoingCallFromADialStringIsAnsweredByTheNetworkAndClearedLocally)
{
    Link* l = nullptr;
    locked([&] { l = LinkAcquire(a, 0x1234, 0, 7, OWNER_TELEPHONY_SUBSYSTEM); });
    ASSERT_NE(l, nullptr);
    const char dial[] = "I 555-1212";
    BOOLEAN placed = FALSE;
    locked([&] {
        ASSERT_EQ(DecodeCallModifiers(l, (const UCHAR*)dial, sizeof dial - 1), 7u);
        placed = RSS_MakeCall(l);
    });
    ASSERT_TRUE(placed);
    EXPECT_EQ(l->LinkCallStats.DialRequests, 1u);
    EXPECT_EQ(number(l->CallingNumber), "5551007") << "the Link's directory number";
    ASSERT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_ACTIVE && l->LinkCallStats.ConnectInd == 1; },
                          plat::ms(3000)));
    auto calls = net->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].called, "5551212");
    EXPECT_EQ(calls[0].bearer.capability, 0x08) << "unrestricted digital";
    EXPECT_EQ(l->LinkCallStats.Connect64K, 1u);

    // TAPI's line-up; data both ways on the call's channel.
    const unsigned ch = calls[0].channel;
    locked([&] { l->NdisLinkContext = 0x7702; });
    ASSERT_EQ(send(l, {0x7E, 0x01}), NDIS_STATUS_PENDING);
    ASSERT_TRUE(run_until([&] { return far_frames(1u << ch).size() == 1; }, plat::ms(100)));
    card->line(0).frame_to_adapter(1u << ch, {0x42});
    ASSERT_TRUE(run_until([&] { return na->receives.size() == 1; }, plat::ms(100)));

    // TAPI drops the call: transfer ended, call cleared at the network, NDIS line down.
    locked([&] {
        l->DisconnectCause = DISCONNECT_CAUSE_TAPI_DROP;
        RSS_Disconnect(l, TERMINATE_TRANSFER | TERMINATE_CALL | LINK_DOWN);
    });
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_IDLE);
    EXPECT_EQ(indications(NDIS_STATUS_WAN_LINE_DOWN), 1u);
    ASSERT_TRUE(run_until([&] { return net->calls().empty() || net->calls()[0].state == sim::NetState::Null; },
                          plat::ms(3000)));
    EXPECT_TRUE(net_sent(sim::q931::MsgType::Disconnect));
    ASSERT_TRUE(run_until([&] { return l->ThisBChannel == nullptr; }, plat::ms(1000)));
    EXPECT_EQ(l->DisconnectCause, (ULONG)DISCONNECT_CAUSE_TAPI_DROP);
    EXPECT_EQ(l->CurrentOwner, (ULONG)OWNER_TELEPHONY_SUBSYSTEM);
}

// ---- robbed bit: the four-line board, line 3, immediate start ----

std::string read_config(const std::string& name)
{
    std::ifstream in(std::string(VORNET_SOURCE_DIR) + "/configs/" + name);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class RobbedBitCalls : public CallRig {
public:
    static constexpr ULONG kLine = 3;
    std::unique_ptr<sim::RobbedBitFarEnd> far;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(read_config("four-line.reg"), &e)) << e;
        r.host.registry.set_dword(r.parameters_key(1), "RBSProtocol_3", RBS_SETTING_IMMEDIATE);
        r.host.registry.set_dword(r.parameters_key(1), "RBSCallType_3", 1);  // calls offered as 56K data
        start(kLine);
        init();
        far = std::make_unique<sim::RobbedBitFarEnd>(r.host.sched, card->line(kLine), sim::RobbedBitFarEnd::Protocol::Immediate);
        ASSERT_EQ(a->SignallingProtocol[kLine], 0u);
        ASSERT_TRUE(run_until([&] {
            return a->SgnlProtocolOps[kLine].Control(CTL_KIND_GET, CTL_LAYER1_UP, a->ThisSgnlStack[kLine], 0) == 1;
        }, plat::ms(9000)));
    }
    void TearDown() override
    {
        far.reset();
        finish();
    }
};

TEST_F(RobbedBitCalls, OfferedCallIsAnsweredConnectedAndClearedByTheFarEnd)
{
    const ULONG ch = 5, index = ch - 1;
    Link* l = nullptr;
    locked([&] { l = LinkAcquire(a, 0, kLine, index, OWNER_TELEPHONY_SUBSYSTEM); });
    ASSERT_NE(l, nullptr);
    ASSERT_TRUE(far->seize(ch));
    ASSERT_TRUE(run_until([&] { return l->LinkCallStats.IncomingInd == 1; }, plat::ms(2000)));
    EXPECT_EQ(l->TransferCaps, (ULONG)INFO_TRANSFER_CAPS_RESTRICTED_56K);
    EXPECT_EQ(l->LinkSpeed, 56000u);
    EXPECT_EQ(number(l->CalledNumber), "1") << "read through the call object";
    EXPECT_EQ(number(l->CallingNumber), "0");

    // TAPI answers: the stack connects at once, the data path opens, the far end sees off-hook.
    locked([&] { EXPECT_TRUE(RSS_AnswerCall(l)); });
    ASSERT_TRUE(run_until([&] { return far->state(ch) == sim::RobbedBitFarEnd::State::Connected; }, plat::ms(3000)));
    ASSERT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_ACTIVE && l->LinkCallStats.Connect56K == 1; },
                          plat::ms(1000)));

    // The far end clears; TAPI, told of it, drops the call: on-hook, channel idle.
    ASSERT_TRUE(far->clear(ch));
    ASSERT_TRUE(run_until([&] { return l->DisconnectCause == DISCONNECT_CAUSE_NETWORK; }, plat::ms(3000)));
    locked([&] { RSS_Disconnect(l, TERMINATE_TRANSFER | TERMINATE_CALL | LINK_DOWN); });
    EXPECT_EQ(l->ThisBChannel, nullptr);
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_IDLE);
    ASSERT_TRUE(run_until([&] { return far->state(ch) == sim::RobbedBitFarEnd::State::Idle; }, plat::ms(3000)));
}

}  // namespace

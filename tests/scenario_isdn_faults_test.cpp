// The ISDN line under a network that misbehaves as real ones do, with the driver's own
// call control above the stack: the default board with the network side of a switch
// variant on line 0. Frames the network sends are lost, doubled, swapped or cut; it
// withholds or piggy-backs its acknowledgements, repeats the bearer capability in its
// answers, restarts the interface, uses a call reference longer than two octets, gives
// up on nothing it is asked; both sides seize a channel or clear a call at once. Calls
// are placed through TAPI's make-call request or answered by a Link the driver owns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "driver/Common/Bt837x.h"
#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_tspi.h"
#include "driver/signalling/isdn/IsdnStack.h"
#include "sim/board/hdlc.h"
#include "tools/harness/rig.h"

namespace {

using sim::CallKey;
using sim::IsdnEvent;
using sim::NetState;
using MT = sim::q931::MsgType;

constexpr ULONG kLine = 0;

class IsdnFaults : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    ISDN_STACK* s = nullptr;
    sim::IsdnNetworkSide* net = nullptr;
    bool expect_clean = true;  // no malformed frame, no STATUS either way

    // A network that waits sends no SABME of its own and ignores identity requests.
    void start(const rig::IsdnVariantCase& v, bool bearer_in_answers = false, bool network_waits = false)
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        const std::string key = r.parameters_key(1);
        r.host.registry.set_dword(key, "SignallingProtocol_0", uint32_t(v.variant));
        if (v.e1) {
            r.host.registry.set_dword(key, "LineMode_0", 1);
            r.host.registry.set_dword(key, "FramingFormat_0", 4);
            r.host.registry.set_dword(key, "LineCode_0", 2);
            r.host.registry.set_dword(key, "SystemBusMode_0", 5);
        }
        sim::Card& card = r.add_board_for(1, 4);
        sim::IsdnNetworkConfig config;
        config.variant = v.variant;
        config.e1 = v.e1;
        config.keep_link_up = network_waits ? 0 : plat::ms(500);
        config.ignore_identity_requests = network_waits;
        config.bearer_in_answers = bearer_in_answers;
        net = &r.attach_isdn_network(card, kLine, config);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        a = rig::Rig::driver_adapter(na);
        ASSERT_NE(a, nullptr);
        s = (ISDN_STACK*)a->ThisSgnlStack[kLine];
        if (!network_waits) {
            ASSERT_TRUE(run_until([&] { return established(); }, plat::ms(6000)));
        }
    }
    void TearDown() override
    {
        if (na) r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
        if (net == nullptr || !expect_clean) return;
        EXPECT_EQ(net->counters().malformed, 0u);
        EXPECT_EQ(net->counters().bad_messages, 0u);
        for (const IsdnEvent& ev : net->log())
            if ((ev.kind == IsdnEvent::Kind::MessageIn || ev.kind == IsdnEvent::Kind::MessageOut) && ev.message &&
                ev.message->type == uint8_t(MT::Status))
                ADD_FAILURE() << (ev.kind == IsdnEvent::Kind::MessageIn ? "adapter sent " : "network sent ") << ev.text;
    }
    bool run_until(const std::function<bool()>& done, plat::VTime limit) { return rig::run_until(r.host, done, limit); }
    void locked(const std::function<void()>& fn) { rig::with_adapter_lock(a, fn); }
    bool established()
    {
        ULONG l2 = CONTROL_UNKNOWN;
        locked([&] { l2 = a->SgnlProtocolOps[kLine].Control(CTL_KIND_GET, CTL_L2_STATE, s, 0); });
        return l2 == L2_ESTABLISHED && net->l2_state() == sim::L2State::Established;
    }
    Link* link(ULONG index) { return &a->NdisWanInfo[kLine][index]; }
    Link* driver_owned(ULONG index)
    {
        Link* l = nullptr;
        locked([&] { l = LinkAcquire(a, 0, kLine, index, OWNER_DRIVER); });
        return l;
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
    std::vector<MT> messages(IsdnEvent::Kind kind, std::optional<CallKey> key = std::nullopt) const
    {
        std::vector<MT> out;
        for (const IsdnEvent& ev : net->log())
            if (ev.kind == kind && ev.message && (!key || ev.call == key)) out.push_back(MT(ev.message->type));
        return out;
    }
    std::vector<MT> from_adapter(std::optional<CallKey> key = std::nullopt) const
    {
        return messages(IsdnEvent::Kind::MessageIn, key);
    }
    size_t count(const std::vector<MT>& v, MT t) const { return size_t(std::count(v.begin(), v.end(), t)); }
    std::optional<uint8_t> last_cause_from_adapter(MT type) const
    {
        std::optional<uint8_t> c;
        for (const IsdnEvent& ev : net->log())
            if (ev.kind == IsdnEvent::Kind::MessageIn && ev.message && ev.message->type == uint8_t(type) && ev.message->cause)
                c = ev.message->cause->value;
        return c;
    }
    size_t trace_lines(const std::string& text) const
    {
        size_t n = 0;
        for (const std::string& l : r.host.trace.lines()) n += l.find(text) != std::string::npos;
        return n;
    }
};

// ---- calls both ways, every variant ----

class IsdnFaultVariants : public IsdnFaults, public ::testing::WithParamInterface<rig::IsdnVariantCase> {};

TEST_P(IsdnFaultVariants, CallsBothWaysWithTheBearerRepeatedInTheNetworksAnswers)
{
    start(GetParam(), true);
    Link* in = driver_owned(2);
    ASSERT_NE(in, nullptr);
    auto key = net->offer_call(GetParam().e1 ? 5 : 3, "5551002", "4165550199", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key);
    ASSERT_TRUE(run_until([&] { return in->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
    EXPECT_EQ(net->call(*key)->state, NetState::Active);

    Link* out = driver_owned(6);
    ASSERT_TRUE(dial(out, "I5553000"));
    ASSERT_TRUE(run_until([&] { return out->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)))
        << "ALERTING and CONNECT carry the bearer capability and are taken";
    ASSERT_EQ(net->calls().size(), 2u);

    ASSERT_TRUE(net->clear_call(*key));
    locked([&] { RSS_Disconnect(out, TERMINATE_TRANSFER | TERMINATE_CALL); });
    ASSERT_TRUE(run_until([&] { return net->calls().empty(); }, plat::ms(3000)));
    r.host.run_for(plat::ms(200));
    EXPECT_EQ(in->ThisBChannel, nullptr);
    EXPECT_EQ(out->ThisBChannel, nullptr);
    EXPECT_EQ(in->ChannelState, (ULONG)CHANNEL_STATE_IDLE);
}

// T303 twice: the owner hears of the dead call once, whether the variant answers with
// RELEASE COMPLETE or takes the channel out of service.
TEST_P(IsdnFaultVariants, UnansweredSetupIsGivenUpAndTheOwnerToldOnce)
{
    start(GetParam());
    net->set_answer_policy(sim::AnswerPolicy{sim::AnswerPolicy::Action::Manual});
    Link* l = nullptr;
    locked([&] { l = LinkAcquire(a, 0, kLine, 6, OWNER_TELEPHONY_SUBSYSTEM); });
    ASSERT_NE(l, nullptr);
    RssTraceEnabled = TRUE;
    ASSERT_TRUE(dial(l, "I5553000"));
    const plat::VTime placed = r.host.sched.now();
    ASSERT_TRUE(run_until([&] { return l->ThisBChannel == nullptr; }, plat::ms(10000)));
    RssTraceEnabled = FALSE;
    EXPECT_GE(r.host.sched.now() - placed, plat::ms(8000));
    EXPECT_EQ(count(from_adapter(), MT::Setup), 2u);
    EXPECT_EQ(trace_lines("IndicateCallDisConnected2Owner[0][6]"), 1u);
    EXPECT_EQ(l->DisconnectCause, (ULONG)DISCONNECT_CAUSE_NETWORK);
    const bool release_complete = GetParam().variant == sim::SwitchVariant::Ess5 ||
                                  GetParam().variant == sim::SwitchVariant::Dms100;
    r.host.run_for(plat::ms(100));
    EXPECT_EQ(count(from_adapter(), MT::ReleaseComplete), release_complete ? 1u : 0u);
    if (release_complete) {
        EXPECT_EQ(last_cause_from_adapter(MT::ReleaseComplete),
                  GetParam().variant == sim::SwitchVariant::Ess5 ? 0x66 : 0x10);
    }
    locked([&] { LinkRelease(l, OWNER_TELEPHONY_SUBSYSTEM); });
}

// A network that assigns no TEI and waits for the user: after a bounded number of
// unanswered identity requests the adapter takes TEI 0 and establishes the link itself.
TEST_P(IsdnFaultVariants, ANetworkThatIgnoresIdentityRequestsGetsTheLinkOnTeiZero)
{
    start(GetParam(), false, true);
    ASSERT_TRUE(run_until([&] { return established(); }, plat::ms(90000))) << "layer 2 came up";
    EXPECT_EQ(net->counters().identity_requests, uint64_t(L2_N202));
    EXPECT_EQ(s->L2.Tei, 0);
    std::vector<std::string> in;
    for (const IsdnEvent& ev : net->log())
        if (ev.kind == IsdnEvent::Kind::FrameIn) in.push_back(ev.text);
    auto sabme = std::find_if(in.begin(), in.end(), [](const std::string& t) { return t.rfind("SABME", 0) == 0; });
    ASSERT_NE(sabme, in.end());
    EXPECT_NE(sabme->find("sapi=0 tei=0"), std::string::npos) << *sabme;
    // Calls run on the link.
    Link* out = driver_owned(6);
    ASSERT_TRUE(dial(out, "I5553000"));
    ASSERT_TRUE(run_until([&] { return out->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
    locked([&] { RSS_Disconnect(out, TERMINATE_TRANSFER | TERMINATE_CALL); });
    EXPECT_TRUE(run_until([&] { return net->calls().empty() && out->ThisBChannel == nullptr; }, plat::ms(3000)));
}

INSTANTIATE_TEST_SUITE_P(Variants, IsdnFaultVariants, ::testing::ValuesIn(rig::kIsdnVariants),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- layer 2 under lost, doubled, swapped and cut frames ----

class IsdnFaults5ess : public IsdnFaults {
public:
    void SetUp() override { start(rig::kIsdnVariants[0]); }
};

TEST_F(IsdnFaults5ess, LostDoubledOrSwappedFramesAreRecoveredByReject)
{
    using FF = sim::FrameFault;
    for (FF fault : {FF::Drop, FF::Duplicate, FF::Reorder}) {
        SCOPED_TRACE(int(fault));
        Link* l3 = driver_owned(2);
        Link* l4 = driver_owned(3);
        ASSERT_TRUE(l3 && l4);
        const uint64_t rej = net->counters().rej_in;
        net->inject(fault);
        auto k3 = net->offer_call(3, "5551002", "100", sim::q931::Bearer::unrestricted64());
        auto k4 = net->offer_call(4, "5551003", "100", sim::q931::Bearer::unrestricted64());
        ASSERT_TRUE(k3 && k4);
        ASSERT_TRUE(run_until([&] { return l3->ChannelState == CHANNEL_STATE_ACTIVE && l4->ChannelState == CHANNEL_STATE_ACTIVE; },
                              plat::ms(3000)));
        EXPECT_GE(net->counters().rej_in, rej + 1) << "the adapter asked for what it missed";
        EXPECT_EQ(l3->LinkCallStats.IncomingInd, 1u) << "each call offered once";
        EXPECT_EQ(l4->LinkCallStats.IncomingInd, 1u);
        EXPECT_EQ(count(from_adapter(*k3), MT::Alerting), 1u);
        EXPECT_EQ(net->counters().reestablishments, 0u);
        ASSERT_TRUE(net->clear_call(*k3));
        ASSERT_TRUE(net->clear_call(*k4));
        ASSERT_TRUE(run_until([&] { return net->calls().empty() && l3->ThisBChannel == nullptr && l4->ThisBChannel == nullptr; },
                              plat::ms(3000)));
        locked([&] {
            LinkRelease(l3, OWNER_DRIVER);
            LinkRelease(l4, OWNER_DRIVER);
            l3->LinkCallStats = l4->LinkCallStats = CALL_STATS{};
        });
    }
}

TEST_F(IsdnFaults5ess, CutFrameIsAnsweredByFrmrAndTheLinkEstablishedAgain)
{
    Link* l = driver_owned(2);
    net->inject(sim::FrameFault::Runt);
    auto key = net->offer_call(3, "5551002", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key);
    ASSERT_TRUE(run_until([&] { return net->counters().frmr_in == 1; }, plat::ms(1000)));
    // The FRMR went out before the link was established again.
    ASSERT_TRUE(run_until([&] { return established(); }, plat::ms(2000)));
    std::vector<std::string> in;
    for (const IsdnEvent& ev : net->log())
        if (ev.kind == IsdnEvent::Kind::FrameIn) in.push_back(ev.text.substr(0, ev.text.find(':')));
    auto frmr = std::find_if(in.begin(), in.end(), [](const std::string& t) { return t.rfind("FRMR", 0) == 0; });
    ASSERT_NE(frmr, in.end());
    ASSERT_NE(frmr + 1, in.end());
    // Then the link again: the adapter's SABME, or its UA when the network asked first.
    EXPECT_TRUE((frmr + 1)->rfind("SABME", 0) == 0 || (frmr + 1)->rfind("UA", 0) == 0) << *(frmr + 1);
    // The lost SETUP comes again on T303 and the call is answered.
    ASSERT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(6000)));
    EXPECT_EQ(l->LinkCallStats.IncomingInd, 1u);
    expect_clean = false;  // the cut frame is the network's own doing
}

// Every frame of the network cut short for 3 s, as the soak's d-corrupt does: the link is
// established again and again, and the network's DISCONNECT of one call is lost with it.
// Once its frames arrive whole, the adapter asks after each active call, learns that one
// is being cleared and ends it, and its owner's hang-up of the other goes out at once:
// nothing waits behind enquiries heaped up by the resets.
TEST_F(IsdnFaults5ess, CallClearedUnderCutFramesEndsPromptlyOnceTheyArriveWhole)
{
    expect_clean = false;  // the cut frames are the network's own doing; STATUS answers the enquiries
    Link* cleared = driver_owned(2);
    Link* kept = driver_owned(3);
    auto k1 = net->offer_call(3, "5551002", "100", sim::q931::Bearer::unrestricted64());
    auto k2 = net->offer_call(4, "5551003", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(k1 && k2);
    ASSERT_TRUE(run_until([&] { return cleared->ChannelState == CHANNEL_STATE_ACTIVE && kept->ChannelState == CHANNEL_STATE_ACTIVE; },
                          plat::ms(3000)));
    const uint64_t resets = net->counters().reestablishments;
    net->inject(sim::FrameFault::Runt);
    ASSERT_TRUE(net->clear_call(*k1));
    for (int i = 0; i < 30; i++) {
        r.host.run_for(plat::ms(100));
        if (net->faults_pending() == 0) net->inject(sim::FrameFault::Runt, false);
    }
    r.host.run_for(plat::ms(100));
    ASSERT_GE(net->counters().reestablishments, resets + 10) << "the link was established again and again";
    ASSERT_EQ(net->call(*k1)->state, NetState::DisconnectIndication) << "its DISCONNECT was lost";
    ASSERT_NE(cleared->ThisBChannel, nullptr);
    ASSERT_TRUE(run_until([&] { return !net->call(*k1) && cleared->ThisBChannel == nullptr; }, plat::ms(1500)))
        << "the call the network cleared is ended at both ends";
    EXPECT_EQ(kept->ChannelState, (ULONG)CHANNEL_STATE_ACTIVE);
    ASSERT_EQ(net->call(*k2)->state, NetState::Active);
    EXPECT_LE(count(from_adapter(*k2), MT::StatusEnquiry), 2u) << "asked after a few times, not once per reset";
    locked([&] { RSS_Disconnect(kept, TERMINATE_TRANSFER | TERMINATE_CALL | LINK_DOWN); });
    ASSERT_TRUE(run_until([&] { return net->calls().empty() && kept->ThisBChannel == nullptr; }, plat::ms(500)))
        << "the owner's hang-up went out at once";
}

TEST_F(IsdnFaults5ess, WithheldAcknowledgementIsAskedForAndNothingIsSentTwice)
{
    Link* l = driver_owned(6);
    net->withhold_acknowledgement(true);
    const ULONG expiries = s->StackCounters[CNT_T200_EXPIRED];
    ASSERT_TRUE(dial(l, "I5553000"));
    ASSERT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(5000)));
    ASSERT_TRUE(run_until([&] { return s->L2.VA == s->L2.VS && s->StackCounters[CNT_T200_EXPIRED] > expiries; },
                          plat::ms(3000)))
        << "the adapter enquired and its frames were acknowledged";
    EXPECT_FALSE(s->L2.Flags & L2F_TIMER_RECOVERY);
    EXPECT_EQ(count(from_adapter(), MT::Setup), 1u) << "the enquiry's answer acknowledged the SETUP";
    EXPECT_EQ(count(from_adapter(), MT::ConnectAcknowledge), 1u);
}

TEST_F(IsdnFaults5ess, PiggyBackedAcknowledgementsNeedNoEnquiry)
{
    Link* l = driver_owned(2);
    net->acknowledge_by_piggyback(true);
    const ULONG expiries = s->StackCounters[CNT_T200_EXPIRED];
    auto key = net->offer_call(3, "5551002", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
    r.host.run_for(plat::ms(500));
    EXPECT_EQ(s->L2.VA, s->L2.VS) << "every I-frame of the adapter was acknowledged";
    EXPECT_EQ(s->StackCounters[CNT_T200_EXPIRED], expiries);
    EXPECT_FALSE(s->L2.Flags & L2F_TIMER_RECOVERY);
    size_t network_rr = 0, enquiries = 0;
    for (const IsdnEvent& ev : net->log()) {
        if (ev.kind == IsdnEvent::Kind::FrameOut && ev.text.rfind("RR", 0) == 0) network_rr++;
        // An enquiry: a supervisory command (address octet 00) with P set.
        if (ev.kind == IsdnEvent::Kind::FrameIn && ev.text.find(" P/F: 00 ") != std::string::npos &&
            (ev.text.rfind("RR", 0) == 0 || ev.text.rfind("RNR", 0) == 0))
            enquiries++;
    }
    EXPECT_EQ(network_rr, 0u) << "the network acknowledged only inside its I-frames";
    EXPECT_EQ(enquiries, 0u) << "and the adapter never had to ask";
    net->acknowledge_by_piggyback(false);
    ASSERT_TRUE(net->clear_call(*key));
    ASSERT_TRUE(run_until([&] { return net->calls().empty(); }, plat::ms(3000)));
}

// ---- layer 3 ----

TEST_F(IsdnFaults5ess, NumbersTheStackCannotSendAreRefusedAndTheLinkLeftIdle)
{
    struct Case {
        const char* name;
        std::string dial;
        bool placed;
    };
    const Case cases[] = {
        {"16 digits, 56K", "R" + std::string(16, '5'), true},
        {"17 digits, 56K: the message would not fit", "R" + std::string(17, '5'), false},
        {"20 digits", "I" + std::string(20, '5'), false},
        {"40 digits: never shortened", "I" + std::string(40, '5'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Link* l = driver_owned(6);
        const size_t setups = count(from_adapter(), MT::Setup);
        EXPECT_EQ(dial(l, c.dial), c.placed);
        r.host.run_for(plat::ms(300));
        EXPECT_EQ(count(from_adapter(), MT::Setup), setups + (c.placed ? 1u : 0u));
        if (!c.placed) {
            EXPECT_EQ(l->ThisBChannel, nullptr);
            EXPECT_EQ(l->OutgoingCall, 0);
            EXPECT_EQ(l->CurrentOwner, (ULONG)OWNER_DRIVER) << "the owner keeps its Link";
        } else {
            locked([&] { RSS_Disconnect(l, TERMINATE_TRANSFER | TERMINATE_CALL); });
            ASSERT_TRUE(run_until([&] { return net->calls().empty() && l->ThisBChannel == nullptr; }, plat::ms(3000)));
        }
        locked([&] { LinkRelease(l, OWNER_DRIVER); });
    }
}

TEST_F(IsdnFaults5ess, TapiMakeCallWithAnOverlongNumberFailsWithoutDialTone)
{
    NDIS_TAPI_PROVIDER_INITIALIZE init{};
    init.ulDeviceIDBase = 100;
    ULONG w = 0, need = 0;
    ASSERT_EQ(r.host.ndis().query(na, OID_TAPI_PROVIDER_INITIALIZE, &init, sizeof init, &w, &need), NDIS_STATUS_SUCCESS);
    NDIS_TAPI_OPEN open{};
    open.ulDeviceID = 100 + 3;
    open.htLine = 0xABC;
    ASSERT_EQ(r.host.ndis().query(na, OID_TAPI_OPEN, &open, sizeof open, &w, &need), NDIS_STATUS_SUCCESS);
    for (const std::string& number : {std::string(20, '7') + "I", std::string(41, '7') + "I"}) {
        SCOPED_TRACE(number.size());
        std::vector<uint8_t> b(200, 0);
        auto* mc = reinterpret_cast<NDIS_TAPI_MAKE_CALL*>(b.data());
        mc->hdLine = open.hdLine;
        mc->htCall = 0xCA11;
        mc->bUseDefaultLineCallParams = 1;
        mc->ulDestAddressOffset = 140;
        mc->ulDestAddressSize = ULONG(number.size() + 1);
        std::memcpy(b.data() + 140, number.c_str(), number.size() + 1);
        const size_t m = na->indications.size();
        EXPECT_NE(r.host.ndis().query(na, OID_TAPI_MAKE_CALL, b.data(), ULONG(b.size()), &w, &need), NDIS_STATUS_SUCCESS);
        for (size_t i = m; i < na->indications.size(); i++)
            EXPECT_NE(na->indications[i].status, NDIS_STATUS_TAPI_INDICATION) << "no call state for a call never placed";
        r.host.run_for(plat::ms(200));
        EXPECT_EQ(count(from_adapter(), MT::Setup), 0u);
    }
    NDIS_TAPI_CLOSE close{0, open.hdLine};
    ULONG rd = 0;
    EXPECT_EQ(r.host.ndis().set(na, OID_TAPI_CLOSE, &close, sizeof close, &rd, &need), NDIS_STATUS_SUCCESS);
}

TEST_F(IsdnFaults5ess, RestartOfTheInterfaceEndsEveryCallAndIsAcknowledged)
{
    Link* l = driver_owned(2);
    auto key = net->offer_call(3, "5551002", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
    ASSERT_TRUE(net->restart_interface());
    ASSERT_TRUE(run_until([&] { return !net->restart_pending(); }, plat::ms(1000))) << "RESTART ACKNOWLEDGE";
    EXPECT_EQ(l->ThisBChannel, nullptr);
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_IDLE) << "the driver's call ended with its data path";
    EXPECT_EQ(l->DisconnectCause, (ULONG)DISCONNECT_CAUSE_NETWORK);
    // One channel, class 0: acknowledged too.
    key = net->offer_call(3, "5551002", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
    ASSERT_TRUE(net->restart(3));
    ASSERT_TRUE(run_until([&] { return !net->restart_pending(); }, plat::ms(1000)));
    EXPECT_EQ(l->ThisBChannel, nullptr);
}

// The framer reports layer 1 up again while calls run (a forced layer-1 action): the
// owners hear of their calls' end, and once layer 2 is back the network is told with a
// RESTART of each of those channels, so it keeps none of them up.
TEST_F(IsdnFaults5ess, LayerOneReportedUpAgainUnderLiveCallsRestartsTheirChannels)
{
    Link* in = driver_owned(2);
    Link* out = driver_owned(6);
    ASSERT_TRUE(in && out);
    auto key = net->offer_call(3, "5551002", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key);
    ASSERT_TRUE(run_until([&] { return in->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
    ASSERT_TRUE(dial(out, "I5553000"));
    ASSERT_TRUE(run_until([&] { return out->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
    ASSERT_EQ(net->calls().size(), 2u);
    std::vector<unsigned> channels;
    for (const auto& c : net->calls()) channels.push_back(c.channel);
    std::sort(channels.begin(), channels.end());

    locked([&] {
        Bt8370Actions(&a->Framer[kLine], FORCE_LAYER2, QSTACK_FORCE_ON, 0);
        Bt8370Actions(&a->Framer[kLine], FORCE_LAYER2, QSTACK_FREEZE_OFF, 0);  // and back to the polls
    });
    EXPECT_EQ(in->ThisBChannel, nullptr);
    EXPECT_EQ(out->ThisBChannel, nullptr);
    EXPECT_EQ(in->ChannelState, (ULONG)CHANNEL_STATE_IDLE) << "the owner ended its data path";
    EXPECT_EQ(out->ChannelState, (ULONG)CHANNEL_STATE_IDLE);

    // The network finds its link gone and asks after its calls (STATUS ENQUIRY, which
    // the adapter answers with the null state: that STATUS is expected here).
    expect_clean = false;
    ASSERT_TRUE(run_until([&] { return established() && net->calls().empty(); }, plat::ms(20000)))
        << "layer 2 back, and no call left up at the network";
    EXPECT_EQ(net->counters().malformed, 0u);
    EXPECT_EQ(net->counters().bad_messages, 0u);
    std::vector<unsigned> restarted;
    for (const IsdnEvent& ev : net->log())
        if (ev.kind == IsdnEvent::Kind::MessageIn && ev.message && ev.message->type == uint8_t(MT::Restart) &&
            ev.message->channel && ev.message->channel->channel)
            restarted.push_back(*ev.message->channel->channel);
    std::sort(restarted.begin(), restarted.end());
    EXPECT_EQ(restarted, channels) << "one RESTART for each channel that carried a call";

    // The channels take new calls.
    key = net->offer_call(3, "5551002", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key);
    EXPECT_TRUE(run_until([&] { return in->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
}

TEST_F(IsdnFaults5ess, CallReferenceLongerThanTwoOctetsIsDropped)
{
    sim::q931::Message m = sim::q931::make(MT::StatusEnquiry, 0x0102, false);
    m.cr_length = 3;
    const ULONG dropped = s->StackCounters[CNT_MESSAGES_DROPPED];
    const size_t in = from_adapter().size();
    ASSERT_TRUE(net->send_message(m));
    r.host.run_for(plat::ms(300));
    EXPECT_EQ(s->StackCounters[CNT_MESSAGES_DROPPED], dropped + 1);
    EXPECT_EQ(from_adapter().size(), in) << "no answer";
    EXPECT_TRUE(established());
}

TEST_F(IsdnFaults5ess, BothSidesSeizingTheSameChannelEndWithOneCallConnected)
{
    Link* out = driver_owned(6);
    Link* in = driver_owned(2);
    // The adapter's SETUP prefers the first free channel, 1; the network offers 1 too.
    ASSERT_TRUE(dial(out, "I5553000"));
    auto key = net->offer_call(1, "5551002", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key);
    ASSERT_TRUE(run_until([&] { return out->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
    EXPECT_NE(GetLinkTimeslot(out), 1u) << "the adapter's call moved to the channel the network chose";
    r.host.run_for(plat::ms(300));
    EXPECT_FALSE(net->call(*key)) << "the network's offer was refused";
    EXPECT_EQ(last_cause_from_adapter(MT::ReleaseComplete), 0x2C) << "channel unavailable";
    EXPECT_EQ(in->ThisBChannel, nullptr);
    EXPECT_EQ(net->calls().size(), 1u);
}

TEST_F(IsdnFaults5ess, ClearingFromBothSidesAtOnceEndsTheCallOnce)
{
    Link* l = driver_owned(2);
    auto key = net->offer_call(3, "5551002", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(run_until([&] { return l->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
    RssTraceEnabled = TRUE;
    ASSERT_TRUE(net->clear_call(*key, sim::q931::cause::kUserBusy));
    locked([&] { RSS_Disconnect(l, TERMINATE_TRANSFER | TERMINATE_CALL); });
    ASSERT_TRUE(run_until([&] { return net->calls().empty() && l->ThisBChannel == nullptr; }, plat::ms(3000)));
    r.host.run_for(plat::ms(300));
    RssTraceEnabled = FALSE;
    auto msgs = from_adapter(*key);
    EXPECT_EQ(count(msgs, MT::Disconnect), 1u);
    EXPECT_EQ(count(msgs, MT::Release), 1u);
    EXPECT_EQ(count(msgs, MT::ReleaseComplete), 0u) << "the RELEASEs crossed";
    EXPECT_EQ(last_cause_from_adapter(MT::Disconnect), 0x10);
    EXPECT_LE(trace_lines("IndicateCallDisConnected2Owner[0][2]"), 1u);
}

// ---- the connect chain without its acknowledgement ----

TEST_F(IsdnFaults5ess, ConnectChainFallsBackWhenTheFirstAcknowledgementIsLost)
{
    Link* l = driver_owned(2);
    sim::HdlcController& hdlc = r.boards[0]->hdlc();
    // The receiver's stop is executed but its acknowledgement never written: 500 ms later
    // the fallback runs the acknowledge handler itself and the chain goes on. The receive
    // activation's acknowledgement then reads as the lost one come late (same channel and
    // direction), so the re-armed fallback completes the activation too.
    hdlc.knobs.lose_acks = 1;
    locked([&] { GoToConnectedState(l); });
    r.host.run_for(plat::ms(450));
    EXPECT_EQ(l->ForcedSackCount, 0u);
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_RX_BACKGROUND)) << "waiting";
    r.host.run_for(plat::ms(100));
    EXPECT_EQ(l->ForcedSackCount, 1u);
    EXPECT_EQ(hdlc.stats().acks_lost, 1u);
    ASSERT_TRUE(run_until([&] { return TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_TX_BACKGROUND); },
                          plat::ms(700)));
    EXPECT_LE(l->ForcedSackCount, 2u);
    EXPECT_TRUE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_RX_BACKGROUND));
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_ACTIVE);
    // The limit: after ten forced runs on a Link, none more.
    locked([&] {
        RSS_Disconnect(l, TERMINATE_TRANSFER);
        l->ForcedSackCount = MAX_FORCED_SACKS;
    });
    hdlc.knobs.lose_acks = 1;
    locked([&] { GoToConnectedState(l); });
    r.host.run_for(plat::ms(1500));
    EXPECT_EQ(l->ForcedSackCount, (ULONG)MAX_FORCED_SACKS);
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_RX_BACKGROUND)) << "nothing retries";
}

// ---- the four-line board: every ISDN line carries calls both ways ----

TEST(IsdnFourLine, EveryIsdnLineCarriesCallsBothWays)
{
    rig::Rig r;
    std::ifstream in(std::string(VORNET_SOURCE_DIR) + "/configs/four-line.reg");
    ASSERT_TRUE(in);
    std::stringstream text;
    text << in.rdbuf();
    std::string e;
    ASSERT_TRUE(r.load_config(text.str(), &e)) << e;
    sim::Card& card = r.add_board_for(1, 4);
    r.attach_far_ends(card, 1);
    ASSERT_EQ(r.load_driver(), 0);
    plat::ndis::Adapter* na = r.initialize(1);
    Adapter* a = rig::Rig::driver_adapter(na);
    ASSERT_NE(a, nullptr);
    auto locked = [&](const std::function<void()>& fn) { rig::with_adapter_lock(a, fn); };
    // The network sides are attached in line order, one per ISDN line.
    std::vector<std::pair<ULONG, sim::IsdnNetworkSide*>> isdn;
    for (ULONG n = 0, k = 0; n < a->NumberOfLines; n++)
        if (a->SignallingProtocol[n] >= 1 && a->SignallingProtocol[n] <= 5) isdn.push_back({n, r.isdn_networks[k++].get()});
    ASSERT_EQ(isdn.size(), 3u);
    for (auto& [line, net] : isdn) {
        SCOPED_TRACE(line);
        ASSERT_TRUE(rig::run_until(r.host, [&] { return net->link_up(); }, plat::ms(6000)));
        Link* in_link = nullptr;
        Link* out_link = nullptr;
        locked([&] {
            in_link = LinkAcquire(a, 0, line, 2, OWNER_DRIVER);
            out_link = LinkAcquire(a, 0, line, 6, OWNER_DRIVER);
        });
        ASSERT_TRUE(in_link && out_link);
        const DIRECTORY_NUMBER& dn = a->DirectoryNumber[line][2];
        auto key = net->offer_call(3, std::string(dn.Digits, size_t(dn.Count)), "4165550199",
                                   sim::q931::Bearer::unrestricted64());
        ASSERT_TRUE(key);
        BOOLEAN placed = FALSE;
        locked([&] {
            out_link->TransferCaps = INFO_TRANSFER_CAPS_UNRESTRICTED_64K;
            placed = DecodeCallModifiers(out_link, (const UCHAR*)"I5553000", 8) != 0 && RSS_MakeCall(out_link);
        });
        ASSERT_TRUE(placed);
        ASSERT_TRUE(rig::run_until(r.host, [&] {
            return in_link->ChannelState == CHANNEL_STATE_ACTIVE && out_link->ChannelState == CHANNEL_STATE_ACTIVE;
        }, plat::ms(3000)));
        EXPECT_EQ(net->calls().size(), 2u);
        ASSERT_TRUE(net->clear_call(*key));
        locked([&] { RSS_Disconnect(out_link, TERMINATE_TRANSFER | TERMINATE_CALL); });
        ASSERT_TRUE(rig::run_until(r.host, [&] {
            return net->calls().empty() && in_link->ThisBChannel == nullptr && out_link->ThisBChannel == nullptr;
        }, plat::ms(3000)));
        EXPECT_EQ(net->counters().malformed, 0u);
    }
    r.halt(na);
    EXPECT_EQ(r.leaked_allocations(), 0u);
}

}  // namespace

// The road of an ISDN primary-rate line, in each of the five switch variants: the
// default board with the network side of the variant at the far end of line 0 (Euro
// ISDN on E1, the others on T1). Layer 1 comes up and the network establishes LAPD
// with the adapter's stack; the network offers a call, the stack offers it to call
// control, call control answers, the network acknowledges the CONNECT and later clears;
// call control places a call that the network answers, then clears it. The far end
// takes the line down: layer 2 is released on both sides, and established again when
// the line comes back. Frames cross the framer, the time-slot switch and the HDLC
// controller both ways; call control's entries are recorded by swapping the slots of
// the stack's interface table (call control's own handlers are not used).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "driver/Common/RSS_init.h"
#include "driver/signalling/isdn/IsdnStack.h"
#include "tools/harness/rig.h"

namespace {

using sim::CallKey;
using sim::IsdnEvent;
using sim::NetState;
using sim::SwitchVariant;
using MT = sim::q931::MsgType;

constexpr ULONG kLine = 0;

struct Upcall {
    std::string what;
    ULONG link;
    ULONG bearer;
};
std::vector<Upcall> g_up;

void RecIncoming(Adapter*, Link* l, ULONG bearer) { g_up.push_back({"incoming", l->Index, bearer}); }
void RecConnect(Link* l) { g_up.push_back({"connect", l->Index, 0}); }
void RecDisconnect(Link* l) { g_up.push_back({"disconnect", l->Index, 0}); }

size_t Count(const std::string& what, ULONG link)
{
    return size_t(std::count_if(g_up.begin(), g_up.end(), [&](const Upcall& u) { return u.what == what && u.link == link; }));
}

using VariantCase = rig::IsdnVariantCase;
const auto& kVariants = rig::kIsdnVariants;

class IsdnScenario : public ::testing::TestWithParam<VariantCase> {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    ISDN_STACK* s = nullptr;
    sim::Card* card = nullptr;
    sim::IsdnNetworkSide* net = nullptr;

    void SetUp() override
    {
        g_up.clear();
        const VariantCase& v = GetParam();
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        const std::string key = r.parameters_key(1);
        r.host.registry.set_dword(key, "SignallingProtocol_0", uint32_t(v.variant));
        if (v.e1) {
            r.host.registry.set_dword(key, "LineMode_0", 1);
            r.host.registry.set_dword(key, "FramingFormat_0", 4);
            r.host.registry.set_dword(key, "LineCode_0", 2);
            // The E1 system bus of four channels per slot: the HDLC controller's port mode
            // and the D channel's map slot (4 x 16) agree only in this mode.
            r.host.registry.set_dword(key, "SystemBusMode_0", 5);
        }
        card = &r.add_board_for(1, 4);
        sim::IsdnNetworkConfig config;
        config.variant = v.variant;
        config.e1 = v.e1;
        config.keep_link_up = plat::ms(500);
        net = &r.attach_isdn_network(*card, kLine, config);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        a = rig::Rig::driver_adapter(na);
        ASSERT_NE(a, nullptr);
        ASSERT_EQ(a->SignallingProtocol[kLine], ULONG(v.variant));
        ASSERT_EQ(a->SgnlStackSize[kLine], sizeof(ISDN_STACK));
        s = (ISDN_STACK*)a->ThisSgnlStack[kLine];
        s->Upcalls.IncomingCallIndHdlr = RecIncoming;
        s->Upcalls.ConnectHdlr = RecConnect;
        s->Upcalls.DisconnectHdlr = RecDisconnect;
    }
    void TearDown() override
    {
        if (na) r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        EXPECT_EQ(r.leaked_mappings(), 0u);
        EXPECT_EQ(r.leaked_shared_memory(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
        if (net == nullptr) return;
        // Nothing the adapter sent broke the network's codecs or procedures, and
        // neither side had to ask the other what state a call was in.
        EXPECT_EQ(net->counters().malformed, 0u);
        EXPECT_EQ(net->counters().bad_messages, 0u);
        for (const IsdnEvent& ev : net->log()) {
            if (ev.kind == IsdnEvent::Kind::Malformed) ADD_FAILURE() << "network: " << ev.text;
            if ((ev.kind == IsdnEvent::Kind::MessageIn || ev.kind == IsdnEvent::Kind::MessageOut) && ev.message &&
                ev.message->type == uint8_t(MT::Status))
                ADD_FAILURE() << (ev.kind == IsdnEvent::Kind::MessageIn ? "adapter sent " : "network sent ") << ev.text;
        }
    }

    bool run_until(const std::function<bool()>& done, plat::VTime limit) { return rig::run_until(r.host, done, limit); }
    ULONG control(ULONG id, ULONG argument = 0)
    {
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        ULONG v = a->SgnlProtocolOps[kLine].Control(CTL_KIND_GET, id, s, argument);
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        return v;
    }
    // Call control's side: its requests run under the adapter lock.
    void request(UCHAR primitive, PVOID call, const std::string& number = "", UCHAR value = 0)
    {
        std::vector<UCHAR> n(1, UCHAR(number.size()));
        n.insert(n.end(), number.begin(), number.end());
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        a->SgnlProtocolOps[kLine].CallRequest(primitive, call, number.empty() ? NULL : n.data(), value, 0);
        NdisReleaseSpinLock(&a->AdapterSpinLock);
    }
    PVOID alloc(ULONG index)
    {
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        PVOID call = a->SgnlProtocolOps[kLine].AllocCall(s, &a->NdisWanInfo[kLine][index], index);
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        return call;
    }
    bool both_established() { return control(CTL_L2_STATE) == L2_ESTABLISHED && net->l2_state() == sim::L2State::Established; }
    void link_up()
    {
        ASSERT_TRUE(run_until([&] { return both_established(); }, plat::ms(6000)))
            << "adapter layer 2 " << control(CTL_L2_STATE) << ", network " << sim::l2_state_name(net->l2_state())
            << "; frames the stack took " << s->FramesReceived << ", refused " << s->StackCounters[CNT_FRAMES_REFUSED]
            << ", frames the network took " << net->counters().frames_in;
        EXPECT_EQ(a->Framer[kLine].bL1Up, TRUE);
    }
    // Message types between the two sides for one call, in order.
    std::vector<MT> messages(IsdnEvent::Kind kind, CallKey key) const
    {
        std::vector<MT> out;
        for (const IsdnEvent& ev : net->log())
            if (ev.kind == kind && ev.call == key && ev.message) out.push_back(MT(ev.message->type));
        return out;
    }
    std::vector<MT> from_adapter(CallKey key) const { return messages(IsdnEvent::Kind::MessageIn, key); }
    std::vector<MT> from_network(CallKey key) const { return messages(IsdnEvent::Kind::MessageOut, key); }
    std::string digits(PVOID call, ULONG length_id, ULONG digits_id)
    {
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        ULONG n = a->SgnlProtocolOps[kLine].Control(CTL_KIND_CALL, length_id, call, 0);
        ULONG at = a->SgnlProtocolOps[kLine].Control(CTL_KIND_CALL, digits_id, call, 0);
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        return std::string((const char*)call + at, n);
    }
};

TEST_P(IsdnScenario, CallsBothWaysAndTheLinkFollowsLayerOne)
{
    link_up();
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(s->L2.VS, net->vr()) << "both sides count the same I-frames";
    EXPECT_EQ(s->L2.VR, net->vs());

    // ---- An incoming call on channel 5, for the directory number of Link 4.
    const unsigned ch = 5;
    const ULONG link = 4;
    auto key = net->offer_call(ch, "5551004", "2125550000", sim::q931::Bearer::speech(GetParam().e1));
    ASSERT_TRUE(key);
    ASSERT_TRUE(run_until([&] { return Count("incoming", link) == 1; }, plat::ms(1000)));
    EXPECT_EQ(g_up.back().bearer, ULONG(INFO_TRANSFER_CAPS_SPEECH));
    PVOID call = a->NdisWanInfo[kLine][link].ThisBChannel;
    ASSERT_EQ(call, &s->Calls[ch]) << "the Link of the called number carries the call";
    EXPECT_EQ(digits(call, CTL_CALLED_NUMBER_LENGTH, CTL_CALLED_NUMBER), "5551004");
    EXPECT_EQ(digits(call, CTL_CALLING_NUMBER_LENGTH, CTL_CALLING_NUMBER), "2125550000");
    ASSERT_TRUE(run_until([&] { return net->channel_state(ch) == NetState::CallReceived; }, plat::ms(500)))
        << "the stack alerts";
    EXPECT_EQ(Count("connect", link), 0u) << "nothing connects before call control answers";

    // Call control answers: CONNECT, acknowledged; connected upward only then.
    request(REQUEST_SETUP_RESPONSE, call);
    ASSERT_TRUE(run_until([&] { return Count("connect", link) == 1; }, plat::ms(1000)));
    EXPECT_EQ(net->channel_state(ch), NetState::Active);
    EXPECT_EQ(from_adapter(*key), (std::vector<MT>{MT::Alerting, MT::Connect}));
    EXPECT_EQ(from_network(*key), (std::vector<MT>{MT::Setup, MT::ConnectAcknowledge}));
    EXPECT_EQ(control(CTL_CHANNEL_STATE, ch), 10u);
    r.host.run_for(plat::ms(6000));  // longer than T9 and T203: the call and the link hold
    EXPECT_EQ(control(CTL_CHANNEL_STATE, ch), 10u);
    EXPECT_TRUE(both_established());

    // The network clears: call control hears it, the stack releases, the channel is free.
    ASSERT_TRUE(net->clear_call(*key));
    ASSERT_TRUE(run_until([&] { return !net->call(*key); }, plat::ms(1000)));
    EXPECT_GE(Count("disconnect", link), 1u) << "call control heard of the DISCONNECT before the stack's RELEASE";
    ASSERT_TRUE(run_until([&] { return control(CTL_CHANNEL_STATE, ch) == 0; }, plat::ms(1000)));
    EXPECT_EQ(from_adapter(*key), (std::vector<MT>{MT::Alerting, MT::Connect, MT::Release}));
    EXPECT_EQ(from_network(*key), (std::vector<MT>{MT::Setup, MT::ConnectAcknowledge, MT::Disconnect, MT::ReleaseComplete}));
    EXPECT_EQ(a->NdisWanInfo[kLine][link].ThisBChannel, nullptr) << "the Link is free again";

    // ---- An outgoing call from Link 7, 64 kbit/s unrestricted; the network answers.
    const ULONG out_link = 7;
    PVOID out = alloc(out_link);
    ASSERT_NE(out, nullptr);
    unsigned out_ch = ((ISDN_CALL*)out)->Channel;
    request(REQUEST_SETUP, out, "5559876", 1);
    ASSERT_TRUE(run_until([&] { return Count("connect", out_link) == 1; }, plat::ms(2000)));
    auto placed = net->call_on_channel(out_ch);
    ASSERT_TRUE(placed) << "the network put the call on the channel the adapter preferred";
    EXPECT_TRUE(placed->key.user_originated);
    EXPECT_EQ(placed->called, "5559876");
    EXPECT_EQ(placed->bearer, sim::q931::Bearer::unrestricted64());
    EXPECT_EQ(placed->state, NetState::Active);
    ASSERT_TRUE(run_until([&] { return net->call(placed->key)->connect_acknowledged; }, plat::ms(500)));
    std::vector<MT> answer = {MT::CallProceeding, MT::Alerting, MT::Connect};
    EXPECT_EQ(from_network(placed->key), answer);
    EXPECT_EQ(from_adapter(placed->key), (std::vector<MT>{MT::Setup, MT::ConnectAcknowledge}));
    EXPECT_EQ(control(CTL_CHANNEL_STATE, out_ch), 10u);

    // Call control clears it; the network's RELEASE is reported back once.
    request(REQUEST_DISCONNECT, out, "", NORMALCALLCLEARING);
    ASSERT_TRUE(run_until([&] { return net->calls().empty() && control(CTL_CHANNEL_STATE, out_ch) == 0; }, plat::ms(1000)));
    EXPECT_EQ(from_adapter(placed->key), (std::vector<MT>{MT::Setup, MT::ConnectAcknowledge, MT::Disconnect, MT::ReleaseComplete}));
    EXPECT_EQ(Count("disconnect", out_link), 1u);
    EXPECT_EQ(alloc(out_link), out) << "the channel is free again";
    request(REQUEST_DISCONNECT, out, "", NORMALCALLCLEARING);  // and given back unused

    // ---- The far end takes the line down: layer 2 released on both sides.
    card->line(kLine).take_down();
    EXPECT_EQ(net->l2_state(), sim::L2State::Released);
    ASSERT_TRUE(run_until([&] { return control(CTL_L2_STATE) == L2_RELEASED; }, plat::ms(1000)));
    r.host.run_for(plat::ms(3000));
    EXPECT_EQ(control(CTL_L2_STATE), ULONG(L2_RELEASED));
    EXPECT_EQ(net->l2_state(), sim::L2State::Released);

    // Back up: the link is established again and carries calls.
    card->line(kLine).bring_up();
    link_up();
    auto again = net->offer_call(ch, "5551004", "", sim::q931::Bearer::speech(GetParam().e1));
    ASSERT_TRUE(again);
    ASSERT_TRUE(run_until([&] { return Count("incoming", link) == 2; }, plat::ms(1000)));
    EXPECT_EQ(s->StackCounters[CNT_L2_ERRORS], 0u);
    EXPECT_EQ(s->StackCounters[CNT_MESSAGES_DROPPED], 0u);
}

// Nobody on the network side asks for the link: the adapter's stack establishes it
// itself, and answers the network's enquiries while idle.
TEST_P(IsdnScenario, TheAdapterEstablishesTheLinkWhenTheNetworkDoesNot)
{
    r.isdn_networks.clear();
    sim::IsdnNetworkConfig config;
    config.variant = GetParam().variant;
    config.e1 = GetParam().e1;
    net = &r.attach_isdn_network(*card, kLine, config);
    ASSERT_TRUE(run_until([&] { return s->LinkState == ISDN_LINK_UP; }, plat::ms(5000)));
    ASSERT_TRUE(run_until([&] { return both_established(); }, plat::ms(65000)));
    bool adapter_asked = std::any_of(net->log().begin(), net->log().end(), [](const IsdnEvent& ev) {
        return ev.kind == IsdnEvent::Kind::FrameIn && ev.text.rfind("SABME", 0) == 0;
    });
    EXPECT_TRUE(adapter_asked);
    r.host.run_for(plat::ms(25000));  // T203 runs out on both sides, more than once
    EXPECT_TRUE(both_established());
    EXPECT_EQ(net->counters().reestablishments, 0u);
    EXPECT_GT(net->counters().rr_in, 0u);
}

INSTANTIATE_TEST_SUITE_P(Variants, IsdnScenario, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

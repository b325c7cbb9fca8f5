// The robbed-bit stack on its own: an instance driven through its seven entries, the
// far end's bits handed in as the framer hands them, call control's upcalls recorded.
#include "driver/signalling/rbs/RbsStack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/Wmp_nt40/Wmp_link.h"

namespace {

constexpr ULONG kLine = 2;
const ULONG U = CONTROL_UNKNOWN;

// ---- recorded upcalls ----

struct Fixture;
Fixture* g_f;
std::vector<std::string> g_up;
Link g_links[32];
bool g_links_free = true;
PVOID g_answer_from_offer = nullptr;  // set: IncomingCallIndHdlr answers at once

ULONG Idx(Link* l) { return (ULONG)(l - g_links); }
void Rec(const std::string& s) { g_up.push_back(s); }
std::string Str(const char* what, ULONG a) { return std::string(what) + "(" + std::to_string(a) + ")"; }

void FakeOutOfService(Adapter*, ULONG line, ULONG ch) { Rec(Str("oos", line * 100 + ch)); }
Link* FakeGetLink(Adapter*, PVOID call, ULONG group, PUCHAR number, ULONG channel)
{
    Rec(Str("getlink", group * 100 + channel));
    if (number != NULL || !g_links_free || channel == 0 || channel > 32) return NULL;
    g_links[channel - 1].ThisBChannel = call;
    return &g_links[channel - 1];
}
void FakeClearLink(Link* l)
{
    Rec(Str("clearlink", Idx(l)));
    l->ThisBChannel = NULL;
}
void FakeConnect(Link* l) { Rec(Str("connect", Idx(l))); }
void FakeDisconnect(Link* l) { Rec(Str("disconnect", Idx(l))); }
void FakeIncoming(Adapter*, Link* l, ULONG bearer)
{
    Rec(Str("incoming", Idx(l) * 10 + bearer));
    if (g_answer_from_offer) RbsStackCallRequest(REQUEST_SETUP_RESPONSE, l->ThisBChannel, NULL, 0, 0);
}
void FakeLed(Adapter*, ULONG line, ULONG mask, ULONG on) { Rec(Str("led", line * 1000 + mask * 2 + on)); }

std::string Joined(size_t from = 0)
{
    std::string s;
    for (size_t i = from; i < g_up.size(); i++) s += (s.empty() ? "" : " ") + g_up[i];
    return s;
}

// ---- the fixture: one instance set up as the adapter sets it up ----

struct Fixture {
    std::unique_ptr<RBS_STACK> s{new RBS_STACK()};
    SGNL_PROTOCOL_OPS ops{};
    alignas(8) char adapter_stand_in[8]{};

    Adapter* adapter() { return reinterpret_cast<Adapter*>(adapter_stand_in); }

    explicit Fixture(ULONG protocol, ULONG e1 = 0, ULONG type = 0, ULONG call_type = 0, ULONG wink = 1)
    {
        g_f = this;
        g_up.clear();
        std::memset(g_links, 0, sizeof g_links);
        g_links_free = true;
        g_answer_from_offer = nullptr;
        RbsStackGetOps(&ops);
        RSS_INTERFACE_TABLE& t = s->Upcalls;
        t.OutOfService = FakeOutOfService;
        t.GetLinkAssignedToBChannel = FakeGetLink;
        t.RSS_ClearLinkBChannel = FakeClearLink;
        t.ConnectHdlr = FakeConnect;
        t.DisconnectHdlr = FakeDisconnect;
        t.IncomingCallIndHdlr = FakeIncoming;
        t.RSS_SetLed = FakeLed;
        ops.SetAdapter(s.get(), adapter());
        set(CTL_LINE_INDEX, kLine);
        set(CTL_E1_FLAG, e1);
        set(CTL_INIT_TIMER_POOL, 0);
        set(CTL_RESET, 0);
        set(CTL_RBS_TYPE, type);
        set(CTL_RBS_CALL_TYPE, call_type);
        set(CTL_RBS_PROTOCOL, protocol);
        set(CTL_RBS_WINK_DURATION, wink);
        set(CTL_START_TICK, 0);
        if (s->Mode == RBS_MODE_TIMER) set(CTL_TICK, RBS_FIRST_TICK_MS - s->Timing[RBS_T_PERIOD]);
    }
    ULONG set(ULONG id, ULONG arg) { return ops.Control(CTL_KIND_SET, id, s.get(), arg); }
    ULONG get(ULONG id, ULONG arg = 0) { return ops.Control(CTL_KIND_GET, id, s.get(), arg); }
    // Layer 1 up; the LED upcall is forgotten (the layer-1 test checks it).
    void up()
    {
        ops.Layer1Indication(adapter(), s.get(), kLine, LAYER1_ACTIVATED);
        g_up.clear();
    }
    void down() { ops.Layer1Indication(adapter(), s.get(), kLine, LAYER1_DEACTIVATED); }
    // The framer hands the far end's bits in before every step.
    ULONG bits[32]{};
    void far(ULONG ch, ULONG b) { bits[ch] = b; }
    void step(int n = 1)
    {
        for (int i = 0; i < n; i++) {
            for (ULONG k = 0; k < 32; k++) set(CTL_RX_SIGNALLING_BITS, (k << 8) | bits[k]);
            if (s->Mode == RBS_MODE_TIMER)
                ops.Control(CTL_KIND_ACTION, CTL_TICK, s.get(), s->Timing[RBS_T_PERIOD]);
            else
                set(CTL_TICK, 0);
            steps++;
        }
    }
    int steps = 0;
    ULONG tx(ULONG ch) { return get(CTL_TX_SIGNALLING_BITS, ch); }
    ULONG state(ULONG ch) { return get(CTL_CHANNEL_STATE, ch); }
    RBS_CHANNEL* ch(ULONG k) { return &s->Channel[k]; }
    ULONG t(ULONG position) { return s->Timing[position]; }
    // Steps until cond holds (at most limit); the number taken, or -1.
    template <class F>
    int until(F cond, int limit = 20000)
    {
        for (int i = 0; i <= limit; i++) {
            if (cond()) return i;
            step();
        }
        return -1;
    }
    void request(UCHAR primitive, PVOID call, UCHAR value = 0) { ops.CallRequest(primitive, call, NULL, value, 0); }
    // Steps, recording the transmit bits of a channel after each.
    std::vector<ULONG> tx_trace(ULONG k, int n)
    {
        std::vector<ULONG> v;
        for (int i = 0; i < n; i++) {
            step();
            v.push_back(tx(k));
        }
        return v;
    }
};

// Run lengths of a trace: "0x6 Fx79 0x12".
std::string Runs(const std::vector<ULONG>& v)
{
    std::ostringstream o;
    for (size_t i = 0; i < v.size();) {
        size_t j = i;
        while (j < v.size() && v[j] == v[i]) j++;
        o << (i ? " " : "") << std::hex << std::uppercase << v[i] << std::dec << "x" << (j - i);
        i = j;
    }
    return o.str();
}

// ---- Control ----

TEST(RbsControl, AnswersFollowTheContractOnT1AndE1)
{
    for (ULONG e1 = 0; e1 <= 1; e1++) {
        Fixture f(RBS_SETTING_WINK, e1);
        struct Case {
            ULONG kind, id, arg, expect;
        };
        const Case before[] = {
            {CTL_KIND_CONST, CTL_INSTANCE_SIZE, 0, (ULONG)sizeof(RBS_STACK)},
            {CTL_KIND_CONST, CTL_TIMESLOT_MAP_MODE, 0, 5},
            {CTL_KIND_CONST, CTL_HAS_D_CHANNEL, 0, 0},
            {CTL_KIND_CONST, CTL_PER_CHANNEL_HANDLING, 0, 1},
            {CTL_KIND_GET, CTL_NUM_B_CHANNELS, 0, e1 ? 32u : 24u},
            {CTL_KIND_GET, CTL_IS_E1, 0, e1},
            {CTL_KIND_GET, CTL_LAYER1_UP, 0, 0},
            {CTL_KIND_GET, CTL_POLL_QUESTION, 0, 0},
            {CTL_KIND_GET, CTL_FRAMER_INT_QUESTION, 0, 1},
            {CTL_KIND_GET, CTL_FRAMER_QUESTION, 0, 0},
            {CTL_KIND_GET, CTL_CHANNEL_STATE, 1, U},  // layer 1 not up
            {CTL_KIND_GET, CTL_TX_SIGNALLING_BITS, 1, 0},
        };
        for (const Case& c : before) {
            SCOPED_TRACE(testing::Message() << "E1 " << e1 << " id 0x" << std::hex << c.id);
            EXPECT_EQ(f.ops.Control(c.kind, c.id, c.kind == CTL_KIND_CONST ? NULL : f.s.get(), c.arg), c.expect);
        }
        f.up();
        const ULONG unknown[] = {CTL_SWITCH_VARIANT, CTL_L2_WINDOW, CTL_STACK_SETTING, CTL_STACK_COUNTERS,
                                 CTL_CHANNEL_COUNTERS, CTL_D_CHANNEL_TIMESLOT, CTL_FIRST_B_CHANNEL, CTL_LAST_B_CHANNEL,
                                 CTL_L2_STATE, CTL_EVENT_LOG, CTL_EVENT_LOG_INDEX, 0x20, 0x60};
        for (ULONG id : unknown) EXPECT_EQ(f.get(id, 0), U) << std::hex << id;
        for (ULONG id = CTL_NUM_STACK_COUNTERS; id <= CTL_CONST_4C; id++)
            EXPECT_EQ(f.ops.Control(CTL_KIND_CONST, id, NULL, 0), U) << std::hex << id;
        EXPECT_EQ(f.get(CTL_LAYER1_UP), 1u);
        EXPECT_EQ(f.get(CTL_CHANNEL_STATE, 1), (ULONG)RBS_CH_IDLE);
        EXPECT_EQ(f.get(CTL_CHANNEL_STATE, 0), e1 ? (ULONG)RBS_CH_IDLE : U);
        EXPECT_EQ(f.get(CTL_CHANNEL_STATE, 31), e1 ? (ULONG)RBS_CH_IDLE : U);
        EXPECT_EQ(f.get(CTL_CHANNEL_STATE, 32), U);
        EXPECT_EQ(f.s->InstanceSize, (ULONG)sizeof(RBS_STACK));
        for (const RBS_CHANNEL& c : f.s->Channel) EXPECT_EQ(c.Line, kLine);
        EXPECT_EQ(f.set(CTL_LINE_INDEX, MAX_GROUPS), U) << "no such line";
        EXPECT_EQ(f.s->Line, kLine);
        // Missing object, unknown kind.
        for (ULONG kind = CTL_KIND_ACTION; kind <= CTL_KIND_CALL; kind++)
            EXPECT_EQ(f.ops.Control(kind, CTL_NUM_B_CHANNELS, NULL, 0), U);
        EXPECT_EQ(f.ops.Control(CTL_NUM_KINDS, CTL_HAS_D_CHANNEL, f.s.get(), 0), U);
    }
}

TEST(RbsControl, CallQuestionsReadOnlyOurChannelRecords)
{
    Fixture f(RBS_SETTING_IMMEDIATE);
    RBS_CHANNEL* c = f.ch(7);
    EXPECT_EQ(f.ops.Control(CTL_KIND_CALL, CTL_CALL_CHANNEL, c, 0), 7u);
    EXPECT_EQ(f.ops.Control(CTL_KIND_CALL, CTL_CALLED_NUMBER_LENGTH, c, 0), 1u);
    EXPECT_STREQ((const char*)c + f.ops.Control(CTL_KIND_CALL, CTL_CALLED_NUMBER, c, 0), "1") << "offset in the call";
    EXPECT_EQ(f.ops.Control(CTL_KIND_CALL, CTL_CALLING_NUMBER_LENGTH, c, 0), 1u);
    EXPECT_STREQ((const char*)c + f.ops.Control(CTL_KIND_CALL, CTL_CALLING_NUMBER, c, 0), "0");
    EXPECT_EQ(f.ops.Control(CTL_KIND_CALL, CTL_HAS_D_CHANNEL, c, 0), 0u);
    EXPECT_EQ(f.ops.Control(CTL_KIND_CALL, CTL_NUM_B_CHANNELS, c, 0), U) << "an instance question on a call";
    EXPECT_EQ(f.ops.Control(CTL_KIND_GET, CTL_CALL_CHANNEL, f.s.get(), 0), U) << "a call question on the instance";
    PUCHAR called = RbsStackCallNumber(c, CTL_CALLED_NUMBER);
    ASSERT_NE(called, nullptr);
    EXPECT_STREQ((const char*)called, "1");
    EXPECT_STREQ((const char*)RbsStackCallNumber(c, CTL_CALLING_NUMBER), "0");
    EXPECT_EQ(RbsStackCallNumber(c, CTL_CALL_CHANNEL), nullptr);
    // Something that is not one of this stack's channel records.
    std::vector<UCHAR> foreign(sizeof(RBS_CHANNEL), 0);
    RBS_CHANNEL shifted = *c;
    shifted.ChannelNumber = 8;
    for (PVOID o : {(PVOID)foreign.data(), (PVOID)&shifted}) {
        EXPECT_EQ(f.ops.Control(CTL_KIND_CALL, CTL_CALL_CHANNEL, o, 0), U);
        EXPECT_EQ(RbsStackCallNumber(o, CTL_CALLED_NUMBER), nullptr);
    }
}

TEST(RbsControl, SettingsChooseProtocolModeAndTiming)
{
    struct Case {
        ULONG protocol, wink;
        ULONG channel_protocol, mode;
        ULONG timing[7];
    };
    const Case cases[] = {
        {0, 1, RBS_PROTOCOL_IMMEDIATE, 5, {90, 0, 7, 0, 166, 165, 333}},
        {0, 2, RBS_PROTOCOL_IMMEDIATE, 5, {90, 0, 12, 0, 166, 165, 333}},
        {0, 0, RBS_PROTOCOL_IMMEDIATE, 5, {90, 0, 6, 0, 166, 165, 333}},
        {1, 1, RBS_PROTOCOL_WINK, 4, {3, 6, 79, 12, 1666, 1665, 3333}},
        {1, 2, RBS_PROTOCOL_WINK, 4, {3, 6, 132, 12, 1666, 1665, 3333}},
        {2, 7, RBS_PROTOCOL_EAR_MOUTH, 4, {3, 6, 65, 12, 1666, 1665, 3333}},
        {3, 1, RBS_PROTOCOL_NONE, 5, {90, 0, 7, 0, 166, 165, 333}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "RBSProtocol " << c.protocol << " RBSWinkDuration " << c.wink);
        Fixture f(c.protocol, 0, 1, 1, c.wink);
        EXPECT_EQ(f.s->Mode, c.mode);
        EXPECT_EQ(f.s->TimingValid, 1u);
        for (int p = 0; p < 7; p++) EXPECT_EQ(f.s->Timing[p], c.timing[p]) << "position " << p;
        for (ULONG k = 0; k < 32; k++) {
            bool on = k >= 1 && k <= 24;
            EXPECT_EQ(f.ch(k)->Enabled, on ? 1 : 0) << k;
            EXPECT_EQ(f.ch(k)->Protocol, on ? c.channel_protocol : (ULONG)RBS_PROTOCOL_EAR_MOUTH) << k;
            EXPECT_EQ(f.ch(k)->SignallingType, on ? (ULONG)RBS_TYPE_SET : (ULONG)RBS_TYPE_DEFAULT) << k;
            EXPECT_EQ(f.ch(k)->CallType, on ? RBS_CALL_TYPE_ISDN : RBS_CALL_TYPE_ANALOG) << k;
        }
    }
}

// What the framer hands in is checked: channel and bit range, layer 1, enabled channel.
TEST(RbsControl, ReceivedBitsAreCheckedBeforeTheyAreStored)
{
    Fixture f(RBS_SETTING_EAR_MOUTH);
    EXPECT_EQ(f.set(CTL_RX_SIGNALLING_BITS, (5 << 8) | 0xF), U) << "layer 1 down";
    f.up();
    struct Case {
        ULONG arg;
        bool stored;
    };
    const Case cases[] = {
        {(5 << 8) | 0xF, true}, {(5 << 8) | 0x1F, false}, {(32 << 8) | 0xF, false},
        {0x10000 | (5 << 8) | 0xF, false}, {(0 << 8) | 0xF, false}, {(25 << 8) | 0xF, false}, {(24 << 8) | 0x5, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "argument 0x" << std::hex << c.arg);
        RBS_BITS before[32];
        std::memcpy(before, f.s->RxBits, sizeof before);
        EXPECT_EQ(f.set(CTL_RX_SIGNALLING_BITS, c.arg), c.stored ? 0u : U);
        EXPECT_EQ(std::memcmp(before, f.s->RxBits, sizeof before) != 0, c.stored);
    }
    EXPECT_EQ(f.get(CTL_TX_SIGNALLING_BITS, 40), 0u) << "never more than the bits";
}

// ---- debounce ----

// A run of off-hook samples shorter than the debounce never reaches the machine.
TEST(RbsDebounce, OnlyARunOfEqualSamplesIsTaken)
{
    struct Case {
        ULONG protocol;
        int samples;
        bool seized;
    };
    const Case cases[] = {
        {RBS_SETTING_EAR_MOUTH, 5, false}, {RBS_SETTING_EAR_MOUTH, 6, true},
        {RBS_SETTING_IMMEDIATE, 1, false}, {RBS_SETTING_IMMEDIATE, 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "protocol " << c.protocol << ", " << c.samples << " samples");
        Fixture f(c.protocol);
        f.up();
        f.far(3, 0xF);
        f.step(c.samples);
        f.far(3, 0x0);
        f.step(20);
        EXPECT_EQ(Joined().find("incoming") != std::string::npos, c.seized) << Joined();
    }
}

TEST(RbsDebounce, ReceivedStateFollowsTheSignallingType)
{
    struct Case {
        ULONG type, bits, state;
    };
    const Case cases[] = {
        {RBS_TYPE_DEFAULT, 0x0, RBS_RX_ON_HOOK}, {RBS_TYPE_DEFAULT, 0xF, RBS_RX_OFF_HOOK}, {RBS_TYPE_SET, 0x5, RBS_RX_OTHER},
        {3, 0x5, RBS_RX_ON_HOOK},  {13, 0xF, RBS_RX_OFF_HOOK}, {12, 0x0, RBS_RX_OTHER},
        {8, 0xA, 0xA},             {5, 0x5, 0x5},               {10, 0xF, RBS_RX_OFF_HOOK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " bits " << c.bits);
        Fixture f(3);  // channels never stepped: only the debounce runs
        f.up();
        f.ch(4)->SignallingType = c.type;
        f.far(4, c.bits == 0 ? 0xF : 0);  // start from something else
        f.step(4);
        f.far(4, c.bits);
        f.step(4);
        EXPECT_EQ(f.ch(4)->RxState, c.state);
        EXPECT_EQ(f.ch(4)->RxChanged, 1);
    }
}

// ---- incoming calls ----

// The far end seizes: immediate start stays on-hook and offers; wink start sends
// on-hook for position 1, off-hook for position 2 (the wink), on-hook for position 3,
// then offers; E&M offers at once and answers on-hook for position 1, then off-hook
// for good: its wink is not ended by an on-hook after it. The far end then clears,
// call control releases, the guard returns to idle.
TEST(RbsIncoming, SeizureOfferAnswerAndFarEndClearing)
{
    struct Case {
        ULONG protocol;
        const char* before_offer;  // transmit runs from the seizure to the offer
        const char* after_answer;  // transmit runs from the answer until connected
        std::vector<ULONG> states;  // the state history of the call
    };
    const Case cases[] = {
        {RBS_SETTING_IMMEDIATE, "", "Fx1", {16, 18, 17, 19, 2}},
        {RBS_SETTING_WINK, "0x6 Fx79 0x12", "Fx1", {8, 9, 10, 11, 16, 18, 17, 19, 2}},
        {RBS_SETTING_EAR_MOUTH, "", "0x7 Fx91", {16, 8, 9, 10, 11, 18, 17, 19, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "protocol " << c.protocol);
        Fixture f(c.protocol, 0, 0, 0, 1);
        f.up();
        const ULONG k = 12;
        f.far(k, 0xF);
        ASSERT_NE(f.until([&] { return f.ch(k)->State != RBS_CH_IDLE; }), -1);
        std::vector<ULONG> trace;
        while (Joined().find("incoming") == std::string::npos && trace.size() < 500) {
            f.step();
            trace.push_back(f.tx(k));
        }
        EXPECT_EQ(Runs(trace), c.before_offer);
        EXPECT_EQ(Joined(), "getlink(212) incoming(110)") << "Link 11 of line 2, analog";
        EXPECT_EQ(f.state(k), (ULONG)RBS_CH_OFFERED);
        EXPECT_EQ(f.tx(k), 0u);

        f.request(REQUEST_SETUP_RESPONSE, f.ch(k));
        EXPECT_EQ(g_up.back(), "connect(11)");
        trace.clear();
        while (f.state(k) != RBS_CH_CONNECTED && trace.size() < 500) {
            f.step();
            trace.push_back(f.tx(k));
        }
        EXPECT_EQ(Runs(trace), c.after_answer);
        f.step(50);
        EXPECT_EQ(f.tx(k), 0xFu);

        size_t mark = g_up.size();
        f.far(k, 0x0);
        ASSERT_NE(f.until([&] { return g_up.size() > mark; }), -1);
        EXPECT_EQ(Joined(mark), "disconnect(11)");
        EXPECT_EQ(f.state(k), (ULONG)RBS_CH_FAR_CLEARED);
        f.request(REQUEST_DISCONNECT, f.ch(k), NORMALCALLCLEARING);
        EXPECT_EQ(Joined(mark), "disconnect(11) clearlink(11)");
        f.step();
        EXPECT_EQ(f.state(k), (ULONG)RBS_CH_GUARD);
        EXPECT_EQ(f.tx(k), 0u);
        EXPECT_EQ(f.until([&] { return f.state(k) == RBS_CH_IDLE; }), (int)f.t(RBS_T_IDLE_GUARD));
        std::vector<ULONG> states;
        for (ULONG i = 0; i < f.ch(k)->StateHistoryPos; i++) states.push_back(f.ch(k)->StateHistory[i] & 0x7FFF);
        EXPECT_EQ(states, c.states) << "cleared at the seizure, then every new state";

        // The next seizure is offered afresh: no answer left over from this call.
        mark = g_up.size();
        f.far(k, 0xF);
        ASSERT_NE(f.until([&] { return f.state(k) == RBS_CH_OFFERED; }), -1);
        f.step(20);
        EXPECT_EQ(f.state(k), (ULONG)RBS_CH_OFFERED);
        EXPECT_EQ(Joined(mark), "getlink(212) incoming(110)");
    }
}

// Calls that end before they are connected, or end from this side, always reach call
// control once when it had the call, and always bring the channel back on-hook and idle.
TEST(RbsIncoming, EveryWayOfEndingACallReturnsTheChannelToIdle)
{
    struct Case {
        const char* name;
        ULONG protocol;
        void (*act)(Fixture&, ULONG k);
        const char* upcalls;  // after the offer
    };
    const Case cases[] = {
        {"nobody answers", RBS_SETTING_IMMEDIATE,
         [](Fixture& f, ULONG k) { EXPECT_EQ(f.until([&] { return f.state(k) == RBS_CH_GUARD_2; }), (int)f.t(RBS_T_ANSWER_WAIT)); },
         "disconnect(4) clearlink(4)"},
        {"far end abandons the offer", RBS_SETTING_WINK,
         [](Fixture& f, ULONG k) {
             f.far(k, 0);
             f.until([&] { return f.state(k) == RBS_CH_GUARD; });
         },
         "disconnect(4) clearlink(4)"},
        {"call control rejects the offer", RBS_SETTING_EAR_MOUTH,
         [](Fixture& f, ULONG k) {
             f.request(REQUEST_DISCONNECT, f.ch(k), BUSY);
             f.step();
         },
         "clearlink(4)"},
        {"call control clears the connected call", RBS_SETTING_IMMEDIATE,
         [](Fixture& f, ULONG k) {
             f.request(REQUEST_SETUP_RESPONSE, f.ch(k));
             f.step(5);
             EXPECT_EQ(f.tx(k), 0xFu);
             f.request(REQUEST_DISCONNECT, f.ch(k), NORMALCALLCLEARING);
             f.step();
             EXPECT_EQ(f.tx(k), 0u) << "on-hook at the next step";
         },
         "connect(4) clearlink(4)"},
        {"far end clears, call control never releases", RBS_SETTING_WINK,
         [](Fixture& f, ULONG k) {
             f.request(REQUEST_SETUP_RESPONSE, f.ch(k));
             f.step(5);
             f.far(k, 0);
             f.until([&] { return f.state(k) == RBS_CH_FAR_CLEARED; });
             EXPECT_EQ(f.until([&] { return f.state(k) == RBS_CH_GUARD_2; }), (int)f.t(RBS_T_CLEAR_GUARD));
         },
         "connect(4) disconnect(4) clearlink(4)"},
        {"answered from inside the offer", RBS_SETTING_EAR_MOUTH,
         [](Fixture& f, ULONG k) {
             f.until([&] { return f.state(k) == RBS_CH_CONNECTED; });
             EXPECT_EQ(f.tx(k), 0xFu);
             f.request(REQUEST_DISCONNECT, f.ch(k), NORMALCALLCLEARING);
             f.step();
         },
         "connect(4) clearlink(4)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f(c.protocol);
        f.up();
        const ULONG k = 5;
        if (std::string(c.name) == "answered from inside the offer") g_answer_from_offer = f.ch(k);
        f.far(k, 0xF);
        ASSERT_NE(f.until([&] { return f.state(k) == RBS_CH_OFFERED; }), -1);
        ASSERT_GE(g_up.size(), 2u);
        ASSERT_EQ(g_up[0] + " " + g_up[1], "getlink(205) incoming(40)");
        size_t mark = 2;
        c.act(f, k);
        EXPECT_TRUE(f.state(k) == RBS_CH_GUARD || f.state(k) == RBS_CH_GUARD_2) << f.state(k);
        EXPECT_EQ(f.tx(k), 0u);
        EXPECT_EQ(f.until([&] { return f.state(k) == RBS_CH_IDLE; }), (int)f.t(RBS_T_IDLE_GUARD));
        f.step();
        EXPECT_EQ(Joined(mark), c.upcalls) << "the Link is released once, by call control or by the idle channel";
        EXPECT_EQ(g_links[4].ThisBChannel, nullptr);
        EXPECT_EQ(f.ch(k)->ThisLink, nullptr);
    }
}

TEST(RbsIncoming, ASeizureNobodyTakesIsNotOfferedAndCallTypeGivesTheBearer)
{
    Fixture f(RBS_SETTING_IMMEDIATE, 0, 0, 1);
    f.up();
    g_links_free = false;
    f.far(3, 0xF);
    f.step(5);
    EXPECT_EQ(Joined(), "getlink(203)");
    EXPECT_EQ(f.state(3), (ULONG)RBS_CH_OFFERED);
    f.request(REQUEST_SETUP_RESPONSE, f.ch(3));
    f.step(5);
    EXPECT_EQ(f.tx(3), 0u) << "nothing to answer without a Link";
    g_links_free = true;
    f.far(4, 0xF);
    f.step(5);
    EXPECT_EQ(Joined(), "getlink(203) getlink(204) incoming(32)") << "RBSCallType 1: bearer 2";
}

// ---- outgoing calls ----

TEST(RbsOutgoing, SeizeWinkAnswerAndClear)
{
    struct Case {
        ULONG protocol;
        bool wink;
    };
    for (const Case c : {Case{RBS_SETTING_IMMEDIATE, false}, Case{RBS_SETTING_WINK, true}, Case{RBS_SETTING_EAR_MOUTH, false}}) {
        SCOPED_TRACE(testing::Message() << "protocol " << c.protocol);
        Fixture f(c.protocol);
        f.up();
        const ULONG index = 9, k = index + 1;
        PVOID call = f.ops.AllocCall(f.s.get(), &g_links[index], index);
        ASSERT_EQ(call, f.ch(k));
        EXPECT_EQ(f.state(k), (ULONG)RBS_CH_RESERVED);
        f.step(3);
        EXPECT_EQ(f.ch(k)->ThisLink, &g_links[index]) << "an allocated channel keeps its Link";
        EXPECT_EQ(f.tx(k), 0u);
        f.request(REQUEST_SETUP, call);
        EXPECT_EQ(f.tx(k), 0xFu) << "seized at once";
        std::vector<ULONG> trace = f.tx_trace(k, 20);
        if (c.wink) {
            f.far(k, 0xF);
            auto more = f.tx_trace(k, 60);
            trace.insert(trace.end(), more.begin(), more.end());
            EXPECT_EQ(Joined(), "") << "a wink is no answer";
            f.far(k, 0x0);
            more = f.tx_trace(k, 20);
            trace.insert(trace.end(), more.begin(), more.end());
            EXPECT_EQ(f.state(k), (ULONG)RBS_CH_OUT_WAIT_ANSWER);
        }
        f.far(k, 0xF);
        ASSERT_NE(f.until([&] { return !g_up.empty(); }), -1);
        EXPECT_EQ(Joined(), "connect(9)") << "the far end's answer, not an incoming call";
        EXPECT_EQ(f.state(k), (ULONG)RBS_CH_CONNECTED);
        auto more = f.tx_trace(k, 20);
        trace.insert(trace.end(), more.begin(), more.end());
        EXPECT_EQ(Runs(trace), "Fx" + std::to_string(trace.size())) << "off-hook without a gap";

        // Far end clears: reported; call control releases; on-hook; idle.
        f.far(k, 0x0);
        ASSERT_NE(f.until([&] { return g_up.size() == 2; }), -1);
        EXPECT_EQ(g_up.back(), "disconnect(9)");
        f.request(REQUEST_DISCONNECT, call, NORMALCALLCLEARING);
        EXPECT_EQ(f.tx(k), 0u) << "an outgoing call goes on-hook at once";
        EXPECT_NE(f.until([&] { return f.state(k) == RBS_CH_IDLE; }), -1);
        EXPECT_EQ(Joined(), "connect(9) disconnect(9) clearlink(9)");
    }
}

TEST(RbsOutgoing, AWinkStartTrunkThatNeverWinksIsCleared)
{
    Fixture f(RBS_SETTING_WINK);
    f.up();
    PVOID call = f.ops.AllocCall(f.s.get(), &g_links[0], 0);
    f.request(REQUEST_SETUP, call);
    EXPECT_EQ(f.until([&] { return f.state(1) == RBS_CH_GUARD_2; }), (int)f.t(RBS_T_ANSWER_WAIT));
    EXPECT_EQ(Joined(), "disconnect(0)");
    EXPECT_EQ(f.tx(1), 0u);
}

TEST(RbsOutgoing, AllocCallTakesOnlyAFreeEnabledChannelWhileLayerOneIsUp)
{
    Fixture f(RBS_SETTING_EAR_MOUTH);
    EXPECT_EQ(f.ops.AllocCall(f.s.get(), &g_links[0], 0), nullptr) << "layer 1 not up";
    f.up();
    EXPECT_EQ(f.ops.AllocCall(f.s.get(), &g_links[23], 23), f.ch(24));
    EXPECT_EQ(f.ops.AllocCall(f.s.get(), &g_links[24], 24), nullptr) << "channel 25 of a T1";
    EXPECT_EQ(f.ops.AllocCall(f.s.get(), &g_links[0], 31), nullptr) << "no channel 32";
    EXPECT_EQ(f.ops.AllocCall(f.s.get(), &g_links[0], 0xFFFFFFFF), nullptr);
    EXPECT_EQ(f.ops.AllocCall(f.s.get(), NULL, 0), nullptr);
    EXPECT_EQ(f.ops.AllocCall(NULL, &g_links[0], 0), nullptr);
    EXPECT_EQ(f.ops.AllocCall(f.s.get(), &g_links[23], 23), nullptr) << "taken";
    f.far(2, 0xF);
    f.step(8);
    EXPECT_EQ(f.ops.AllocCall(f.s.get(), &g_links[1], 1), nullptr) << "offered";
    // A seizure on a reserved channel waits; releasing it before REQUEST_SETUP sends nothing.
    f.far(24, 0xF);
    f.step(8);
    EXPECT_EQ(f.state(24), (ULONG)RBS_CH_RESERVED);
    f.request(REQUEST_DISCONNECT, f.ch(24), NORMALCALLCLEARING);
    f.step();
    EXPECT_EQ(f.state(24), (ULONG)RBS_CH_IDLE);
    EXPECT_EQ(f.tx(24), 0u);
    EXPECT_EQ(f.ch(24)->ThisLink, nullptr);
    f.step();
    EXPECT_EQ(f.state(24), (ULONG)RBS_CH_OFFERED) << "the far end, still off-hook, is offered the free channel";
}

// Primitives with something that is not a call object, or out of their state, do nothing.
TEST(RbsOutgoing, PrimitivesOutOfPlaceChangeNothing)
{
    Fixture f(RBS_SETTING_IMMEDIATE);
    f.up();
    std::vector<UCHAR> foreign(sizeof(RBS_CHANNEL), 0);
    for (UCHAR p : {(UCHAR)REQUEST_SETUP, (UCHAR)REQUEST_SETUP_RESPONSE, (UCHAR)REQUEST_DISCONNECT, (UCHAR)REQUEST_RELEASE}) {
        f.request(p, NULL);
        f.request(p, foreign.data());
    }
    f.request(REQUEST_SETUP, f.ch(3));            // not allocated
    f.request(REQUEST_SETUP_RESPONSE, f.ch(3));   // not offered
    f.request(REQUEST_DISCONNECT, f.ch(3));       // idle
    f.step(3);
    EXPECT_EQ(Joined(), "");
    EXPECT_EQ(f.state(3), (ULONG)RBS_CH_IDLE);
    EXPECT_EQ(f.tx(3), 0u);
    EXPECT_EQ(f.ch(3)->ClearRequested, 0) << "no clear left waiting for the next call";
}

// ---- layer 1, ticks, histories ----

TEST(RbsLayer1, UpLightsTheLineDownTearsEveryCallDown)
{
    Fixture f(RBS_SETTING_IMMEDIATE);
    f.ops.Layer1Indication(f.adapter(), f.s.get(), kLine, LAYER1_ACTIVATED);
    EXPECT_EQ(Joined(), "led(2385)") << "line 2, mask 0xC0, on";
    f.far(6, 0xF);
    f.step(3);
    f.request(REQUEST_SETUP_RESPONSE, f.ch(6));
    f.step(2);
    ASSERT_EQ(f.state(6), (ULONG)RBS_CH_CONNECTED);
    g_up.clear();
    f.down();
    std::string expect;
    for (ULONG k = 1; k <= 24; k++) expect += "oos(" + std::to_string(200 + k) + ") ";
    EXPECT_EQ(Joined(), expect + "clearlink(5) led(2448)") << "mask 0xE0, off";
    EXPECT_EQ(f.get(CTL_LAYER1_UP), 0u);
    EXPECT_EQ(f.ch(6)->State, (ULONG)RBS_CH_IDLE);
    EXPECT_EQ(f.s->TxBits[6].Latest, 0u);
    EXPECT_EQ(f.tx(6), 0u);
    // While down the far end's bits are ignored; back up, a seizure is seen afresh.
    g_up.clear();
    f.step(10);
    EXPECT_EQ(Joined(), "");
    f.ops.Layer1Indication(f.adapter(), f.s.get(), kLine, LAYER1_ACTIVATED);
    f.step(5);
    EXPECT_EQ(Joined(), "led(2385) getlink(206) incoming(50)");
}

TEST(RbsTick, ModeFiveStepsOnItsPoolTimerModeFourOnEachFramerTick)
{
    Fixture f(RBS_SETTING_IMMEDIATE);  // started, and ticked to 90 ms before its first step
    auto steps = [&] { return f.ch(1)->TxHistory[0] & RBS_HISTORY_RUN_MASK; };
    EXPECT_TRUE(TmrIsRunning(&f.s->Pool, (ULONG_PTR)f.s.get(), kLine + RBS_TIMER_ID_BASE));
    f.set(CTL_TICK, 89);
    EXPECT_EQ(steps(), 0) << "the first step comes 1000 ms after the start";
    f.set(CTL_TICK, 1);
    EXPECT_EQ(steps(), 1);
    f.set(CTL_TICK, 89);
    EXPECT_EQ(steps(), 1);
    f.set(CTL_TICK, 1);
    EXPECT_EQ(steps(), 2) << "then every 90 ms";

    Fixture g(RBS_SETTING_WINK);
    EXPECT_FALSE(TmrIsRunning(&g.s->Pool, (ULONG_PTR)g.s.get(), kLine + RBS_TIMER_ID_BASE)) << "no timer in mode 4";
    g.set(CTL_TICK, 0);
    g.set(CTL_TICK, 12345);
    EXPECT_EQ(g.ch(1)->TxHistory[0] & RBS_HISTORY_RUN_MASK, 2) << "one step per framer tick";
    g.s->Mode = RBS_MODE_FRAMER;
    g.set(CTL_TICK, 0);
    EXPECT_EQ(g.ch(1)->TxHistory[0] & RBS_HISTORY_RUN_MASK, 2) << "mode 3: nothing";
    EXPECT_EQ(g.get(CTL_FRAMER_QUESTION), 1u);
}

TEST(RbsHistory, RunsOfTheABitFillThirtyTwoEntriesAndSplitLongRuns)
{
    Fixture f(3);  // protocol none: no call clears the histories
    f.up();
    for (int i = 0; i < 40; i++) {
        f.far(1, i % 2 ? 0x8 : 0x7);
        f.far(2, 0x8);
        f.step();
    }
    EXPECT_EQ(f.ch(1)->RxHistoryPos, 32u);
    for (int i = 0; i < 31; i++)
        EXPECT_EQ(f.ch(1)->RxHistory[i], RBS_HISTORY_VALID | (i % 2 ? RBS_HISTORY_BIT : 0) | 1) << i;
    f.step(RBS_HISTORY_RUN_MASK);
    EXPECT_EQ(f.ch(2)->RxHistoryPos, 2u);
    EXPECT_EQ(f.ch(2)->RxHistory[0], RBS_HISTORY_VALID | RBS_HISTORY_BIT | RBS_HISTORY_RUN_MASK);
    EXPECT_EQ(f.ch(2)->RxHistory[1], RBS_HISTORY_VALID | RBS_HISTORY_BIT | 40);
    EXPECT_EQ(f.ch(2)->TxHistory[0], RBS_HISTORY_VALID | RBS_HISTORY_RUN_MASK);
}

TEST(RbsEntries, FramesAreAcceptedAndDroppedAndManagementIsIgnored)
{
    Fixture f(RBS_SETTING_WINK);
    std::vector<UCHAR> before((UCHAR*)f.s.get(), (UCHAR*)f.s.get() + sizeof(RBS_STACK));
    UCHAR frame[] = {2, 1, 2};
    EXPECT_TRUE(f.ops.PutFrame(f.s.get(), frame, sizeof frame));
    f.ops.ManagementRequest(MGMT_TEST_CALL, f.s.get(), 1, 2, 3, 4, 5, 6, 7, 8, 9);
    f.ops.SetAdapter(f.s.get(), NULL);
    EXPECT_EQ(std::vector<UCHAR>((UCHAR*)f.s.get(), (UCHAR*)f.s.get() + sizeof(RBS_STACK)), before);
}

}  // namespace

// The road of a robbed-bit trunk: the four-line board, line 3 robbed-bit on T1, in
// each start protocol. Layer 1 comes up; the far end seizes a channel and the stack
// offers the call upward; call control answers, the far end sees the answer in the
// bits; the far end clears, the stack reports it, call control releases, the adapter
// goes on-hook and the channel returns to idle after its guard. Then the adapter
// places a call: it seizes the trunk, the far end (winks and) answers, call control
// hears the answer, then clears it. Call control's upcalls are recorded by swapping
// the entries of the stack's interface table.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/signalling/rbs/RbsStack.h"
#include "sim/far/robbed_bit.h"
#include "tools/harness/rig.h"

namespace {

using Far = sim::RobbedBitFarEnd;

constexpr ULONG kLine = 3;

struct Upcall {
    std::string what;
    ULONG link;   // the Link's index in its group, or the LED mask
    ULONG value;  // bearer code, or LED on/off
    plat::VTime time;
};
std::vector<Upcall> g_up;
plat::Host* g_host;

void RecIncoming(Adapter*, Link* l, ULONG bearer) { g_up.push_back({"incoming", l->Index, bearer, g_host->now()}); }
void RecConnect(Link* l) { g_up.push_back({"connect", l->Index, 0, g_host->now()}); }
void RecDisconnect(Link* l) { g_up.push_back({"disconnect", l->Index, 0, g_host->now()}); }
void RecLed(Adapter* a, ULONG line, ULONG mask, ULONG on)
{
    if (line == kLine) g_up.push_back({"led", mask, on, g_host->now()});
    RSS_SetLed(a, line, mask, on);
}

size_t Count(const std::string& what, ULONG link)
{
    size_t n = 0;
    for (const auto& u : g_up) n += u.what == what && u.link == link;
    return n;
}

std::string read_config(const std::string& name)
{
    std::ifstream in(std::string(VORNET_SOURCE_DIR) + "/configs/" + name);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct ProtocolCase {
    const char* name;
    ULONG setting;  // RBSProtocol_3
    Far::Protocol far;
    ULONG mode;
    plat::VTime step;  // one machine step
};

const ProtocolCase kProtocols[] = {
    {"immediate", RBS_SETTING_IMMEDIATE, Far::Protocol::Immediate, RBS_MODE_TIMER, plat::ms(90)},
    {"wink", RBS_SETTING_WINK, Far::Protocol::Wink, RBS_MODE_FRAMER_INT, plat::ms(3)},
    {"E&M", RBS_SETTING_EAR_MOUTH, Far::Protocol::EarAndMouth, RBS_MODE_FRAMER_INT, plat::ms(3)},
};

class RbsScenario : public ::testing::TestWithParam<ProtocolCase> {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    RBS_STACK* s = nullptr;
    std::unique_ptr<Far> far;

    void SetUp() override
    {
        g_up.clear();
        g_host = &r.host;
        std::string e;
        ASSERT_TRUE(r.load_config(read_config("four-line.reg"), &e)) << e;
        r.host.registry.set_dword(r.parameters_key(1), "RBSProtocol_3", GetParam().setting);
        r.host.registry.set_dword(r.parameters_key(1), "RBSCallType_3", 0);  // calls offered as analog
        r.add_board_for(1, 4);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        a = rig::Rig::driver_adapter(na);
        ASSERT_NE(a, nullptr);
        ASSERT_EQ(a->SignallingProtocol[kLine], 0u);
        s = (RBS_STACK*)a->ThisSgnlStack[kLine];
        ASSERT_EQ(a->SgnlStackSize[kLine], sizeof(RBS_STACK));
        s->Upcalls.IncomingCallIndHdlr = RecIncoming;
        s->Upcalls.ConnectHdlr = RecConnect;
        s->Upcalls.DisconnectHdlr = RecDisconnect;
        s->Upcalls.RSS_SetLed = RecLed;
        for (Link& l : a->NdisWanInfo[kLine]) l.CurrentOwner = OWNER_TELEPHONY_SUBSYSTEM;
        far = std::make_unique<Far>(r.host.sched, r.boards[0]->line(kLine), GetParam().far);
    }
    void TearDown() override
    {
        far.reset();
        if (na) r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }

    bool run_until(const std::function<bool()>& done, plat::VTime limit)
    {
        for (plat::VTime t = 0; t < limit; t += plat::ms(1)) {
            if (done()) return true;
            r.host.run_for(plat::ms(1));
        }
        return done();
    }
    ULONG control(ULONG id, ULONG argument)
    {
        return a->SgnlProtocolOps[kLine].Control(CTL_KIND_GET, id, s, argument);
    }
    // Call control's side: the primitives run under the adapter lock.
    void request(UCHAR primitive, PVOID call, UCHAR value = 0)
    {
        UCHAR number[] = {1, '7'};
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        a->SgnlProtocolOps[kLine].CallRequest(primitive, call, primitive == REQUEST_SETUP ? number : NULL, value, 0);
        NdisReleaseSpinLock(&a->AdapterSpinLock);
    }
    PVOID alloc(ULONG index)
    {
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        PVOID call = a->SgnlProtocolOps[kLine].AllocCall(s, &a->NdisWanInfo[kLine][index], index);
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        return call;
    }
    void layer1_up()
    {
        ASSERT_TRUE(run_until([&] { return control(CTL_LAYER1_UP, 0) == 1; }, plat::ms(9000)));
        ASSERT_EQ(Count("led", LED_MASK_DATA_LINK), 1u);
        ASSERT_EQ(control(CTL_POLL_QUESTION, 0), GetParam().mode == RBS_MODE_TIMER ? 1u : 0u);
        ASSERT_EQ(control(CTL_FRAMER_INT_QUESTION, 0), GetParam().mode == RBS_MODE_FRAMER_INT ? 1u : 0u);
    }
    plat::VTime idle_guard() const { return s->Timing[RBS_T_IDLE_GUARD] * GetParam().step; }
};

TEST_P(RbsScenario, IncomingCallIsOfferedAnsweredAndClearedByTheFarEnd)
{
    layer1_up();
    const ULONG ch = 5, link = ch - 1;
    Link* l = &a->NdisWanInfo[kLine][link];

    // The far end seizes channel 5 and, out of the T1's range, channel 25.
    ASSERT_TRUE(far->seize(ch));
    ASSERT_TRUE(far->seize(25));
    ASSERT_TRUE(run_until([&] { return Count("incoming", link) == 1; }, plat::ms(2000)));
    EXPECT_EQ(g_up.back().value, (ULONG)RBS_BEARER_ANALOG);
    EXPECT_EQ(l->ThisBChannel, &s->Channel[ch]) << "the Link of the channel carries the call";
    EXPECT_EQ(control(CTL_CHANNEL_STATE, ch), (ULONG)RBS_CH_OFFERED);
    if (GetParam().far == Far::Protocol::Wink) {
        ASSERT_NE(far->first(ch, Far::Event::AdapterWink), 0u) << "wink start: the adapter winked before the offer";
        EXPECT_LT(far->first(ch, Far::Event::AdapterWink), g_up.back().time);
    }
    EXPECT_EQ(far->count(ch, Far::Event::AdapterAnswered), 0u) << "no answer before call control answers";

    // Call control answers: connected at once upward; the far end sees the off-hook.
    PVOID call = l->ThisBChannel;
    request(REQUEST_SETUP_RESPONSE, call);
    EXPECT_EQ(Count("connect", link), 1u);
    ASSERT_TRUE(run_until([&] { return far->state(ch) == Far::State::Connected; }, plat::ms(2000)));
    ASSERT_TRUE(run_until([&] { return control(CTL_CHANNEL_STATE, ch) == RBS_CH_CONNECTED; }, plat::ms(1000)));
    r.host.run_for(plat::ms(1000));
    EXPECT_EQ(far->state(ch), Far::State::Connected) << "the answer holds";

    // The far end clears: the stack reports it; call control releases the channel.
    ASSERT_TRUE(far->clear(ch));
    ASSERT_TRUE(run_until([&] { return Count("disconnect", link) == 1; }, plat::ms(2000)));
    request(REQUEST_DISCONNECT, call, NORMALCALLCLEARING);
    EXPECT_EQ(l->ThisBChannel, nullptr);
    ASSERT_TRUE(run_until([&] { return far->state(ch) == Far::State::Idle; }, plat::ms(2000)));
    EXPECT_EQ(far->count(ch, Far::Event::AdapterCleared), 1u);

    // Idle again after the guard; channel 25 never left idle and was never offered.
    ASSERT_TRUE(run_until([&] { return control(CTL_CHANNEL_STATE, ch) == RBS_CH_IDLE; }, idle_guard() + plat::ms(1000)));
    EXPECT_EQ(control(CTL_CHANNEL_STATE, 25), (ULONG)CONTROL_UNKNOWN);
    EXPECT_EQ(far->count(25, Far::Event::AdapterAnswered) + far->count(25, Far::Event::AdapterWink), 0u);
    EXPECT_EQ(Count("incoming", 24), 0u);

    // A second seizure of the same channel is offered again, and not answered by itself.
    ASSERT_TRUE(far->clear(25));
    ASSERT_TRUE(far->seize(ch));
    ASSERT_TRUE(run_until([&] { return Count("incoming", link) == 2; }, plat::ms(2000)));
    r.host.run_for(plat::ms(1000));
    EXPECT_EQ(Count("connect", link), 1u);
    EXPECT_EQ(far->count(ch, Far::Event::AdapterAnswered), 1u);
}

TEST_P(RbsScenario, OutgoingCallSeizesTheTrunkIsAnsweredAndClearedLocally)
{
    layer1_up();
    const ULONG index = 6, ch = index + 1;
    PVOID call = alloc(index);
    ASSERT_EQ(call, &s->Channel[ch]);
    EXPECT_EQ(alloc(index), nullptr) << "the channel is taken";

    // The far end answers once it has seen the seizure (and, wink start, winked).
    far->run({
        {Far::Step::Await, ch, Far::Event::AdapterSeized, plat::ms(1000)},
        {Far::Step::Pause, 0, {}, plat::ms(600)},
        {Far::Step::Answer, ch, {}, 0},
    });
    request(REQUEST_SETUP, call);
    ASSERT_TRUE(run_until([&] { return far->done() || !far->failure().empty(); }, plat::ms(3000)));
    ASSERT_TRUE(far->failure().empty()) << far->failure();
    EXPECT_EQ(far->count(ch, Far::Event::Winked), GetParam().far == Far::Protocol::Wink ? 1u : 0u);
    EXPECT_EQ(Count("incoming", index), 0u) << "the far end's off-hook on our seizure is no incoming call";
    ASSERT_TRUE(run_until([&] { return Count("connect", index) == 1; }, plat::ms(2000)));
    EXPECT_GT(g_up.back().time, far->first(ch, Far::Event::Answered)) << "connected only by the far end's answer";
    EXPECT_EQ(control(CTL_CHANNEL_STATE, ch), (ULONG)RBS_CH_CONNECTED);

    // Held off-hook throughout; call control clears: on-hook, and idle after the guard.
    r.host.run_for(plat::ms(1000));
    EXPECT_EQ(far->count(ch, Far::Event::AdapterCleared), 0u);
    plat::VTime cleared = r.host.now();
    request(REQUEST_DISCONNECT, call, NORMALCALLCLEARING);
    ASSERT_TRUE(run_until([&] { return far->state(ch) == Far::State::Idle; }, plat::ms(1000)));
    EXPECT_GE(far->first(ch, Far::Event::AdapterCleared), cleared);
    EXPECT_EQ(Count("disconnect", index), 0u) << "a local clear is not reported back";
    ASSERT_TRUE(run_until([&] { return control(CTL_CHANNEL_STATE, ch) == RBS_CH_IDLE; }, idle_guard() + plat::ms(1000)));
    EXPECT_EQ(alloc(index), call) << "free again";
}

// The line goes down under a connected call: call control hears it and the channel
// is idle and on-hook when the line comes back.
TEST_P(RbsScenario, LineLossTearsDownTheCall)
{
    layer1_up();
    const ULONG ch = 9;
    ASSERT_TRUE(far->seize(ch));
    ASSERT_TRUE(run_until([&] { return Count("incoming", ch - 1) == 1; }, plat::ms(2000)));
    request(REQUEST_SETUP_RESPONSE, a->NdisWanInfo[kLine][ch - 1].ThisBChannel);
    ASSERT_TRUE(run_until([&] { return far->state(ch) == Far::State::Connected; }, plat::ms(2000)));

    r.boards[0]->line(kLine).take_down();
    ASSERT_TRUE(run_until([&] { return control(CTL_LAYER1_UP, 0) == 0; }, plat::ms(2000)));
    EXPECT_EQ(Count("led", LED_MASK_PHYSICAL), 1u);
    EXPECT_EQ(a->NdisWanInfo[kLine][ch - 1].ThisBChannel, nullptr);
    EXPECT_EQ(s->Channel[ch].State, (ULONG)RBS_CH_IDLE);
    EXPECT_EQ(control(CTL_TX_SIGNALLING_BITS, ch), 0u);
}

INSTANTIATE_TEST_SUITE_P(Protocols, RbsScenario, ::testing::ValuesIn(kProtocols),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             return n == "E&M" ? std::string("EandM") : n;
                         });

}  // namespace

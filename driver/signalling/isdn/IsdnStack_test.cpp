// The ISDN PRI stack driven directly: a test instance, a fake RSS_INTERFACE_TABLE that
// records the upcalls and captures the frames handed to SendLy2Frame, and frames from
// the network written as byte arrays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/signalling/isdn/IsdnStack.h"

namespace {

typedef std::vector<UCHAR> Bytes;

struct Recorder {
    std::vector<Bytes> sent;
    std::vector<std::string> calls;
    bool txFull = false;
    Link* boundLink = nullptr;
    PVOID boundCall = nullptr;
    ULONG bearer = 0xFF;
    std::vector<std::pair<ULONG, ULONG>> leds;
    PVOID answerFrom = nullptr;  // IncomingCallIndHdlr answers at once when set
    SGNL_PROTOCOL_OPS* ops = nullptr;
};
Recorder* R;
alignas(16) unsigned char LinkMemory[40][64];
Link* L(int i) { return (Link*)LinkMemory[i]; }
Adapter* const TheAdapter = (Adapter*)LinkMemory[39];

void FOutOfService(Adapter*, ULONG, ULONG ch) { R->calls.push_back("OutOfService " + std::to_string(ch)); }
BOOLEAN FTxFull(Link*) { return R->txFull; }
BOOLEAN FSend(Link* l, PVOID, PUCHAR f, UCHAR n)
{
    EXPECT_EQ(l, L(31)) << "frames go out on the D-channel Link";
    EXPECT_EQ(f[0], n);
    R->sent.push_back(Bytes(f + 1, f + 1 + n));
    return TRUE;
}
void FGoConnected(Link* l) { R->calls.push_back(l == L(31) ? "GoToConnectedState" : "GoToConnectedState?"); }
Link* FLink31(Adapter*, ULONG) { return L(31); }
Link* FAssign(Adapter*, PVOID call, ULONG, PUCHAR, ULONG) { R->boundCall = call; return R->boundLink; }
void FSetB(Link*, PVOID) { R->calls.push_back("SetLinkBChannel"); }
void FClearB(Link*) { R->calls.push_back("ClearLinkBChannel"); }
void FConnect(Link*) { R->calls.push_back("ConnectHdlr"); }
void FDisconnect(Link*) { R->calls.push_back("DisconnectHdlr"); }
void FIncoming(Adapter*, Link*, ULONG bearer)
{
    R->bearer = bearer;
    R->calls.push_back("IncomingCallIndHdlr");
    if (R->answerFrom) R->ops->CallRequest(REQUEST_SETUP_RESPONSE, R->answerFrom, NULL, 0, 0);
}
void FDiscFlag(Link*) { R->calls.push_back("SetLinkDisconnectFlag"); }
void FLed(Adapter*, ULONG, ULONG mask, ULONG on) { R->leds.push_back({mask, on}); }
void FPrint(Link*) {}

// Q.931 message helpers (network side: calls it originated carry flag 0).
Bytes Msg(UCHAR type, USHORT cr, bool ourCall, Bytes ies = {})
{
    // Sized first (GCC 12 at -O3 warns falsely of an overrun when inserting into a short vector).
    Bytes m(5 + ies.size());
    const UCHAR head[5] = {0x08, 0x02, (UCHAR)((ourCall ? 0x80 : 0) | (cr >> 8)), (UCHAR)cr, type};
    std::memcpy(m.data(), head, sizeof head);
    if (!ies.empty()) std::memcpy(m.data() + 5, ies.data(), ies.size());
    return m;
}

struct Isdn : testing::Test {
    Recorder rec;
    SGNL_PROTOCOL_OPS ops{};
    Bytes mem;
    ISDN_STACK* s = nullptr;
    UCHAR netVS = 0;  // N(S) of the network's next I-frame
    UCHAR ourAcked = 0;

    void SetUp() override { Make(1, 1); }
    void TearDown() override { R = nullptr; }

    void Make(ULONG e1, ULONG variant)
    {
        R = &rec;
        rec = Recorder();
        rec.ops = &ops;
        IsdnStackGetOps(&ops);
        ULONG size = ops.Control(CTL_KIND_CONST, CTL_INSTANCE_SIZE, NULL, 0);
        EXPECT_EQ(size, sizeof(ISDN_STACK));
        mem.assign(size, 0);
        s = (ISDN_STACK*)mem.data();
        s->Upcalls = RSS_INTERFACE_TABLE{FOutOfService, FTxFull, FSend, FGoConnected, FLink31, FAssign, FSetB,
                                         FClearB, FConnect, FDisconnect, FIncoming, FDiscFlag, FLed, FPrint};
        ops.SetAdapter(s, TheAdapter);
        Ctl(CTL_KIND_SET, CTL_LINE_INDEX, 0);
        Ctl(CTL_KIND_SET, CTL_E1_FLAG, e1);
        Ctl(CTL_KIND_SET, CTL_SWITCH_VARIANT, variant);
        Ctl(CTL_KIND_SET, CTL_L2_WINDOW, 7);
        Ctl(CTL_KIND_ACTION, CTL_INIT_TIMER_POOL, 0);
        Ctl(CTL_KIND_ACTION, CTL_RESET, 0);
        Ctl(CTL_KIND_ACTION, CTL_START_TICK, 0);
        netVS = 0;
    }
    ULONG Ctl(ULONG kind, ULONG id, ULONG arg) { return ops.Control(kind, id, s, arg); }
    void Run(ULONG ms)
    {
        for (ULONG t = 0; t < ms; t += ISDN_TICK_MS) Ctl(CTL_KIND_ACTION, CTL_TICK, ISDN_TICK_MS);
    }
    // The network acknowledges every I-frame as it arrives and answers every poll.
    void RunAcked(ULONG ms)
    {
        for (ULONG t = 0; t < ms; t += ISDN_TICK_MS) {
            size_t seen = rec.sent.size();
            Ctl(CTL_KIND_ACTION, CTL_TICK, ISDN_TICK_MS);
            bool poll = false;
            for (size_t i = seen; i < rec.sent.size(); i++) {
                const Bytes& f = rec.sent[i];
                poll |= f.size() == 4 && f[0] == 0x00 && (f[2] & 3) == 1 && (f[3] & 1);
            }
            if (poll)
                Put({0x00, 0x01, 0x01, (UCHAR)(s->L2.VS << 1 | 1)});
            else if (s->L2.VA != s->L2.VS)
                Put({0x00, 0x01, 0x01, (UCHAR)(s->L2.VS << 1)});
        }
    }
    BOOLEAN Put(Bytes f) { return ops.PutFrame(s, f.data(), (ULONG)f.size()); }
    // The network answers the stack's identity request with TEI `tei`.
    void AssignTei(UCHAR tei)
    {
        USHORT ri = s->L2.TeiReference;
        ASSERT_TRUE(Put({0xFE, 0xFF, 0x03, 0x0F, (UCHAR)(ri >> 8), (UCHAR)ri, 0x02, (UCHAR)(tei << 1 | 1)}));
        Run(100);
    }
    void Layer1Up()
    {
        ops.Layer1Indication(TheAdapter, s, 0, LAYER1_ACTIVATED);
        Run(120);
    }
    // Layer 1 up and the network establishes the link.
    void Up()
    {
        Layer1Up();
        ASSERT_TRUE(Put({0x02, 0x01, 0x7F}));
        Run(60);
        ASSERT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 4u);
        ASSERT_FALSE(rec.sent.empty());
        EXPECT_EQ(rec.sent.back(), (Bytes{0x02, 0x01, 0x73})) << "UA, F = 1";
        rec.sent.clear();
    }
    // An I-frame from the network that acknowledges everything we sent.
    void NetI(const Bytes& m)
    {
        Bytes f = {0x02, 0x01, (UCHAR)(netVS << 1), (UCHAR)(s->L2.VS << 1)};
        f.insert(f.end(), m.begin(), m.end());
        netVS = (netVS + 1) % 128;
        ASSERT_TRUE(Put(f));
        Run(100);
    }
    // Layer-3 messages we sent since the last call (I-frames only).
    std::vector<Bytes> Sent()
    {
        std::vector<Bytes> out;
        for (const Bytes& f : rec.sent)
            if (f.size() >= 4 && f[0] == 0x00 && (f[2] & 1) == 0) out.push_back(Bytes(f.begin() + 4, f.end()));
        rec.sent.clear();
        return out;
    }
    size_t Count(const std::string& name) const
    {
        size_t n = 0;
        for (const auto& c : rec.calls) n += c == name;
        return n;
    }
    ISDN_CALL* Call(ULONG ch) { return &s->Calls[ch]; }
};

// Finds an IE in a built message (two-octet call reference).
Bytes Ie(const Bytes& m, UCHAR id)
{
    for (size_t p = 5; p < m.size();) {
        if (m[p] & 0x80) {
            if (m[p] == id) return {m[p]};
            p++;
            continue;
        }
        if (p + 1 >= m.size()) break;
        if (m[p] == id) return Bytes(m.begin() + p, m.begin() + std::min(m.size(), p + 2 + m[p + 1]));
        p += 2 + m[p + 1];
    }
    return {};
}

// ---- the frame ----

TEST_F(Isdn, ControlAnswersAndChannelStatesFollowTheLine)
{
    for (ULONG e1 : {0u, 1u}) {
        Make(e1, 1);
        SCOPED_TRACE(e1 ? "E1" : "T1");
        EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_NUM_B_CHANNELS, 0), e1 ? 30u : 23u);
        EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_D_CHANNEL_TIMESLOT, 0), e1 ? 16u : 24u);
        EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_CHANNEL_STATE, 0), e1 ? 0xFDu : 0xFFu);
        EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_CHANNEL_STATE, e1 ? 16 : 24), 0xFEu);
        EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_CHANNEL_STATE, 5), 0u);
        EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_CHANNEL_STATE, 32), (ULONG)CONTROL_UNKNOWN);
        EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 1u);
        EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_IS_E1, 0), e1);
    }
    // Addresses are offsets into the instance.
    EXPECT_EQ((UCHAR*)s + Ctl(CTL_KIND_GET, CTL_STACK_COUNTERS, 0), (UCHAR*)s->StackCounters);
    EXPECT_EQ((UCHAR*)s + Ctl(CTL_KIND_GET, CTL_CHANNEL_COUNTERS, 0), (UCHAR*)s->ChannelCounters);
    EXPECT_EQ((UCHAR*)s + Ctl(CTL_KIND_GET, CTL_EVENT_LOG, 0), (UCHAR*)s->EventLog);
    EXPECT_EQ(ops.Control(CTL_KIND_CALL, CTL_CALL_CHANNEL, Call(7), 0), 7u);
    EXPECT_EQ(ops.Control(CTL_KIND_CALL, CTL_CALL_CHANNEL, NULL, 0), (ULONG)CONTROL_UNKNOWN);
    EXPECT_EQ(ops.Control(CTL_KIND_CONST, CTL_EVENT_LOG_ENTRIES, NULL, 0), 400u);
}

TEST_F(Isdn, VariantProfilesAreCopiedBySwitchVariant)
{
    const struct {
        ULONG variant;
        UCHAR b0, b1, b25, b33;
    } cases[] = {{1, 0x62, 1, 0x66, 0}, {2, 0x65, 1, 0, 0}, {3, 0x65, 0, 0x10, 0}, {4, 0x65, 1, 0x10, 1},
                 {5, 0x65, 1, 0x10, 1}, {9, 0x65, 1, 0x10, 1}};
    for (const auto& c : cases) {
        Ctl(CTL_KIND_SET, CTL_SWITCH_VARIANT, c.variant);
        SCOPED_TRACE(c.variant);
        EXPECT_EQ(s->Profile[0], c.b0);
        EXPECT_EQ(s->Profile[1], c.b1);
        EXPECT_EQ(s->Profile[25], c.b25);
        EXPECT_EQ(s->Profile[33], c.b33);
    }
}

TEST_F(Isdn, PutFrameRefusesBeforeSettlingOversizedAndAFullRing)
{
    ops.Layer1Indication(TheAdapter, s, 0, LAYER1_ACTIVATED);
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"GoToConnectedState"}));
    EXPECT_EQ(rec.leds.back(), (std::pair<ULONG, ULONG>{0xE0, 1}));
    EXPECT_EQ(s->EventLog[0][0], LOG_L1_UP);
    EXPECT_FALSE(Put({0x02, 0x01, 0x7F})) << "before the 100 ms settling time";
    Ctl(CTL_KIND_ACTION, CTL_TICK, 100);
    Bytes big(255, 0);
    EXPECT_FALSE(Put(big));
    big.resize(254);
    EXPECT_TRUE(Put(big));
    for (int i = 1; i < 49; i++) EXPECT_TRUE(Put({0x02, 0x03, 0x01, 0x00})) << i;
    EXPECT_FALSE(Put({0x02, 0x03, 0x01, 0x00})) << "the 50th waiting frame";
    Run(20);
    EXPECT_TRUE(Put({0x02, 0x03, 0x01, 0x00})) << "one frame taken per tick";

    rec.calls.clear();
    ops.Layer1Indication(TheAdapter, s, 0, LAYER1_DEACTIVATED);
    EXPECT_EQ(Count("OutOfService 0") + Count("OutOfService 31"), 2u);
    EXPECT_EQ(rec.calls.size(), 32u);
    EXPECT_EQ(rec.leds.back(), (std::pair<ULONG, ULONG>{0xE0, 0}));
    EXPECT_FALSE(Put({0x02, 0x01, 0x7F}));
}

TEST_F(Isdn, EventLogWrapsAndKeepsTheEndMarkerAfterTheNewest)
{
    for (int i = 0; i < 401; i++) IsdnLog(s, (UCHAR)(1 + i % 3), NULL, 0);
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_EVENT_LOG_INDEX, 0), 1u);
    EXPECT_EQ(s->EventLog[1][0], LOG_END_MARKER);
    Bytes data(150, 0xAB);
    IsdnLog(s, 0x0D, data.data(), (ULONG)data.size());
    EXPECT_EQ(s->EventLog[1][99], 0xAB) << "99 data bytes kept";
    EXPECT_EQ(s->EventLog[2][0], LOG_END_MARKER) << "no overrun into the next entry";
}

// ---- LAPD ----

TEST_F(Isdn, TimerThreeAsksForATeiThenSabmeOnItAndUaBringsTheLinkUp)
{
    Layer1Up();
    Run(59900);
    EXPECT_TRUE(rec.sent.empty());
    Run(200);
    ASSERT_EQ(rec.sent.size(), 1u);
    EXPECT_EQ(rec.sent[0], (Bytes{0xFC, 0xFF, 0x03, 0x0F, 0x00, 0x01, 0x01, 0xFF})) << "identity request, any TEI";
    rec.sent.clear();
    Run(1500);
    EXPECT_TRUE(rec.sent.empty()) << "nothing until the network answers";
    AssignTei(5);
    ASSERT_EQ(rec.sent.size(), 1u);
    EXPECT_EQ(rec.sent[0], (Bytes{0x00, 0x0B, 0x7F})) << "SABME on TEI 5";
    ASSERT_TRUE(Put({0x00, 0x0B, 0x73}));  // UA, F = 1
    Run(40);
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 4u);
    EXPECT_EQ(rec.leds.back(), (std::pair<ULONG, ULONG>{0xC0, 1}));
}

TEST_F(Isdn, UnansweredSabmeIsRepeatedN200TimesThenTheLinkIsReleased)
{
    Layer1Up();
    Run(60100);
    AssignTei(0);
    Run(5000);
    size_t sabmes = 0;
    for (const Bytes& f : rec.sent) sabmes += f == Bytes{0x00, 0x01, 0x7F};
    EXPECT_EQ(sabmes, 4u) << "first SABME and N200 = 3 repetitions";
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 1u);
    EXPECT_EQ(rec.leds.back(), (std::pair<ULONG, ULONG>{0xC0, 0}));
}

TEST_F(Isdn, WindowOfSevenHoldsTheEighthFrameUntilAcknowledged)
{
    Up();
    for (int i = 0; i < 8; i++) ASSERT_TRUE(IsdnSendMessage(s, Call(1), MT_STATUS, 0x1E));
    Run(400);
    auto m = Sent();
    EXPECT_EQ(m.size(), 7u);
    ASSERT_TRUE(Put({0x00, 0x01, 0x01, 0x02}));  // RR response N(R) = 1
    Run(60);
    rec.sent.clear();
    Run(60);
    ASSERT_TRUE(Put({0x00, 0x01, 0x01, 0x10}));  // N(R) = 8
    Run(100);
    EXPECT_EQ(s->L2.VS, 8);
    EXPECT_EQ(s->L2.VA, 8);
}

TEST_F(Isdn, SequenceNumbersWrapFrom127To0)
{
    Up();
    for (int i = 0; i < 130; i++) {
        ASSERT_TRUE(IsdnSendMessage(s, Call(1), MT_STATUS, 0x1E));
        Run(20);
        UCHAR nr = s->L2.VS;
        ASSERT_TRUE(Put({0x00, 0x01, 0x01, (UCHAR)(nr << 1)}));
        NetI(Msg(MT_STATUS_ENQUIRY, 0x7777, false));  // answered by STATUS for an unknown call
        Run(40);
    }
    EXPECT_EQ(s->L2.VR, 130 % 128);
    EXPECT_LT(s->L2.VS, 20);
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 4u);
}

TEST_F(Isdn, T200ExpiryEnquiresAndTheAnswerRetransmitsFromNr)
{
    Up();
    ASSERT_TRUE(IsdnSendMessage(s, Call(1), MT_STATUS, 0x1E));
    Run(20);
    auto first = rec.sent;
    ASSERT_EQ(first.size(), 1u);
    rec.sent.clear();
    Run(1060);
    ASSERT_FALSE(rec.sent.empty());
    EXPECT_EQ(rec.sent[0], (Bytes{0x00, 0x01, 0x01, 0x01})) << "RR command, P = 1";
    rec.sent.clear();
    ASSERT_TRUE(Put({0x00, 0x01, 0x01, 0x01}));  // RR response F = 1, N(R) = 0
    Run(60);
    ASSERT_FALSE(rec.sent.empty());
    EXPECT_EQ(rec.sent[0][2], 0x00) << "the I-frame again with N(S) = 0";
    EXPECT_EQ(Bytes(rec.sent[0].begin() + 4, rec.sent[0].end()), Bytes(first[0].begin() + 4, first[0].end()));
}

TEST_F(Isdn, RejRetransmitsFromItsNr)
{
    Up();
    for (int i = 0; i < 3; i++) ASSERT_TRUE(IsdnSendMessage(s, Call(1), MT_STATUS, 0x1E));
    Run(100);
    rec.sent.clear();
    ASSERT_TRUE(Put({0x00, 0x01, 0x09, 0x02}));  // REJ response N(R) = 1
    Run(100);
    std::vector<UCHAR> ns;
    for (const Bytes& f : rec.sent)
        if (f[0] == 0x00 && (f[2] & 1) == 0) ns.push_back(f[2] >> 1);
    EXPECT_EQ(ns, (std::vector<UCHAR>{1, 2}));
    EXPECT_EQ(s->StackCounters[CNT_REJ_RECEIVED], 1u);
}

TEST_F(Isdn, OutOfSequenceIFrameGetsOneRejAndPollIsAnswered)
{
    Up();
    Bytes m = Msg(MT_STATUS_ENQUIRY, 0x1234, false);
    Bytes f = {0x02, 0x01, 0x02, 0x00};  // N(S) = 1 while V(R) = 0
    f.insert(f.end(), m.begin(), m.end());
    ASSERT_TRUE(Put(f));
    Run(40);
    ASSERT_TRUE(Put(f));
    Run(40);
    size_t rejs = 0;
    for (const Bytes& x : rec.sent) rejs += x.size() == 4 && x[2] == 0x09;
    EXPECT_EQ(rejs, 1u);
    EXPECT_EQ(s->L2.VR, 0);
    rec.sent.clear();
    ASSERT_TRUE(Put({0x02, 0x01, 0x01, 0x01}));  // RR command P = 1
    Run(40);
    ASSERT_FALSE(rec.sent.empty());
    EXPECT_EQ(rec.sent[0], (Bytes{0x02, 0x01, 0x01, 0x01})) << "RR response F = 1";
}

TEST_F(Isdn, MalformedFramesNeverReachLayer3)
{
    struct Case {
        const char* name;
        Bytes frame;
        UCHAR logged;     // event-log code of the frame, 0: none
        bool relinks;     // the error procedure re-establishes
    };
    Bytes longI = {0x02, 0x01, 0x00, 0x00};
    longI.resize(81, 0x08);
    const Case cases[] = {
        {"two bytes", {0x02, 0x01}, LOG_SHORT_FRAME, true},
        {"I-frame of 81 bytes", longI, LOG_I_RECEIVED, true},
        {"N(R) beyond V(S)", {0x02, 0x01, 0x00, 0x0A, 0x08, 0x02, 0x00, 0x01, 0x75}, LOG_I_RECEIVED, true},
        {"RR of five bytes", {0x02, 0x01, 0x01, 0x00, 0x00}, LOG_SU_RECEIVED, true},
        {"other TEI", {0x02, 0x05, 0x00, 0x00, 0x08, 0x02, 0x00, 0x01, 0x75}, 0, false},
        {"SAPI 16", {0x42, 0x01, 0x00, 0x00, 0x08, 0x02, 0x00, 0x01, 0x75}, 0, false},
        {"bad address extension", {0x03, 0x01, 0x00, 0x00}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Make(1, 1);
        Up();
        ULONG log = s->EventLogIndex;
        ASSERT_TRUE(Put(c.frame));
        Run(60);
        EXPECT_EQ(s->L2.VR, 0) << "nothing passed to layer 3";
        EXPECT_TRUE(Sent().empty()) << "no layer-3 answer";
        if (c.logged) { EXPECT_EQ(s->EventLog[log][0], c.logged); }
        bool sabme = false;
        Run(60);
        for (ULONG i = log; i < s->EventLogIndex; i++) sabme |= s->EventLog[i][0] == LOG_L2_ERROR;
        EXPECT_EQ(sabme, c.relinks);
    }
}

TEST_F(Isdn, TeiManagementFrameBecomesUpperEventWhateverTheTei)
{
    Up();
    s->L2.TeiAssigned = 0;
    s->L2.Flags |= L2F_TEI_PROCEDURE;
    s->L2.TeiReference = 0x1234;
    ASSERT_TRUE(Put({0xFE, 0xFF, 0x03, 0x0F, 0x12, 0x34, 0x02, 0x0B}));  // identity assigned, TEI 5
    Run(60);
    EXPECT_EQ(s->L2.Tei, 5);
    EXPECT_TRUE(s->L2.TeiAssigned);
}

TEST_F(Isdn, IFrameOfExactlyTheLimitIsStoredWithoutTouchingItsNeighbours)
{
    // STATUS ENQUIRY for an unknown call, padded with an element the stack skips to
    // the 80-byte limit; its last octet is not zero.
    Bytes m = Msg(MT_STATUS_ENQUIRY, 0x1234, false, {0x7E, 69});
    m.resize(76, 0xEE);
    for (ULONG first : {0u, ULONG(L2_RX_SLOTS - 1)}) {
        SCOPED_TRACE(first);
        Make(1, 1);
        Up();
        s->L2.RxIndex = first;
        netVS = 0;
        Bytes f = {0x02, 0x01, 0x00, 0x00};
        f.insert(f.end(), m.begin(), m.end());
        ASSERT_EQ(f.size(), size_t(L2_MAX_RX_IFRAME));
        ASSERT_TRUE(Put(f));
        Run(100);
        EXPECT_EQ(s->L2.VR, 1) << "taken for layer 3";
        EXPECT_EQ(s->L2.RxStore[(first + 1) % L2_RX_SLOTS][0], 0) << "the next slot's length byte";
        for (ULONG k = 0; k < L2_RX_SLOTS; k++) EXPECT_EQ(s->L2.RxBusy[k], 0) << "slot " << k;
        auto out = Sent();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0][4], MT_STATUS) << "the whole message was decoded";
    }
}

TEST_F(Isdn, FrameForTeiZeroIsTakenWhenNoTeiIsAssigned)
{
    Layer1Up();
    EXPECT_FALSE(s->L2.TeiAssigned);
    ASSERT_TRUE(Put({0x02, 0x01, 0x7F}));  // SABME, TEI 0
    Run(40);
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 4u);
    EXPECT_EQ(rec.sent.back(), (Bytes{0x02, 0x01, 0x73}));
    // Identity removed: the link drops; the network's next SABME on TEI 0 brings it back.
    rec.sent.clear();
    ASSERT_TRUE(Put({0xFE, 0xFF, 0x03, 0x0F, 0x00, 0x00, 0x06, 0x01}));
    Run(40);
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 1u);
    EXPECT_FALSE(s->L2.TeiAssigned);
    ASSERT_TRUE(Put({0x02, 0x01, 0x7F}));
    Run(40);
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 4u);
    ASSERT_FALSE(rec.sent.empty());
    EXPECT_EQ(rec.sent.back(), (Bytes{0x02, 0x01, 0x73}));
    // A frame for another TEI is still not taken.
    Make(1, 1);
    Layer1Up();
    ASSERT_TRUE(Put({0x02, 0x05, 0x7F}));
    Run(40);
    EXPECT_FALSE(s->L2.TeiAssigned);
    EXPECT_TRUE(rec.sent.empty());
}

TEST_F(Isdn, FrameErrorIsAnsweredByFrmrBeforeTheLinkIsEstablishedAgain)
{
    Up();
    ASSERT_TRUE(Put({0x02, 0x01, 0x01, 0x00, 0x00}));  // RR of five bytes
    Run(100);
    ASSERT_GE(rec.sent.size(), 2u);
    EXPECT_EQ(rec.sent[0], (Bytes{0x02, 0x01, 0x87, 0x01, 0x00, 0x00, 0x00, 0x01})) << "FRMR with its five bytes";
    EXPECT_EQ(rec.sent[1], (Bytes{0x00, 0x01, 0x7F})) << "then SABME";
}

// After the FRMR both ends establish at once: each answers the other's SABME with UA and
// the link stays multiple-frame established (the UA to ours is only reported). Frames
// flow both ways, the network's poll is answered RR, not DM, and T203 polls as usual.
TEST_F(Isdn, CrossingSabmesAfterAFrameErrorLeaveTheLinkEstablished)
{
    Up();
    ASSERT_TRUE(Put({0x02, 0x01}));  // a frame cut to two octets
    Run(100);
    ASSERT_EQ(rec.sent.size(), 2u);
    EXPECT_EQ(rec.sent[0][2], 0x87) << "FRMR";
    EXPECT_EQ(rec.sent[1], (Bytes{0x00, 0x01, 0x7F})) << "then SABME, P = 1";
    rec.sent.clear();
    ASSERT_TRUE(Put({0x02, 0x01, 0x7F}));  // the network's SABME, crossing ours
    Run(40);
    ASSERT_TRUE(Put({0x00, 0x01, 0x73}));  // its UA to ours
    Run(40);
    EXPECT_EQ(rec.sent, (std::vector<Bytes>{{0x02, 0x01, 0x73}})) << "UA, F = 1, and nothing else";
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 4u);
    rec.sent.clear();

    NetI(Msg(MT_STATUS_ENQUIRY, 0x7777, false));
    auto out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][4], MT_STATUS);
    ASSERT_TRUE(Put({0x02, 0x01, 0x01, (UCHAR)(s->L2.VS << 1 | 1)}));  // RR command, P = 1
    Run(40);
    EXPECT_EQ(rec.sent, (std::vector<Bytes>{{0x02, 0x01, 0x01, 0x03}})) << "RR response, F = 1, N(R) = 1";
    rec.sent.clear();
    Run(10100);
    EXPECT_EQ(rec.sent, (std::vector<Bytes>{{0x00, 0x01, 0x01, 0x03}})) << "T203: RR command, P = 1";
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 4u);
}

TEST_F(Isdn, UnexpectedUaIsReportedAndDiscWhileEstablishingIsAnsweredDm)
{
    Up();
    ULONG log = s->EventLogIndex;
    ASSERT_TRUE(Put({0x00, 0x01, 0x73}));  // UA, F = 1, in the established state
    Run(100);
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 4u);
    EXPECT_TRUE(rec.sent.empty()) << "no FRMR, no SABME";
    bool reported = false;
    for (ULONG i = log; i < s->EventLogIndex; i++) reported |= s->EventLog[i][0] == LOG_L2_ERROR;
    EXPECT_TRUE(reported);

    Make(1, 1);
    Layer1Up();
    Run(60100);
    AssignTei(0);
    ASSERT_EQ(rec.sent.back(), (Bytes{0x00, 0x01, 0x7F}));
    rec.sent.clear();
    ASSERT_TRUE(Put({0x02, 0x01, 0x53}));  // DISC, P = 1
    Run(40);
    ASSERT_EQ(rec.sent.size(), 1u);
    EXPECT_EQ(rec.sent[0], (Bytes{0x02, 0x01, 0x1F})) << "DM, F = 1";
    EXPECT_EQ(s->L2.L3State, (ULONG)L2_AWAITING_ESTABLISHMENT);
    ASSERT_TRUE(Put({0x00, 0x01, 0x73}));
    Run(40);
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 4u);
}

// ---- layer 3 messages ----

TEST_F(Isdn, BuiltMessagesDecodeBackThroughTheIeTable)
{
    ISDN_CALL* c = Call(3);
    c->CallRef = 0x0123;
    c->CallRefLen = 2;
    c->CallRefFlag = 0x80;
    c->State = 10;
    c->OutNumber[0] = 4;
    std::memcpy(c->OutNumber + 1, "5551", 4);
    struct Case {
        UCHAR type, cause, bearer;
    } cases[] = {{MT_SETUP, 0, 0},  {MT_SETUP, 0, 1},      {MT_SETUP, 0, 2}, {MT_CONNECT, 0, 1},
                 {MT_ALERTING, 0, 1}, {MT_DISCONNECT, 0x11, 1}, {MT_RELEASE, 0x10, 1}, {MT_RELEASE_COMPLETE, 0x51, 1},
                 {MT_STATUS, 0x1E, 1}, {MT_CONNECT_ACK, 0, 1}, {MT_INFORMATION, 0, 1}};
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "type 0x" << std::hex << (int)k.type << " bearer " << (int)k.bearer);
        ISDN_TX_ARGS a;
        c->BearerCode = k.bearer;
        IsdnArgsForCall(s, c, k.type, &a);
        a.Cause = k.cause;
        UCHAR out[64];
        ULONG n = IsdnBuildMessage(s, &a, out, L2_MAX_MESSAGE);
        ASSERT_GT(n, 4u);
        ISDN_RX_MSG m;
        UCHAR err;
        ASSERT_TRUE(IsdnParseMessage(s, out, n, &m, &err));
        EXPECT_EQ(err, 0);
        EXPECT_EQ(m.Type, k.type);
        EXPECT_EQ(m.CrValue, 0x0123);
        EXPECT_EQ(m.CrFlag, 0x00) << "we originated the call";
        if (k.cause) { EXPECT_EQ(m.CauseValue, k.cause); }
        if (k.type == MT_SETUP) {
            EXPECT_EQ(m.BearerCode, k.bearer);
            EXPECT_TRUE(m.HasChannel);
            EXPECT_EQ(m.Channel, 3);
            EXPECT_FALSE(m.ChannelExclusive);
            ASSERT_EQ(m.CalledLen, 4);
            EXPECT_EQ(std::string((const char*)m.CalledDigits, 4), "5551");
        }
        if (k.type == MT_STATUS) { EXPECT_EQ(m.CallState, 10); }
        if (k.type == MT_CONNECT || k.type == MT_ALERTING) { EXPECT_TRUE(m.ChannelExclusive); }
    }
}

TEST_F(Isdn, CalledNumberCodingFollowsTheVariant)
{
    const struct {
        ULONG variant;
        const char* digits;
        Bytes ie;
    } cases[] = {
        {1, "5551234", {0x70, 0x08, 0xC1, '5', '5', '5', '1', '2', '3', '4'}},
        {1, "6135551234", {0x70, 0x0B, 0xA1, '6', '1', '3', '5', '5', '5', '1', '2', '3', '4'}},
        {4, "6135551234", {0x70, 0x0B, 0x80, '6', '1', '3', '5', '5', '5', '1', '2', '3', '4'}},
        {5, "123", {0x70, 0x04, 0x80, '1', '2', '3', 0x80}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.digits);
        Make(1, k.variant);
        ISDN_CALL* c = Call(2);
        c->OutNumber[0] = (UCHAR)std::strlen(k.digits);
        std::memcpy(c->OutNumber + 1, k.digits, c->OutNumber[0]);
        ISDN_TX_ARGS a;
        IsdnArgsForCall(s, c, MT_SETUP, &a);
        UCHAR out[64];
        ULONG n = IsdnBuildMessage(s, &a, out, L2_MAX_MESSAGE);
        ASSERT_GT(n, 0u);
        Bytes m(out, out + n);
        size_t at = m.size() - k.ie.size();
        EXPECT_EQ(Bytes(m.begin() + at, m.end()), k.ie);
    }
}

TEST_F(Isdn, MalformedMessagesAreDroppedOrAnsweredAsTheRulesSay)
{
    struct Case {
        const char* name;
        Bytes msg;
        UCHAR answerType;  // 0: no answer
        UCHAR cause;
    };
    const Bytes bc = {0x04, 0x02, 0x88, 0x90};
    auto setup = [&](Bytes chan) {
        Bytes ies = bc;
        ies.insert(ies.end(), chan.begin(), chan.end());
        return Msg(MT_SETUP, 0x21, false, ies);
    };
    const Case cases[] = {
        {"header cut short", {0x08, 0x02, 0x00}, 0, 0},
        {"call reference of 3 octets", {0x08, 0x03, 0x00, 0x00, 0x01, 0x05}, 0, 0},
        {"call reference length with upper nibble", {0x08, 0x12, 0x00, 0x01, 0x05}, 0, 0},
        {"discriminator 09", {0x09, 0x02, 0x00, 0x01, 0x05}, 0, 0},
        {"SETUP without bearer", Msg(MT_SETUP, 0x21, false, {0x18, 0x03, 0xA9, 0x83, 0x85}), MT_RELEASE_COMPLETE, 0x60},
        {"SETUP for the D channel", setup({0x18, 0x03, 0xA9, 0x83, 0x90}), MT_RELEASE_COMPLETE, 0x64},
        {"SETUP for channel 40", setup({0x18, 0x03, 0xA9, 0x83, 0xA8}), MT_RELEASE_COMPLETE, 0x64},
        {"SETUP whose IE runs past the end", setup({0x18, 0x09, 0xA9, 0x83}), MT_RELEASE_COMPLETE, 0x64},
        {"SETUP with unknown capability", Msg(MT_SETUP, 0x21, false, {0x04, 0x02, 0x8A, 0x90, 0x18, 0x03, 0xA9, 0x83, 0x85}),
         MT_RELEASE_COMPLETE, 0x64},
        {"SETUP with misplaced-free video bearer", Msg(MT_SETUP, 0x21, false, {0x04, 0x02, 0x98, 0x90, 0x18, 0x03, 0xA9, 0x83, 0x85}),
         MT_RELEASE_COMPLETE, 0x58},
        {"cause with octet 3a but no value", Msg(MT_DISCONNECT, 0x21, false, {0x08, 0x02, 0x00, 0x80}), MT_RELEASE_COMPLETE, 0x51},
        {"ALERTING for an unknown call", Msg(MT_ALERTING, 0x55, true), MT_RELEASE_COMPLETE, 0x51},
        {"RELEASE for an unknown call", Msg(MT_RELEASE, 0x55, true, {0x08, 0x02, 0x80, 0x90}), MT_RELEASE_COMPLETE, 0x10},
        {"RELEASE COMPLETE for an unknown call", Msg(MT_RELEASE_COMPLETE, 0x55, true), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Make(1, 1);
        rec.boundLink = L(4);
        Up();
        NetI(c.msg);
        auto out = Sent();
        if (c.answerType == 0) {
            EXPECT_TRUE(out.empty());
        } else {
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out[0][4], c.answerType);
            Bytes cause = Ie(out[0], IE_CAUSE);
            ASSERT_EQ(cause.size(), 4u);
            EXPECT_EQ(cause[3], 0x80 | c.cause);
            EXPECT_EQ(out[0][2] & 0x80, (c.msg[2] & 0x80) ^ 0x80) << "answer carries the flag of the other side";
        }
        EXPECT_EQ(Count("IncomingCallIndHdlr"), 0u);
    }
}

// ---- call states ----

struct IsdnCall : Isdn {
    const Bytes setupIes = {0x04, 0x03, 0x80, 0x90, 0xA3, 0x18, 0x03, 0xA9, 0x83, 0x85, 0x6C, 0x06, 0x00, 0x80, '5',
                            '5', '5', '1', 0x70, 0x05, 0x80, '1', '2', '3', '4'};
    void Offer()
    {
        rec.boundLink = L(4);
        Up();
        NetI(Msg(MT_SETUP, 0x21, false, setupIes));
    }
    // An offered call answered and acknowledged: active (state 10), nothing left to send.
    void Answered()
    {
        Make(1, 1);
        Offer();
        ops.CallRequest(REQUEST_SETUP_RESPONSE, Call(5), NULL, 0, 0);
        Run(40);
        NetI(Msg(MT_CONNECT_ACK, 0x21, false));
        ASSERT_EQ(Call(5)->State, 10);
        Sent();
    }
};

TEST_F(IsdnCall, IncomingCallIsOfferedAnsweredAndConnected)
{
    Offer();
    EXPECT_EQ(Count("IncomingCallIndHdlr"), 1u);
    EXPECT_EQ(rec.bearer, 0u) << "speech, A-law";
    EXPECT_EQ(rec.boundCall, Call(5));
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_CHANNEL_STATE, 5), 7u);
    EXPECT_EQ(ops.Control(CTL_KIND_CALL, CTL_CALLED_NUMBER_LENGTH, Call(5), 0), 4u);
    EXPECT_EQ(std::string((char*)Call(5) + ops.Control(CTL_KIND_CALL, CTL_CALLED_NUMBER, Call(5), 0), 4), "1234");
    EXPECT_EQ(std::string((char*)Call(5) + ops.Control(CTL_KIND_CALL, CTL_CALLING_NUMBER, Call(5), 0), 4), "5551");
    auto out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (Bytes{0x08, 0x02, 0x80, 0x21, MT_ALERTING, 0x18, 0x03, 0xA9, 0x83, 0x85}));

    ops.CallRequest(REQUEST_SETUP_RESPONSE, Call(5), NULL, 0, 0);
    Run(40);
    out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][4], MT_CONNECT);
    EXPECT_EQ(Call(5)->State, 8);
    NetI(Msg(MT_CONNECT_ACK, 0x21, false));
    EXPECT_EQ(Call(5)->State, 10);
    EXPECT_EQ(Count("ConnectHdlr"), 1u);

    // STATUS ENQUIRY in the active state.
    NetI(Msg(MT_STATUS_ENQUIRY, 0x21, false));
    out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Ie(out[0], IE_CAUSE), (Bytes{0x08, 0x02, 0x80, 0x9E}));
    EXPECT_EQ(Ie(out[0], IE_CALL_STATE), (Bytes{0x14, 0x01, 10}));
    // The enquiry's cause is the STATUS's alone: the RELEASE carries the network's.
    NetI(Msg(MT_DISCONNECT, 0x21, false, {0x08, 0x02, 0x80, 0x80 | BUSY}));
    out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][4], MT_RELEASE);
    EXPECT_EQ(Ie(out[0], IE_CAUSE), (Bytes{0x08, 0x02, 0x80, 0x80 | BUSY}));
}

TEST_F(IsdnCall, AnswerGivenInsideTheOfferIsTakenAtOnce)
{
    rec.answerFrom = Call(5);
    Offer();
    auto out = Sent();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0][4], MT_ALERTING);
    EXPECT_EQ(out[1][4], MT_CONNECT);
    EXPECT_EQ(Call(5)->State, 8);
}

TEST_F(IsdnCall, UnacknowledgedConnectIsClearedWithCause66AfterOneRepeatWhereTheProfileSays)
{
    for (ULONG variant : {1u, 2u}) {
        SCOPED_TRACE(variant);
        Make(1, variant);
        Offer();
        Sent();
        ops.CallRequest(REQUEST_SETUP_RESPONSE, Call(5), NULL, 0, 0);
        RunAcked(4300);
        auto out = Sent();
        size_t connects = 0;
        for (auto& m : out) connects += m[4] == MT_CONNECT;
        EXPECT_EQ(connects, variant == 1 ? 2u : 1u);
        if (variant == 1) {
            RunAcked(4300);
            out = Sent();
        }
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back()[4], MT_DISCONNECT);
        EXPECT_EQ(Ie(out.back(), IE_CAUSE), (Bytes{0x08, 0x02, 0x80, 0xE6}));
        EXPECT_EQ(Count("DisconnectHdlr"), 1u);
        EXPECT_EQ(Count("ConnectHdlr"), 0u);
        EXPECT_EQ(Call(5)->State, 11);
    }
}

TEST_F(IsdnCall, NetworkClearingReachesDisconnectHdlrAndReleasesTheChannel)
{
    Offer();
    ops.CallRequest(REQUEST_SETUP_RESPONSE, Call(5), NULL, 0, 0);
    Run(40);
    NetI(Msg(MT_CONNECT_ACK, 0x21, false));
    Sent();
    NetI(Msg(MT_DISCONNECT, 0x21, false, {0x08, 0x02, 0x80, 0x90}));
    EXPECT_EQ(Count("SetLinkDisconnectFlag"), 1u);
    EXPECT_EQ(Count("DisconnectHdlr"), 1u);
    auto out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][4], MT_RELEASE);
    EXPECT_EQ(Ie(out[0], IE_CAUSE), (Bytes{0x08, 0x02, 0x80, 0x90}));
    EXPECT_EQ(Call(5)->State, 19);
    NetI(Msg(MT_RELEASE_COMPLETE, 0x21, false));
    EXPECT_EQ(Call(5)->State, 0);
    EXPECT_EQ(Call(5)->ThisLink, nullptr);
    EXPECT_EQ(Count("ClearLinkBChannel"), 1u);
}

// A reset of the link may have lost the network's clearing of a call: the active call is
// asked after; one the network still holds stays, one it answers with the null state is
// cleared at the adapter too.
TEST_F(IsdnCall, ALinkResetByTheNetworkAsksAfterTheActiveCall)
{
    for (UCHAR networkState : {UCHAR(10), UCHAR(0)}) {
        SCOPED_TRACE(int(networkState));
        ASSERT_NO_FATAL_FAILURE(Answered());
        ASSERT_TRUE(Put({0x02, 0x01, 0x7F}));  // SABME while established
        netVS = 0;
        Run(100);
        auto out = Sent();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], (Bytes{0x08, 0x02, 0x80, 0x21, MT_STATUS_ENQUIRY}));
        NetI(Msg(MT_STATUS, 0x21, false, {0x08, 0x02, 0x80, 0x9E, 0x14, 0x01, networkState}));
        EXPECT_EQ(Call(5)->State, networkState);
        EXPECT_EQ(Count("ClearLinkBChannel"), networkState == 0 ? 1u : 0u);
        EXPECT_TRUE(Sent().empty()) << "nothing more is said about the call";
    }
}

// The link reset again and again before the network acknowledged the enquiry: the store
// keeps that one and sends it again after each reset, and no second joins it, so nothing
// said of the calls later waits behind a heap of enquiries. Once it was acknowledged, the
// next reset asks again.
TEST_F(IsdnCall, ALinkResetAgainBeforeTheEnquiryIsAcknowledgedAsksOnce)
{
    ASSERT_NO_FATAL_FAILURE(Answered());
    const std::vector<Bytes> enquiry = {{0x08, 0x02, 0x80, 0x21, MT_STATUS_ENQUIRY}};
    for (int reset = 0; reset < 4; reset++) {
        SCOPED_TRACE(reset);
        ASSERT_TRUE(Put({0x02, 0x01, 0x7F}));  // SABME while established
        netVS = 0;
        Run(100);
        EXPECT_EQ(Sent(), enquiry);
    }
    NetI(Msg(MT_STATUS, 0x21, false, {0x08, 0x02, 0x80, 0x9E, 0x14, 0x01, 10}));
    EXPECT_EQ(Call(5)->State, 10);
    EXPECT_TRUE(Sent().empty());
    ASSERT_TRUE(Put({0x02, 0x01, 0x7F}));
    netVS = 0;
    Run(100);
    EXPECT_EQ(Sent(), enquiry);
}

TEST_F(IsdnCall, DisconnectCauseDefaultsAndZeroCause)
{
    const struct {
        Bytes ies;
        UCHAR cause;
    } cases[] = {{{}, 0x60}, {{0x08, 0x02, 0x80, 0x80}, 0x64}};
    for (const auto& k : cases) {
        Make(1, 1);
        Offer();
        ops.CallRequest(REQUEST_SETUP_RESPONSE, Call(5), NULL, 0, 0);
        Run(40);
        NetI(Msg(MT_CONNECT_ACK, 0x21, false));
        Sent();
        NetI(Msg(MT_DISCONNECT, 0x21, false, k.ies));
        auto out = Sent();
        if (k.ies.empty()) {
            ASSERT_EQ(out.size(), 1u) << "missing mandatory cause: STATUS is not sent for clearing messages";
        }
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back()[4], MT_RELEASE);
        EXPECT_EQ(Ie(out.back(), IE_CAUSE)[3], 0x80 | k.cause);
    }
}

TEST_F(IsdnCall, OutgoingCallRunsFromSetupToConnect)
{
    Up();
    PVOID call = ops.AllocCall(s, L(2), 1);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call, Call(1)) << "first free B channel on E1";
    UCHAR number[] = {4, '7', '7', '0', '1'};
    ops.CallRequest(REQUEST_SETUP, call, number, 1, 0);
    Run(40);
    auto out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (Bytes{0x08, 0x02, 0x00, 0x01, MT_SETUP, 0x04, 0x02, 0x88, 0x90, 0x18, 0x03, 0xA1, 0x83, 0x81,
                             0x70, 0x05, 0x80, '7', '7', '0', '1'}));
    EXPECT_EQ(s->ChannelCounters[1][CHCNT_SETUP_SENT], 1u);
    NetI(Msg(MT_CALL_PROCEEDING, 1, true, {0x18, 0x03, 0xA9, 0x83, 0x81}));
    EXPECT_EQ(Call(1)->State, 3);
    NetI(Msg(MT_ALERTING, 1, true));
    EXPECT_EQ(Call(1)->State, 4);
    NetI(Msg(MT_CONNECT, 1, true));
    EXPECT_EQ(Call(1)->State, 10);
    out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (Bytes{0x08, 0x02, 0x00, 0x01, MT_CONNECT_ACK}));
    EXPECT_EQ(Count("ConnectHdlr"), 1u);

    // Local clearing.
    ops.CallRequest(REQUEST_DISCONNECT, call, NULL, CALLREJECTED, 1);
    Run(40);
    EXPECT_TRUE(Sent().empty()) << "disconnect flag 1: nothing";
    ops.CallRequest(REQUEST_DISCONNECT, call, NULL, BUSY, 0);
    Run(40);
    out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][4], MT_DISCONNECT);
    EXPECT_EQ(Ie(out[0], IE_CAUSE)[3], 0x80 | BUSY);
    NetI(Msg(MT_RELEASE, 1, true, {0x08, 0x02, 0x80, 0x90}));
    out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][4], MT_RELEASE_COMPLETE);
    EXPECT_EQ(Call(1)->State, 0);
    EXPECT_EQ(Count("DisconnectHdlr"), 1u);
}

TEST_F(IsdnCall, FirstAnswerOnAnotherChannelMovesTheCall)
{
    Up();
    PVOID call = ops.AllocCall(s, L(2), 1);
    ops.CallRequest(REQUEST_SETUP, call, NULL, 1, 0);
    Run(40);
    Sent();
    rec.calls.clear();
    NetI(Msg(MT_CALL_PROCEEDING, 1, true, {0x18, 0x03, 0xA9, 0x83, 0x89}));
    EXPECT_EQ(Call(9)->State, 3);
    EXPECT_EQ(Call(9)->ThisLink, L(2));
    EXPECT_EQ(Call(1)->State, 0);
    EXPECT_EQ(Call(1)->ThisLink, nullptr);
    EXPECT_EQ(Count("SetLinkBChannel"), 1u);
    EXPECT_EQ(Count("ClearLinkBChannel"), 0u) << "the old record lets go of the Link without touching it";
}

TEST_F(IsdnCall, UnansweredSetupIsSentTwiceThenReportedCleared)
{
    Up();
    PVOID call = ops.AllocCall(s, L(2), 1);
    ops.CallRequest(REQUEST_SETUP, call, NULL, 1, 0);
    RunAcked(8500);
    auto out = Sent();
    size_t setups = 0;
    for (auto& m : out) setups += m[4] == MT_SETUP;
    EXPECT_EQ(setups, 2u);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back()[4], MT_RELEASE_COMPLETE) << "variant 1: profile word 3 is 1";
    EXPECT_EQ(Ie(out.back(), IE_CAUSE), (Bytes{0x08, 0x02, 0x80, 0x80 | 0x66}));
    EXPECT_EQ(Count("DisconnectHdlr"), 1u);
    EXPECT_EQ(Call(1)->State, 0);
}

TEST_F(IsdnCall, OverlongNumberIsRefusedNotOverrun)
{
    // 19 digits do not fit the message beside a 56K bearer; 20 do not fit the record.
    for (UCHAR digits : {19, 20}) {
        SCOPED_TRACE(digits);
        Make(1, 1);
        Up();
        PVOID call = ops.AllocCall(s, L(2), 1);
        UCHAR number[1 + 40];
        number[0] = digits;
        std::memset(number + 1, '9', digits);
        ops.CallRequest(REQUEST_SETUP, call, number, 2, 0);
        Run(40);
        EXPECT_TRUE(Sent().empty());
        EXPECT_EQ(Count("DisconnectHdlr"), 0u) << "refused inside the request: the caller answers for it";
        EXPECT_EQ(Count("ClearLinkBChannel"), 1u);
        EXPECT_EQ(Call(1)->State, 0);
        EXPECT_EQ(Call(1)->ThisLink, nullptr);
    }
    // Refused later, from the event queue (the store was full when it was asked for):
    // the refusal reaches call control by the upcall.
    Make(1, 1);
    Up();
    PVOID call = ops.AllocCall(s, L(2), 1);
    UCHAR number[1 + 19];
    number[0] = 19;
    std::memset(number + 1, '9', 19);
    s->L2.TxFull = 1;
    ops.CallRequest(REQUEST_SETUP, call, number, 2, 0);
    EXPECT_EQ(Call(1)->ThisLink, L(2)) << "waits in the queue";
    s->L2.TxFull = 0;
    Run(40);
    EXPECT_EQ(Count("DisconnectHdlr"), 1u);
    EXPECT_EQ(Call(1)->State, 0);
}

TEST_F(IsdnCall, IncompatibleMessageIsAnsweredByStatusWithTheVariantsCause)
{
    for (ULONG variant : {1u, 2u}) {
        Make(1, variant);
        Offer();
        Sent();
        NetI(Msg(MT_CONNECT_ACK, 0x21, false));  // state 7: not compatible
        auto out = Sent();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0][4], MT_STATUS);
        EXPECT_EQ(Ie(out[0], IE_CAUSE), (Bytes{0x08, 0x02, 0x80, (UCHAR)(0x80 | (variant == 1 ? 0x62 : 0x65))}));
    }
}

TEST_F(IsdnCall, LayerTwoLossClearsEveryCall)
{
    Offer();
    Sent();
    ASSERT_TRUE(Put({0x02, 0x01, 0x53}));  // DISC
    Run(60);
    EXPECT_EQ(Count("DisconnectHdlr"), 1u);
    EXPECT_EQ(Call(5)->State, 0);
    EXPECT_EQ(Ctl(CTL_KIND_GET, CTL_L2_STATE, 0), 1u);
}

TEST_F(IsdnCall, QuietFlagKeepsTheOfferFromCallControl)
{
    rec.boundLink = L(4);
    Up();
    ops.ManagementRequest(MGMT_SET_QUIET, s, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    NetI(Msg(MT_SETUP, 0x21, false, setupIes));
    EXPECT_EQ(Count("IncomingCallIndHdlr"), 0u);
    EXPECT_EQ(Call(5)->State, 7) << "the call stays in the stack";
}

TEST_F(IsdnCall, RestartResetsTheChannelAndIsAcknowledged)
{
    Offer();
    Sent();
    NetI({0x08, 0x02, 0x00, 0x00, MT_RESTART, 0x18, 0x03, 0xA9, 0x83, 0x85, 0x79, 0x01, 0x80});
    auto out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (Bytes{0x08, 0x02, 0x80, 0x00, MT_RESTART_ACK, 0x18, 0x03, 0xA9, 0x83, 0x85, 0x79, 0x01, 0x80}));
    EXPECT_EQ(Call(5)->State, 0);
    EXPECT_EQ(Count("DisconnectHdlr"), 1u);
}

TEST_F(IsdnCall, LayerOneComingUpAgainClearsTheCallsBeforeTheReset)
{
    Offer();
    rec.calls.clear();
    ops.Layer1Indication(TheAdapter, s, 0, LAYER1_ACTIVATED);
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"SetLinkDisconnectFlag", "DisconnectHdlr", "ClearLinkBChannel",
                                                   "GoToConnectedState"}));
    EXPECT_EQ(Call(5)->State, 0);
    EXPECT_EQ(Call(5)->ThisLink, nullptr);
}

TEST_F(IsdnCall, BearerCapabilityIsTakenInTheAnswersToOurSetup)
{
    const Bytes bearer = {0x04, 0x02, 0x88, 0x90};
    const Bytes channel = {0x18, 0x03, 0xA9, 0x83, 0x81};
    const Bytes progress = {0x1E, 0x02, 0x82, 0x88};
    auto with = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const struct {
        const char* name;
        std::vector<std::pair<UCHAR, Bytes>> answers;
        UCHAR state;
    } cases[] = {
        {"CALL PROCEEDING", {{MT_CALL_PROCEEDING, with(bearer, channel)}}, 3},
        {"then PROGRESS", {{MT_CALL_PROCEEDING, channel}, {MT_PROGRESS, with(bearer, progress)}}, 4},
        {"ALERTING", {{MT_ALERTING, with(bearer, channel)}}, 4},
        {"CONNECT", {{MT_CONNECT, with(bearer, channel)}}, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Make(1, 1);
        Up();
        PVOID call = ops.AllocCall(s, L(2), 1);
        ops.CallRequest(REQUEST_SETUP, call, NULL, 1, 0);
        Run(40);
        Sent();
        for (const auto& [type, ies] : c.answers) NetI(Msg(type, 1, true, ies));
        EXPECT_EQ(Call(1)->State, c.state);
        for (const Bytes& m : Sent()) EXPECT_NE(m[4], MT_STATUS) << "no element is misplaced";
    }
}

TEST_F(IsdnCall, RestartOfTheInterfaceWithoutChannelClearsEveryCall)
{
    for (UCHAR cls : {6, 7}) {
        SCOPED_TRACE(cls);
        Make(1, 1);
        Offer();
        PVOID call = ops.AllocCall(s, L(2), 1);
        ops.CallRequest(REQUEST_SETUP, call, NULL, 1, 0);
        Run(40);
        Sent();
        rec.calls.clear();
        NetI({0x08, 0x02, 0x00, 0x00, MT_RESTART, 0x79, 0x01, (UCHAR)(0x80 | cls)});
        auto out = Sent();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], (Bytes{0x08, 0x02, 0x80, 0x00, MT_RESTART_ACK, 0x79, 0x01, (UCHAR)(0x80 | cls)}));
        EXPECT_EQ(Call(5)->State, 0);
        EXPECT_EQ(Call(1)->State, 0);
        EXPECT_EQ(Count("DisconnectHdlr"), 2u);
        EXPECT_EQ(Count("ClearLinkBChannel"), 2u);
    }
    // Class 0 without a channel names nothing: no acknowledgement, the call stays.
    Make(1, 1);
    Offer();
    Sent();
    NetI({0x08, 0x02, 0x00, 0x00, MT_RESTART, 0x79, 0x01, 0x80});
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Call(5)->State, 7);
}

// After T313 (timer 9) the call is cleared by the stack; what follows on the wire
// carries Q.931 causes only, and T308 (timer 7) twice ends in RESTART of the channel.
TEST_F(IsdnCall, ClearingAfterTimersCarriesOnlyQ931CausesAndEndsInRestart)
{
    Make(1, 2);
    Offer();
    Sent();
    ops.CallRequest(REQUEST_SETUP_RESPONSE, Call(5), NULL, 0, 0);
    RunAcked(4100);
    auto out = Sent();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back()[4], MT_DISCONNECT);
    EXPECT_EQ(Ie(out.back(), IE_CAUSE), (Bytes{0x08, 0x02, 0x80, 0x80 | 0x66}));
    RunAcked(30000);  // T305
    out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][4], MT_RELEASE);
    EXPECT_EQ(Ie(out[0], IE_CAUSE), (Bytes{0x08, 0x02, 0x80, 0x90}));
    RunAcked(4000);  // T308
    out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][4], MT_RELEASE);
    EXPECT_EQ(Ie(out[0], IE_CAUSE), (Bytes{0x08, 0x02, 0x80, 0x80 | 0x66})) << "recovery on timer expiry, never 1";
    RunAcked(4000);  // T308 again
    out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (Bytes{0x08, 0x02, 0x00, 0x00, MT_RESTART, 0x18, 0x03, 0xA9, 0x83, 0x85, 0x79, 0x01, 0x80}));
    EXPECT_EQ(Call(5)->State, 0);
    EXPECT_EQ(Call(5)->ThisLink, nullptr);
}

TEST_F(IsdnCall, SecondDisconnectRequestWhileClearingChangesNothing)
{
    Offer();
    ops.CallRequest(REQUEST_SETUP_RESPONSE, Call(5), NULL, 0, 0);
    Run(40);
    NetI(Msg(MT_CONNECT_ACK, 0x21, false));
    Sent();
    ops.CallRequest(REQUEST_DISCONNECT, Call(5), NULL, CALLREJECTED, 0);
    RunAcked(20000);
    auto out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Ie(out[0], IE_CAUSE), (Bytes{0x08, 0x02, 0x80, 0x80 | CALLREJECTED}));
    ops.CallRequest(REQUEST_DISCONNECT, Call(5), NULL, NORMALCALLCLEARING, 0);
    RunAcked(10100);
    out = Sent();
    ASSERT_EQ(out.size(), 1u) << "no second DISCONNECT; T305 runs from the first";
    EXPECT_EQ(out[0][4], MT_RELEASE);
    EXPECT_EQ(Call(5)->State, 19);
}

TEST_F(IsdnCall, ClearingInStatesTwoToFourFollowsTheNetwork)
{
    struct Case {
        const char* name;
        UCHAR answer;  // brings the call to its state
        UCHAR state;
        UCHAR clearing;  // from the network
        UCHAR reply;     // what we send
    };
    const Case cases[] = {
        {"overlap sending, DISCONNECT", MT_SETUP_ACK, 2, MT_DISCONNECT, MT_RELEASE},
        {"proceeding, DISCONNECT", MT_CALL_PROCEEDING, 3, MT_DISCONNECT, MT_RELEASE},
        {"delivered, DISCONNECT", MT_ALERTING, 4, MT_DISCONNECT, MT_RELEASE},
        {"proceeding, RELEASE", MT_CALL_PROCEEDING, 3, MT_RELEASE, MT_RELEASE_COMPLETE},
        {"delivered, RELEASE COMPLETE", MT_ALERTING, 4, MT_RELEASE_COMPLETE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Make(1, 1);
        Up();
        PVOID call = ops.AllocCall(s, L(2), 1);
        ops.CallRequest(REQUEST_SETUP, call, NULL, 1, 0);
        Run(40);
        Sent();
        NetI(Msg(c.answer, 1, true, {0x18, 0x03, 0xA9, 0x83, 0x81}));
        ASSERT_EQ(Call(1)->State, c.state);
        NetI(Msg(c.clearing, 1, true, {0x08, 0x02, 0x80, 0x80 | BUSY}));
        Run(40);
        auto out = Sent();
        EXPECT_EQ(Count("DisconnectHdlr"), 1u);
        if (c.reply == 0) {
            EXPECT_TRUE(out.empty());
            EXPECT_EQ(Call(1)->State, 0);
            continue;
        }
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0][4], c.reply);
        if (c.reply == MT_RELEASE) {
            // The call holds its cause from the SETUP: the network's is not taken.
            EXPECT_EQ(Ie(out[0], IE_CAUSE), (Bytes{0x08, 0x02, 0x80, 0x90}));
            EXPECT_EQ(Call(1)->State, 19);
        } else {
            EXPECT_EQ(Call(1)->State, 0);
        }
    }
}

TEST_F(IsdnCall, ClearCollisionEndsWithoutAThirdMessage)
{
    Offer();
    ops.CallRequest(REQUEST_SETUP_RESPONSE, Call(5), NULL, 0, 0);
    Run(40);
    NetI(Msg(MT_CONNECT_ACK, 0x21, false));
    Sent();
    // Both sides send DISCONNECT at once: ours goes out, then the network's arrives.
    ops.CallRequest(REQUEST_DISCONNECT, Call(5), NULL, NORMALCALLCLEARING, 0);
    Run(40);
    ASSERT_EQ(Sent().size(), 1u);
    NetI(Msg(MT_DISCONNECT, 0x21, false, {0x08, 0x02, 0x80, 0x90}));
    auto out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][4], MT_RELEASE);
    EXPECT_EQ(Call(5)->State, 19);
    // And the RELEASEs cross: the network's RELEASE ends the call, nothing more is sent.
    NetI(Msg(MT_RELEASE, 0x21, false, {0x08, 0x02, 0x80, 0x90}));
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Call(5)->State, 0);
    EXPECT_EQ(Count("DisconnectHdlr"), 1u);
}

TEST_F(IsdnCall, SecondSetupExpiryTellsTheOwnerOnceInEveryVariant)
{
    struct Case {
        ULONG variant;
        bool releaseComplete;  // else the channel is taken out of service
        UCHAR cause;
    };
    const Case cases[] = {{1, true, 0x66}, {2, false, 0}, {3, true, 0x10}, {4, false, 0}, {5, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variant);
        Make(1, c.variant);
        Up();
        PVOID call = ops.AllocCall(s, L(2), 1);
        ops.CallRequest(REQUEST_SETUP, call, NULL, 1, 0);
        RunAcked(8100);
        auto out = Sent();
        size_t setups = 0;
        for (auto& m : out) setups += m[4] == MT_SETUP;
        EXPECT_EQ(setups, 2u);
        EXPECT_EQ(Count("DisconnectHdlr"), 1u);
        EXPECT_EQ(Call(1)->State, 0);
        EXPECT_EQ(Call(1)->ThisLink, nullptr);
        if (c.releaseComplete) {
            ASSERT_FALSE(out.empty());
            EXPECT_EQ(out.back()[4], MT_RELEASE_COMPLETE);
            EXPECT_EQ(Ie(out.back(), IE_CAUSE), (Bytes{0x08, 0x02, 0x80, (UCHAR)(0x80 | c.cause)}));
            EXPECT_EQ(Count("OutOfService 1"), 0u);
        } else {
            EXPECT_EQ(out.back()[4], MT_SETUP);
            ASSERT_EQ(Count("OutOfService 1"), 1u);
            // Out of service only once the Link has let go of the call.
            auto clear = std::find(rec.calls.begin(), rec.calls.end(), "ClearLinkBChannel");
            auto oos = std::find(rec.calls.begin(), rec.calls.end(), "OutOfService 1");
            EXPECT_LT(clear - rec.calls.begin(), oos - rec.calls.begin());
        }
    }
}

TEST_F(IsdnCall, CallReferenceCounterWrapsTo1)
{
    Up();
    s->CallRefCounter = 32767;
    for (USHORT expect : {32767, 1}) {
        PVOID call = ops.AllocCall(s, L(2), 1);
        ops.CallRequest(REQUEST_SETUP, call, NULL, 1, 0);
        EXPECT_EQ(((ISDN_CALL*)call)->CallRef, expect);
    }
}

}  // namespace

// The layer-3 test messages of the management requests: the call reference comes as
// length and value, the restart indicator and the bearer choice as the page's indexes.
TEST_F(IsdnCall, ManagementTestMessagesFindTheCallAndCodeTheChoices)
{
    Offer();
    Sent();
    ops.ManagementRequest(MGMT_TEST_ANSWER, s, 2, 0x21, 0, 0, 0, 0, 0, 0, 0);
    RunAcked(100);
    auto out = Sent();
    ASSERT_EQ(out.size(), 1u) << "the offered call, found by its two-octet reference";
    EXPECT_EQ(out[0][4], MT_CONNECT);
    EXPECT_EQ(Call(5)->State, 8);
    ops.ManagementRequest(MGMT_TEST_ANSWER, s, 0, 0x21, 0, 0, 0, 0, 0, 0, 0);
    RunAcked(100);
    EXPECT_TRUE(Sent().empty()) << "a dummy reference names no call";
    ops.ManagementRequest(MGMT_TEST_DISCONNECT, s, 2, 0x21, 2, 0, 0, 0, 0, 0, 0);
    RunAcked(100);
    out = Sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][4], MT_DISCONNECT);
    EXPECT_EQ(Ie(out[0], IE_CAUSE), (Bytes{0x08, 0x02, 0x80, 0x80 | BUSY}));

    // Restart indicator: the indicated channel, the interface, every interface.
    const struct {
        ULONG indicator;
        Bytes restart;
    } restarts[] = {
        {0, {0x08, 0x02, 0x00, 0x00, MT_RESTART, 0x18, 0x03, 0xA9, 0x83, 0x87, 0x79, 0x01, 0x80}},
        {1, {0x08, 0x02, 0x00, 0x00, MT_RESTART, 0x18, 0x03, 0xA9, 0x83, 0x87, 0x79, 0x01, 0x86}},
        {2, {0x08, 0x02, 0x00, 0x00, MT_RESTART, 0x79, 0x01, 0x87}},
    };
    for (const auto& r : restarts) {
        SCOPED_TRACE(r.indicator);
        ops.ManagementRequest(MGMT_SEND_RESTART, s, 0, 7, r.indicator, 0, 0, 0, 0, 0, 0);
        RunAcked(100);
        out = Sent();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], r.restart);
    }
    ops.ManagementRequest(MGMT_SEND_RESTART, s, 0, 16, 0, 0, 0, 0, 0, 0, 0);
    RunAcked(100);
    EXPECT_TRUE(Sent().empty()) << "the D channel is no channel to restart";

    // Bearer choice: 64k, 56k, speech µ-law, speech A-law.
    const UCHAR bearers[] = {0x88, 0x89, 0x80, 0x80};
    for (ULONG choice = 0; choice < 4; choice++) {
        SCOPED_TRACE(choice);
        ops.ManagementRequest(MGMT_TEST_CALL, s, 10 + choice, 0, 0, choice, 2, 5, 6, 0, 0);
        RunAcked(100);
        out = Sent();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0][4], MT_SETUP);
        Bytes bearer = Ie(out[0], IE_BEARER);
        ASSERT_GE(bearer.size(), 3u);
        EXPECT_EQ(bearer[2], bearers[choice]);
    }
}

// The network's RESTART ACKNOWLEDGE of our RESTART ends the exchange: nothing answers it.
TEST_F(IsdnCall, RestartAcknowledgeOfOurRestartIsTakenQuietly)
{
    Offer();
    Sent();
    ops.ManagementRequest(MGMT_SEND_RESTART, s, 0, 7, 0, 0, 0, 0, 0, 0, 0);
    RunAcked(100);
    ASSERT_EQ(Sent().size(), 1u);
    NetI({0x08, 0x02, 0x80, 0x00, MT_RESTART_ACK, 0x18, 0x03, 0xA9, 0x83, 0x87, 0x79, 0x01, 0x80});
    RunAcked(100);
    EXPECT_TRUE(Sent().empty()) << "no STATUS, no RELEASE COMPLETE";
    EXPECT_EQ(Call(5)->State, 7) << "the offered call on another channel is untouched";
    EXPECT_EQ(Count("DisconnectHdlr"), 0u);
}

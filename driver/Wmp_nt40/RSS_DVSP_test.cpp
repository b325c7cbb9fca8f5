// The management request service on a running default adapter, every record sent
// through the vendor OID of the miniport's query entry: the dispatch and its status
// codes, the checks of lengths, indexes and segments, and the pump mailbox.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver/Common/RSS_init.h"
#include "driver/Common/MDM_PUMP_ext.h"
#include "driver/Wmp_nt40/RSS_DVSP.h"
#include "driver/Wmp_nt40/RSS_DVSP_replies.h"
#include "driver/Wmp_nt40/Wmp_wspi.h"
#include "driver/Wmp_nt40/ser_init.h"
#include "driver/signalling/isdn/IsdnStack.h"
#include "driver/signalling/rbs/RbsStack.h"
#include "sim/board/hdlc.h"
#include "tools/harness/rig.h"

namespace {

constexpr ULONG BP = BACKDOOR_STATUS_BAD_PARAMETER;
constexpr ULONG BI = BACKDOOR_STATUS_BAD_INDEX;

// A whole record, word-aligned, with room behind it for a guard pattern.
struct Record {
    std::vector<ULONG> words = std::vector<ULONG>(BACKDOOR_REQUEST_SIZE / 4 + 64, 0);
    BACKDOOR_REQUEST_HEADER& h() { return *reinterpret_cast<BACKDOOR_REQUEST_HEADER*>(words.data()); }
    UCHAR* bytes() { return reinterpret_cast<UCHAR*>(words.data()); }
    Record(ULONG cls, ULONG action, std::vector<ULONG> args = {})
    {
        h().Class = cls;
        h().Action = action;
        for (size_t i = 0; i < args.size() && i < 6; i++) h().Arg[i] = args[i];
        h().Signature = BACKDOOR_SIGNATURE;
        h().BufferLength = BACKDOOR_REQUEST_SIZE;
    }
    ULONG word(ULONG offset) const
    {
        ULONG w;
        std::memcpy(&w, reinterpret_cast<const UCHAR*>(words.data()) + offset, 4);
        return w;
    }
    ULONG seg_word(ULONG k, ULONG i) { return word(h().Segment[k].Offset + 4 * i); }
    void payload(ULONG k, const std::string& text, ULONG offset = BACKDOOR_HEADER_SIZE)
    {
        h().Segment[k].Offset = offset;
        h().Segment[k].Length = ULONG(text.size());
        std::memcpy(bytes() + offset, text.data(), text.size());
    }
};

class Mgmt : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        configure();
        r.add_board_for(1, 4);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        a = rig::Rig::driver_adapter(na);
        r.host.run_for(plat::ms(500));
    }
    virtual void configure() {}
    void TearDown() override
    {
        if (na != nullptr) r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    // Through the vendor OID, as the applet's DeviceIoControl arrives.
    ULONG send(Record& rec, ULONG length = BACKDOOR_REQUEST_SIZE)
    {
        ULONG w = 0, n = 0;
        EXPECT_EQ(r.host.ndis().query(na, OID_BACKDOOR_REQUEST, rec.bytes(), length, &w, &n), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(w, length);
        EXPECT_EQ(n, length);
        return rec.h().Status;
    }
    Pump& pump(unsigned s, unsigned c, unsigned p) { return a->Socket[s].Csms[c].Pumps[p]; }
};

TEST_F(Mgmt, TheRecordIsTheWireSize) { EXPECT_EQ(sizeof(BACKDOOR_REQUEST), 16468u); }

TEST_F(Mgmt, DispatchAnswersUnknownAndRefusedRequestsWithoutTouchingTheRecord)
{
    struct Case {
        ULONG cls, action, status;
    } cases[] = {
        {13, 0, 0}, {0, 40, 0}, {2, 19, 0}, {2, 2, 0},   {10, 1, 0},  {11, 1, 0}, {7, 0, 0}, {1, 9, 0},
        {0, 38, BI}, {0, 39, BI}, {0, 44, BI}, {0, 46, BI}, {5, 7, BI}, {0, 99, 0}, {6, 9, BP} /* line checked first */,
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "class " << c.cls << " action " << c.action);
        Record rec(c.cls, c.action, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
        rec.h().ReplyLength = 0x777;
        Record before = rec;
        EXPECT_EQ(send(rec), c.status);
        EXPECT_EQ(rec.h().ReplyLength, 0u);
        for (int i = 0; i < 6; i++) EXPECT_EQ(rec.h().Arg[i], before.h().Arg[i]);
        EXPECT_EQ(std::memcmp(rec.bytes() + 0x30, before.bytes() + 0x30, BACKDOOR_REQUEST_SIZE - 0x30), 0);
    }
}

TEST_F(Mgmt, ABigEndianSignatureIsRefusedAndNothingElseChanges)
{
    Record rec(0, 17);
    const UCHAR be[4] = {0x52, 0x4F, 0x4B, 0x00};
    std::memcpy(rec.bytes(), be, 4);
    rec.h().ReplyLength = 5;
    Record before = rec;
    EXPECT_EQ(send(rec), BACKDOOR_STATUS_BAD_SIGNATURE);
    EXPECT_EQ(rec.h().ReplyLength, 0u);
    EXPECT_EQ(std::memcmp(rec.bytes() + 0x18, before.bytes() + 0x18, BACKDOOR_REQUEST_SIZE - 0x18), 0);
}

TEST_F(Mgmt, ShortBuffersAndShortLengthsNeverOverrunAndNameTheNeededLength)
{
    // BufferLength too small for the reply: BP with the needed length.
    struct Case {
        ULONG action;
        std::vector<ULONG> args;
        ULONG buffer_length, needed;
    } cases[] = {
        {8, {0, 0}, 0x187, 0x188},
        {17, {}, 84, 84 + 0x8C},
        {11, {}, 0xD3, 0xD4},
        {2, {0}, 0x853, 0x854},
        {28, {0, 1}, 84, 84 + 134 * 4},
        {9, {0}, 0xF53, 0xF54},
        {47, {0, 0}, 0x1EB, 0x1EC},
        {31, {0, 4}, 0x97, 0x188},  // the link counters' sum names the link statistics' length
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "action " << c.action);
        Record rec(0, c.action, c.args);
        rec.h().BufferLength = c.buffer_length;
        EXPECT_EQ(send(rec), BP);
        EXPECT_EQ(rec.h().ReplyLength, c.needed);
    }

    // A buffer that claims the whole record but brings only 100 bytes: the read is
    // refused and not a byte behind the 100 is written.
    Record rec(0, 17);
    for (ULONG i = 25; i < rec.words.size(); i++) rec.words[i] = 0xA5A5A5A5;
    EXPECT_EQ(send(rec, 100), BP);
    EXPECT_EQ(rec.h().ReplyLength, 84u + 0x8C);
    for (ULONG i = 25; i < rec.words.size(); i++) ASSERT_EQ(rec.words[i], 0xA5A5A5A5u) << i;

    // Shorter than the header: Status only, when it fits.
    Record tiny(0, 17);
    tiny.h().Status = 0x1234;
    send(tiny, 0x18);
    EXPECT_EQ(tiny.h().Status, BP);
    Record tinier(0, 17);
    tinier.h().Status = 0x1234;
    send(tinier, 0x17);
    EXPECT_EQ(tinier.h().Status, 0x1234u);
}

TEST_F(Mgmt, EveryIndexIsCheckedWithTheStatusItsActionGives)
{
    // The default board: one line, one group, five modem sockets of two processors.
    struct Case {
        ULONG cls, action;
        std::vector<ULONG> args;
        ULONG status;
    } cases[] = {
        {0, 4, {1}, BI},                 {0, 7, {0, 512}, BI},            {0, 8, {0, 0xFFFFFFFF}, BI},
        {0, 8, {0, 32}, BI},             {0, 1, {0, 0x800}, BI},          {0, 3, {0, 2}, BI},
        {0, 13, {5, 0}, BI},             {0, 13, {0, 2}, BI},             {0, 14, {0, 0, 16}, BI},
        {0, 15, {0, 3}, BI},             {0, 20, {5}, BP},                {0, 21, {0, 2}, BI},
        {0, 22, {0, 0, 12}, BP},         {0, 22, {0, 3, 0}, BI},          {0, 22, {0, 1, 11}, BI},
        {0, 26, {1}, BI},                {0, 28, {0, 32}, BI},            {0, 32, {0x40000}, BI},
        {0, 33, {0, 0, 12}, BI},         {0, 10, {0, 0, 99, 0}, BI},      {0, 35, {0, 5}, BI},
        {0, 42, {0, 3}, BI},             {0, 49, {1}, BI},                {0, 100, {4}, BI},
        {1, 2, {1}, BP},                 {2, 0, {0, 0xFFFFFFFF}, BP},     {2, 3, {0, 32}, BP},
        {2, 3, {1, 0}, BP},              {2, 5, {5, 0}, BP},              {2, 8, {0, 0, 12}, BP},
        {2, 10, {1}, BP},                {2, 21, {1}, BP},                {2, 27, {1, 0}, BI},
        {2, 31, {}, BI},                 {2, 30, {0, 1}, BI},             {2, 30, {0x100001, 1}, BI},
        {3, 0, {1, 0}, BI},              {3, 0, {0, 32}, BI},             {3, 2, {1}, BP},
        {3, 9, {0, 32}, BI},             {3, 11, {0, 2, 0}, BI},          {4, 0, {1}, BP},
        {4, 9, {0, 0xFFFFFFFF}, BI},     {4, 9, {0, 0, 5000}, BP},        {4, 10, {0, 0, 4}, BI},
        {5, 0, {0, 512}, BP},            {5, 1, {0, 0x800}, BP},          {5, 2, {0, 3}, BP},
        {5, 3, {0, 0, 16}, BP},          {5, 4, {0, 0, 12}, BI},          {5, 5, {0, 0, 0, 3}, BI},
        {5, 6, {1}, BI},                 {5, 10, {0x40000}, BI},          {6, 0, {1}, BP},
        {6, 2, {0, 0, 6}, BP},           {8, 2, {5}, BI},                 {9, 2, {0, 0, 12}, BI},
        {10, 0, {0, 2}, BI},             {11, 0, {0, 0, 12}, BI},         {12, 0, {5}, BI},
        // The line's D-channel link (31) is never a test or a simulated call's link.
        {2, 0, {0, 31}, BP},             {2, 1, {0, 31}, BP},             {2, 3, {0, 31}, BP},
        {2, 4, {0, 31}, BP},             {2, 27, {0, 31}, BI},            {2, 28, {0, 31}, BI},
        {3, 0, {0, 31}, BI},
    };
    ASSERT_EQ(a->NdisWanInfo[0][31].IsDChannelLink, 1) << "the line's D-channel link";
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "class " << c.cls << " action " << c.action);
        Record rec(c.cls, c.action, c.args);
        EXPECT_EQ(send(rec), c.status);
    }
}

TEST_F(Mgmt, AddressWordsAreBusAddressesNeverPointers)
{
    Record rec(0, 0);
    ASSERT_EQ(send(rec), 0u);
    EXPECT_EQ(rec.h().ReplyLength, 84u + 0x800);
    EXPECT_EQ(rec.h().Arg[0], a->PhysicalAddressBAR0);
    EXPECT_EQ(rec.h().Arg[1], a->PhysicalAddressBAR0);
    EXPECT_EQ(rec.h().Arg[2], a->PhysicalAddressBAR1);
    EXPECT_EQ(rec.h().Arg[4], ULONG(a->SharedMemoryPhysical.QuadPart));
    EXPECT_EQ(rec.h().Segment[0].Offset, 0x54u);
    EXPECT_EQ(rec.h().Segment[0].Length, 0x800u);
    EXPECT_EQ(std::memcmp(rec.bytes() + 0x54, a->SharedMem.GroupAreas.Virtual, 0x800), 0);

    Record info(0, 17);
    ASSERT_EQ(send(info), 0u);
    ASSERT_EQ(info.h().Segment[0].Length, 0x8Cu);
    EXPECT_EQ(info.seg_word(0, 0), 4u);  // AdapterID
    EXPECT_EQ(info.seg_word(0, 2), a->NumberOfLines);
    EXPECT_EQ(info.seg_word(0, 3), a->SocketCount);
    EXPECT_EQ(info.seg_word(0, 5), 3005168u);
    EXPECT_EQ(info.seg_word(0, 9), a->PhysicalAddressBAR0);
    EXPECT_EQ(info.seg_word(0, 15), 0x1000u + a->NumberOfGroups * (0x800u + 0xC00 + 0x3000 + 0x20000 + 0x80000));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.bytes() + 0x54 + 21 * 4)), "RIROVE");
    EXPECT_EQ(info.seg_word(0, 34), 32u);
}

// The data interface's status is the HDLC controller's soft-reset count of its last
// bring-up: one on a board whose clocks come at once, three when they never come.
TEST_F(Mgmt, DataInterfaceStatusIsTheControllersResetCount)
{
    Record good(0, 19);
    ASSERT_EQ(send(good), 0u);
    EXPECT_EQ(good.h().Arg[0], 1u);
    EXPECT_EQ(good.h().ReplyLength, 0u);

    r.boards[0]->hdlc().knobs.clocks_never = true;
    rig::with_adapter_lock(a, [&] { ResetAdapter(a); });
    r.host.run_for(plat::ms(2000));
    ASSERT_EQ(a->DataInterfaceUp, 0);
    Record failed(0, 19);
    ASSERT_EQ(send(failed), 0u);
    EXPECT_EQ(failed.h().Arg[0], 3u);
}

TEST_F(Mgmt, FramerReadsAndWritesGoToTheLinesFramer)
{
    Record w(5, 0, {0, BT_TPATT, 0x1A5});
    ASSERT_EQ(send(w), 0u);
    Record one(0, 7, {0, BT_TPATT});
    ASSERT_EQ(send(one), 0u);
    EXPECT_EQ(one.h().Arg[2], 0xA5u) << "the low byte only";

    Record all(0, 4, {0});
    ASSERT_EQ(send(all), 0u);
    EXPECT_EQ(all.h().Arg[1], a->Framer[0].nMode);
    EXPECT_EQ(all.h().Segment[0].Length, 0x800u);
    EXPECT_EQ(all.h().Segment[1].Offset, 0x54u + 0x800);
    EXPECT_EQ(all.h().Segment[1].Length, 2172u);
    EXPECT_EQ(all.seg_word(0, BT_TPATT), 0xA5u);
    EXPECT_EQ(all.seg_word(1, BD_FRAMER_W_LINE), 0u);
    std::vector<UCHAR> zero(sizeof(void*), 0);
    EXPECT_EQ(std::memcmp(all.bytes() + all.h().Segment[1].Offset + offsetof(Bt8370, pRegs), zero.data(), zero.size()), 0)
        << "no kernel pointer crosses the record";
}

TEST_F(Mgmt, LinkReadsGiveTheDumpAndNoPumpMarks)
{
    Record dump(0, 28, {0, 5});
    ASSERT_EQ(send(dump), 0u);
    EXPECT_EQ(dump.h().Segment[0].Length, 0x218u);
    EXPECT_EQ(dump.seg_word(0, 32), 0xFFu);
    EXPECT_EQ(dump.seg_word(0, 33), 0xFFu);
    EXPECT_EQ(dump.seg_word(0, 34), 0xFFu);

    Record lp(0, 34, {0, 5});
    ASSERT_EQ(send(lp), 0u);
    EXPECT_EQ(lp.h().Arg[2], 0xFFFFFFFFu);
    EXPECT_EQ(lp.h().Arg[3], 0xFFFFFFFFu);
    EXPECT_EQ(lp.h().Arg[4], 0xFFFFFFFFu);

    a->NdisWanInfo[0][2].Stats.RxGoodFrames = 7;
    a->NdisWanInfo[0][3].Stats.RxGoodFrames = 5;
    Record sum(0, 31, {0, 99});  // more links than a group has: all 32, no further
    ASSERT_EQ(send(sum), 0u);
    EXPECT_EQ(sum.seg_word(0, 11), 12u);
}

TEST_F(Mgmt, BackToBackAndLoopBackMessageSettingsLandOnTheLink)
{
    Link* l = &a->NdisWanInfo[0][4];
    Record rx(2, 27, {0, 4, 0x101});
    ASSERT_EQ(send(rx), 0u);
    EXPECT_EQ(l->InboundBackToBack, 1);
    EXPECT_EQ(l->LoopBackVerify, 1);
    Record off(3, 9, {0, 4});
    ASSERT_EQ(send(off), 0u);
    EXPECT_EQ(l->InboundBackToBack, 0);

    Record msg(4, 9, {0, 4, 7, 0, 3, 99});
    ASSERT_EQ(send(msg), 0u);
    EXPECT_EQ(l->LoopBackMessageLength, 7u);
    EXPECT_EQ(l->LoopBackMode, 3u);
    EXPECT_EQ(l->LoopBackTxWordCount, 99u);
    EXPECT_EQ(l->LoopBackRxWordCount, 99u);

    Record proto(4, 10, {0, 4, 3});
    ASSERT_EQ(send(proto), 0u);
    EXPECT_EQ(l->ChannelProtocol, 3u);
}

TEST_F(Mgmt, LoopBackTimeslotsNeedBothTablesAndFailAfterTheFirstPart)
{
    Record rec(4, 4, {0});
    rec.h().Segment[0] = {0x200, 0x54};
    rec.h().Segment[2] = {0x40, 0x54 + 0x200};
    EXPECT_EQ(send(rec), BP);
    Record shortfirst(4, 4, {0});
    shortfirst.h().Segment[0] = {0x1FC, 0x54};
    EXPECT_EQ(send(shortfirst), BP);
    Record outside(4, 4, {0});
    outside.h().Segment[0] = {0x200, BACKDOOR_REQUEST_SIZE - 0x100};
    EXPECT_EQ(send(outside), BP) << "a table that runs past the record";

    Record ok(4, 4, {0});
    ok.h().Segment[0] = {0x200, 0x54};
    ok.h().Segment[2] = {0x80, 0x54 + 0x200};
    for (ULONG i = 0; i < 32; i++) {
        ULONG v = i % 4;
        std::memcpy(ok.bytes() + 0x54 + 0x200 + 4 * i, &v, 4);
    }
    EXPECT_EQ(send(ok), 0u);
    EXPECT_EQ(a->NdisWanInfo[0][6].BChProtocol, 2u);
}

TEST_F(Mgmt, FlagsAreSetAndClearedByClassesEightAndNine)
{
    struct Case {
        ULONG action;
        std::vector<ULONG> args;
        std::function<UCHAR()> flag;
    } cases[] = {
        {0, {}, [&] { return a->StatusEventIndication; }},
        {1, {}, [&] { return a->PumpStatusIndication; }},
        {2, {1, 1, 2}, [&] { return pump(1, 1, 2).PumpEventsEnabled; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        Record set(8, c.action, c.args);
        ASSERT_EQ(send(set), 0u);
        EXPECT_EQ(c.flag(), 1);
        Record clear(9, c.action, c.args);
        ASSERT_EQ(send(clear), 0u);
        EXPECT_EQ(c.flag(), 0);
    }
}

TEST_F(Mgmt, AtCommandsUseThePumpsOneSlotMailbox)
{
    Pump& p = pump(0, 0, 1);
    p.PumpEvent = Pump_Ev_None;

    Record none(5, 5, {0, 0, 1, 2});
    ASSERT_EQ(send(none), 0u) << "Arg3 2: accepted, nothing done";
    EXPECT_EQ(p.PumpEvent, ULONG(Pump_Ev_None));

    Record at(5, 5, {0, 0, 1, 0});
    at.payload(0, "ATI3");
    ASSERT_EQ(send(at), 0u);
    EXPECT_EQ(p.AtCommandLength, 4u);
    EXPECT_STREQ(reinterpret_cast<char*>(p.AtCommand), "ATI3");
    EXPECT_EQ(p.PumpEvent, ULONG(Host_Ev_Cmd));

    Record busy(5, 5, {0, 0, 1, 0});
    busy.payload(0, "ATZ");
    EXPECT_EQ(send(busy), BI) << "the slot still holds the first command";
    EXPECT_STREQ(reinterpret_cast<char*>(p.AtCommand), "ATI3");

    p.PumpEvent = Pump_Ev_None;
    Record toolong(5, 5, {0, 0, 1, 0});
    toolong.payload(0, std::string(128, 'A'));
    EXPECT_EQ(send(toolong), BP) << "128 bytes leave no room for the terminating 0";
    EXPECT_EQ(p.PumpEvent, ULONG(Pump_Ev_None));

    Record init(5, 5, {0, 0, 1, 1});
    init.payload(0, "AT&F S0=1", 0x100);
    ASSERT_EQ(send(init), 0u);
    EXPECT_EQ(a->ModemDataInit[0].Count, 9);
    EXPECT_EQ(std::string(a->ModemDataInit[0].Text, 9), "AT&F S0=1");

    p.AtResponseLength = 2;
    std::memcpy(p.AtResponse, "OK", 2);
    Record resp(0, 33, {0, 0, 1});
    ASSERT_EQ(send(resp), 0u);
    EXPECT_EQ(resp.h().Segment[0].Length, 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(resp.bytes() + 0x54), 2), "OK");
    EXPECT_EQ(p.AtResponseLength, 0u) << "taken";
}

TEST_F(Mgmt, CsmCommandsAreQueuedAnsweredOnceAndAbandoned)
{
    Pump& p = pump(2, 0, 0);
    p.PumpEvent = Pump_Ev_None;

    Record nocode(5, 8, {2, 0, 0, 0});
    EXPECT_EQ(send(nocode), BACKDOOR_STATUS_REFUSED);
    EXPECT_EQ(nocode.h().Segment[0].Offset, 0x54u);
    EXPECT_EQ(p.PumpEvent, ULONG(Pump_Ev_None));

    Record big(5, 8, {2, 0, 0, 0x12});
    big.payload(0, std::string(129, 'x'));
    EXPECT_EQ(send(big), BP) << "the command data area holds 128 bytes";

    UCHAR seq = p.CmdChan.OutCmdIndex;
    Record cmd(5, 8, {2, 0, 0, 0x12, 0x134, 0x5678});
    cmd.payload(0, "\x01\x02\x03");
    EXPECT_EQ(send(cmd), BACKDOOR_STATUS_PENDING);
    EXPECT_EQ(p.PumpEvent, ULONG(Host_Ev_Cmd));
    EXPECT_EQ(p.CmdChan.OutCount, 3);
    EXPECT_EQ(p.CmdChan.OutCmdClass, 0x1200);
    EXPECT_EQ(p.CmdChan.OutCmdType, 0x34);
    EXPECT_EQ(p.CmdChan.OutFcnCode, 0x5678);
    EXPECT_EQ(p.CmdChan.OutCmdIndex, UCHAR(seq + 1));
    EXPECT_EQ(p.CmdChan.OutData[2], 3);

    Record empty(0, 43, {2, 0, 0});
    EXPECT_EQ(send(empty), 0u);
    EXPECT_EQ(empty.h().Segment[0].Length, 0u) << "no segment written";

    p.CmdChan.InCmdClass = 0x1200;
    p.CmdChan.InCmdType = 7;
    p.CmdChan.InCmdIndex = 9;
    p.CmdChan.InCount = 2;
    p.CmdChan.InData[0] = 0xAB;
    p.CmdChan.InData[1] = 0xCD;
    Record answer(0, 43, {2, 0, 0});
    EXPECT_EQ(send(answer), BACKDOOR_STATUS_PENDING);
    EXPECT_EQ(answer.h().Arg[3], 0x12u);
    EXPECT_EQ(answer.h().Arg[4], 7u);
    EXPECT_EQ(answer.h().Arg[5], 9u);
    EXPECT_EQ(answer.h().Segment[0].Length, 2u);
    EXPECT_EQ(answer.word(0x54) & 0xFFFF, 0xCDABu);
    Record again(0, 43, {2, 0, 0});
    EXPECT_EQ(send(again), 0u) << "each answer is delivered once";

    Record abandon(3, 11, {2, 0, 0});
    EXPECT_EQ(send(abandon), BACKDOOR_STATUS_PENDING);
    EXPECT_EQ(p.PumpEvent, ULONG(Pump_Ev_None));
    p.PumpEvent = Host_Ev_Dial;
    Record refused(3, 11, {2, 0, 0});
    EXPECT_EQ(send(refused), BACKDOOR_STATUS_REFUSED) << "the slot holds another event";
    EXPECT_EQ(p.PumpEvent, ULONG(Host_Ev_Dial));
}

TEST_F(Mgmt, ModemProcessorStatesAreSetByStartRequests)
{
    Csm& c = a->Socket[3].Csms[1];
    Record dl(2, 39, {3, 1});
    ASSERT_EQ(send(dl), 0u);
    EXPECT_EQ(c.State, ULONG(CSM_NEED_RESET));
    EXPECT_EQ(c.DownloadOnly, 1);
    EXPECT_EQ(c.ResetAttempts, 0u);

    Record oos(2, 7, {3, 1});
    ASSERT_EQ(send(oos), 0u);
    EXPECT_EQ(c.State, ULONG(CSM_DEAD));
    Record state(0, 15, {3, 1});
    ASSERT_EQ(send(state), 0u);
    EXPECT_EQ(state.h().Arg[2], 6u);
    EXPECT_EQ(state.h().Arg[3], c.PumpCount);
    EXPECT_EQ(state.h().Segment[0].Length, 4 * c.PumpCount);

    Record pr(2, 9, {3, 1, 2});
    ASSERT_EQ(send(pr), 0u);
    EXPECT_EQ(c.Pumps[2].PumpState, ULONG(PUMP_OUT_OF_SERVICE));
    Record reset(2, 8, {3, 1, 2});
    ASSERT_EQ(send(reset), 0u);
    EXPECT_EQ(c.Pumps[2].PumpState, ULONG(PUMP_NEED_RESET));
    EXPECT_EQ(c.Pumps[2].PumpEvent, ULONG(Host_Ev_Reset_Requested));
}

// The image in use changes only when the last piece of a new one has arrived: an
// update that stops, skips or changes its size half-way leaves the old image whole.
TEST_F(Mgmt, CodeUpdateGathersThePiecesAndCommitsTheImageWithTheLastOne)
{
    const std::vector<UCHAR> old(a->CSMCode, a->CSMCode + a->CSMCodeSize);
    const ULONG oldSize = a->CSMCodeSize;
    auto piece = [&](ULONG size, ULONG offset, const std::string& text) {
        Record rec(2, 30, {size, 1, offset});
        rec.payload(0, text);
        return send(rec);
    };
    auto unchanged = [&] {
        EXPECT_EQ(a->CSMCodeSize, oldSize);
        EXPECT_TRUE(std::equal(old.begin(), old.end(), a->CSMCode)) << "the image in use was touched";
    };
    const std::string first(0x1000, 'A'), second(0x1000, 'B');

    // Stopped after the first piece; then a piece out of order; then one of another size.
    ASSERT_EQ(piece(0x2000, 0, first), 0u);
    unchanged();
    EXPECT_EQ(piece(0x2000, 0x1800, "late"), BP) << "a gap";
    EXPECT_EQ(piece(0x2000, 0x1000, second), BP) << "what was gathered went with the refusal";
    unchanged();
    ASSERT_EQ(piece(0x2000, 0, first), 0u);
    EXPECT_EQ(piece(0x3000, 0x1000, second), BP) << "another image's size";
    unchanged();
    EXPECT_EQ(piece(0x2000, 0x1000, second), BP) << "the refusal dropped the gathered piece";
    unchanged();

    // Started over and sent whole: committed with the last piece.
    ASSERT_EQ(piece(0x2000, 0, first), 0u);
    unchanged();
    ASSERT_EQ(piece(0x2000, 0x1000, second), 0u);
    EXPECT_EQ(a->CSMCodeSize, 0x2000u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a->CSMCode), 0x2000), first + second);

    // A single-piece image, and the bounds of the area.
    ASSERT_EQ(piece(5, 0, "IMAGE"), 0u);
    EXPECT_EQ(a->CSMCodeSize, 5u);
    EXPECT_EQ(std::memcmp(a->CSMCode, "IMAGE", 5), 0);
    EXPECT_EQ(piece(0x1002, 0x1000, "IMAGE"), BP) << "a piece beyond the declared size";
    EXPECT_EQ(piece(0x100000, 0xFFFFE, "IMAGE"), BP) << "a piece beyond the 1 MiB area";
    EXPECT_EQ(piece(0x100001, 0, "IMAGE"), BI) << "an image larger than the area";
    EXPECT_EQ(a->CSMCodeSize, 5u);
}

TEST_F(Mgmt, BoardMemoryWordsStayInsideTheOneMegabyteWindow)
{
    // Line 0's framer window lies in board memory: a word written there is its register.
    ULONG word = ULONG(a->FramerBase[0] - a->VirtualAddressBAR1) / 4 + BT_TPATT;
    Record w(5, 10, {word, 0x5A});
    ASSERT_EQ(send(w), 0u);
    Record reg(0, 7, {0, BT_TPATT});
    ASSERT_EQ(send(reg), 0u);
    EXPECT_EQ(reg.h().Arg[2], 0x5Au);
    Record rd(0, 32, {word});
    ASSERT_EQ(send(rd), 0u);
    EXPECT_EQ(rd.h().Arg[1] & 0xFF, 0x5Au);
    Record last(0, 32, {0x3FFFF});
    EXPECT_EQ(send(last), 0u) << "the last word of the window";
    Record beyond(0, 32, {0x40000});
    EXPECT_EQ(send(beyond), BI) << "a word index beyond the 1 MiB window";
}

TEST_F(Mgmt, PortMonitorNeedsASerialPortsLink)
{
    Pump& p = pump(0, 1, 0);
    Record nolink(12, 0, {0, 1, 0});
    EXPECT_EQ(send(nolink), BI);
    EXPECT_EQ(nolink.h().Segment[0].Length, 0x208u);

    Record shortbuf(12, 0, {0, 1, 0});
    shortbuf.h().BufferLength = 0x25B;
    EXPECT_EQ(send(shortbuf), BP);
    EXPECT_EQ(shortbuf.h().ReplyLength, 0x25Cu);

    Link* l = &a->NdisWanInfo[0][9];
    p.ThisLink = l;
    ULONG owner = l->CurrentOwner;
    l->CurrentOwner = OWNER_TELEPHONY_SUBSYSTEM;
    Record tapi(12, 7, {0, 1, 0});
    EXPECT_EQ(send(tapi), BACKDOOR_STATUS_NOT_ASYNC_PORT);
    l->CurrentOwner = owner;
    p.ThisLink = nullptr;

    Record toomuch(10, 0, {0, 1, 0});
    toomuch.payload(0, std::string(137, 'd'));
    EXPECT_EQ(send(toomuch), BI);
}

// ---- replies read word by word, and the objects that classes 10 to 12 move ----

// A serial port as the port devices hold it: a device object whose extension is the port.
struct FakePort {
    DEVICE_OBJECT device{};
    AsyncPort port{};
    FakePort(ULONG com)
    {
        device.DeviceType = FILE_DEVICE_SERIAL_PORT;
        device.DeviceExtension = &port;
        port.ComNumber = com;
    }
};

TEST_F(Mgmt, TheFramerRecordIsTheReplysWordMap)
{
    Bt8370& f = a->Framer[0];
    f.nNumResets = 3;
    f.bMaster = 1;
    f.nL1UpReports = 5;
    f.nL1DownReports = 2;
    f.bIntSelect = 1;
    f.InterruptBadIRR = 9;
    f.bL1Hold = 1;
    for (ULONG i = 0; i < 8; i++) {
        f.CounterError[i] = 100 + i;
        f.CounterOverflow[i] = 200 + i;
        f.Alarm1[i] = {300 + i, 310 + i, 320 + i, 1};
        f.Alarm2[i] = {400 + i, 410 + i, 420 + i, 1};
    }
    f.CounterTimer.nTSIG = 500;
    f.CounterTimer.nRFRAME = 507;
    f.CounterPattern[0] = 600;  // ISR0 bit 0x20
    f.CounterPattern[5] = 605;  // ISR0 bit 0x01, TFERR
    f.bL1Machine = 1;
    f.nL1State = 0xF3;
    f.nL1LastEvent = 5;
    Record rec(0, 4, {0});
    ASSERT_EQ(send(rec), 0u);
    ASSERT_EQ(rec.h().Segment[1].Length, ULONG(BD_FRAMER_IMAGE_WORDS * 4));
    struct Word {
        ULONG index, value;
    } words[] = {
        {BD_FRAMER_W_LINE, 0},
        {BD_FRAMER_W_MODE, f.nMode},
        {BD_FRAMER_W_PRESENT, 1},
        {BD_FRAMER_W_USED, 1},
        {BD_FRAMER_W_PROTOTYPE, f.nDeviceCode},
        {BD_FRAMER_W_STATE, f.nState},
        {BD_FRAMER_W_INT_SELECT, 1},
        {BD_FRAMER_W_REG_IMAGE, 0},
        {BD_FRAMER_W_MASTER, 1},
        {BD_FRAMER_W_BAD_IRR, 9},
        {BD_FRAMER_W_RESETS, 3},
        {BD_FRAMER_W_INBAND, f.bRbsMode},
        {BD_FRAMER_W_L1_UP, f.bL1Up},
        {BD_FRAMER_W_PH_ACTIVATE, 5},
        {BD_FRAMER_W_PH_DEACTIVATE, 2},
        {BD_FRAMER_W_L1_HOLD, 1},
        {BD_FRAMER_W_COUNTERS, 100},
        {BD_FRAMER_W_COUNTERS + 7, 107},
        {BD_FRAMER_W_OVERFLOWS, 200},
        {BD_FRAMER_W_OVERFLOWS + 7, 207},
        // Trackers as the dump page reads them: RMYEL 117-119, RLOF 141-143, LOOPDN
        // 149-151, ONESEC 177.
        {117, 300},
        {118, 310},
        {119, 320},
        {120, 1},
        {141, 306},
        {142, 316},
        {143, 326},
        {149, 400},
        {151, 420},
        {177, 407},
        {180, 1},
        {181, 500},  // TSIG
        {188, 507},  // RFRAME
        {189, 600},
        {194, 605},  // TFERR
        {BD_FRAMER_W_L1_MACHINE, 1},
        {BD_FRAMER_W_L1_STATE, 0xF3},
        {BD_FRAMER_W_L1_EVENT, 5},
    };
    for (const auto& w : words) EXPECT_EQ(rec.seg_word(1, w.index), w.value) << "word " << w.index;
    EXPECT_EQ(f.nMode & 1, 1u) << "the default line is T1";
    // The base is the framer's bus address: inside one of the two register windows.
    ULONG base = rec.seg_word(1, BD_FRAMER_W_BASE);
    EXPECT_TRUE((base >= a->PhysicalAddressBAR0 && base < a->PhysicalAddressBAR0 + REGISTER_WINDOW_SIZE) ||
                (base >= a->PhysicalAddressBAR1 && base < a->PhysicalAddressBAR1 + REGISTER_WINDOW_SIZE))
        << std::hex << base;
    // Nothing else: every word outside the map is 0.
    ULONG others = 0;
    for (ULONG i = 0; i < BD_FRAMER_IMAGE_WORDS; i++) {
        bool mapped = i >= BD_FRAMER_W_COUNTERS && i <= BD_FRAMER_W_TLOF;
        for (const auto& w : words) mapped |= w.index == i;
        if (!mapped && i != BD_FRAMER_W_BASE) others += rec.seg_word(1, i) != 0;
    }
    EXPECT_EQ(others, 0u);
}

// A loss of frame on the line, through the framer's interrupt: the record the pages read
// counts the loss and the recovery, and the transmit alarm held meanwhile.
TEST_F(Mgmt, TheFramerRecordCarriesTheAlarmsCountedOnTheLine)
{
    auto read = [&](Record& rec) { ASSERT_EQ(send(rec), 0u); };
    constexpr ULONG kRlof = BD_FRAMER_W_ALARM1 + 6 * BD_FRAMER_TRACKER_WORDS;  // ISR7 bit 0x02
    r.host.run_for(plat::ms(2000));  // the framer's interrupts are on once its background runs
    ASSERT_EQ(a->Framer[0].nState, (ULONG)SYNCHRONIZED_ON);
    r.boards[0]->line(0).take_down();
    r.host.run_for(plat::ms(1));
    Record down(0, 4, {0});
    read(down);
    EXPECT_EQ(down.seg_word(1, kRlof), 1u) << "loss";
    EXPECT_EQ(down.seg_word(1, kRlof + 3), 1u) << "state";
    EXPECT_EQ(down.seg_word(1, BD_FRAMER_W_TLOF), 1u);
    EXPECT_EQ(down.seg_word(1, BD_FRAMER_W_OVERFLOWS), 1u) << "the loss-of-frame counter";
    r.host.run_for(plat::ms(50));
    r.boards[0]->line(0).bring_up();
    r.host.run_for(plat::ms(50));
    Record up(0, 4, {0});
    read(up);
    EXPECT_EQ(up.seg_word(1, kRlof), 1u);
    EXPECT_EQ(up.seg_word(1, kRlof + 1), 1u) << "recovery";
    EXPECT_EQ(up.seg_word(1, kRlof + 2), 0u) << "no repeat";
    EXPECT_EQ(up.seg_word(1, kRlof + 3), 0u);
    EXPECT_EQ(up.seg_word(1, BD_FRAMER_W_TLOF), 0u) << "released 20 ms after the framing came back";
    EXPECT_EQ(up.seg_word(1, BD_FRAMER_W_PRESENT), 1u);
    EXPECT_EQ(up.seg_word(1, BD_FRAMER_W_USED), 1u);

    // Clearing the line's statistics clears them in the record too.
    Record clear(1, 2, {0});
    read(clear);
    Record after(0, 4, {0});
    read(after);
    EXPECT_EQ(after.seg_word(1, kRlof), 0u);
    EXPECT_EQ(after.seg_word(1, kRlof + 1), 0u);
}

// Re-configuring a line runs the framer's whole configuration again. The mode the
// request carries only picks the T1 default (0x9B); any other value leaves the line
// type and framing to the line's parameters.
TEST_F(Mgmt, ConfiguringALineTakesTheFramingFromTheLinesParameters)
{
    r.host.run_for(plat::ms(2000));
    sim::Framer* model = r.boards[0]->framer(0);
    a->LineMode[0] = 1;  // E1, FAS CRC
    a->FramingFormat[0] = 4;
    const struct {
        ULONG mode, nMode;
        uint8_t pcr0;
    } cases[] = {
        {9, 0x08, 0x08},     // the test page's SF: the parameters' E1 FAS CRC
        {0x1B, 0x08, 0x08},  // the test page's ESF
        {0x9B, 0x9B, 0x1B},  // the T1 default, whatever the parameters
        {0, 0x08, 0x08},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode);
        model->poke(BT_PCR0, 0xFF);
        a->Framer[0].StatisticsOn = 1;
        a->Framer[0].Alarm1[6].OnCount = 7;
        Record rec(4, 0, {0, c.mode});
        ASSERT_EQ(send(rec), 0u);
        EXPECT_EQ(a->Framer[0].nMode, c.nMode);
        EXPECT_EQ(model->peek(BT_PCR0), c.pcr0);
        EXPECT_EQ(model->peek(BT_IER(7)) & 0x02, 0x02) << "interrupts on again";
        EXPECT_EQ(a->Framer[0].Alarm1[6].OnCount, 0u) << "statistics cleared with the interrupts";
        Record back(0, 4, {0});
        ASSERT_EQ(send(back), 0u);
        EXPECT_EQ(back.h().Arg[1], c.nMode);
    }
    Record bad(4, 0, {a->NumberOfLines, 0x9B});
    EXPECT_EQ(send(bad), BP);
}

TEST_F(Mgmt, LinkMemoryComesFromTheLinksSlicesOfTheBoardsDataAreas)
{
    Link* l = &a->NdisWanInfo[0][5];  // idle: its slices are channel 5's
    const ULONG tx = l->TxPacketSize, rx = l->RxPacketSize;
    ASSERT_EQ(tx, 2048u);
    PUCHAR txa = a->SharedMem.TxBuffers.Virtual + 5 * 0x1000 + 1 * tx;
    PUCHAR rxa = a->SharedMem.RxBuffers.Virtual + 5 * 0x4000 + 3 * rx;
    for (ULONG i = 0; i < tx; i++) txa[i] = UCHAR(i * 7);
    for (ULONG i = 0; i < rx; i++) rxa[i] = UCHAR(i * 3 + 1);
    Record rec(0, 10, {0, 5, 1, 3});
    ASSERT_EQ(send(rec), 0u);
    ASSERT_EQ(rec.h().Segment[0].Length, tx);
    ASSERT_EQ(rec.h().Segment[1].Length, rx);
    EXPECT_EQ(std::memcmp(rec.bytes() + rec.h().Segment[0].Offset, txa, tx), 0);
    EXPECT_EQ(std::memcmp(rec.bytes() + rec.h().Segment[1].Offset, rxa, rx), 0);
    // Packets beyond the link's slice are refused.
    Record far(0, 10, {0, 5, 0x1000 / tx, 0});
    EXPECT_EQ(send(far), BI);
    Record farrx(0, 10, {0, 5, 0, 0x4000 / rx});
    EXPECT_EQ(send(farrx), BI);
}

TEST_F(Mgmt, GroupBuffersGlobalBlockAndMessageCountersCarryWhatTheAdapterHolds)
{
    Record buffers(0, 9, {0});
    ASSERT_EQ(send(buffers), 0u);
    EXPECT_EQ(buffers.h().Arg[1], 2u);
    EXPECT_EQ(buffers.h().Arg[2], 0x800u);
    EXPECT_EQ(buffers.h().Arg[3], 8u);
    EXPECT_EQ(buffers.h().Arg[4], 0x800u);
    ASSERT_EQ(buffers.h().Segment[0].Length, 0x300u);
    ASSERT_EQ(buffers.h().Segment[1].Length, 0xC00u);
    EXPECT_EQ(buffers.h().Segment[1].Offset, 0x54u + 0x300);
    EXPECT_EQ(std::memcmp(buffers.bytes() + 0x54, a->SharedMem.TxDescriptors.Virtual, 0x300), 0);
    EXPECT_EQ(std::memcmp(buffers.bytes() + 0x54 + 0x300, a->SharedMem.RxDescriptors.Virtual, 0xC00), 0);

    Record global(0, 12);
    ASSERT_EQ(send(global), 0u);
    ASSERT_EQ(global.h().Segment[0].Length, 0x156Cu);
    EXPECT_EQ(global.seg_word(0, 0), a->TimerResolution) << "the block begins at TimerResolution";

    Csm& c = a->Socket[1].Csms[1];
    c.InboundCounters[3] = 7;    // FIFODAT
    c.OutboundCounters[50] = 9;  // unknown codes
    Record counters(0, 47, {1, 1});
    ASSERT_EQ(send(counters), 0u);
    ASSERT_EQ(counters.h().Segment[0].Length, 51u * 4);
    ASSERT_EQ(counters.h().Segment[1].Offset, 0x54u + 51 * 4);
    EXPECT_EQ(counters.seg_word(0, 3), 7u);
    EXPECT_EQ(counters.seg_word(1, 50), 9u);
    EXPECT_EQ(counters.seg_word(1, 3), 0u);
}

TEST_F(Mgmt, LinkRingsGiveTheDescriptorsOfTheDChannelLink)
{
    Link* d = &a->NdisWanInfo[0][31];
    Record rec(0, 41, {0, 31});
    ASSERT_EQ(send(rec), 0u);
    EXPECT_EQ(rec.h().Arg[2], d->TxPacketSize);
    EXPECT_EQ(rec.h().Arg[3], d->NumTxPackets);
    EXPECT_EQ(rec.h().Arg[4], d->RxPacketSize);
    EXPECT_EQ(rec.h().Arg[5], d->RxMsgPerCh);
    ASSERT_EQ(rec.h().Segment[1].Length, 12 * d->RxMsgPerCh);
    // Each receive descriptor's buffer word names a buffer in the group's receive area.
    const ULONG lo = a->SharedMem.RxBuffers.Physical, hi = lo + SHARED_RX_BUF_SIZE;
    for (ULONG i = 0; i < d->RxMsgPerCh; i++) {
        ULONG buffer = rec.seg_word(1, 3 * i + 1);
        EXPECT_TRUE(buffer >= lo && buffer < hi) << "descriptor " << i << std::hex << " buffer " << buffer;
        ULONG status;
        std::memcpy(&status, d->RxPackets[i].Descriptor, 4);
        EXPECT_EQ(rec.seg_word(1, 3 * i), status);
    }
}

TEST_F(Mgmt, StackBlocksComeFromTheLinesStack)
{
    Record trace(0, 35, {0, 0});
    ASSERT_EQ(send(trace), 0u);
    const ULONG size = trace.h().Arg[2], per = trace.h().Arg[4];
    ASSERT_GT(size * per, 0u);
    EXPECT_EQ(trace.h().Segment[3].Offset, 0x54u) << "the only segment of the reply";
    EXPECT_EQ(trace.h().Segment[3].Length, size * per);
    // The first entry of the first block is a trace record: its type is 1 to 15.
    UCHAR type = trace.bytes()[0x54];
    EXPECT_GE(type, 1);
    EXPECT_LE(type, 15);

    Record block(0, 36, {0});
    ASSERT_EQ(send(block), 0u);
    EXPECT_EQ(block.h().Segment[1].Offset, 0x54u);
    EXPECT_EQ(block.h().Segment[1].Length, 13u * 4) << "the stack's 13 counters";

    // Arg1 counters per channel, for all 32 channels: the page reads channel c's
    // counter t at word Arg1 * (c - 1) + t.
    Record stats(0, 37, {0});
    ASSERT_EQ(send(stats), 0u);
    EXPECT_EQ(stats.h().Segment[2].Offset, 0x54u);
    EXPECT_EQ(stats.h().Arg[1], 24u);
    EXPECT_EQ(stats.h().Segment[2].Length, 32 * stats.h().Arg[1] * 4);
}

TEST_F(Mgmt, LoopBackTablesAreStoredAndTheLoopBackSetUpReadsThem)
{
    Record rec(4, 4, {0});
    rec.h().Segment[0] = {0x200, 0x54};
    rec.h().Segment[2] = {0x40, 0x54 + 0x200};  // too short: BP after the tables
    for (ULONG s = 0; s < 128; s++) {
        LONG v = s == 9 ? 4 : s == 17 ? 6 : -1;
        std::memcpy(rec.bytes() + 0x54 + 4 * s, &v, 4);
    }
    EXPECT_EQ(send(rec), BP);
    for (ULONG s = 0; s < 128; s++) {
        LONG want = s == 9 ? 4 : s == 17 ? 6 : -1;
        ASSERT_EQ(a->Bt847x.TxTimeslotAssign[0][s], want) << s;
        ASSERT_EQ(a->Bt847x.RxTimeslotAssign[0][s], want) << s;
    }
    // Slot 9 loops link 4, slot 17 link 6: both maps of the descriptor area carry them.
    auto rx_byte = [&](ULONG slot) { return a->SharedMem.GroupAreas.Virtual[BT847X_AREA_RX_TSMAP + slot]; };
    auto tx_byte = [&](ULONG slot) { return a->SharedMem.GroupAreas.Virtual[BT847X_AREA_TX_TSMAP + slot]; };
    EXPECT_EQ(rx_byte(9), 0x84);
    EXPECT_EQ(tx_byte(9), 0x84);
    EXPECT_EQ(rx_byte(17), 0x86);
}

TEST_F(Mgmt, APendingResetOrModeChangeIsNeverOverwrittenByACommand)
{
    Pump& p = pump(0, 0, 2);
    for (ULONG pending : {ULONG(Host_Ev_Reset_Requested), ULONG(Host_Ev_EnterNtwrkMdmMode)}) {
        SCOPED_TRACE(pending);
        p.PumpEvent = pending;
        Record at(5, 5, {0, 0, 2, 0});
        at.payload(0, "ATZ");
        EXPECT_EQ(send(at), BI);
        EXPECT_EQ(p.PumpEvent, pending);
        EXPECT_EQ(p.AtCommandLength, 0u);

        USHORT index = p.CmdChan.OutCmdIndex;
        Record cmd(5, 8, {0, 0, 2, 0x12, 1, 2});
        cmd.payload(0, "xy");
        EXPECT_EQ(send(cmd), BACKDOOR_STATUS_REFUSED);
        EXPECT_EQ(p.PumpEvent, pending);
        EXPECT_EQ(p.CmdChan.OutCmdIndex, index);

        Record in(10, 0, {0, 0, 2});
        in.payload(0, "data");
        p.ThisLink = &a->NdisWanInfo[0][8];
        EXPECT_EQ(send(in), BACKDOOR_STATUS_REFUSED);
        EXPECT_EQ(p.PumpEvent, pending);
        p.ThisLink = nullptr;
    }
    // A command still waiting is replaced by the next command.
    p.PumpEvent = Host_Ev_Cmd;
    Record cmd(5, 8, {0, 0, 2, 0x12, 1, 2});
    cmd.payload(0, "xy");
    EXPECT_EQ(send(cmd), BACKDOOR_STATUS_PENDING);
    EXPECT_EQ(p.CmdChan.OutCmdClass, 0x1200u);
}

TEST_F(Mgmt, PumpDataMovesThroughTheLinksTwoBuffers)
{
    Pump& p = pump(1, 0, 1);
    Link* l = &a->NdisWanInfo[0][12];
    p.ThisLink = l;
    p.PumpEvent = Pump_Ev_None;
    std::string in(136, 0);
    for (size_t i = 0; i < in.size(); i++) in[i] = char(i + 1);
    Record rec(10, 0, {1, 0, 1});
    rec.payload(0, in, 0x100);
    ASSERT_EQ(send(rec), 0u);
    EXPECT_EQ(p.PumpEvent, 33u);
    EXPECT_EQ(std::memcmp(l->PumpDataIn, in.data(), 136), 0);
    Record again(10, 0, {1, 0, 1});
    again.payload(0, "later");
    EXPECT_EQ(send(again), BACKDOOR_STATUS_REFUSED) << "event 33 still waits";
    EXPECT_EQ(l->PumpDataIn[0], 1);

    for (ULONG i = 0; i < 136; i++) l->PumpDataOut[i] = UCHAR(0xF0 ^ i);
    Record out(11, 0, {1, 0, 1});
    ASSERT_EQ(send(out), 0u);
    ASSERT_EQ(out.h().Segment[0].Length, 136u);
    ASSERT_EQ(out.h().Segment[0].Offset, 0x54u);
    EXPECT_EQ(std::memcmp(out.bytes() + 0x54, l->PumpDataOut, 136), 0);
    Record shortbuf(11, 0, {1, 0, 1});
    shortbuf.h().BufferLength = 0xDB;
    EXPECT_EQ(send(shortbuf), BP);
    EXPECT_EQ(shortbuf.h().ReplyLength, 0xDCu);
    p.ThisLink = nullptr;
    p.PumpEvent = Pump_Ev_None;
}

TEST_F(Mgmt, PortMonitorIsCopiedFromTheSerialPortThatOwnsTheLink)
{
    Pump& p = pump(0, 1, 1);
    ULONG state = a->Socket[0].Csms[1].State;
    a->Socket[0].Csms[1].State = CSM_RUNNING;  // a dead processor's pumps carry no items
    Link* l = &a->NdisWanInfo[0][10];
    FakePort port(7);
    for (ULONG i = 0; i < SER_MONITOR_RING_SIZE; i++) port.port.DataMonitor.Ring[i] = UCHAR(i * 5);
    port.port.DataMonitor.WriteIndex = 44;
    port.port.DataMonitor.WrapCount = 2;
    p.ThisLink = l;
    l->ThisPump = &p;
    ULONG owner = l->CurrentOwner;
    l->CurrentOwner = OWNER_VOVIZ4EZ;
    Record none(12, 3, {0, 1, 1});
    EXPECT_EQ(send(none), 0u) << "no port yet: nothing copied";
    l->ThisAsyncPort = &port.device;
    Record rec(12, 3, {0, 1, 1});
    ASSERT_EQ(send(rec), 0u);
    ASSERT_EQ(rec.h().Segment[0].Length, 0x208u);
    EXPECT_EQ(std::memcmp(rec.bytes() + 0x54, &port.port.DataMonitor, 0x208), 0);
    EXPECT_EQ(rec.seg_word(0, 0), 44u);

    // The snapshot names the port's COM number as the pump's line.
    Record snap(0, 100, {0});
    ASSERT_EQ(send(snap), 0u);
    std::vector<uint32_t> w(snap.h().Segment[0].Length / 4);
    std::memcpy(w.data(), snap.bytes() + 0x54, w.size() * 4);
    bool named = false;
    for (size_t i = 0; i + 2 < w.size(); i++) named |= w[i] == BD_SNAPSHOT_TAG_LINE_ID && w[i + 1] == 1 && w[i + 2] == 7;
    EXPECT_TRUE(named);

    l->ThisAsyncPort = nullptr;
    l->CurrentOwner = owner;
    l->ThisPump = nullptr;
    p.ThisLink = nullptr;
    a->Socket[0].Csms[1].State = state;
}

// The contract of the status snapshot: entry k is channel k of the line, read with the
// shared reply layouts as the applet reads it, whatever the system bus mode.
TEST_F(Mgmt, SnapshotEntriesAreLineChannelsAsTheAppletReadsThem)
{
    ASSERT_EQ(a->SystemBusMode[0], 2u) << "channel v is bus time slot 4v";
    ISDN_STACK* s = (ISDN_STACK*)a->ThisSgnlStack[0];
    ASSERT_EQ(s->Calls[5].Channel, 5);
    Link* l = &a->NdisWanInfo[0][4];
    Pump& p = pump(1, 1, 2);  // modem (1 * 2 + 1) * 3 + 2 + 1 = 12
    ULONG state = a->Socket[1].Csms[1].State;
    a->Socket[1].Csms[1].State = CSM_RUNNING;
    l->ThisBChannel = &s->Calls[5];
    l->ThisPump = &p;
    p.ThisLink = l;
    ULONG owner = l->CurrentOwner;
    l->CurrentOwner = OWNER_TELEPHONY_SUBSYSTEM;
    a->DeviceIDBase = 100;

    Record snap(0, 100, {0});
    ASSERT_EQ(send(snap), 0u);
    std::vector<uint32_t> w(snap.h().Segment[0].Length / 4);
    std::memcpy(w.data(), snap.bytes() + 0x54, w.size() * 4);
    BD_SNAPSHOT parsed;
    ASSERT_TRUE(BdSnapshotParseChannels(w.data(), uint32_t(w.size()), &parsed));
    for (ULONG k = 0; k < BD_SNAPSHOT_CHANNELS; k++) EXPECT_EQ(parsed.Channel[k].HasModem, k == 5 ? 1u : 0u) << k;
    EXPECT_EQ(parsed.Channel[5].Pump, 2u);
    EXPECT_EQ(parsed.Channel[5].Processor, 1u);
    EXPECT_EQ(parsed.Channel[5].Socket, 1u);
    EXPECT_EQ(BdSnapshotModemNumber(&parsed.Channel[5]), 12);
    // The pump's own entry names its link's channel and TAPI line.
    bool found = false;
    for (size_t i = 0; i + 5 < w.size(); i++)
        if (w[i] == BD_SNAPSHOT_TAG_LINE_ID && w[i + 1] == 1 && w[i + 2] == 4 + 1 + 100 &&
            w[i + 3] == BD_SNAPSHOT_TAG_TIMESLOT && w[i + 4] == 1 && w[i + 5] == 5)
            found = true;
    EXPECT_TRUE(found);

    l->CurrentOwner = owner;
    l->ThisBChannel = nullptr;
    l->ThisPump = nullptr;
    p.ThisLink = nullptr;
    a->Socket[1].Csms[1].State = state;
}

TEST_F(Mgmt, StoppingEveryLinkOfAGroupSparesTheDChannel)
{
    Link* d = &a->NdisWanInfo[0][31];
    d->ChannelState = CHANNEL_STATE_ACTIVE;
    Record rec(3, 0, {0, 0xFFFFFFFF});
    ASSERT_EQ(send(rec), 0u);
    EXPECT_EQ(d->TransferTerminated, 0);
    EXPECT_EQ(d->ChannelState, ULONG(CHANNEL_STATE_ACTIVE)) << "the D channel was not touched";
    EXPECT_EQ(a->NdisWanInfo[0][3].TransferTerminated, 1);
}

// The same board with line 0 run by another signalling protocol.
class MgmtProtocol : public Mgmt, public ::testing::WithParamInterface<ULONG> {
public:
    void configure() override { r.host.registry.set_dword(r.parameters_key(1), "SignallingProtocol_0", GetParam()); }
};

TEST_P(MgmtProtocol, PortStatusAndSnapshotFollowTheLinesProtocol)
{
    Record port(0, 26, {0});
    Record snap(0, 100, {0});
    if (GetParam() == 6) {
        EXPECT_EQ(send(port), BI) << "a leased line has no port status";
        EXPECT_EQ(send(snap), BI);
        return;
    }
    ASSERT_EQ(send(port), 0u);
    ASSERT_EQ(send(snap), 0u);
    EXPECT_EQ(snap.seg_word(0, 0), GetParam());
    // The shared layouts read both forms up to the sockets' part.
    std::vector<uint32_t> words(snap.h().Segment[0].Length / 4);
    std::memcpy(words.data(), snap.bytes() + 0x54, words.size() * 4);
    BD_SNAPSHOT parsed;
    uint32_t next = 0;
    ASSERT_TRUE(BdSnapshotParseChannels(words.data(), uint32_t(words.size()), &parsed, &next));
    EXPECT_EQ(next, GetParam() == 0 ? 3u + 32 : 3u + 64);
    EXPECT_EQ(words[next], a->Socket[0].ModuleID);
    for (ULONG k = 0; k < 32; k++) EXPECT_FALSE(parsed.Channel[k].HasModem);
    ULONG sockets = 0;
    for (ULONG k = 0; k < a->SocketsPerGroup[0]; k++) {
        const DimmSocket& s = a->Socket[k];
        sockets += 2;
        for (ULONG c = 0; c < s.ProcessorCount; c++) sockets += s.Csms[c].PumpCount;
    }
    // Port status: head, 32 channel words, the sockets' words; no tags anywhere.
    EXPECT_EQ(port.h().Segment[0].Length, 4 * (3 + 32 + sockets));
    Record rbs(0, 27, {0});
    if (GetParam() != 0) {
        EXPECT_EQ(send(rbs), BI) << "only a robbed-bit line has the record";
    } else {
        // Channel 5's A-bit traces as the stack keeps them: two received runs, one sent
        // run, three states.
        auto* stack = static_cast<RBS_STACK*>(a->ThisSgnlStack[0]);
        RBS_CHANNEL& ch = stack->Channel[5];
        const USHORT rx[] = {RBS_HISTORY_VALID | RBS_HISTORY_BIT | 12, RBS_HISTORY_VALID | 3};
        const USHORT tx[] = {RBS_HISTORY_VALID | 40};
        const USHORT st[] = {RBS_HISTORY_VALID | 2, RBS_HISTORY_VALID | 16, RBS_HISTORY_VALID | 18};
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        for (ULONG k = 4; k <= 6; k++) {
            RBS_CHANNEL& c = stack->Channel[k];
            std::memset(c.RxHistory, 0, sizeof c.RxHistory);
            std::memset(c.TxHistory, 0, sizeof c.TxHistory);
            std::memset(c.StateHistory, 0, sizeof c.StateHistory);
        }
        std::memcpy(ch.RxHistory, rx, sizeof rx);
        std::memcpy(ch.TxHistory, tx, sizeof tx);
        std::memcpy(ch.StateHistory, st, sizeof st);
        ch.RxHistory[31] = RBS_HISTORY_VALID | 7;  // the last entry lands in the high half
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        ASSERT_EQ(send(rbs), 0u);
        std::vector<uint32_t> w(BD_RBS_RECORD_WORDS);
        std::memcpy(w.data(), rbs.bytes() + rbs.h().Segment[0].Offset, w.size() * 4);
        EXPECT_EQ(BdRbsTraceEntry(w.data(), 5, BD_RBS_TRACE_RX, 0), rx[0]);
        EXPECT_EQ(BdRbsTraceEntry(w.data(), 5, BD_RBS_TRACE_RX, 1), rx[1]);
        EXPECT_EQ(BdRbsTraceEntry(w.data(), 5, BD_RBS_TRACE_RX, 2), 0u) << "the trace ends here";
        EXPECT_EQ(BdRbsTraceEntry(w.data(), 5, BD_RBS_TRACE_RX, 31), RBS_HISTORY_VALID | 7);
        EXPECT_EQ(BdRbsTraceEntry(w.data(), 5, BD_RBS_TRACE_TX, 0), tx[0]);
        for (ULONG i = 0; i < 3; i++) EXPECT_EQ(BdRbsTraceEntry(w.data(), 5, BD_RBS_TRACE_STATE, i), st[i]) << i;
        EXPECT_EQ(BdRbsTraceEntry(w.data(), 4, BD_RBS_TRACE_RX, 0), 0u) << "channel 4 has no trace";
        EXPECT_EQ(BdRbsTraceEntry(w.data(), 6, BD_RBS_TRACE_RX, 0), 0u);
        ASSERT_EQ(rbs.h().Segment[0].Length, ULONG(BD_RBS_RECORD_WORDS * 4));
        EXPECT_EQ(rbs.seg_word(0, BD_RBS_W_GROUP), 0u);
        EXPECT_EQ(rbs.seg_word(0, BD_RBS_W_STACK_SIZE), a->SgnlStackSize[0]);
        EXPECT_GE(rbs.seg_word(0, BD_RBS_W_MONITORING), 3u);
        EXPECT_LE(rbs.seg_word(0, BD_RBS_W_MONITORING), 5u);
        EXPECT_GT(rbs.seg_word(0, BD_RBS_W_PERIOD), 0u);
        EXPECT_EQ(rbs.seg_word(0, BD_RBS_W_DIRECTION), a->NetworkSide[0] ? 3u : 4u);
        EXPECT_GE(rbs.seg_word(0, BD_RBS_W_STATUS), 4u);
        EXPECT_LE(rbs.seg_word(0, BD_RBS_W_STATUS), 6u);
        for (ULONG c = 1; c <= 24; c++) {
            ULONG at = BD_RBS_W_CHANNELS + c * BD_RBS_CHANNEL_WORDS;
            EXPECT_GE(rbs.seg_word(0, at + BD_RBS_CH_STATE), 2u) << c;
            EXPECT_LE(rbs.seg_word(0, at + BD_RBS_CH_STATE), 20u) << c;
            EXPECT_LE(rbs.seg_word(0, at + BD_RBS_CH_PROTOCOL), 7u) << c;
        }
    }
    if (GetParam() == 0) {
        // Robbed bit: the 32 channel words carry no per-channel tags or terminators.
        EXPECT_EQ(snap.seg_word(0, 2), a->LineUp[0] ? 4u : 1u);
        EXPECT_EQ(snap.seg_word(0, 3 + 32), a->Socket[0].ModuleID);
    } else {
        EXPECT_EQ(snap.seg_word(0, 3 + 1), 0u) << "channel 0's terminator";
        EXPECT_EQ(snap.seg_word(0, 3 + 64), a->Socket[0].ModuleID);
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, MgmtProtocol, ::testing::Values(0u, 1u, 6u));

}  // namespace

// The packet rings on a running adapter: geometry, the receive walk and where its frames
// go, the transmit scan, loop-back verification, and recovery. The controller's side of
// the descriptors is played by hand on a channel the controller model never activated.
#include "driver/Common/RSS_PKTH.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "driver/Common/Bt847x.h"
#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "sim/board/hdlc.h"
#include "tools/harness/rig.h"

namespace {

std::vector<std::vector<uint8_t>> g_put_frames;
BOOLEAN RecordPutFrame(PVOID, PUCHAR Frame, ULONG Length)
{
    g_put_frames.emplace_back(Frame, Frame + Length);
    return TRUE;
}

class PktTest : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    sim::Card* card = nullptr;
    Link* link = nullptr;  // group 0, Link 5: HDLC channel 5, never activated in the model
    std::deque<NDIS_WAN_PACKET> packets;
    UCHAR payload[4096];

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        ASSERT_EQ(r.load_driver(), 0);
        card = &r.add_board_for(1, 4);
        a = rig::Rig::driver_adapter(na = r.initialize(1));
        ASSERT_NE(a, nullptr);
        r.host.run_for(plat::ms(300));
        ASSERT_EQ(a->BringUpCompleted, 1);
        g_put_frames.clear();
        a->SgnlProtocolOps[0].PutFrame = RecordPutFrame;
        link = &a->NdisWanInfo[0][5];
        for (size_t i = 0; i < sizeof payload; i++) payload[i] = UCHAR(i * 7);
        locked([&] {
            link->ChannelState = CHANNEL_STATE_ACTIVE;
            SetLinkBufferGeometry(link);
            InitChTxPackets(link);
            InitChRxPackets(link);
        });
    }
    void TearDown() override
    {
        r.host.ndis().on_receive = nullptr;
        r.host.ndis().on_send_complete = nullptr;
        if (na) r.halt(na);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    void locked(const std::function<void()>& fn) { rig::with_adapter_lock(a, fn); }
    BT847X_DESCR* rxd(ULONG i) { return (BT847X_DESCR*)link->RxPackets[i].Descriptor; }
    BT847X_DESCR* txd(ULONG i) { return (BT847X_DESCR*)link->TxPackets[i].Descriptor; }
    PUCHAR buffer(BT847X_DESCR* d) { return a->SharedMemoryVirtual + (d->Buffer - a->SharedMemoryPhysical.u.LowPart); }
    // The controller fills receive descriptor i.
    void arrive(ULONG i, const std::vector<uint8_t>& frame, ULONG code = 0, ULONG extra = 0)
    {
        std::memcpy(buffer(rxd(i)), frame.data(), frame.size());
        rxd(i)->Status = BT847X_DESCR_OWNER | code << 16 | extra | ULONG(frame.size());
    }
    // The controller sends every transmit descriptor it owns, from entry 0.
    std::vector<std::vector<uint8_t>> transmit()
    {
        std::vector<std::vector<uint8_t>> out;
        for (ULONG i = 0; i < link->NumTxPackets; i++) {
            BT847X_DESCR* d = txd(i);
            if (!(d->Status & BT847X_DESCR_OWNER)) continue;
            out.emplace_back(buffer(d), buffer(d) + (d->Status & BT847X_DESCR_LEN_MASK));
            d->Status &= ~BT847X_DESCR_OWNER;
        }
        return out;
    }
    NDIS_STATUS send(ULONG length)
    {
        packets.emplace_back();
        NDIS_WAN_PACKET& p = packets.back();
        std::memset(&p, 0, sizeof p);
        p.CurrentBuffer = payload;
        p.CurrentLength = length;
        return r.host.ndis().send(na, link->LinkHandle, &p);
    }
    BOOLEAN rx() { BOOLEAN b; locked([&] { b = RxBackGround(link); }); return b; }
    BOOLEAN tx() { BOOLEAN b; locked([&] { b = TxBackGround(link); PktCompleteSends(a); }); return b; }
    size_t timers(ULONG key)
    {
        size_t n = 0;
        for (ULONG i = 0; i < a->AdapterTimerPool.Count; i++) {
            const TmrEntry& e = a->AdapterTimerPool.Entries[i];
            if (e.Callback != NULL && e.Key1 == (ULONG_PTR)link && e.Key2 == key) n++;
        }
        return n;
    }
};

TEST_F(PktTest, GeometryFollowsTheLinkKind)
{
    struct Case {
        const char* name;
        UCHAR dchannel;
        ULONG owner;
        ULONG protocol;
        ULONG tx_size, tx_count, rx_size, rx_count;
    } cases[] = {
        {"D channel, even on RTP", 1, OWNER_SIGNALLING_STACK, 1, 2048, 2, 2048, 8},
        {"serial port keeps its own", 0, OWNER_VOVIZ4EZ, 1, 2046, 2, 2048, 8},
        {"serial port, other number", 0, OWNER_VOVIZ4EZ_ALT, 0, 2046, 2, 2048, 8},
        {"RTP", 0, OWNER_TELEPHONY_SUBSYSTEM, 1, 512, 8, 512, 32},
        {"V.42", 0, OWNER_TELEPHONY_SUBSYSTEM, 0, 2048, 2, 2048, 8},
        {"V.120", 0, OWNER_NONE, 2, 2048, 2, 2048, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Link l{};
        l.IsDChannelLink = c.dchannel;
        l.CurrentOwner = c.owner;
        l.ChannelProtocol = c.protocol;
        l.TxPacketSize = 2046, l.NumTxPackets = 2, l.RxPacketSize = 2048, l.RxMsgPerCh = 8;  // what a port wrote
        SetLinkBufferGeometry(&l);
        EXPECT_EQ(l.TxPacketSize, c.tx_size);
        EXPECT_EQ(l.NumTxPackets, c.tx_count);
        EXPECT_EQ(l.RxPacketSize, c.rx_size);
        EXPECT_EQ(l.RxMsgPerCh, c.rx_count);
        EXPECT_LE(l.TxPacketSize * l.NumTxPackets, 4096u);
        EXPECT_LE(l.RxPacketSize * l.RxMsgPerCh, 16384u);
    }
}

TEST_F(PktTest, RingsAreBoundToTheChannelsDescriptors)
{
    locked([&] {
        link->ChannelProtocol = 1;
        SetLinkBufferGeometry(link);
        Bt847xSetupChannelMsgDescr(&a->Bt847x, 0, 5, 8, 512, 32, 512);
        InitChTxPackets(link);
        InitChRxPackets(link);
    });
    for (ULONG i = 0; i < 8; i++) {
        EXPECT_EQ(link->TxPackets[i].Index, i);
        EXPECT_EQ(link->TxPackets[i].Descriptor, Bt847xTxDescr(&a->Bt847x, 0, 5, i));
    }
    for (ULONG i = 0; i < 32; i++) EXPECT_EQ(link->RxPackets[i].Descriptor, Bt847xRxDescr(&a->Bt847x, 0, 5, i));
    PULONG msg = (PULONG)(a->SharedMem.GroupAreas.Virtual + BT847X_AREA_TX_MSG + 4 * 5);
    EXPECT_EQ(*msg, a->SharedMem.TxDescriptors.Physical + 5 * 96) << "the channel starts at its first descriptor";
    // The receive frame of entry 3 is read where the controller wrote it.
    arrive(3, {1, 2, 3});
    for (ULONG i = 0; i < 3; i++) arrive(i, {9});
    rx();
    EXPECT_EQ(link->RxPackets[3].Data, buffer(rxd(3)));
    EXPECT_EQ(link->ReadRxPacketIdx, 4u);
}

TEST_F(PktTest, ReceiveWalkStopsAtTheFirstDescriptorTheControllerStillHolds)
{
    link->IsDChannelLink = 1;  // frames go to the line's stack
    arrive(0, {0xA0});
    arrive(1, {0xA1, 0x01});
    arrive(3, {0xA3});  // beyond a hole: not taken this pass
    rx();
    ASSERT_EQ(g_put_frames.size(), 2u);
    EXPECT_EQ(g_put_frames[1], (std::vector<uint8_t>{0xA1, 0x01}));
    EXPECT_EQ(link->ReadRxPacketIdx, 2u);
    EXPECT_EQ(rxd(0)->Status, 2048u) << "handed back with the buffer size";
    EXPECT_EQ(rxd(3)->Status & BT847X_DESCR_OWNER, BT847X_DESCR_OWNER);
    arrive(2, {0xA2});
    rx();
    ASSERT_EQ(g_put_frames.size(), 4u);
    EXPECT_EQ(g_put_frames[3], (std::vector<uint8_t>{0xA3}));
    EXPECT_EQ(link->Stats.RxGoodFrames, 4u);
    EXPECT_EQ(link->Stats.RxFramesDelivered, 4u);
    EXPECT_EQ(link->Stats.RxByteCount, 5u);
    // A wrap: eight more frames take the walk round the ring of eight once per pass.
    for (ULONG i = 0; i < 8; i++) arrive((4 + i) % 8, {UCHAR(i)});
    rx();
    EXPECT_EQ(g_put_frames.size(), 12u);
    EXPECT_EQ(link->ReadRxPacketIdx, 4u);
}

TEST_F(PktTest, GoodFramesGoToTheStackNdisOrTheLoopBackCheckByState)
{
    const std::vector<uint8_t> msg = {'H', 'E', 'L', 'L', 'O'};
    struct Case {
        const char* name;
        std::function<void()> setup;
        size_t stack, ndis;
        ULONG delivered, matched, mismatched;
    };
    const Case cases[] = {
        {"D channel to the line's stack", [&] { link->IsDChannelLink = 1; }, 1, 0, 1, 0, 0},
        {"data Link with an NDIS link to NDIS", [&] { link->NdisLinkContext = 0x5150; }, 0, 1, 1, 0, 0},
        {"data Link without NDIS link dropped", [] {}, 0, 0, 1, 0, 0},
        {"inbound back-to-back compared", [&] { link->InboundBackToBack = 1, link->LoopBackVerify = 1; }, 0, 0, 1, 1, 0},
        {"back-to-back with an NDIS link is impossible: dropped",
         [&] { link->InboundBackToBack = 1, link->NdisLinkContext = 0x5150; }, 0, 0, 1, 0, 0},
        {"loop-back test compared, not delivered",
         [&] { link->ChannelState = CHANNEL_STATE_LOOPBACK, link->LoopBackVerify = 1; }, 0, 0, 0, 1, 0},
        {"loop-back test without verify", [&] { link->ChannelState = CHANNEL_STATE_LOOPBACK; }, 0, 0, 0, 0, 0},
        {"a state that cannot be: dropped", [&] { link->ChannelState = 7; }, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_put_frames.clear();
        size_t receives = na->receives.size();
        locked([&] {
            link->IsDChannelLink = 0, link->NdisLinkContext = 0, link->InboundBackToBack = 0, link->LoopBackVerify = 0;
            link->ChannelState = CHANNEL_STATE_ACTIVE;
            InitChRxPackets(link);
            ClearLinkStatistics(link);
            link->LoopBackMode = 0, link->LoopBackMessageLength = ULONG(msg.size()), link->LoopBackRxOffset = 0;
            std::memcpy(link->LoopBackMessage, msg.data(), msg.size());
            c.setup();
        });
        arrive(0, msg);
        rx();
        EXPECT_EQ(g_put_frames.size(), c.stack);
        ASSERT_EQ(na->receives.size() - receives, c.ndis);
        if (c.ndis) {
            EXPECT_EQ(na->receives.back().link_context, 0x5150u);
            EXPECT_EQ(na->receives.back().data, msg);
        }
        EXPECT_EQ(link->Stats.RxFramesDelivered, c.delivered);
        EXPECT_EQ(link->Stats.RxLpbMatched, c.matched);
        EXPECT_EQ(link->Stats.RxLpbMismatched, c.mismatched);
        EXPECT_EQ(link->ReadRxPacketIdx, 1u) << "recycled and passed in every case";
        EXPECT_EQ(rxd(0)->Status & BT847X_DESCR_OWNER, 0u);
    }
}

TEST_F(PktTest, ReceiveErrorsAreCountedAndNeverReadPastTheBuffer)
{
    link->NdisLinkContext = 0x77;
    struct Case {
        ULONG code;
        ULONG LINK_STATS::*counter;
    } cases[] = {
        {1, &LINK_STATS::RxBufferErrors}, {2, &LINK_STATS::RxCofaErrors},  {8, &LINK_STATS::RxOofErrors},
        {9, &LINK_STATS::RxFcsErrors},    {10, &LINK_STATS::RxAlignErrors}, {11, &LINK_STATS::RxAbortFrames},
        {12, &LINK_STATS::RxLongFrames},  {5, &LINK_STATS::RxOtherErrors},  {14, &LINK_STATS::RxOtherErrors},
    };
    ULONG i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ULONG before = link->Stats.*c.counter;
        CHAR offset = link->LoopBackRxOffset;
        arrive(i % 8, {1, 2, 3}, c.code);
        rx();
        EXPECT_EQ(link->Stats.*c.counter, before + 1);
        EXPECT_EQ(link->LoopBackRxOffset, (offset + 1) % 8) << "a lost frame keeps the rotation in step";
        i++;
    }
    EXPECT_EQ(link->Stats.RxGoodFrames, 0u);
    EXPECT_EQ(link->Stats.RxFramesDelivered, 0u);
    EXPECT_TRUE(na->receives.empty());

    // A "good" status whose DLEN is beyond the 2048-byte buffer is a long frame, not read.
    rxd(i % 8)->Status = BT847X_DESCR_OWNER | 0x3FFF;
    rx();
    EXPECT_EQ(link->Stats.RxLongFrames, 2u);
    EXPECT_TRUE(na->receives.empty());

    // Saturation: counters at the top stay there; the byte count takes no partial sum.
    link->Stats.RxGoodFrames = 0xFFFFFFFF;
    link->Stats.RxByteCount = 0xFFFFFFFE;
    arrive((i + 1) % 8, {1, 2, 3});
    rx();
    EXPECT_EQ(link->Stats.RxGoodFrames, 0xFFFFFFFFu);
    EXPECT_EQ(link->Stats.RxByteCount, 0xFFFFFFFFu);
}

TEST_F(PktTest, IdleLinkFreesItsTimersAndTouchesNoDescriptor)
{
    link->ChannelState = CHANNEL_STATE_IDLE;
    arrive(0, {1});
    ULONG status = rxd(0)->Status;
    EXPECT_TRUE(rx());
    EXPECT_TRUE(tx());
    EXPECT_EQ(rxd(0)->Status, status);
    EXPECT_EQ(link->ReadRxPacketIdx, 0u);
}

TEST_F(PktTest, AnEntryInFlightBlocksTheTransmitScan)
{
    link->NdisLinkContext = 0x42;
    ASSERT_EQ(send(100), NDIS_STATUS_PENDING);
    tx();  // entry 0 handed over; the empty entry 1 passed over: the scan is back at entry 0
    ASSERT_TRUE(link->TxPackets[0].InFlight);
    EXPECT_EQ(link->DriverWriteTxPacketIdx, 0u);
    // Entry 0 in flight and still the controller's; entry 1 queued: nothing is handed over.
    ASSERT_EQ(send(50), NDIS_STATUS_PENDING);
    ULONG attempts = link->Stats2.TxAttempts;
    tx();
    EXPECT_EQ(txd(1)->Status & BT847X_DESCR_OWNER, 0u);
    EXPECT_EQ(link->DriverWriteTxPacketIdx, 0u);
    EXPECT_EQ(link->Stats2.TxAttempts, attempts) << "no entry examined";
    // The controller sends entry 0: it is completed, then entry 1 goes.
    auto sent = transmit();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], std::vector<uint8_t>(payload, payload + 100));
    tx();
    ASSERT_EQ(na->send_completions.size(), 1u);
    EXPECT_EQ(na->send_completions[0].packet, &packets[0]);
    EXPECT_EQ(na->send_completions[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(txd(1)->Status & BT847X_DESCR_OWNER, BT847X_DESCR_OWNER);
    EXPECT_EQ(link->Stats.TxByteCount, 100u);
    EXPECT_EQ(link->Stats.NumSendCompleteInd, 1u);
    EXPECT_EQ(LinkTxRingOccupancy(link), 1u);
    // An idle scan passes over empty entries.
    transmit();
    tx();
    tx();
    EXPECT_EQ(na->send_completions.size(), 2u);
    EXPECT_EQ(LinkTxRingOccupancy(link), 0u);
}

TEST_F(PktTest, DChannelFramesAreNeverCompletedToNdis)
{
    link->IsDChannelLink = 1;
    link->NdisLinkContext = 0x42;  // even so
    UCHAR frame[] = {3, 0x02, 0x01, 0x7F};
    locked([&] { ASSERT_TRUE(SendLy2Frame(link, (PVOID)0x1234, frame, 3)); });
    tx();
    auto sent = transmit();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (std::vector<uint8_t>{0x02, 0x01, 0x7F}));
    tx();
    EXPECT_TRUE(na->send_completions.empty());
    EXPECT_EQ(link->Stats.NumSendCompleteInd, 1u);
    locked([&] { EXPECT_FALSE(RSS_IsTxQueueFull(link)); });
}

TEST_F(PktTest, AFrameLongerThanTheBuffersIsNotCopiedAndIsCompletedAsFailed)
{
    locked([&] {
        link->ChannelProtocol = 1;  // RTP: 8 buffers of 512 bytes
        SetLinkBufferGeometry(link);
        Bt847xSetupChannelMsgDescr(&a->Bt847x, 0, 5, 8, 512, 32, 512);
        InitChTxPackets(link);
    });
    EXPECT_EQ(send(513), NDIS_STATUS_FAILURE) << "the send handler refuses it";
    // Should one reach the ring all the same, the copy refuses it.
    PUCHAR next = buffer(txd(1));
    std::memset(next, 0xEE, 512);
    packets.emplace_back();
    NDIS_WAN_PACKET* p = &packets.back();
    locked([&] {
        LinkTxRingNoteQueued(link);
        TX_PACKET* e = &link->TxPackets[0];
        e->Packet = p, e->Data = payload, e->Length = 600;
        link->WriteTxPacketIdx = 1;
    });
    tx();
    EXPECT_EQ(txd(0)->Status & BT847X_DESCR_OWNER, 0u);
    EXPECT_EQ(next[0], 0xEE);
    EXPECT_EQ(next[511], 0xEE);
    ASSERT_EQ(na->send_completions.size(), 1u);
    EXPECT_EQ(na->send_completions[0].packet, p);
    EXPECT_EQ(na->send_completions[0].status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(LinkTxRingOccupancy(link), 0u);
}

TEST_F(PktTest, ACleanLoopVerifiesEveryFrameInBothMessageModes)
{
    struct Case {
        const char* name;
        ULONG mode;
        ULONG length;
    } cases[] = {{"fixed message", 0, 37}, {"counting words", 7, 64}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        locked([&] {
            link->LoopBackMode = c.mode;
            link->LoopBackMessageLength = c.length;
            for (ULONG i = 0; i < LOOPBACK_MESSAGE_SIZE; i++) link->LoopBackMessage[i] = UCHAR('A' + i % 26);
            link->LoopBackTxOffset = link->LoopBackRxOffset = 0;
            link->LoopBackTxWordCount = link->LoopBackRxWordCount = 1000;
            link->LoopBackVerify = 1;
            ClearLinkStatistics(link);
            InitChTxPackets(link);
            InitChRxPackets(link);
            ClearChTxPackets(link);
            link->ChannelState = CHANNEL_STATE_LOOPBACK;
        });
        // The channel looped: what goes out comes back, 20 rounds of the two entries.
        ULONG next_rx = 0;
        for (int round = 0; round < 20; round++) {
            for (const auto& f : transmit()) arrive(next_rx++ % 8, f);
            rx();
            tx();
        }
        EXPECT_GE(link->Stats.RxLpbMatched, 38u);
        EXPECT_EQ(link->Stats.RxLpbMismatched, 0u);
        EXPECT_EQ(link->Stats.RxFramesDelivered, 0u);
        // The background queued as many frames as came back: the first two came from the
        // ring's clearing, the last two are still out.
        EXPECT_EQ(link->Stats.TxFramesQueued, link->Stats.RxLpbMatched);
    }
    // A frame of another length is a mismatch and the check stays in step.
    locked([&] { link->LoopBackMode = 0, link->LoopBackTxOffset = link->LoopBackRxOffset = 0; });
    locked([&] { InitChRxPackets(link); });
    arrive(0, {'A'});
    rx();
    EXPECT_EQ(link->Stats.RxLpbMismatched, 1u);
    EXPECT_EQ(link->LoopBackRxOffset, 1);
}

TEST_F(PktTest, TwoOverRunsBeforeTheAcknowledgementLeaveOneReceiveTimer)
{
    link->RxBackGroundWanted = 1;
    locked([&] { PktStartBackGround(link, LINK_TMR_RX_BACKGROUND); });
    ASSERT_EQ(timers(LINK_TMR_RX_BACKGROUND), 1u);
    arrive(0, {1});
    locked([&] {
        RxOverRunHdlr(link);
        RxOverRunHdlr(link);
    });
    EXPECT_EQ(timers(LINK_TMR_RX_BACKGROUND), 0u) << "stopped until the controller acknowledges";
    EXPECT_EQ(rxd(0)->Status & BT847X_DESCR_OWNER, 0u) << "every descriptor back to the controller";
    EXPECT_EQ(link->ReadRxPacketIdx, 0u);
    r.host.run_for(plat::ms(5));  // both re-activations acknowledged
    EXPECT_EQ(timers(LINK_TMR_RX_BACKGROUND), 1u);
    EXPECT_TRUE(card->hdlc().channel_active(false, 0, 5));
    // Starting again while one runs reloads it; stopping ends it even from inside its own pass.
    locked([&] { ReStartRxBackGround(link); });
    EXPECT_EQ(timers(LINK_TMR_RX_BACKGROUND), 1u);
}

TEST_F(PktTest, UnderRunResumesAtTheOldestUnsentFrame)
{
    locked([&] {
        link->ChannelProtocol = 1;
        SetLinkBufferGeometry(link);
        Bt847xSetupChannelMsgDescr(&a->Bt847x, 0, 5, 8, 512, 32, 512);
        InitChTxPackets(link);
    });
    link->NdisLinkContext = 0x42;
    for (int i = 0; i < 4; i++) ASSERT_EQ(send(10 + i), NDIS_STATUS_PENDING);
    tx();
    // The controller sent entry 0 and 1, then under-ran on entry 2.
    txd(0)->Status &= ~BT847X_DESCR_OWNER;
    txd(1)->Status &= ~BT847X_DESCR_OWNER;
    locked([&] { TxUnderRunHdlr(link); });
    PULONG msg = (PULONG)(a->SharedMem.GroupAreas.Virtual + BT847X_AREA_TX_MSG + 4 * 5);
    EXPECT_EQ(*msg, a->SharedMem.TxDescriptors.Physical + 5 * 96 + 2 * 12) << "the channel resumes at entry 2";
    EXPECT_EQ(txd(0)->Status & BT847X_DESCR_OWNER, 0u) << "sent frames are not sent again";
    EXPECT_EQ(txd(2)->Status & BT847X_DESCR_OWNER, BT847X_DESCR_OWNER);
    EXPECT_EQ(txd(3)->Status & BT847X_DESCR_OWNER, BT847X_DESCR_OWNER);
    tx();
    ASSERT_EQ(na->send_completions.size(), 2u);
    EXPECT_EQ(na->send_completions[1].packet, &packets[1]);
}

// A send from inside a receive indication, and a line-down from inside a send completion.
TEST_F(PktTest, UpcallsRunWithTheLockReleasedAndTheirChangesStopThePass)
{
    link->NdisLinkContext = 0x42;
    bool sent_inside = false;
    r.host.ndis().on_receive = [&](plat::ndis::Adapter&, const plat::ndis::Receive&) {
        if (!sent_inside) sent_inside = send(20) == NDIS_STATUS_PENDING;
    };
    arrive(0, {1});
    arrive(1, {2});
    rx();
    EXPECT_TRUE(sent_inside);
    EXPECT_EQ(na->receives.size(), 2u);
    EXPECT_EQ(link->Stats.TxFramesQueued, 1u);

    // The receive ring is rebuilt (an over-run) while a frame is being indicated: the pass
    // stops and leaves the new ring as it is, starting at its first entry.
    r.host.ndis().on_receive = [&](plat::ndis::Adapter&, const plat::ndis::Receive&) {
        locked([&] { InitChRxPackets(link); });
    };
    arrive(2, {3});
    arrive(3, {4});
    rx();
    EXPECT_EQ(na->receives.size(), 3u);
    EXPECT_EQ(link->ReadRxPacketIdx, 0u);
    EXPECT_EQ(rxd(2)->Status & BT847X_DESCR_OWNER, 0u);
    r.host.ndis().on_receive = nullptr;

    // The line goes down while the first completion is being indicated: the pass stops,
    // the rest goes back to NDIS once, as failed.
    ASSERT_EQ(send(30), NDIS_STATUS_PENDING);
    tx();
    transmit();
    r.host.ndis().on_send_complete = [&](plat::ndis::Adapter&, const plat::ndis::SendCompletion&) {
        locked([&] {
            link->NdisLinkContext = 0;
            link->ChannelState = CHANNEL_STATE_IDLE;
        });
    };
    EXPECT_TRUE(tx());
    ASSERT_EQ(na->send_completions.size(), 2u);
    EXPECT_EQ(na->send_completions[0].packet, &packets[0]);
    EXPECT_EQ(na->send_completions[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(na->send_completions[1].packet, &packets[1]);
    EXPECT_EQ(na->send_completions[1].status, NDIS_STATUS_SUCCESS) << "the controller had sent it";
    EXPECT_EQ(LinkTxRingOccupancy(link), 0u);
}

}  // namespace

namespace {

// NDIS gives the link a new context while a frame is being indicated: the pass stops,
// but the indicated frame's buffer goes back to the controller, so that it is neither
// stuck nor indicated a second time; the next pass goes on with the next frame.
TEST_F(PktTest, ALinkContextChangedDuringAnIndicationRecyclesTheIndicatedFrameOnce)
{
    link->NdisLinkContext = 0x42;
    int inside = 0;
    r.host.ndis().on_receive = [&](plat::ndis::Adapter&, const plat::ndis::Receive&) {
        if (inside++ == 0) link->NdisLinkContext = 0x43;
    };
    arrive(0, {1, 1});
    arrive(1, {2, 2});
    rx();
    ASSERT_EQ(na->receives.size(), 1u);
    EXPECT_EQ(link->ReadRxPacketIdx, 1u);
    EXPECT_EQ(rxd(0)->Status & BT847X_DESCR_OWNER, 0u) << "the indicated frame's buffer is given back";
    EXPECT_EQ(link->Stats.RxFramesDelivered, 1u);
    rx();
    ASSERT_EQ(na->receives.size(), 2u);
    EXPECT_EQ(na->receives[1].link_context, 0x43u);
    EXPECT_EQ(na->receives[1].data, (std::vector<uint8_t>{2, 2}));
    EXPECT_EQ(link->Stats.RxFramesDelivered, 2u);
    rx();
    EXPECT_EQ(na->receives.size(), 2u) << "no frame is indicated twice";
}

// A frame the controller finished while the Link is in a state no pass expects is
// still completed, once, and the later flush does not complete it again.
TEST_F(PktTest, ASentFrameReapedInAnUnexpectedStateIsCompletedExactlyOnce)
{
    ASSERT_EQ(send(40), NDIS_STATUS_PENDING);
    tx();
    ASSERT_EQ(transmit().size(), 1u);
    locked([&] { link->ChannelState = 3; });
    tx();
    ASSERT_EQ(na->send_completions.size(), 1u);
    EXPECT_EQ(na->send_completions[0].packet, &packets[0]);
    EXPECT_EQ(na->send_completions[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(LinkTxRingOccupancy(link), 0u);
    locked([&] { link->ChannelState = CHANNEL_STATE_IDLE; });
    tx();
    EXPECT_EQ(na->send_completions.size(), 1u);
}

}  // namespace

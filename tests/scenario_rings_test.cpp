// Frames through the packet rings on the simulated board: the D channel between the far
// end and the line's stack, a B channel between the far end and NDIS WAN, with the
// controller model under-running, a line-down inside an upcall, a rebuilt ring and an
// adapter reset. Every packet NDIS hands over comes back exactly once; no NDIS upcall is
// made with the adapter lock held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "driver/Common/Bt847x.h"
#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_PKTH.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "sim/board/hdlc.h"
#include "tools/harness/rig.h"

namespace {

using Frame = std::vector<uint8_t>;

std::vector<Frame> g_stack_frames;
BOOLEAN RecordPutFrame(PVOID, PUCHAR Data, ULONG Length)
{
    g_stack_frames.emplace_back(Data, Data + Length);
    return TRUE;
}

// The line's stack as call control will find it with a call up: the call object names
// its B channel.
SGNL_CONTROL g_stack_control;
ULONG CallControl(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    if (Kind == CTL_KIND_CALL && Id == CTL_CALL_CHANNEL && Object != NULL) return ULONG(uintptr_t(Object));
    return g_stack_control(Kind, Id, Object, Argument);
}

class RingsScenario : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    sim::Card* card = nullptr;
    std::vector<std::pair<uint32_t, Frame>> at_far_end;
    std::deque<NDIS_WAN_PACKET> packets;
    std::deque<Frame> payloads;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        r.host.registry.set_dword(r.parameters_key(1), "IrqStatistics", 1);  // an interrupt per frame
        card = &r.add_board_for(1, 4);
        card->line(0).on_frame_from_adapter([&](uint32_t m, const Frame& f) { at_far_end.push_back({m, f}); });
        ASSERT_EQ(r.load_driver(), 0);
        a = rig::Rig::driver_adapter(na = r.initialize(1));
        ASSERT_NE(a, nullptr);
        r.host.run_for(plat::ms(500));
        ASSERT_EQ(a->BringUpCompleted, 1);
        ASSERT_EQ(a->AdapterFailed, 0);
        g_stack_frames.clear();
        a->SgnlProtocolOps[0].PutFrame = RecordPutFrame;
        g_stack_control = a->SgnlProtocolOps[0].Control;
        a->SgnlProtocolOps[0].Control = CallControl;
    }
    void TearDown() override
    {
        r.host.ndis().on_receive = nullptr;
        r.host.ndis().on_send_complete = nullptr;
        if (na) r.halt(na);
        EXPECT_EQ(card->hdlc().stats().dma_faults, 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    void locked(const std::function<void()>& fn) { rig::with_adapter_lock(a, fn); }
    // Call control's part for a B-channel call on Link `index`: the call bound to B
    // channel `b`, the NDIS line up, the time slot switched in, the data path opened.
    Link* connect_b_channel(ULONG index, ULONG b)
    {
        Link* l = &a->NdisWanInfo[0][index];
        locked([&] {
            l->CurrentOwner = OWNER_TELEPHONY_SUBSYSTEM;
            l->ThisBChannel = (PVOID)uintptr_t(b);
            l->NdisLinkContext = 0x9000 + index;
            Bt847xAssignTimeslot(l, 2, 1);
            GoToConnectedState(l);
        });
        r.host.run_for(plat::ms(50));
        return l;
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
    // How often each packet that NDIS handed over came back, and with which statuses.
    std::map<PNDIS_WAN_PACKET, std::vector<NDIS_STATUS>> completions() const
    {
        std::map<PNDIS_WAN_PACKET, std::vector<NDIS_STATUS>> m;
        for (const auto& c : na->send_completions) m[c.packet].push_back(c.status);
        return m;
    }
    std::vector<Frame> far_frames(uint32_t mask) const
    {
        std::vector<Frame> out;
        for (const auto& [m, f] : at_far_end)
            if (m == mask) out.push_back(f);
        return out;
    }
};

TEST_F(RingsScenario, DChannelFramesTravelBetweenTheFarEndAndTheLinesStack)
{
    // Layer 1 up: the ISDN stack opens its D channel (T1: HDLC channel 24, line channel 24).
    Link* d = RSS_GetGroupLink31(a, 0);
    ASSERT_EQ(d->IsDChannelLink, 1);
    locked([&] { GoToConnectedState(d); });
    r.host.run_for(plat::ms(50));
    EXPECT_EQ(d->ChannelState, CHANNEL_STATE_ACTIVE);
    EXPECT_TRUE(card->hdlc().channel_active(false, 0, 24));
    EXPECT_TRUE(card->hdlc().channel_active(true, 0, 24));
    EXPECT_EQ(a->GroupCallStats[0].ConnectInd, 0u) << "the D channel is no call";

    // The network sends two frames: each reaches the stack once, in order.
    card->line(0).frame_to_adapter(1u << 24, {0x02, 0x01, 0x7F});
    card->line(0).frame_to_adapter(1u << 24, {0x02, 0x01, 0x01, 0x05});
    r.host.run_for(plat::ms(30));
    ASSERT_EQ(g_stack_frames.size(), 2u);
    EXPECT_EQ(g_stack_frames[0], (Frame{0x02, 0x01, 0x7F}));
    EXPECT_EQ(g_stack_frames[1], (Frame{0x02, 0x01, 0x01, 0x05}));
    EXPECT_EQ(d->RxEvents[EVENT_EOM], 2u) << "each arrival raised an interrupt";
    EXPECT_EQ(d->Stats.RxGoodFrames, 2u);

    // The stack answers: two frames fill the ring of two, a third waits for room.
    UCHAR ua[] = {3, 0x02, 0x01, 0x73};
    UCHAR rr[] = {4, 0x02, 0x01, 0x01, 0x02};
    locked([&] {
        EXPECT_TRUE(SendLy2Frame(d, (PVOID)1, ua, 3));
        EXPECT_TRUE(SendLy2Frame(d, (PVOID)1, rr, 4));
        EXPECT_TRUE(RSS_IsTxQueueFull(d));
        EXPECT_FALSE(SendLy2Frame(d, (PVOID)1, ua, 3));
    });
    r.host.run_for(plat::ms(30));
    auto out = far_frames(1u << 24);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], (Frame{0x02, 0x01, 0x73}));
    EXPECT_EQ(out[1], (Frame{0x02, 0x01, 0x01, 0x02}));
    locked([&] { EXPECT_FALSE(RSS_IsTxQueueFull(d)); });
    EXPECT_EQ(d->Stats.NumSendCompleteInd, 2u);
    EXPECT_TRUE(na->send_completions.empty()) << "stack frames are not NDIS's";
}

TEST_F(RingsScenario, BChannelFramesTravelBetweenTheFarEndAndNdis)
{
    Link* l = connect_b_channel(2, 3);  // B channel 3: HDLC channel 3, line channel 3
    ASSERT_EQ(GetLinkTimeslot(l), 3u);
    EXPECT_EQ(l->LinkCallStats.ConnectInd, 1u);
    EXPECT_EQ(l->LinkCallStats.Connect64K, 1u);
    EXPECT_EQ(a->GroupCallStats[0].Connect64K, 1u);

    card->line(0).frame_to_adapter(1u << 3, {0xFF, 0x03, 0xC0, 0x21, 0x01});
    r.host.run_for(plat::ms(30));
    ASSERT_EQ(na->receives.size(), 1u);
    EXPECT_EQ(na->receives[0].link_context, 0x9002u);
    EXPECT_EQ(na->receives[0].data, (Frame{0xFF, 0x03, 0xC0, 0x21, 0x01}));
    EXPECT_EQ(na->receive_completes, 1u);

    ASSERT_EQ(send(l, {0xFF, 0x03, 0x00, 0x21, 0x45}), NDIS_STATUS_PENDING);
    ASSERT_EQ(send(l, Frame(1500, 0x5A)), NDIS_STATUS_PENDING);
    EXPECT_EQ(send(l, {1}), NDIS_STATUS_RESOURCES) << "a ring of two";
    r.host.run_for(plat::ms(40));
    auto out = far_frames(1u << 3);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], payloads[0]);
    EXPECT_EQ(out[1], payloads[1]);
    auto done = completions();
    ASSERT_EQ(done.size(), 2u) << "the refused one was answered at once, never completed";
    EXPECT_EQ(done[&packets[0]], std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    EXPECT_EQ(done[&packets[1]], std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    EXPECT_EQ(l->Stats.TxByteCount, 1505u);
}

TEST_F(RingsScenario, AfterAnUnderRunEveryFrameGoesOutOnceAndInOrder)
{
    Link* l = connect_b_channel(2, 3);
    card->hdlc().knobs.underruns = 1;  // the first frame under-runs
    ASSERT_EQ(send(l, {0x11}), NDIS_STATUS_PENDING);
    ASSERT_EQ(send(l, {0x22, 0x22}), NDIS_STATUS_PENDING);
    r.host.run_for(plat::ms(60));
    EXPECT_EQ(card->hdlc().stats().underruns, 1u);
    EXPECT_EQ(far_frames(1u << 3), (std::vector<Frame>{{0x11}, {0x22, 0x22}}));
    ASSERT_EQ(send(l, {0x33}), NDIS_STATUS_PENDING);
    r.host.run_for(plat::ms(30));
    EXPECT_EQ(far_frames(1u << 3), (std::vector<Frame>{{0x11}, {0x22, 0x22}, {0x33}}));
    for (auto& [p, s] : completions()) EXPECT_EQ(s, std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    EXPECT_EQ(completions().size(), 3u);
    EXPECT_TRUE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_TX_BACKGROUND));
}

TEST_F(RingsScenario, NdisMaySendOrDropTheLineFromInsideAnUpcall)
{
    Link* l = connect_b_channel(2, 3);
    // NDISWAN answers every received frame from inside the indication.
    r.host.ndis().on_receive = [&](plat::ndis::Adapter&, const plat::ndis::Receive& rx) {
        Frame echo = rx.data;
        echo.push_back(0xEE);
        EXPECT_EQ(send(l, echo), NDIS_STATUS_PENDING);
    };
    card->line(0).frame_to_adapter(1u << 3, {0x01, 0x02});
    r.host.run_for(plat::ms(40));
    EXPECT_EQ(far_frames(1u << 3), (std::vector<Frame>{{0x01, 0x02, 0xEE}}));
    r.host.ndis().on_receive = nullptr;

    // The line goes down while the first of two completions is being indicated.
    r.host.ndis().on_send_complete = [&](plat::ndis::Adapter&, const plat::ndis::SendCompletion&) {
        locked([&] {
            l->NdisLinkContext = 0;
            l->ChannelState = CHANNEL_STATE_IDLE;
        });
    };
    ASSERT_EQ(send(l, {0xA1}), NDIS_STATUS_PENDING);
    ASSERT_EQ(send(l, {0xA2}), NDIS_STATUS_PENDING);
    r.host.run_for(plat::ms(60));
    auto done = completions();
    EXPECT_EQ(done.size(), packets.size());
    for (auto& [p, s] : done) EXPECT_EQ(s.size(), 1u) << "exactly once";
    EXPECT_EQ(LinkTxRingOccupancy(l), 0u);
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_TX_BACKGROUND));
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_RX_BACKGROUND));
}

TEST_F(RingsScenario, PacketsOfARebuiltRingOrAResetAdapterComeBackOnce)
{
    Link* l = connect_b_channel(2, 3);
    // Queued but not yet handed to the controller when the data path is opened again.
    ASSERT_EQ(send(l, {0xB1}), NDIS_STATUS_PENDING);
    ASSERT_EQ(send(l, {0xB2}), NDIS_STATUS_PENDING);
    locked([&] { GoToConnectedState(l); });
    r.host.run_for(plat::ms(50));
    auto done = completions();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[&packets[0]], std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
    EXPECT_EQ(done[&packets[1]], std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
    EXPECT_TRUE(far_frames(1u << 3).empty());
    // The rebuilt path carries the next frame.
    ASSERT_EQ(send(l, {0xB3}), NDIS_STATUS_PENDING);
    r.host.run_for(plat::ms(30));
    EXPECT_EQ(far_frames(1u << 3), (std::vector<Frame>{{0xB3}}));

    // A reset while a frame is queued: the reset gives it back.
    ASSERT_EQ(send(l, {0xB4}), NDIS_STATUS_PENDING);
    a->AdapterFailed = 1;
    EXPECT_EQ(r.host.ndis().reset(na), NDIS_STATUS_SUCCESS);
    r.host.run_for(plat::ms(500));
    done = completions();
    EXPECT_EQ(done.size(), 4u);
    EXPECT_EQ(done[&packets[3]], std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
    for (auto& [p, s] : done) EXPECT_EQ(s.size(), 1u) << "exactly once";
}

}  // namespace

namespace {

// Nine frames arrive at once into a receive ring of eight: the controller stops the
// channel on the ninth and reports the over-run; the driver rebuilds the ring and
// re-activates the channel, and the next frame is delivered, once.
TEST_F(RingsScenario, AReceiveOverRunRebuildsTheRingAndTheNextFrameIsDelivered)
{
    Link* l = connect_b_channel(2, 3);
    ASSERT_EQ(l->RxMsgPerCh, 8u);
    for (uint8_t i = 1; i <= 9; i++) card->line(0).frame_to_adapter(1u << 3, {0xFF, 0x03, i});
    r.host.run_for(plat::ms(50));
    EXPECT_EQ(card->hdlc().stats().overruns, 1u);
    EXPECT_TRUE(card->hdlc().channel_active(false, 0, 3)) << "re-activated";
    EXPECT_EQ(l->RxEvents[HDLC_CNT_ERROR(IRQERROR_ONR)], 1u);
    size_t before = na->receives.size();
    EXPECT_LE(before, 8u);
    for (size_t i = 0; i < before; i++) EXPECT_NE(na->receives[i].data.back(), 9) << "the ninth frame was lost";

    card->line(0).frame_to_adapter(1u << 3, {0xFF, 0x03, 10});
    r.host.run_for(plat::ms(50));
    ASSERT_EQ(na->receives.size(), before + 1);
    EXPECT_EQ(na->receives.back().data, (Frame{0xFF, 0x03, 10}));
    EXPECT_EQ(card->hdlc().stats().overruns, 1u);
}

}  // namespace

namespace {

// A call cleared and the next one connected on the same channel while an earlier service
// request's acknowledgement is lost: the new call's activation waits behind it, and the
// receiver left running by the old call must not write where the rebuilt ring's reader
// does not look. Frames come up once, unchanged and in order; none of the old call's.
TEST_F(RingsScenario, ANewCallOnAChannelWhoseReceiverStillRunsGetsItsFramesInOrder)
{
    Link* l = connect_b_channel(2, 3);
    for (uint8_t i = 1; i <= 3; i++) card->line(0).frame_to_adapter(1u << 3, {0xFF, 0x03, i});
    r.host.run_for(plat::ms(30));
    ASSERT_EQ(na->receives.size(), 3u);
    na->receives.clear();
    locked([&] { RSS_Disconnect(l, TERMINATE_TRANSFER); });
    r.host.run_for(plat::ms(30));

    // The request ahead of the new call's is executed, its acknowledgement never written.
    card->hdlc().knobs.lose_acks = 1;
    locked([&] {
        ASSERT_TRUE(Bt847xRequestService(&a->Bt847x, BT847X_SRQ_OP(BT847X_OP_NOP) | BT847X_SRQ_TRANSMIT, 0, NULL, NULL));
    });
    connect_b_channel(2, 3);
    uint8_t n = 10;
    for (int i = 0; i < 3; i++) card->line(0).frame_to_adapter(1u << 3, {0xFF, 0x03, n++});
    r.host.run_for(plat::ms(700));  // the fallback acknowledges and the chain goes on
    ASSERT_TRUE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_TX_BACKGROUND));
    ASSERT_EQ(card->hdlc().stats().acks_lost, 1u);
    const uint8_t open = n;
    for (int round = 0; round < 6; round++) {
        for (int i = 0; i < 3; i++) card->line(0).frame_to_adapter(1u << 3, {0xFF, 0x03, n++});
        r.host.run_for(plat::ms(30));
    }
    EXPECT_EQ(card->hdlc().stats().overruns, 0u);
    std::vector<uint8_t> got;
    for (const auto& rx : na->receives) {
        ASSERT_EQ(rx.data.size(), 3u);
        EXPECT_EQ(rx.data[0], 0xFF);
        EXPECT_EQ(rx.data[1], 0x03);
        got.push_back(rx.data[2]);
    }
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end())) << "out of order";
    EXPECT_EQ(std::adjacent_find(got.begin(), got.end()), got.end()) << "a frame twice";
    for (uint8_t v : got) EXPECT_GE(v, 10) << "a frame of the old call";
    std::vector<uint8_t> opened;
    for (uint8_t v : got)
        if (v >= open) opened.push_back(v);
    EXPECT_EQ(opened.size(), size_t(n - open)) << "every frame after the path opened arrives";
}

}  // namespace

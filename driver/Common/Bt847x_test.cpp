// The HDLC controller driver on the simulated board: bring-up with its reset retries,
// the service-request ring, the interrupt queue, channel and time-slot operations.
// Checked against the controller model's write log and execution log.
#include "driver/Common/Bt847x.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_init.h"
#include "sim/board/hdlc.h"
#include "tools/harness/rig.h"

namespace {

using H = sim::HdlcController;

class Bt847xTest : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    sim::Card* card = nullptr;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        ASSERT_EQ(r.load_driver(), 0);
        card = &r.add_board_for(1, 4);
    }
    void TearDown() override
    {
        if (na) r.halt(na);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    H& model() { return card->hdlc(); }
    void start() { a = rig::Rig::driver_adapter(na = r.initialize(1)); }
    void up()
    {
        start();
        ASSERT_NE(a, nullptr);
        r.host.run_for(plat::ms(300));
        ASSERT_EQ(a->BringUpCompleted, 1) << "data interface up";
        ASSERT_EQ(a->AdapterFailed, 0);
    }
    void locked(const std::function<void()>& fn) { rig::with_adapter_lock(a, fn); }
    // Service-request words written to the controller, in order, from the write log.
    std::vector<uint32_t> srq_writes(size_t from = 0)
    {
        std::vector<uint32_t> out;
        const auto& w = model().writes();
        for (size_t i = from; i < w.size(); i++)
            if (w[i].offset % H::kGroupWindow == H::kRegSrq) out.push_back(w[i].value);
        return out;
    }
};

// ---- bring-up ----

TEST(Bt847xBringUp, ResetRetriesUntilTheClocksComeOrFailsAfterThree)
{
    struct Case {
        const char* name;
        uint32_t resets_before_clocks;
        bool never;
        ULONG resets;
        bool up;
    } cases[] = {
        {"clocks at once", 0, false, 1, true},
        {"clocks after the second reset", 2, false, 2, true},
        {"clocks never come", 0, true, 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rig::Rig rr;
        std::string e;
        ASSERT_TRUE(rr.load_config(rig::kDefaultConfig, &e)) << e;
        ASSERT_EQ(rr.load_driver(), 0);
        sim::Card& cd = rr.add_board_for(1, 4);
        cd.hdlc().knobs.resets_before_clocks = c.resets_before_clocks;
        cd.hdlc().knobs.clocks_never = c.never;
        plat::ndis::Adapter* n = rr.initialize(1);
        Adapter* ad = rig::Rig::driver_adapter(n);
        ASSERT_NE(ad, nullptr);
        rr.host.run_for(plat::ms(300));
        EXPECT_EQ(ad->Bt847x.NumResets, c.resets);
        EXPECT_EQ(ad->AdapterFailed, c.up ? 0 : 1);
        EXPECT_EQ(ad->BringUpCompleted, c.up ? 1 : 0);
        // Soft resets 20 ms apart.
        std::vector<plat::VTime> resets;
        for (const auto& w : cd.hdlc().writes())
            if (w.offset == H::kRegSrq && w.value == 0x100) resets.push_back(w.time);
        ASSERT_EQ(resets.size(), c.resets);
        for (size_t i = 1; i < resets.size(); i++) EXPECT_EQ(resets[i] - resets[i - 1], plat::ms(20));
        if (c.up) {
            // Global init, then group init of group 0 in both directions, then the closing no-op.
            std::vector<uint32_t> ops;
            for (const auto& q : cd.hdlc().executed()) ops.push_back(q.word);
            EXPECT_EQ(ops, (std::vector<uint32_t>{0x400, 0x500, 0x520, 0x020}));
            EXPECT_TRUE(cd.irq_enabled());
        }
        rr.halt(n);
        for (const auto& v : rr.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
}

TEST_F(Bt847xTest, GroupAreaAndDescriptorsAreLaidOutForTheController)
{
    up();
    PULONG area = (PULONG)a->SharedMem.GroupAreas.Virtual;
    EXPECT_EQ(area[BT847X_AREA_INTQ_ADDR / 4], a->SharedMem.IntQueue.Physical);
    EXPECT_EQ(area[BT847X_AREA_INTQ_LEN / 4] & 0x7FFF, 0x3FFu);
    EXPECT_EQ(area[BT847X_AREA_PORT_CFG / 4] & 7, 3u) << "T1 on system bus mode 2";
    EXPECT_EQ(area[BT847X_AREA_GROUP_CFG / 4], 0x4C7u) << "bit 5 cleared again before the group init";
    EXPECT_EQ(area[BT847X_AREA_GLOBAL_CFG / 4], 0x7F70u);
    ULONG cfg = area[(BT847X_AREA_RX_CHCFG + 4 * 7) / 4];
    EXPECT_EQ(cfg, 0x80000000u | 7u << 24 | (a->BChProtocol[0] & 7) << 12 | 0x3Fu << 3 | 4u);
    // Channel 7's rings: 2 transmit and 8 receive descriptors of 2048 bytes, each a ring.
    BT847X_DESCR* tx = Bt847xTxDescr(&a->Bt847x, 0, 7, 0);
    BT847X_DESCR* rx = Bt847xRxDescr(&a->Bt847x, 0, 7, 0);
    EXPECT_EQ(area[(BT847X_AREA_TX_MSG + 4 * 7) / 4], a->SharedMem.TxDescriptors.Physical + 7 * 96);
    EXPECT_EQ(tx[0].Status, BT847X_DESCR_FRESH_TX);
    EXPECT_EQ(tx[1].Buffer, a->SharedMem.TxBuffers.Physical + 7 * 0x1000 + 2048);
    EXPECT_EQ(tx[1].Next, a->SharedMem.TxDescriptors.Physical + 7 * 96);
    EXPECT_EQ(rx[7].Status, 2048u);
    EXPECT_EQ(rx[7].Next, a->SharedMem.RxDescriptors.Physical + 7 * 384);
    // The D channel's slot (T1: channel 24 at slot 96) went live with the group init.
    EXPECT_EQ(model().map_byte(false, 0, 96), 0x80 | 24);
    EXPECT_EQ(model().map_byte(true, 0, 96), 0x80 | 24);

    locked([&] {
        EXPECT_FALSE(Bt847xSetupChannelMsgDescr(&a->Bt847x, 0, 7, 9, 256, 8, 2048)) << "9 transmit descriptors";
        EXPECT_FALSE(Bt847xSetupChannelMsgDescr(&a->Bt847x, 0, 7, 2, 2048, 32, 2048)) << "64 KiB of receive buffers";
        EXPECT_TRUE(Bt847xSetupChannelMsgDescr(&a->Bt847x, 0, 7, 8, 512, 32, 512));
    });
    EXPECT_EQ(rx[31].Buffer, a->SharedMem.RxBuffers.Physical + 7 * 0x4000 + 31 * 512);
    EXPECT_EQ(rx[31].Next, a->SharedMem.RxDescriptors.Physical + 7 * 384);
}

// ---- service-request ring ----

std::vector<int> g_completions;
Bt847xDevice* g_device;
void Note1(PVOID) { g_completions.push_back(1); }
void Note2(PVOID) { g_completions.push_back(2); }
void NoteAndQueue(PVOID)
{
    g_completions.push_back(3);
    Bt847xRequestService(g_device, 0x800 | 9, 0, Note1, NULL);
}

TEST_F(Bt847xTest, RingKeepsIssueOrderAndARequestQueuedInACompletionGoesBehind)
{
    up();
    g_completions.clear();
    g_device = &a->Bt847x;
    size_t mark = model().writes().size();
    locked([&] {
        EXPECT_TRUE(Bt847xRequestService(&a->Bt847x, 0x800 | 3, 0, NoteAndQueue, NULL));
        EXPECT_TRUE(Bt847xRequestService(&a->Bt847x, 0x820 | 4, 0, Note2, NULL));
    });
    EXPECT_EQ(srq_writes(mark), (std::vector<uint32_t>{0x803})) << "the second waits for the first acknowledge";
    r.host.run_for(plat::ms(5));
    EXPECT_EQ(srq_writes(mark), (std::vector<uint32_t>{0x803, 0x824, 0x809}));
    EXPECT_EQ(g_completions, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(a->Bt847x.SrvReqCount, 0u);

    // Alone in the ring, the request a completion queues is written by that acknowledge.
    mark = model().writes().size();
    g_completions.clear();
    locked([&] { Bt847xRequestService(&a->Bt847x, 0x900 | 3, 0, NoteAndQueue, NULL); });
    r.host.run_for(plat::ms(5));
    EXPECT_EQ(srq_writes(mark), (std::vector<uint32_t>{0x903, 0x809}));
    EXPECT_EQ(g_completions, (std::vector<int>{3, 1}));

    // An acknowledge with an empty ring changes nothing.
    ULONG read = a->Bt847x.SrvReqReadIdx;
    locked([&] { Bt847xEventSACKhdlr(&a->Bt847x); });
    EXPECT_EQ(a->Bt847x.SrvReqReadIdx, read);
    EXPECT_EQ(a->Bt847x.SrvReqCount, 0u);
}

TEST_F(Bt847xTest, FullRingRefusesAndKeepsWhatItHolds)
{
    up();
    model().knobs.lose_acks = 1000;  // nothing is ever acknowledged
    locked([&] {
        for (ULONG i = 0; i < BT847X_SRV_REQ_ENTRIES; i++)
            ASSERT_TRUE(Bt847xRequestService(&a->Bt847x, 0x800 | (i & 31), 0, NULL, NULL));
        EXPECT_FALSE(Bt847xRequestService(&a->Bt847x, 0x900, 0, Note1, NULL));
        EXPECT_FALSE(Bt847xRequestService(&a->Bt847x, 0x800, 3, NULL, NULL)) << "no group 3 on this board";
    });
    EXPECT_EQ(a->Bt847x.SrvReqCount, 512u);
    EXPECT_EQ(a->Bt847x.SrvReqRefused, 2u);
    EXPECT_EQ(a->Bt847x.SrvReq[a->Bt847x.SrvReqReadIdx].Srq, 0x800u) << "the oldest is not overwritten";
    model().knobs.lose_acks = 0;
}

// Call control's fallback retires a request whose acknowledgement is late; when that
// acknowledgement arrives it must not retire the request after it.
TEST_F(Bt847xTest, LateAcknowledgementAfterTheFallbackDoesNotRetireTheNextRequest)
{
    // A leased line: no signalling stack asks the controller for anything meanwhile.
    r.host.registry.set_dword(r.parameters_key(1), "SignallingProtocol_0", 6);
    up();
    ASSERT_EQ(a->Bt847x.SrvReqCount, 0u);
    g_completions.clear();
    model().knobs.ack_delay = plat::ms(600);
    locked([&] {
        Bt847xRequestService(&a->Bt847x, 0x800 | 5, 0, Note1, NULL);         // receive on, channel 5
        Bt847xRequestService(&a->Bt847x, 0x800 | 0x20 | 5, 0, Note2, NULL);  // then transmit on
    });
    r.host.run_for(plat::ms(500));
    locked([&] { Bt847xEventSACKhdlr(&a->Bt847x); });  // the 500 ms fallback
    EXPECT_EQ(g_completions, (std::vector<int>{1}));
    EXPECT_EQ(a->Bt847x.SrvReqCount, 1u);
    r.host.run_for(plat::ms(150));  // the late acknowledgement of the first request
    EXPECT_EQ(a->Bt847x.LateSacks, 1u);
    EXPECT_EQ(a->Bt847x.SrvReqCount, 1u) << "the transmit request still waits for its own";
    EXPECT_EQ(g_completions, (std::vector<int>{1}));
    r.host.run_for(plat::ms(700));
    EXPECT_EQ(g_completions, (std::vector<int>{1, 2}));
    EXPECT_EQ(a->Bt847x.SrvReqCount, 0u);

    // A lost acknowledgement: the owed one never comes, the next request's own retires it.
    model().knobs.ack_delay = 20;
    model().knobs.lose_acks = 1;
    locked([&] {
        Bt847xRequestService(&a->Bt847x, 0x900 | 5, 0, Note1, NULL);
        Bt847xRequestService(&a->Bt847x, 0x900 | 6, 0, Note2, NULL);
        Bt847xEventSACKhdlr(&a->Bt847x);
    });
    r.host.run_for(plat::ms(5));
    EXPECT_EQ(a->Bt847x.SrvReqCount, 0u);
    EXPECT_EQ(a->Bt847x.OwedSackCount, 0u);
}

// ---- interrupt queue ----

uint32_t rx_event(uint32_t channel, uint32_t event, uint32_t error = 0)
{
    return channel << 24 | event << 20 | error << 16;
}

TEST_F(Bt847xTest, QueueWrapsAndIsAcknowledgedAtTheProducerIndex)
{
    up();
    // Bring the producer index to 1022 with entries that only count.
    ULONG ll = a->Bt847x.LLNextIntIdx;
    for (ULONG i = ll; i < 1022; i++) model().post_entry(rx_event(1, EVENT_NONE));
    r.host.run_for(plat::ms(1));
    ASSERT_EQ(a->Bt847x.LLNextIntIdx, 1022u);
    // Three at once: the interrupt sees a count of 3.
    locked([&] { AdapterSetLatchIRQ_OFF(a); });
    for (uint32_t c : {2u, 3u, 4u}) model().post_entry(rx_event(c, EVENT_EOB));
    size_t mark = model().writes().size();
    locked([&] { AdapterSetLatchIRQ_ON(a); });
    r.host.run_for(plat::ms(1));
    EXPECT_EQ(a->Bt847x.LLNextIntIdx, 1u);
    EXPECT_EQ(a->Bt847x.HLNextIntIdx, 1u);
    bool acked = false;
    for (size_t i = mark; i < model().writes().size(); i++)
        if (model().writes()[i].offset == H::kRegIntStatus) acked = model().writes()[i].value == 1u << 16;
    EXPECT_TRUE(acked) << "acknowledged with the next index";
    for (uint32_t c : {2u, 3u, 4u}) EXPECT_EQ(a->NdisWanInfo[0][c].RxEvents[EVENT_EOB], 1u) << c;
    EXPECT_EQ(a->Bt847x.IntQueueVirtual[1023] & (BT847X_IRQ_EVENT_FIELD | BT847X_IRQ_ERROR_FIELD), 0u)
        << "served entries are cleared";
}

TEST_F(Bt847xTest, AFullQueueLosesNoEntry)
{
    up();
    locked([&] { AdapterSetLatchIRQ_OFF(a); });
    for (int i = 0; i < 1030; i++) model().post_entry(rx_event(9, EVENT_EOB));
    EXPECT_EQ(model().queue_count(), 1024u);
    locked([&] { AdapterSetLatchIRQ_ON(a); });
    r.host.run_for(plat::ms(2));
    EXPECT_EQ(a->NdisWanInfo[0][9].RxEvents[EVENT_EOB], 1030u)
        << a->Bt847x.LLIntEntries << " " << a->Bt847x.HLIntEntries << " " << model().queue_count() << " "
        << model().queue_backlog() << " " << card->irq_requested(0) << card->irq_line(0) << " " << a->LatchIrqImage;
    EXPECT_EQ(a->Bt847x.IntQueueFullCount, 1u);
    EXPECT_EQ(model().queue_count(), 0u);
}

TEST_F(Bt847xTest, EntriesAreCountedPerLinkAndDirectionWithTheirActions)
{
    up();
    Link* d = RSS_GetGroupLink31(a, 0);
    Link* l5 = &a->NdisWanInfo[0][5];
    l5->ChannelState = CHANNEL_STATE_ACTIVE;
    struct Case {
        const char* name;
        uint32_t entry;
        ULONG* counter;
    } cases[] = {
        {"D channel entry counts on Link 31", rx_event(24, EVENT_EOM), &d->RxEvents[EVENT_EOM]},
        {"transmit error", 1u << 31 | rx_event(5, EVENT_EOM, IRQERROR_FCS), &l5->TxEvents[HDLC_CNT_ERROR(IRQERROR_FCS)]},
        {"group error on Link 31", rx_event(5, EVENT_NONE, IRQERROR_COFA), &d->RxEvents[HDLC_CNT_ERROR(IRQERROR_COFA)]},
        {"unknown event", rx_event(5, 13), &l5->RxEvents[11]},
        {"lost interrupt on Link 31", rx_event(5, EVENT_NONE) | BT847X_IRQ_ILOST, &d->RxEvents[HDLC_CNT_ILOST]},
        {"receive over-run", rx_event(5, EVENT_NONE, IRQERROR_ONR), &l5->RxEvents[HDLC_CNT_ERROR(IRQERROR_ONR)]},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ULONG before = *c.counter;
        model().post_entry(c.entry);
        r.host.run_for(plat::ms(1));
        EXPECT_EQ(*c.counter, before + 1);
    }
    // The over-run re-activated the receive side of channel 5.
    r.host.run_for(plat::ms(2));
    EXPECT_EQ(model().executed().back().word, 0x805u);
    // Counters saturate.
    l5->RxEvents[EVENT_EOB] = 0xFFFFFFFF;
    model().post_entry(rx_event(5, EVENT_EOB));
    r.host.run_for(plat::ms(1));
    EXPECT_EQ(l5->RxEvents[EVENT_EOB], 0xFFFFFFFFu);
}

// ---- channel and time-slot operations ----

ULONG g_call_channel;
SGNL_CONTROL g_real_control;
ULONG CallChannelControl(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    if (Kind == CTL_KIND_CALL && Id == 0x3C) return g_call_channel;
    return g_real_control(Kind, Id, Object, Argument);
}

TEST_F(Bt847xTest, BChannelToTimeslotFollowsTheSystemBusMode)
{
    up();
    g_real_control = a->SgnlProtocolOps[0].Control;
    a->SgnlProtocolOps[0].Control = CallChannelControl;
    Link* l = &a->NdisWanInfo[0][4];
    int object;
    l->ThisBChannel = &object;
    struct Case {
        ULONG bus_mode, channel, slot;
    } cases[] = {
        // As the D channel's slot: modes 0 and 3 program the same framer bus.
        {0, 5, 4}, {3, 5, 4}, {7, 5, 4}, {10, 24, 23}, {2, 5, 20}, {5, 5, 20}, {1, 5, 4},
        {2, 0xFFFF, 0xFFFF}, {0, 0, 0xFFFF}, {3, 0, 0xFFFF}, {2, 40, 0xFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "bus mode " << c.bus_mode << " channel " << c.channel);
        a->SystemBusMode[0] = c.bus_mode;
        g_call_channel = c.channel;
        EXPECT_EQ(Bt847xBChannelToTimeslot(l), c.slot);
    }
    a->SystemBusMode[0] = 2;
    l->ThisBChannel = NULL;
    a->SgnlProtocolOps[0].Control = g_real_control;
}

TEST_F(Bt847xTest, AssignTimeslotWritesBothMapsOnlyOnChangeAndLoopbackNeedsAnAssignedSlot)
{
    up();
    g_real_control = a->SgnlProtocolOps[0].Control;
    a->SgnlProtocolOps[0].Control = CallChannelControl;
    Link* l = &a->NdisWanInfo[0][4];
    int object;
    l->ThisBChannel = &object;
    g_call_channel = 5;  // slot 20 on bus mode 2: word 5, byte 0; HDLC channel 5
    PULONG area = (PULONG)a->SharedMem.GroupAreas.Virtual;
    size_t mark = model().writes().size();
    locked([&] { Bt847xAssignTimeslot(l, 2, 1); });
    EXPECT_EQ(model().map_byte(true, 0, 20), 0x85);
    EXPECT_EQ(model().map_byte(false, 0, 20), 0x85);
    EXPECT_EQ(area[(BT847X_AREA_RX_TSMAP + 20) / 4], 0x1F1F1F85u);
    EXPECT_EQ(area[(BT847X_AREA_TX_TSMAP + 20) / 4], 0x1F1F1F85u);
    EXPECT_EQ(model().writes().size(), mark + 2);
    locked([&] { Bt847xAssignTimeslot(l, 1, 1); });
    EXPECT_EQ(model().writes().size(), mark + 2) << "nothing changed, nothing written";
    l->LinkSpeed = 56000;
    locked([&] { Bt847xAssignTimeslot(l, 2, 1); });
    EXPECT_EQ(model().map_byte(false, 0, 20), 0xA5);
    locked([&] { Bt847xAssignTimeslot(l, 2, 0); });
    EXPECT_EQ(model().map_byte(false, 0, 20), 0x1F);
    EXPECT_EQ(area[(BT847X_AREA_TX_TSMAP + 20) / 4], 0x1F1F1F1Fu);
    mark = model().writes().size();
    locked([&] { Bt847xAssignTimeslot(l, 7, 1); });
    locked([&] { Bt847xAssignTimeslot(l, 0, 1); });  // no pump
    l->ThisBChannel = NULL;
    a->SgnlProtocolOps[0].Control = g_real_control;
    locked([&] { EXPECT_FALSE(Bt847xSetupTimeslotForLoopback(l, 1)) << "no slot assigned to Link 4"; });
    EXPECT_EQ(model().writes().size(), mark);

    a->Bt847x.TxTimeslotAssign[0][9] = 4;
    l->LinkSpeed = 64000;
    locked([&] { EXPECT_TRUE(Bt847xSetupTimeslotForLoopback(l, 1)); });
    EXPECT_EQ(model().map_byte(false, 0, 9), 0x84);
    ULONG idle;
    Bt847xIdleTimeslotWord(&idle);
    EXPECT_EQ(idle, 0x1F1F1F1Fu);
}

TEST_F(Bt847xTest, ChannelRequestsAndDescriptorRecycling)
{
    up();
    Link* l = &a->NdisWanInfo[0][6];
    size_t mark = model().writes().size();
    g_completions.clear();
    locked([&] {
        Bt847xChannelRequest(0, 0, NULL, l);
        Bt847xChannelRequest(1, 1, Note1, l);
    });
    r.host.run_for(plat::ms(2));
    EXPECT_EQ(srq_writes(mark), (std::vector<uint32_t>{0x906, 0x826}));
    EXPECT_EQ(g_completions, (std::vector<int>{1}));
    EXPECT_TRUE(model().channel_active(true, 0, 6));

    struct Case {
        const char* name;
        bool transmit;
        ULONG before, after;
    } cases[] = {
        {"transmit, host's: untouched", true, 0x01010005, 0x01010005},
        {"transmit, sent: back with length 0", true, 0xD1010123, 0x21010000},
        {"receive, controller's: untouched", false, 0x00000800, 0x00000800},
        {"receive, filled: back with its size", false, 0xF0090123, 0x20090200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BT847X_DESCR d = {c.before, 0x1234, 0x5678};
        if (c.transmit)
            Bt847xRecycleTxDescr(&d);
        else
            Bt847xRecycleRxDescr(&d, 0x200);
        EXPECT_EQ(d.Status, c.after);
        EXPECT_EQ(d.Buffer, 0x1234u);
    }
}

TEST_F(Bt847xTest, CopyTxFrameHandsTheFrameToTheController)
{
    up();
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> far;
    card->line(0).on_frame_from_adapter([&](uint32_t m, const std::vector<uint8_t>& f) { far.push_back({m, f}); });
    Link* d = RSS_GetGroupLink31(a, 0);
    locked([&] { Bt847xChannelRequest(1, 1, NULL, d); });
    r.host.run_for(plat::ms(2));
    UCHAR frame[] = {0x00, 0x01, 0x7F, 0x42};
    TX_PACKET entry = {};
    entry.Data = frame;
    entry.Length = sizeof frame;
    entry.Descriptor = Bt847xTxDescr(&a->Bt847x, 0, 24, 0);
    BT847X_DESCR* desc = (BT847X_DESCR*)entry.Descriptor;
    locked([&] { EXPECT_TRUE(Bt847xCopyTxFrame(&a->Bt847x, &entry, 1)); });
    EXPECT_EQ(desc->Status, 4u) << "held: not yet the controller's";
    entry.Length = 2049 + 2048;
    locked([&] { EXPECT_FALSE(Bt847xCopyTxFrame(&a->Bt847x, &entry, 0)) << "beyond the channel's buffer"; });
    entry.Length = sizeof frame;
    locked([&] { EXPECT_TRUE(Bt847xCopyTxFrame(&a->Bt847x, &entry, 0)); });
    r.host.run_for(plat::ms(3));
    ASSERT_EQ(far.size(), 1u);
    EXPECT_EQ(far[0].first, 1u << 24);
    EXPECT_EQ(far[0].second, std::vector<uint8_t>(frame, frame + 4));
    EXPECT_EQ(desc->Status & BT847X_DESCR_OWNER, 0u);
}

TEST_F(Bt847xTest, HaltStopsTheController)
{
    up();
    Link* d = RSS_GetGroupLink31(a, 0);
    locked([&] { Bt847xChannelRequest(1, 1, NULL, d); });
    r.host.run_for(plat::ms(2));
    ASSERT_TRUE(model().channel_active(true, 0, 24));
    r.halt(na);
    na = nullptr;
    EXPECT_FALSE(model().channel_active(true, 0, 24));
    EXPECT_FALSE(model().queue_programmed());
    r.host.run_for(plat::ms(10));
    EXPECT_EQ(model().stats().dma_faults, 0u);
}

}  // namespace

namespace {

// A transmit BUFF error is recovered like an under-run (the channel's transmit side is
// re-primed and re-activated by a service request); a receive BUFF error is only
// counted; PERR counts on the group's Link 31 in the entry's direction.
TEST_F(Bt847xTest, TransmitBuffErrorRecoversLikeAnUnderRunAndPerrCountsOnLink31)
{
    up();
    Link* d = RSS_GetGroupLink31(a, 0);
    Link* l5 = &a->NdisWanInfo[0][5];
    l5->ChannelState = CHANNEL_STATE_ACTIVE;
    r.host.run_for(plat::ms(5));

    size_t requests = model().executed().size();
    model().post_entry(rx_event(5, EVENT_NONE, IRQERROR_BUFF));
    r.host.run_for(plat::ms(3));
    EXPECT_EQ(l5->RxEvents[HDLC_CNT_ERROR(IRQERROR_BUFF)], 1u);
    EXPECT_EQ(model().executed().size(), requests) << "a receive BUFF error is only counted";

    model().post_entry(1u << 31 | rx_event(5, EVENT_NONE, IRQERROR_BUFF));
    r.host.run_for(plat::ms(3));
    EXPECT_EQ(l5->TxEvents[HDLC_CNT_ERROR(IRQERROR_BUFF)], 1u);
    ASSERT_GT(model().executed().size(), requests) << "under-run recovery re-activates the channel";
    uint32_t word = model().executed().back().word;
    EXPECT_EQ(word & 0x1F, 5u);
    EXPECT_NE(word, 0x805u) << "the transmit side, not the receive side";

    ULONG rx_perr = d->RxEvents[HDLC_CNT_PERR], tx_perr = d->TxEvents[HDLC_CNT_PERR];
    model().post_entry(rx_event(5, EVENT_EOB) | BT847X_IRQ_PERR);
    model().post_entry(1u << 31 | rx_event(5, EVENT_EOB) | BT847X_IRQ_PERR);
    r.host.run_for(plat::ms(3));
    EXPECT_EQ(d->RxEvents[HDLC_CNT_PERR], rx_perr + 1);
    EXPECT_EQ(d->TxEvents[HDLC_CNT_PERR], tx_perr + 1);
    EXPECT_EQ(l5->RxEvents[HDLC_CNT_PERR], 0u);
}

}  // namespace

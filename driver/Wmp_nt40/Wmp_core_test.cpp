// The driver core on the simulated board: initialisation and its failures, halt,
// sends, the main loop, reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_shel.h"
#include "tools/harness/rig.h"

using plat::FaultInjector;

namespace {

class CoreTest : public ::testing::Test {
public:
    rig::Rig r;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        ASSERT_EQ(r.load_driver(), 0);
    }

    void TearDown() override
    {
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }

    std::string key(unsigned instance = 1) { return r.parameters_key(instance); }

    Adapter* up(unsigned instance = 1, uint32_t slot = 4)
    {
        if (r.boards.empty()) r.add_board_for(instance, slot);
        na = r.initialize(instance);
        return rig::Rig::driver_adapter(na);
    }

    void expect_nothing_held()
    {
        EXPECT_EQ(r.host.allocations.size(), 0u);
        EXPECT_EQ(r.host.io.mapped(), 0u);
        EXPECT_EQ(r.host.phys.blocks(), 0u);
        EXPECT_EQ(r.host.irq.connections(), 0u);
    }

    const plat::ErrorLogEntry* entry_with_subcode(uint32_t code, uint32_t sub)
    {
        for (const auto& e : r.host.error_log)
            if (e.code == code && !e.values.empty() && e.values.back() == sub) return &e;
        return nullptr;
    }

    plat::ndis::Adapter* na = nullptr;
};

TEST_F(CoreTest, DefaultBoardInitialisesAndHaltsClean)
{
    Adapter* a = up();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->NumberOfGroups, 1u);
    EXPECT_EQ(a->NumberOfLines, 1u);
    EXPECT_EQ(a->InstanceNumber, 1);
    EXPECT_EQ(a->LinksPerGroup[0], 23u);  // ISDN on T1
    EXPECT_EQ(a->SocketCount, 5u);
    EXPECT_EQ(a->Socket[4].ProcessorCount, 2u);
    EXPECT_STREQ(a->NdisWanInfo[0][1].LineAddress, "5551001");
    EXPECT_EQ(a->NdisWanInfo[0][23].LineAddress[0], 0);
    EXPECT_EQ(a->SharedMemorySize, 676864u);
    // The framers were released from hardware reset and each line's LED shows "down".
    EXPECT_FALSE(r.boards[0]->framers_in_hw_reset());
    EXPECT_EQ(r.boards[0]->led(0), 1);
    ASSERT_NE(entry_with_subcode(0xC0001393, 29), nullptr);  // no firmware file

    r.host.run_for(plat::ms(3000));
    r.halt(na);
    expect_nothing_held();
    EXPECT_FALSE(r.host.ndis().wrapper_open());
    EXPECT_FALSE(r.boards[0]->irq_enabled());
}

TEST_F(CoreTest, FirmwareImageIsCopiedAndAnOversizedOneIsRefused)
{
    std::vector<uint8_t> image(5000);
    for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<uint8_t>(i * 7);
    r.set_firmware(image);
    Adapter* a = up();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->CSMCodeSize, 5000u);
    EXPECT_EQ(0, memcmp(a->CSMCode, image.data(), image.size()));
    r.halt(na);

    r.host.error_log.clear();
    r.set_firmware(std::vector<uint8_t>(CSM_IMAGE_AREA_SIZE + 1, 0x55));
    ASSERT_EQ(r.load_driver(), 0);
    a = rig::Rig::driver_adapter(na = r.initialize(1));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->CSMCodeSize, 0u);
    EXPECT_NE(entry_with_subcode(0xC0001391, 37), nullptr);
    r.halt(na);
    expect_nothing_held();
}

// Every place initialisation acquires something: fail it, and the failure is logged
// and nothing stays allocated, mapped or connected.
TEST_F(CoreTest, FailureAtEveryAcquisitionIsLoggedAndReleasesEverything)
{
    r.add_board_for(1, 4);
    struct Case {
        FaultInjector::Point point;
        uint32_t code;
        uint32_t sub;  // 0: any
    };
    const Case cases[] = {
        {FaultInjector::Config, 0xC0001391, 2},      {FaultInjector::PciAssign, 0xC0001389, 10},
        {FaultInjector::MapRegisters, 0xC0001389, 24}, {FaultInjector::MapIo, 0xC0001389, 25},
        {FaultInjector::SharedMemory, 0xC0001389, 27}, {FaultInjector::Interrupt, 0xC000138C, 8},
        {FaultInjector::Alloc, 0xC0001389, 0},       {FaultInjector::PciRead, 0, 0},
        {FaultInjector::PciWrite, 0, 0},  // the command register may already be set from an earlier case
    };
    for (const Case& c : cases) {
        for (uint64_t n = 1; n < 400; n++) {
            SCOPED_TRACE(testing::Message() << "fault point " << c.point << " at call " << n);
            r.host.error_log.clear();
            r.host.faults.reset();
            r.host.faults.fail_at(c.point, n);
            plat::ndis::Adapter* got = r.initialize(1);
            if (got != nullptr) {
                if (c.code != 0) {
                    EXPECT_GT(n, 1u) << "the first call of this kind must fail initialisation";
                }
                r.halt(got);
                ASSERT_EQ(r.load_driver(), 0);
                expect_nothing_held();
                break;
            }
            ASSERT_FALSE(r.host.error_log.empty());
            if (c.code != 0 && n == 1) {
                EXPECT_EQ(r.host.error_log.back().code, c.code);
                if (c.sub != 0) {
                    EXPECT_EQ(r.host.error_log.back().values.back(), c.sub);
                }
            }
            expect_nothing_held();
        }
    }
}

TEST_F(CoreTest, SecondInterruptAndSecondWindowFailuresRelease)
{
    r.add_board_for(1, 4);
    struct Case {
        FaultInjector::Point point;
        uint32_t code, sub, second;
    };
    const Case cases[] = {{FaultInjector::Interrupt, 0xC000138C, 9, 0}, {FaultInjector::MapIo, 0xC0001389, 26, 0},
                          {FaultInjector::PciAssign, 0xC0001389, 15, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "fault point " << c.point);
        r.host.error_log.clear();
        r.host.faults.reset();
        r.host.faults.fail_at(c.point, 2);
        EXPECT_EQ(r.initialize(1), nullptr);
        ASSERT_FALSE(r.host.error_log.empty());
        EXPECT_EQ(r.host.error_log.back().code, c.code);
        EXPECT_EQ(r.host.error_log.back().values.back(), c.sub);
        expect_nothing_held();
    }
}

TEST_F(CoreTest, RefusedConfigurations)
{
    struct Case {
        const char* name;
        std::function<void(CoreTest&)> setup;
        uint32_t code, sub;
    };
    const Case cases[] = {
        {"no DeviceName", [](CoreTest& t) { t.r.host.registry.delete_value(t.key(), "DeviceName"); }, 0xC0001393, 4},
        {"no board", [](CoreTest& t) { t.r.boards.clear(); }, 0xC000138B, 6},
        {"four lines on a one-line board",
         [](CoreTest& t) {
             t.r.boards.clear();
             sim::BoardConfig c = sim::board_config_from_registry(t.r.host.registry, 1, 4);
             t.r.host.registry.set_dword(t.key(), "AdapterID", 7);
             c.device_id = sim::kDeviceOneLine;
             t.r.add_board(c);
         },
         0xC0001391, 36},
        {"function 1 missing",
         [](CoreTest& t) {
             t.r.boards.clear();
             sim::BoardConfig c = sim::board_config_from_registry(t.r.host.registry, 1, 4);
             c.function1_absent = true;
             t.r.add_board(c);
         },
         0xC000138B, 7},
        {"command bits stuck",
         [](CoreTest& t) {
             t.r.boards.clear();
             sim::BoardConfig c = sim::board_config_from_registry(t.r.host.registry, 1, 4);
             c.command_stuck_clear[0] = 0x0004;
             t.r.add_board(c);
         },
         0xC0001389, 14},
        {"equal windows",
         [](CoreTest& t) {
             t.r.boards.clear();
             sim::BoardConfig c = sim::board_config_from_registry(t.r.host.registry, 1, 4);
             c.bar1_offset = 0;
             t.r.add_board(c);
         },
         0xC0001389, 28},
        {"windows too close",
         [](CoreTest& t) {
             t.r.boards.clear();
             sim::BoardConfig c = sim::board_config_from_registry(t.r.host.registry, 1, 4);
             c.bar1_offset = -0x80000;
             t.r.add_board(c);
         },
         0xC0001389, 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r.boards.clear();
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e));
        r.add_board_for(1, 4);
        r.host.error_log.clear();
        c.setup(*this);
        EXPECT_EQ(r.initialize(1), nullptr);
        EXPECT_NE(entry_with_subcode(c.code, c.sub), nullptr);
        expect_nothing_held();
    }
}

TEST_F(CoreTest, MediumWithoutWanIsRefused)
{
    r.add_board_for(1, 4);
    EXPECT_EQ(r.host.ndis().initialize(1, {NdisMedium802_3, NdisMedium802_5}), nullptr);
    EXPECT_EQ(r.host.ndis().last_init_status(), NDIS_STATUS_UNSUPPORTED_MEDIA);
    ASSERT_EQ(r.host.error_log.size(), 1u);
    EXPECT_EQ(r.host.error_log[0].values, (std::vector<uint32_t>{2, 7, 1, 1}));
    expect_nothing_held();
}

TEST_F(CoreTest, TwoBoardsHaltAndReinitialiseKeepsBoardsAndInstancesApart)
{
    // A foreign device of the same vendor before both boards only adds an entry.
    sim::BoardConfig other;
    other.slot = 2;
    other.device_id = 0x1234;
    r.add_board(other);
    sim::BoardConfig four = sim::board_config_from_registry(r.host.registry, 1, 9);
    r.host.registry.set_dword(key(1), "AdapterID", 7);
    four.device_id = sim::kDeviceFourLine;
    four.adapter_id = 7;
    r.add_board(four);
    std::string e;
    std::string config2 = rig::kDefaultConfig;
    config2.replace(config2.find("VORNET1"), 7, "VORNET2");
    ASSERT_TRUE(r.load_config(config2, &e)) << e;
    r.add_board(sim::board_config_from_registry(r.host.registry, 2, 14));

    plat::ndis::Adapter* first = r.initialize(1);
    plat::ndis::Adapter* second = r.initialize(2);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    Adapter* a1 = rig::Rig::driver_adapter(first);
    Adapter* a2 = rig::Rig::driver_adapter(second);
    EXPECT_EQ(a1->SlotNumber, 9u);
    EXPECT_EQ(a1->NumberOfGroups, 4u);
    EXPECT_EQ(a2->SlotNumber, 14u);
    EXPECT_EQ(a2->NumberOfGroups, 1u);
    EXPECT_EQ(a2->InstanceNumber, 2);
    EXPECT_NE(entry_with_subcode(0xC000138E, 33), nullptr);

    r.host.run_for(plat::ms(500));
    r.halt(first);
    EXPECT_TRUE(r.host.ndis().wrapper_open()) << "the wrapper belongs to the last adapter's halt";
    first = r.initialize(1);
    ASSERT_NE(first, nullptr);
    a1 = rig::Rig::driver_adapter(first);
    EXPECT_EQ(a1->SlotNumber, 9u) << "the re-initialised adapter must not take the running adapter's board";
    EXPECT_EQ(a1->InstanceNumber, 1);
    r.host.run_for(plat::ms(500));
    r.halt(second);
    r.halt(first);
    EXPECT_FALSE(r.host.ndis().wrapper_open());
    expect_nothing_held();
}

TEST_F(CoreTest, HaltWaitsOutAMainLoopRunThatIsAlreadyDue)
{
    Adapter* a = up();
    ASSERT_NE(a, nullptr);
    r.host.run_for(plat::ms(95));
    r.host.ndis().cancel_misses_next = true;
    r.halt(na);  // the due run must not re-arm, nor run on the freed record
    EXPECT_FALSE(r.host.ndis().cancel_misses_next);
    r.host.run_for(plat::ms(100));
    expect_nothing_held();
}

TEST_F(CoreTest, AsyncPortsAreBoundedByTheLinksOfTheLine)
{
    r.host.registry.set_dword(key(), "AsyncPorts_0", 100);
    r.host.registry.set_dword(key(), "AsyncPorts_2", 5);
    Adapter* a = up();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->AsyncPorts[0], 23u);
    EXPECT_EQ(a->AsyncPorts[2], 0u);  // no such group on a one-line board
    r.halt(na);
}

// ---- sends ----

class SendTest : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        a = up();
        ASSERT_NE(a, nullptr);
        link = &a->NdisWanInfo[0][3];
        link->ChannelState = CHANNEL_STATE_ACTIVE;
        std::memset(data, 0x42, sizeof data);
    }
    void TearDown() override
    {
        if (na) r.halt(na);
        CoreTest::TearDown();
    }
    NDIS_STATUS send(NDIS_WAN_LINK_HANDLE h, ULONG length, bool with_packet = true)
    {
        packets.emplace_back();
        NDIS_WAN_PACKET& p = packets.back();
        std::memset(&p, 0, sizeof p);
        p.CurrentBuffer = data;
        p.CurrentLength = length;
        return r.host.ndis().send(na, h, with_packet ? &p : nullptr);
    }
    Adapter* a = nullptr;
    Link* link = nullptr;
    UCHAR data[4096];
    std::deque<NDIS_WAN_PACKET> packets;
};

TEST_F(SendTest, RefusalsLeaveTheRingUntouched)
{
    NDIS_WAN_LINK_HANDLE h = link->LinkHandle;
    struct Case {
        const char* name;
        std::function<void()> setup;
        NDIS_WAN_LINK_HANDLE handle;
        ULONG length;
        bool packet;
        NDIS_STATUS expect;
    };
    const Case cases[] = {
        {"no packet", [] {}, h, 100, false, NDIS_STATUS_FAILURE},
        {"made-up handle", [] {}, 0x12345678, 100, true, NDIS_STATUS_FAILURE},
        {"handle of a link not in use", [] {}, a->NdisWanInfo[0][30].LinkHandle, 100, true, NDIS_STATUS_FAILURE},
        {"empty frame", [] {}, h, 0, true, NDIS_STATUS_FAILURE},
        {"over-long frame", [] {}, h, 2047, true, NDIS_STATUS_FAILURE},
        {"frame longer than the link's buffers", [this] { link->TxPacketSize = 512; }, h, 600, true, NDIS_STATUS_FAILURE},
        {"inactive channel", [this] { link->ChannelState = CHANNEL_STATE_IDLE; }, h, 100, true, NDIS_STATUS_FAILURE},
        {"transfer terminated", [this] { link->TransferTerminated = 1; }, h, 100, true, NDIS_STATUS_FAILURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        link->ChannelState = CHANNEL_STATE_ACTIVE;
        link->TransferTerminated = 0;
        link->TxPacketSize = 2048;
        c.setup();
        EXPECT_EQ(send(c.handle, c.length, c.packet), c.expect);
        EXPECT_EQ(link->WriteTxPacketIdx, 0u);
        EXPECT_EQ(link->Stats.TxFramesQueued, 0u);
    }
}

TEST_F(SendTest, QueuesUntilTheRingIsFullAndWraps)
{
    EXPECT_EQ(send(link->LinkHandle, 2046), NDIS_STATUS_PENDING);
    EXPECT_EQ(link->WriteTxPacketIdx, 1u);
    EXPECT_EQ(send(link->LinkHandle, 1), NDIS_STATUS_PENDING);
    EXPECT_EQ(link->WriteTxPacketIdx, 0u);
    EXPECT_EQ(send(link->LinkHandle, 1), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(link->WriteTxPacketIdx, 0u);
    EXPECT_EQ(link->TxPackets[0].Length, 2046u);
    EXPECT_EQ(link->TxPackets[0].Packet, &packets[0]);
    LinkTxRingNoteCompleted(link);
    EXPECT_EQ(send(link->LinkHandle, 1), NDIS_STATUS_PENDING);
}

TEST_F(SendTest, HaltCompletesPacketsNeverSent)
{
    ASSERT_EQ(send(link->LinkHandle, 100), NDIS_STATUS_PENDING);
    plat::ndis::Adapter* adapter = na;
    r.halt(na);
    na = nullptr;
    ASSERT_EQ(adapter->send_completions.size(), 1u);
    EXPECT_EQ(adapter->send_completions[0].packet, &packets[0]);
    EXPECT_EQ(adapter->send_completions[0].status, NDIS_STATUS_FAILURE);
}

TEST_F(SendTest, AnotherAdaptersHandleIsRefused)
{
    Adapter other{};
    other.NumberOfGroups = 1;
    EXPECT_EQ(LinkFromHandle(&other, link->LinkHandle), nullptr);
    EXPECT_EQ(LinkFromHandle(a, link->LinkHandle), link);
}

TEST(LinkRing, OccupancySurvivesCounterWrap)
{
    Link l{};
    l.NumTxPackets = 2;
    l.TxQueuedCount = 0xFFFFFFFF;
    l.TxCompletedCount = 0xFFFFFFFF;
    l.Stats.TxFramesQueued = 0xFFFFFFFF;
    l.Stats.NumSendCompleteInd = 0xFFFFFFFF;
    EXPECT_FALSE(LinkTxRingFull(&l));
    LinkTxRingNoteQueued(&l);
    LinkTxRingNoteQueued(&l);
    EXPECT_TRUE(LinkTxRingFull(&l));
    LinkTxRingNoteCompleted(&l);
    EXPECT_FALSE(LinkTxRingFull(&l));
    EXPECT_EQ(l.Stats.TxFramesQueued, 0xFFFFFFFFu);  // the statistic saturates
}

// ---- main loop and reset ----

ULONG g_ticks[4];
ULONG g_tick_ms[4];
SGNL_CONTROL g_real_control;

ULONG RecordingControl(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    if (Kind == CTL_KIND_ACTION && Id == CTL_TICK) {
        g_ticks[0]++;
        g_tick_ms[0] += Argument;
    }
    return g_real_control(Kind, Id, Object, Argument);
}

TEST_F(CoreTest, IsdnStackIsTickedEveryMultiplierRuns)
{
    r.host.registry.set_dword(key(), "QStackMultiplier_0", 2);
    Adapter* a = up();
    ASSERT_NE(a, nullptr);
    g_ticks[0] = g_tick_ms[0] = 0;
    g_real_control = a->SgnlProtocolOps[0].Control;
    a->SgnlProtocolOps[0].Control = RecordingControl;
    r.host.run_for(plat::ms(1000));
    EXPECT_EQ(g_ticks[0], 50u);
    EXPECT_EQ(g_tick_ms[0], 1000u);
    a->SgnlProtocolOps[0].Control = g_real_control;
    r.halt(na);
}

TEST_F(CoreTest, HangCheckResetsAFailedAdapterOnly)
{
    Adapter* a = up();
    ASSERT_NE(a, nullptr);
    r.host.run_for(plat::ms(2100));
    EXPECT_EQ(na->resets, 0u) << "a healthy adapter is left alone";
    // A failed bring-up: the hang check reports it and the reset re-runs the chain,
    // which starts with every latch cleared.
    a->AdapterFailed = 1;
    size_t writes = r.boards[0]->latch_writes().size();
    r.host.run_for(plat::ms(2000));
    EXPECT_EQ(na->resets, 1u);
    const auto& log = r.boards[0]->latch_writes();
    EXPECT_TRUE(std::any_of(log.begin() + writes, log.end(), [](const auto& w) { return w.value == 0; }));
    r.halt(na);
}

TEST_F(CoreTest, UnclaimedInterruptLeavesTheLatchAsItWas)
{
    Adapter* a = up();
    ASSERT_NE(a, nullptr);
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    AdapterEnableLatchIRQ(a);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    ULONG image = a->LatchIrqImage;
    int source = 0;
    r.boards[0]->request_irq(0, &source, true);
    EXPECT_EQ(a->LatchIrqImage, image);
    EXPECT_TRUE(r.boards[0]->irq_enabled());
    EXPECT_EQ(r.host.irq.unclaimed(r.boards[0]->config().slot == 4 ? a->PriIntVector : 0), 1u);
    r.boards[0]->request_irq(0, &source, false);
    r.halt(na);
}

TEST_F(CoreTest, LeasedLineGroupUsesAllLinksOfTheGroup)
{
    r.host.registry.set_dword(key(), "SignallingProtocol_0", 6);
    Adapter* a = up();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->LinksPerGroup[0], 32u);
    EXPECT_EQ(a->SgnlStackSize[0], 0xFFFFu);
    r.host.run_for(plat::ms(200));
    r.halt(na);
    expect_nothing_held();
}

}  // namespace

namespace {

// Shutdown masks the board and clears IrqEnabled, so that a deferred handler still
// queued cannot unmask the board again through the enable handler.
TEST_F(CoreTest, ShutdownMasksTheBoardForGood)
{
    Adapter* a = up();
    ASSERT_NE(a, nullptr);
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    AdapterEnableLatchIRQ(a);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    ASSERT_TRUE(r.boards[0]->irq_enabled());

    r.host.ndis().shutdown(na);
    EXPECT_FALSE(r.boards[0]->irq_enabled());
    EXPECT_EQ(a->IrqEnabled, 0);
    uint8_t old = r.host.raise_irql(plat::kDeviceLevel);
    EnableInterruptHdlr(a);  // as NDIS does after a deferred handler
    r.host.lower_irql(old);
    EXPECT_FALSE(r.boards[0]->irq_enabled());
    r.halt(na);
}

}  // namespace

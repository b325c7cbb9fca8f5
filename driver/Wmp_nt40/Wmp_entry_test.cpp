// The driver's entry into NDIS, the register windows' placement, and a reset that
// interrupts a bring-up.
#include <gtest/gtest.h>

#include <string>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_shel.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

using plat::FaultInjector;

namespace {

class EntryTest : public ::testing::Test {
public:
    rig::Rig r;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
    }
    void TearDown() override
    {
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
};

TEST_F(EntryTest, DriverEntryRegistersAWanMiniportWithItsHandlers)
{
    ASSERT_EQ(r.load_driver(), STATUS_SUCCESS);
    ASSERT_TRUE(r.host.ndis().miniport_registered());
    const NDIS_MINIPORT_CHARACTERISTICS& c = r.host.ndis().characteristics();
    EXPECT_EQ(c.MajorNdisVersion, 4);
    EXPECT_EQ(c.MinorNdisVersion, 0);
    EXPECT_EQ(c.Reserved, 1u) << "the WAN-wrapper flag";
    EXPECT_EQ(c.CheckForHangHandler, CheckForHangHdlr);
    EXPECT_EQ(c.DisableInterruptHandler, DisableInterruptHdlr);
    EXPECT_EQ(c.EnableInterruptHandler, EnableInterruptHdlr);
    EXPECT_EQ(c.HaltHandler, HaltHdlr);
    EXPECT_EQ(c.HandleInterruptHandler, HandleInterruptHdlr);
    EXPECT_EQ(c.InitializeHandler, InitializeHdlr);
    EXPECT_EQ(c.ISRHandler, ISRHdlr);
    EXPECT_EQ(c.QueryInformationHandler, QueryInformationHdlr);
    EXPECT_EQ(c.ReconfigureHandler, nullptr);
    EXPECT_EQ(c.ResetHandler, ResetHdlr);
    EXPECT_EQ(c.WanSendHandler, SendHdlr);
    EXPECT_EQ(c.SetInformationHandler, SetInformationHdlr);
    EXPECT_EQ(c.TransferDataHandler, nullptr);
    EXPECT_NE(WmpWrapperHandle(), nullptr);
    EXPECT_NE(WmpDriverObject(), nullptr);
}

TEST_F(EntryTest, DriverEntryFailuresReturnTheirStatusAndLeaveNoWrapper)
{
    r.host.faults.fail_at(FaultInjector::Wrapper, 1);
    EXPECT_EQ(r.load_driver(), (NTSTATUS)NDIS_STATUS_FAILURE);
    EXPECT_FALSE(r.host.ndis().miniport_registered());
    EXPECT_EQ(WmpWrapperHandle(), nullptr);

    int terminations = r.host.ndis().wrapper_terminations();
    r.host.faults.fail_at(FaultInjector::Register, 1);
    EXPECT_EQ(r.load_driver(), (NTSTATUS)NDIS_STATUS_FAILURE);
    EXPECT_FALSE(r.host.ndis().miniport_registered());
    EXPECT_FALSE(r.host.ndis().wrapper_open()) << "the wrapper is terminated after a failed registration";
    EXPECT_EQ(r.host.ndis().wrapper_terminations(), terminations + 1);
    EXPECT_EQ(WmpWrapperHandle(), nullptr);

    // The next load succeeds.
    EXPECT_EQ(r.load_driver(), STATUS_SUCCESS);
    EXPECT_NE(WmpWrapperHandle(), nullptr);
}

// Windows exactly 1 MiB apart are accepted in either order.
TEST_F(EntryTest, RegisterWindowsExactlyOneMebibyteApartAreAccepted)
{
    for (int64_t offset : {int64_t(0x100000), int64_t(-0x100000)}) {
        SCOPED_TRACE(offset);
        ASSERT_EQ(r.load_driver(), STATUS_SUCCESS);
        r.boards.clear();
        sim::BoardConfig c = sim::board_config_from_registry(r.host.registry, 1, 4);
        c.bar1_offset = offset;
        sim::Card& card = r.add_board(c);
        ASSERT_EQ(int64_t(card.bar_base(1)) - int64_t(card.bar_base(0)), offset);
        plat::ndis::Adapter* na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        Adapter* a = rig::Rig::driver_adapter(na);
        EXPECT_EQ(int64_t(a->PhysicalAddressBAR1) - int64_t(a->PhysicalAddressBAR0), offset);
        r.halt(na);
    }
    EXPECT_TRUE(r.host.error_log.empty() || r.host.error_log.back().values.back() != 32);
}

// A reset while the framers are still being brought up drops the pending steps and
// starts again from framer 0; the chain then completes once.
TEST_F(EntryTest, ASecondResetHalfWayThroughABringUpStartsAgainFromFramerZero)
{
    r.host.registry.set_dword(r.parameters_key(1), "AdapterID", 7);
    sim::BoardConfig c = sim::board_config_from_registry(r.host.registry, 1, 4);
    c.device_id = sim::kDeviceFourLine;
    sim::Card& card = r.add_board(c);
    for (unsigned n = 0; n < 4; n++) card.framer(n)->log_writes(true);
    ASSERT_EQ(r.load_driver(), STATUS_SUCCESS);
    plat::ndis::Adapter* na = r.initialize(1);
    Adapter* a = rig::Rig::driver_adapter(na);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->NumberOfLines, 4u);
    // Run until framer 1 has started its software reset: framer 0 is done, 2 and 3 not.
    // Marks count writes per framer; a soft reset is a PCR0 write with bit 7.
    size_t mark[4] = {};
    auto soft_resets = [&](unsigned n, std::vector<plat::VTime>* times = nullptr) {
        int k = 0;
        const auto& w = card.framer(n)->writes();
        for (size_t i = mark[n]; i < w.size(); i++)
            if (w[i].reg == sim::Framer::kPcr0 && (w[i].value & 0x80)) {
                k++;
                if (times) times->push_back(w[i].time);
            }
        return k;
    };
    ASSERT_TRUE(rig::run_until(r.host, [&] { return soft_resets(1) > 0; }, plat::ms(2000)));
    EXPECT_EQ(soft_resets(2), 0);
    EXPECT_EQ(a->BringUpCompleted, 0);

    for (unsigned n = 0; n < 4; n++) mark[n] = card.framer(n)->writes().size();
    rig::with_adapter_lock(a, [&] { ResetAdapter(a); });
    ASSERT_TRUE(rig::run_until(r.host, [&] { return a->BringUpCompleted == 1; }, plat::ms(5000)));
    EXPECT_EQ(a->AdapterFailed, 0);
    EXPECT_EQ(a->IrqEnabled, 1);
    std::vector<plat::VTime> t0, t1;
    EXPECT_EQ(soft_resets(0, &t0), 1);
    EXPECT_EQ(soft_resets(1, &t1), 1) << "framer 1's dropped step does not run on";
    EXPECT_EQ(soft_resets(2), 1);
    EXPECT_EQ(soft_resets(3), 1);
    ASSERT_EQ(t0.size(), 1u);
    ASSERT_EQ(t1.size(), 1u);
    EXPECT_LT(t0[0], t1[0]) << "the chain starts again from framer 0";
    r.halt(na);
}

// Every injection point of initialisation, each call in turn: the entry's code and
// sub-code name the failure, and nothing is left held. Each attempt gets a board fresh
// from power-up (command registers clear), so the command-register paths are reached.
TEST_F(EntryTest, EveryInitialisationFaultLogsItsCodeAndSubCode)
{
    using Point = FaultInjector::Point;
    struct Attempt {
        bool initialised;
        uint32_t code, sub;  // the last entry (0/0: none)
    };
    auto attempts = [&](Point p) {
        std::vector<Attempt> out;
        for (uint64_t n = 1; n < 200; n++) {
            SCOPED_TRACE(testing::Message() << "point " << p << " call " << n);
            r.boards.clear();
            r.add_board_for(1, 4);
            r.host.error_log.clear();
            r.host.faults.reset();
            r.host.faults.fail_at(p, n);
            plat::ndis::Adapter* na = r.initialize(1);
            Attempt a{na != nullptr, 0, 0};
            if (!r.host.error_log.empty()) {
                a.code = r.host.error_log.back().code;
                a.sub = r.host.error_log.back().values.empty() ? 0 : r.host.error_log.back().values.back();
            }
            bool reached = r.host.faults.calls(p) >= n;
            if (na != nullptr) {
                r.halt(na);
                EXPECT_EQ(r.load_driver(), STATUS_SUCCESS);
            }
            EXPECT_EQ(r.host.allocations.size(), 0u);
            EXPECT_EQ(r.host.io.mapped(), 0u);
            EXPECT_EQ(r.host.irq.connections(), 0u);
            if (!reached) break;  // every call of the kind has been failed once
            out.push_back(a);
        }
        return out;
    };
    ASSERT_EQ(r.load_driver(), STATUS_SUCCESS);
    r.set_firmware(sim::fw::build_image(sim::fw::default_layout()));

    // Memory: the adapter record (3), each parameter's key name (35), the line's stack
    // (31), then the three name buffers of the serial ports' values (35).
    auto alloc = attempts(FaultInjector::Alloc);
    ASSERT_GE(alloc.size(), 6u);
    size_t stack = alloc.size() - 4;
    for (size_t i = 0; i < alloc.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(alloc[i].initialised);
        EXPECT_EQ(alloc[i].code, 0xC0001389u);
        EXPECT_EQ(alloc[i].sub, i == 0 ? 3u : i == stack ? 31u : 35u);
    }

    // Configuration reads: the scan skips a short read of another slot; the board's own
    // reads name where they failed.
    std::vector<std::pair<uint32_t, uint32_t>> failed;
    for (const Attempt& a : attempts(FaultInjector::PciRead))
        if (!a.initialised) failed.push_back({a.code, a.sub});
    EXPECT_EQ(failed, (std::vector<std::pair<uint32_t, uint32_t>>{
                          {0xC000138B, 6}, {0xC000138B, 7}, {0xC0001389, 11}, {0xC0001389, 13}, {0xC0001389, 16},
                          {0xC0001389, 17}}));

    // Command-register writes: function 0 (12), function 1 (18).
    failed.clear();
    for (const Attempt& a : attempts(FaultInjector::PciWrite))
        if (!a.initialised) failed.push_back({a.code, a.sub});
    EXPECT_EQ(failed, (std::vector<std::pair<uint32_t, uint32_t>>{{0xC0001389, 12}, {0xC0001389, 18}}));

    // The firmware file: not opened (29) or not mapped (30) is logged, and the adapter
    // still comes up.
    auto open = attempts(FaultInjector::FileOpen);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_TRUE(open[0].initialised);
    EXPECT_EQ(open[0].code, 0xC0001393u);
    EXPECT_EQ(open[0].sub, 29u);
    auto map = attempts(FaultInjector::FileMap);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_TRUE(map[0].initialised);
    EXPECT_EQ(map[0].sub, 30u);
}

}  // namespace

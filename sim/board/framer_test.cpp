// The framer model: its register behaviours, its interrupt, the line condition and
// robbed bits, the multiframe rate, and its fitting on the card.
#include "sim/board/framer.h"

#include <gtest/gtest.h>

#include "sim/board/card.h"

namespace {

using sim::Framer;

constexpr uint32_t reg(unsigned n) { return 4 * n; }

struct FramerFixture : ::testing::Test {
    plat::Scheduler sched;
    sim::Line line{0};
    Framer f{sched, line};
    std::vector<bool> irq_changes;

    void SetUp() override
    {
        f.on_irq([this](bool on) { irq_changes.push_back(on); });
        line.on_condition([this] { f.condition_changed(); });
        line.on_errors([this](unsigned pair, unsigned n) { f.count_errors(pair, n); });
    }
    uint8_t rd(unsigned n) { return uint8_t(f.mmio_read(reg(n), 1)); }
    void wr(unsigned n, uint8_t v) { f.mmio_write(reg(n), 1, v); }
    // The driver's T1 (or E1) framing with the receive framer on; the alarm edges the
    // programming latched are read away.
    void program(uint8_t pcr0 = 0x1B)
    {
        wr(Framer::kPcr0, pcr0);
        wr(Framer::kRcr0, (pcr0 & 0x01) ? 0x03 : 0x09);
        for (unsigned r = Framer::kIsr7; r <= Framer::kIsr0; ++r) rd(r);
    }
};

TEST_F(FramerFixture, DidIsReadOnlyAndConfigurable)
{
    f.log_writes(true);
    EXPECT_EQ(rd(Framer::kDid), 0x08);
    wr(Framer::kDid, 0x33);
    EXPECT_EQ(rd(Framer::kDid), 0x08);
    f.set_did(0xFF);
    EXPECT_EQ(rd(Framer::kDid), 0xFF);
    ASSERT_EQ(f.writes().size(), 1u) << "writes are logged even where the register ignores them";
    EXPECT_EQ(f.writes()[0].reg, Framer::kDid);
}

TEST_F(FramerFixture, SoftResetClearsItselfAfterItsTimeOrNever)
{
    wr(0x40, 0x55);
    wr(Framer::kPcr0, 0x81);
    EXPECT_EQ(rd(Framer::kPcr0) & 0x80, 0x80);
    EXPECT_TRUE(f.in_soft_reset());
    wr(Framer::kPcr0, 0x01);  // bit 7 cannot be written off
    EXPECT_EQ(rd(Framer::kPcr0) & 0x80, 0x80);
    sched.run_for(plat::ms(1));
    EXPECT_EQ(rd(Framer::kPcr0), 0x00);
    EXPECT_EQ(rd(0x40), 0x00) << "the software reset restores every register";

    f.set_soft_reset_time(std::nullopt);
    wr(Framer::kPcr0, 0x80);
    sched.run_for(plat::ms(10000));
    EXPECT_EQ(rd(Framer::kPcr0) & 0x80, 0x80);
}

TEST_F(FramerFixture, HardwareResetHidesEverythingAndRestoresPowerUp)
{
    wr(0x40, 0x55);
    f.hw_reset(true);
    EXPECT_EQ(rd(Framer::kDid), 0);
    wr(0x40, 0x11);
    EXPECT_EQ(f.stray_accesses(), 1u);
    f.hw_reset(false);
    EXPECT_EQ(rd(0x40), 0);
    EXPECT_EQ(rd(Framer::kDid), 0x08);
}

// Interrupt status latches the line's alarm changes, clears on read, and the request
// follows status & enable; IRR shows which ISR has an enabled bit pending.
TEST_F(FramerFixture, StatusClearsOnReadAndTheRequestFollowsTheEnables)
{
    program();
    line.take_down();
    EXPECT_TRUE(irq_changes.empty()) << "nothing is enabled";
    EXPECT_EQ(rd(Framer::kIrr), 0);
    wr(Framer::kIer7, 0x02);  // IER7: RLOF
    ASSERT_EQ(irq_changes, std::vector<bool>{true});
    EXPECT_EQ(rd(Framer::kIrr), 0x80);
    EXPECT_EQ(rd(Framer::kIsr7), Framer::kRlof | Framer::kRlos | Framer::kRalos);
    EXPECT_EQ(rd(Framer::kIsr7), 0) << "clear on read";
    EXPECT_EQ(irq_changes, (std::vector<bool>{true, false}));
    EXPECT_EQ(rd(Framer::kIsr7 + 3), Framer::kIsr4Rlof) << "ISR4 counts the loss of frame";
    wr(Framer::kIsr7, 0xFF);
    EXPECT_EQ(rd(Framer::kIsr7), 0) << "status cannot be written";

    line.bring_up();  // the end of an alarm latches too
    EXPECT_EQ(irq_changes.back(), true);
    EXPECT_EQ(rd(Framer::kIsr7), Framer::kRlof | Framer::kRlos | Framer::kRalos);
    EXPECT_FALSE(f.irq());
}

TEST_F(FramerFixture, AlarmsAndSyncFollowTheLineCondition)
{
    struct Case {
        const char* name;
        sim::LineCondition c;
        uint8_t alm1, rstat;
    };
    const Case cases[] = {
        {"clean", {}, 0, 0x03},
        {"signal lost", {false, false, false, false}, Framer::kRlos | Framer::kRalos | Framer::kRlof, 0},
        {"out of frame", {true, false, false, false}, Framer::kRlof, 0},
        {"AIS", {true, true, true, false}, Framer::kRais | Framer::kRlof, 0},
        {"yellow", {true, true, false, true}, Framer::kRyel, 0x03},
    };
    program();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line.set_condition(c.c);
        EXPECT_EQ(rd(Framer::kAlm1), c.alm1);
        EXPECT_EQ(rd(Framer::kRstat), c.rstat);
    }
}

// A clean line syncs only a framer programmed for what the far end sends: an
// unconfigured framer, a T1 framer on an E1 line (or the reverse), or a T1 framer whose
// multiframe differs from the far end's stays out of frame and reports loss of frame.
TEST_F(FramerFixture, SyncFollowsTheProgrammedFraming)
{
    struct Case {
        const char* name;
        sim::LineFormat line;
        int pcr0;  // -1: never programmed
        bool sync;
    };
    const Case cases[] = {
        {"unconfigured on T1", {true, 0}, -1, false},
        {"unconfigured on E1", {false, 0}, -1, false},
        {"T1 ESF on T1", {true, 0}, 0x1B, true},
        {"T1 ESF on T1 ESF", {true, 24}, 0x1B, true},
        {"T1 SF on T1 ESF", {true, 24}, 0x09, false},
        {"T1 SF on T1 SF", {true, 12}, 0x09, true},
        {"T1 on E1", {false, 0}, 0x1B, false},
        {"E1 on E1", {false, 0}, 0x08, true},
        {"E1 on T1", {true, 0}, 0x08, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        f.hw_reset(false);
        line.set_format(c.line);
        if (c.pcr0 >= 0) program(uint8_t(c.pcr0));
        EXPECT_EQ(rd(Framer::kRstat), c.sync ? 0x03 : 0x00);
        EXPECT_EQ(rd(Framer::kAlm1), c.sync ? 0 : Framer::kRlof);
    }
    // Reprogramming for the line brings the frame, with an RLOF edge in ISR7.
    f.hw_reset(false);
    line.set_format({false, 0});
    program(0x1B);
    wr(Framer::kPcr0, 0x08);
    EXPECT_EQ(rd(Framer::kIsr7) & Framer::kRlof, Framer::kRlof);
    EXPECT_EQ(rd(Framer::kRstat), 0x03);
    // The far end switching its framing loses it again.
    line.set_format({true, 0});
    EXPECT_EQ(rd(Framer::kAlm1), Framer::kRlof);
}

TEST_F(FramerFixture, ErrorCountersClearWhenTheHighByteIsRead)
{
    f.count_errors(1, 0x123);
    EXPECT_EQ(rd(0x52), 0x23);
    EXPECT_EQ(rd(0x53), 0x01);
    EXPECT_EQ(rd(0x52), 0x00);
    f.count_errors(1, 0x20000);
    EXPECT_EQ(rd(0x52), 0xFF) << "saturates";
}

TEST_F(FramerFixture, RobbedBitsInFromAndOutToTheFarEnd)
{
    line.rx_robbed[5] = 0x0A;
    EXPECT_EQ(rd(Framer::kRsig + 5), 0xA0);
    wr(Framer::kTpc + 7, 0x03);  // signalling not inserted
    EXPECT_EQ(line.tx_robbed[7], 0);
    wr(Framer::kTpc + 7, 0x1C);
    EXPECT_EQ(line.tx_robbed[7], 0x0C);
}

// Receive-multiframe events come at the multiframe rate of the framing the driver
// wrote, only while enabled and in frame.
TEST_F(FramerFixture, MultiframeRateFollowsTheFramingInPcr0)
{
    struct Case {
        uint8_t pcr0;
        uint64_t in_30ms;
    };
    const Case cases[] = {{0x1B, 10}, {0x09, 20}, {0x01, 20}, {0x1A, 15}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.pcr0));
        f.hw_reset(false);
        line.set_format({(c.pcr0 & 0x01) != 0, 0});
        program(c.pcr0);
        uint64_t before = f.multiframes();
        sched.run_for(plat::ms(30));
        EXPECT_EQ(f.multiframes() - before, 0u) << "not enabled";
        wr(Framer::kIer7 + 4, Framer::kIsr3Rmf);
        before = f.multiframes();
        sched.run_for(plat::ms(30));
        EXPECT_EQ(f.multiframes() - before, c.in_30ms);
        EXPECT_EQ(rd(Framer::kIsr7 + 4), Framer::kIsr3Rmf);
        line.take_down();
        before = f.multiframes();
        sched.run_for(plat::ms(30));
        EXPECT_EQ(f.multiframes() - before, 0u) << "out of frame";
        line.bring_up();
        wr(Framer::kIer7 + 4, 0);
    }
}

TEST_F(FramerFixture, SystemBusCarriesTheSlotsTheDriverMapped)
{
    EXPECT_FALSE(f.clocking());
    EXPECT_EQ(f.bus_slot_channel(3), -1);
    wr(Framer::kSbiCr, 0x40);
    wr(Framer::kSbc + 3, 0x01);
    EXPECT_TRUE(f.clocking());
    EXPECT_EQ(f.bus_slot_channel(3), 3);
    EXPECT_EQ(f.bus_slot_channel(4), -1);
    EXPECT_EQ(f.bus_slot_channel(32), -1);
}

// The bus rate is the one SBI_CR's format and CSEL's clock select together, as the
// driver programs them per system-bus mode; a pair that disagrees drives no bus.
TEST_F(FramerFixture, SystemBusRateFollowsSbiCrAndCsel)
{
    struct Case {
        uint8_t sbi, csel;
        unsigned rate;
    } cases[] = {
        {0x47, 0x05, 1544}, {0x46, 0x01, 2048}, {0x44, 0x02, 4096}, {0x40, 0x03, 8192}, {0x57, 0xF5, 1544},
        {0x47, 0x01, 0},    {0x40, 0x05, 0},    {0x46, 0x03, 0},    {0x07, 0x05, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "SBI_CR " << int(c.sbi) << " CSEL " << int(c.csel));
        wr(Framer::kSbiCr, c.sbi);
        wr(Framer::kCsel, c.csel);
        EXPECT_EQ(f.bus_rate(), c.rate);
    }
    wr(Framer::kSbiCr, 0x47);
    wr(Framer::kCsel, 0x05);
    f.hw_reset(true);
    EXPECT_EQ(f.bus_rate(), 0u) << "a framer in reset drives no bus";
}

TEST_F(FramerFixture, StrayAccessesAreCountedNotServed)
{
    f.log_writes(true);
    EXPECT_EQ(f.mmio_read(2, 1), 0u);
    f.mmio_write(0x800, 1, 1);
    EXPECT_EQ(f.stray_accesses(), 2u);
    EXPECT_TRUE(f.writes().empty());
}

// On the card: one framer per line, held in reset by the board latch, interrupting on
// function 1.
TEST(FramerOnCard, OnePerLineFollowingTheResetLatchAndInterruptingOnFunctionOne)
{
    plat::Host host;
    sim::BoardConfig c;
    c.adapter_id = 7;
    c.device_id = sim::kDeviceFourLine;
    sim::Card card(host, c);
    for (unsigned n = 0; n < 4; n++) ASSERT_NE(card.framer(n), nullptr);
    EXPECT_TRUE(card.framer(0)->in_hw_reset());
    // Board type 7: separate latches; reset released by the reset latch, IRQ by bits 0-1.
    uint16_t command = sim::kPciCommandMemory;
    card.function(1).config_write(sim::kPciCommand, &command, 2);
    plat::MmioDevice* bus = &card.function(1).bar_window();
    bus->mmio_write(card.type().reset_latch, 4, 0xFFFFFFFF);
    EXPECT_FALSE(card.framer(2)->in_hw_reset());
    uint32_t window = card.type().framer_window[2];
    bus->mmio_write(window + 4 * Framer::kPcr0, 1, 0x1B);  // T1, the framing programmed
    bus->mmio_write(window + 4 * Framer::kRcr0, 1, 0x03);
    bus->mmio_read(window + 4 * Framer::kIsr7, 1);
    bus->mmio_write(window + 4 * Framer::kIer7, 1, 0x02);
    card.line(2).take_down();
    EXPECT_TRUE(card.irq_requested(1));
    EXPECT_FALSE(card.irq_requested(0));
    EXPECT_EQ(bus->mmio_read(card.type().framer_window[2] + 4 * Framer::kIsr7, 1) & Framer::kRlof, Framer::kRlof);
    EXPECT_FALSE(card.irq_requested(1));
    bus->mmio_write(card.type().reset_latch, 4, 0);
    EXPECT_TRUE(card.framer(2)->in_hw_reset());
}

}  // namespace

// The write log is kept only on request: a driver polling for hours must not grow it.
TEST_F(FramerFixture, WritesAreLoggedOnlyWhenAsked)
{
    for (int i = 0; i < 1000; i++) wr(Framer::kSbc, 0x01);
    EXPECT_TRUE(f.writes().empty());
    f.log_writes(true);
    wr(Framer::kSbc + 1, 0x01);
    ASSERT_EQ(f.writes().size(), 1u);
    EXPECT_EQ(f.writes()[0].reg, Framer::kSbc + 1u);
    f.log_writes(false);
    EXPECT_TRUE(f.writes().empty());
}

namespace {

// ALM2 and the error counters follow the far end: its loop codes, loss of frame (the
// loop-timed transmitter loses it too), a one-second tick, and the errors it sends.
TEST_F(FramerFixture, Alarm2AndErrorCountersFollowTheFarEnd)
{
    program();
    EXPECT_EQ(rd(Framer::kAlm2), 0);
    sim::LineCondition up{};
    up.loop_code = 1;
    line.set_condition(up);
    EXPECT_EQ(rd(Framer::kAlm2), Framer::kLoopUp);
    EXPECT_EQ(rd(Framer::kIsr7 + 1), Framer::kLoopUp) << "ISR6 latches the change";
    up.loop_code = 2;
    line.set_condition(up);
    EXPECT_EQ(rd(Framer::kAlm2), Framer::kLoopDown);
    EXPECT_EQ(rd(Framer::kIsr7 + 1), Framer::kLoopUp | Framer::kLoopDown);
    line.set_condition({true, false, false, false});
    EXPECT_EQ(rd(Framer::kAlm2), Framer::kTlof);
    line.bring_up();
    rd(Framer::kIsr7 + 1);
    sched.run_for(plat::ms(1000));
    EXPECT_EQ(rd(Framer::kIsr7 + 1), Framer::kOnesec);
    line.send_errors(1, 0x105);
    EXPECT_EQ(rd(0x52), 0x05);
    EXPECT_EQ(rd(0x53), 0x01);
}

}  // namespace

// The HDLC controller model and the time-slot switch, driven through their registers and
// a block of host memory laid out as a driver would.
#include "sim/board/hdlc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "sim/board/card.h"
#include "sim/board/framer.h"
#include "sim/board/tsswitch.h"

namespace {

using H = sim::HdlcController;

constexpr uint32_t kArea = 0x0;         // group 0 descriptor area
constexpr uint32_t kQueue = 0x2000;     // interrupt queue
constexpr uint32_t kTxDescr = 0x3000;   // channel 5: two transmit descriptors
constexpr uint32_t kRxDescr = 0x3100;   // channel 5: two receive descriptors
constexpr uint32_t kTxBuf = 0x4000;
constexpr uint32_t kRxBuf = 0x6000;
constexpr uint32_t kChannel = 5;

uint32_t srq(uint32_t op, uint32_t channel = 0, bool transmit = false)
{
    return op << 8 | (transmit ? 0x20 : 0) | channel;
}
uint32_t sack(uint32_t group, uint32_t channel, bool transmit, uint32_t error = 0)
{
    return (transmit ? 1u << 31 : 0) | group << 29 | channel << 24 | 1u << 20 | error << 16;
}

class HdlcModel : public ::testing::Test {
public:
    plat::Host host;
    sim::Card card{host, sim::BoardConfig{}};
    H& hdlc = card.hdlc();
    plat::PhysMemory::Block mem = host.phys.allocate(0x10000);
    unsigned bus_rate = 2048;  // line 0's framer bus, kbit/s

    void SetUp() override
    {
        std::memset(mem.virt, 0, mem.size);
        // The framer's side of the bus, as a configured framer of line 0 answers it.
        card.framer_clock = [](unsigned line) { return line == 0; };
        card.bus_slot_channel = [](unsigned line, unsigned slot) { return line == 0 && slot < 32 ? int(slot) : -1; };
        card.bus_rate = [this](unsigned line) { return line == 0 ? bus_rate : 0u; };
    }
    void TearDown() override { host.phys.free(mem.virt, mem.size); }

    uint32_t phys(uint32_t off) const { return uint32_t(mem.phys) + off; }
    uint32_t& word(uint32_t off) { return *reinterpret_cast<uint32_t*>(mem.virt + off); }
    void reg_write(uint32_t off, uint32_t v) { hdlc.mmio_write(off, 4, v); }
    uint32_t reg_read(uint32_t off) { return hdlc.mmio_read(off, 4); }
    void request(uint32_t word_value, uint32_t group = 0)
    {
        reg_write(group * H::kGroupWindow + H::kRegSrq, word_value);
        host.run_for(plat::ms(1));
    }
    uint32_t entry(uint32_t i) { return word(kQueue + 4 * i); }
    void ack(uint32_t next) { reg_write(H::kRegIntStatus, next << 16); }

    // A group-0 area with a queue of the given size, channel 5 on time slot 8 (port mode 1:
    // bus slot 9) in both directions, two-descriptor rings of 256-byte buffers.
    void program(uint32_t queue_entries = 1024)
    {
        word(kArea + H::kAreaQueueAddr) = phys(kQueue);
        word(kArea + H::kAreaQueueLen) = queue_entries - 1;
        word(kArea + H::kAreaPortCfg) = 1;
        word(kArea + H::kAreaTxMap + 8) = 0x1F1F1F80 | kChannel;
        word(kArea + H::kAreaRxMap + 8) = 0x1F1F1F80 | kChannel;
        word(kArea + H::kAreaTxMsg + 4 * kChannel) = phys(kTxDescr);
        word(kArea + H::kAreaRxMsg + 4 * kChannel) = phys(kRxDescr);
        for (uint32_t i = 0; i < 2; i++) {
            word(kTxDescr + 12 * i + 4) = phys(kTxBuf + 256 * i);
            word(kTxDescr + 12 * i + 8) = phys(kTxDescr + 12 * ((i + 1) % 2));
            word(kRxDescr + 12 * i) = 256;
            word(kRxDescr + 12 * i + 4) = phys(kRxBuf + 256 * i);
            word(kRxDescr + 12 * i + 8) = phys(kRxDescr + 12 * ((i + 1) % 2));
        }
        reg_write(H::kRegGroupDescr, phys(kArea));
        request(srq(H::kSoftReset));
        request(srq(H::kGlobalInit));
        request(srq(H::kGroupInit));
        ack(2);
    }
};

TEST_F(HdlcModel, SoftResetForgetsEverythingAndAReprogrammedQueueStartsAfresh)
{
    program();
    EXPECT_EQ(entry(0), sack(0, 0, false));
    EXPECT_EQ(entry(1), sack(0, 0, false));
    request(srq(H::kActivate, kChannel, true));
    EXPECT_TRUE(hdlc.channel_active(true, 0, kChannel));
    EXPECT_EQ(hdlc.queue_count(), 1u);
    EXPECT_TRUE(card.irq_requested(0));

    uint64_t written = hdlc.stats().entries_written;
    request(srq(H::kSoftReset));
    EXPECT_EQ(hdlc.stats().entries_written, written) << "a soft reset is not acknowledged";
    EXPECT_FALSE(hdlc.channel_active(true, 0, kChannel));
    EXPECT_FALSE(hdlc.queue_programmed());
    EXPECT_FALSE(card.irq_requested(0));
    EXPECT_EQ(hdlc.map_byte(false, 0, 8), 0) << "live maps cleared";

    word(kQueue) = 0;
    request(srq(H::kGlobalInit));
    EXPECT_EQ(entry(0), sack(0, 0, false)) << "the queue is written from its start again";
    EXPECT_EQ(hdlc.queue_count(), 1u);
}

TEST_F(HdlcModel, EveryServiceRequestIsAnsweredInOrderWithItsIdentity)
{
    program();
    struct Case {
        const char* name;
        uint32_t group, word, expect;
    } cases[] = {
        {"no-op with direction", 0, srq(H::kNop, 0, true), sack(0, 0, true)},
        {"group init of group 1", 1, srq(H::kGroupInit, 0, true), sack(1, 0, true)},
        {"activate receive", 0, srq(H::kActivate, kChannel), sack(0, kChannel, false)},
        {"deactivate transmit", 0, srq(H::kDeactivate, 7, true), sack(0, 7, true)},
        {"activate on a group never initialised", 2, srq(H::kActivate, 3), sack(2, 3, false, H::kErrProt)},
        {"unknown operation", 0, srq(3, 1), sack(0, 1, false, H::kErrProt)},
    };
    // Group 1 reads its own area: give it one (a copy of group 0's layout is enough).
    reg_write(H::kGroupWindow + H::kRegGroupDescr, phys(kArea));
    for (const Case& c : cases) reg_write(c.group * H::kGroupWindow + H::kRegSrq, c.word);
    host.run_for(plat::ms(1));
    ASSERT_EQ(hdlc.executed().size(), 2u + std::size(cases));
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(entry(2 + i), cases[i].expect);
    }
    EXPECT_TRUE(hdlc.channel_active(false, 0, kChannel));
}

TEST_F(HdlcModel, SlowAndLostAcknowledgements)
{
    program();
    hdlc.knobs.ack_delay = plat::ms(5);
    hdlc.knobs.lose_acks = 1;
    reg_write(H::kRegSrq, srq(H::kNop));
    reg_write(H::kRegSrq, srq(H::kNop, 1));
    host.run_for(plat::ms(4));
    EXPECT_EQ(hdlc.executed().size(), 2u) << "nothing before the delay";
    host.run_for(plat::ms(10));
    EXPECT_EQ(hdlc.executed().size(), 4u);
    EXPECT_EQ(hdlc.stats().acks_lost, 1u);
    EXPECT_EQ(entry(2), sack(0, 1, false)) << "the first acknowledgement was lost";
}

// A full queue holds entries back until the driver acknowledges, and an acknowledgement
// at the same index as the last one takes a full queue.
TEST_F(HdlcModel, FullQueueHoldsBackAndAcknowledgementArithmetic)
{
    program(4);  // entries 0, 1 used and acknowledged
    for (uint32_t i = 0; i < 6; i++) hdlc.post_entry(0x100 + i);
    EXPECT_EQ(reg_read(H::kRegIntStatus) & 0x7FFF, 4u);
    EXPECT_EQ(hdlc.queue_backlog(), 2u);
    EXPECT_EQ(entry(2), 0x100u);
    EXPECT_EQ(entry(1), 0x103u) << "wrapped";
    ack(2);  // same index as before: the whole full queue
    EXPECT_EQ(hdlc.queue_count(), 0u) << "the backlog lands in the controller's own time";
    host.run_for(plat::ms(1));
    EXPECT_EQ(hdlc.queue_count(), 2u) << "the backlog moved in";
    EXPECT_EQ(entry(2), 0x104u);
    EXPECT_EQ(entry(3), 0x105u);
    ack(0);
    EXPECT_EQ(hdlc.queue_count(), 0u);
    EXPECT_FALSE(card.irq_requested(0));
    ack(1);  // beyond what is outstanding
    EXPECT_EQ(hdlc.stats().bad_acks, 1u);
}

// A driver that never acknowledges does not grow the backlog without end: beyond its
// limit entries are lost and counted, and what was held back still lands in order.
TEST_F(HdlcModel, BacklogOfAFullQueueIsBounded)
{
    program(4);  // entries 0, 1 used and acknowledged
    hdlc.knobs.backlog_limit = 3;
    for (uint32_t i = 0; i < 100; i++) hdlc.post_entry(0x200 + i);
    EXPECT_EQ(hdlc.queue_count(), 4u);
    EXPECT_EQ(hdlc.queue_backlog(), 3u);
    EXPECT_EQ(hdlc.stats().entries_lost, 93u);
    ack(2);
    host.run_for(plat::ms(1));
    EXPECT_EQ(hdlc.queue_backlog(), 0u);
    EXPECT_EQ(entry(2), 0x204u);
    EXPECT_EQ(entry(3), 0x205u);
    EXPECT_EQ(entry(0), 0x206u);
}

TEST_F(HdlcModel, ClocksFollowTheFramerAndTheKnobs)
{
    const uint32_t both0 = (1u << 16) | (1u << 20);
    EXPECT_EQ(reg_read(H::kRegGlobalCfg) & both0, both0);
    reg_write(H::kRegGlobalCfg, 0x7F73);
    EXPECT_EQ(reg_read(H::kRegGlobalCfg), 0x7F73u | both0) << "storage besides the read-only clock bits";
    EXPECT_EQ(reg_read(H::kRegGlobalCfg) & (1u << 17), 0u) << "no framer on line 1";
    hdlc.knobs.resets_before_clocks = 2;
    request(srq(H::kSoftReset));
    EXPECT_EQ(reg_read(H::kRegGlobalCfg) & both0, 0u);
    request(srq(H::kSoftReset));
    EXPECT_EQ(reg_read(H::kRegGlobalCfg) & both0, both0);
    hdlc.knobs.clocks_never = true;
    EXPECT_EQ(reg_read(H::kRegGlobalCfg) & both0, 0u);
}

TEST_F(HdlcModel, TransmitWalksOwnedDescriptorsToTheLine)
{
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> at_far_end;
    card.line(0).on_frame_from_adapter([&](uint32_t m, const std::vector<uint8_t>& f) { at_far_end.push_back({m, f}); });
    program();
    const uint8_t a[] = {1, 2, 3}, b[] = {9, 8};
    std::memcpy(mem.virt + kTxBuf, a, 3);
    std::memcpy(mem.virt + kTxBuf + 256, b, 2);
    word(kTxDescr) = 0x80000000 | 0x20000000 | 3;  // owned, end of message
    word(kTxDescr + 12) = 0x20000000 | 2;           // not owned: stays
    request(srq(H::kActivate, kChannel, true));
    host.run_for(plat::ms(5));
    ASSERT_EQ(at_far_end.size(), 1u);
    EXPECT_EQ(at_far_end[0].first, 1u << 9) << "slot 8 in port mode 1 is bus slot 9";
    EXPECT_EQ(at_far_end[0].second, std::vector<uint8_t>(a, a + 3));
    EXPECT_EQ(word(kTxDescr) >> 31, 0u) << "handed back";
    EXPECT_EQ(word(kTxDescr + 12), 0x20000000u | 2) << "a descriptor the controller does not own is left alone";

    // Now the second one is handed over, in two buffers: ring wraps to the first.
    std::memcpy(mem.virt + kTxBuf, b, 2);
    word(kTxDescr + 12) = 0x80000000 | 2;          // no end of message: continues
    word(kTxDescr) = 0x80000000 | 0x20000000 | 2;
    host.run_for(plat::ms(5));
    ASSERT_EQ(at_far_end.size(), 2u);
    EXPECT_EQ(at_far_end[1].second, (std::vector<uint8_t>{9, 8, 9, 8}));

    hdlc.knobs.underruns = 1;
    word(kTxDescr + 12) = 0x80000000 | 0x20000000 | 2;
    hdlc.clear_writes();
    host.run_for(plat::ms(5));
    EXPECT_EQ(at_far_end.size(), 2u);
    EXPECT_FALSE(hdlc.channel_active(true, 0, kChannel)) << "an under-run stops the transmitter";
    EXPECT_EQ(word(kTxDescr + 12) >> 31, 1u) << "the frame stays the controller's";
    EXPECT_EQ(entry(hdlc.stats().entries_written - 1), (1u << 31) | kChannel << 24 | H::kErrOnr << 16);
}

TEST_F(HdlcModel, ReceiveFillsOwnedDescriptorsAndOverrunsOnTheDriversOnes)
{
    program();
    request(srq(H::kActivate, kChannel));
    struct Case {
        const char* name;
        H::RxFault fault;
        uint32_t code;
    } cases[] = {{"good", H::RxFault::None, 0}, {"bad checksum", H::RxFault::BadFcs, H::kErrFcs}};
    for (uint32_t i = 0; i < 2; i++) {
        SCOPED_TRACE(cases[i].name);
        hdlc.knobs.rx_faults.push_back(cases[i].fault);
        card.line(0).frame_to_adapter(1u << 9, {0x02, 0x01, uint8_t(i)});
        host.run_for(plat::ms(1));
        uint32_t s = word(kRxDescr + 12 * i);
        EXPECT_EQ(s, 0x80000000u | 0x20000000u | cases[i].code << 16 | 3);
        EXPECT_EQ(mem.virt[kRxBuf + 256 * i + 2], i);
    }
    // The good frame's event is masked by the channel configuration only when asked to.
    EXPECT_EQ(entry(3), (kChannel << 24) | (H::kEventEom << 20));
    EXPECT_EQ(entry(4), (kChannel << 24) | (H::kEventEom << 20) | (H::kErrFcs << 16));

    // Both descriptors are the driver's now: the next frame is an over-run.
    card.line(0).frame_to_adapter(1u << 9, {7});
    host.run_for(plat::ms(1));
    EXPECT_EQ(hdlc.stats().overruns, 1u);
    EXPECT_EQ(word(kRxDescr) & 0x3FFF, 3u) << "the driver's descriptor is not overwritten";
    EXPECT_EQ(entry(5), (kChannel << 24) | (H::kErrOnr << 16));
    EXPECT_FALSE(hdlc.channel_active(false, 0, kChannel));

    // A frame on a channel with no enabled slot reaches nobody.
    card.line(0).frame_to_adapter(1u << 10, {1});
    host.run_for(plat::ms(1));
    EXPECT_EQ(card.tsswitch().stats().dropped, 1u);
}

TEST_F(HdlcModel, SwitchMapsControllerSlotsByPortMode)
{
    program();
    sim::TimeSlotSwitch& sw = card.tsswitch();
    constexpr int kNo = sim::TimeSlotSwitch::kNoSlot, kModem = sim::TimeSlotSwitch::kModemSlot;
    struct Case {
        uint32_t port_mode;
        unsigned rate;  // of the framer's bus
        uint32_t slot;
        int bus;
    } cases[] = {
        {0, 1544, 0, 1}, {0, 1544, 23, 24}, {0, 1544, 24, kNo}, {1, 2048, 0, 1}, {1, 2048, 15, 16},
        {1, 2048, 30, 31}, {1, 2048, 31, kNo}, {1, 2048, 32, kNo}, {3, 8192, 96, 24}, {3, 8192, 97, kModem},
        {3, 8192, 127, kModem},
        // A framer whose bus runs at another rate than the port carries nothing.
        {0, 2048, 5, kNo}, {1, 1544, 5, kNo}, {1, 4096, 5, kNo}, {3, 2048, 96, kNo}, {0, 0, 5, kNo},
        {3, 1544, 97, kModem},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "port mode " << c.port_mode << " bus rate " << c.rate << " slot " << c.slot);
        bus_rate = c.rate;
        word(kArea + H::kAreaPortCfg) = c.port_mode;
        request(srq(H::kGroupInit));
        EXPECT_EQ(sw.bus_slot(0, c.slot), c.bus);
    }
}

// The switch keeps the framer's answers between frames: every change of the slot maps on
// either side (the framer's bus map and rate, its resets, the controller's live map)
// reroutes the very next frame from the line.
TEST(TimeSlotSwitchOnCard, FramesFromTheLineFollowEveryChangeOfTheMaps)
{
    plat::Host host;
    sim::BoardConfig c;
    c.adapter_id = 7;
    c.device_id = sim::kDeviceFourLine;
    sim::Card card(host, c);
    uint16_t command = sim::kPciCommandMemory;
    card.function(1).config_write(sim::kPciCommand, &command, 2);
    card.function(1).bar_window().mmio_write(card.type().reset_latch, 4, 0xFFFFFFFF);
    sim::Framer& framer = *card.framer(0);
    auto fw = [&](unsigned reg, uint8_t v) { framer.mmio_write(4 * reg, 1, v); };
    auto t1_bus = [&] {
        fw(sim::Framer::kSbiCr, 0x47);
        fw(sim::Framer::kCsel, 0x05);
    };
    auto rx_map = [&](uint32_t word) { card.hdlc().mmio_write(H::kRegRxMap + 4, 4, word); };  // slots 4-7
    t1_bus();
    rx_map(0x80 | 7);  // port mode 0: controller slot 4 is bus slot 5, to channel 7
    struct Step {
        const char* what;
        std::function<void()> change;
        bool delivered;
    } steps[] = {
        {"the framer carries nothing on bus slot 5", [] {}, false},
        {"the framer maps bus slot 5", [&] { fw(sim::Framer::kSbc + 5, 0x01); }, true},
        {"and again", [] {}, true},
        {"the framer unmaps it", [&] { fw(sim::Framer::kSbc + 5, 0x00); }, false},
        {"the framer maps it again", [&] { fw(sim::Framer::kSbc + 5, 0x01); }, true},
        {"the controller's slot disabled", [&] { rx_map(0x07); }, false},
        {"the controller's slot to channel 9", [&] { rx_map(0x80 | 9); }, true},
        {"the framer's bus at the E1 rate", [&] { fw(sim::Framer::kSbiCr, 0x46), fw(sim::Framer::kCsel, 0x01); }, false},
        {"back at the T1 rate", t1_bus, true},
        {"a soft reset cleared the framer's map",
         [&] {
             fw(sim::Framer::kPcr0, 0x80);
             host.run_for(plat::ms(5));
             t1_bus();
         },
         false},
        {"the framer maps bus slot 5 once more", [&] { fw(sim::Framer::kSbc + 5, 0x01); }, true},
    };
    const auto& stats = card.tsswitch().stats();
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        const uint64_t to_hdlc = stats.to_hdlc, dropped = stats.dropped;
        card.line(0).frame_to_adapter(1u << 5, {1, 2, 3});
        EXPECT_EQ(stats.to_hdlc - to_hdlc, step.delivered ? 1u : 0u);
        EXPECT_EQ(stats.dropped - dropped, step.delivered ? 0u : 1u);
    }
}

}  // namespace

#include "sim/board/board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {
namespace {

constexpr uint32_t kSlot = 5;
const std::string kParams = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters";

// Records what reaches it and answers a fixed value.
struct Probe : plat::MmioDevice {
    struct Access {
        bool write;
        uint32_t offset;
        unsigned width;
        uint32_t value;
        bool operator==(const Access&) const = default;
    };
    std::vector<Access> log;
    uint32_t mmio_read(uint32_t offset, unsigned width) override
    {
        log.push_back({false, offset, width, 0});
        return 0x5A;
    }
    void mmio_write(uint32_t offset, unsigned width, uint32_t value) override
    {
        log.push_back({true, offset, width, value});
    }
};

class BoardTest : public ::testing::Test {
protected:
    plat::Host host;
    std::unique_ptr<Board> board;

    Board& make(BoardConfig c = {})
    {
        c.slot = kSlot;
        board.reset();
        board = std::make_unique<Board>(host, c);
        return *board;
    }
    Board& make_type(uint32_t adapter_id)
    {
        BoardConfig c;
        c.adapter_id = adapter_id;
        return make(c);
    }

    plat::PciFunction* fn(int f) { return host.pci.at(plat::pci_slot(kSlot, f)); }
    uint32_t cfg(int f, uint32_t offset, uint32_t width)
    {
        uint32_t v = 0;
        EXPECT_EQ(fn(f)->config_read(offset, &v, width), width);
        return v;
    }
    void set_cfg(int f, uint32_t offset, uint32_t value, uint32_t width)
    {
        EXPECT_EQ(fn(f)->config_write(offset, &value, width), width);
    }
    void enable(int f) { set_cfg(f, kPciCommand, kPciCommandMemory | kPciCommandMaster | kPciCommandSerr, 2); }
    void enable_both()
    {
        enable(0);
        enable(1);
    }

    // A register access the way the driver makes it: through a mapped window that the
    // host decodes. nullopt / false when nothing answers at that address.
    std::optional<uint32_t> bus_read(uint64_t phys, unsigned width = 4)
    {
        void* va = host.io.map(phys, width);
        auto d = host.io.decode(va, width);
        host.io.unmap(va, width);
        if (d.device == nullptr) return std::nullopt;
        return d.device->mmio_read(d.offset, width);
    }
    bool bus_write(uint64_t phys, uint32_t value, unsigned width = 4)
    {
        void* va = host.io.map(phys, width);
        auto d = host.io.decode(va, width);
        host.io.unmap(va, width);
        if (d.device == nullptr) return false;
        d.device->mmio_write(d.offset, width, value);
        return true;
    }
    std::optional<uint32_t> bar1_read(uint32_t offset, unsigned width = 4) { return bus_read(board->bar_base(1) + offset, width); }
    bool bar1_write(uint32_t offset, uint32_t value, unsigned width = 4)
    {
        return bus_write(board->bar_base(1) + offset, value, width);
    }
};

// ---- configuration space ----

TEST_F(BoardTest, ConfigHeaderIdentifiesBothFunctions)
{
    BoardConfig c;
    c.device_id = kDeviceFourLine;
    Board& b = make(c);
    struct Field {
        int fn;
        uint32_t offset, width, expected;
        const char* what;
    };
    const Field fields[] = {
        {0, kPciVendorId, 2, 0x109E, "vendor"},
        {0, kPciDeviceId, 2, 0x8474, "device"},
        {0, kPciCommand, 2, 0, "command off at power-on"},
        {0, kPciClassCode + 2, 1, 0x02, "network controller"},
        {0, kPciHeaderType, 1, 0x80, "multi-function"},
        {0, kPciBar0, 4, uint32_t(b.bar_base(0)), "BAR0: 32-bit memory at its range"},
        {0, kPciInterruptPin, 1, 1, "INTA"},
        {0, kPciInterruptLine, 1, b.vector(0), "line = vector"},
        {1, kPciVendorId, 2, 0x109E, "vendor"},
        {1, kPciDeviceId, 2, kDeviceLocalBus, "device"},
        {1, kPciCommand, 2, 0, "command off at power-on"},
        {1, kPciBar0, 4, uint32_t(b.bar_base(1)), "BAR0: 32-bit memory at its range"},
        {1, kPciInterruptLine, 1, b.vector(1), "line = vector"},
    };
    for (const Field& f : fields) {
        SCOPED_TRACE(testing::Message() << "function " << f.fn << ": " << f.what);
        EXPECT_EQ(cfg(f.fn, f.offset, f.width), f.expected);
    }

    for (int f = 0; f < 2; ++f) {
        SCOPED_TRACE(f);
        EXPECT_EQ(b.bar_base(f) % kBarSize, 0u);
        plat::PciAssigned a = fn(f)->assigned_resources();
        ASSERT_EQ(a.memory.size(), 1u);
        EXPECT_EQ(a.memory[0].base, b.bar_base(f));
        EXPECT_EQ(a.memory[0].length, kBarSize);
        EXPECT_NE(a.interrupt_vector, 0u);
        EXPECT_EQ(a.interrupt_vector, b.vector(f));
    }
    EXPECT_NE(b.vector(0), b.vector(1));
    uint64_t lo = std::min(b.bar_base(0), b.bar_base(1)), hi = std::max(b.bar_base(0), b.bar_base(1));
    EXPECT_GE(hi - lo, kBarSize);
}

TEST_F(BoardTest, ConfigReadsAreBoundedByTheSpace)
{
    make();
    uint8_t header[64];
    EXPECT_EQ(fn(0)->config_read(0, header, 64), 64u);
    EXPECT_EQ(header[0], 0x9E);
    EXPECT_EQ(header[1], 0x10);
    uint8_t tail[16];
    EXPECT_EQ(fn(0)->config_read(0xF8, tail, 16), 8u);
    EXPECT_EQ(fn(0)->config_read(0x100, tail, 4), 0u);
    EXPECT_EQ(fn(0)->config_write(0x100, tail, 4), 0u);
}

TEST_F(BoardTest, ShortConfigReadsPerFunction)
{
    struct Case {
        std::array<uint32_t, 2> knob;
        std::array<uint32_t, 2> moved;
    };
    const Case cases[] = {{{0, 0}, {64, 64}}, {{16, 0}, {16, 64}}, {{0, 63}, {64, 63}}, {{100, 2}, {64, 2}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.knob[0] << "/" << c.knob[1]);
        BoardConfig config;
        config.short_config_reads = c.knob;
        make(config);
        uint8_t header[64];
        for (int f = 0; f < 2; ++f) EXPECT_EQ(fn(f)->config_read(0, header, 64), c.moved[f]);
        board.reset();
    }
}

TEST_F(BoardTest, CommandRegisterKeepsOnlyItsWritableBitsMinusStuckOnes)
{
    const uint16_t stuck_cases[] = {0, kPciCommandMemory, kPciCommandSerr, kPciCommandMaster | kPciCommandSerr, 0x0106};
    for (uint16_t stuck : stuck_cases) {
        for (int f = 0; f < 2; ++f) {
            SCOPED_TRACE(testing::Message() << "function " << f << " stuck 0x" << std::hex << stuck);
            BoardConfig config;
            config.command_stuck_clear[f] = stuck;
            make(config);
            set_cfg(f, kPciCommand, 0xFFFF, 2);
            EXPECT_EQ(cfg(f, kPciCommand, 2), 0x0106u & ~stuck);
            EXPECT_EQ(cfg(1 - f, kPciCommand, 2), 0u);
            EXPECT_EQ(board->function(f).decoding(), (stuck & kPciCommandMemory) == 0);
            set_cfg(f, kPciCommand, 0, 2);
            EXPECT_EQ(cfg(f, kPciCommand, 2), 0u);
            board.reset();
        }
    }
}

TEST_F(BoardTest, IdentityIsReadOnlyAndBarAnswersItsSize)
{
    Board& b = make();
    uint64_t base = b.bar_base(0);
    set_cfg(0, kPciVendorId, 0x12345678, 4);
    EXPECT_EQ(cfg(0, kPciVendorId, 4), (uint32_t(kDeviceOneLine) << 16) | kVendorId);

    set_cfg(0, kPciBar0, 0xFFFFFFFF, 4);
    EXPECT_EQ(cfg(0, kPciBar0, 4), 0xFFF00000u);  // 1 MiB, 32-bit memory
    set_cfg(0, kPciBar0, uint32_t(base), 4);
    EXPECT_EQ(cfg(0, kPciBar0, 4), uint32_t(base));

    // A moved BAR decodes and is reported at its new place.
    set_cfg(0, kPciBar0, uint32_t(base + 0x1000000 + 0x1234), 4);
    EXPECT_EQ(b.bar_base(0), base + 0x1000000);
    EXPECT_EQ(fn(0)->assigned_resources().memory[0].base, base + 0x1000000);
    enable(0);
    EXPECT_TRUE(bus_write(base + 0x1000000 + 0x40, 7));
    EXPECT_FALSE(bus_read(base + 0x40));
    EXPECT_EQ(b.hdlc_store().peek(0x40), 7u);
}

TEST_F(BoardTest, BarDecodesOnlyWhileMemorySpaceIsOn)
{
    Board& b = make();
    for (int f = 0; f < 2; ++f) {
        SCOPED_TRACE(f);
        uint64_t base = b.bar_base(f);
        uint32_t offset = f == 0 ? 0x100 : b.type().framer_window[0] + 8;
        RegisterStore& store = f == 0 ? b.hdlc_store() : b.framer_store(0);

        EXPECT_FALSE(bus_read(base + offset));
        set_cfg(f, kPciCommand, kPciCommandMaster | kPciCommandSerr, 2);
        EXPECT_FALSE(bus_read(base + offset));
        // What still reaches the function from the bus reads all ones and is dropped.
        EXPECT_EQ(b.function(f).bar_window().mmio_read(offset, 2), 0xFFFFu);
        b.function(f).bar_window().mmio_write(offset, 4, 0x11);
        EXPECT_EQ(b.function(f).dropped_writes(), 1u);
        EXPECT_TRUE(store.writes().empty());

        enable(f);
        ASSERT_TRUE(bus_write(base + offset, 0xCAFE));
        EXPECT_EQ(bus_read(base + offset), 0xCAFEu);
        ASSERT_EQ(store.writes().size(), 1u);
        EXPECT_EQ(store.writes()[0].offset, f == 0 ? offset : 8u);

        set_cfg(f, kPciCommand, 0, 2);
        EXPECT_FALSE(bus_read(base + offset));
        EXPECT_EQ(b.function(f).bar_window().mmio_read(offset, 4), 0xFFFFFFFFu);
    }
    EXPECT_EQ(b.function(0).disabled_reads(), 2u);
}

TEST_F(BoardTest, Bar1PlacementKnob)
{
    const int64_t offsets[] = {0, 0x80000, -0x80000, 0x100000, -0x100000};
    for (int64_t off : offsets) {
        SCOPED_TRACE(off);
        BoardConfig c;
        c.bar1_offset = off;
        Board& b = make(c);
        uint64_t bar1 = fn(1)->assigned_resources().memory.at(0).base;
        EXPECT_EQ(int64_t(bar1 - fn(0)->assigned_resources().memory.at(0).base), off);
        EXPECT_EQ(b.bar_base(1), bar1);
        board.reset();
    }
}

TEST_F(BoardTest, AbsentFunctionAndUnroutedInterrupt)
{
    BoardConfig c;
    c.function1_absent = true;
    c.interrupt_unrouted[0] = true;
    make(c);
    EXPECT_NE(fn(0), nullptr);
    EXPECT_EQ(fn(1), nullptr);
    EXPECT_EQ(fn(0)->assigned_resources().interrupt_vector, 0u);
    EXPECT_EQ(cfg(0, kPciInterruptLine, 1), 0xFFu);
    EXPECT_EQ(fn(0)->assigned_resources().memory.size(), 1u);
}

TEST_F(BoardTest, SharesTheBusAndLeavesItOnTeardown)
{
    ForeignPciDevice nic(host, plat::pci_slot(2, 0), 0x8086, 0x100E, 0x20000, true);
    Board& a = make();
    Board other(host, [] { BoardConfig c; c.slot = 9; return c; }());
    enable_both();
    other.function(0).config_write(kPciCommand, "\x02\x00", 2);
    nic.function().config_write(kPciCommand, "\x02\x00", 2);

    std::vector<uint64_t> bases{nic.function().bar_base(), a.bar_base(0), a.bar_base(1), other.bar_base(0),
                                other.bar_base(1)};
    std::sort(bases.begin(), bases.end());
    for (size_t i = 1; i < bases.size(); ++i) EXPECT_GE(bases[i] - bases[i - 1], 0x20000u);
    EXPECT_NE(nic.function().vector(), a.vector(0));
    EXPECT_NE(other.vector(0), a.vector(0));
    EXPECT_EQ(host.pci.at(plat::pci_slot(2, 0))->assigned_resources().memory.at(0).length, 0x20000u);

    ASSERT_TRUE(bus_write(nic.function().bar_base() + 4, 0x99));
    EXPECT_EQ(nic.registers().peek(4), 0x99u);
    ASSERT_TRUE(bus_write(a.bar_base(0) + 4, 0x42));
    EXPECT_EQ(a.hdlc_store().peek(4), 0x42u);
    EXPECT_EQ(other.hdlc_store().peek(4), 0u);

    uint64_t bar0 = a.bar_base(0);
    board.reset();
    EXPECT_EQ(fn(0), nullptr);
    EXPECT_EQ(fn(1), nullptr);
    EXPECT_FALSE(bus_read(bar0));
    EXPECT_NE(host.pci.at(plat::pci_slot(9, 1)), nullptr);
}

// ---- local bus ----

TEST_F(BoardTest, LocalBusRegionsAreDisjointAndFollowTheBoardType)
{
    struct Case {
        uint32_t adapter_id;
        size_t framers, sockets, latches;
    };
    const Case cases[] = {{0, 0, 0, 0}, {1, 1, 8, 1}, {2, 4, 8, 1}, {3, 4, 0, 1},
                          {4, 1, 5, 1}, {5, 4, 4, 3}, {6, 4, 4, 3}, {7, 4, 4, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.adapter_id);
        BoardConfig config;
        config.adapter_id = c.adapter_id;
        config.module_id.fill(4);
        Board& b = make(config);
        size_t n[3] = {};
        uint32_t end = 0;
        for (const Board::Region& r : b.local_bus()) {
            ++n[r.kind];
            EXPECT_GE(r.offset, end) << "overlaps the region before it";
            end = r.offset + r.length;
            EXPECT_LE(end, kBarSize);
            if (r.kind == Board::Region::Framer) {
                EXPECT_EQ(r.length, kFramerWindow);
            }
            if (r.kind == Board::Region::Socket) {
                EXPECT_GE(r.length, 0x4000u);
            }
        }
        EXPECT_EQ(n[Board::Region::Framer], c.framers);
        EXPECT_EQ(n[Board::Region::Socket], c.sockets);
        EXPECT_EQ(n[Board::Region::Latch], c.latches);
        board.reset();
    }
}

TEST_F(BoardTest, LocalBusRoutesToModelsAndStorage)
{
    BoardConfig c;
    c.adapter_id = 5;
    c.module_id = {4, 0, 4, 4};
    Board& b = make(c);
    enable_both();
    Probe framer2, socket3, hdlc;
    b.set_framer(2, &framer2);
    b.set_socket(3, &socket3);
    b.set_hdlc(&hdlc);

    // Board type 5: framers every 0x4000 from 0, sockets at 0x18000, 0x20000, 0x28000, 0x30000.
    ASSERT_TRUE(bar1_write(0x8000 + 4 * 0x1A, 0x81));
    EXPECT_EQ(bar1_read(0x8000 + 4 * 0x1A, 1), 0x5Au);
    ASSERT_TRUE(bar1_write(0x30000 + 0x104, 0x1234, 2));
    ASSERT_TRUE(bus_write(b.bar_base(0) + 0x200, 0x77));
    EXPECT_EQ(framer2.log, (std::vector<Probe::Access>{{true, 0x68, 4, 0x81}, {false, 0x68, 1, 0}}));
    EXPECT_EQ(socket3.log, (std::vector<Probe::Access>{{true, 0x104, 2, 0x1234}}));
    EXPECT_EQ(hdlc.log, (std::vector<Probe::Access>{{true, 0x200, 4, 0x77}}));

    // Without a model a window is storage with a log; unplugging brings the storage back.
    ASSERT_TRUE(bar1_write(0x4000 + 0x10, 0xAB));
    EXPECT_EQ(bar1_read(0x4000 + 0x10), 0xABu);
    EXPECT_EQ(b.framer_store(1).writes().size(), 1u);
    b.set_framer(2, nullptr);
    EXPECT_EQ(bar1_read(0x8000 + 4 * 0x1A), 0u);
    EXPECT_EQ(b.framer_store(2).peek(0x68), 0u);
    EXPECT_EQ(b.stray_accesses(), 0u);

    // Holes: past a framer window, and an empty socket.
    EXPECT_EQ(bar1_read(0x4000 + kFramerWindow), 0xFFFFFFFFu);
    EXPECT_EQ(bar1_read(0x20000 + 0x100), 0xFFFFFFFFu);
    ASSERT_TRUE(bar1_write(0x20000 + 0x100, 1));
    EXPECT_TRUE(b.socket_store(1).writes().empty());
    EXPECT_EQ(b.stray_accesses(), 3u);

    EXPECT_THROW(b.set_socket(1, &socket3), std::out_of_range);
    EXPECT_THROW(b.set_socket(4, &socket3), std::out_of_range);
    EXPECT_THROW(b.set_framer(4, &framer2), std::out_of_range);
    BoardConfig one_line;
    Board& single = make(one_line);
    EXPECT_THROW(single.set_framer(1, &framer2), std::out_of_range);
}

// ---- latches ----

TEST_F(BoardTest, LatchesDecodePerBoardType)
{
    struct Write {
        uint32_t offset, value;
    };
    struct Case {
        const char* what;
        uint32_t adapter_id;
        std::vector<Write> writes;
        bool irq;
        int led0, led1;
        bool in_reset;
    };
    const Case cases[] = {
        {"type 4 power-on", 4, {}, false, 0, 0, true},
        {"type 4 IRQ bit only", 4, {{0x28000, 0x1}}, true, 0, 0, true},
        {"type 4 reset released", 4, {{0x28000, 0xFFFFFF02}}, false, 0, 0, false},
        {"type 4 all fields", 4, {{0x28000, 0xFFFFFF02 | 0x1 | 2 << 2 | 1 << 4}}, true, 2, 1, false},
        {"type 4 reset bit 1 low", 4, {{0x28000, 0xFFFFFF00 | 0x1}}, true, 0, 0, true},
        {"type 4 LED bits are not IRQ bits", 4, {{0x28000, 0x3C}}, false, 3, 3, true},
        {"type 2 needs both IRQ bits", 2, {{0x28000, 0x2 | 0xFFFFFF10}}, false, -1, -1, false},
        {"type 2 IRQ and reset", 2, {{0x28000, 0x6 | 0xFFFFFF10}}, true, -1, -1, false},
        {"type 5 power-on", 5, {}, false, 0, 0, true},
        {"type 5 IRQ latch", 5, {{0x14000, 0x3}}, true, 0, 0, true},
        {"type 5 one IRQ bit", 5, {{0x14000, 0x1}}, false, 0, 0, true},
        {"type 5 reset latch", 5, {{0x16000, 0xFFFFFF01}}, false, 0, 0, false},
        {"type 5 LED latch", 5, {{0x10000, 1 | 2 << 2}}, false, 1, 2, true},
        {"type 5 IRQ value in the LED latch", 5, {{0x10000, 0x3}, {0x16000, 0x3}}, false, 3, 0, true},
        {"type 6 IRQ then masked", 6, {{0x14000, 0x3}, {0x14000, 0x0}}, false, 0, 0, true},
        {"type 7 everything", 7, {{0x14000, 0x3}, {0x10000, 0xFF}, {0x16000, 0xFFFFFFFF}}, true, 3, 3, false},
        {"type 0 has no latch", 0, {{0x28000, 0xFFFFFFFF}, {0x14000, 0xFFFFFFFF}}, false, -1, -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Board& b = make_type(c.adapter_id);
        enable_both();
        for (const Write& w : c.writes) ASSERT_TRUE(bar1_write(w.offset, w.value));
        EXPECT_EQ(b.irq_enabled(), c.irq);
        EXPECT_EQ(b.led(0), c.led0);
        EXPECT_EQ(b.led(1), c.led1);
        EXPECT_EQ(b.framers_in_hw_reset(), c.in_reset);
        EXPECT_EQ(b.latch_writes().size(), c.adapter_id == 0 ? 0 : c.writes.size());
        board.reset();
    }
}

TEST_F(BoardTest, LatchesAreWriteOnlyWithAFullHistory)
{
    Board& b = make_type(5);
    enable_both();
    ASSERT_TRUE(bar1_write(0x14000, 0x3));
    host.run_for(plat::ms(5));
    ASSERT_TRUE(bar1_write(0x10000, 0x4));
    ASSERT_TRUE(bar1_write(0x14000, 0x0));

    EXPECT_EQ(bar1_read(0x14000), 0xFFFFFFFFu);
    ASSERT_TRUE(bar1_write(0x10000, 0xFF, 1));  // not a 32-bit store: ignored
    EXPECT_EQ(b.stray_accesses(), 2u);
    EXPECT_EQ(b.led(1), 1);

    const auto& h = b.latch_writes();
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h[0].time, 0u);
    EXPECT_EQ(h[0].latch, Board::Latch::Irq);
    EXPECT_EQ(h[0].value, 0x3u);
    EXPECT_EQ(h[1].time, plat::ms(5));
    EXPECT_EQ(h[1].latch, Board::Latch::Led);
    EXPECT_EQ(h[1].offset, 0x10000u);
    EXPECT_EQ(h[2].value, 0u);
    EXPECT_EQ(b.latch(Board::Latch::Irq), 0u);
}

TEST_F(BoardTest, ResetListenersHearChangesOnly)
{
    for (uint32_t type : {4u, 5u}) {
        SCOPED_TRACE(type);
        Board& b = make_type(type);
        enable_both();
        std::vector<bool> heard;
        b.on_hw_reset([&](bool in_reset) { heard.push_back(in_reset); });
        uint32_t reset_latch = b.type().reset_latch;
        uint32_t released = ~b.type().reset_bits;
        ASSERT_TRUE(bar1_write(reset_latch, released));
        ASSERT_TRUE(bar1_write(reset_latch, released | 0x1));  // IRQ bit (type 4) or nothing of the reset
        ASSERT_TRUE(bar1_write(b.type().irq_latch, 0x3 | released));
        ASSERT_TRUE(bar1_write(reset_latch, 0));
        EXPECT_EQ(heard, (std::vector<bool>{false, true}));
        board.reset();
    }
}

// ---- interrupts ----

class BoardIrqTest : public BoardTest {
protected:
    int isr_calls[2] = {};
    std::function<bool()> isr_body[2];

    void SetUp() override
    {
        make_type(5);
        enable_both();
        for (int f = 0; f < 2; ++f)
            host.irq.connect(board->vector(f), [this, f] {
                ++isr_calls[f];
                return isr_body[f] ? isr_body[f]() : false;  // not ours unless told
            });
    }
    void irq_latch(uint32_t v) { ASSERT_TRUE(bar1_write(0x14000, v)); }
    bool line(int f) { return host.irq.asserted(board->vector(f)); }
};

TEST_F(BoardIrqTest, LatchGatesEachFunctionsRequests)
{
    int hdlc = 0, framer0 = 0, framer1 = 0;
    board->request_irq(0, &hdlc, true);
    EXPECT_FALSE(line(0));
    EXPECT_EQ(isr_calls[0], 0);

    irq_latch(0x3);
    EXPECT_TRUE(line(0));
    EXPECT_FALSE(line(1));
    EXPECT_EQ(isr_calls[0], 1);

    board->request_irq(1, &framer0, true);
    board->request_irq(1, &framer1, true);
    EXPECT_TRUE(line(1));
    board->request_irq(1, &framer0, false);
    EXPECT_TRUE(line(1)) << "another framer still holds the request";

    irq_latch(0x1);
    EXPECT_FALSE(line(0));
    EXPECT_FALSE(line(1));
    EXPECT_TRUE(board->irq_requested(0));

    irq_latch(0x3);
    board->request_irq(0, &hdlc, false);
    board->request_irq(1, &framer1, false);
    EXPECT_FALSE(line(0));
    EXPECT_FALSE(line(1));
    EXPECT_TRUE(host.violations().empty());
}

// The driver's service routine masks the latch on entry and, when the interrupt was not
// its own, writes the old value back: the line falls and rises inside the routine.
TEST_F(BoardIrqTest, ServiceRoutineMaskingTheLatchInsideDelivery)
{
    int hdlc = 0;
    bool claim = false;
    isr_body[0] = [&] {
        uint32_t saved = board->latch(Board::Latch::Irq);
        EXPECT_TRUE(bar1_write(0x14000, saved & ~0x3u));
        EXPECT_FALSE(board->irq_line(0));
        if (!claim) {
            EXPECT_TRUE(bar1_write(0x14000, saved));
        }
        return claim;
    };
    irq_latch(0x3);
    board->request_irq(0, &hdlc, true);
    EXPECT_EQ(isr_calls[0], 1);
    EXPECT_TRUE(line(0));
    EXPECT_EQ(host.irq.unclaimed(board->vector(0)), 1u);

    board->request_irq(0, &hdlc, false);
    claim = true;
    board->request_irq(0, &hdlc, true);
    EXPECT_EQ(isr_calls[0], 2);
    EXPECT_FALSE(line(0)) << "left masked after a claimed interrupt";
    EXPECT_TRUE(board->irq_requested(0));

    irq_latch(0x3);  // the deferred handler unmasks with the request still pending
    EXPECT_EQ(isr_calls[0], 3);
    EXPECT_TRUE(host.violations().empty());
}

// ---- configuration from the registry ----

TEST_F(BoardTest, ConfigFromRegistry)
{
    using V = plat::reg::Value;
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, V>> values;
        uint32_t adapter_id;
        uint16_t device_id;
        std::array<uint32_t, 10> modules;
    };
    const Case cases[] = {
        {"defaults", {}, 4, kDeviceOneLine, {4, 4, 4, 4, 4}},
        {"AdapterID 8", {{"AdapterID", V::Dword(8)}}, 4, kDeviceOneLine, {4, 4, 4, 4, 4}},
        {"AdapterID 7", {{"AdapterID", V::Dword(7)}}, 7, kDeviceFourLine, {4, 4, 4, 4}},
        {"AdapterID 3: no sockets", {{"AdapterID", V::Dword(3)}, {"ModuleID_0", V::Dword(5)}}, 3, kDeviceFourLine, {}},
        {"AdapterID 0", {{"AdapterID", V::Dword(0)}}, 0, kDeviceOneLine, {}},
        {"AdapterID 1: eight sockets",
         {{"AdapterID", V::Dword(1)}, {"ModuleID_9", V::Dword(2)}},
         1,
         kDeviceOneLine,
         {4, 4, 4, 4, 4, 4, 4, 4}},
        {"AdapterID as text", {{"AdapterID", V::Sz("5")}}, 5, kDeviceFourLine, {4, 4, 4, 4}},
        {"AdapterID bad text", {{"AdapterID", V::Sz("5x")}}, 4, kDeviceOneLine, {4, 4, 4, 4, 4}},
        {"ModuleIDs",
         {{"ModuleID_0", V::Dword(0)}, {"ModuleID_1", V::Dword(24)}, {"ModuleID_2", V::Dword(25)},
          {"ModuleID_3", V::Binary({1})}, {"ModuleID_4", V::Dword(13)}},
         4,
         kDeviceOneLine,
         {0, 24, 4, 4, 13}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host.registry.clear();
        for (const auto& [name, v] : c.values) host.registry.set_value(kParams, name, v);
        host.registry.set_dword("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET2\\Parameters",
                                "AdapterID", 5);
        BoardConfig got = board_config_from_registry(host.registry, 1, 7);
        EXPECT_EQ(got.slot, 7u);
        EXPECT_EQ(got.adapter_id, c.adapter_id);
        EXPECT_EQ(got.device_id, c.device_id);
        EXPECT_EQ(got.module_id, c.modules);
    }
}

TEST_F(BoardTest, RegFileDescribesTheHardware)
{
    ASSERT_TRUE(host.registry
                    .load_reg("REGEDIT4\n\n"
                              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET2\\Parameters]\n"
                              "\"AdapterID\"=dword:00000006\n"
                              "\"ModuleID_1\"=dword:00000000\n")
                    .ok);
    Board b(host, board_config_from_registry(host.registry, 2, 3));
    EXPECT_EQ(host.pci.at(plat::pci_slot(3, 0)), &b.function(0));
    uint16_t device = 0;
    b.function(0).config_read(kPciDeviceId, &device, 2);
    EXPECT_EQ(device, kDeviceFourLine);
    EXPECT_EQ(b.type().lines, 4u);
    EXPECT_TRUE(b.socket_fitted(0));
    EXPECT_FALSE(b.socket_fitted(1));
    EXPECT_TRUE(b.socket_fitted(3));
    EXPECT_FALSE(b.socket_fitted(4));
}

}  // namespace
}  // namespace sim

// The simulated trunk adapter: two PCI functions with one 1 MiB BAR each, the board
// latches (interrupt gate, line LEDs, framer hardware reset) and the slots where the
// device models plug in.
//
// BAR0 (function 0) is the HDLC controller's register space. BAR1 (function 1) is the
// local bus; its map follows the board type (AdapterID):
//   framer windows   0x800 bytes each (512 registers, one per 32-bit word), lines 0..lines-1
//   socket windows   fitted sockets only, up to the next region and at most 0x8000 bytes
//   latches          one 32-bit write-only register each
// Anything else on the local bus is a hole: reads answer all ones, writes are dropped,
// both are counted as stray. A region without a model is plain storage with a write log.
//
// Function 0 raises the HDLC controller's interrupt, function 1 the framers'; both pass
// only while the IRQ latch holds all of the board type's IRQ bits.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/host/host.h"
#include "platform/registry/registry.h"
#include "sim/board/pci_device.h"

namespace sim {

constexpr uint16_t kVendorId = 0x109E;
constexpr uint16_t kDeviceFourLine = 0x8474;
constexpr uint16_t kDeviceOneLine = 0x8472;
constexpr uint16_t kDeviceLocalBus = 0x8475;  // function 1
constexpr uint32_t kBarSize = 0x100000;
constexpr uint32_t kFramerWindow = 0x800;
constexpr uint32_t kSocketWindowMax = 0x8000;
constexpr int kMaxLines = 4;
constexpr int kMaxSockets = 10;

// One board type; offsets are bytes from BAR1.
struct BoardType {
    uint32_t lines = 0;
    uint32_t sockets = 0;
    std::array<uint32_t, 4> sockets_per_group{};
    std::array<uint32_t, 8> socket_window{};
    std::array<uint32_t, 8> socket_group{};
    std::array<uint32_t, 4> framer_window{};
    std::array<uint32_t, 4> led_bits{};  // per line, in its latch; 0 = no LED
    uint32_t irq_latch = 0;
    uint32_t led_latch = 0;
    uint32_t reset_latch = 0;
    uint32_t irq_bits = 0;
    uint32_t reset_bits = 0;  // framer reset is active while a latch bit is 0 where this mask is 0
    uint32_t timeslot_step = 0;

    // Types 1-4 keep IRQ enable, LEDs (line n at bits 2n+2..2n+3) and framer reset in
    // one register; types 5-7 have separate IRQ, LED (line n at bits 2n..2n+1) and reset
    // latches; type 0 has none.
    bool shared_latch() const { return lines != 0 && irq_latch == led_latch && irq_latch == reset_latch; }
    bool has_latches() const { return lines != 0; }
};

// One module type: the register layout of the modem processors on it.
struct ModuleType {
    uint32_t processor_stride = 0;  // bytes between processors' register blocks
    uint32_t second_window = 0;     // bytes from a processor's block to its second window
    uint32_t processors = 0;
    uint32_t pumps = 0;             // per processor
    uint32_t timeslot_step = 0;     // per processor
    uint32_t variant = 0;
    bool present() const { return processors != 0; }
};

constexpr uint32_t kBoardTypes = 8;
constexpr uint32_t kModuleTypes = 25;
const BoardType& board_type(uint32_t adapter_id);   // throws std::out_of_range beyond 7
const ModuleType& module_type(uint32_t module_id);  // throws std::out_of_range beyond 24

struct BoardConfig {
    uint16_t device_id = kDeviceOneLine;  // function 0
    uint32_t slot = 0;                    // PCI device number 0..31
    uint32_t adapter_id = 4;              // board type 0..7
    std::array<uint32_t, kMaxSockets> module_id{4, 4, 4, 4, 4};  // per socket; 0 = none

    // Misbehaviour, per function [0], [1].
    std::array<uint32_t, 2> short_config_reads{};    // 0 = off; else a read moves at most this many bytes
    std::array<uint16_t, 2> command_stuck_clear{};   // command bits that never set
    std::array<bool, 2> interrupt_unrouted{};        // no interrupt among the function's resources
    // BAR1 at BAR0 + this many bytes instead of its own range: 0 puts both at one
    // address, less than 1 MiB either way makes them overlap.
    std::optional<int64_t> bar1_offset;
    bool function1_absent = false;                   // slot | 0x20 stays empty
};

// HKLM\SYSTEM\CurrentControlSet\Services\VORNET<instance>\Parameters: AdapterID (default
// and out of 0..7: 4), ModuleID_0..9 (default and out of 0..24: 4; none beyond the board
// type's sockets); the four-line device when the board type has four lines.
BoardConfig board_config_from_registry(const plat::reg::Registry& registry, unsigned instance, uint32_t slot);

class Board {
public:
    enum class Latch { Irq, Led, Reset };
    struct LatchWrite {
        plat::VTime time = 0;
        Latch latch = Latch::Irq;
        uint32_t offset = 0;  // in BAR1
        uint32_t value = 0;
    };
    struct Region {
        enum Kind { Framer, Socket, Latch } kind;
        int index;  // line, socket or Board::Latch
        uint32_t offset;
        uint32_t length;
    };

    Board(plat::Host& host, const BoardConfig& config);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    plat::Host& host() { return host_; }
    const BoardConfig& config() const { return config_; }
    const BoardType& type() const { return type_; }

    // PCI.
    PciFunctionModel& function(int fn) { return *functions_.at(fn); }
    uint64_t bar_base(int fn) const { return functions_.at(fn)->bar_base(); }
    uint32_t vector(int fn) const { return functions_.at(fn)->vector(); }

    // Local bus map (fitted regions only) and device models. A null model restores storage.
    const std::vector<Region>& local_bus() const { return local_bus_; }
    bool socket_fitted(int socket) const;
    void set_hdlc(plat::MmioDevice* model);
    void set_framer(int line, plat::MmioDevice* model);    // line < lines, else std::out_of_range
    void set_socket(int socket, plat::MmioDevice* model);  // fitted sockets, else std::out_of_range
    RegisterStore& hdlc_store() { return *hdlc_store_; }
    RegisterStore& framer_store(int line) { return *framer_stores_.at(line); }
    RegisterStore& socket_store(int socket) { return *socket_stores_.at(socket); }
    uint64_t stray_accesses() const { return stray_; }  // holes, latch reads, latch writes narrower than 32 bits

    // Latches.
    uint32_t latch(Latch which) const { return latches_[size_t(which)]; }
    const std::vector<LatchWrite>& latch_writes() const { return latch_writes_; }
    void clear_latch_writes() { latch_writes_.clear(); }
    bool irq_enabled() const;
    int led(int line) const;  // the line's 2-bit LED field; -1 when the line has no LED
    bool framers_in_hw_reset() const;
    void on_hw_reset(std::function<void(bool in_reset)> listener) { reset_listeners_.push_back(std::move(listener)); }
    // Called as each latch write lands, for tests that check the writer's context.
    void on_latch_write(std::function<void(const LatchWrite&)> listener) { write_listeners_.push_back(std::move(listener)); }

    // Interrupts. A model holds its request until it drops it; the function's line
    // follows (any request) AND irq_enabled().
    void request_irq(int function, const void* source, bool asserted);
    bool irq_requested(int function) const { return !requests_.at(function).empty(); }
    bool irq_line(int function) const { return driven_.at(function); }

private:
    class Bar0 : public plat::MmioDevice {
    public:
        explicit Bar0(Board& b) : b_(b) {}
        uint32_t mmio_read(uint32_t offset, unsigned width) override;
        void mmio_write(uint32_t offset, unsigned width, uint32_t value) override;

    private:
        Board& b_;
    };
    class LocalBus : public plat::MmioDevice {
    public:
        explicit LocalBus(Board& b) : b_(b) {}
        uint32_t mmio_read(uint32_t offset, unsigned width) override;
        void mmio_write(uint32_t offset, unsigned width, uint32_t value) override;

    private:
        Board& b_;
    };

    void build_local_bus();
    const Region* region_at(uint32_t offset, unsigned width) const;
    plat::MmioDevice* region_device(const Region& r);
    void write_latch(Latch which, uint32_t offset, uint32_t value);
    void update_irq();

    plat::Host& host_;
    BoardConfig config_;
    const BoardType& type_;
    Bar0 bar0_{*this};
    LocalBus local_bus_device_{*this};
    std::array<std::unique_ptr<PciFunctionModel>, 2> functions_;

    std::vector<Region> local_bus_;
    // Per 2 KiB page of the local bus, the first region (in offset order) reaching past
    // the page's start: a lookup scans from there, not from the first region.
    static constexpr unsigned kPageShift = 11;
    std::vector<uint8_t> page_first_region_;
    std::unique_ptr<RegisterStore> hdlc_store_;
    std::array<std::unique_ptr<RegisterStore>, kMaxLines> framer_stores_;
    std::array<std::unique_ptr<RegisterStore>, kMaxSockets> socket_stores_;
    plat::MmioDevice* hdlc_ = nullptr;
    std::array<plat::MmioDevice*, kMaxLines> framers_{};
    std::array<plat::MmioDevice*, kMaxSockets> sockets_{};
    uint64_t stray_ = 0;

    std::array<uint32_t, 3> latches_{};
    std::vector<LatchWrite> latch_writes_;
    std::vector<std::function<void(bool)>> reset_listeners_;
    std::vector<std::function<void(const LatchWrite&)>> write_listeners_;

    std::array<std::set<const void*>, 2> requests_;
    std::array<bool, 2> driven_{};
};

}  // namespace sim

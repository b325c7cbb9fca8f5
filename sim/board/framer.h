// The Bt8370 T1/E1 framer of one line: 512 byte registers, one per 32-bit word of
// its 0x800-byte window, with a write log that is kept only when a test asks for it
// (the driver's polls would otherwise grow it without end).
//
// One state struct, one table that gives every register its read and write handler
// (plain storage by default), a reset, and one place (update_irq) that recomputes
// "pending and enabled" and drives the interrupt request. Special registers:
//   DID       read-only, configurable (a value the driver does not accept = no framer)
//   PCR0      bit 7 starts a software reset that clears itself after a delay (or never)
//   IRR       read-only: bit n set while ISRn & IERn is non-zero
//   ISR7-0    latched events, clear on read; writes are ignored
//   IER7-0    storage; every write re-evaluates the interrupt
//   ALM1/ALM2, receive status (0x21)  read-only, from the far end's line condition and
//             whether the framer is programmed for what the far end sends (RCR0 bit 0
//             enables the receive framer; PCR0 bit 0 T1 and its framing code must match
//             the line's T1/E1 and multiframe): a framer that does not match stays out
//             of frame
//   ALM2      TLOF while the receive side is out of frame (the transmitter is loop-timed),
//             LOOPUP/LOOPDN while the far end sends that loop code; changes latch ISR6;
//             ISR6 ONESEC latches once a second while the receive framer is on
//   0x50-0x5F error counters, eight pairs low/high, counting the far end's errors;
//             reading the high byte clears the pair
//   RSIG      high nibble = the A, B, C, D bits the far end sends on that channel
//   TPC       with bit 4 set, bits 3-0 are the robbed bits sent to the far end
// While the board holds the framers in hardware reset every register reads 0 and
// writes are dropped; leaving the reset restores the power-up state.
//
// The model acts only on its registers: the multiframe rate follows the framing the
// driver wrote to PCR0, receive-multiframe events are latched only while their enable
// (IER3 bit 1) is set, the system-bus clock runs only once SBI_CR enables it, its rate
// is the one SBI_CR's bus format (bits 2-0) and CSEL's clock (bits 3-0) select together
// (7/5: 1.544, 6/1: 2.048, 4/2: 4.096, 0/3: 8.192 Mbit/s), and the bus slots that carry
// a channel are those with SBC bit 0 set.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/host/devices.h"
#include "platform/host/scheduler.h"
#include "sim/far/line.h"

namespace sim {

class Framer : public plat::MmioDevice {
public:
    static constexpr unsigned kRegisters = 512;
    // Register numbers the model gives a behaviour of its own.
    enum : unsigned {
        kDid = 0x00, kPcr0 = 0x01, kIrr = 0x03, kIsr7 = 0x04, kIsr0 = 0x0B, kIer7 = 0x0C, kIer0 = 0x13,
        kRstat = 0x21, kRcr0 = 0x40, kAlm1 = 0x47, kAlm2 = 0x48, kCounters = 0x50, kCountersEnd = 0x5F,
        kCsel = 0x91, kSbiCr = 0xD0, kSbc = 0xE0, kTpc = 0x100, kRsig = 0x1A0,
    };
    // ALM1 / ISR7 bits.
    enum : uint8_t { kRlof = 0x02, kRlos = 0x04, kRalos = 0x08, kRais = 0x10, kRyel = 0x40 };
    // ALM2 / ISR6 bits.
    enum : uint8_t { kOnesec = 0x01, kTlof = 0x02, kLoopUp = 0x40, kLoopDown = 0x80 };
    static constexpr uint8_t kIsr3Rmf = 0x02;
    static constexpr uint8_t kIsr4Rlof = 0x80;

    struct Write {
        plat::VTime time = 0;
        unsigned reg = 0;
        uint8_t value = 0;
    };

    Framer(plat::Scheduler& sched, Line& line);
    ~Framer() override;
    Framer(const Framer&) = delete;
    Framer& operator=(const Framer&) = delete;

    // Register window (byte offsets; register n at 4 n, accessed one byte wide).
    uint32_t mmio_read(uint32_t offset, unsigned width) override;
    void mmio_write(uint32_t offset, unsigned width, uint32_t value) override;

    // Knobs.
    void set_did(uint8_t did) { did_ = did; }
    // Time the software reset takes; nullopt: it never completes.
    void set_soft_reset_time(std::optional<plat::VTime> t) { soft_reset_time_ = t; }

    // The board.
    void hw_reset(bool in_reset);
    void on_irq(std::function<void(bool)> sink) { irq_sink_ = std::move(sink); }
    void condition_changed();  // the line's condition changed

    // Inspection, for tests and for the board's other models.
    uint8_t peek(unsigned reg) const { return reg < kRegisters ? s_.regs[reg] : 0; }
    void poke(unsigned reg, uint8_t value);  // not logged; raises nothing
    void log_writes(bool on)
    {
        log_writes_ = on;
        if (!on) writes_.clear();
    }
    const std::vector<Write>& writes() const { return writes_; }
    void clear_writes() { writes_.clear(); }
    bool irq() const { return s_.irq; }
    bool in_hw_reset() const { return s_.hw_reset; }
    bool in_soft_reset() const { return s_.soft_reset; }
    bool clocking() const;                  // drives its system bus
    // The system bus's rate in kbit/s as SBI_CR and CSEL select it: 1544, 2048, 4096
    // or 8192; 0 while the bus is not clocked or the two registers disagree.
    unsigned bus_rate() const;
    int bus_slot_channel(unsigned slot) const;  // channel a bus slot carries, -1 none
    // Changes whenever what bus_slot_channel answers may have changed (a write to SBI_CR
    // or the slot map, a reset); unique among all framers.
    uint64_t bus_map_generation() const { return bus_map_generation_; }
    bool t1() const { return (s_.regs[kPcr0] & 0x01) != 0; }
    plat::VTime multiframe_period() const;  // from the framing in PCR0
    unsigned multiframe_frames() const;     // 12, 24 (T1) or 16 (E1)
    uint64_t multiframes() const { return s_.multiframes; }
    uint64_t stray_accesses() const { return s_.stray; }
    // Adds to an error counter pair (0-7), saturating at 0xFFFF.
    void count_errors(unsigned pair, unsigned n);

private:
    using ReadFn = uint8_t (Framer::*)(unsigned reg);
    using WriteFn = void (Framer::*)(unsigned reg, uint8_t value);
    struct RegOps {
        ReadFn read;
        WriteFn write;
    };

    struct State {
        std::array<uint8_t, kRegisters> regs{};
        uint8_t alm1 = 0;
        uint8_t alm2 = 0;
        bool hw_reset = false;
        bool soft_reset = false;
        bool irq = false;
        uint64_t multiframes = 0;
        uint64_t stray = 0;
    };

    void build_table();
    void reset_registers();
    void update_irq();
    void update_multiframe();
    uint8_t alarms_from_line() const;
    uint8_t alarms2_from_line() const;
    void update_onesec();
    bool in_frame() const;
    bool programmed_for_line() const;
    void write_framing(unsigned reg, uint8_t v);

    uint8_t read_storage(unsigned reg) { return s_.regs[reg]; }
    void write_storage(unsigned reg, uint8_t v) { s_.regs[reg] = v; }
    void write_ignored(unsigned, uint8_t) {}
    uint8_t read_did(unsigned) { return did_; }
    uint8_t read_irr(unsigned);
    uint8_t read_isr(unsigned reg);
    void write_ier(unsigned reg, uint8_t v);
    void write_pcr0(unsigned reg, uint8_t v);
    uint8_t read_pcr0(unsigned reg);
    uint8_t read_rstat(unsigned);
    uint8_t read_alm1(unsigned) { return alarms_from_line(); }
    uint8_t read_alm2(unsigned) { return alarms2_from_line(); }
    uint8_t read_counter(unsigned reg);
    uint8_t read_rsig(unsigned reg);
    void write_tpc(unsigned reg, uint8_t v);
    void write_sbi(unsigned reg, uint8_t v);

    plat::Scheduler& sched_;
    Line& line_;
    std::array<RegOps, kRegisters> table_{};
    State s_;
    uint8_t did_ = 0x08;
    std::optional<plat::VTime> soft_reset_time_ = plat::ms(1);
    std::function<void(bool)> irq_sink_;
    bool log_writes_ = false;
    std::vector<Write> writes_;
    plat::Scheduler::EventId soft_reset_event_ = 0;
    plat::Scheduler::EventId multiframe_event_ = 0;
    plat::Scheduler::EventId onesec_event_ = 0;
    uint64_t bus_map_generation_ = 0;
    void bus_map_changed();
};

}  // namespace sim

#include "sim/board/framer.h"

#include <algorithm>
#include <atomic>

#include "platform/host/history.h"

namespace sim {

namespace {
constexpr unsigned isr_reg(unsigned n) { return Framer::kIsr7 + 7 - n; }  // ISRn
constexpr unsigned ier_reg(unsigned n) { return Framer::kIer7 + 7 - n; }  // IERn
constexpr plat::VTime kFrameUs = 125;                                      // one frame at 8000 frames/s
}  // namespace

Framer::Framer(plat::Scheduler& sched, Line& line) : sched_(sched), line_(line)
{
    build_table();
    reset_registers();
}

Framer::~Framer()
{
    if (soft_reset_event_ != 0) sched_.cancel(soft_reset_event_);
    if (multiframe_event_ != 0) sched_.cancel(multiframe_event_);
    if (onesec_event_ != 0) sched_.cancel(onesec_event_);
}

void Framer::build_table()
{
    for (auto& op : table_) op = {&Framer::read_storage, &Framer::write_storage};
    table_[kDid] = {&Framer::read_did, &Framer::write_ignored};
    table_[kPcr0] = {&Framer::read_pcr0, &Framer::write_pcr0};
    table_[kRcr0] = {&Framer::read_storage, &Framer::write_framing};
    table_[kIrr] = {&Framer::read_irr, &Framer::write_ignored};
    for (unsigned r = kIsr7; r <= kIsr0; ++r) table_[r] = {&Framer::read_isr, &Framer::write_ignored};
    for (unsigned r = kIer7; r <= kIer0; ++r) table_[r] = {&Framer::read_storage, &Framer::write_ier};
    table_[kRstat] = {&Framer::read_rstat, &Framer::write_ignored};
    table_[kAlm1] = {&Framer::read_alm1, &Framer::write_ignored};
    table_[kAlm2] = {&Framer::read_alm2, &Framer::write_ignored};
    for (unsigned r = kCounters; r <= kCountersEnd; ++r) table_[r] = {&Framer::read_counter, &Framer::write_ignored};
    for (unsigned k = 0; k < 32; ++k) {
        table_[kRsig + k] = {&Framer::read_rsig, &Framer::write_storage};
        table_[kTpc + k] = {&Framer::read_storage, &Framer::write_tpc};
    }
}

// ---- window ----

uint32_t Framer::mmio_read(uint32_t offset, unsigned width)
{
    unsigned reg = offset / 4;
    if (offset % 4 != 0 || reg >= kRegisters || width == 0) {
        ++s_.stray;
        return 0;
    }
    if (s_.hw_reset) return 0;
    return (this->*table_[reg].read)(reg);
}

void Framer::mmio_write(uint32_t offset, unsigned width, uint32_t value)
{
    unsigned reg = offset / 4;
    if (offset % 4 != 0 || reg >= kRegisters || width == 0 || s_.hw_reset) {
        ++s_.stray;
        return;
    }
    uint8_t v = uint8_t(value);
    if (log_writes_) plat::push_bounded(writes_, Write{sched_.now(), reg, v});
    (this->*table_[reg].write)(reg, v);
    if (reg == kSbiCr || reg == kPcr0 || (reg >= kSbc && reg < kSbc + 32)) bus_map_changed();
}

void Framer::poke(unsigned reg, uint8_t value)
{
    if (reg < kRegisters) s_.regs[reg] = value;
    bus_map_changed();
}

void Framer::bus_map_changed()
{
    static std::atomic<uint64_t> generations{0};
    bus_map_generation_ = ++generations;
}

// ---- reset ----

void Framer::reset_registers()
{
    if (soft_reset_event_ != 0) sched_.cancel(soft_reset_event_);
    soft_reset_event_ = 0;
    s_.regs.fill(0);
    s_.soft_reset = false;
    bus_map_changed();
    s_.alm1 = alarms_from_line();
    s_.alm2 = alarms2_from_line();
    update_irq();
    update_multiframe();
    update_onesec();
}

void Framer::hw_reset(bool in_reset)
{
    s_.hw_reset = in_reset;
    reset_registers();  // the bus map changes with it
}

uint8_t Framer::read_pcr0(unsigned reg) { return uint8_t(s_.regs[reg] | (s_.soft_reset ? 0x80 : 0)); }

void Framer::write_pcr0(unsigned reg, uint8_t v)
{
    s_.regs[reg] = uint8_t(v & 0x7F);
    if ((v & 0x80) && !s_.soft_reset) {
        s_.soft_reset = true;
        if (soft_reset_time_)
            soft_reset_event_ = sched_.after(*soft_reset_time_, [this] {
                soft_reset_event_ = 0;
                reset_registers();
            });
    }
    condition_changed();  // the framing may now match the line, or no longer
}

void Framer::write_framing(unsigned reg, uint8_t v)
{
    s_.regs[reg] = v;
    condition_changed();
}

// ---- interrupts ----

uint8_t Framer::read_irr(unsigned)
{
    uint8_t irr = 0;
    for (unsigned n = 0; n < 8; ++n)
        if (s_.regs[isr_reg(n)] & s_.regs[ier_reg(n)]) irr |= uint8_t(1u << n);
    return irr;
}

uint8_t Framer::read_isr(unsigned reg)
{
    uint8_t v = s_.regs[reg];
    s_.regs[reg] = 0;
    update_irq();
    return v;
}

void Framer::write_ier(unsigned reg, uint8_t v)
{
    s_.regs[reg] = v;
    update_irq();
    update_multiframe();
}

// The one place that decides the interrupt request. The state is settled before the
// sink runs, because the sink may run the driver's service routine, which reads (and
// so clears) the status registers and comes back here.
void Framer::update_irq()
{
    bool want = false;
    if (!s_.hw_reset)
        for (unsigned n = 0; n < 8; ++n) want = want || (s_.regs[isr_reg(n)] & s_.regs[ier_reg(n)]) != 0;
    if (want == s_.irq) return;
    s_.irq = want;
    if (irq_sink_) irq_sink_(want);
}

// ---- line condition ----

bool Framer::programmed_for_line() const
{
    const LineFormat& f = line_.format();
    if (s_.soft_reset || (s_.regs[kRcr0] & 0x01) == 0 || t1() != f.t1) return false;
    return !f.t1 || f.multiframe == 0 || f.multiframe == multiframe_frames();
}

bool Framer::in_frame() const
{
    const LineCondition& c = line_.condition();
    return c.signal && c.framed && !c.ais && programmed_for_line();
}

uint8_t Framer::alarms_from_line() const
{
    const LineCondition& c = line_.condition();
    if (!c.signal) return kRlos | kRalos | kRlof;
    uint8_t a = 0;
    if (c.ais) a |= kRais | kRlof;
    if (!c.framed || !programmed_for_line()) a |= kRlof;
    if (c.yellow && !(a & kRlof)) a |= kRyel;
    return a;
}

void Framer::condition_changed()
{
    if (s_.hw_reset) return;
    uint8_t now = alarms_from_line();
    uint8_t changed = uint8_t(now ^ s_.alm1);
    if (changed != 0) {
        s_.regs[isr_reg(7)] |= changed;  // both edges of every alarm
        if ((now & kRlof) && !(s_.alm1 & kRlof)) s_.regs[isr_reg(4)] |= kIsr4Rlof;  // loss-of-frame counter
        s_.alm1 = now;
    }
    uint8_t now2 = alarms2_from_line();
    if (now2 != s_.alm2) {
        s_.regs[isr_reg(6)] |= uint8_t(now2 ^ s_.alm2);
        s_.alm2 = now2;
    }
    update_irq();
    update_multiframe();
    update_onesec();
}

uint8_t Framer::alarms2_from_line() const
{
    const LineCondition& c = line_.condition();
    uint8_t a = 0;
    if (alarms_from_line() & kRlof) a |= kTlof;
    if (c.signal && c.loop_code == 1) a |= kLoopUp;
    if (c.signal && c.loop_code == 2) a |= kLoopDown;
    return a;
}

void Framer::update_onesec()
{
    bool want = !s_.hw_reset && !s_.soft_reset && (s_.regs[kRcr0] & 0x01) != 0;
    if (!want) {
        if (onesec_event_ != 0) sched_.cancel(onesec_event_);
        onesec_event_ = 0;
        return;
    }
    if (onesec_event_ != 0) return;
    onesec_event_ = sched_.after(plat::ms(1000), [this] {
        onesec_event_ = 0;
        s_.regs[isr_reg(6)] |= kOnesec;
        update_irq();
        update_onesec();
    });
}

uint8_t Framer::read_rstat(unsigned) { return in_frame() ? 0x03 : 0x00; }

// ---- counters ----

uint8_t Framer::read_counter(unsigned reg)
{
    uint8_t v = s_.regs[reg];
    if ((reg - kCounters) % 2 == 1) s_.regs[reg] = s_.regs[reg - 1] = 0;
    return v;
}

void Framer::count_errors(unsigned pair, unsigned n)
{
    if (pair >= 8) return;
    unsigned lo = kCounters + 2 * pair;
    uint32_t value = s_.regs[lo] | (uint32_t(s_.regs[lo + 1]) << 8);
    value = std::min<uint32_t>(0xFFFF, value + n);
    s_.regs[lo] = uint8_t(value);
    s_.regs[lo + 1] = uint8_t(value >> 8);
}

// ---- robbed bits ----

uint8_t Framer::read_rsig(unsigned reg)
{
    unsigned k = reg - kRsig;
    return uint8_t(((line_.rx_robbed[k] & 0x0F) << 4) | (s_.regs[reg] & 0x0F));
}

void Framer::write_tpc(unsigned reg, uint8_t v)
{
    s_.regs[reg] = v;
    if (v & 0x10) line_.tx_robbed[reg - kTpc] = uint8_t(v & 0x0F);
}

// ---- system bus and multiframes ----

bool Framer::clocking() const { return !s_.hw_reset && !s_.soft_reset && (s_.regs[kSbiCr] & 0x40) != 0; }

unsigned Framer::bus_rate() const
{
    if (!clocking()) return 0;
    static constexpr struct {
        uint8_t format, clock;
        unsigned rate;
    } kRates[] = {{7, 5, 1544}, {6, 1, 2048}, {4, 2, 4096}, {0, 3, 8192}};
    for (const auto& r : kRates)
        if ((s_.regs[kSbiCr] & 0x07) == r.format && (s_.regs[kCsel] & 0x0F) == r.clock) return r.rate;
    return 0;
}

int Framer::bus_slot_channel(unsigned slot) const
{
    if (slot >= 32 || !clocking()) return -1;
    return (s_.regs[kSbc + slot] & 0x01) ? int(slot) : -1;
}

// T1 with framing code 0 or 4 has a 12-frame multiframe, any other T1 framing 24
// frames; E1 16 frames.
unsigned Framer::multiframe_frames() const
{
    if (!t1()) return 16;
    unsigned x = (s_.regs[kPcr0] >> 1) & 0x0F;
    return x == 0 || x == 4 ? 12 : 24;
}

plat::VTime Framer::multiframe_period() const { return multiframe_frames() * kFrameUs; }

void Framer::update_multiframe()
{
    bool want = !s_.hw_reset && !s_.soft_reset && (s_.regs[ier_reg(3)] & kIsr3Rmf) && in_frame();
    if (!want) {
        if (multiframe_event_ != 0) sched_.cancel(multiframe_event_);
        multiframe_event_ = 0;
        return;
    }
    if (multiframe_event_ != 0) return;
    multiframe_event_ = sched_.after(multiframe_period(), [this] {
        multiframe_event_ = 0;
        s_.regs[isr_reg(3)] |= kIsr3Rmf;
        ++s_.multiframes;
        update_irq();
        update_multiframe();
    });
}

}  // namespace sim

#include "sim/board/hdlc.h"
#include "platform/host/history.h"

#include <cstring>

#include "sim/board/card.h"

namespace sim {

namespace {
constexpr uint32_t kOwner = 1u << 31;
constexpr uint32_t kEom = 1u << 29;
constexpr uint32_t kLenMask = 0x3FFF;
constexpr uint32_t kMaxWalk = 64;  // descriptors one poll of one channel looks at, at most
}  // namespace

// Registers that differ from storage; everything else in a group window is storage.
const HdlcController::RegHandler HdlcController::kHandlers[] = {
    {kRegSrq, false, &HdlcController::read_storage, &HdlcController::write_srq},
    {kRegIntStatus, true, &HdlcController::read_int_status, &HdlcController::write_int_ack},
    {kRegGlobalCfg, true, &HdlcController::read_global_cfg, &HdlcController::write_storage},
};

HdlcController::HdlcController(plat::Host& host, Card& card) : host_(host), card_(card) {}

HdlcController::~HdlcController()
{
    host_.sched.cancel(request_event_);
    host_.sched.cancel(poll_event_);
    host_.sched.cancel(drain_event_);
    if (irq_) card_.request_irq(0, this, false);
}

// ---- register access ----

uint32_t HdlcController::mmio_read(uint32_t offset, unsigned width)
{
    if (width != 4 || (offset & 3) != 0) {
        ++stats_.narrow_accesses;
        return 0xFFFFFFFFu;
    }
    if (offset >= kGroups * kGroupWindow) {
        auto it = outside_.find(offset);
        return it == outside_.end() ? 0 : it->second;
    }
    uint32_t group = offset / kGroupWindow, off = offset % kGroupWindow;
    for (const RegHandler& h : kHandlers)
        if (h.offset == off && (!h.group0_only || group == 0)) return (this->*h.read)(group, off);
    return read_storage(group, off);
}

void HdlcController::mmio_write(uint32_t offset, unsigned width, uint32_t value)
{
    plat::push_bounded(writes_, Write{host_.now(), offset, value});
    if (width != 4 || (offset & 3) != 0) {
        ++stats_.narrow_accesses;
        return;
    }
    if (offset >= kGroups * kGroupWindow) {
        outside_[offset] = value;
        return;
    }
    uint32_t group = offset / kGroupWindow, off = offset % kGroupWindow;
    for (const RegHandler& h : kHandlers)
        if (h.offset == off && (!h.group0_only || group == 0)) return (this->*h.write)(group, off, value);
    write_storage(group, off, value);
}

uint32_t HdlcController::read_storage(uint32_t group, uint32_t offset) { return reg(group, offset); }
void HdlcController::write_storage(uint32_t group, uint32_t offset, uint32_t value) { reg(group, offset) = value; }

bool HdlcController::clock_active(unsigned group) const
{
    if (group >= kGroups || knobs.clocks_never || stats_.soft_resets < knobs.resets_before_clocks) return false;
    return card_.framer_clock && card_.framer_clock(group);
}

uint32_t HdlcController::read_global_cfg(uint32_t group, uint32_t offset)
{
    uint32_t v = reg(group, offset) & ~0x00FF0000u;
    for (uint32_t g = 0; g < kGroups; g++)
        if (clock_active(g)) v |= (1u << (16 + g)) | (1u << (20 + g));
    return v;
}

uint32_t HdlcController::read_int_status(uint32_t, uint32_t) { return q_.count & 0x7FFF; }

// The driver acknowledges up to an index: what lies between the last acknowledged index
// and it is free again. With the queue full both indexes are equal and all is taken.
void HdlcController::write_int_ack(uint32_t, uint32_t, uint32_t value)
{
    if (!q_.valid) return;
    uint32_t idx = (value >> 16) & 0x7FFF;
    if (idx >= q_.entries) {
        ++stats_.bad_acks;
        return;
    }
    uint32_t acked = (idx + q_.entries - q_.ack_idx) % q_.entries;
    if (acked == 0 && q_.count == q_.entries) acked = q_.entries;
    if (acked > q_.count) {
        ++stats_.bad_acks;
        acked = q_.count;
    }
    q_.count -= acked;
    q_.ack_idx = idx;
    // Held-back entries follow in the controller's own time, not inside the acknowledging
    // write: the host reads what the queue holds before they land behind it.
    if (!q_.backlog.empty() && (drain_event_ == 0 || !host_.sched.pending(drain_event_))) {
        std::weak_ptr<int> alive = alive_;
        drain_event_ = host_.sched.after(knobs.entry_delay, [this, alive] {
            if (alive.expired()) return;
            while (!q_.backlog.empty() && q_.count < q_.entries) {
                uint32_t e = q_.backlog.front();
                q_.backlog.pop_front();
                post(e);
            }
        });
    }
    update_irq();
}

void HdlcController::write_srq(uint32_t group, uint32_t offset, uint32_t value)
{
    reg(group, offset) = value;
    if (((value >> 8) & 0x1F) == kSoftReset) {
        soft_reset();
        return;
    }
    requests_.push_back({group, value});
    if (request_event_ == 0 || !host_.sched.pending(request_event_)) schedule_request();
}

// ---- reset, requests ----

void HdlcController::soft_reset()
{
    ++stats_.soft_resets;
    for (Group& g : groups_) g = Group{};
    q_ = Queue{};
    requests_.clear();
    host_.sched.cancel(request_event_);
    host_.sched.cancel(poll_event_);
    host_.sched.cancel(drain_event_);
    request_event_ = poll_event_ = drain_event_ = 0;
    for (uint32_t g = 0; g < kGroups; g++)
        for (uint32_t n = 0; n < 32; n++) reg(g, kRegTxMap + 4 * n) = reg(g, kRegRxMap + 4 * n) = 0;
    update_irq();
}

void HdlcController::schedule_request()
{
    std::weak_ptr<int> alive = alive_;
    request_event_ = host_.sched.after(knobs.ack_delay, [this, alive] {
        if (alive.expired() || requests_.empty()) return;
        Request r = requests_.front();
        requests_.pop_front();
        execute(r);
        if (!requests_.empty()) schedule_request();
    });
}

void HdlcController::execute(const Request& r)
{
    plat::push_bounded(executed_, r);
    uint32_t op = (r.word >> 8) & 0x1F, channel = r.word & 0x1F;
    bool transmit = (r.word >> 5) & 1;
    uint32_t error = kErrNone;
    switch (op) {
    case kNop: break;
    case kGlobalInit: error = global_init(); break;
    case kGroupInit: error = group_init(r.group); break;
    case kActivate: error = activate(r.group, channel, transmit); break;
    case kDeactivate: {
        Channel& ch = transmit ? groups_[r.group].tx[channel] : groups_[r.group].rx[channel];
        ch.active = false;
        ch.partial.clear();
        break;
    }
    default: error = kErrProt; break;
    }
    if (knobs.lose_acks > 0) {
        --knobs.lose_acks;
        ++stats_.acks_lost;
        return;
    }
    post(entry(transmit, r.group, channel, kEventSack, error));
}

uint32_t HdlcController::global_init()
{
    uint32_t addr = 0, len = 0;
    q_ = Queue{};
    if (!read32(-1, area(0) + kAreaQueueAddr, addr) || !read32(-1, area(0) + kAreaQueueLen, len)) {
        ++stats_.dma_faults;
        update_irq();
        return kErrBuff;
    }
    uint32_t entries = (len & 0x7FFF) + 1;
    if (dma(-1, addr, size_t(entries) * 4) == nullptr) {
        ++stats_.dma_faults;
        update_irq();
        return kErrBuff;
    }
    q_.valid = true;
    q_.phys = addr;
    q_.entries = entries;
    update_irq();
    return kErrNone;
}

uint32_t HdlcController::group_init(uint32_t group)
{
    uint8_t* a = dma(-1, area(group), kAreaSize);
    if (a == nullptr) {
        ++stats_.dma_faults;
        return kErrBuff;
    }
    auto word = [a](uint32_t off) {
        uint32_t v;
        std::memcpy(&v, a + off, 4);
        return v;
    };
    Group& g = groups_[group];
    for (uint32_t n = 0; n < 32; n++) {
        reg(group, kRegTxMap + 4 * n) = word(kAreaTxMap + 4 * n);
        reg(group, kRegRxMap + 4 * n) = word(kAreaRxMap + 4 * n);
    }
    for (uint32_t c = 0; c < kChannels; c++) {
        g.tx_cfg[c] = word(kAreaTxCfg + 4 * c);
        g.rx_cfg[c] = word(kAreaRxCfg + 4 * c);
    }
    g.port_mode = word(kAreaPortCfg) & 7;
    uint32_t prot = word(kAreaMemProt);
    g.window_lo = uint64_t(prot & 0xFFF) << 20;
    // Both limits count MiB; the upper one names the last MiB the window covers.
    g.window_hi = prot == 0 ? 0 : (uint64_t((prot >> 16) & 0xFFF) + 1) << 20;
    g.initialised = true;
    return kErrNone;
}

uint32_t HdlcController::activate(uint32_t group, uint32_t channel, bool transmit)
{
    Group& g = groups_[group];
    if (!g.initialised) return kErrProt;
    uint32_t first = 0;
    if (!read32(-1, area(group) + (transmit ? kAreaTxMsg : kAreaRxMsg) + 4 * channel, first)) {
        ++stats_.dma_faults;
        return kErrBuff;
    }
    Channel& ch = transmit ? g.tx[channel] : g.rx[channel];
    ch.active = true;
    ch.current = first;
    ch.partial.clear();
    if (transmit) schedule_poll();
    return kErrNone;
}

// ---- interrupt queue ----

uint32_t HdlcController::entry(bool transmit, uint32_t group, uint32_t channel, uint32_t event, uint32_t error)
{
    return (transmit ? 1u << 31 : 0) | (group & 3) << 29 | (channel & 0x1F) << 24 | (event & 0xF) << 20 |
           (error & 0xF) << 16;
}

// A full queue holds entries back until the driver acknowledges space, up to the
// backlog's limit (a driver that never acknowledges would grow it without end).
void HdlcController::post(uint32_t e)
{
    if (!q_.valid) {
        ++stats_.entries_dropped;
        return;
    }
    if (q_.count >= q_.entries) {
        if (q_.backlog.size() >= knobs.backlog_limit) {
            ++stats_.entries_lost;
            return;
        }
        q_.backlog.push_back(e);
        return;
    }
    if (!write32(-1, q_.phys + uint64_t(q_.write_idx) * 4, e)) {
        ++stats_.dma_faults;
        return;
    }
    q_.write_idx = (q_.write_idx + 1) % q_.entries;
    ++q_.count;
    ++stats_.entries_written;
    update_irq();
}

void HdlcController::update_irq()
{
    bool want = q_.valid && q_.count > 0;
    if (want == irq_) return;
    irq_ = want;
    card_.request_irq(0, this, want);
}

// Channel configuration bits 3-8 mask the events EOB, EOM, EOP, CHABT, CHIC and FREC.
bool HdlcController::event_masked(uint32_t cfg, uint32_t event) const
{
    return event >= kEventEob && event <= 7 && (cfg >> (event + 1)) & 1;
}

// ---- shared memory ----

uint8_t* HdlcController::dma(int group, uint64_t phys, size_t length)
{
    if (group >= 0) {
        const Group& g = groups_[group];
        if (g.window_hi != 0 && (phys < g.window_lo || phys + length > g.window_hi)) return nullptr;
    }
    return host_.phys.to_virt(phys, length);
}

bool HdlcController::read32(int group, uint64_t phys, uint32_t& value)
{
    uint8_t* p = dma(group, phys, 4);
    if (p == nullptr) return false;
    std::memcpy(&value, p, 4);
    return true;
}

bool HdlcController::write32(int group, uint64_t phys, uint32_t value)
{
    uint8_t* p = dma(group, phys, 4);
    if (p == nullptr) return false;
    std::memcpy(p, &value, 4);
    return true;
}

// ---- transmit ----

void HdlcController::schedule_poll()
{
    if (poll_event_ != 0 && host_.sched.pending(poll_event_)) return;
    std::weak_ptr<int> alive = alive_;
    poll_event_ = host_.sched.after(knobs.poll_interval, [this, alive] {
        if (!alive.expired()) poll();
    });
}

void HdlcController::poll()
{
    bool any = false;
    for (uint32_t g = 0; g < kGroups; g++)
        for (uint32_t c = 0; c < kChannels; c++) {
            if (!groups_[g].tx[c].active) continue;
            walk_transmit(g, c);
            any = any || groups_[g].tx[c].active;
        }
    if (any) schedule_poll();
}

// Sends what the channel's descriptors hold, stopping at the first one the controller
// does not own; each one sent goes back to the host (owner bit cleared).
void HdlcController::walk_transmit(uint32_t group, uint32_t channel)
{
    Channel& ch = groups_[group].tx[channel];
    uint32_t cfg = groups_[group].tx_cfg[channel];
    for (uint32_t n = 0; n < kMaxWalk && ch.active; n++) {
        uint32_t status = 0, buffer = 0, next = 0;
        // The descriptor's three words in one translation when they lie in one block.
        if (const uint8_t* d = dma(int(group), ch.current, 12)) {
            std::memcpy(&status, d, 4);
            std::memcpy(&buffer, d + 4, 4);
            std::memcpy(&next, d + 8, 4);
        } else if (!read32(int(group), ch.current, status) || !read32(int(group), ch.current + 4, buffer) ||
                   !read32(int(group), ch.current + 8, next)) {
            ++stats_.dma_faults;
            ch.active = false;
            post(entry(true, group, channel, kEventNone, kErrBuff));
            return;
        }
        if (!(status & kOwner)) return;
        if (knobs.underruns > 0) {
            --knobs.underruns;
            ++stats_.underruns;
            ch.active = false;
            ch.partial.clear();
            post(entry(true, group, channel, kEventNone, kErrOnr));
            return;
        }
        uint32_t length = status & kLenMask;
        uint8_t* data = dma(int(group), buffer, length);
        if (data == nullptr) {
            ++stats_.dma_faults;
            ch.active = false;
            post(entry(true, group, channel, kEventNone, kErrBuff));
            return;
        }
        ch.partial.insert(ch.partial.end(), data, data + length);
        write32(int(group), ch.current, status & ~kOwner);
        ch.current = next;
        uint32_t event = kEventEob;
        if (status & kEom) {
            event = kEventEom;
            ++stats_.frames_sent;
            std::vector<uint8_t> frame;
            frame.swap(ch.partial);
            if (tx_sink_) tx_sink_(group, channel, frame);
        }
        if (!event_masked(cfg, event)) post(entry(true, group, channel, event, kErrNone));
    }
}

// ---- receive ----

void HdlcController::receive(unsigned group, unsigned channel, std::vector<uint8_t> frame)
{
    if (group >= kGroups || channel >= kChannels) return;
    std::weak_ptr<int> alive = alive_;
    host_.sched.after(0, [this, alive, group, channel, frame = std::move(frame)] {
        if (!alive.expired()) deliver(group, channel, frame);
    });
}

void HdlcController::deliver(unsigned group, unsigned channel, const std::vector<uint8_t>& frame)
{
    Channel& ch = groups_[group].rx[channel];
    if (!ch.active) {
        ++stats_.frames_unrouted;
        return;
    }
    RxFault fault = RxFault::None;
    if (!knobs.rx_faults.empty()) {
        fault = knobs.rx_faults.front();
        knobs.rx_faults.pop_front();
    }
    uint32_t status = 0, buffer = 0;
    if (!read32(int(group), ch.current, status) || !read32(int(group), ch.current + 4, buffer)) {
        ++stats_.dma_faults;
        ch.active = false;
        post(entry(false, group, channel, kEventNone, kErrBuff));
        return;
    }
    // A descriptor the host still holds is never written: the frame is lost, the
    // receiver stops and reports the over-run.
    if (fault == RxFault::Overrun || (status & kOwner)) {
        ++stats_.overruns;
        ch.active = false;
        post(entry(false, group, channel, kEventNone, kErrOnr));
        return;
    }
    uint32_t next = 0;
    read32(int(group), ch.current + 8, next);
    uint32_t size = status & kLenMask;
    uint32_t length = uint32_t(frame.size());
    uint32_t code = fault == RxFault::BadFcs ? kErrFcs : fault == RxFault::Abort ? kErrAbort : kErrNone;
    if (length > size) {
        length = size;
        code = kErrLong;
    }
    uint8_t* data = dma(int(group), buffer, length);
    if (data == nullptr) {
        ++stats_.dma_faults;
        ch.active = false;
        post(entry(false, group, channel, kEventNone, kErrBuff));
        return;
    }
    if (length > 0) std::memcpy(data, frame.data(), length);
    write32(int(group), ch.current, kOwner | kEom | code << 16 | (length & kLenMask));
    ch.current = next;
    ++stats_.frames_received;
    if (code != kErrNone || !event_masked(groups_[group].rx_cfg[channel], kEventEom))
        post(entry(false, group, channel, kEventEom, code));
}

// ---- what the switch reads ----

uint8_t HdlcController::map_byte(bool transmit, unsigned group, unsigned slot) const
{
    if (group >= kGroups || slot >= kSlots) return 0;
    uint32_t word = regs_[(group * kGroupWindow + (transmit ? kRegTxMap : kRegRxMap) + 4 * (slot / 4)) / 4];
    return uint8_t(word >> (8 * (slot % 4)));
}

bool HdlcController::channel_active(bool transmit, unsigned group, unsigned channel) const
{
    if (group >= kGroups || channel >= kChannels) return false;
    return transmit ? groups_[group].tx[channel].active : groups_[group].rx[channel].active;
}

}  // namespace sim

// The board's multichannel HDLC controller: four groups of 32 channels, service requests
// written to a per-group register, descriptor rings and an interrupt queue in the host's
// shared memory, live time-slot maps.
//
// Register window (BAR0), group g at g * 0x800, 32-bit accesses only:
//   0x000 group descriptor pointer    0x004 storage     0x008 service request
//   0x00C (group 0) interrupt status: read = entries not yet acknowledged (bits 0-14);
//         write = acknowledge up to the index in bits 16-30
//   0x200 + 4n / 0x400 + 4n  live transmit / receive time-slot maps (loaded by a group
//         initialisation, written directly by the driver at run time)
//   0x600 (group 0) global configuration; bits 16-19 / 20-23 report the receive / transmit
//         clock of groups 0-3 (read-only)
//   anything else: storage.
//
// The model acts only on what the driver wrote: registers, the group descriptor areas
// (loaded by global and group initialisation, channel pointers read at activation),
// descriptors and buffers. It reaches shared memory only through host.phys.to_virt,
// bounded by the group's memory-protection window once programmed.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/host/devices.h"
#include "platform/host/host.h"

namespace sim {

class Card;

class HdlcController : public plat::MmioDevice {
public:
    static constexpr uint32_t kGroups = 4;
    static constexpr uint32_t kChannels = 32;
    static constexpr uint32_t kSlots = 128;
    static constexpr uint32_t kGroupWindow = 0x800;

    // Register offsets in a group window.
    enum : uint32_t {
        kRegGroupDescr = 0x000,
        kRegSrq = 0x008,
        kRegIntStatus = 0x00C,
        kRegTxMap = 0x200,
        kRegRxMap = 0x400,
        kRegGlobalCfg = 0x600,
    };
    // Group descriptor area offsets.
    enum : uint32_t {
        kAreaTxMsg = 0x080,
        kAreaRxMsg = 0x180,
        kAreaTxMap = 0x200,
        kAreaTxCfg = 0x380,
        kAreaRxMap = 0x400,
        kAreaRxCfg = 0x580,
        kAreaQueueAddr = 0x604,
        kAreaQueueLen = 0x608,
        kAreaMemProt = 0x610,
        kAreaPortCfg = 0x618,
        kAreaSize = 0x800,
    };
    enum Op : uint32_t { kNop = 0, kSoftReset = 1, kGlobalInit = 4, kGroupInit = 5, kActivate = 8, kDeactivate = 9 };
    enum Event : uint32_t { kEventNone = 0, kEventSack = 1, kEventEob = 2, kEventEom = 3 };
    enum Error : uint32_t { kErrNone = 0, kErrBuff = 1, kErrOnr = 3, kErrProt = 4, kErrFcs = 9, kErrAbort = 11, kErrLong = 12 };

    enum class RxFault { None, BadFcs, Abort, Overrun };

    struct Knobs {
        plat::VTime ack_delay = 20;         // microseconds from a request to its execution and acknowledgement
        uint32_t lose_acks = 0;             // the next n acknowledgements are executed but never written
        bool clocks_never = false;          // no group's clock ever shows active
        uint32_t resets_before_clocks = 0;  // soft resets that must have passed before clocks show
        std::deque<RxFault> rx_faults;      // applied one each to the next received frames
        uint32_t underruns = 0;             // the next n transmit frames under-run
        plat::VTime poll_interval = 1000;   // microseconds between transmit-descriptor polls
        plat::VTime entry_delay = 10;       // microseconds from an acknowledgement to held-back entries landing
        size_t backlog_limit = 4096;        // entries a full queue holds back; beyond, they are lost
    };

    struct Write {
        plat::VTime time = 0;
        uint32_t offset = 0;
        uint32_t value = 0;
    };
    struct Request {
        uint32_t group = 0;
        uint32_t word = 0;
    };
    struct Stats {
        uint64_t entries_written = 0;
        uint64_t entries_dropped = 0;  // no queue programmed
        uint64_t entries_lost = 0;     // the queue full and its backlog at its limit
        uint64_t acks_lost = 0;
        uint64_t bad_acks = 0;         // acknowledgements beyond what was outstanding
        uint64_t frames_sent = 0;
        uint64_t frames_received = 0;
        uint64_t frames_unrouted = 0;  // arrived for an inactive receive channel
        uint64_t overruns = 0;
        uint64_t underruns = 0;
        uint64_t dma_faults = 0;       // a descriptor or buffer outside memory or the protection window
        uint64_t narrow_accesses = 0;
        uint64_t soft_resets = 0;
    };

    using TxSink = std::function<void(unsigned group, unsigned channel, const std::vector<uint8_t>& frame)>;

    HdlcController(plat::Host& host, Card& card);
    ~HdlcController() override;
    HdlcController(const HdlcController&) = delete;
    HdlcController& operator=(const HdlcController&) = delete;

    uint32_t mmio_read(uint32_t offset, unsigned width) override;
    void mmio_write(uint32_t offset, unsigned width, uint32_t value) override;

    // Time-slot switch side.
    void on_transmit(TxSink sink) { tx_sink_ = std::move(sink); }
    // A frame for a channel's receiver, taken in as the next event.
    void receive(unsigned group, unsigned channel, std::vector<uint8_t> frame);
    uint8_t map_byte(bool transmit, unsigned group, unsigned slot) const;
    // Slots 4n to 4n+3 of a live map, slot 4n in the low byte (0 outside the maps).
    uint32_t map_word(bool transmit, unsigned group, unsigned n) const
    {
        if (group >= kGroups || n >= kSlots / 4) return 0;
        return regs_[(group * kGroupWindow + (transmit ? kRegTxMap : kRegRxMap)) / 4 + n];
    }
    uint32_t port_mode(unsigned group) const { return group < kGroups ? groups_[group].port_mode : 0; }
    bool channel_active(bool transmit, unsigned group, unsigned channel) const;
    bool clock_active(unsigned group) const;

    Knobs knobs;
    const Stats& stats() const { return stats_; }
    const std::vector<Write>& writes() const { return writes_; }
    void clear_writes() { writes_.clear(); }
    const std::vector<Request>& executed() const { return executed_; }  // requests in execution order
    void clear_executed() { executed_.clear(); }
    uint32_t queue_count() const { return q_.count; }                  // entries not yet acknowledged
    size_t queue_backlog() const { return q_.backlog.size(); }          // entries waiting for queue space
    bool queue_programmed() const { return q_.valid; }
    // Writes one entry to the queue as the controller does (for tests of the queue).
    void post_entry(uint32_t entry) { post(entry); }

private:
    struct Channel {
        bool active = false;
        uint32_t current = 0;  // physical address of the next descriptor
        std::vector<uint8_t> partial;
    };
    struct Group {
        bool initialised = false;
        uint32_t port_mode = 0;
        uint64_t window_lo = 0, window_hi = 0;  // memory protection [lo, hi); hi 0 = none
        std::array<uint32_t, kChannels> tx_cfg{}, rx_cfg{};
        std::array<Channel, kChannels> tx{}, rx{};
    };
    struct Queue {
        bool valid = false;
        uint64_t phys = 0;
        uint32_t entries = 0;
        uint32_t write_idx = 0;
        uint32_t ack_idx = 0;
        uint32_t count = 0;
        std::deque<uint32_t> backlog;
    };
    struct RegHandler {
        uint32_t offset;  // in the group window
        bool group0_only;
        uint32_t (HdlcController::*read)(uint32_t group, uint32_t offset);
        void (HdlcController::*write)(uint32_t group, uint32_t offset, uint32_t value);
    };
    static const RegHandler kHandlers[];

    // Register handlers.
    uint32_t read_storage(uint32_t group, uint32_t offset);
    void write_storage(uint32_t group, uint32_t offset, uint32_t value);
    void write_srq(uint32_t group, uint32_t offset, uint32_t value);
    uint32_t read_int_status(uint32_t group, uint32_t offset);
    void write_int_ack(uint32_t group, uint32_t offset, uint32_t value);
    uint32_t read_global_cfg(uint32_t group, uint32_t offset);

    uint32_t& reg(uint32_t group, uint32_t offset) { return regs_[(group * kGroupWindow + offset) / 4]; }
    void soft_reset();
    void schedule_request();
    void execute(const Request& r);
    uint32_t global_init();
    uint32_t group_init(uint32_t group);
    uint32_t activate(uint32_t group, uint32_t channel, bool transmit);
    void post(uint32_t entry);
    void update_irq();  // the one place that drives the interrupt line
    void schedule_poll();
    void poll();
    void walk_transmit(uint32_t group, uint32_t channel);
    void deliver(unsigned group, unsigned channel, const std::vector<uint8_t>& frame);
    bool event_masked(uint32_t cfg, uint32_t event) const;
    static uint32_t entry(bool transmit, uint32_t group, uint32_t channel, uint32_t event, uint32_t error);

    // Shared memory, bounded by the group's protection window (group < 0: no window).
    uint8_t* dma(int group, uint64_t phys, size_t length);
    bool read32(int group, uint64_t phys, uint32_t& value);
    bool write32(int group, uint64_t phys, uint32_t value);
    uint64_t area(uint32_t group) { return reg(group, kRegGroupDescr); }

    plat::Host& host_;
    Card& card_;
    std::array<uint32_t, kGroups * kGroupWindow / 4> regs_{};
    std::unordered_map<uint32_t, uint32_t> outside_;  // storage beyond the group windows
    std::array<Group, kGroups> groups_{};
    Queue q_;
    std::deque<Request> requests_;
    plat::Scheduler::EventId request_event_ = 0;
    plat::Scheduler::EventId poll_event_ = 0;
    plat::Scheduler::EventId drain_event_ = 0;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // events scheduled by a dead model do nothing
    TxSink tx_sink_;
    Stats stats_;
    std::vector<Write> writes_;
    std::vector<Request> executed_;
    bool irq_ = false;
};

}  // namespace sim

// The modem processors of one modem socket: each a mailbox and data FIFO in a block of
// sixteen 16-bit registers at a stride of 8 bytes, and a 32-bit reset register. Out of
// reset a processor runs its boot loader (handshakes, Load, read-back, ZeroFill,
// StartCode); once started it runs the firmware: the pump protocol and the checksum of
// what it was loaded with.
//
// Running, each pump is a modem: AT commands (AT+TSA answers or dials on a TDM slot of
// the line, ATIn identification), carrier and data through the board's time-slot switch to the far modem on
// the line's channel (sim/far/modem_peer.h), modem-status reports, NO CARRIER on
// hang-up, statistics, and network mode, where the modem serves a serial port's
// application itself (echo, ATD, ATA, RING, +++ and ATH, DTR drop).
//
// Each pump's firmware keeps a trace of what it does (mailbox messages, AT lines and
// answers, the call's steps) as code bytes followed by items (0xF3 value, 0xF4 text,
// 0xF5 time stamp in ms, each a length byte and that many bytes, low byte first), in a
// bounded ring. Command class 1 with a command type of 248..255 reads it: the command's
// answer is a 12-byte header of 16-bit words (0 the command type, 1 the pump, 2 the
// bytes still waiting, 3 the chunk's sequence number, 4 the bytes lost since the last
// chunk, 5 the chunk's length) and up to kTraceChunk trace bytes; a chunk is full while
// more waits. The sequence rises by one per chunk that carries bytes and jumps further
// when the ring overflowed and dropped its oldest events. Other commands are traced and
// get no answer; the channel then accepts the next command (MSG_CMDREQ).
//
// Register block of processor c at c x stride in the socket window (byte offsets):
//   0x00 W  data to the processor (Load data; host data for the pumps)
//   0x08 R  data FIFO status (0: the host may write pump data)
//   0x18 R  FIFO read (next word to the host)      0x20 R  FIFO not empty
//   0x30 W  FIFO control (0x11 empties both FIFOs)
//   0x38 RW control/status: write 0x0004 doorbell, 0x0040 inbound taken;
//           read 0x0400 outbound taken, 0x4000 inbound pending
//   0x40-0x58 W outbound words 0..3 (word 3 completes the message)
//   0x60-0x78 R inbound words 0..3
// Reset register at c x stride + the module's second window: a 32-bit write of 0
// resets the processor into its boot loader with its memory cleared.
//
// One state struct per processor, one table of register handlers (storage by default),
// a reset. The model acts only on what the driver writes: the checksum it reports is
// the 16-bit sum of the words it was loaded with (sim/firmware/firmware.h).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/host/history.h"
#include "platform/host/devices.h"
#include "platform/host/scheduler.h"
#include "sim/board/board.h"

namespace sim {

class ModemSocket : public plat::MmioDevice {
public:
    static constexpr unsigned kRegisters = 16;
    static constexpr unsigned kMaxProcessors = 2;
    static constexpr unsigned kMaxPumps = 12;
    // Register numbers (offset / 8).
    enum : unsigned {
        kData = 0, kFifoStatus = 1, kFifoRead = 3, kFifoNotEmpty = 4, kFifoControl = 6, kStatus = 7,
        kOut0 = 8, kOut3 = 11, kIn0 = 12, kIn3 = 15,
    };
    enum : uint16_t { kDoorbell = 0x0004, kInboundTaken = 0x0040, kOutTaken = 0x0400, kInPending = 0x4000 };
    enum class Mode { Loader, Running };

    struct Message {
        plat::VTime time = 0;
        unsigned processor = 0;
        std::array<uint16_t, 4> words{};
        bool running = false;  // posted to the running firmware (else to the boot loader)
        uint8_t code() const { return uint8_t(words[3] >> 8); }
    };

    ModemSocket(plat::Scheduler& sched, const ModuleType& type);
    ~ModemSocket() override;
    ModemSocket(const ModemSocket&) = delete;
    ModemSocket& operator=(const ModemSocket&) = delete;

    uint32_t mmio_read(uint32_t offset, unsigned width) override;
    void mmio_write(uint32_t offset, unsigned width, uint32_t value) override;

    // Knobs, per processor.
    void set_never_answer(unsigned c, bool on);        // takes no message, ever
    void stall_at(unsigned c, uint32_t n);             // the n-th message from now (1 = next) is never taken, until reset
    void set_bad_checksum(unsigned c, uint32_t boots); // the next boots report a wrong checksum
    void corrupt_load_at(unsigned c, uint32_t n);      // the n-th Load from now stores a wrong first byte
    void set_take_delay(plat::VTime t) { take_delay_ = t; }  // running firmware's time to take a message
    // The running firmware takes messages of this code and never answers them (take), or
    // never takes them, so the mailbox stays full until reset (!take). Kept over resets.
    void ignore_code(unsigned c, uint8_t code, bool take) { p_.at(c).ignored[code] = take; }
    // Queues a message from pump p to the host (running firmware), with FIFO bytes.
    void send_to_host(unsigned c, std::array<uint16_t, 4> words, const std::vector<uint8_t>& fifo = {});

    // Inspection.
    unsigned processors() const { return processors_; }
    Mode mode(unsigned c) const { return p_.at(c).mode; }
    uint8_t peek_memory(unsigned c, uint32_t address) const;
    uint16_t checksum(unsigned c) const { return p_.at(c).sum; }
    uint32_t resets(unsigned c) const { return p_.at(c).resets; }
    uint32_t boots(unsigned c) const { return p_.at(c).boots; }
    uint32_t start_address(unsigned c) const { return p_.at(c).start_address; }
    const std::vector<Message>& messages() const { return log_; }
    size_t count(unsigned c, bool running, uint16_t word3_or_code) const;  // loader: word 3; running: code
    // The host's text to a pump, its last bytes up to the limit.
    std::string text_from_host(unsigned c, unsigned pump) const { return p_.at(c).pumps.at(pump).text; }
    // What the model keeps is bounded: host text per pump (bytes), messages waiting for the
    // host to take the mailbox, data words the host wrote and no command took, and the
    // message log. Beyond the limit waiting messages and words are lost and counted.
    void set_history_limit(size_t n) { history_limit_ = n; }
    uint64_t lost(unsigned c) const { return p_.at(c).lost; }
    uint64_t text_total_from_host(unsigned c, unsigned pump) const { return p_.at(c).pumps.at(pump).text_total; }
    static constexpr size_t kTextLimit = 16384;  // beyond it the older half of a pump's text goes
    // Network mode: the far modem's data goes to the host in blocks of at most this, one
    // per tick of the line's rate; at most kHeldLimit bytes wait for RTS (beyond it the
    // far modem's error correction would hold its sender: the model drops the excess and
    // counts it).
    static constexpr size_t kNetworkBlock = 32;
    static constexpr size_t kHeldLimit = 1 << 20;
    static constexpr plat::VTime kDeliverTick = plat::ms(10);
    uint64_t dropped_for_rts(unsigned c, unsigned pump) const { return p_.at(c).pumps.at(pump).dropped_for_rts; }
    bool rts(unsigned c, unsigned pump) const { return p_.at(c).pumps.at(pump).rts; }

    // ---- pumps: their data slots, the call on a line channel, network mode ----
    // Where the socket sits on the board: the line (group) its processors are wired to,
    // and the first slot of its numbering on the modem processors' TDM bus. Processor c's
    // pump p has the data slots base + c x module step + 4p + 1 .. + 3; on a module that
    // is told its slots by the TDM set-up message, the first pump's data slot is the one
    // that message names (none before it).
    void wire(unsigned group, uint32_t slot_base, bool tdm_setup);
    unsigned group() const { return group_; }
    int data_slot(unsigned c, unsigned pump) const;  // first of the pump's three; -1: none
    // The modem signal (sim/far/modem_peer.h) a pump sends on the TDM slot of its call,
    // and the frames it hands the HDLC controller on its data slot.
    using SlotSink = std::function<void(unsigned group, unsigned slot, const std::vector<uint8_t>& frame)>;
    void on_to_line(SlotSink sink) { to_line_ = std::move(sink); }
    void on_to_controller(SlotSink sink) { to_controller_ = std::move(sink); }
    // A frame from the HDLC controller on a data slot, and one from the line on a TDM
    // slot; false when no pump of the socket takes it.
    bool from_controller(unsigned slot, const std::vector<uint8_t>& frame);
    bool from_line(unsigned slot, const std::vector<uint8_t>& frame);

    enum class Call { None, Training, Connected };
    Call call(unsigned c, unsigned pump) const { return p_.at(c).pumps.at(pump).call; }
    int call_slot(unsigned c, unsigned pump) const { return p_.at(c).pumps.at(pump).tsa; }  // -1: none
    bool dtr(unsigned c, unsigned pump) const { return p_.at(c).pumps.at(pump).dtr; }
    bool network_mode(unsigned c, unsigned pump) const { return p_.at(c).pumps.at(pump).network; }
    uint16_t modem_status(unsigned c, unsigned pump) const;  // CTS 1, DSR 2, DCD 8 as last reported
    std::string statistics_text(unsigned pump) const;  // what "AT&V1&V2" answers
    // The pump's firmware trace: bytes waiting to be read, and bytes the ring dropped.
    static constexpr size_t kTraceRing = 1024, kTraceChunk = 58, kTraceHeader = 12;
    static constexpr uint8_t kTraceClass = 1, kFirstTraceCommand = 248;
    size_t trace_waiting(unsigned c, unsigned pump) const { return p_.at(c).pumps.at(pump).trace.bytes.size(); }
    uint64_t trace_lost(unsigned c, unsigned pump) const { return p_.at(c).pumps.at(pump).trace.lost; }
    // Knobs of the running firmware: how long a pump's modem waits for the far modem's
    // carrier before NO CARRIER, the speed it offers, and AT commands that begin with
    // `prefix` answered ERROR (an init string the modem refuses).
    void set_carrier_wait(plat::VTime t) { carrier_wait_ = t; }
    void set_speed(uint32_t bit_s) { speed_ = bit_s; }
    void refuse_at(unsigned c, const std::string& prefix) { p_.at(c).refused_at = prefix; }
    // A failing processor: it reports an exception (code 0xF8..0xFB) for a pump and
    // stops taking messages until it is reset.
    void crash(unsigned c, uint8_t code, unsigned pump);
    // Knobs of the boot loader: the n-th loader command from now answered as failed, and
    // the time the loader takes to answer each command.
    void fail_loader_at(unsigned c, uint32_t n) { p_.at(c).loader_fail_countdown = n; }
    void set_loader_delay(plat::VTime t) { loader_delay_ = t; }
    // The loader answers the processor's handshake with other words (kept over resets).
    void garble_handshake(unsigned c, bool on) { p_.at(c).garbled = on; }

private:
    using ReadFn = uint16_t (ModemSocket::*)(unsigned c, unsigned reg);
    using WriteFn = void (ModemSocket::*)(unsigned c, unsigned reg, uint16_t value);
    struct RegOps {
        ReadFn read;
        WriteFn write;
    };
    // A pump's firmware trace: the unread bytes and the lengths of the events they belong
    // to (the first one possibly read in part), bounded by kTraceRing bytes.
    struct Trace {
        std::deque<uint8_t> bytes;
        std::deque<uint16_t> events;
        size_t front_read = 0;   // bytes of the first event already read
        uint16_t sequence = 0;   // of the last chunk read
        uint64_t dropped = 0;    // bytes dropped since the last chunk
        uint64_t lost = 0;       // bytes ever dropped
    };
    struct PumpState {
        bool host_wants_data = false;
        std::deque<std::pair<uint8_t, std::vector<uint8_t>>> answer;  // FIFO messages waiting for a data request
        std::string text;             // what the host wrote to this pump: the last kTextLimit bytes at most
        uint64_t text_total = 0;      // bytes the host ever wrote to this pump
        Call call = Call::None;
        bool calling = false;         // originating (dial) rather than answering
        int tsa = -1;                 // the call's time slot (AT+TSA or MSG_SETTSA), -1 none
        bool dtr = false;
        bool rts = true;              // the host's RTS: while off, the far modem's data waits here
        bool echo = true;             // network mode, command state: typed characters are echoed (ATE)
        uint16_t status = 0;          // modem status last reported (MSG_DCERPT)
        uint32_t speed = 0;
        plat::Scheduler::EventId train_event = 0, tone_event = 0;
        // Network mode: the modem answers the port's application itself.
        bool network = false, online = false, ringing = false, dial_detected = false, answer_detected = false;
        std::string command;          // command-mode line being typed
        // Escape from data state: "+++" between two guard times of silence.
        plat::VTime last_data = 0;    // when the host's data last came
        size_t plus = 0;              // escape characters so far
        plat::Scheduler::EventId escape_event = 0;
        // Network mode: the far modem's data towards the host, handed on at the line's
        // rate while RTS is on, a block per frame; `credit` is what the line has carried
        // since the last block went.
        std::deque<std::vector<uint8_t>> to_host_data;
        size_t to_host_bytes = 0;
        uint64_t dropped_for_rts = 0;
        uint32_t credit = 0;
        plat::Scheduler::EventId deliver_event = 0;
        Trace trace;                  // kept over channel resets
    };
    struct Inbound {
        std::array<uint16_t, 4> words{};
        std::vector<uint8_t> fifo;
    };
    struct Processor {
        std::array<uint16_t, kRegisters> regs{};
        Mode mode = Mode::Loader;
        bool taken = true;
        bool pending = false;
        bool armed = false;  // doorbell rung, message not complete
        bool processor_handshake = false, host_handshake = false;
        std::map<uint32_t, uint8_t> memory;  // absent bytes read 0
        std::deque<uint16_t> to_host, from_host;
        std::deque<Inbound> inbound;
        // Load in progress: the data words follow the command.
        bool loading = false;
        uint32_t load_address = 0, load_count = 0;
        std::vector<uint16_t> load_words;
        uint16_t sum = 0;
        uint32_t start_address = 0;
        std::array<PumpState, kMaxPumps> pumps{};
        plat::Scheduler::EventId take_event = 0;
        // Knobs and counts.
        bool never_answer = false;
        uint32_t stall_countdown = 0;
        bool stalled = false;
        uint32_t bad_checksum_boots = 0;
        std::map<uint8_t, bool> ignored;  // code -> taken
        uint32_t corrupt_countdown = 0;
        uint32_t loader_fail_countdown = 0;
        int tdm_first_slot = -1;  // from the TDM set-up message
        std::string refused_at;
        bool garbled = false;
        uint32_t resets = 0, boots = 0;
        uint64_t lost = 0;  // inbound messages and host data words beyond the limit
    };

    void build_table();
    void reset_processor(unsigned c);
    bool decode(uint32_t offset, unsigned& c, unsigned& reg, bool& reset) const;

    uint16_t read_storage(unsigned c, unsigned reg) { return p_[c].regs[reg]; }
    void write_storage(unsigned c, unsigned reg, uint16_t v) { p_[c].regs[reg] = v; }
    uint16_t read_zero(unsigned, unsigned) { return 0; }
    uint16_t read_fifo(unsigned c, unsigned reg);
    uint16_t read_not_empty(unsigned c, unsigned) { return p_[c].to_host.empty() ? 0 : 1; }
    uint16_t read_status(unsigned c, unsigned reg);
    void write_data(unsigned c, unsigned reg, uint16_t v);
    void write_fifo_control(unsigned c, unsigned reg, uint16_t v);
    void write_status(unsigned c, unsigned reg, uint16_t v);
    void write_outbound(unsigned c, unsigned reg, uint16_t v);

    void message_complete(unsigned c);
    void loader_command(unsigned c, const std::array<uint16_t, 4>& w);
    void finish_load(unsigned c);
    void loader_answer(unsigned c, std::array<uint16_t, 4> w);
    void firmware_take(unsigned c, std::array<uint16_t, 4> w);
    void pump_answer(unsigned c, unsigned pump);
    void present_inbound(unsigned c);
    std::vector<uint8_t> take_host_bytes(unsigned c, unsigned count);
    void modem_text(unsigned c, unsigned pump, const std::string& text);
    void network_text(unsigned c, unsigned pump, const std::string& text);
    void network_command(unsigned c, unsigned pump, const std::string& line);
    void modem_say(unsigned c, unsigned pump, const std::string& text);
    std::string identification(unsigned c, unsigned pump, const std::string& command) const;
    void trace(unsigned c, unsigned pump, const std::vector<uint8_t>& event);
    std::vector<uint8_t> trace_chunk(unsigned c, unsigned pump, uint16_t command);
    void host_command(unsigned c, unsigned pump, const std::array<uint16_t, 4>& w, const std::vector<uint8_t>& data);
    void fifo_to_host(unsigned c, unsigned pump, uint8_t code, const std::vector<uint8_t>& bytes);
    void report_status(unsigned c, unsigned pump);
    void event_ind(unsigned c, unsigned pump, uint16_t code);
    void start_call(unsigned c, unsigned pump, int slot, bool calling);
    void send_tone(unsigned c, unsigned pump);
    void connected(unsigned c, unsigned pump, uint32_t speed);
    void lose_carrier(unsigned c, unsigned pump, bool tell_line, bool tell_host, uint8_t cause);
    void end_call(unsigned c, unsigned pump);
    void queue_for_host(unsigned c, unsigned pump, const std::vector<uint8_t>& bytes);
    void deliver_to_host(unsigned c, unsigned pump);
    void stop_delivery(PumpState& ps);
    void watch_escape(unsigned c, unsigned pump, const std::vector<uint8_t>& frame);
    void cancel_pump_events(PumpState& ps);
    void cancel_pump_events(Processor& p);
    bool pump_of_slot(unsigned slot, unsigned& c, unsigned& pump) const;

    plat::Scheduler& sched_;
    ModuleType type_;
    unsigned processors_;
    std::array<Processor, kMaxProcessors> p_;
    std::array<RegOps, kRegisters> table_{};
    std::vector<Message> log_;
    size_t history_limit_ = plat::kHistoryLimit;
    plat::VTime take_delay_ = 20;
    plat::VTime loader_delay_ = 0;
    plat::VTime carrier_wait_ = plat::ms(5000);
    uint32_t speed_ = 33600;
    unsigned group_ = 0;
    uint32_t slot_base_ = 0;
    bool tdm_setup_ = false;
    SlotSink to_line_, to_controller_;
};

}  // namespace sim

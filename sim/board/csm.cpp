#include "sim/board/csm.h"
#include "platform/host/history.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "sim/far/modem_peer.h"
#include "sim/firmware/firmware.h"

namespace sim {

namespace {

// The boot handshakes: the processor's, echoed when the loader is ready, then the host's,
// answered in kind before the loader takes commands.
constexpr std::array<uint16_t, 4> kProcessorHandshake{0x4F52, 0x4B43, 0x4557, 0x4C4C};
constexpr std::array<uint16_t, 4> kHostHandshake{0x4F48, 0x5453, 0x4F42, 0x544F};
constexpr uint16_t kCmdFifoRead = 4, kCmdLoad = 5, kCmdStart = 6, kCmdZeroFill = 8;
constexpr uint32_t kMaxLoad = 126, kMaxZeroFill = 65534;
// Message codes of the running firmware.
constexpr uint8_t kErrInd = 0x00, kDataReq = 0x08, kFifoDat = 0x09, kCmdDat = 0x14, kCmdReq = 0x15, kDteRpt = 0x29,
                  kDceReq = 0x2A, kDceRpt = 0x2B, kDialDet = 0x30, kAnsDet = 0x31, kHgupDet = 0x32, kLineCon = 0x33,
                  kLineErr = 0x34, kRingInd = 0x35, kSetTsa = 0x36, kEventInd = 0x37, kChStatus = 0x3A,
                  kChReset = 0x3B, kChecksum = 0x3E, kSetupTdm = 0x52, kNtwkEna = 0xBE, kNtwkDis = 0xBF;
constexpr uint16_t kCtsDsr = 0x3, kDcd = 0x8, kDtr = 0x1, kRts = 0x2;
constexpr size_t kFifoBlock = 128;
constexpr plat::VTime kLossOfCarrier = plat::ms(1400);
constexpr plat::VTime kEscapeGuard = plat::ms(1000);

uint32_t address_of(const std::array<uint16_t, 4>& w) { return uint32_t(w[1]) << 16 | w[2]; }

// Firmware trace codes: what the pump's firmware did.
enum : uint8_t {
    kTrChReset = 0x10, kTrAnswer = 0x20, kTrStartAnswer = 0x21, kTrConnected = 0x23, kTrIdle = 0x24,
    kTrTraining = 0x26, kTrOriginate = 0x27, kTrGoAnswer = 0x28, kTrGoConnected = 0x2A, kTrEscaped = 0x2B,
    kTrGoHangup = 0x2F, kTrDoHangup = 0x30, kTrHangup = 0x31, kTrBgHangup = 0x33, kTrDtrHangup = 0x34,
    kTrChanStatus = 0x50, kTrMailbox = 0x53, kTrDteConnect = 0x54, kTrDcdOn = 0x55, kTrAtLine = 0x61,
    kTrDataReq = 0x62, kTrOutput = 0x66, kTrCommand = 0x68, kTrLossHangup = 0x76, kTrRemoteClear = 0x79,
    kTrDialConnected = 0x7A, kTrDial = 0x7B, kTrDialOriginate = 0x7E, kTrNoCarrierWait = 0x84,
    kTrNoCarrier = 0x85, kTrParseStart = 0x90, kTrParseOk = 0x93, kTrParseError = 0x94, kTrParseDone = 0x96,
    kTrRtsHi = 0xDC, kTrRtsLow = 0xDD, kTrDtrHi = 0xDE, kTrDtrLow = 0xDF,
};
constexpr uint8_t kItemValue = 0xF3, kItemText = 0xF4, kItemStamp = 0xF5;
constexpr size_t kTraceText = 48;          // text items keep this much of a text
constexpr uint64_t kMaxSequenceJump = 1000;  // a gap never looks like an older chunk

// One trace event: its code and items.
struct TraceEvent {
    std::vector<uint8_t> bytes;
    explicit TraceEvent(uint8_t code) : bytes{code} {}
    TraceEvent& value(uint32_t v, unsigned length)
    {
        bytes.push_back(kItemValue);
        bytes.push_back(uint8_t(length));
        for (unsigned i = 0; i < length; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    // The text with its line ends as single blanks, none at either end, cut to kTraceText.
    TraceEvent& text(const std::string& t)
    {
        std::string line;
        bool blank = false;
        for (char ch : t) {
            if (ch == '\r' || ch == '\n') {
                blank = !line.empty();
                continue;
            }
            if (blank && line.size() < kTraceText) line += ' ';
            blank = false;
            if (line.size() < kTraceText) line += ch;
        }
        bytes.push_back(kItemText);
        bytes.push_back(uint8_t(line.size()));
        bytes.insert(bytes.end(), line.begin(), line.end());
        return *this;
    }
    TraceEvent& stamp(plat::VTime now)
    {
        bytes.push_back(kItemStamp);
        bytes.push_back(4);
        uint32_t ms = uint32_t(now / 1000);
        for (unsigned i = 0; i < 4; ++i) bytes.push_back(uint8_t(ms >> (8 * i)));
        return *this;
    }
};

void put16(std::vector<uint8_t>& out, uint64_t v)
{
    uint16_t w = uint16_t(std::min<uint64_t>(v, 0xFFFF));
    out.push_back(uint8_t(w));
    out.push_back(uint8_t(w >> 8));
}

}  // namespace

ModemSocket::ModemSocket(plat::Scheduler& sched, const ModuleType& type)
    : sched_(sched), type_(type), processors_(std::min<unsigned>(type.processors, kMaxProcessors))
{
    build_table();
}

ModemSocket::~ModemSocket()
{
    for (auto& p : p_) {
        if (p.take_event) sched_.cancel(p.take_event);
        cancel_pump_events(p);
    }
}

void ModemSocket::cancel_pump_events(PumpState& ps)
{
    if (ps.train_event) sched_.cancel(ps.train_event);
    if (ps.tone_event) sched_.cancel(ps.tone_event);
    if (ps.escape_event) sched_.cancel(ps.escape_event);
    ps.train_event = ps.tone_event = ps.escape_event = 0;
    ps.plus = 0;
}

void ModemSocket::cancel_pump_events(Processor& p)
{
    for (auto& ps : p.pumps) {
        cancel_pump_events(ps);
        stop_delivery(ps);
    }
}

void ModemSocket::stop_delivery(PumpState& ps)
{
    if (ps.deliver_event) sched_.cancel(ps.deliver_event);
    ps.deliver_event = 0;
    ps.to_host_data.clear();
    ps.to_host_bytes = 0;
    ps.credit = 0;
}

void ModemSocket::build_table()
{
    for (auto& op : table_) op = {&ModemSocket::read_storage, &ModemSocket::write_storage};
    table_[kData] = {&ModemSocket::read_zero, &ModemSocket::write_data};
    table_[kFifoStatus] = {&ModemSocket::read_zero, &ModemSocket::write_storage};
    table_[kFifoRead] = {&ModemSocket::read_fifo, &ModemSocket::write_storage};
    table_[kFifoNotEmpty] = {&ModemSocket::read_not_empty, &ModemSocket::write_storage};
    table_[kFifoControl] = {&ModemSocket::read_zero, &ModemSocket::write_fifo_control};
    table_[kStatus] = {&ModemSocket::read_status, &ModemSocket::write_status};
    for (unsigned r = kOut0; r <= kOut3; ++r) table_[r] = {&ModemSocket::read_storage, &ModemSocket::write_outbound};
}

// The processor, register and kind an offset of the socket window names.
bool ModemSocket::decode(uint32_t offset, unsigned& c, unsigned& reg, bool& reset) const
{
    for (c = 0; c < processors_; ++c) {
        uint32_t base = c * type_.processor_stride;
        if (offset == base + type_.second_window) {
            reset = true;
            return true;
        }
        if (offset >= base && offset < base + 8 * kRegisters && (offset - base) % 8 == 0) {
            reg = (offset - base) / 8;
            reset = false;
            return true;
        }
    }
    return false;
}

uint32_t ModemSocket::mmio_read(uint32_t offset, unsigned width)
{
    unsigned c = 0, reg = 0;
    bool reset = false;
    if (!decode(offset, c, reg, reset) || reset || width != 2) return 0xFFFF;
    return (this->*table_[reg].read)(c, reg);
}

void ModemSocket::mmio_write(uint32_t offset, unsigned width, uint32_t value)
{
    unsigned c = 0, reg = 0;
    bool reset = false;
    if (!decode(offset, c, reg, reset)) return;
    if (reset) {
        if (width == 4 && value == 0) reset_processor(c);
        return;
    }
    if (width == 2) (this->*table_[reg].write)(c, reg, uint16_t(value));
}

void ModemSocket::reset_processor(unsigned c)
{
    Processor& p = p_[c];
    if (p.take_event) sched_.cancel(p.take_event);
    cancel_pump_events(p);
    bool never = p.never_answer;
    uint32_t bad = p.bad_checksum_boots, corrupt = p.corrupt_countdown, resets = p.resets + 1, boots = p.boots;
    std::map<uint8_t, bool> ignored = std::move(p.ignored);
    std::string refused = std::move(p.refused_at);
    uint32_t fail = p.loader_fail_countdown;
    bool garbled = p.garbled;
    p = Processor{};
    p.garbled = garbled;
    p.ignored = std::move(ignored);
    p.refused_at = std::move(refused);
    p.loader_fail_countdown = fail;
    p.never_answer = never;
    p.taken = !never;
    p.bad_checksum_boots = bad;
    p.corrupt_countdown = corrupt;
    p.resets = resets;
    p.boots = boots;
}

// ---- registers ----

uint16_t ModemSocket::read_fifo(unsigned c, unsigned)
{
    auto& q = p_[c].to_host;
    if (q.empty()) return 0;
    uint16_t w = q.front();
    q.pop_front();
    return w;
}

uint16_t ModemSocket::read_status(unsigned c, unsigned)
{
    const Processor& p = p_[c];
    return uint16_t((p.taken ? kOutTaken : 0) | (p.pending ? kInPending : 0));
}

void ModemSocket::write_data(unsigned c, unsigned, uint16_t v)
{
    Processor& p = p_[c];
    if (p.mode == Mode::Loader) {
        if (!p.loading) return;
        p.load_words.push_back(v);
        if (p.load_words.size() * 2 >= p.load_count) finish_load(c);
        return;
    }
    if (p.from_host.size() >= history_limit_) {
        ++p.lost;
        return;
    }
    p.from_host.push_back(v);
}

void ModemSocket::write_fifo_control(unsigned c, unsigned, uint16_t v)
{
    if (v != 0x11) return;
    p_[c].to_host.clear();
    p_[c].from_host.clear();
}

void ModemSocket::write_status(unsigned c, unsigned reg, uint16_t v)
{
    Processor& p = p_[c];
    p.regs[reg] = v;
    if (v & kDoorbell) {
        p.taken = false;
        p.armed = true;
    }
    if ((v & kInboundTaken) && p.pending) {
        p.pending = false;
        present_inbound(c);
    }
}

void ModemSocket::write_outbound(unsigned c, unsigned reg, uint16_t v)
{
    p_[c].regs[reg] = v;
    if (reg == kOut3 && p_[c].armed) {
        p_[c].armed = false;
        message_complete(c);
    }
}

// ---- messages ----

void ModemSocket::message_complete(unsigned c)
{
    Processor& p = p_[c];
    std::array<uint16_t, 4> w{p.regs[kOut0], p.regs[kOut0 + 1], p.regs[kOut0 + 2], p.regs[kOut3]};
    plat::push_bounded(log_, Message{sched_.now(), c, w, p.mode == Mode::Running}, history_limit_);
    if (p.never_answer || p.stalled) return;
    if (p.stall_countdown != 0 && --p.stall_countdown == 0) {
        p.stalled = true;
        return;
    }
    if (p.mode == Mode::Loader) {
        loader_command(c, w);
        return;
    }
    auto ignored = p.ignored.find(uint8_t(w[3] >> 8));
    if (ignored != p.ignored.end() && !ignored->second) return;  // never taken
    // The running firmware takes the message a little later.
    if (p.take_event) sched_.cancel(p.take_event);
    p.take_event = sched_.after(take_delay_, [this, c, w] {
        p_[c].take_event = 0;
        firmware_take(c, w);
    });
}

// The loader's answer, at once or after the loader delay.
void ModemSocket::loader_answer(unsigned c, std::array<uint16_t, 4> w)
{
    Processor& p = p_[c];
    auto answer = [this, c, w] {
        Processor& q = p_[c];
        q.take_event = 0;
        for (unsigned i = 0; i < 4; ++i) q.regs[kIn0 + i] = w[i];
        q.taken = true;
    };
    if (loader_delay_ == 0) {
        answer();
        return;
    }
    if (p.take_event) sched_.cancel(p.take_event);
    p.take_event = sched_.after(loader_delay_, answer);
}

void ModemSocket::loader_command(unsigned c, const std::array<uint16_t, 4>& w)
{
    Processor& p = p_[c];
    const std::array<uint16_t, 4> failed{w[0], w[1], w[2], 0};
    if (p.loader_fail_countdown != 0 && --p.loader_fail_countdown == 0) {
        loader_answer(c, failed);
        return;
    }
    if (w == kProcessorHandshake) {
        if (p.garbled) {
            loader_answer(c, {0x2020, 0x2020, 0x2020, 0x2020});
            return;
        }
        p.processor_handshake = true;
        loader_answer(c, kProcessorHandshake);
        return;
    }
    if (w == kHostHandshake) {
        p.host_handshake = p.processor_handshake;
        loader_answer(c, p.host_handshake ? kHostHandshake : failed);
        return;
    }
    uint32_t n = w[0], address = address_of(w);
    if (!p.host_handshake) {
        loader_answer(c, failed);
        return;
    }
    switch (w[3]) {
    case kCmdLoad:
        if (n == 0 || n > kMaxLoad) {
            loader_answer(c, failed);
            return;
        }
        p.loading = true;
        p.load_address = address;
        p.load_count = n;
        p.load_words.clear();
        return;  // answered when the data words are in
    case kCmdFifoRead:
        for (uint32_t i = 0; i < n; i += 2)
            p.to_host.push_back(uint16_t(peek_memory(c, address + i) | peek_memory(c, address + i + 1) << 8));
        loader_answer(c, w);
        return;
    case kCmdZeroFill:
        if (n > kMaxZeroFill) {
            loader_answer(c, failed);
            return;
        }
        p.memory.erase(p.memory.lower_bound(address), p.memory.lower_bound(address + n));
        loader_answer(c, w);
        return;
    case kCmdStart:
        if (p.memory.find(address) == p.memory.end()) {
            loader_answer(c, failed);  // nothing loaded there
            return;
        }
        p.mode = Mode::Running;
        p.start_address = address;
        p.boots++;
        loader_answer(c, w);
        return;
    default:
        loader_answer(c, failed);
    }
}

void ModemSocket::finish_load(unsigned c)
{
    Processor& p = p_[c];
    p.loading = false;
    bool counted = p.load_address < fw::kControlRegistersBase || p.load_address >= fw::kControlRegistersEnd;
    bool corrupt = p.corrupt_countdown != 0 && --p.corrupt_countdown == 0;
    for (uint32_t i = 0; i < p.load_count; ++i) {
        uint16_t word = p.load_words[i / 2];
        uint8_t b = uint8_t(i % 2 ? word >> 8 : word);
        if (i == 0 && corrupt) b ^= 0xFF;
        p.memory[p.load_address + i] = b;
    }
    if (counted)
        for (uint32_t i = 0; i < p.load_count; i += 2)
            p.sum = uint16_t(p.sum + (peek_memory(c, p.load_address + i) |
                                      (i + 1 < p.load_count ? peek_memory(c, p.load_address + i + 1) << 8 : 0)));
    loader_answer(c, {uint16_t(p.load_count), uint16_t(p.load_address >> 16), uint16_t(p.load_address), kCmdLoad});
}

void ModemSocket::send_to_host(unsigned c, std::array<uint16_t, 4> words, const std::vector<uint8_t>& fifo)
{
    Processor& p = p_.at(c);
    if (p.inbound.size() >= history_limit_) {
        ++p.lost;
        return;
    }
    p.inbound.push_back({words, fifo});
    present_inbound(c);
}

void ModemSocket::present_inbound(unsigned c)
{
    Processor& p = p_[c];
    if (p.pending || p.inbound.empty()) return;
    Inbound m = std::move(p.inbound.front());
    p.inbound.pop_front();
    for (size_t i = 0; i < m.fifo.size(); i += 2)
        p.to_host.push_back(uint16_t(m.fifo[i] | (i + 1 < m.fifo.size() ? m.fifo[i + 1] << 8 : 0)));
    for (unsigned i = 0; i < 4; ++i) p.regs[kIn0 + i] = m.words[i];
    p.pending = true;
}

std::vector<uint8_t> ModemSocket::take_host_bytes(unsigned c, unsigned count)
{
    auto& q = p_[c].from_host;
    std::vector<uint8_t> out;
    for (unsigned i = 0; i < count && !q.empty(); i += 2) {
        uint16_t w = q.front();
        q.pop_front();
        out.push_back(uint8_t(w));
        if (i + 1 < count) out.push_back(uint8_t(w >> 8));
    }
    return out;
}

// The running firmware takes one message: the pump protocol.
void ModemSocket::firmware_take(unsigned c, std::array<uint16_t, 4> w)
{
    Processor& p = p_[c];
    p.taken = true;
    uint8_t code = uint8_t(w[3] >> 8);
    unsigned pump = w[3] & 0xFF;
    if (p.ignored.count(code)) return;
    if (code == kChecksum) {
        uint16_t sum = p.sum;
        if (p.bad_checksum_boots) {
            p.bad_checksum_boots--;
            sum = uint16_t(~sum);
        }
        send_to_host(c, {0, 0, sum, uint16_t(kChecksum << 8)});
        return;
    }
    if (code == kSetupTdm) {  // the first pump's data slot
        if (tdm_setup_) p.tdm_first_slot = w[2];
        return;
    }
    if (pump >= type_.pumps || pump >= kMaxPumps) {
        send_to_host(c, {0, 0, 0, uint16_t(kErrInd << 8)});
        return;
    }
    PumpState& ps = p.pumps[pump];
    auto to_host = [&](uint8_t code_in, uint16_t w2, uint16_t w1 = 0) {
        send_to_host(c, {0, w1, w2, uint16_t(code_in << 8 | pump)});
    };
    auto tr = [&](const TraceEvent& e) { trace(c, pump, e.bytes); };
    switch (code) {
    case kDataReq:
    case kCmdReq:
    case kCmdDat:
    case kFifoDat:
    case kChReset:
    case kDteRpt:
        break;  // traced below, or (command channel) not at all
    default:
        tr(TraceEvent(kTrMailbox).value(code, 1).value(w[2], 2));
    }
    switch (code) {
    case kChReset: {
        // The modem channel restarts; the host interface keeps its outstanding data request.
        tr(TraceEvent(kTrChReset));
        end_call(c, pump);
        bool wants = ps.host_wants_data;
        std::string text = std::move(ps.text);
        const uint64_t total = ps.text_total;
        Trace kept = std::move(ps.trace);
        ps = PumpState{};
        ps.host_wants_data = wants;
        ps.text = std::move(text);
        ps.text_total = total;
        ps.trace = std::move(kept);
        to_host(kChStatus, 1);
        tr(TraceEvent(kTrChanStatus));
        tr(TraceEvent(kTrIdle).stamp(sched_.now()));
        break;
    }
    case kDteRpt: {
        bool was = ps.dtr;
        ps.dtr = (w[2] & kDtr) != 0;
        ps.rts = (w[2] & kRts) != 0;
        if (ps.rts) deliver_to_host(c, pump);
        tr(TraceEvent(ps.dtr ? kTrDtrHi : kTrDtrLow));
        tr(TraceEvent(w[2] & 0x2 ? kTrRtsHi : kTrRtsLow));
        if (was && !ps.dtr && ps.call != Call::None) {  // DTR dropped: the modem hangs up
            lose_carrier(c, pump, true, true, kTrDtrHangup);
            if (ps.network) event_ind(c, pump, 4);
        }
        break;
    }
    case kSetTsa:
        if (w[1] == 1) {  // network mode: the channel's time slot is the call's
            ps.tsa = w[2];
        } else if (ps.tsa >= 0 && w[2] == uint16_t(ps.tsa)) {
            // The call's time slot is taken away: the modem hears silence and gives the
            // carrier up after its loss-of-carrier delay (unless DTR drops first).
            if (ps.call != Call::None && to_line_) to_line_(group_, unsigned(ps.tsa), modem_line::carrier_off());
            ps.tsa = -1;
            if (ps.call != Call::None) {
                cancel_pump_events(ps);
                ps.train_event = sched_.after(kLossOfCarrier, [this, c, pump] {
                    p_[c].pumps[pump].train_event = 0;
                    lose_carrier(c, pump, false, true, kTrLossHangup);
                    if (p_[c].pumps[pump].network) event_ind(c, pump, 4);
                });
            }
        }
        break;
    case kDataReq:
        tr(TraceEvent(kTrDataReq));
        ps.host_wants_data = true;
        to_host(kDataReq, 0x80, 0x0A);  // ready for data from the host
        pump_answer(c, pump);
        break;
    case kCmdReq:
        to_host(kCmdReq, 0);
        break;
    case kDceReq:
        report_status(c, pump);
        break;
    case kCmdDat:
        host_command(c, pump, w, take_host_bytes(c, w[2] & 0xFF));
        break;
    case kFifoDat: {
        unsigned n = std::min<unsigned>(w[2], kFifoBlock);
        std::vector<uint8_t> bytes = take_host_bytes(c, n);
        std::string text(bytes.begin(), bytes.end());
        if (ps.text.size() + text.size() > kTextLimit) ps.text.erase(0, ps.text.size() / 2);
        ps.text += text;
        if (ps.text.size() > history_limit_) ps.text.erase(0, ps.text.size() - history_limit_ / 2);
        ps.text_total += text.size();
        if (ps.network)
            network_text(c, pump, text);
        else
            modem_text(c, pump, text);
        to_host(kDataReq, 0x80, 0x0A);
        pump_answer(c, pump);
        break;
    }
    case kNtwkEna:
        ps.network = true;
        break;
    case kNtwkDis:
        ps.network = false;
        break;
    case kRingInd:
        if (ps.network) {
            ps.ringing = true;
            modem_say(c, pump, "\r\nRING\r\n");
        }
        break;
    case kLineCon:  // the channel is connected: the modem starts its handshake
        if (ps.network && ps.tsa >= 0 && ps.call == Call::None) start_call(c, pump, ps.tsa, ps.dial_detected);
        break;
    case kLineErr: {  // the channel is disconnected
        // A dial or answer the host could not complete (busy, no answer, cleared) ends
        // as a call that never got its carrier. Either way the modem is back in command
        // state and says so (event 2: the host cleared the call, it asks for no clearing).
        bool pending = ps.network && (ps.dial_detected || ps.answer_detected) && ps.call == Call::None;
        bool had_call = ps.call != Call::None;
        ps.ringing = ps.dial_detected = ps.answer_detected = false;
        if (had_call)
            lose_carrier(c, pump, true, true, kTrBgHangup);
        else if (pending)
            modem_say(c, pump, "\r\nNO CARRIER\r\n");
        if (ps.network && (had_call || pending)) event_ind(c, pump, 2);
        break;
    }
    default:  // SETASYN, SETSYNC, CRCENA, ACCM, V.42 control: taken
        break;
    }
}

// A command from the host's command channel: a trace read is answered on the channel
// with the next chunk of the pump's trace (the host then asks for command data again,
// and that request is accepted); any other command is traced and not answered, and the
// channel accepts the next command at once: the host sends nothing to a pump, data
// included, until the pump has accepted a command.
void ModemSocket::host_command(unsigned c, unsigned pump, const std::array<uint16_t, 4>& w,
                               const std::vector<uint8_t>& data)
{
    uint8_t cls = uint8_t(w[1] >> 8), type = uint8_t(w[1]);
    if (cls != kTraceClass || type < kFirstTraceCommand) {
        trace(c, pump, TraceEvent(kTrCommand).value(w[1], 2).value(uint32_t(data.size()), 1).bytes);
        send_to_host(c, {0, 0, 0, uint16_t(kCmdReq << 8 | pump)});
        return;
    }
    std::vector<uint8_t> answer = trace_chunk(c, pump, type);
    send_to_host(c, {w[0], w[1], uint16_t((w[2] & 0xFF00) | answer.size()), uint16_t(kCmdDat << 8 | pump)}, answer);
}

// An event into the pump's trace; the oldest events make room when the ring is full.
void ModemSocket::trace(unsigned c, unsigned pump, const std::vector<uint8_t>& event)
{
    Trace& t = p_[c].pumps[pump].trace;
    if (event.empty() || event.size() > kTraceRing) return;
    while (!t.events.empty() && t.bytes.size() + event.size() > kTraceRing) {
        size_t rest = t.events.front() - t.front_read;
        t.bytes.erase(t.bytes.begin(), t.bytes.begin() + long(rest));
        t.events.pop_front();
        t.front_read = 0;
        t.dropped += rest;
        t.lost += rest;
    }
    t.bytes.insert(t.bytes.end(), event.begin(), event.end());
    t.events.push_back(uint16_t(event.size()));
}

// The next chunk of the trace with its header; a chunk without bytes repeats the last
// sequence number.
std::vector<uint8_t> ModemSocket::trace_chunk(unsigned c, unsigned pump, uint16_t command)
{
    Trace& t = p_[c].pumps[pump].trace;
    size_t n = std::min(t.bytes.size(), kTraceChunk);
    uint64_t dropped = t.dropped;
    if (n > 0) {
        uint64_t skipped = std::min<uint64_t>((t.dropped + kTraceChunk - 1) / kTraceChunk, kMaxSequenceJump);
        t.sequence = uint16_t(t.sequence + 1 + skipped);
        t.dropped = 0;
    }
    std::vector<uint8_t> out;
    put16(out, command);
    put16(out, pump);
    put16(out, t.bytes.size() - n);
    put16(out, t.sequence);
    put16(out, dropped);
    put16(out, n);
    out.insert(out.end(), t.bytes.begin(), t.bytes.begin() + long(n));
    t.bytes.erase(t.bytes.begin(), t.bytes.begin() + long(n));
    t.front_read += n;
    while (!t.events.empty() && t.front_read >= t.events.front()) {
        t.front_read -= t.events.front();
        t.events.pop_front();
    }
    return out;
}

// FIFO messages go to the host one per data request of the host.
void ModemSocket::pump_answer(unsigned c, unsigned pump)
{
    PumpState& ps = p_[c].pumps[pump];
    if (!ps.host_wants_data || ps.answer.empty()) return;
    auto [code, block] = std::move(ps.answer.front());
    ps.answer.pop_front();
    ps.host_wants_data = false;
    uint16_t w2 = uint16_t(block.size());
    send_to_host(c, {0, 0, w2, uint16_t(code << 8 | pump)}, block);
}

void ModemSocket::fifo_to_host(unsigned c, unsigned pump, uint8_t code, const std::vector<uint8_t>& bytes)
{
    PumpState& ps = p_[c].pumps[pump];
    for (size_t at = 0; at < bytes.size() || (at == 0 && code != kFifoDat); at += kFifoBlock) {
        size_t n = std::min(bytes.size() - at, kFifoBlock);
        ps.answer.emplace_back(code, std::vector<uint8_t>(bytes.begin() + long(at), bytes.begin() + long(at + n)));
        if (bytes.empty()) break;
    }
    pump_answer(c, pump);
}

void ModemSocket::report_status(unsigned c, unsigned pump)
{
    PumpState& ps = p_[c].pumps[pump];
    ps.status = uint16_t(kCtsDsr | (ps.call == Call::Connected ? kDcd : 0));
    send_to_host(c, {0, 0, ps.status, uint16_t(kDceRpt << 8 | pump)});
}

void ModemSocket::event_ind(unsigned c, unsigned pump, uint16_t code)
{
    send_to_host(c, {0, 0, code, uint16_t(kEventInd << 8 | pump)});
}

uint16_t ModemSocket::modem_status(unsigned c, unsigned pump) const { return p_.at(c).pumps.at(pump).status; }

// ---- pumps: the AT dialect, the call on the line and the data path ----

namespace {
std::string upper(const std::string& s)
{
    std::string u = s;
    for (char& ch : u) ch = char(std::toupper(uint8_t(ch)));
    return u;
}
}  // namespace

// An answer of the modem to the host: result codes and reports (not echoed characters).
void ModemSocket::modem_say(unsigned c, unsigned pump, const std::string& text)
{
    trace(c, pump, TraceEvent(kTrOutput).text(text).bytes);
    fifo_to_host(c, pump, kFifoDat, std::vector<uint8_t>(text.begin(), text.end()));
}

// The answer to "ATIn", `command` the upper-case line from its "I" on: the product code
// (n = 0), the firmware identification (1), the ROM check (2: OK alone), the version (3)
// or the capabilities (4), each followed by OK; ERROR for an n the modem does not know.
std::string ModemSocket::identification(unsigned c, unsigned pump, const std::string& command) const
{
    size_t end = command.find_first_not_of("0123456789", 1);
    std::string digits = command.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    int n = digits.empty() ? 0 : digits.size() > 2 ? -1 : std::stoi(digits);
    char sum[8];
    std::snprintf(sum, sizeof sum, "%04X", p_[c].sum);
    std::string text;
    switch (n) {
    case 0: text = std::to_string(speed_); break;
    case 1: text = "VORNET CSM MODEM PROCESSOR FIRMWARE 1.0 CHECKSUM " + std::string(sum); break;
    case 2: return "\r\nOK\r\n";
    case 3: text = "V1.0 VORNET V.34 DATA PUMP " + std::to_string(c) + "." + std::to_string(pump); break;
    case 4: text = "V.34 V.32BIS V.22BIS V.42 V.42BIS"; break;
    default: return "\r\nERROR\r\n";
    }
    return "\r\n" + text + "\r\n\r\nOK\r\n";
}

// A block of AT text from the host: one command per block, as the driver writes them.
void ModemSocket::modem_text(unsigned c, unsigned pump, const std::string& text)
{
    std::string u = upper(text);
    if (u.size() < 2 || u[0] != 'A' || u[1] != 'T') return;
    trace(c, pump, TraceEvent(kTrAtLine).text(text).bytes);
    trace(c, pump, TraceEvent(kTrParseStart).bytes);
    if (u.rfind("AT&V1&V2", 0) == 0) {
        modem_say(c, pump, statistics_text(pump));
        return;
    }
    if (u.rfind("ATI", 0) == 0) {
        std::string answer = identification(c, pump, u.substr(2, u.find('\r') - 2));
        trace(c, pump, TraceEvent(answer == "\r\nERROR\r\n" ? kTrParseError : kTrParseOk).bytes);
        modem_say(c, pump, answer);
        return;
    }
    if (u.rfind("AT+TSA=", 0) == 0) {
        // AT+TSA=<slot>,1;%U<s>A|D: the slot in decimal, blank padded, the sampling
        // digit, then the mode (answer or dial).
        size_t comma = u.find(',');
        std::string digits = u.substr(7, comma == std::string::npos ? 0 : comma - 7);
        while (!digits.empty() && digits.back() == ' ') digits.pop_back();
        bool number = !digits.empty() && digits.size() <= 3 &&
                      std::all_of(digits.begin(), digits.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
        size_t cr = u.find('\r');
        char mode = cr != std::string::npos && cr > 0 ? u[cr - 1] : 0;
        bool form = comma != std::string::npos && u.compare(comma, 5, ",1;%U") == 0 && comma + 6 < u.size() &&
                    u[comma + 5] >= '0' && u[comma + 5] <= '9' && cr == comma + 7;
        if (!number || !form || (mode != 'A' && mode != 'D')) {
            trace(c, pump, TraceEvent(kTrParseError).bytes);
            modem_say(c, pump, "\r\nERROR\r\n");
            return;
        }
        trace(c, pump, TraceEvent(kTrParseDone).bytes);
        start_call(c, pump, std::stoi(digits), mode == 'D');
        return;
    }
    const std::string& refused = p_[c].refused_at;
    if (!refused.empty() && u.rfind(upper(refused), 0) == 0) {
        trace(c, pump, TraceEvent(kTrParseError).bytes);
        modem_say(c, pump, "\r\nERROR\r\n");
        return;
    }
    trace(c, pump, TraceEvent(kTrParseOk).bytes);
    modem_say(c, pump, "\r\nOK\r\n");
}

// Network mode, command state: the application's bytes, echoed, one command per line.
void ModemSocket::network_text(unsigned c, unsigned pump, const std::string& text)
{
    PumpState& ps = p_[c].pumps[pump];
    if (ps.echo) fifo_to_host(c, pump, kFifoDat, std::vector<uint8_t>(text.begin(), text.end()));
    for (char ch : text) {
        if (ch == '\b' || ch == 0x7F) {  // backspace (or delete) edits the line
            if (!ps.command.empty()) ps.command.pop_back();
            continue;
        }
        if (ch == '\n') continue;  // a line feed after the carriage return is no command
        if (ch != '\r') {
            if (ps.command.size() < 256) ps.command += ch;
            continue;
        }
        std::string line = upper(ps.command);
        ps.command.clear();
        network_command(c, pump, line);
    }
}

void ModemSocket::network_command(unsigned c, unsigned pump, const std::string& line)
{
    PumpState& ps = p_[c].pumps[pump];
    if (line.rfind("AT", 0) != 0) return;
    trace(c, pump, TraceEvent(kTrAtLine).text(line).bytes);
    std::string cmd = line.substr(2);
    if (cmd.rfind("D", 0) == 0) {  // ATD<number>: the modem dials; the host places the call
        std::string number = cmd.substr(1);
        ps.dial_detected = true;
        ps.calling = true;
        // A message of its own with the number: it answers no data request of the host,
        // so the text blocks after it (CONNECT) still have one each.
        if (number.size() > 0x7F) number.resize(0x7F);
        send_to_host(c, {0, 0, uint16_t(number.size()), uint16_t(kDialDet << 8 | pump)},
                     std::vector<uint8_t>(number.begin(), number.end()));
        return;
    }
    if (cmd == "A") {  // answer the ringing call
        if (!ps.ringing) {
            modem_say(c, pump, "\r\nERROR\r\n");
            return;
        }
        ps.ringing = false;
        ps.answer_detected = true;
        ps.calling = false;
        send_to_host(c, {0, 0, 0, uint16_t(kAnsDet << 8 | pump)});
        return;
    }
    if (cmd == "H" || cmd == "H0") {  // hang up
        bool before_connect = ps.call == Call::Training || ((ps.dial_detected || ps.answer_detected) && ps.call == Call::None);
        if (ps.call != Call::None) lose_carrier(c, pump, true, false, kTrHangup);
        ps.ringing = ps.dial_detected = ps.answer_detected = false;
        modem_say(c, pump, "\r\nOK\r\n");
        if (before_connect)
            send_to_host(c, {0, 0, 0, uint16_t(kHgupDet << 8 | pump)});
        else if (ps.tsa >= 0)
            event_ind(c, pump, 4);
        return;
    }
    if (cmd == "O" || cmd == "O0") {  // back on line, when there is a call to go back to
        if (ps.call != Call::Connected) {
            modem_say(c, pump, "\r\nNO CARRIER\r\n");
            return;
        }
        ps.online = true;
        ps.last_data = sched_.now();
        trace(c, pump, TraceEvent(kTrGoConnected).stamp(sched_.now()).bytes);
        event_ind(c, pump, 1);
        modem_say(c, pump, "\r\nCONNECT " + std::to_string(ps.speed) + "\r\n");
        deliver_to_host(c, pump);
        return;
    }
    if (cmd.rfind("I", 0) == 0) {
        modem_say(c, pump, identification(c, pump, cmd));
        return;
    }
    // Settings: E0 / E1 echo off / on (E alone: on), Z back to echo on.
    for (size_t i = 0; i < cmd.size(); i++) {
        if (cmd[i] == 'Z') ps.echo = true;
        if (cmd[i] == 'E') ps.echo = !(i + 1 < cmd.size() && cmd[i + 1] == '0');
    }
    modem_say(c, pump, "\r\nOK\r\n");
}

// The modem answers or dials on TDM slot `slot`: it sends its carrier there until it
// hears the far modem's or gives up.
void ModemSocket::start_call(unsigned c, unsigned pump, int slot, bool calling)
{
    PumpState& ps = p_[c].pumps[pump];
    end_call(c, pump);
    ps.tsa = slot;
    ps.call = Call::Training;
    ps.calling = calling;
    if (calling) {
        trace(c, pump, TraceEvent(kTrDial).value(uint32_t(slot), 2).bytes);
        trace(c, pump, TraceEvent(kTrDialOriginate).bytes);
        trace(c, pump, TraceEvent(kTrOriginate).stamp(sched_.now()).bytes);
    } else {
        trace(c, pump, TraceEvent(kTrAnswer).value(uint32_t(slot), 2).bytes);
        trace(c, pump, TraceEvent(kTrGoAnswer).stamp(sched_.now()).bytes);
        trace(c, pump, TraceEvent(kTrStartAnswer).bytes);
    }
    send_tone(c, pump);
    ps.train_event = sched_.after(carrier_wait_, [this, c, pump] {
        PumpState& q = p_[c].pumps[pump];
        q.train_event = 0;
        if (q.call != Call::Training) return;
        trace(c, pump, TraceEvent(kTrNoCarrierWait).bytes);
        trace(c, pump, TraceEvent(kTrIdle).stamp(sched_.now()).bytes);
        end_call(c, pump);
        modem_say(c, pump, "\r\nNO CARRIER\r\n");
        if (q.network) event_ind(c, pump, 4);
    });
}

void ModemSocket::send_tone(unsigned c, unsigned pump)
{
    PumpState& ps = p_[c].pumps[pump];
    ps.tone_event = 0;
    if (ps.call != Call::Training || ps.tsa < 0) return;
    if (to_line_)
        to_line_(group_, unsigned(ps.tsa),
                 modem_line::carrier(ps.calling ? modem_line::kCallingCarrier : modem_line::kAnswerTone, speed_));
    ps.tone_event = sched_.after(plat::ms(500), [this, c, pump] { send_tone(c, pump); });
}

void ModemSocket::connected(unsigned c, unsigned pump, uint32_t speed)
{
    PumpState& ps = p_[c].pumps[pump];
    cancel_pump_events(ps);
    ps.call = Call::Connected;
    ps.dial_detected = ps.answer_detected = false;  // the dial or answer is done
    ps.speed = std::min(speed, speed_);
    trace(c, pump, TraceEvent(kTrTraining).stamp(sched_.now()).bytes);
    trace(c, pump, TraceEvent(kTrConnected).bytes);
    if (ps.calling) trace(c, pump, TraceEvent(kTrDialConnected).bytes);
    trace(c, pump, TraceEvent(kTrGoConnected).stamp(sched_.now()).bytes);
    trace(c, pump, TraceEvent(kTrDteConnect).value(ps.speed, 4).bytes);
    trace(c, pump, TraceEvent(kTrDcdOn).bytes);
    // Each side answers the carrier it heard with its own, so a far modem that began
    // after this one's last tone (another of the board's modems, say) connects too; a
    // far modem already connected ignores it.
    if (to_line_)
        to_line_(group_, unsigned(ps.tsa),
                 modem_line::carrier(ps.calling ? modem_line::kCallingCarrier : modem_line::kAnswerTone, ps.speed));
    std::string sp = std::to_string(ps.speed);
    if (ps.network) {
        modem_say(c, pump, "\r\nCONNECT " + sp + "\r\n");
        ps.online = true;
        ps.last_data = sched_.now();
        event_ind(c, pump, 1);
    } else {
        modem_say(c, pump, "\r\nCARRIER TX: " + sp + " RX: " + sp + "\r\n\r\nCONNECT " + sp + "\r\n");
    }
    report_status(c, pump);  // DCD on
}

// The call ends: carrier-off to the far modem (tell_line), NO CARRIER and DCD off to the
// host (tell_host); `cause` is the trace code of what ended it.
void ModemSocket::lose_carrier(unsigned c, unsigned pump, bool tell_line, bool tell_host, uint8_t cause)
{
    PumpState& ps = p_[c].pumps[pump];
    bool had = ps.call == Call::Connected;
    trace(c, pump, TraceEvent(cause).bytes);
    trace(c, pump, TraceEvent(kTrGoHangup).stamp(sched_.now()).bytes);
    trace(c, pump, TraceEvent(kTrDoHangup).bytes);
    if (tell_host) trace(c, pump, TraceEvent(kTrNoCarrier).bytes);
    if (tell_line && ps.tsa >= 0 && to_line_) to_line_(group_, unsigned(ps.tsa), modem_line::carrier_off());
    end_call(c, pump);
    ps.online = false;
    ps.dial_detected = ps.answer_detected = false;
    if (tell_host) modem_say(c, pump, "\r\nNO CARRIER\r\n");
    if (had) report_status(c, pump);  // DCD off
    trace(c, pump, TraceEvent(kTrIdle).stamp(sched_.now()).bytes);
}

void ModemSocket::end_call(unsigned c, unsigned pump)
{
    PumpState& ps = p_[c].pumps[pump];
    cancel_pump_events(ps);
    stop_delivery(ps);
    ps.call = Call::None;
}

// Network mode: the far modem's bytes wait in blocks for the line's rate and the host's RTS.
void ModemSocket::queue_for_host(unsigned c, unsigned pump, const std::vector<uint8_t>& bytes)
{
    PumpState& ps = p_[c].pumps[pump];
    for (size_t at = 0; at < bytes.size(); at += kNetworkBlock) {
        size_t n = std::min(kNetworkBlock, bytes.size() - at);
        if (ps.to_host_bytes + n > kHeldLimit) {
            ps.dropped_for_rts += bytes.size() - at;
            break;
        }
        ps.to_host_data.emplace_back(bytes.begin() + long(at), bytes.begin() + long(at + n));
        ps.to_host_bytes += n;
    }
    if (!ps.deliver_event) deliver_to_host(c, pump);
}

// One tick of the line: what it carried since the last tick (speed / 10 bytes a second:
// a start and a stop bit per character) goes on to the host, block by block, while RTS
// is on and the modem is in data state. Otherwise the ticks stop; RTS on, or back on
// line, starts them again.
void ModemSocket::deliver_to_host(unsigned c, unsigned pump)
{
    PumpState& ps = p_[c].pumps[pump];
    if (ps.deliver_event || ps.to_host_data.empty() || !ps.rts || !ps.online || ps.call != Call::Connected) return;
    int first = data_slot(c, pump);
    while (!ps.to_host_data.empty() && ps.credit >= ps.to_host_data.front().size()) {
        std::vector<uint8_t> block = std::move(ps.to_host_data.front());
        ps.to_host_data.pop_front();
        ps.credit -= uint32_t(block.size());
        ps.to_host_bytes -= block.size();
        if (first >= 0 && to_controller_) to_controller_(group_, unsigned(first), block);
    }
    if (ps.to_host_data.empty()) {
        ps.credit = 0;
        return;
    }
    uint32_t per_tick = std::max<uint32_t>(1, ps.speed / 10 / uint32_t(plat::ms(1000) / kDeliverTick));
    ps.deliver_event = sched_.after(kDeliverTick, [this, c, pump, per_tick] {
        PumpState& q = p_[c].pumps[pump];
        q.deliver_event = 0;
        q.credit = std::min<uint32_t>(q.credit + per_tick, uint32_t(kNetworkBlock) * 4);
        deliver_to_host(c, pump);
    });
}

// Over 512 bytes of report, then OK: what the driver waits for before hanging up.
std::string ModemSocket::statistics_text(unsigned pump) const
{
    std::string t = "\r\nTERMINATION REASON.......... LOCAL REQUEST\r\n";
    for (int i = 0; i < 16; ++i)
        t += "LINE STATISTICS " + std::to_string(pump) + "." + std::to_string(i) + " ......... 00000000\r\n";
    return t + "\r\nOK\r\n";
}

// ---- the board's wiring: data slots and the line ----

void ModemSocket::wire(unsigned group, uint32_t slot_base, bool tdm_setup)
{
    group_ = group;
    slot_base_ = slot_base;
    tdm_setup_ = tdm_setup;
}

int ModemSocket::data_slot(unsigned c, unsigned pump) const
{
    if (c >= processors_ || pump >= type_.pumps || pump >= kMaxPumps) return -1;
    if (tdm_setup_) {
        int first = p_[c].tdm_first_slot;
        return first < 0 || p_[c].mode != Mode::Running ? -1 : first + int(4 * pump);
    }
    return int(slot_base_ + c * type_.timeslot_step + 4 * pump + 1);
}

bool ModemSocket::pump_of_slot(unsigned slot, unsigned& c, unsigned& pump) const
{
    for (c = 0; c < processors_; ++c)
        for (pump = 0; pump < type_.pumps && pump < kMaxPumps; ++pump) {
            int first = data_slot(c, pump);
            if (first >= 0 && slot >= unsigned(first) && slot < unsigned(first) + 3) return true;
        }
    return false;
}

bool ModemSocket::from_controller(unsigned slot, const std::vector<uint8_t>& frame)
{
    unsigned c = 0, pump = 0;
    if (!pump_of_slot(slot, c, pump)) return false;
    PumpState& ps = p_[c].pumps[pump];
    if (p_[c].mode != Mode::Running || ps.call != Call::Connected || ps.tsa < 0) return true;  // taken, dropped
    if (ps.network && ps.online) watch_escape(c, pump, frame);
    if (to_line_) to_line_(group_, unsigned(ps.tsa), modem_line::data(frame));
    return true;
}

// Data state: "+++" (in one frame or several) after a guard time without data, and
// nothing for a guard time after it, returns to command state with OK. The characters
// still go to the far modem, as every byte of data state does.
void ModemSocket::watch_escape(unsigned c, unsigned pump, const std::vector<uint8_t>& frame)
{
    PumpState& ps = p_[c].pumps[pump];
    const plat::VTime now = sched_.now();
    bool pluses = !frame.empty() && std::all_of(frame.begin(), frame.end(), [](uint8_t b) { return b == '+'; });
    if (ps.escape_event) sched_.cancel(ps.escape_event);
    ps.escape_event = 0;
    if (pluses && ps.plus + frame.size() <= 3 && (ps.plus > 0 || now - ps.last_data >= kEscapeGuard)) {
        ps.plus += frame.size();
        if (ps.plus == 3)
            ps.escape_event = sched_.after(kEscapeGuard, [this, c, pump] {
                PumpState& q = p_[c].pumps[pump];
                q.escape_event = 0;
                q.plus = 0;
                if (!q.online || q.call != Call::Connected) return;
                q.online = false;
                trace(c, pump, TraceEvent(kTrEscaped).stamp(sched_.now()).bytes);
                event_ind(c, pump, 0);
                modem_say(c, pump, "\r\nOK\r\n");
            });
    } else {
        ps.plus = 0;
    }
    ps.last_data = now;
}

bool ModemSocket::from_line(unsigned slot, const std::vector<uint8_t>& frame)
{
    if (frame.empty()) return false;
    for (unsigned c = 0; c < processors_; ++c) {
        if (p_[c].mode != Mode::Running) continue;
        for (unsigned pump = 0; pump < type_.pumps && pump < kMaxPumps; ++pump) {
            PumpState& ps = p_[c].pumps[pump];
            if (ps.tsa != int(slot) || ps.call == Call::None) continue;
            switch (frame[0]) {
            case modem_line::kAnswerTone:
            case modem_line::kCallingCarrier: {
                // The far modem's carrier: the caller hears an answer tone, the answerer a calling carrier.
                bool fits = (frame[0] == modem_line::kAnswerTone) == ps.calling;
                uint32_t speed = modem_line::speed_of(frame);
                if (ps.call == Call::Training && fits && speed != 0) connected(c, pump, speed);
                break;
            }
            case modem_line::kData: {
                if (ps.call != Call::Connected) break;
                if (ps.network) {
                    queue_for_host(c, pump, std::vector<uint8_t>(frame.begin() + 1, frame.end()));
                    break;
                }
                int first = data_slot(c, pump);
                if (first >= 0 && to_controller_)
                    to_controller_(group_, unsigned(first), std::vector<uint8_t>(frame.begin() + 1, frame.end()));
                break;
            }
            case modem_line::kCarrierOff:
                if (ps.call != Call::Connected) break;
                lose_carrier(c, pump, false, true, kTrRemoteClear);
                if (ps.network) event_ind(c, pump, 4);
                break;
            default:
                break;
            }
            return true;
        }
    }
    return false;
}

void ModemSocket::crash(unsigned c, uint8_t code, unsigned pump)
{
    send_to_host(c, {0, 0, 0, uint16_t(code << 8 | pump)});
    p_.at(c).stalled = true;
    p_[c].taken = false;
}

// ---- knobs and inspection ----

void ModemSocket::set_never_answer(unsigned c, bool on)
{
    p_.at(c).never_answer = on;
    if (on) p_[c].taken = false;
}

void ModemSocket::stall_at(unsigned c, uint32_t n) { p_.at(c).stall_countdown = n; }
void ModemSocket::set_bad_checksum(unsigned c, uint32_t boots) { p_.at(c).bad_checksum_boots = boots; }
void ModemSocket::corrupt_load_at(unsigned c, uint32_t n) { p_.at(c).corrupt_countdown = n; }

uint8_t ModemSocket::peek_memory(unsigned c, uint32_t address) const
{
    const auto& m = p_.at(c).memory;
    auto it = m.find(address);
    return it == m.end() ? 0 : it->second;
}

size_t ModemSocket::count(unsigned c, bool running, uint16_t word3_or_code) const
{
    return size_t(std::count_if(log_.begin(), log_.end(), [&](const Message& m) {
        if (m.processor != c || m.running != running) return false;
        return running ? m.code() == word3_or_code : m.words[3] == word3_or_code;
    }));
}

}  // namespace sim

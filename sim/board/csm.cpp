#include "sim/board/csm.h"
#include "platform/host/history.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "sim/firmware/firmware.h"

namespace sim {

namespace {

constexpr std::array<uint16_t, 4> kRockwell{0x4F52, 0x4B43, 0x4557, 0x4C4C};
constexpr std::array<uint16_t, 4> kHostBoot{0x4F48, 0x5453, 0x4F42, 0x544F};
constexpr uint16_t kCmdFifoRead = 4, kCmdLoad = 5, kCmdStart = 6, kCmdZeroFill = 8;
constexpr uint32_t kMaxLoad = 126, kMaxZeroFill = 65534;
// Message codes of the running firmware.
constexpr uint8_t kErrInd = 0x00, kDataReq = 0x08, kFifoDat = 0x09, kCmdDat = 0x14, kCmdReq = 0x15, kDteRpt = 0x29,
                  kDceReq = 0x2A, kDceRpt = 0x2B, kHangup = 0x2F, kSetTsa = 0x36, kChStatus = 0x3A, kChReset = 0x3B,
                  kChecksum = 0x3E;
constexpr uint16_t kCtsDsr = 0x3, kDcd = 0x8, kDtr = 0x1;
constexpr size_t kFifoBlock = 128;

uint32_t address_of(const std::array<uint16_t, 4>& w) { return uint32_t(w[1]) << 16 | w[2]; }

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

void ModemSocket::cancel_pump_events(Processor& p)
{
    for (auto& ps : p.pumps)
        if (ps.train_event) {
            sched_.cancel(ps.train_event);
            ps.train_event = 0;
        }
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
    p = Processor{};
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
    plat::push_bounded(log_, Message{sched_.now(), c, w, p.mode == Mode::Running});
    if (p.never_answer || p.stalled) return;
    if (p.stall_countdown != 0 && --p.stall_countdown == 0) {
        p.stalled = true;
        return;
    }
    if (p.mode == Mode::Loader) {
        loader_command(c, w);
        return;
    }
    // The running firmware takes the message a little later.
    if (p.take_event) sched_.cancel(p.take_event);
    p.take_event = sched_.after(take_delay_, [this, c, w] {
        p_[c].take_event = 0;
        firmware_take(c, w);
    });
}

void ModemSocket::loader_answer(unsigned c, std::array<uint16_t, 4> w)
{
    Processor& p = p_[c];
    for (unsigned i = 0; i < 4; ++i) p.regs[kIn0 + i] = w[i];
    p.taken = true;
}

void ModemSocket::loader_command(unsigned c, const std::array<uint16_t, 4>& w)
{
    Processor& p = p_[c];
    const std::array<uint16_t, 4> failed{w[0], w[1], w[2], 0};
    if (w == kRockwell) {
        p.rockwell = true;
        loader_answer(c, kRockwell);
        return;
    }
    if (w == kHostBoot) {
        p.hostboot = p.rockwell;
        loader_answer(c, p.hostboot ? kHostBoot : failed);
        return;
    }
    uint32_t n = w[0], address = address_of(w);
    if (!p.hostboot) {
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
    p_.at(c).inbound.push_back({words, fifo});
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

// The running firmware takes one message: the pump protocol, minimally.
void ModemSocket::firmware_take(unsigned c, std::array<uint16_t, 4> w)
{
    Processor& p = p_[c];
    p.taken = true;
    uint8_t code = uint8_t(w[3] >> 8);
    unsigned pump = w[3] & 0xFF;
    if (code == kChecksum) {
        uint16_t sum = p.sum;
        if (p.bad_checksum_boots) {
            p.bad_checksum_boots--;
            sum = uint16_t(~sum);
        }
        send_to_host(c, {0, 0, sum, uint16_t(kChecksum << 8)});
        return;
    }
    if (code == 0x52) return;  // TDM interface set-up
    if (pump >= type_.pumps || pump >= kMaxPumps) {
        send_to_host(c, {0, 0, 0, uint16_t(kErrInd << 8)});
        return;
    }
    PumpState& ps = p.pumps[pump];
    auto to_host = [&](uint8_t code_in, uint16_t w2, uint16_t w1 = 0) {
        send_to_host(c, {0, w1, w2, uint16_t(code_in << 8 | pump)});
    };
    switch (code) {
    case kChReset: {
        // The modem channel restarts; the host interface keeps its outstanding data request.
        end_call(c, pump);
        bool wants = ps.host_wants_data;
        std::string text = ps.text;
        ps = PumpState{};
        ps.host_wants_data = wants;
        ps.text = text;
        to_host(kChStatus, 1);
        break;
    }
    case kDteRpt:
        ps.dtr = (w[2] & kDtr) != 0;
        if (!ps.dtr && ps.call != Call::None) {  // DTR dropped: the modem hangs up
            end_call(c, pump);
            to_host(kHangup, 0);
        }
        break;
    case kSetTsa:  // the call's time slot is taken away from the channel
        ps.tsa = -1;
        break;
    case kDataReq:
        ps.host_wants_data = true;
        to_host(kDataReq, 0x80, 0x0A);  // ready for data from the host
        pump_answer(c, pump);
        break;
    case kCmdReq:
        to_host(kCmdReq, 0);
        break;
    case kDceReq:
        to_host(kDceRpt, uint16_t(kCtsDsr | (ps.call == Call::Connected ? kDcd : 0)));
        break;
    case kCmdDat:
        take_host_bytes(c, w[2] & 0xFF);
        break;
    case kFifoDat: {
        unsigned n = std::min<unsigned>(w[2], kFifoBlock);
        std::vector<uint8_t> bytes = take_host_bytes(c, n);
        std::string text(bytes.begin(), bytes.end());
        ps.text += text;
        modem_text(c, pump, text);
        to_host(kDataReq, 0x80, 0x0A);
        pump_answer(c, pump);
        break;
    }
    default:
        break;
    }
}

// Answer text goes to the host only while the host asks for data.
void ModemSocket::pump_answer(unsigned c, unsigned pump)
{
    PumpState& ps = p_[c].pumps[pump];
    if (!ps.host_wants_data || ps.answer.empty()) return;
    size_t n = std::min(ps.answer.size(), kFifoBlock);
    std::vector<uint8_t> block(ps.answer.begin(), ps.answer.begin() + long(n));
    ps.answer.erase(ps.answer.begin(), ps.answer.begin() + long(n));
    ps.host_wants_data = false;
    send_to_host(c, {0, 0, uint16_t(n), uint16_t(kFifoDat << 8 | pump)}, block);
}

// ---- pumps: the AT dialect, the far-end modem and the data path ----

namespace {
std::string upper(const std::string& s)
{
    std::string u = s;
    for (char& ch : u) ch = char(std::toupper(uint8_t(ch)));
    return u;
}
}  // namespace

void ModemSocket::modem_say(unsigned c, unsigned pump, const std::string& text)
{
    PumpState& ps = p_[c].pumps[pump];
    ps.answer.insert(ps.answer.end(), text.begin(), text.end());
    pump_answer(c, pump);
}

// A block of AT text from the host: one command per block, as the driver writes them.
void ModemSocket::modem_text(unsigned c, unsigned pump, const std::string& text)
{
    std::string u = upper(text);
    if (u.size() < 2 || u[0] != 'A' || u[1] != 'T') return;
    if (u.rfind("AT&V1&V2", 0) == 0) {
        modem_say(c, pump, statistics_text(pump));
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
            modem_say(c, pump, "\r\nERROR\r\n");
            return;
        }
        start_call(c, pump, std::stoi(digits));
        return;
    }
    modem_say(c, pump, "\r\nOK\r\n");
}

void ModemSocket::start_call(unsigned c, unsigned pump, int slot)
{
    PumpState& ps = p_[c].pumps[pump];
    end_call(c, pump);
    ps.tsa = slot;
    ps.call = Call::Training;
    ps.train_event = sched_.after(far_.train, [this, c, pump] {
        PumpState& q = p_[c].pumps[pump];
        q.train_event = 0;
        if (!far_.answers || q.tsa < 0) {
            q.call = Call::None;
            modem_say(c, pump, "\r\nNO CARRIER\r\n");
            return;
        }
        q.call = Call::Connected;
        std::string speed = std::to_string(far_.speed);
        modem_say(c, pump, "\r\nCARRIER TX: " + speed + " RX: " + speed + "\r\n\r\nCONNECT " + speed + "\r\n");
    });
}

void ModemSocket::end_call(unsigned c, unsigned pump)
{
    PumpState& ps = p_[c].pumps[pump];
    if (ps.train_event) sched_.cancel(ps.train_event);
    ps.train_event = 0;
    ps.call = Call::None;
}

void ModemSocket::far_end_hangup(unsigned c, unsigned pump)
{
    PumpState& ps = p_.at(c).pumps.at(pump);
    if (ps.call == Call::None) return;
    end_call(c, pump);
    modem_say(c, pump, "\r\nNO CARRIER\r\n");
}

// Over 512 bytes of report, then OK: what the driver waits for before hanging up.
std::string ModemSocket::statistics_text(unsigned pump) const
{
    std::string t = "\r\nTERMINATION REASON.......... LOCAL REQUEST\r\n";
    for (int i = 0; i < 16; ++i)
        t += "LINE STATISTICS " + std::to_string(pump) + "." + std::to_string(i) + " ......... 00000000\r\n";
    return t + "\r\nOK\r\n";
}

void ModemSocket::data_from_slot(unsigned c, unsigned pump, const std::vector<uint8_t>& frame)
{
    const PumpState& ps = p_.at(c).pumps.at(pump);
    if (ps.call == Call::Connected && ps.tsa >= 0 && to_line_) to_line_(c, pump, ps.tsa, frame);
}

bool ModemSocket::data_from_line(int slot, const std::vector<uint8_t>& frame)
{
    for (unsigned c = 0; c < processors_; ++c)
        for (unsigned pump = 0; pump < kMaxPumps; ++pump) {
            const PumpState& ps = p_[c].pumps[pump];
            if (ps.call != Call::Connected || ps.tsa != slot) continue;
            if (to_slot_) to_slot_(c, pump, slot, frame);
            return true;
        }
    return false;
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

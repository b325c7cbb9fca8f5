// The serial-attached modem adapter: ports on sockets, the scripted modem behind each.
#include "sim/serial/serial_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>

#include "platform/win32/serial_wire.h"

namespace sw = vornet::serial_wire;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace sim::serial {

namespace {

// The port driver's control codes.
constexpr uint32_t kSetDtr = 0x001B0024, kClrDtr = 0x001B0028, kSetRts = 0x001B0030, kClrRts = 0x001B0034;
constexpr uint32_t kGetDtrRts = 0x001B0078, kSetBlocking = 0x00222004;
constexpr unsigned kRingPulseMs = 200;

const char* const kPortsKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters";

std::string lower(std::string s)
{
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string padded(const std::string& s, size_t width) { return s.size() >= width ? s + "  " : s + std::string(width - s.size(), ' '); }

// One datagram due at a time.
struct Out {
    Clock::time_point due;
    uint32_t kind;
    uint32_t tag;
    uint32_t value;
    std::string payload;
};

}  // namespace

struct SerialModemAdapter::Port {
    std::string name;
    fs::path path;
    int listener = -1;
    int conn = -1;
    ModemKnobs knobs;
    uint32_t lines = sw::kCts;
    bool dtr = false, rts = false, blocking = false;
    std::deque<Out> out;
    std::string line;                // the command being typed
    std::deque<std::string> pages;   // of a report, waiting for a carriage return
    std::vector<std::string> commands;
    std::map<std::string, std::string> settings;  // command letter(s) or "s<n>" -> value
    CallReport last_call;

    Port()
    {
        for (auto& [k, v] : std::map<std::string, std::string>{
                 {"e", "1"}, {"v", "1"}, {"q", "0"}, {"&c", "1"}, {"&d", "2"}, {"&k", "3"}, {"&g", "0"},
                 {"\\n", "3"}, {"%c", "1"}, {"s0", "0"}, {"s2", "43"}, {"s3", "13"}, {"s4", "10"}, {"s5", "8"},
                 {"s6", "2"}, {"s7", "50"}, {"s8", "2"}, {"s9", "37"}, {"s10", "14"}, {"s11", "95"}, {"s12", "50"},
                 {"s28", "1"}, {"s30", "0"}, {"s35", "0"}, {"s37", "0"}, {"s38", "1"}, {"s109", "62"}})
            settings[k] = v;
    }
    unsigned number(const std::string& key) { return static_cast<unsigned>(std::atoi(settings[key].c_str())); }

    Clock::time_point next_due(unsigned delay_ms)
    {
        auto t = Clock::now() + std::chrono::milliseconds(delay_ms);
        return out.empty() || out.back().due < t ? t : out.back().due;
    }
    void send_text(const std::string& text, unsigned delay_ms)
    {
        if (conn >= 0 && !text.empty()) out.push_back({next_due(delay_ms), sw::kData, 0, 0, text});
    }
    void set_lines(uint32_t v, unsigned delay_ms = 0)
    {
        lines = v;
        if (conn >= 0) out.push_back({next_due(delay_ms), sw::kModemLines, 0, v, {}});
    }
    std::string result(bool ok)
    {
        if (settings["q"] == "1") return {};
        if (settings["v"] == "0") return ok ? "0\r" : "4\r";
        return ok ? "\r\nOK\r\n" : "\r\nERROR\r\n";
    }

    // Bytes from the host.
    void take(const std::string& bytes)
    {
        for (char c : bytes) {
            if (knobs.silent) {
                if (c == '\r' && !line.empty()) commands.push_back(line);
                if (c == '\r') line.clear();
                else if (c != '\n') line.push_back(c);
                continue;
            }
            if (settings["e"] != "0") send_text(std::string(1, c), 0);
            if (c == '\n') continue;
            if (c != '\r') {
                if (line.size() < 256) line.push_back(c);
                continue;
            }
            std::string command = line;
            line.clear();
            if (command.empty()) {
                if (!pages.empty()) {
                    std::string page = pages.front();
                    pages.pop_front();
                    send_text(page + (pages.empty() ? result(true) : std::string()), knobs.reply_delay_ms);
                }
                continue;
            }
            pages.clear();
            commands.push_back(command);
            execute(command);
        }
    }

    void execute(const std::string& typed)
    {
        std::string c = lower(typed);
        if (c.size() < 2 || c.compare(0, 2, "at") != 0) return;  // not a command: ignored
        std::string body = c.substr(2);
        for (const auto& e : knobs.error_to)
            if (body.rfind(lower(e), 0) == 0) return send_text(result(false), knobs.reply_delay_ms);
        std::deque<std::string> report;
        bool ok = true;
        if (body == "i0") {
            report.push_back("\r\n" + knobs.version_text + "\r\n");
        } else if (body == "i11") {
            report = last_call_pages();
        } else if (body == "&v") {
            report = settings_pages();
        } else if (body.size() >= 3 && body[0] == 's' && body.back() == '?') {
            std::string n = body.substr(1, body.size() - 2);
            ok = !n.empty() && n.find_first_not_of("0123456789") == std::string::npos && n.size() <= 3;
            if (ok) {
                char text[16];
                std::snprintf(text, sizeof text, "\r\n%03u\r\n", number("s" + std::to_string(std::atoi(n.c_str()))));
                report.push_back(text);
            }
        } else if (body.size() >= 3 && body[0] == 's' && body.find('=') != std::string::npos) {
            size_t eq = body.find('=');
            std::string n = body.substr(1, eq - 1), v = body.substr(eq + 1);
            ok = !n.empty() && n.size() <= 3 && n.find_first_not_of("0123456789") == std::string::npos &&
                 !v.empty() && v.size() <= 3 && v.find_first_not_of("0123456789") == std::string::npos &&
                 std::atoi(v.c_str()) <= 255;
            if (ok) settings["s" + std::to_string(std::atoi(n.c_str()))] = std::to_string(std::atoi(v.c_str()));
        } else if (body.size() >= 4 && body.compare(0, 2, "&z") == 0 && body[3] == '=' && body[2] >= '0' && body[2] <= '3') {
            std::string number_text = typed.substr(6);
            ok = number_text.find_first_of(" \t") == std::string::npos && number_text.size() <= 40;
            if (ok) settings[body.substr(0, 3)] = number_text;
        } else if (body.empty() || body == "h" || body == "z") {
        } else {
            ok = false;
            for (const char* key : {"e", "v", "q", "&c", "&d", "&k", "&s", "&g", "\\k", "\\n", "%c", "*h"}) {
                std::string k = key;
                if (body.compare(0, k.size(), k) != 0) continue;
                std::string v = body.substr(k.size());
                if (v.size() <= 3 && v.find_first_not_of("0123456789") == std::string::npos) {
                    settings[k] = v.empty() ? "0" : std::to_string(std::atoi(v.c_str()));
                    ok = true;
                }
                break;
            }
        }
        if (!ok) return send_text(result(false), knobs.reply_delay_ms);
        if (report.empty()) return send_text(result(true), knobs.reply_delay_ms);
        std::string first = report.front();
        report.pop_front();
        pages = report;
        send_text(first + (pages.empty() ? result(true) : std::string()), knobs.reply_delay_ms);
    }

    std::deque<std::string> last_call_pages()
    {
        const CallReport& r = last_call;
        auto row = [](const std::string& label, const std::string& value) { return padded(label, 32) + value + "\r\n"; };
        auto num = [](unsigned v) { return std::to_string(v); };
        std::string one = "\r\n" + row("Last Connection", r.modulation) + row("Initial Transmit Carrier Rate", num(r.initial_tx_rate)) +
                          row("Initial Receive  Carrier Rate", num(r.initial_rx_rate)) +
                          row("Final   Transmit Carrier Rate", num(r.final_tx_rate)) +
                          row("Final   Receive  Carrier Rate", num(r.final_rx_rate)) +
                          row("Protocol Negotiation Result", r.protocol) + row("Data Compression Result", r.compression) +
                          row("Estimated Noise Level", num(r.noise)) +
                          row("Receive  Signal Power Level", "(-dBm)  " + num(r.rx_power)) +
                          row("Transmit Signal Power Level", "(-dBm)  " + num(r.tx_power)) +
                          row("Round Trip Delay", "(msec)  " + num(r.round_trip));
        std::string two = row("Near Echo Level", "(-dB)  " + num(r.near_echo)) + row("Far  Echo Level", "(-dB)  " + num(r.far_echo)) +
                          row("Transmit Frame Count", num(r.tx_frames)) + row("Transmit Frame Error Count", num(r.tx_frame_errors)) +
                          row("Receive  Frame Count", num(r.rx_frames)) + row("Receive  Frame Error Count", num(r.rx_frame_errors)) +
                          row("Retrain by Local Modem", num(r.local_retrains)) + row("Retrain by Remote Modem", num(r.remote_retrains)) +
                          row("Call Termination Cause", num(r.termination)) + row("Robbed-Bit Signaling", num(r.robbed_bit)) +
                          row("Digital Loss", "(dB)  " + num(r.digital_loss));
        return {one, two};
    }

    std::deque<std::string> settings_pages()
    {
        auto pick = [&](const std::string& key, std::map<std::string, std::string> names, const std::string& other) {
            auto it = names.find(settings[key]);
            return it == names.end() ? other : it->second;
        };
        auto on_off = [&](bool on) { return std::string(on ? "Enabled" : "Disabled"); };
        const std::map<std::string, std::string> rates = {
            {"0", "33600"}, {"2", "1200/75"}, {"3", "300(V22)"}, {"5", "1200(V22)"}, {"6", "2400"}, {"7", "4800"},
            {"8", "7200"}, {"9", "9600"}, {"10", "12000"}, {"11", "14400"}, {"12", "16800"}, {"13", "19200"},
            {"14", "21600"}, {"15", "24000"}, {"16", "26400"}, {"17", "28800"}, {"18", "31200"}, {"19", "33600"}};
        std::vector<std::pair<std::string, std::string>> items = {
            {"Comm Standard", "CCITT"},
            {"CommandCharEcho", on_off(settings["e"] != "0")},
            {"Speaker Volume", "Medium"},
            {"Speaker Control", "OnUntilCarrier"},
            {"Dialer Type", "Tone"},
            {"Result Codes", settings["q"] == "1" ? "Disabled" : "Enabled"},
            {"ResultCode Form", settings["v"] == "0" ? "Number" : "Text"},
            {"ExtendResultCode", "Enabled"},
            {"DialTone Detect", "Enabled"},
            {"BusyTone Detect", "Enabled"},
            {"CDC Action", settings["&c"] == "0" ? "Always On" : "Standard RS232"},
            {"DTR Action", pick("&d", {{"0", "Ignore"}, {"1", "Command Mode"}, {"2", "Standard RS232"}, {"3", "Off=Reset"}}, "Ignore")},
            {"V22b Guard Tone", pick("&g", {{"0", "Disabled"}, {"1", "550 Hz"}, {"2", "1800 Hz"}}, "Disabled")},
            {"Flow Control", pick("&k", {{"0", "Disabled"}, {"3", "Hardware"}, {"4", "Software"}}, "Unknown")},
            {"Error Control Mode", pick("\\n", {{"0", "BufferMode"}, {"1", "DirectMode"}, {"2", "MNP or Disc."}, {"3", "V42,MNP"}, {"4", "V42 or Disc."}}, "BufferMode")},
            {"Data Compression", settings["%c"] == "0" ? "Disabled" : "V42bis/MNP5"},
            {"DTR Dialing", "Off"},
            {"AutoAnswerRing#", settings["s0"]},
            {"AT Escape Char", settings["s2"]},
            {"CarriageReturn Char", settings["s3"]},
            {"Linefeed Char", settings["s4"]},
            {"Backspace Char", settings["s5"]},
            {"Blind Dial Pause", settings["s6"]},
            {"NoAnswer Timeout", settings["s7"]},
            {"Pause Time", settings["s8"]},
            {"Remote Config Char", settings["s9"]},
            {"Escape GuardTime", settings["s12"]},
            {"No Carrier Disc", settings["s10"]},
            {"DTMF Dial Speed", settings["s11"]},
            {"Data Calling Tone", on_off(settings["s35"] != "0")},
            {"Line Rate", pick("s37", rates, "33600")},
        };
        // Two settings a line, four pages; the stored numbers close the last page.
        std::deque<std::string> pages_out;
        std::string page = "\r\n";
        const size_t per_page = (items.size() + 3) / 4;
        for (size_t i = 0; i < items.size(); i++) {
            page += padded(items[i].first, 20) + padded(items[i].second, 18);
            if (i % 2 == 1 || i + 1 == items.size() || (i + 1) % per_page == 0) page += "\r\n";
            if ((i + 1) % per_page == 0 && i + 1 < items.size()) {
                pages_out.push_back(page);
                page.clear();
            }
        }
        page += "&Z0=" + settings["&z0"] + "  &Z1=" + settings["&z1"] + "  &Z2=" + settings["&z2"] + "  &Z3=" + settings["&z3"] + "\r\n";
        pages_out.push_back(page);
        return pages_out;
    }

    // A device control of the port driver; false when it is left unanswered.
    bool control(uint32_t code, const std::string& payload, uint32_t* status, std::string* output)
    {
        if (knobs.hold_controls) return false;
        uint32_t out_size = 0;
        if (payload.size() < sizeof out_size) {
            *status = sw::kStatusInvalidParameter;
            return true;
        }
        std::memcpy(&out_size, payload.data(), sizeof out_size);
        std::string in = payload.substr(sizeof out_size);
        *status = sw::kStatusSuccess;
        switch (code) {
        case kSetDtr: dtr = true; break;
        case kClrDtr:
            dtr = false;
            if (lines & sw::kDcd) hang_up();
            break;
        case kSetRts: rts = true; break;
        case kClrRts: rts = false; break;
        case kGetDtrRts: {
            if (out_size < 4) {
                *status = sw::kStatusBufferTooSmall;
                break;
            }
            uint32_t v = (dtr ? 1u : 0u) | (rts ? 2u : 0u);
            output->assign(reinterpret_cast<const char*>(&v), sizeof v);
            break;
        }
        case kSetBlocking:
            if (in.size() != 1 || static_cast<uint8_t>(in[0]) > 1) *status = sw::kStatusInvalidParameter;
            else blocking = in[0] == 1;
            break;
        default: *status = sw::kStatusInvalidRequest;
        }
        return true;
    }

    void hang_up()
    {
        set_lines(lines & ~(sw::kDcd | sw::kDsr));
        send_text("\r\nNO CARRIER\r\n", 0);
    }
};

SerialModemAdapter::SerialModemAdapter(fs::path root) : root_(std::move(root)) {}

SerialModemAdapter::~SerialModemAdapter() { stop(); }

std::vector<std::string> SerialModemAdapter::listed_ports(const plat::reg::Registry& hive)
{
    std::vector<std::string> names;
    uint32_t count = hive.get_dword(kPortsKey, "ZELPortCount").value_or(0);
    for (uint32_t i = 1; i <= count && i <= 64; i++)
        if (auto n = hive.get_sz(std::string(kPortsKey) + "\\Port" + std::to_string(i), "ShadowDeviceName"); n && !n->empty())
            names.push_back(*n);
    return names;
}

bool SerialModemAdapter::add_port(const std::string& name, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (name.empty() || name.find_first_of("/\\") != std::string::npos) return fail("bad port name \"" + name + "\"");
    auto p = std::make_unique<Port>();
    p->name = name;
    p->path = root_ / name;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string s = p->path.string();
    if (s.size() >= sizeof a.sun_path) return fail("socket path too long: " + s);
    std::memcpy(a.sun_path, s.c_str(), s.size() + 1);
    std::error_code ec;
    fs::remove(p->path, ec);
    p->listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (p->listener < 0 || ::bind(p->listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(p->listener, 4) != 0) {
        std::string why = std::strerror(errno);
        if (p->listener >= 0) ::close(p->listener);
        return fail("cannot serve " + s + ": " + why);
    }
    std::lock_guard<std::mutex> l(lock_);
    ports_.push_back(std::move(p));
    return true;
}

bool SerialModemAdapter::start(std::string* error)
{
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void SerialModemAdapter::stop()
{
    {
        std::lock_guard<std::mutex> l(lock_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> l(lock_);
    for (auto& p : ports_) {
        if (p->conn >= 0) ::close(p->conn);
        if (p->listener >= 0) ::close(p->listener);
        p->conn = p->listener = -1;
        std::error_code ec;
        fs::remove(p->path, ec);
    }
    for (int& fd : wake_)
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
}

void SerialModemAdapter::wake()
{
    if (wake_[1] >= 0) {
        char b = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &b, 1);
    }
}

SerialModemAdapter::Port* SerialModemAdapter::find(const std::string& name)
{
    for (auto& p : ports_)
        if (lower(p->name) == lower(name)) return p.get();
    return nullptr;
}

void SerialModemAdapter::run()
{
    std::vector<uint8_t> datagram(sizeof(sw::Header) + sw::kMaxPayload);
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
        int timeout_ms = 100;
        {
            std::lock_guard<std::mutex> l(lock_);
            if (stopping_) return;
            auto now = Clock::now();
            for (auto& p : ports_) {
                fds.push_back({p->listener, POLLIN, 0});
                fds.push_back({p->conn, POLLIN, 0});  // a negative descriptor is skipped
                // Send what is due.
                while (!p->out.empty() && p->out.front().due <= now) {
                    Out& o = p->out.front();
                    sw::Header h{sw::kMagic, o.kind, o.tag, o.value, static_cast<uint32_t>(o.payload.size())};
                    std::string d(reinterpret_cast<const char*>(&h), sizeof h);
                    d += o.payload;
                    if (p->conn >= 0) ::send(p->conn, d.data(), d.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                    p->out.pop_front();
                }
                if (!p->out.empty()) {
                    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(p->out.front().due - now).count() + 1;
                    timeout_ms = std::min<int>(timeout_ms, static_cast<int>(wait));
                }
            }
        }
        ::poll(fds.data(), fds.size(), timeout_ms);
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        std::lock_guard<std::mutex> l(lock_);
        if (stopping_) return;
        for (size_t i = 0; i < ports_.size() && 2 + 2 * i < fds.size(); i++) {
            Port& p = *ports_[i];
            // A connection that ended first, so its port opens again at once.
            [&] {
                if (p.conn < 0 || (fds[2 + 2 * i].fd != p.conn) || !(fds[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR))) return;
                ssize_t n = ::recv(p.conn, datagram.data(), datagram.size(), MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                    ::close(p.conn);
                    p.conn = -1;
                    p.out.clear();
                    p.dtr = p.rts = p.blocking = false;
                    return;
                }
                sw::Header h{};
                if (n < static_cast<ssize_t>(sizeof h)) return;
                std::memcpy(&h, datagram.data(), sizeof h);
                if (h.magic != sw::kMagic || h.length != static_cast<size_t>(n) - sizeof h) return;
                std::string payload(reinterpret_cast<const char*>(datagram.data()) + sizeof h, h.length);
                if (h.kind == sw::kData) {
                    p.take(payload);
                } else if (h.kind == sw::kControl) {
                    uint32_t status = 0;
                    std::string output;
                    // The port driver answers at once, not behind the modem's replies.
                    if (p.control(h.value, payload, &status, &output)) {
                        sw::Header done{sw::kMagic, sw::kControlDone, h.tag, status, static_cast<uint32_t>(output.size())};
                        std::string d(reinterpret_cast<const char*>(&done), sizeof done);
                        d += output;
                        ::send(p.conn, d.data(), d.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                    }
                }
            }();
            if (fds[1 + 2 * i].revents & POLLIN) {
                int c = ::accept4(p.listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0 && p.conn >= 0) {
                    ::close(c);  // the port opens without sharing
                } else if (c >= 0) {
                    p.conn = c;
                    p.out.clear();
                    p.dtr = p.rts = p.blocking = false;
                    p.set_lines(p.lines);
                }
            }
        }
    }
}

void SerialModemAdapter::set_knobs(const std::string& port, const ModemKnobs& knobs)
{
    std::lock_guard<std::mutex> l(lock_);
    if (Port* p = find(port)) p->knobs = knobs;
}

void SerialModemAdapter::ring(const std::string& port)
{
    {
        std::lock_guard<std::mutex> l(lock_);
        Port* p = find(port);
        if (p == nullptr) return;
        p->set_lines(p->lines | sw::kRi);
        p->send_text("\r\nRING\r\n", 0);
        p->set_lines(p->lines & ~sw::kRi, kRingPulseMs);
        if (p->conn < 0) p->lines &= ~sw::kRi;
    }
    wake();
}

void SerialModemAdapter::raise_carrier(const std::string& port, const CallReport& report)
{
    {
        std::lock_guard<std::mutex> l(lock_);
        Port* p = find(port);
        if (p == nullptr) return;
        p->last_call = report;
        p->set_lines(p->lines | sw::kDsr);
        p->set_lines(p->lines | sw::kDcd);
        p->send_text("\r\nCONNECT " + std::to_string(report.final_rx_rate) + "\r\n", 0);
    }
    wake();
}

void SerialModemAdapter::drop_carrier(const std::string& port)
{
    {
        std::lock_guard<std::mutex> l(lock_);
        if (Port* p = find(port)) p->hang_up();
    }
    wake();
}

void SerialModemAdapter::lose_carrier(const std::string& port)
{
    {
        std::lock_guard<std::mutex> l(lock_);
        if (Port* p = find(port)) {
            p->set_lines(p->lines & ~sw::kDcd);
            p->send_text("\r\nNO CARRIER\r\n", 0);
        }
    }
    wake();
}

void SerialModemAdapter::set_dsr(const std::string& port, bool on)
{
    {
        std::lock_guard<std::mutex> l(lock_);
        if (Port* p = find(port)) p->set_lines(on ? (p->lines | sw::kDsr) : (p->lines & ~sw::kDsr));
    }
    wake();
}

bool SerialModemAdapter::blocking(const std::string& port)
{
    std::lock_guard<std::mutex> l(lock_);
    Port* p = find(port);
    return p != nullptr && p->blocking;
}

bool SerialModemAdapter::dtr(const std::string& port)
{
    std::lock_guard<std::mutex> l(lock_);
    Port* p = find(port);
    return p != nullptr && p->dtr;
}

bool SerialModemAdapter::rts(const std::string& port)
{
    std::lock_guard<std::mutex> l(lock_);
    Port* p = find(port);
    return p != nullptr && p->rts;
}

std::vector<std::string> SerialModemAdapter::commands(const std::string& port)
{
    std::lock_guard<std::mutex> l(lock_);
    Port* p = find(port);
    return p != nullptr ? p->commands : std::vector<std::string>{};
}

std::string SerialModemAdapter::setting(const std::string& port, const std::string& name)
{
    std::lock_guard<std::mutex> l(lock_);
    Port* p = find(port);
    return p != nullptr ? p->settings[lower(name)] : std::string();
}

}  // namespace sim::serial

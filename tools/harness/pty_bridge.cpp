// The COM ports of a rig as pseudo-terminals: one pty per port, one overlapped read
// always outstanding on the port, a write per block typed, everything non-blocking so
// one thread serves the clock and every terminal.
#include "tools/harness/pty_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "driver/Wmp_nt40/ser_init.h"

namespace rig {

namespace {

constexpr const char* kSerialComm = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr uint32_t kReadLength = 512;
constexpr size_t kMaxWrites = 8;  // typed blocks in the driver before the terminal is read again
constexpr plat::VTime kReopenAfter = plat::ms(1000);
constexpr plat::VTime kStep = plat::ms(5);

void on_signal(int) { PtyBridge::signalled = true; }

// Held by the bridge serving a directory; left in place (unlinking it would let two
// bridges lock two files of one name).
constexpr const char* kLockFile = ".vornet-com-pty.lock";

// A link to a pseudo-terminal: one a bridge made.
bool pty_link(const std::filesystem::path& link)
{
    std::error_code ec;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(link, ec))) return false;
    const std::string target = std::filesystem::read_symlink(link, ec).string();
    return !ec && target.rfind("/dev/pts/", 0) == 0;
}

// The terminal side was opened and is closed again: the master reports a hang-up.
bool terminal_gone(int master)
{
    pollfd f{master, POLLIN, 0};
    return ::poll(&f, 1, 0) > 0 && (f.revents & POLLHUP) != 0;
}

}  // namespace

std::atomic<bool> PtyBridge::signalled{false};

void PtyBridge::stop_on_signals()
{
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
}

PtyBridge::PtyBridge(plat::Host& host, std::string dir) : host_(host), dir_(std::move(dir)) {}

PtyBridge::~PtyBridge() { stop(); }

bool PtyBridge::start(std::string* error)
{
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (ec) {
        if (error) *error = "cannot create " + dir_ + ": " + ec.message();
        return false;
    }
    const std::string lock = (std::filesystem::path(dir_) / kLockFile).string();
    lock_fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0 || ::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        if (error)
            *error = lock_fd_ >= 0 && errno == EWOULDBLOCK ? dir_ + " is in use by another vornet-sim's --com-pty"
                                                           : "cannot lock " + lock + ": " + std::strerror(errno);
        stop();
        return false;
    }
    for (const auto& name : host_.registry.value_names(kSerialComm)) {
        auto value = host_.registry.get_value(kSerialComm, name);
        if (!value.has_value() || value->sz.empty()) continue;
        auto p = std::make_unique<Port>();
        p->com = value->sz;
        p->master = posix_openpt(O_RDWR | O_NOCTTY);
        const char* terminal = p->master >= 0 && grantpt(p->master) == 0 && unlockpt(p->master) == 0
                                   ? ptsname(p->master)
                                   : nullptr;
        if (terminal == nullptr) {
            if (p->master >= 0) close(p->master);
            if (error) *error = "cannot open a pseudo-terminal for " + p->com + ": " + std::strerror(errno);
            stop();
            return false;
        }
        p->terminal = terminal;
        fcntl(p->master, F_SETFL, fcntl(p->master, F_GETFL) | O_NONBLOCK);
        // Raw bytes both ways until a terminal program sets its own modes (the master
        // sets the terminal side's modes).
        termios t{};
        if (tcgetattr(p->master, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(p->master, TCSANOW, &t);
        }
        const std::string link = (std::filesystem::path(dir_) / p->com).string();
        if (pty_link(link)) {
            std::filesystem::remove(link, ec);
        } else if (std::filesystem::exists(std::filesystem::symlink_status(link, ec))) {
            if (error) *error = link + " exists and is not a link to a pseudo-terminal: not replaced";
            close(p->master);
            stop();
            return false;
        }
        std::filesystem::create_symlink(p->terminal, link, ec);
        if (!ec) p->link = link;
        ports_.push_back(std::move(p));
    }
    if (ports_.empty()) {
        if (error) *error = "no COM port in the device map (AsyncPorts_n in the configuration)";
        return false;
    }
    return true;
}

void PtyBridge::open_port(Port& p)
{
    p.handle = client_.CreateFile("\\\\.\\" + p.com);
    if (p.handle == plat::nt::INVALID_HANDLE_VALUE) {
        p.next_open = host_.now() + kReopenAfter;
        return;
    }
    // A read returns what arrived within 20 ms, or nothing.
    SERIAL_TIMEOUTS t = {0xFFFFFFFF, 0xFFFFFFFF, 20, 0, 0};
    uint32_t n = 0;
    client_.DeviceIoControl(p.handle, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0, &n);
    p.dtr = !terminal_gone(p.master);
    if (p.dtr) client_.DeviceIoControl(p.handle, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, &n);
    client_.DeviceIoControl(p.handle, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0, &n);
    if (!p.told_ready) {
        p.told_ready = true;
        if (on_ready) on_ready(p);
    }
}

// The program closed its terminal: as a Win32 program closing its port, what it typed
// and the port still holds is cancelled and the port closed (its call ends); the port
// is opened again at once, DTR down until a program opens the terminal.
void PtyBridge::close_for_gone_terminal(Port& p)
{
    uint8_t buf[256];
    while (::read(p.master, buf, sizeof buf) > 0) {
    }
    client_.CancelIo(p.handle);
    client_.CloseHandle(p.handle);
    p.read.reset();
    p.writes.clear();
    p.to_terminal.clear();
    p.handle = plat::nt::INVALID_HANDLE_VALUE;
    p.next_open = host_.now();
}

// DTR follows the terminal: down while no program has it open, or its output speed is
// 0 (a hang-up, as on a serial line).
void PtyBridge::follow_dtr(Port& p)
{
    termios t{};
    if (tcgetattr(p.master, &t) != 0) return;
    bool dtr = cfgetospeed(&t) != B0 && !terminal_gone(p.master);
    if (dtr == p.dtr) return;
    uint32_t n = 0;
    if (client_.DeviceIoControl(p.handle, dtr ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0, &n))
        p.dtr = dtr;
}

void PtyBridge::serve(Port& p)
{
    if (p.handle == plat::nt::INVALID_HANDLE_VALUE) {
        if (host_.now() < p.next_open) return;
        open_port(p);
        if (p.handle == plat::nt::INVALID_HANDLE_VALUE) return;
    }
    p.writes.erase(std::remove_if(p.writes.begin(), p.writes.end(), [](const auto& w) { return w->done(); }),
                   p.writes.end());
    bool program = !terminal_gone(p.master);
    if (p.program && !program) {
        p.program = false;
        close_for_gone_terminal(p);
        return;
    }
    p.program = program;
    follow_dtr(p);
    // Typed bytes to the port.
    while (p.writes.size() < kMaxWrites) {
        uint8_t buf[256];
        ssize_t n = ::read(p.master, buf, sizeof buf);
        if (n <= 0) break;
        auto w = client_.start_write(p.handle, std::vector<uint8_t>(buf, buf + n));
        if (w && !w->done()) p.writes.push_back(std::move(w));
    }
    // What the port read to the terminal.
    if (p.read && p.read->done()) {
        NTSTATUS status = p.read->status();
        auto out = p.read->output();
        p.to_terminal.append(out.begin(), out.end());
        p.read.reset();
        if (!NT_SUCCESS(status) && status != STATUS_CANCELLED) {  // the port went away: open it again later
            client_.CancelIo(p.handle);
            client_.CloseHandle(p.handle);
            p.writes.clear();
            p.handle = plat::nt::INVALID_HANDLE_VALUE;
            p.next_open = host_.now() + kReopenAfter;
            return;
        }
    }
    if (!p.read) p.read = client_.start_read(p.handle, kReadLength);
    if (terminal_gone(p.master)) p.to_terminal.clear();  // nobody listens on the line
    while (!p.to_terminal.empty()) {
        ssize_t n = ::write(p.master, p.to_terminal.data(), p.to_terminal.size());
        if (n <= 0) break;
        p.to_terminal.erase(0, static_cast<size_t>(n));
    }
}

void PtyBridge::poll()
{
    for (auto& p : ports_) serve(*p);
}

void PtyBridge::run_paced(plat::VTime duration, const std::function<bool()>& stop)
{
    using clock = std::chrono::steady_clock;
    auto wall0 = clock::now();
    plat::VTime v0 = host_.now();
    std::vector<pollfd> fds;
    while (host_.now() - v0 < duration && !signalled && !(stop && stop())) {
        poll();
        plat::VTime left = duration - (host_.now() - v0);
        host_.run_for(std::min(kStep, left));
        poll();
        // Keep the virtual clock no faster than the wall clock; wake early for typing.
        auto wall = std::chrono::duration_cast<std::chrono::microseconds>(clock::now() - wall0).count();
        plat::VTime ahead = host_.now() - v0;
        if (ahead > static_cast<plat::VTime>(wall)) {
            int wait_ms = static_cast<int>((ahead - static_cast<plat::VTime>(wall)) / 1000);
            // Only terminals whose bytes can go now: a port not open leaves them waiting;
            // a closed terminal (its hang-up would end every wait at once) is left out.
            fds.clear();
            for (auto& p : ports_)
                if (p->handle != plat::nt::INVALID_HANDLE_VALUE && p->writes.size() < kMaxWrites &&
                    !terminal_gone(p->master))
                    fds.push_back({p->master, POLLIN, 0});
            if (wait_ms > 0) ::poll(fds.data(), fds.size(), wait_ms);
        }
    }
}

void PtyBridge::stop()
{
    for (auto& p : ports_) {
        if (p->handle != plat::nt::INVALID_HANDLE_VALUE) {
            client_.CancelIo(p->handle);
            client_.CloseHandle(p->handle);
            p->handle = plat::nt::INVALID_HANDLE_VALUE;
        }
        p->read.reset();
        p->writes.clear();
        if (p->master >= 0) close(p->master);
        p->master = -1;
        std::error_code ec;
        if (!p->link.empty() && std::filesystem::read_symlink(p->link, ec).string() == p->terminal)
            std::filesystem::remove(p->link, ec);
    }
    ports_.clear();
    if (lock_fd_ >= 0) ::close(lock_fd_);
    lock_fd_ = -1;
}

bool run_with_com_ptys(plat::Host& host, const std::string& dir, plat::VTime duration, std::FILE* out,
                       std::string* error)
{
    PtyBridge bridge(host, dir);
    if (!bridge.start(error)) return false;
    for (const auto& p : bridge.ports()) std::fprintf(out, "%s -> %s\n", p->com.c_str(), p->terminal.c_str());
    std::fflush(out);
    PtyBridge::stop_on_signals();
    bridge.run_paced(duration);
    bridge.stop();
    return true;
}

}  // namespace rig

#include "sim/far/socket_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

// Whether a listening Unix socket is bound at path, as /proc/net/unix lists them.
bool listened_on(const std::string& path)
{
    constexpr unsigned long kAcceptCon = 0x10000;  // the flag of a listening socket
    std::string absolute = path;
    if (!path.empty() && path[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) != nullptr) absolute = std::string(cwd) + "/" + path;
    }
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string num, refs, protocol, flags, type, state, inode, bound;
        if (!(fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> bound)) continue;
        if ((bound == path || bound == absolute) && (std::strtoul(flags.c_str(), nullptr, 16) & kAcceptCon) != 0) return true;
    }
    return false;
}

// The other end of a connection closed or shut down its sending.
bool hung_up(int fd)
{
    pollfd f{fd, POLLIN | POLLRDHUP, 0};
    return ::poll(&f, 1, 0) > 0 && (f.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

}  // namespace

SocketPeer::SocketPeer(plat::Scheduler& sched, Line& line, uint32_t d_channel_mask)
    : sched_(sched), line_(line), mask_(d_channel_mask)
{
    std::weak_ptr<bool> alive = alive_;
    line_.on_frame_from_adapter([this, alive](uint32_t channels, const std::vector<uint8_t>& f) {
        if (!alive.expired()) from_line(channels, f);
    });
}

SocketPeer::~SocketPeer()
{
    *alive_ = false;
    drop_client();
    if (listener_ >= 0) {
        ::close(listener_);
        // Only our own socket file: another run may have bound the path since.
        struct stat st{};
        if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && uint64_t(st.st_dev) == dev_ &&
            uint64_t(st.st_ino) == ino_)
            ::unlink(path_.c_str());
    }
}

bool SocketPeer::listen(const std::string& path, std::string* error)
{
    auto fail = [&](const std::string& what) {
        if (error != nullptr) *error = what + ": " + std::strerror(errno);
        if (listener_ >= 0) ::close(listener_);
        listener_ = -1;
        return false;
    };
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        if (error != nullptr) *error = "socket path empty or too long: " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            if (error != nullptr) *error = path + " exists and is not a socket: not replaced";
            return false;
        }
        // A socket someone still listens on is another run's; one nobody answers is stale.
        // The kernel's table says so without a connection the other run would see; a path
        // it lists otherwise (bound as a relative path) is tried.
        bool live = listened_on(path), stale = false;
        if (!live) {
            int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (probe < 0) return fail("socket");
            live = ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EAGAIN;
            stale = !live && errno == ECONNREFUSED;
            ::close(probe);
        }
        if (!stale) {
            if (error != nullptr) *error = path + (live ? " is in use by another program" : " cannot be checked") + ": not replaced";
            return false;
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail("remove the old socket " + path);
    }
    listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return fail("socket");
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("bind " + path);
    if (::listen(listener_, 4) != 0) return fail("listen " + path);
    if (::lstat(path.c_str(), &st) == 0) {
        dev_ = uint64_t(st.st_dev);
        ino_ = uint64_t(st.st_ino);
    }
    path_ = path;
    return true;
}

void SocketPeer::drop_client()
{
    if (client_ >= 0) ::close(client_);
    client_ = -1;
}

void SocketPeer::poll()
{
    // A program waits in the listener's queue until the D channel can carry its frames;
    // one coming while another is connected is refused.
    while (listener_ >= 0 && (client_ >= 0 || !ready_ || ready_())) {
        int c = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0) break;
        if (client_ >= 0) {
            ::close(c);
            counters_.programs_refused++;
            notice("a second program on " + path_ + " refused: one at a time");
            continue;
        }
        client_ = c;
        counters_.connections++;
        notice("a program connected on " + path_);
    }
    std::vector<uint8_t> buf(kMaxFrame + 1);
    while (client_ >= 0) {
        ssize_t n = ::recv(client_, buf.data(), buf.size(), MSG_TRUNC);
        // 0: an empty datagram, or the program went away (its end hung up as well).
        if (n == 0 && !hung_up(client_)) {
            counters_.refused++;
            continue;
        }
        if (n == 0) {  // the program went away; wait for the next one
            drop_client();
            notice("the program on " + path_ + " went away");
            return;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                drop_client();
                notice("the program on " + path_ + " went away");
            }
            return;
        }
        if (size_t(n) > kMaxFrame || n < 2) {
            counters_.refused++;
            continue;
        }
        std::vector<uint8_t> frame(buf.begin(), buf.begin() + n);
        counters_.from_peer++;
        if (pcap_ != nullptr) pcap_->write(sched_.now(), true, frame, pcap_interface_);
        line_.frame_to_adapter(mask_, frame);
    }
}

void SocketPeer::from_line(uint32_t channels, const std::vector<uint8_t>& frame)
{
    if (channels != mask_) {
        // The B channels' far end sends back what it hears, a moment later.
        counters_.echoed++;
        std::weak_ptr<bool> alive = alive_;
        sched_.after(plat::ms(2), [this, alive, channels, frame] {
            if (!alive.expired() && *alive.lock()) line_.frame_to_adapter(channels, frame);
        });
        return;
    }
    if (pcap_ != nullptr) pcap_->write(sched_.now(), false, frame, pcap_interface_);
    if (client_ < 0) {
        counters_.dropped++;
        return;
    }
    if (::send(client_, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            counters_.dropped++;
        } else {
            drop_client();
            counters_.dropped++;
        }
        return;
    }
    counters_.to_peer++;
}

}  // namespace sim

#include "sim/far/socket_peer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

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
    listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return fail("socket");
    ::unlink(path.c_str());
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("bind " + path);
    if (::listen(listener_, 1) != 0) return fail("listen " + path);
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
    if (client_ < 0 && listener_ >= 0) {
        int c = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0) return;
        client_ = c;
        counters_.connections++;
    }
    std::vector<uint8_t> buf(kMaxFrame + 1);
    while (client_ >= 0) {
        ssize_t n = ::recv(client_, buf.data(), buf.size(), MSG_TRUNC);
        if (n == 0) {  // the program went away; wait for the next one
            drop_client();
            return;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) drop_client();
            return;
        }
        if (size_t(n) > kMaxFrame || n < 2) {
            counters_.refused++;
            continue;
        }
        std::vector<uint8_t> frame(buf.begin(), buf.begin() + n);
        counters_.from_peer++;
        if (pcap_ != nullptr) pcap_->write(sched_.now(), true, frame);
        line_.frame_to_adapter(mask_, frame);
    }
}

void SocketPeer::from_line(uint32_t channels, const std::vector<uint8_t>& frame)
{
    if (channels != mask_) return;
    if (pcap_ != nullptr) pcap_->write(sched_.now(), false, frame);
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

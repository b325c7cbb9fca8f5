// A line's D channel carried to an outside program, which then plays the far end (for
// example an independent ISDN stack as the network side). SocketPeer listens on a Unix
// socket of type SOCK_SEQPACKET and serves one program at a time: every D-channel frame
// the adapter sends is one datagram to it, and every datagram it sends is one frame to
// the adapter. A datagram holds the frame's address, control and information octets:
// no flags and no checksum. Datagrams larger than kMaxFrame or shorter than 2 octets (an
// empty one too: the connection stays) are refused (dropped and counted); frames sent
// while no program is connected are dropped and counted. A
// program may connect at any time: it is taken on once the line's D channel can carry
// its frames (set_ready), and what it sent before waits in its socket until then. A
// second program while one is connected is refused (its connection closed) and counted.
// The far end of the line's B channels echoes every frame the adapter sends on them.
//
// The socket is never read on its own thread: poll() moves what is waiting, and is run
// by the main job between two events of the virtual clock (fd() says when to wake).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/scheduler.h"
#include "sim/far/isdn_network.h"
#include "sim/far/line.h"

namespace sim {

class SocketPeer {
public:
    static constexpr size_t kMaxFrame = 4096;

    struct Counters {
        uint64_t to_peer = 0, from_peer = 0;
        uint64_t dropped = 0;    // no program connected, or its socket full
        uint64_t refused = 0;    // datagrams too long or too short
        uint64_t connections = 0;
        uint64_t programs_refused = 0;  // connected while another program was
        uint64_t echoed = 0;            // B-channel frames sent back to the adapter
    };

    // d_channel_mask: the line's D-channel time slot (bit n = time slot n).
    SocketPeer(plat::Scheduler& sched, Line& line, uint32_t d_channel_mask);
    ~SocketPeer();
    SocketPeer(const SocketPeer&) = delete;
    SocketPeer& operator=(const SocketPeer&) = delete;

    // Listens at path; false with the reason. A socket file nobody listens on is replaced;
    // anything else there (another run's socket, a file) is left alone and refused.
    bool listen(const std::string& path, std::string* error);
    // Programs are taken on only while ready() holds (none given: at once).
    void set_ready(std::function<bool()> ready) { ready_ = std::move(ready); }
    // Told when a program is taken on, goes, or is refused.
    void on_notice(std::function<void(const std::string&)> notice) { notice_ = std::move(notice); }
    // Accepts a waiting program, moves its datagrams to the line; never blocks.
    void poll();
    // The descriptor to wait on: the connection when there is one, else the listener.
    int fd() const { return client_ >= 0 ? client_ : listener_; }
    bool connected() const { return client_ >= 0; }
    // The line's B channels (time slots): every one but the D channel's (T1: 1-23).
    bool is_bearer_channel(unsigned channel) const
    {
        return channel >= 1 && channel < 32 && (mask_ & (1u << channel)) == 0 && (mask_ != (1u << 24) || channel < 24);
    }
    const Counters& counters() const { return counters_; }
    const std::string& path() const { return path_; }
    uint32_t d_channel_mask() const { return mask_; }
    void set_pcap(LapdPcapWriter* writer, uint32_t interface = 0)
    {
        pcap_ = writer;
        pcap_interface_ = interface;
    }

private:
    void from_line(uint32_t channels, const std::vector<uint8_t>& frame);
    void drop_client();
    void notice(const std::string& text)
    {
        if (notice_) notice_(text);
    }

    plat::Scheduler& sched_;
    Line& line_;
    uint32_t mask_;
    std::string path_;
    int listener_ = -1;
    int client_ = -1;
    Counters counters_;
    LapdPcapWriter* pcap_ = nullptr;
    uint32_t pcap_interface_ = 0;
    std::function<bool()> ready_;
    std::function<void(const std::string&)> notice_;
    uint64_t dev_ = 0, ino_ = 0;  // the socket file bound, removed at the end only if still it
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sim

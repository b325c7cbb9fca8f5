// A line's D channel carried to an outside program, which then plays the far end (for
// example an independent ISDN stack as the network side). SocketPeer listens on a Unix
// socket of type SOCK_SEQPACKET and serves one program at a time: every D-channel frame
// the adapter sends is one datagram to it, and every datagram it sends is one frame to
// the adapter. A datagram holds the frame's address, control and information octets:
// no flags and no checksum. Datagrams larger than kMaxFrame are refused (dropped and
// counted); frames sent while no program is connected are dropped and counted.
//
// The socket is never read on its own thread: poll() moves what is waiting, and is run
// by the main job between two events of the virtual clock (fd() says when to wake).
#pragma once

#include <cstdint>
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
        uint64_t dropped = 0;    // no program connected
        uint64_t refused = 0;    // datagrams too long or empty
        uint64_t connections = 0;
    };

    // d_channel_mask: the line's D-channel time slot (bit n = time slot n).
    SocketPeer(plat::Scheduler& sched, Line& line, uint32_t d_channel_mask);
    ~SocketPeer();
    SocketPeer(const SocketPeer&) = delete;
    SocketPeer& operator=(const SocketPeer&) = delete;

    // Listens at path (an old socket file there is replaced); false with the reason.
    bool listen(const std::string& path, std::string* error);
    // Accepts a waiting program, moves its datagrams to the line; never blocks.
    void poll();
    // The descriptor to wait on: the connection when there is one, else the listener.
    int fd() const { return client_ >= 0 ? client_ : listener_; }
    bool connected() const { return client_ >= 0; }
    const Counters& counters() const { return counters_; }
    void set_pcap(LapdPcapWriter* writer) { pcap_ = writer; }

private:
    void from_line(uint32_t channels, const std::vector<uint8_t>& frame);
    void drop_client();

    plat::Scheduler& sched_;
    Line& line_;
    uint32_t mask_;
    std::string path_;
    int listener_ = -1;
    int client_ = -1;
    Counters counters_;
    LapdPcapWriter* pcap_ = nullptr;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sim

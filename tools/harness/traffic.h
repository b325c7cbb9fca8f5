// The calls and data the main job puts on a board's lines, playing both ends: the far
// end of each line (through its ISDN network side or robbed-bit far end, and the line's
// B channels) and the adapter's owner (Links the driver owns, NDIS sends and receives).
//
// Each call is one of a few kinds; a kind says who offers the call, who answers and how
// it is cleared. Once a call is connected both ends send frames carrying a pattern of
// (call, direction, sequence) that the other end checks: a frame counts as verified when
// it arrives whole, in order and unchanged; a frame that never arrives counts as lost,
// once a later frame of its call arrives in its place or, at the latest, when its call ends.
// Sending stops a drain time before the call is cleared, so what is in flight lands.
//
// Everything runs on the host's clock from one periodic tick; nothing is kept per frame
// once it is checked, so memory stays flat however long the run.
#pragma once

#include <array>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/ndis/ndis_host.h"
#include "sim/board/card.h"
#include "sim/far/isdn_network.h"
#include "sim/far/modem_peer.h"
#include "sim/far/robbed_bit.h"
#include "sim/far/socket_peer.h"

typedef struct _Adapter Adapter;
typedef struct _Link Link;
typedef struct _Pump Pump;

namespace rig {

enum class CallKind {
    IsdnIncoming,       // the network offers a data call to a Link the driver owns, which answers
    IsdnOutgoing,       // the driver places a data call; the network answers; the driver clears
    RobbedBitIncoming,  // the far end seizes a channel; the driver answers; the far end clears
    ModemIncoming,      // the network offers a speech call from a modem; a pump answers; the network clears
    PeerIncoming,       // an outside program offers a data call; the driver answers; either end clears
    PeerOutgoing,       // the driver places a data call to an outside program; either end clears
};
const char* call_kind_name(CallKind kind);

// What is at the far end of each line.
struct FarEnds {
    std::array<sim::IsdnNetworkSide*, sim::kMaxLines> isdn{};
    std::array<sim::RobbedBitFarEnd*, sim::kMaxLines> robbed_bit{};
    // An outside program on the D channel; the B channels' far end echoes what it hears.
    std::array<sim::SocketPeer*, sim::kMaxLines> peer{};
};

struct TrafficPlan {
    unsigned calls_per_line = 4;  // a call a fault ended is made again in its place
    bool full_load = false;             // a call on every B channel of every line for the whole run
    bool repeat = false;  // calls_per_line calls at a time for the whole run, each made again once ended
    plat::VTime hold = plat::ms(6000);  // from connection to the start of clearing
    plat::VTime spacing = plat::ms(1500);  // between the starts of a line's calls
    plat::VTime drain = plat::ms(300);     // no sending before clearing
    plat::VTime answer_limit = plat::ms(8000);  // a call not connected by then has failed
    // A call a fault ended that neither end has cleared by then is half-open. The network
    // notices a silent adapter only by its own polls (T203, then N200 x T200).
    plat::VTime fault_clear_limit = plat::ms(30000);
    size_t frame_bytes = 160;
    plat::VTime frame_interval = plat::ms(100);  // per call and direction; full load: line rate
    bool leave_port_links = false;  // Links that have a COM port stay free for the port
    bool modem_calls = true;  // modem calls on the ISDN lines that have pumps
    // The first call's id. The numbers the driver dials carry it, and a call it places is
    // known at the network by that number: a traffic that follows another (after a halt)
    // numbers on, so none of its calls shares a number with a call the network still holds.
    uint32_t first_call_id = 1;
};

struct CallCounters {
    uint64_t offered = 0, answered = 0, connected = 0, cleared = 0, failed = 0;
    uint64_t dropped = 0;  // connected, then ended by neither end's plan (a fault)
    uint64_t stuck = 0;    // would not clear: one end still held it at the limit (half-open)
    uint64_t untold = 0;   // TAPI's call connected and ended without the driver telling TAPI
    void add(const CallCounters& o);
};

struct DataCounters {
    uint64_t frames_sent = 0, frames_received = 0, frames_verified = 0;
    uint64_t bytes_sent = 0, bytes_received = 0, bytes_verified = 0;
    uint64_t bytes_lost = 0;       // sent and never received (see above for when it is counted)
    uint64_t frames_corrupt = 0;   // arrived changed, out of order or for no call
    uint64_t sends_refused = 0;    // the driver refused an NDIS send
    void add(const DataCounters& o);
};

// NDIS packets handed to the driver and what became of them.
struct PacketCounters {
    uint64_t handed = 0;           // sends the driver took (pending or done at once)
    uint64_t completed = 0;        // completed once, as they must be
    uint64_t completed_twice = 0;  // completed again after their completion
    uint64_t unknown = 0;          // completions of packets never handed over
    void add(const PacketCounters& o);
};

struct LineTraffic {
    CallCounters calls;
    DataCounters data;
    std::map<CallKind, CallCounters> by_kind;
    bool carries_calls = false;  // the line has a far end that calls
    unsigned pumps = 0;          // the line's modem pumps (modem calls go to them)
    uint64_t statistics_read = 0;  // modem calls whose statistics the driver read at hang-up
    unsigned calls_planned = 0;    // the plan's calls for the line (0: full load or none)
    unsigned calls_started = 0;    // those started (the run's end may come first)
};

class Traffic {
public:
    Traffic(plat::Host& host, plat::ndis::Adapter* na, Adapter* adapter, sim::Card& card, const FarEnds& far,
            const TrafficPlan& plan);
    ~Traffic();
    Traffic(const Traffic&) = delete;
    Traffic& operator=(const Traffic&) = delete;

    // Stops starting calls and sending, lets what is in flight land, clears every call
    // and waits for the clearing (at most `limit` of virtual time), running `between`
    // after each tick (what must go on meanwhile: an outside program's socket).
    void finish(plat::VTime limit = plat::ms(10000), const std::function<void()>& between = {});
    bool finished() const { return active_calls() == 0 && stopping_; }

    const std::vector<LineTraffic>& lines() const { return lines_; }
    CallCounters total_calls() const;
    uint64_t total_statistics_read() const;
    DataCounters total_data() const;
    const PacketCounters& packets() const { return packet_counts_; }
    size_t packets_outstanding() const { return packets_outstanding_; }
    // A window of packets: those handed to the driver from its opening until it is closed
    // (or another opened), counted with what became of them whenever that happens, so a
    // window's completed packets are always of its own handed ones. Answers its number.
    uint32_t open_packet_window();
    void close_packet_window() { window_ = 0; }
    PacketCounters packet_window(uint32_t window) const;
    // Calls a fault ended that are still clearing (their loss is counted once they end).
    size_t dropped_calls_clearing() const;
    size_t active_calls() const;
    size_t connected_calls() const;
    // The far modem of a line whose modem calls this traffic makes (nullptr: none).
    sim::ModemPeer* far_modem(unsigned line) { return line < modems_.size() ? modems_[line].get() : nullptr; }
    // Channels of the lines that carry calls with no call on them.
    size_t idle_channels() const;
    // Calls connected now, by call id.
    std::vector<uint32_t> connected_ids() const;
    // Whether the call of that id ended cleared by its own plan, not by a fault (of the
    // last calls ended).
    bool cleared_by_plan(uint32_t id) const;
    // Whether the call of that id was connected and then ended by a fault (of the last
    // calls so ended).
    bool dropped_by_fault(uint32_t id) const;
    // The id the next call gets: where a traffic following this one starts.
    uint32_t next_call_id() const { return next_id_; }
    // Takes in what the driver indicated since the last look (its line-downs).
    void take_indications();
    // Stops sending and starting calls, and forgets the calls without clearing them: the
    // adapter is going (its halt clears what it holds). The far end's callers still waiting
    // for an answer hang up. Counts what was sent and never received as lost.
    void abandon();
    // Problems seen with the calls the driver holds: a Link bound to a call that no call
    // of this traffic is on, a call whose Link lost its record. Empty when sound.
    std::vector<std::string> check_links();

private:
    struct Call;
    struct LineState;
    void tick();
    void free_port_links();
    void start_calls(unsigned line, LineState& ls);
    bool start_call(unsigned line, LineState& ls, CallKind kind);
    void step(Call& c);
    void step_peer(Call& c);
    void take_peer_calls(unsigned line, LineState& ls);
    void connected(Call& c);
    void begin_clearing(Call& c);
    void done(Call& c, bool failed);
    void send_frames(Call& c);
    void send_to_far(Call& c);
    void send_from_ndis(Call& c);
    void far_received(unsigned line, uint32_t channels, const std::vector<uint8_t>& frame);
    void modem_received(unsigned line, unsigned channel, const std::vector<uint8_t>& bytes);
    unsigned free_pumps(unsigned line) const;
    bool pump_done(Call& c);
    sim::ModemSocket& pump_model(const Pump* p) const;
    void ndis_received(const plat::ndis::Receive& r);
    void ndis_send_done(const plat::ndis::SendCompletion& s);
    bool line_ready(unsigned line) const;
    bool still_up(const Call& c) const;
    void locked(const std::function<void()>& fn);
    std::vector<uint8_t> frame(const Call& c, bool to_far, uint32_t seq) const;
    bool check(Call& c, bool to_far, const std::vector<uint8_t>& f);
    void count_lost(Call& c, int dir, uint64_t bytes);
    void count_rest_lost(Call& c);
    void count(Call& c, uint64_t CallCounters::*field);
    std::string directory_number(unsigned line, unsigned index) const;

    plat::Host& host_;
    plat::ndis::Adapter* na_;
    Adapter* a_;
    sim::Card& card_;
    FarEnds far_;
    TrafficPlan plan_;
    std::vector<LineTraffic> lines_;
    std::vector<std::unique_ptr<LineState>> state_;
    std::vector<std::unique_ptr<sim::ModemPeer>> modems_;  // the far modems, by line
    std::map<uint32_t, std::unique_ptr<Call>> calls_;  // by call id
    std::map<NDIS_WAN_LINK_HANDLE, uint32_t> by_context_;
    struct Packet;
    // Every packet made, in the driver or spare; spare ones are reused oldest first once
    // enough have gathered, so a late second completion is still recognised.
    std::map<const void*, std::unique_ptr<Packet>> packets_;
    std::deque<Packet*> spare_;
    PacketCounters packet_counts_;
    size_t packets_outstanding_ = 0;
    uint32_t window_ = 0, last_window_ = 0;  // the window packets are handed in (0: none)
    std::map<uint32_t, PacketCounters> windows_;
    Packet* new_packet();
    void release(Packet* p);
    uint32_t next_id_;
    std::deque<uint32_t> cleared_ids_;  // the last calls cleared by their plan, oldest first
    std::deque<uint32_t> dropped_ids_;  // the last calls a fault ended, oldest first
    void count_dropped(Call& c);
    bool stopping_ = false;
    plat::Scheduler::EventId tick_event_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace rig

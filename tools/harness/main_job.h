// The main job: the driver on the default (or a configured) board with traffic on its
// lines. Set up from options, run for a while in virtual time (or, serving, paced to the
// wall clock until told to stop), then finished: traffic wound down, the adapter observed
// and halted, leaks counted. vornet-sim is a thin front of this; tests drive it directly.
//
// Serving (`root` set): the run's files live in the root directory:
//   registry.reg                          the configuration hive (REGEDIT4), written at start
//   C/                                    the system drive "C:\"
//   C/WINNT/system32/drivers/armcsm       the firmware file, when one is given
// and the driver opens its files from C/WINNT/system32/drivers. restart() halts the
// adapter, reloads both from there and initialises again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/far/isdn_network.h"
#include "sim/far/modem_peer.h"
#include "sim/far/socket_peer.h"
#include "tools/harness/pollers.h"
#include "tools/harness/rig.h"
#include "tools/harness/traffic.h"

namespace rig {

struct LineChoice {
    Rig::FarKind kind = Rig::FarKind::Default;
    std::string peer_path;  // Peer: the socket to listen on
};

struct RunOptions {
    std::string config_text = kDefaultConfig;
    std::optional<std::vector<uint8_t>> firmware;
    uint64_t run_ms = 30000;
    bool trace = false;
    std::map<unsigned, LineChoice> lines;
    TrafficPlan plan;
    bool traffic = true;
    std::string pcap_path;
    std::string root;   // serving: the run's directory
    // Serving: boot from the hive the root holds, read at start under its lock, and leave
    // it as it stands (a value another process wrote since config_text was read is kept).
    bool hive_in_root = false;
    bool paced = false; // run against the wall clock (serving and socket peers)
    bool progress = false;  // a progress line on standard error
    bool notices = false;   // what happens on an outside program's socket, on standard error
};

// The folder of "C:\" inside a run's root, and where the driver's files lie under it.
constexpr const char* kSystemDrive = "C";
constexpr const char* kDriversFolder = "C/WINNT/system32/drivers";

class MainJob {
public:
    MainJob();
    ~MainJob();

    // Loads the configuration, fits the board and its far ends, loads and initialises
    // the driver; false with the reason when something given cannot be used.
    bool start(const RunOptions& options, std::string* error);
    // Runs options.run_ms of virtual time, or less when *stop is set; paced (options.paced,
    // or a stop flag and not `bounded`), until *stop is set or run_ms passed when bounded.
    void run(const std::atomic<bool>* stop = nullptr, bool bounded = false);
    // Runs `ms` more of virtual time in fixed steps, as run() does unpaced (less when *stop is set).
    void run_for(uint64_t ms, const std::atomic<bool>* stop = nullptr);
    // Runs fn with the driver's CPU time measured into the summary, as run() does; the
    // progress line, if any, is ended after it.
    void measured(const std::function<void()>& fn);
    // Halts the adapter, reloads the hive and the firmware file from the root, initialises again.
    bool restart(std::string* error);
    // Called by restart() once the adapter has halted, while its traffic is still there.
    std::function<void()> on_halted;
    // Winds the traffic down, observes, halts, counts leaks. The calls and data counted
    // are the whole run's, across restarts.
    Summary finish();

    // The progress line's text: simulated time since the start, of the run's length and
    // the wall time left at the pace so far, lines up, calls and bytes verified.
    std::string progress_text() const;

    Rig& rig() { return *rig_; }
    Pollers& pollers() { return pollers_; }
    Traffic* traffic() { return traffic_.get(); }
    plat::ndis::Adapter* adapter() { return na_; }
    sim::Card* card() { return card_; }
    const RunOptions& options() const { return opt_; }
    const FarEnds& far_ends() const { return far_; }
    sim::SocketPeer* peer(unsigned line) { return line < peers_.size() ? peers_[line].get() : nullptr; }
    // The far modem of an ISDN line: on each speech or audio call there (a COM port's
    // modem calls), it answers or calls back and echoes what it receives.
    sim::ModemPeer* modem(unsigned line) { return line < modems_.size() ? modems_[line].get() : nullptr; }

private:
    void run_fixed(plat::VTime length, const std::atomic<bool>* stop = nullptr);
    void run_paced(const std::atomic<bool>* stop, bool bounded);
    void progress(bool final);
    void trim();
    bool bring_up(std::string* error);
    void observe(Summary& s);
    bool peer_line_ready(unsigned line) const;
    void watch_peer_lines();

    RunOptions opt_;
    std::unique_ptr<Rig> rig_;
    sim::Card* card_ = nullptr;
    FarEnds far_;
    std::vector<std::unique_ptr<sim::SocketPeer>> peers_;
    std::vector<std::unique_ptr<sim::ModemPeer>> modems_;
    std::unique_ptr<sim::LapdPcapWriter> pcap_;
    plat::ndis::Adapter* na_ = nullptr;
    std::unique_ptr<Traffic> traffic_;
    uint32_t next_call_id_ = 1;  // a restart's traffic numbers its calls on from here
    std::vector<LineTraffic> earlier_;  // the calls and data of the traffic before the restarts, by line
    Pollers pollers_;
    Summary summary_;
    std::vector<std::string> far_names_;
    size_t violations_before_ = 0;
    int64_t wall_start_ns_ = 0;
    int64_t last_progress_ns_ = 0;
    bool progress_shown_ = false;
    plat::VTime progress_v0_ = 0;     // the clock when the run began (start(), then run())
    bool progress_unbounded_ = false;  // run() ends only when stopped
    std::vector<int> peer_layer2_;  // the last layer-2 state told of, per peer line
};

// Parses "N:KIND" of --line (KIND: none, isdn, rbs, leased, peer:PATH); false with the reason.
bool parse_line_choice(const std::string& text, unsigned& line, LineChoice& choice, std::string* error);

}  // namespace rig

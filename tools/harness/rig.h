// A host with boards on its bus and the vornet driver loaded: what the main job and
// the scenario tests drive.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/ndis/ndis_host.h"
#include "sim/board/card.h"
#include "sim/far/isdn_network.h"
#include "sim/far/robbed_bit.h"
#include "tools/harness/traffic.h"

typedef struct _Adapter Adapter;

namespace rig {

// The embedded default configuration (a .reg text).
extern const char* const kDefaultConfig;

class Rig {
public:
    Rig();
    ~Rig();

    plat::Host host;
    std::vector<std::unique_ptr<sim::Card>> boards;
    // What is at the far end of the boards' lines; destroyed before the boards.
    std::vector<std::unique_ptr<sim::IsdnNetworkSide>> isdn_networks;
    std::vector<std::unique_ptr<sim::RobbedBitFarEnd>> robbed_bit_far_ends;

    // Loads a .reg text into the registry; false with the reason.
    bool load_config(const std::string& text, std::string* error);
    // Writes the firmware image file the driver opens.
    void set_firmware(const std::vector<uint8_t>& image);

    sim::Card& add_board(const sim::BoardConfig& config);
    // A board as the configuration of that instance describes it.
    sim::Card& add_board_for(unsigned instance, uint32_t slot);

    // Puts a far end on line n of a board and returns it (owned by the rig).
    sim::IsdnNetworkSide& attach_isdn_network(sim::Card& card, unsigned line, sim::SwitchVariant variant, bool e1);
    sim::IsdnNetworkSide& attach_isdn_network(sim::Card& card, unsigned line, const sim::IsdnNetworkConfig& config);
    sim::RobbedBitFarEnd& attach_robbed_bit(sim::Card& card, unsigned line, sim::RobbedBitFarEnd::Protocol protocol);
    // What is at the far end of a line: as its configuration says (Default), nothing
    // (None: no signal, layer 1 stays down), an ISDN network side, a robbed-bit far end,
    // a leased-line peer (signal only), or an outside program through a socket (Peer).
    enum class FarKind { Default, None, Isdn, RobbedBit, Leased, Peer };
    // A far end on every line of the board: the ISDN network side of the configured
    // switch variant (keeping its link up), or a robbed-bit far end of the configured
    // start protocol; leased lines get none. `kinds` overrides it line by line (lines
    // beyond it keep the default; Peer lines are left for the caller).
    FarEnds attach_far_ends(sim::Card& card, unsigned instance, const std::vector<FarKind>& kinds = {});

    NTSTATUS load_driver();
    plat::ndis::Adapter* initialize(unsigned instance);
    void halt(plat::ndis::Adapter* adapter);
    static Adapter* driver_adapter(plat::ndis::Adapter* adapter);

    size_t leaked_allocations() const { return host.allocations.size(); }
    size_t leaked_mappings() const { return host.io.mapped(); }
    size_t leaked_shared_memory() const { return host.phys.blocks(); }

    std::string parameters_key(unsigned instance) const;

private:
    std::string files_dir_;
};

// The five ISDN switch variants as the scenario tests run them (Euro ISDN on E1).
struct IsdnVariantCase {
    const char* name;
    sim::SwitchVariant variant;
    bool e1;
};
extern const IsdnVariantCase kIsdnVariants[5];

// What the main job reports: a readable table or one JSON object of the same facts.
struct Summary {
    bool initialised = false;
    bool data_interface_up = false;  // as the adapter is now, not whether it ever came up
    bool halted_clean = false;
    double simulated_seconds = 0;
    std::vector<plat::ErrorLogEntry> error_log;
    struct Line {
        unsigned line = 0;
        std::string signalling;
        std::string layer1;  // "up" or "down", as the framer last reported it to the line's stack
        std::string layer2;  // ISDN: "established" or "released", as the line's stack answers
        long calls_connected = -1;  // the driver's count of connections; -1: not observed
        std::string far_end;        // what is at the far end
        bool carries_calls = false;
        CallCounters calls;         // as the main job's ends saw them
        DataCounters data;
        unsigned pumps = 0;               // modem pumps wired to the line
        uint64_t statistics_read = 0;     // modem calls whose statistics were read at hang-up
        unsigned calls_planned = 0, calls_started = 0;  // the plan's calls and those started
        // An outside program on the line's D channel, and what its socket carried.
        struct Peer {
            bool present = false;
            std::string path;
            uint64_t connections = 0, to_peer = 0, from_peer = 0;
            uint64_t dropped = 0;           // frames for it while none was connected (or its socket was full)
            uint64_t refused = 0;           // datagrams shorter than 2 or longer than 4096 octets
            uint64_t programs_refused = 0;  // programs that connected while another one was
            uint64_t echoed = 0;            // B-channel frames the far end sent back
        } peer;
        // Modem calls the COM ports made on the line, as the far modem answering them saw them.
        struct ComPorts {
            bool present = false;
            uint64_t calls = 0, connected = 0;  // calls the far modem was put on; those it connected on
        } com_ports;
    };
    std::vector<Line> lines;
    struct Processor {
        unsigned socket = 0, processor = 0, pumps = 0;
        std::string state;  // the driver's Csm state name, e.g. "CSM_RUNNING"
    };
    std::vector<Processor> processors;
    // The driver's call counters over all groups; -1: not observed.
    long calls_offered = -1, calls_answered = -1, calls_connected = -1;
    // The main job's own count of calls and data, all lines.
    CallCounters calls;
    std::map<CallKind, CallCounters> calls_by_kind;
    uint64_t modem_statistics_read = 0;
    DataCounters data;
    size_t leaked_allocations = 0;
    size_t leaked_mappings = 0;
    std::vector<std::string> packet_faults;  // NDIS packets not completed exactly once
    std::vector<std::string> violations;
    // CPU time in the driver's entry points over the run (not its start or wind-down),
    // and apart from it the time of the register accesses the driver made (window decode
    // and the device models' work behind them).
    struct DriverCpu {
        double simulated_seconds = 0;
        uint64_t driver_ns = 0, register_ns = 0, entries = 0, register_accesses = 0;
        double ms_per_simulated_second() const { return simulated_seconds > 0 ? driver_ns / 1e6 / simulated_seconds : 0; }
        double register_ms_per_simulated_second() const
        {
            return simulated_seconds > 0 ? register_ns / 1e6 / simulated_seconds : 0;
        }
    } driver_cpu;
};

// Runs fn under the adapter's spin lock, as the driver's own contexts run.
void with_adapter_lock(Adapter* adapter, const std::function<void()>& fn);
// Advances the clock in 5 ms steps until done() holds or limit has passed; answers done().
bool run_until(plat::Host& host, const std::function<bool()>& done, plat::VTime limit);

// Reads what the running adapter shows; call before halt.
void observe_adapter(Adapter* adapter, Summary& summary);
// Copies the main job's call and data counters in, line by line.
void observe_traffic(const Traffic& traffic, Summary& summary);
std::string to_json(const Summary& summary);
// A JSON string of s: quoted, with what JSON escapes escaped.
std::string json_string(const std::string& s);
// The summary as a table for a reader: lines, modem processors, calls, data, error log.
std::string to_table(const Summary& summary);
// What an error-log entry means: its code's name and its sub-code's failure.
std::string error_log_meaning(const plat::ErrorLogEntry& entry);
std::string signalling_name(uint32_t protocol);

}  // namespace rig

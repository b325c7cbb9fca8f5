// What the main job reports: the adapter as the driver shows it, the calls and data as
// the main job's ends saw them, as a table for a reader or as one JSON object.
#include <algorithm>
#include <cstdio>
#include <sstream>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_shel.h"
#include "driver/signalling/isdn/IsdnStack.h"
#include "tools/harness/rig.h"

namespace rig {

void observe_adapter(Adapter* a, Summary& s)
{
    if (a == nullptr) return;
    s.data_interface_up = a->DataInterfaceUp != 0 && a->AdapterFailed == 0;
    std::vector<Summary::Line> old = std::move(s.lines);
    s.lines.clear();
    for (ULONG n = 0; n < a->NumberOfLines; n++) {
        std::string layer2;
        ULONG protocol = a->SignallingProtocol[n];
        if (protocol >= 1 && protocol <= 5 && a->SgnlProtocolOps[n].Control != NULL && a->ThisSgnlStack[n] != NULL) {
            // The stack's entries run under the adapter lock.
            NdisAcquireSpinLock(&a->AdapterSpinLock);
            ULONG state = a->SgnlProtocolOps[n].Control(CTL_KIND_GET, CTL_L2_STATE, a->ThisSgnlStack[n], 0);
            NdisReleaseSpinLock(&a->AdapterSpinLock);
            layer2 = state == L2_ESTABLISHED ? "established" : state == L2_RELEASED ? "released" : "";
        }
        Summary::Line line = n < old.size() ? old[n] : Summary::Line{};
        line.line = n;
        line.signalling = signalling_name(protocol);
        line.layer1 = a->Framer[n].bL1Up ? "up" : "down";
        line.layer2 = layer2;
        line.calls_connected = long(a->GroupCallStats[n].ConnectInd);
        s.lines.push_back(line);
    }
    s.calls_offered = s.calls_answered = s.calls_connected = 0;
    for (ULONG g = 0; g < a->NumberOfGroups && g < MAX_GROUPS; g++) {
        s.calls_offered += a->GroupCallStats[g].IncomingInd;
        s.calls_answered += a->GroupCallStats[g].AnswerRequests;
        s.calls_connected += a->GroupCallStats[g].ConnectInd;
    }
    s.processors.clear();
    for (ULONG k = 0; k < a->SocketCount && k < MAX_SOCKETS; k++)
        for (ULONG c = 0; c < a->Socket[k].ProcessorCount; c++)
            s.processors.push_back(
                {k, c, a->Socket[k].Csms[c].PumpCount, CsmStateName(a->Socket[k].Csms[c].State)});
}

void observe_traffic(const Traffic& t, Summary& s)
{
    const auto& lines = t.lines();
    if (s.lines.size() < lines.size()) s.lines.resize(lines.size());
    s.calls = {};
    s.data = {};
    s.calls_by_kind.clear();
    s.modem_statistics_read = t.total_statistics_read();
    for (size_t n = 0; n < lines.size(); n++) {
        s.lines[n].line = unsigned(n);
        s.lines[n].carries_calls = lines[n].carries_calls;
        s.lines[n].calls = lines[n].calls;
        s.lines[n].data = lines[n].data;
        s.lines[n].pumps = lines[n].pumps;
        s.lines[n].statistics_read = lines[n].statistics_read;
        s.lines[n].calls_planned = lines[n].calls_planned;
        s.lines[n].calls_started = lines[n].calls_started;
        s.calls.add(lines[n].calls);
        s.data.add(lines[n].data);
        for (const auto& [kind, c] : lines[n].by_kind) s.calls_by_kind[kind].add(c);
    }
}

namespace {

struct CodeName {
    uint32_t code;
    const char* name;
};
const CodeName kCodes[] = {
    {0xC0001388, "RESOURCE_CONFLICT"},     {0xC0001389, "OUT_OF_RESOURCES"},
    {0xC000138A, "HARDWARE_FAILURE"},      {0xC000138B, "ADAPTER_NOT_FOUND"},
    {0xC000138C, "INTERRUPT_CONNECT"},     {0xC000138D, "DRIVER_FAILURE"},
    {0xC000138E, "BAD_VERSION"},           {0xC0001391, "UNSUPPORTED_CONFIGURATION"},
    {0xC0001392, "INVALID_VALUE_FROM_ADAPTER"}, {0xC0001393, "MISSING_CONFIGURATION_PARAMETER"},
};

// The failure each sub-code (the entry's last value) names.
const char* const kSubCodes[] = {
    /* 0 */ nullptr,
    /* 1 */ "no WAN medium among the media offered",
    /* 2 */ "the configuration cannot be opened",
    /* 3 */ "the adapter record cannot be allocated",
    /* 4 */ "DeviceName missing or empty",
    /* 5 */ "AddressList missing or empty",
    /* 6 */ "no board for this instance in slots 0 to 31",
    /* 7 */ "function 1's configuration space cannot be read",
    /* 8 */ "the primary interrupt cannot be registered",
    /* 9 */ "the secondary interrupt cannot be registered",
    /* 10 */ "function 0's resources cannot be assigned",
    /* 11 */ "function 0's configuration header cannot be read",
    /* 12 */ "function 0's command register cannot be written",
    /* 13 */ "function 0's header cannot be read again",
    /* 14 */ "function 0 does not enable memory, bus master and SERR",
    /* 15 */ "function 1's resources cannot be assigned",
    /* 16 */ "function 1's configuration header cannot be read",
    /* 17 */ "function 1's header cannot be read again",
    /* 18 */ "function 1's command register cannot be written",
    /* 19 */ "function 1 does not enable memory space",
    /* 20 */ "no primary interrupt among the resources",
    /* 21 */ "no secondary interrupt among the resources",
    /* 22 */ "no register window for function 0",
    /* 23 */ "no register window for function 1",
    /* 24 */ "the map register cannot be allocated",
    /* 25 */ "register window 0 cannot be mapped",
    /* 26 */ "register window 1 cannot be mapped",
    /* 27 */ "the shared memory cannot be allocated",
    /* 28 */ "both register windows at one address",
    /* 29 */ "the firmware file cannot be opened (modem processors will not boot)",
    /* 30 */ "the firmware file cannot be mapped",
    /* 31 */ "a signalling stack instance cannot be allocated",
    /* 32 */ "the register windows overlap",
    /* 33 */ "another device of the vendor on the bus (skipped)",
    /* 34 */ nullptr,
    /* 35 */ "the text of a key name cannot be allocated",
};

std::string num(uint64_t v) { return std::to_string(v); }

std::string quote(const std::string& s)
{
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        if (uint8_t(c) < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
            continue;
        }
        o += c;
    }
    return o + "\"";
}

std::string hex32(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

std::string calls_json(const CallCounters& c)
{
    return "{\"offered\": " + num(c.offered) + ", \"answered\": " + num(c.answered) + ", \"connected\": " +
           num(c.connected) + ", \"cleared\": " + num(c.cleared) + ", \"failed\": " + num(c.failed) + "}";
}

std::string data_json(const DataCounters& d)
{
    return "{\"frames_sent\": " + num(d.frames_sent) + ", \"frames_received\": " + num(d.frames_received) +
           ", \"frames_verified\": " + num(d.frames_verified) + ", \"bytes_sent\": " + num(d.bytes_sent) +
           ", \"bytes_received\": " + num(d.bytes_received) + ", \"bytes_verified\": " + num(d.bytes_verified) +
           ", \"bytes_lost\": " + num(d.bytes_lost) + ", \"frames_corrupt\": " + num(d.frames_corrupt) +
           ", \"sends_refused\": " + num(d.sends_refused) + "}";
}

std::string count(long v) { return v < 0 ? "null" : std::to_string(v); }

}  // namespace

std::string json_string(const std::string& s) { return quote(s); }

std::string error_log_meaning(const plat::ErrorLogEntry& e)
{
    std::string name = "unknown code";
    for (const auto& c : kCodes)
        if (c.code == e.code) name = c.name;
    if (e.values.empty()) return name;
    uint32_t sub = e.values.back();
    const char* what = sub < std::size(kSubCodes) ? kSubCodes[sub] : nullptr;
    return name + ", sub-code " + std::to_string(sub) + ": " + (what != nullptr ? what : "unknown sub-code");
}

std::string to_json(const Summary& s)
{
    std::ostringstream o;
    o << "{\"adapter\": {\"initialised\": " << (s.initialised ? "true" : "false")
      << ", \"data_interface_up\": " << (s.data_interface_up ? "true" : "false")
      << ", \"halted_clean\": " << (s.halted_clean ? "true" : "false") << ", \"error_log\": [";
    for (size_t i = 0; i < s.error_log.size(); i++) {
        if (i) o << ", ";
        o << "{\"code\": " << quote(hex32(s.error_log[i].code)) << ", \"values\": [";
        for (size_t j = 0; j < s.error_log[i].values.size(); j++) o << (j ? ", " : "") << s.error_log[i].values[j];
        o << "], \"meaning\": " << quote(error_log_meaning(s.error_log[i])) << "}";
    }
    o << "]}, \"simulated_seconds\": " << s.simulated_seconds << ", \"lines\": [";
    for (size_t i = 0; i < s.lines.size(); i++) {
        const auto& l = s.lines[i];
        const bool l2_na = l.signalling == "leased line" || l.signalling == "robbed-bit";
        o << (i ? ", " : "") << "{\"line\": " << l.line << ", \"signalling\": " << quote(l.signalling)
          << ", \"layer1\": " << (l.layer1.empty() ? "null" : quote(l.layer1)) << ", \"layer2\": "
          << (l2_na ? "\"n/a\"" : l.layer2.empty() ? "null" : quote(l.layer2))
          << ", \"far_end\": " << quote(l.far_end) << ", \"driver_connections\": " << count(l.calls_connected)
          << ", \"calls\": " << calls_json(l.calls) << ", \"data\": " << data_json(l.data) << ", \"pumps\": " << l.pumps
          << ", \"modem_statistics_read\": " << l.statistics_read;
        if (l.peer.present) {
            const auto& p = l.peer;
            o << ", \"outside_program\": {\"socket\": " << quote(p.path) << ", \"connections\": " << p.connections
              << ", \"frames_to_it\": " << p.to_peer << ", \"frames_from_it\": " << p.from_peer
              << ", \"frames_dropped\": " << p.dropped << ", \"datagrams_refused\": " << p.refused
              << ", \"programs_refused\": " << p.programs_refused << ", \"b_channel_frames_echoed\": " << p.echoed << "}";
        }
        if (l.com_ports.present)
            o << ", \"com_port_calls\": {\"calls\": " << l.com_ports.calls << ", \"connected\": " << l.com_ports.connected
              << "}";
        o << "}";
    }
    o << "], \"modem_processors\": [";
    for (size_t i = 0; i < s.processors.size(); i++) {
        const auto& p = s.processors[i];
        o << (i ? ", " : "") << "{\"socket\": " << p.socket << ", \"processor\": " << p.processor
          << ", \"state\": " << (p.state.empty() ? "null" : quote(p.state)) << ", \"pumps\": " << p.pumps << "}";
    }
    o << "], \"calls\": " << calls_json(s.calls) << ", \"calls_by_kind\": {";
    bool first = true;
    for (const auto& [kind, c] : s.calls_by_kind) {
        o << (first ? "" : ", ") << quote(call_kind_name(kind)) << ": " << calls_json(c);
        first = false;
    }
    auto modem = s.calls_by_kind.find(CallKind::ModemIncoming);
    o << "}, \"modem_calls\": " << calls_json(modem != s.calls_by_kind.end() ? modem->second : CallCounters{})
      << ", \"modem_statistics_read\": " << s.modem_statistics_read << ", \"driver_calls\": {\"offered\": " << count(s.calls_offered) << ", \"answered\": " << count(s.calls_answered)
      << ", \"connected\": " << count(s.calls_connected) << "}"
      << ", \"data\": " << data_json(s.data) << ", \"leaks\": {\"allocations\": " << s.leaked_allocations
      << ", \"mappings\": " << s.leaked_mappings << "}, \"driver_cpu\": {\"simulated_seconds\": "
      << s.driver_cpu.simulated_seconds << ", \"ms_per_simulated_second\": " << s.driver_cpu.ms_per_simulated_second()
      << ", \"entries\": " << s.driver_cpu.entries << ", \"register_ms_per_simulated_second\": "
      << s.driver_cpu.register_ms_per_simulated_second() << ", \"register_accesses\": " << s.driver_cpu.register_accesses
      << "}, \"platform_misuse\": [";
    for (size_t i = 0; i < s.violations.size(); i++) o << (i ? ", " : "") << quote(s.violations[i]);
    o << "]}";
    return o.str();
}

std::string to_table(const Summary& s)
{
    std::ostringstream o;
    char b[512];
    std::snprintf(b, sizeof b, "adapter: %s, data interface %s, halt %s; %.1f simulated seconds\n\n",
                  s.initialised ? "initialised" : "FAILED", s.data_interface_up ? "up" : "down",
                  s.halted_clean ? "clean" : "NOT clean", s.simulated_seconds);
    o << b;
    std::snprintf(b, sizeof b, "%-4s %-11s %-24s %-5s %-11s %7s %6s %6s %6s %6s %12s %12s %8s\n", "line", "signalling",
                  "far end", "L1", "L2", "offered", "answ", "conn", "clear", "failed", "bytes sent", "verified", "lost");
    o << b;
    for (const auto& l : s.lines) {
        const bool l2_na = l.signalling == "leased line" || l.signalling == "robbed-bit";
        const std::string l2 = l2_na ? "n/a" : l.layer2.empty() ? "-" : l.layer2;
        if (l.carries_calls) {
            std::snprintf(b, sizeof b, "%-4u %-11s %-24s %-5s %-11s %7llu %6llu %6llu %6llu %6llu %12llu %12llu %8llu\n",
                          l.line, l.signalling.c_str(), l.far_end.c_str(), l.layer1.c_str(), l2.c_str(),
                          (unsigned long long)l.calls.offered, (unsigned long long)l.calls.answered,
                          (unsigned long long)l.calls.connected, (unsigned long long)l.calls.cleared,
                          (unsigned long long)l.calls.failed, (unsigned long long)l.data.bytes_sent,
                          (unsigned long long)l.data.bytes_verified, (unsigned long long)l.data.bytes_lost);
        } else {
            std::snprintf(b, sizeof b, "%-4u %-11s %-24s %-5s %-11s %7s\n", l.line, l.signalling.c_str(),
                          l.far_end.c_str(), l.layer1.c_str(), l2.c_str(), "(no calls)");
        }
        o << b;
    }
    for (const auto& l : s.lines)
        if (l.calls_planned > l.calls_started)
            o << "line " << l.line << ": " << l.calls_started << " of the " << l.calls_planned
              << " calls asked for (--calls) started; the run's length (--run-ms) left no time for more\n";
    for (const auto& l : s.lines) {
        if (!l.peer.present) continue;
        const auto& p = l.peer;
        o << "line " << l.line << ", outside program on " << p.path << ": " << p.connections << " connection(s), "
          << p.programs_refused << " more refused while one was connected; D-channel frames: " << p.to_peer
          << " to it, " << p.from_peer << " from it, " << p.dropped << " dropped (none connected, or its socket full), "
          << p.refused << " datagrams refused (shorter than 2 or longer than 4096 octets); " << p.echoed
          << " B-channel frames echoed back\n";
    }
    for (const auto& l : s.lines)
        if (l.com_ports.present)
            o << "line " << l.line << ", COM ports: " << l.com_ports.calls << " modem call(s) up, "
              << l.com_ports.connected << " of them connected with the far modem"
              << " (not in the table above, which counts the main job's own calls)\n";
    o << "\n";
    if (s.processors.empty()) {
        o << "modem processors: none fitted\n";
    } else {
        o << "socket processor pumps state\n";
        for (const auto& p : s.processors) {
            std::snprintf(b, sizeof b, "%6u %9u %5u %s\n", p.socket, p.processor, p.pumps, p.state.c_str());
            o << b;
        }
    }
    o << "\ncalls by kind                        offered   answ   conn  clear failed\n";
    for (const auto& [kind, c] : s.calls_by_kind) {
        std::snprintf(b, sizeof b, "%-36s %7llu %6llu %6llu %6llu %6llu\n", call_kind_name(kind),
                      (unsigned long long)c.offered, (unsigned long long)c.answered, (unsigned long long)c.connected,
                      (unsigned long long)c.cleared, (unsigned long long)c.failed);
        o << b;
    }
    std::snprintf(b, sizeof b, "%-36s %7llu %6llu %6llu %6llu %6llu\n", "all calls", (unsigned long long)s.calls.offered,
                  (unsigned long long)s.calls.answered, (unsigned long long)s.calls.connected,
                  (unsigned long long)s.calls.cleared, (unsigned long long)s.calls.failed);
    o << b;
    unsigned pumps = 0;
    for (const auto& l : s.lines) pumps += l.pumps;
    auto modem = s.calls_by_kind.find(CallKind::ModemIncoming);
    if (modem != s.calls_by_kind.end()) {
        std::snprintf(b, sizeof b,
                      "modem calls: %llu offered, %llu connected on pumps, %llu cleared, %llu failed;"
                      " statistics read at hang-up of %llu\n",
                      (unsigned long long)modem->second.offered, (unsigned long long)modem->second.connected,
                      (unsigned long long)modem->second.cleared, (unsigned long long)modem->second.failed,
                      (unsigned long long)s.modem_statistics_read);
        o << b;
    } else if (std::any_of(s.lines.begin(), s.lines.end(), [](const Summary::Line& l) { return l.com_ports.present; })) {
        o << "modem calls of the main job's own: none (it leaves the modems to the COM ports: their calls are above)\n";
    } else {
        o << (pumps == 0 ? "modem calls: none (no line with calls has modem pumps)\n" : "modem calls: none\n");
    }
    const auto& d = s.data;
    std::snprintf(b, sizeof b,
                  "\ndata: %llu frames sent, %llu received, %llu verified; %llu bytes sent, %llu verified, %llu lost;"
                  " %llu frames corrupt, %llu sends refused (NDIS sends the driver refused or handed back unsent)\n",
                  (unsigned long long)d.frames_sent, (unsigned long long)d.frames_received,
                  (unsigned long long)d.frames_verified, (unsigned long long)d.bytes_sent,
                  (unsigned long long)d.bytes_verified, (unsigned long long)d.bytes_lost,
                  (unsigned long long)d.frames_corrupt, (unsigned long long)d.sends_refused);
    o << b;
    std::snprintf(b, sizeof b,
                  "driver's counters (calls to the adapter only, since the adapter last started): %s offered, %s answered;"
                  " connections both ways: %s\n",
                  count(s.calls_offered).c_str(), count(s.calls_answered).c_str(), count(s.calls_connected).c_str());
    o << b;
    o << "\nerror log: " << (s.error_log.empty() ? "empty" : "") << "\n";
    for (const auto& e : s.error_log) {
        o << "  " << error_log_meaning(e) << "  (code " << hex32(e.code) << ", values";
        for (auto v : e.values) o << ' ' << v;
        o << ")\n";
    }
    for (const auto& v : s.violations) o << "platform misuse: " << v << "\n";
    for (const auto& p : s.packet_faults) o << "packets: " << p << "\n";
    std::snprintf(b, sizeof b, "leaks: %zu allocations, %zu mappings\n", s.leaked_allocations, s.leaked_mappings);
    o << b;
    const auto& c = s.driver_cpu;
    if (c.simulated_seconds > 0) {
        const double lines = s.lines.empty() ? 1.0 : double(s.lines.size());
        std::snprintf(b, sizeof b,
                      "driver CPU: %.2f ms per simulated second (%.2f per line) in %llu entries; apart from it,"
                      " %llu register accesses (window decode and device models) %.2f ms per simulated second\n",
                      c.ms_per_simulated_second(), c.ms_per_simulated_second() / lines, (unsigned long long)c.entries,
                      (unsigned long long)c.register_accesses, c.register_ms_per_simulated_second());
        o << b;
    }
    return o.str();
}

}  // namespace rig

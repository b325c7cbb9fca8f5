// vornet-sim: the vornet driver on a simulated board, with what is at the far end of
// its lines and calls carrying checked data on them. Loads a configuration, puts the
// board on the bus, loads and initialises the driver, runs in virtual time (or paced to
// the wall clock when serving or talking to an outside peer), winds the calls down,
// halts, and reports.
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "platform/win32/hive.h"
#include "sim/firmware/firmware.h"
#include "sim/serial/serial_modem.h"
#include "tools/harness/device_server.h"
#include "tools/harness/faults.h"
#include "tools/harness/main_job.h"
#include "tools/harness/pty_bridge.h"

namespace {

const char* const kUsage =
    "usage: vornet-sim [options]\n"
    "  --config FILE.reg   adapter configuration (REGEDIT4); default: the embedded one\n"
    "  --firmware FILE     modem-processor firmware image; default: a built one\n"
    "  --run-ms N          virtual milliseconds to run before winding down (default 30000)\n"
    "  --line N:KIND       what is at the far end of line N: none (no signal), isdn, rbs,\n"
    "                      leased, peer:PATH (an outside program on a SOCK_SEQPACKET socket)\n"
    "  --peer N:PATH       the same as --line N:peer:PATH\n"
    "  --pcap FILE         write every D-channel frame as pcap (LINUX_LAPD)\n"
    "  --calls N           calls per line (default 4); 0: none, and the lines' Links stay\n"
    "                      free for TAPI and the serial ports (a peer line's still answer)\n"
    "  --load full         a data call on every B channel of every line, at line rate\n"
    "  --fault NAME        once the calls are up, inject a fault and check the calls, packets\n"
    "                      and recovery after it (repeatable; \"all\": every one in turn);\n"
    "                      prints the fault table; status 1 when one broke an invariant;\n"
    "                      the run lasts --run-ms at least, longer where the faults need it\n"
    "  --soak SEED         for --run-ms, faults drawn at random from SEED, each checked;\n"
    "                      prints the fault table and the driver's memory\n"
    "  --serve             run paced to the wall clock until SIGINT or SIGTERM (needs --root)\n"
    "  --root DIR          the run's directory: registry.reg, C/WINNT/system32/drivers/armcsm,\n"
    "                      one socket per adapter device for the applet, and one per serial\n"
    "                      modem port the hive's zelCOM key lists; a hive or firmware file\n"
    "                      already there is used unless --config or --firmware is given\n"
    "  --com-pty DIR       every COM port on a pseudo-terminal, linked as DIR/COMn (paced)\n"
    "  --trace             print the driver's trace lines\n"
    "  --json              print the summary as one JSON object\n";

// A usage error: the message, then the usage text.
int fail(const std::string& message)
{
    std::fprintf(stderr, "vornet-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// Input that cannot be used (a file, a socket path, a root in use): the message alone.
int refuse(const std::string& message)
{
    std::fprintf(stderr, "vornet-sim: %s\n", message.c_str());
    return 2;
}

// One simulator serves a root: a second on the same root would take over its sockets and
// remove them when it ends. The lock lasts as long as the process.
bool lock_root(const std::string& root, std::string* error)
{
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open the root " + root + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? root + " is served by another vornet-sim already"
                                      : "cannot lock the root " + root + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    return true;  // the descriptor stays open, and with it the lock
}

// obj with more members: "{...}" and ", \"k\": v" give "{..., \"k\": v}".
std::string with_members(const std::string& obj, const std::string& members)
{
    return obj.substr(0, obj.size() - 1) + ", " + members + "}";
}

bool read_file(const std::string& path, std::string& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return !in.bad();
}

bool number(const std::string& v, unsigned long long most, unsigned long long& out)
{
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 12) return false;
    out = std::strtoull(v.c_str(), nullptr, 10);
    return out <= most;
}

// A run's root that already holds a hive or a firmware file (one setup or the applet
// wrote, or an earlier run left) boots with them; what it lacks comes from the options.
bool adopt_root(rig::RunOptions& opt, bool config_given, std::string* error)
{
    namespace fs = std::filesystem;
    const fs::path root(opt.root);
    std::error_code ec;
    if (!config_given && fs::exists(plat::win32::hive_file(root), ec)) {
        plat::reg::Registry hive;
        if (!plat::win32::read_hive(root, hive, error)) return false;
        opt.config_text = hive.save_reg();
        opt.hive_in_root = true;
    }
    if (!opt.firmware) {
        // C:\WINNT\system32\drivers\armcsm, its names matched without regard to case.
        fs::path file = root / rig::kSystemDrive;
        for (const char* part : {"WINNT", "system32", "drivers", "armcsm"}) {
            fs::path found;
            for (fs::directory_iterator it(file, ec), end; !ec && it != end; it.increment(ec))
                if (strcasecmp(it->path().filename().c_str(), part) == 0) found = it->path();
            if (found.empty()) return true;
            file = found;
        }
        std::string image, why;
        if (fs::is_regular_file(file, ec) && read_file(file.string(), image)) {
            opt.firmware = std::vector<uint8_t>(image.begin(), image.end());
            // The root's file may be the applet's to replace: a warning, and the run goes on.
            if (!sim::fw::check_image(*opt.firmware, &why))
                std::fprintf(stderr, "vornet-sim: warning: %s is no modem-processor firmware image (%s): the processors will not run\n",
                             file.c_str(), why.c_str());
        }
    }
    return true;
}

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }

}  // namespace

int main(int argc, char** argv)
{
    rig::RunOptions opt;
    std::string config_path, com_pty_dir;
    bool json = false, serve = false, run_ms_given = false, calls_given = false;
    std::vector<rig::FaultKind> faults;
    std::optional<uint64_t> soak_seed;

    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        std::string v;
        auto value = [&]() {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        unsigned long long n = 0;
        if (a == "--config") {
            if (!value()) return fail("--config needs a file");
            config_path = v;
        } else if (a == "--firmware") {
            if (!value()) return fail("--firmware needs a file");
            std::string image, why;
            std::error_code ec;
            if (!std::filesystem::is_regular_file(v, ec) || !read_file(v, image)) return refuse("cannot read " + v + " as a file");
            opt.firmware = std::vector<uint8_t>(image.begin(), image.end());
            // A file no modem processor would load is refused now, not found out in the run.
            if (!sim::fw::check_image(*opt.firmware, &why)) return refuse(v + " is no modem-processor firmware image: " + why);
        } else if (a == "--run-ms") {
            if (!value() || !number(v, 86'400'000ULL, n)) return fail("--run-ms needs a number of milliseconds up to 86400000");
            opt.run_ms = n;
            run_ms_given = true;
        } else if (a == "--line" || a == "--peer") {
            if (!value()) return fail(a + " needs N:" + (a == "--line" ? "KIND" : "PATH"));
            if (a == "--peer") {
                size_t colon = v.find(':');
                if (colon == std::string::npos) return fail("--peer needs N:PATH, not \"" + v + "\"");
                v = v.substr(0, colon) + ":peer:" + v.substr(colon + 1);
            }
            unsigned line = 0;
            rig::LineChoice choice;
            std::string why;
            if (!rig::parse_line_choice(v, line, choice, &why)) return fail(why);
            opt.lines[line] = choice;
        } else if (a == "--pcap") {
            if (!value() || v.empty()) return fail("--pcap needs a file");
            opt.pcap_path = v;
        } else if (a == "--calls") {
            if (!value() || !number(v, 10000, n)) return fail("--calls needs a number of calls per line up to 10000");
            opt.plan.calls_per_line = unsigned(n);
            calls_given = true;
        } else if (a == "--load") {
            if (!value() || v != "full") return fail("--load takes \"full\"");
            opt.plan.full_load = true;
        } else if (a == "--fault") {
            if (!value()) return fail("--fault needs a name");
            rig::FaultKind k;
            if (v == "all") {
                for (const auto& f : rig::fault_list()) faults.push_back(f.kind);
            } else if (rig::parse_fault(v, k)) {
                faults.push_back(k);
            } else {
                std::string names;
                for (const auto& f : rig::fault_list()) names += std::string(names.empty() ? "" : ", ") + f.name;
                return fail("--fault \"" + v + "\" is none of all, " + names);
            }
        } else if (a == "--soak") {
            if (!value() || !number(v, ~0ULL, n)) return fail("--soak needs a seed (a number)");
            soak_seed = n;
        } else if (a == "--serve") {
            serve = true;
        } else if (a == "--root") {
            if (!value() || v.empty()) return fail("--root needs a directory");
            opt.root = v;
        } else if (a == "--com-pty") {
            if (!value() || v.empty()) return fail("--com-pty needs a directory");
            com_pty_dir = v;
        } else if (a == "--trace") {
            opt.trace = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs("faults --fault takes:\n", stdout);
            for (const auto& f : rig::fault_list()) std::printf("  %-17s %s\n", f.name, f.what);
            return 0;
        } else {
            return fail("unknown option " + a);
        }
    }
    if (serve && opt.root.empty()) return fail("--serve needs --root DIR");
    if (!serve && !opt.root.empty()) return fail("--root is the directory a --serve run keeps its files in: give --serve too");
    if (serve && run_ms_given) return fail("--run-ms does not end a --serve run: it runs until SIGINT or SIGTERM");
    if (opt.plan.full_load && opt.plan.calls_per_line == 0 && calls_given)
        return fail("--load full puts a call on every channel: not with --calls 0");
    // An outside program keeps the wall clock's time: a fault run would be over before it could act.
    const bool peer = std::any_of(opt.lines.begin(), opt.lines.end(),
                                  [](const auto& l) { return l.second.kind == rig::Rig::FarKind::Peer; });
    if ((!faults.empty() || soak_seed) && (serve || !com_pty_dir.empty() || peer))
        return fail("--fault and --soak run in virtual time: not with --serve, --com-pty or --peer");
    if (!config_path.empty() && !read_file(config_path, opt.config_text)) return refuse("cannot read " + config_path);
    if (serve) {
        std::string why;
        if (!lock_root(opt.root, &why)) return refuse(why);
    }
    if (!opt.root.empty()) {
        std::string why;
        if (!adopt_root(opt, !config_path.empty(), &why)) return refuse(why);
    }
    opt.progress = isatty(STDERR_FILENO) == 1;
    opt.notices = true;
    if (!opt.firmware) opt.firmware = sim::fw::default_image();
    if (!faults.empty() || soak_seed) opt.plan.repeat = true;  // the faults find calls to hit
    if (!com_pty_dir.empty()) {
        opt.paced = true;
        opt.plan.leave_port_links = true;  // the traffic keeps off the COM ports' Links
    }

    // Ctrl-C (or SIGTERM) ends any run early: wound down, reported (a fault run with the
    // rows done by then), its sockets and links removed.
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    rig::MainJob job;
    std::string error;
    if (!job.start(opt, &error)) return refuse((config_path.empty() ? std::string() : config_path + ": ") + error);
    // Serving: the adapters' devices for the applet's processes, and the machine's restart.
    std::unique_ptr<rig::DeviceServer> server;
    if (serve) {
        server = std::make_unique<rig::DeviceServer>(job.rig(), opt.root);
        server->on_restart = [&job] {
            std::string why;
            if (!job.restart(&why)) std::fprintf(stderr, "vornet-sim: restart failed: %s\n", why.c_str());
        };
        rig::DeviceServer* s = server.get();
        job.pollers().add([s] { s->service(); }, s->fd());
    }
    // Serving: the serial-attached modem adapter's ports the hive lists.
    std::unique_ptr<sim::serial::SerialModemAdapter> modems;
    if (serve) {
        // Read under the hive's lock, as every other reader of the run's hive does.
        plat::reg::Registry hive;
        std::vector<std::string> ports;
        std::string ignored;
        if (plat::win32::read_hive(opt.root, hive, &ignored)) ports = sim::serial::SerialModemAdapter::listed_ports(hive);
        if (!ports.empty()) {
            modems = std::make_unique<sim::serial::SerialModemAdapter>(opt.root);
            for (const auto& p : ports)
                if (!modems->add_port(p, &error)) return refuse("serial modem port: " + error);
            if (!modems->start(&error)) return refuse("serial modem adapter: " + error);
            std::fprintf(stderr, "vornet-sim: %zu serial modem port(s)\n", ports.size());
        }
    }
    std::unique_ptr<rig::PtyBridge> ptys;
    if (!com_pty_dir.empty()) {
        ptys = std::make_unique<rig::PtyBridge>(job.rig().host, com_pty_dir);
        if (!ptys->start(&error)) return refuse("--com-pty: " + error);
        // With --json standard output is the one object (which lists them too).
        for (const auto& p : ptys->ports())
            std::fprintf(json ? stderr : stdout, "%s -> %s\n", p->com.c_str(), p->terminal.c_str());
        std::fflush(json ? stderr : stdout);
        ptys->on_ready = [](const rig::PtyBridge::Port& p) {
            std::fprintf(stderr, "vornet-sim: %s is ready: its modem takes AT commands\n", p.com.c_str());
        };
        rig::PtyBridge* b = ptys.get();
        job.pollers().add([b] { b->poll(); });
    }
    bool faults_sound = true;
    if (!faults.empty() || soak_seed) {
        std::vector<rig::FaultRow> rows;
        std::string memory, memory_json, soak_problems_json;
        job.measured([&] {
            const plat::VTime run_start = job.rig().host.now();
            rig::warm_up(job, 40000, &g_stop);
            if (soak_seed) {
                rig::SoakResult r = rig::soak(job, opt.run_ms, *soak_seed, &g_stop);
                rows = r.rows;
                faults_sound = r.problems.empty();
                memory = "driver memory: " + std::to_string(r.memory_start) + " bytes at the start, " +
                         std::to_string(r.memory_peak) + " at most, " + std::to_string(r.memory_end) + " at the end\n";
                memory_json = "{\"start\": " + std::to_string(r.memory_start) + ", \"peak\": " + std::to_string(r.memory_peak) +
                              ", \"end\": " + std::to_string(r.memory_end) + "}";
                for (const auto& p : r.problems)
                    if (p.find(" (") == std::string::npos) {
                        memory += p + "\n";
                        soak_problems_json += (soak_problems_json.empty() ? "" : ", ") + rig::json_string(p);
                    }
            }
            for (auto k : faults) {
                if (g_stop) break;
                faults_sound = rig::run_next_fault(job, k, rows).problems.empty() && faults_sound;
            }
            // The faults' recoveries set their own length; a longer --run-ms runs on after them.
            const plat::VTime run_end = run_start + plat::ms(opt.run_ms);
            if (!soak_seed && !g_stop && job.rig().host.now() < run_end)
                job.run_for((run_end - job.rig().host.now()) / 1000, &g_stop);
        });
        rig::Summary summary = job.finish();
        faults_sound = faults_sound && summary.halted_clean && summary.violations.empty();
        const bool stopped = g_stop;
        if (json) {
            std::string members = "\"faults\": " + rig::fault_table_json(rows) + ", " +
                                  rig::fault_totals_json(rows, summary.data.bytes_lost) +
                                  ", \"faults_sound\": " + (faults_sound ? "true" : "false") +
                                  ", \"stopped_by_signal\": " + (stopped ? "true" : "false");
            if (soak_seed)
                members += ", \"soak\": {\"seed\": " + std::to_string(*soak_seed) + ", \"driver_memory_bytes\": " +
                           memory_json + ", \"problems\": [" + soak_problems_json + "]}";
            std::cout << with_members(rig::to_json(summary), members) << "\n";
        } else {
            std::cout << rig::to_table(summary) << "\n"
                      << rig::fault_table(rows) << rig::fault_bytes_note(rows, summary.data.bytes_lost) << memory;
            if (stopped) std::cout << "stopped by SIGINT or SIGTERM: the rows above are the faults done by then\n";
            if (!summary.halted_clean) std::cout << "the halt was not clean: something leaked or the platform was misused\n";
        }
        return faults_sound ? 0 : 1;
    }
    if (serve) std::fprintf(stderr, "vornet-sim: serving in %s until SIGINT or SIGTERM\n", opt.root.c_str());
    job.run(&g_stop, !serve);  // serving ends only on a signal
    std::string com_ports;  // as --json lists them: the ports are gone after stop()
    if (ptys)
        for (const auto& p : ptys->ports())
            com_ports += (com_ports.empty() ? "" : ", ") + std::string("{\"port\": ") + rig::json_string(p->com) +
                         ", \"terminal\": " + rig::json_string(p->terminal) + ", \"link\": " + rig::json_string(p->link) + "}";
    if (ptys) ptys->stop();
    modems.reset();
    server.reset();
    rig::Summary summary = job.finish();

    if (json) {
        std::string out = rig::to_json(summary);
        if (ptys) out = with_members(out, "\"com_ports\": [" + com_ports + "]");
        std::cout << out << "\n";
    } else {
        std::cout << rig::to_table(summary);
    }
    return summary.initialised ? 0 : 1;
}

// vornet-sim: the vornet driver on a simulated board, with what is at the far end of
// its lines. Loads a configuration, puts the board on the bus, loads and initialises
// the driver, runs for a while in virtual time, halts, and reports. Each ISDN line has
// the network side of its switch variant at its far end, each robbed-bit line a
// robbed-bit far end.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "driver/Common/RSS_tmrs.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/pty_bridge.h"
#include "tools/harness/rig.h"

namespace {

const char* const kUsage =
    "usage: vornet-sim [--config FILE.reg] [--firmware FILE] [--run-ms N] [--trace] [--json] [--com-pty DIR]\n"
    "  --config FILE.reg  adapter configuration (REGEDIT4); default: the embedded one\n"
    "  --firmware FILE    modem-processor firmware image; default: a built one\n"
    "  --run-ms N         virtual milliseconds to run before halting (default 5000)\n"
    "  --trace            print the driver's trace lines\n"
    "  --json             print the summary as one JSON object\n"
    "  --com-pty DIR      run paced to the wall clock with every COM port on a pseudo-terminal,\n"
    "                     linked as DIR/COMn\n";

int fail(const std::string& message)
{
    std::fprintf(stderr, "vornet-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
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

}  // namespace

int main(int argc, char** argv)
{
    std::string config_path, firmware_path, com_pty_dir;
    uint64_t run_ms = 5000;
    bool trace = false, json = false;

    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (a == "--config") {
            if (!value(config_path)) return fail("--config needs a file");
        } else if (a == "--firmware") {
            if (!value(firmware_path)) return fail("--firmware needs a file");
        } else if (a == "--run-ms") {
            std::string v;
            if (!value(v)) return fail("--run-ms needs a number");
            char* end = nullptr;
            unsigned long long n = std::strtoull(v.c_str(), &end, 10);
            if (v.empty() || *end != 0 || n > 86'400'000ULL) return fail("--run-ms needs a number of milliseconds up to 86400000");
            run_ms = n;
        } else if (a == "--com-pty") {
            if (!value(com_pty_dir)) return fail("--com-pty needs a directory");
        } else if (a == "--trace") {
            trace = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            return fail("unknown option " + a);
        }
    }

    rig::Rig r;
    std::string text = rig::kDefaultConfig;
    if (!config_path.empty() && !read_file(config_path, text)) return fail("cannot read " + config_path);
    std::string error;
    if (!r.load_config(text, &error))
        return fail((config_path.empty() ? std::string("embedded configuration") : config_path) + ": " + error);
    if (!firmware_path.empty()) {
        std::string image;
        if (!read_file(firmware_path, image)) return fail("cannot read " + firmware_path);
        r.set_firmware(std::vector<uint8_t>(image.begin(), image.end()));
    } else {
        r.set_firmware(sim::fw::default_image());
    }

    r.host.trace.echo = trace;
    RssTraceEnabled = trace ? TRUE : FALSE;
    sim::Card& card = r.add_board_for(1, 4);
    r.attach_far_ends(card, 1);  // the network side on each ISDN line, a far end on each robbed-bit line

    rig::Summary summary;
    if (r.load_driver() != 0) {
        std::fprintf(stderr, "vornet-sim: the driver did not load\n");
        return 1;
    }
    plat::ndis::Adapter* adapter = r.initialize(1);
    summary.initialised = adapter != nullptr;
    if (adapter != nullptr) {
        if (com_pty_dir.empty()) {
            r.host.run_for(plat::ms(run_ms));
        } else if (!rig::run_with_com_ptys(r.host, com_pty_dir, plat::ms(run_ms), stdout, &error)) {
            std::fprintf(stderr, "vornet-sim: --com-pty: %s\n", error.c_str());
        }
        rig::observe_adapter(rig::Rig::driver_adapter(adapter), summary);
        rig::observe_ndis(adapter, summary);
        size_t before = r.host.violations().size();
        r.halt(adapter);
        summary.halted_clean = r.host.violations().size() == before;
    }
    summary.error_log = r.host.error_log;
    summary.leaked_allocations = r.leaked_allocations();
    summary.leaked_mappings = r.leaked_mappings() + r.leaked_shared_memory();
    summary.halted_clean = summary.halted_clean && summary.leaked_allocations == 0 && summary.leaked_mappings == 0;

    if (json) {
        std::cout << rig::to_json(summary) << "\n";
    } else {
        std::printf("adapter: %s, data interface %s, halt %s\n", summary.initialised ? "initialised" : "failed",
                    summary.data_interface_up ? "up" : "down", summary.halted_clean ? "clean" : "NOT clean");
        for (const auto& l : summary.lines) std::printf("line %u: %s\n", l.line, l.signalling.c_str());
        std::printf("modem processors: %zu\n", summary.processors.size());
        for (const auto& e : summary.error_log) {
            std::printf("error log: 0x%08X", e.code);
            for (auto v : e.values) std::printf(" %u", v);
            std::printf("\n");
        }
        for (const auto& v : r.host.violations()) std::printf("platform misuse: %s\n", v.c_str());
        std::printf("leaks: %zu allocations, %zu mappings\n", summary.leaked_allocations, summary.leaked_mappings);
    }
    return summary.initialised ? 0 : 1;
}

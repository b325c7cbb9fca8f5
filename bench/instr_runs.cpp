// The stretches scripts/bench.sh counts instructions of under callgrind (started with
// --instr-atstart=no; only the stretch itself is instrumented, bring-up is not):
//   full N    the four-line board with a data call on every B channel: N simulated seconds
//             once every call is up;
//   calls N   N one-second windows, each with one ISDN data call offered by the network,
//             answered by a Link the driver owns, connected and cleared by the network;
//   idle N    the same N windows without the call (what `calls` costs apart from the call).
// Without valgrind's headers the stretches run uninstrumented and the figures are not taken.
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define INSTR_START() CALLGRIND_START_INSTRUMENTATION
#define INSTR_STOP() CALLGRIND_STOP_INSTRUMENTATION
#else
#define INSTR_START() ((void)0)
#define INSTR_STOP() ((void)0)
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/main_job.h"

namespace {

std::string four_line()
{
    std::ifstream in(std::string(VORNET_SOURCE_DIR) + "/configs/four-line.reg");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int full_load(unsigned seconds)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.config_text = four_line();
    o.firmware = sim::fw::default_image();
    o.plan.full_load = true;
    std::string e;
    if (!job.start(o, &e)) {
        std::fprintf(stderr, "instr_runs: %s\n", e.c_str());
        return 1;
    }
    plat::Host& h = job.rig().host;
    h.run_for(plat::ms(14000));  // as main_job_bench: every call connected, modem calls too
    INSTR_START();
    h.run_for(plat::ms(1000) * seconds);
    INSTR_STOP();
    std::printf("calls_up %u\n", job.traffic() ? unsigned(job.traffic()->connected_calls()) : 0u);
    job.finish();
    return 0;
}

int isdn_calls(unsigned windows, bool with_call)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.traffic = false;
    std::string e;
    if (!job.start(o, &e)) {
        std::fprintf(stderr, "instr_runs: %s\n", e.c_str());
        return 1;
    }
    plat::Host& h = job.rig().host;
    sim::IsdnNetworkSide* net = job.far_ends().isdn[0];
    Adapter* a = rig::Rig::driver_adapter(job.adapter());
    rig::run_until(h, [&] { return net->link_up(); }, plat::ms(5000));
    Link* l = nullptr;
    rig::with_adapter_lock(a, [&] { l = LinkAcquire(a, 0, 0, 2, OWNER_DRIVER); });
    h.run_for(plat::ms(1000));
    unsigned connected = 0;
    INSTR_START();
    for (unsigned i = 0; i < windows; i++) {
        const plat::VTime start = h.now();
        if (with_call) {
            auto key = net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::unrestricted64());
            rig::run_until(h, [&] { return l->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(500));
            if (l->ChannelState == CHANNEL_STATE_ACTIVE) connected++;
            if (key) net->clear_call(*key);
            rig::run_until(h, [&] { return l->ThisBChannel == nullptr; }, plat::ms(500));
        }
        h.run_until(start + plat::ms(1000));
    }
    INSTR_STOP();
    std::printf("connected %u\n", connected);
    job.finish();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned n = argc == 3 ? unsigned(std::strtoul(argv[2], nullptr, 10)) : 0;
    if (argc == 3 && n > 0 && n <= 3600) {
        if (std::strcmp(argv[1], "full") == 0) return full_load(n);
        if (std::strcmp(argv[1], "calls") == 0) return isdn_calls(n, true);
        if (std::strcmp(argv[1], "idle") == 0) return isdn_calls(n, false);
    }
    std::fprintf(stderr, "usage: instr_runs full|calls|idle N\n");
    return 2;
}

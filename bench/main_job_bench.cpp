// The main job's costs, each measured in this run:
//   whole process: the four-line board with a data call on every B channel, simulated
//     seconds per CPU second of the whole process (models, far ends, traffic, driver);
//   driver share: CPU time inside the driver's entry points per simulated second of that
//     run (goal: under 5 ms, i.e. under 0.5% of one core, with every B channel busy), the
//     register accesses it makes (window decode and the device models behind them) apart;
//   ISDN call: the driver's CPU for one data call offered, answered, connected and
//     cleared by the network, above what the same stretch of time costs idle.
// The timer-pool tick is in timer_pool_bench.
#include <benchmark/benchmark.h>
#include <time.h>

#include <fstream>
#include <sstream>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/main_job.h"

namespace {

int64_t cpu_ns(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::string four_line()
{
    std::ifstream in(std::string(VORNET_SOURCE_DIR) + "/configs/four-line.reg");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Four lines at full load; after the calls are up, one simulated second per iteration.
// With measure_driver the driver's entry points are timed too (which costs a clock read
// at each entry and exit, so the process figure is taken without it).
void full_load(benchmark::State& state, bool measure_driver)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.config_text = four_line();
    o.firmware = sim::fw::default_image();
    o.plan.full_load = true;
    std::string e;
    if (!job.start(o, &e)) {
        state.SkipWithError(e.c_str());
        return;
    }
    plat::Host& h = job.rig().host;
    h.run_for(plat::ms(14000));  // lines up, processors booted, every call connected (modem calls too)
    auto& ndis = h.ndis();
    ndis.measure_driver_cpu = measure_driver;
    ndis.driver_cpu_ns = ndis.driver_entries = ndis.register_ns = ndis.register_accesses = 0;
    const plat::VTime step = plat::ms(1000);
    uint64_t sim_us = 0;
    int64_t process_ns = 0;
    for (auto _ : state) {
        int64_t t0 = cpu_ns(CLOCK_PROCESS_CPUTIME_ID);
        h.run_for(step);
        process_ns += cpu_ns(CLOCK_PROCESS_CPUTIME_ID) - t0;
        sim_us += step;
    }
    const double sim_s = double(sim_us) / 1e6;
    state.counters["calls_up"] = double(job.traffic() ? job.traffic()->connected_calls() : 0);
    if (measure_driver) {
        state.counters["driver_ms_per_sim_s"] = double(ndis.driver_cpu_ns) / 1e6 / sim_s;
        state.counters["driver_entries_per_sim_s"] = double(ndis.driver_entries) / sim_s;
        state.counters["register_ms_per_sim_s"] = double(ndis.register_ns) / 1e6 / sim_s;
        state.counters["register_accesses_per_sim_s"] = double(ndis.register_accesses) / sim_s;
    } else {
        state.counters["sim_s_per_cpu_s"] = sim_s / (double(process_ns) / 1e9);
    }
    ndis.measure_driver_cpu = false;
    job.finish();
}
void BM_FullLoadFourLines(benchmark::State& state) { full_load(state, false); }
void BM_FullLoadDriverShare(benchmark::State& state) { full_load(state, true); }
BENCHMARK(BM_FullLoadFourLines)->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_FullLoadDriverShare)->Unit(benchmark::kMillisecond)->Iterations(30);

// One ISDN data call through the driver's stack: offered by the network, answered by a
// Link the driver owns, connected, cleared by the network; no data.
void BM_IsdnCallSetupAndClear(benchmark::State& state)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.traffic = false;
    std::string e;
    if (!job.start(o, &e)) {
        state.SkipWithError(e.c_str());
        return;
    }
    plat::Host& h = job.rig().host;
    sim::IsdnNetworkSide* net = job.far_ends().isdn[0];
    Adapter* a = rig::Rig::driver_adapter(job.adapter());
    rig::run_until(h, [&] { return net->link_up(); }, plat::ms(5000));
    Link* l = nullptr;
    rig::with_adapter_lock(a, [&] { l = LinkAcquire(a, 0, 0, 2, OWNER_DRIVER); });
    auto& ndis = h.ndis();
    ndis.measure_driver_cpu = true;
    const plat::VTime window = plat::ms(1000);
    uint64_t call_ns = 0, idle_ns = 0;
    for (auto _ : state) {
        // The same stretch idle, then with a call in it.
        uint64_t before = ndis.driver_cpu_ns;
        h.run_for(window);
        idle_ns += ndis.driver_cpu_ns - before;
        before = ndis.driver_cpu_ns;
        const plat::VTime start = h.now();
        auto key = net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::unrestricted64());
        rig::run_until(h, [&] { return l->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(500));
        if (key) net->clear_call(*key);
        rig::run_until(h, [&] { return l->ThisBChannel == nullptr; }, plat::ms(500));
        h.run_until(start + window);
        call_ns += ndis.driver_cpu_ns - before;
    }
    state.counters["driver_us_per_call"] =
        (double(call_ns) - double(idle_ns)) / 1e3 / double(state.iterations());
    state.counters["driver_us_idle_per_s"] = double(idle_ns) / 1e3 / double(state.iterations());
    ndis.measure_driver_cpu = false;
    job.finish();
}
BENCHMARK(BM_IsdnCallSetupAndClear)->Unit(benchmark::kMillisecond)->Iterations(50);

}  // namespace

BENCHMARK_MAIN();

// The adapter's main loop ticks a 1024-entry timer pool every TimerResolution ms.
#include <benchmark/benchmark.h>

#include <vector>

#include "driver/Common/RSS_tmrs.h"

namespace {

BOOLEAN KeepRunning(PVOID) { return FALSE; }

void BM_TmrTick(benchmark::State& state)
{
    std::vector<TmrEntry> entries(1024);
    TmrPool pool{};
    TmrInit(&pool, entries.data(), 1024);
    for (ULONG i = 0; i < static_cast<ULONG>(state.range(0)); i++) TmrStart(&pool, i + 1, 1, 1000000, KeepRunning, nullptr);
    for (auto _ : state) TmrTick(&pool, 10);
}
BENCHMARK(BM_TmrTick)->Arg(8)->Arg(128)->Arg(1024);

void BM_TmrStartClear(benchmark::State& state)
{
    std::vector<TmrEntry> entries(1024);
    TmrPool pool{};
    TmrInit(&pool, entries.data(), 1024);
    for (ULONG i = 0; i < 512; i++) TmrStart(&pool, i + 1, 1, 1000, KeepRunning, nullptr);
    for (auto _ : state) {
        TmrStart(&pool, 0xBEEF, 2, 10, KeepRunning, nullptr);
        TmrClear(&pool, 0xBEEF, 2);
    }
}
BENCHMARK(BM_TmrStartClear);

}  // namespace

BENCHMARK_MAIN();

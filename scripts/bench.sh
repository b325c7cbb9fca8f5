#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks (Release), runs them and prints one
# table of the figures, each measured in this run.
set -euo pipefail
cd "$(dirname "$0")/.."
# In build/, the README's one Release tree.
scripts/build.sh main_job_bench timer_pool_bench
out=$(mktemp -d)
build/bench/main_job_bench --benchmark_format=json >"$out/main.json" 2>/dev/null
build/bench/timer_pool_bench --benchmark_filter='BM_TmrTick/1024' --benchmark_format=json >"$out/timer.json" 2>/dev/null
python3 - "$out/main.json" "$out/timer.json" <<'PY'
import json, sys
runs = {}
for f in sys.argv[1:]:
    for b in json.load(open(f))["benchmarks"]:
        runs[b["name"].split("/iterations")[0]] = b
full, share, call, tick = (runs.get(n, {}) for n in
    ("BM_FullLoadFourLines", "BM_FullLoadDriverShare", "BM_IsdnCallSetupAndClear", "BM_TmrTick/1024"))
ms = share.get("driver_ms_per_sim_s", float("nan"))
rows = [
    ("whole process, four lines, every B channel busy", "%.1f simulated s per CPU s" % full.get("sim_s_per_cpu_s", float("nan")), ""),
    ("driver's entry points, same load", "%.1f ms CPU per simulated s (%.2f%% of a core)" % (ms, ms / 10), "goal < 5 ms (0.5%%): %s" % ("met" if ms < 5 else "NOT met")),
    ("driver per line, same load", "%.2f ms CPU per simulated s" % (ms / 4), ""),
    ("driver entries, same load", "%.0f per simulated s" % share.get("driver_entries_per_sim_s", float("nan")), ""),
    ("register accesses (decode and device models), apart", "%.1f ms CPU per simulated s, %.0f accesses per simulated s" % (
        share.get("register_ms_per_sim_s", float("nan")), share.get("register_accesses_per_sim_s", float("nan"))), ""),
    ("one ISDN call set-up and clear, driver only", "%.1f us CPU" % call.get("driver_us_per_call", float("nan")), ""),
    ("timer-pool tick, 1024 entries", "%.0f ns" % tick.get("cpu_time", float("nan")), ""),
]
w = max(len(r[0]) for r in rows)
v = max(len(r[1]) for r in rows)
print("%-*s  %-*s  %s" % (w, "figure", v, "value", "goal"))
for r in rows:
    print("%-*s  %-*s  %s" % (w, r[0], v, r[1], r[2]))
PY
rm -rf "$out"

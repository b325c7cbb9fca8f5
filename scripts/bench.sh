#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks (Release), runs them and prints one
# table of the figures, each measured in this run: CPU times, which swing with the
# machine's load, and beside them instruction counts under callgrind, which do not
# (taken when valgrind is installed): per simulated second of the four-line board at
# full load and per ISDN call set-up and clear, each split by area of the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
# In build/, the README's one Release tree (built with -g, so callgrind names each
# function's source file).
scripts/build.sh main_job_bench timer_pool_bench instr_runs
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
build/bench/main_job_bench --benchmark_format=json >"$out/main.json" 2>/dev/null
build/bench/timer_pool_bench --benchmark_filter='BM_TmrTick/1024' --benchmark_format=json >"$out/timer.json" 2>/dev/null
# Instruction counts: 10 simulated seconds at full load; 10 one-second windows with an
# ISDN call each, less the same windows idle. Only those stretches are instrumented.
seconds=10
windows=10
if command -v valgrind >/dev/null 2>&1; then
    for run in "full $seconds" "calls $windows" "idle $windows"; do
        name=${run%% *}
        valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$out/cg.$name" \
            build/bench/instr_runs $run >/dev/null 2>"$out/cg.$name.log" &
    done
    wait
    for name in full calls idle; do
        python3 scripts/callgrind_areas.py "$PWD" "$out/cg.$name" >"$out/areas.$name" || rm -f "$out/areas.$name"
    done
fi
python3 - "$out" "$seconds" "$windows" <<'PY'
import json, os, sys
out, seconds, windows = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
runs = {}
for f in ("main.json", "timer.json"):
    for b in json.load(open(os.path.join(out, f)))["benchmarks"]:
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
print("CPU time (swings with the machine's load)")
print("%-*s  %-*s  %s" % (w, "figure", v, "value", "goal"))
for r in rows:
    print("%-*s  %-*s  %s" % (w, r[0], v, r[1], r[2]))

def areas(name):
    try:
        return {k: int(n) for k, n in (line.split() for line in open(os.path.join(out, "areas." + name)))}
    except (OSError, ValueError):
        return None

full, calls, idle = areas("full"), areas("calls"), areas("idle")
labels = (("driver", "driver (driver/)"), ("models", "device models and far ends (sim/)"),
          ("platform", "platform stand-ins (platform/)"), ("harness", "harness and traffic (tools/, bench/)"),
          ("other", "outside the tree, no caller in it"), ("total", "whole process"))
print()
print("Instructions (callgrind; the same from run to run)")
if full is None or calls is None or idle is None:
    print("not taken (no valgrind)" if full is None and not os.path.exists(os.path.join(out, "cg.full.log"))
          else "not taken (the callgrind runs failed)")
    sys.exit(0)
if full["total"] > 0 and full["other"] == full["total"]:
    print("not taken (no debug information: no function has a source file)")
    sys.exit(0)
head = ("area", "per simulated s, four lines, full load", "per ISDN call set-up and clear")
table = [(label, "{:,.0f}".format(full[key] / seconds), "{:,.0f}".format((calls[key] - idle[key]) / windows))
         for key, label in labels]
cw = [max(len(r[i]) for r in table + [head]) for i in range(3)]
print("%-*s  %*s  %*s" % (cw[0], head[0], cw[1], head[1], cw[2], head[2]))
for r in table:
    print("%-*s  %*s  %*s" % (cw[0], r[0], cw[1], r[1], cw[2], r[2]))
PY

#!/usr/bin/env bash
# scripts/soak-seeds.sh [FIRST [LAST [PARALLEL]]]
# Runs vornet-sim --soak for every seed FIRST..LAST (default 1..60) on the four-line board
# at full load, 300 simulated seconds each, at most PARALLEL (default 3) at a time, and
# prints one line per seed; the failed seeds' fault tables are kept in build/soak-seeds/.
# Status 1 when a seed failed. Built in the README's Release tree (build/) with a job limit; VORNET_SIM
# names another vornet-sim to run instead, SOAK_RUN_MS another length.
set -euo pipefail
cd "$(dirname "$0")/.."
first=${1:-1}
last=${2:-60}
parallel=${3:-3}
for v in "$first" "$last" "$parallel"; do
    if ! [[ $v =~ ^[0-9]+$ ]]; then
        echo "soak-seeds.sh: FIRST, LAST and PARALLEL must be whole numbers, not \"$v\"" >&2
        exit 2
    fi
done
if [ "$parallel" -lt 1 ]; then parallel=1; fi
sim=${VORNET_SIM:-}
if [ -z "$sim" ]; then
    scripts/build.sh --parallel "${SOAK_JOBS:-3}"
    sim=build/tools/vornet-sim/vornet-sim
fi
out=build/soak-seeds
mkdir -p "$out"
run_ms=${SOAK_RUN_MS:-300000}

run_seed() {
    local seed=$1 log="$out/seed-$1.txt"
    if "$sim" --config configs/four-line.reg --load full --soak "$seed" --run-ms "$run_ms" >"$log" 2>&1; then
        rm -f "$log"
        echo "seed $seed: pass"
    else
        echo "seed $seed: FAIL ($log)"
    fi
}

failed=0
pids=()
for ((seed = first; seed <= last; seed++)); do
    run_seed "$seed" > "$out/.result-$seed" &
    pids+=($!)
    if [ "${#pids[@]}" -ge "$parallel" ]; then
        wait "${pids[0]}"
        pids=("${pids[@]:1}")
    fi
done
wait
for ((seed = first; seed <= last; seed++)); do
    cat "$out/.result-$seed"
    grep -q FAIL "$out/.result-$seed" && failed=1
    rm -f "$out/.result-$seed"
done
exit $failed

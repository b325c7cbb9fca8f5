#!/usr/bin/env bash
# scripts/soak.sh [SIMULATED-HOURS] [SEED]
# Runs the four-line board at full load for SIMULATED-HOURS of virtual time (default 1,
# fractions allowed, at most 24), a fault drawn at random from SEED (default 1) every
# few simulated seconds. After each: every NDIS packet completed once, no half-open
# call, layer 2 and every call back; the driver's memory stays flat; nothing leaks at the
# halt. Prints the fault table; status 1 when an invariant broke. Built with
# AddressSanitizer and UndefinedBehaviorSanitizer (build-soak), SOAK_JOBS (default 3) jobs
# at a time.
set -euo pipefail
cd "$(dirname "$0")/.."
hours=${1:-1}
seed=${2:-1}
if ! [[ $hours =~ ^[0-9]+([.][0-9]+)?$ ]]; then
    echo "soak.sh: SIMULATED-HOURS must be a number, not \"$hours\"" >&2
    exit 2
fi
if ! [[ $seed =~ ^[0-9]+$ ]]; then
    echo "soak.sh: SEED must be a whole number, not \"$seed\"" >&2
    exit 2
fi
ms=$(awk -v h="$hours" 'BEGIN { printf "%d", h * 3600000 }')
if [ "$ms" -lt 1 ] || [ "$ms" -gt 86400000 ]; then
    echo "soak.sh: SIMULATED-HOURS must be more than 0 and at most 24" >&2
    exit 2
fi
cmake -S . -B build-soak -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNET_SANITIZE=ON -DVORNET_TESTS=OFF >/dev/null
cmake --build build-soak --parallel "${SOAK_JOBS:-3}" --target vornet-sim
echo "soak: $hours simulated hour(s), seed $seed"
exec build-soak/tools/vornet-sim/vornet-sim --config configs/four-line.reg --load full --soak "$seed" --run-ms "$ms"

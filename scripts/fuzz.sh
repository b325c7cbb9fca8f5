#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS each (default 300), longer than the test
# command does. Each target starts from its seed corpus (fuzz/corpus/<name>) and keeps
# what it finds in build-fuzz/corpus/<name> for the next run; a crash leaves its input
# in build-fuzz/ and the run goes on with the next target. Exits non-zero when any
# target failed.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     e.g. scripts/fuzz.sh 600 serial modem
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shift || true

CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNET_FUZZ=ON -DVORNET_TESTS=OFF >/dev/null
cmake --build build-fuzz --target fuzz_targets

if [ $# -gt 0 ]; then
    names=("$@")
else
    # Every target fuzz_targets builds.
    mapfile -t names < <(ninja -C build-fuzz -t query fuzz/fuzz_targets | sed -n 's|^  *fuzz/fuzz_||p')
fi
failed=()
for name in "${names[@]}"; do
    work=build-fuzz/corpus/$name
    mkdir -p "$work"
    cp -n fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
    log=build-fuzz/fuzz_$name.log
    echo "fuzzing $name for $seconds s (log: $log)"
    if build-fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -rss_limit_mb=4096 \
        -artifact_prefix=build-fuzz/"$name"- "$work" >"$log" 2>&1; then
        grep -E '^Done' "$log" || tail -n 1 "$log"
    else
        tail -n 40 "$log"
        echo "fuzz_$name failed; the input is in build-fuzz/$name-*"
        failed+=("$name")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "failed: ${failed[*]}"
    exit 1
fi
echo "every target ran clean"

#!/usr/bin/env bash
# Installs what is missing; runs every libFuzzer target briefly (clang build); builds
# with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test; checks that a
# plain Release build builds. Every build here treats warnings as errors (VORNET_WERROR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build_opts=()
if command -v ccache >/dev/null; then build_opts=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
# lld links the many test programs in a fraction of the time; line tables alone are
# what the sanitizers' reports need of the debug information.
if command -v ld.lld >/dev/null; then
    build_opts+=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld
        -DCMAKE_MODULE_LINKER_FLAGS=-fuse-ld=lld)
fi
debug=(-DCMAKE_CXX_FLAGS_DEBUG=-g1)

CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNET_FUZZ=ON -DVORNET_TESTS=OFF \
    -DVORNET_WERROR=ON "${build_opts[@]}" >/dev/null
cmake --build build-fuzz --target fuzz_targets
# Every target fuzz_targets builds runs, each from its seed corpus in fuzz/corpus/<name>.
names=$(ninja -C build-fuzz -t query fuzz/fuzz_targets | sed -n 's|^  *fuzz/fuzz_||p')
[ -n "$names" ] || { echo "no fuzz targets found in build-fuzz"; exit 1; }
for name in $names; do
    if [ ! -d fuzz/corpus/"$name" ] || [ -z "$(ls -A fuzz/corpus/"$name")" ]; then
        echo "fuzz_$name has no seed corpus in fuzz/corpus/$name"
        exit 1
    fi
done
# One target a core at a time; each prints what it did when it ends.
fuzz_one() {
    local name=$1 work log
    work=$(mktemp -d)
    log=$(mktemp)
    cp fuzz/corpus/"$name"/* "$work"/
    if ! build-fuzz/fuzz/fuzz_"$name" -max_total_time="${VORNET_FUZZ_SECONDS:-5}" -seed=1 \
        -artifact_prefix=build-fuzz/ "$work" >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz_$name failed; the input is in build-fuzz/"
        rm -rf "$work" "$log"
        return 1
    fi
    echo "fuzz_$name, ${VORNET_FUZZ_SECONDS:-5} s: $(grep -E '^Done' "$log" || tail -n 1 "$log")"
    rm -rf "$work" "$log"
}
export -f fuzz_one
printf '%s\n' $names | xargs -P "$(nproc)" -I{} bash -c 'fuzz_one "$1"' _ {}

# The applet's threads and the simulator's serving mode under ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORNET_TSAN=ON -DVORNET_TESTS=ON -DVORNET_WERROR=ON \
    "${build_opts[@]}" "${debug[@]}" >/dev/null
cmake --build build-tsan --target qlcommon_test qlcommon_serial_test qlcommon_dovu_test qlcommon_monitor_test \
    device_server_test vornet-sim
echo "ThreadSanitizer: the applet's management library"
TSAN_OPTIONS=halt_on_error=1 build-tsan/QLCommon/qlcommon_test --gtest_brief=1
echo "ThreadSanitizer: the applet's serial modem transport, with the modem adapter on its thread"
TSAN_OPTIONS=halt_on_error=1 build-tsan/QLCommon/qlcommon_serial_test --gtest_brief=1
echo "ThreadSanitizer: serial-attached modems on the management thread and its workers"
TSAN_OPTIONS=halt_on_error=1 build-tsan/QLCommon/qlcommon_dovu_test --gtest_brief=1
echo "ThreadSanitizer: the modem monitors' threads"
TSAN_OPTIONS=halt_on_error=1 build-tsan/QLCommon/qlcommon_monitor_test --gtest_brief=1
echo "ThreadSanitizer: the device server, with clients on threads and in other processes"
TSAN_OPTIONS=halt_on_error=1 build-tsan/tools/harness/device_server_test --gtest_brief=1
echo "ThreadSanitizer: vornet-sim --serve until SIGTERM"
scripts/tsan-serve.sh build-tsan/tools/vornet-sim/vornet-sim

# A plain Release build (-O3 warns of things -O0 does not) of everything but the tests,
# which the next build compiles: both within the time a CI run has.
echo "Release build"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORNET_TESTS=OFF -DVORNET_WERROR=ON \
    "${build_opts[@]}" >/dev/null
cmake --build build-release

cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORNET_SANITIZE=ON -DVORNET_TESTS=ON -DVORNET_WERROR=ON \
    "${build_opts[@]}" "${debug[@]}" >/dev/null
cmake --build build-test
cd build-test
exec ctest --output-on-failure -j "$(nproc)" --timeout 300

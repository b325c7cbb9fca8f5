#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORNET_SANITIZE=ON -DVORNET_TESTS=ON >/dev/null
cmake --build build-test
cd build-test
exec ctest --output-on-failure -j "$(nproc)" --timeout 300

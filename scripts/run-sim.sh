#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job with any options given.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNET_TESTS=OFF >/dev/null
cmake --build build --target vornet-sim
exec build/tools/vornet-sim/vornet-sim "$@"

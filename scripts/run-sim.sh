#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job with any options given. What
# the install and the build print goes to standard error, so that standard output is
# the main job's own (one JSON object with --json).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNET_TESTS=OFF >&2
cmake --build build --target vornet-sim >&2
exec build/tools/vornet-sim/vornet-sim "$@"

#!/usr/bin/env bash
# Installs what is missing and builds, in build/ (Release), everything the README's
# commands run: the main job, the Control Panel's and NT setup's stand-ins, the applet,
# the setup library and TAPI32. Other scripts build more targets in the same tree. What
# it prints goes to standard error. Warnings do not stop this build (the test command
# builds with them as errors). -g lets the benchmarks' callgrind counts name each
# function's source file; the code is the same without it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORNET_TESTS=OFF -DVORNET_WERROR=OFF -DCMAKE_CXX_FLAGS=-g "${launcher[@]}" >&2
cmake --build build --target vornet-sim vornet-control setup-call vornetap brantel tapi32 "$@" >&2

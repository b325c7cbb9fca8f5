#!/usr/bin/env bash
# Installs what is missing, builds (scripts/build.sh: build/, which then holds every
# program and library the README's commands name), and runs the main job with any options
# given. What the install and the build print goes to standard error, so that standard
# output is the main job's own (one JSON object with --json).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
exec build/tools/vornet-sim/vornet-sim "$@"

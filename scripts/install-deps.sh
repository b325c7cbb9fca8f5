#!/usr/bin/env bash
# Installs what the build needs from Debian's packages, when missing.
set -euo pipefail
need=()
# tshark decodes our D-channel frames in the oracle tests; Qt 6 Widgets and a font carry
# the user interface of the applet and the setup library (platform/mfc); python3 prints
# the benchmark table; lld links the test command's builds.
for pkg in cmake ninja-build g++ clang lld libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev tshark \
    qt6-base-dev fonts-dejavu-core python3; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    # tshark's package asks whether non-root users may capture: no, and no question.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi

#!/usr/bin/env bash
# Installs what is missing, builds, starts the simulator serving a fresh run's root
# (the default configuration, or --config FILE.reg; --firmware FILE as the drivers
# folder's armcsm), and opens the control-panel applet with vornet-control. The
# simulator stops when the applet closes. --calls N has the simulator run N far-end
# calls per line from its start, a few at a time and seconds each, for the device panel's
# lamps to follow: take N in the hundreds to see them once the sheet is up. Those calls
# take the lines' Links while they last, so the applet's TAPI scan and the serial ports
# may find them busy. --debug-menus sets the adapters' DebugMenusOn in the run's hive, for
# the modem lamps' menu (out of service, debug log).
set -euo pipefail
cd "$(dirname "$0")/.."
config=configs/default.reg
firmware=""
calls=0
debug_menus=0
while [ $# -gt 0 ]; do
    case "$1" in
    --config) config="$2"; shift 2 ;;
    --firmware) firmware="$2"; shift 2 ;;
    --calls) calls="$2"; shift 2 ;;
    --debug-menus) debug_menus=1; shift ;;
    *) echo "usage: scripts/run-applet.sh [--config FILE.reg] [--firmware FILE] [--calls N] [--debug-menus]" >&2
       exit 2 ;;
    esac
done
[ -r "$config" ] || { echo "run-applet: cannot read $config" >&2; exit 2; }
[ -z "$firmware" ] || [ -r "$firmware" ] || { echo "run-applet: cannot read $firmware" >&2; exit 2; }
[[ "$calls" =~ ^[0-9]+$ ]] || { echo "run-applet: --calls takes a number of calls per line" >&2; exit 2; }

# The README's one build tree, build/ (scripts/build.sh builds the applet there too).
build=build
if ! scripts/build.sh; then
    echo "run-applet: the build failed" >&2
    exit 1
fi
applet="$build/applet/libvornetap.so"
[ -f "$applet" ] || { echo "run-applet: $applet was not built" >&2; exit 1; }

# A fresh root: the hive, drive C with the system folder, the devices' sockets.
root=$(mktemp -d /tmp/vornet-run-XXXXXX)
mkdir -p "$root/C/WINNT/system32/drivers"
cp "$config" "$root/registry.reg"
if [ "$debug_menus" = 1 ]; then
    sed -i -e '/^"DebugMenusOn"=/d' \
        -e '/^\[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET[0-9]*\\Parameters\]/a "DebugMenusOn"=dword:00000001' \
        "$root/registry.reg"
fi
[ -z "$firmware" ] || cp "$firmware" "$root/C/WINNT/system32/drivers/armcsm"

# By default no calls of the simulator's own: the lines' Links stay free for the applet's
# TAPI scan and its serial ports.
"$build"/tools/vornet-sim/vornet-sim --serve --root "$root" --calls "$calls" &
sim=$!
stop() {
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
    rm -rf "$root"
}
trap stop EXIT

# The applet opens "\\.\VORNET<n>": wait for the simulator's first device socket.
for _ in $(seq 1 300); do
    if compgen -G "$root/VORNET*" >/dev/null; then break; fi
    kill -0 "$sim" 2>/dev/null || { echo "run-applet: the simulator ended" >&2; exit 1; }
    sleep 0.1
done
compgen -G "$root/VORNET*" >/dev/null || { echo "run-applet: the simulator serves no device" >&2; exit 1; }

export VORNET_ROOT="$root"
export VORNET_LAUNCHER="$PWD/scripts/view-file.sh"
# TAPI32.DLL, and the applet's own file for its version ("vornetap.cpl").
export VORNET_LIBRARY_PATH="$PWD/$build/platform/tapi32:$(cd "$(dirname "$applet")" && pwd)"
"$build"/tools/vornet-control/vornet-control --open "$applet"

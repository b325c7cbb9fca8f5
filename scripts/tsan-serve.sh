#!/usr/bin/env bash
# scripts/tsan-serve.sh VORNET-SIM
# Runs a vornet-sim built with ThreadSanitizer in its serving mode: waits for the
# adapter's device socket, lets it serve a while, stops it with SIGTERM. Fails on a
# ThreadSanitizer report (status 66) or any other unclean end.
set -euo pipefail
sim=${1:?usage: tsan-serve.sh VORNET-SIM}
root=$(mktemp -d /tmp/vornet-tsan-XXXXXX)
trap 'rm -rf "$root"' EXIT
TSAN_OPTIONS="halt_on_error=1 exitcode=66" "$sim" --serve --root "$root" --json >"$root/summary.json" 2>"$root/stderr" &
pid=$!
for _ in $(seq 200); do
    [ -S "$root/VORNET1" ] && break
    sleep 0.05
done
sleep 1
# A client opens the device and sends management requests meanwhile.
if command -v python3 >/dev/null 2>&1; then
    python3 - "$root/VORNET1" <<'PY'
import socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(sys.argv[1])
def ask(kind, body, out):
    s.send(struct.pack("<5I", 0x51524E56, kind, 0x00170002, len(body), len(out)) + body + out)
    magic, status, n = struct.unpack("<IiI", s.recv(16 + 70000)[:12])
    assert magic == 0x50524E56, hex(magic)
    return status
assert ask(0x00, b"", b"") == 0
record = struct.pack("<6I", 0x524F4B00, 0, 0, 16468, 0, 0).ljust(16468, b"\0")
for _ in range(20):
    assert ask(0x0E, struct.pack("<I", 0xFF000000), record) == 0
s.close()
PY
fi
sleep 1
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
if [ "$status" -ne 0 ] || ! grep -q '"halted_clean": true' "$root/summary.json"; then
    cat "$root/stderr" >&2
    echo "vornet-sim --serve under ThreadSanitizer ended with status $status" >&2
    exit 1
fi
echo "vornet-sim --serve: clean"

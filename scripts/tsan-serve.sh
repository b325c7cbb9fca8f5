#!/usr/bin/env bash
# scripts/tsan-serve.sh VORNET-SIM
# Runs a vornet-sim built with ThreadSanitizer in its serving mode, with a serial modem
# port in its hive (whose adapter runs on a thread of its own): waits for the sockets,
# sends management requests to the adapter's device and an AT command to the modem
# meanwhile, stops it with SIGTERM. Fails on a ThreadSanitizer report (status 66), a
# request not answered, or any other unclean end.
set -euo pipefail
sim=${1:?usage: tsan-serve.sh VORNET-SIM}
cd "$(dirname "$0")/.."
root=$(mktemp -d /tmp/vornet-tsan-XXXXXX)
trap 'rm -rf "$root"' EXIT
config="$root/config.reg"
cat configs/default.reg >"$config"
cat >>"$config" <<'REG'

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\zelCOM\Parameters]
"ZELPortCount"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\zelCOM\Parameters\Port1]
"ShadowDeviceName"="COM9"
REG
mkdir "$root/run"
TSAN_OPTIONS="halt_on_error=1 exitcode=66" "$sim" --config "$config" --serve --root "$root/run" --json \
    >"$root/summary.json" 2>"$root/stderr" &
pid=$!
for _ in $(seq 400); do
    [ -S "$root/run/VORNET1" ] && [ -S "$root/run/COM9" ] && break
    sleep 0.05
done
sleep 1
status=0
python3 - "$root/run" <<'PY' || status=$?
import socket, struct, sys, time
root = sys.argv[1]
# The adapter's device: open it, then management requests.
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(root + "/VORNET1")
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
# The serial modem port: an AT command answered OK.
p = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
p.connect(root + "/COM9")
p.settimeout(10)
p.send(struct.pack("<5I", 0x50534E56, 1, 0, 0, 4) + b"AT\r\n")
text = b""
deadline = time.time() + 10
while b"OK" not in text and time.time() < deadline:
    d = p.recv(8192)
    magic, kind, tag, value, n = struct.unpack("<5I", d[:20])
    if kind == 1:
        text += d[20:20 + n]
assert b"OK" in text, text
p.close()
PY
sleep 1
kill -TERM "$pid"
wait "$pid" || status=$?
if [ "$status" -ne 0 ] || ! grep -q '"halted_clean": true' "$root/summary.json"; then
    cat "$root/stderr" >&2
    echo "vornet-sim --serve under ThreadSanitizer ended with status $status" >&2
    exit 1
fi
echo "vornet-sim --serve: clean"

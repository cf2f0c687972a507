#!/usr/bin/env bash
# The demo behind ./run demo: tarnel-sim on a free loopback port, a key store
# in a temporary directory, and tarnelctl through capacity, create, export,
# drives, a create the simulator fails twice, and doctor, printing each
# result.
#
#   tools/demo.sh BUILD_DIR     (BUILD_DIR holds tarnelctl and tarnel-sim)
#
# It writes only into one temporary directory, removed at the end with the
# simulator stopped. The library runs the drive helper from the fixed path
# /opt/kestrix/Bayhold/rkspmhelper.py, so drives and doctor run in a private
# mount namespace with a tmpfs over /opt that holds our reference helper;
# the real /opt is never touched. The library's fixed endpoint <host>:8080
# is routed to the simulator with TARNEL_CONNECT_TO.
set -euo pipefail

BUILD=$(cd "${1:?usage: tools/demo.sh BUILD_DIR}" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
TARNELCTL=$BUILD/tools/tarnelctl/tarnelctl
SIM=$BUILD/tools/tarnel-sim/tarnel-sim
HELPER=$ROOT/tools/rkspmhelper/rkspmhelper.py
for f in "$TARNELCTL" "$SIM"; do
  [ -x "$f" ] || { echo "demo: $f is missing; build first" >&2; exit 1; }
done

. "$ROOT/tools/sim_scratch.sh"
scratch_open tarnel-demo

if [ -t 1 ]; then
  say() { printf '\n\033[1m$ %s\033[0m\n' "$*"; }
else
  say() { printf '\n$ %s\n' "$*"; }
fi
note() { printf '# %s\n' "$*"; }

note "starting tarnel-sim (cluster demo-cluster, 12.5 TB) on a free loopback port"
# The cluster's password ($password) is known to the simulator (config file,
# mode 0600) and to the node's key store (encrypted with the node's serial
# number). It is never put on a command line.
umask 077
sim_start "$SIM" demo-cluster || exit 1
note "tarnel-sim listens on 127.0.0.1:$port"

note "TARNEL_KEYSTORE=\$TMP/keystore.conf  TARNEL_LOG_DIR=\$TMP/log"
note "TARNEL_CONNECT_TO=$TARNEL_CONNECT_TO"

say "tarnelctl keystore set-cluster demo-cluster"
"$TARNELCTL" keystore set-cluster demo-cluster
say "tarnelctl keystore set-serial DEMO-SN-0042"
"$TARNELCTL" keystore set-serial DEMO-SN-0042
say "tarnelctl keystore set-password   (password on stdin)"
printf '%s\n' "$password" | "$TARNELCTL" keystore set-password
note "the key store now holds:"
sed 's/^\(sTarnelCID=v1\$[0-9]*\$\).*/\1<salt|iv|ciphertext|tag, base64>/' "$TARNEL_KEYSTORE"

say "tarnelctl capacity"
"$TARNELCTL" capacity
say "tarnelctl create demo-disk"
"$TARNELCTL" create demo-disk
say "tarnelctl export demo-disk"
"$TARNELCTL" export demo-disk
say "tarnelctl --json capacity"
"$TARNELCTL" --json capacity

say "tarnelctl --json create demo-disk --exist-ok   (again: the disk is there, nothing changed)"
"$TARNELCTL" --json create demo-disk --exist-ok

# tarnelctl ARGS... in a private mount namespace: a tmpfs over /opt holding
# our helper at the library's fixed path. Nothing outside the namespace sees
# it.
if unshare --mount --propagation private true 2>/dev/null; then
  namespace=(unshare --mount --propagation private)
elif unshare --user --map-root-user --mount true 2>/dev/null; then
  namespace=(unshare --user --map-root-user --mount)
else
  namespace=()
fi
with_helper() {
  "${namespace[@]}" /bin/sh -c '
    mount -t tmpfs -o mode=0755 tarnel-demo /opt &&
    mkdir -p /opt/kestrix/Bayhold &&
    cp "$DEMO_HELPER" /opt/kestrix/Bayhold/rkspmhelper.py &&
    chmod 0755 /opt/kestrix/Bayhold/rkspmhelper.py &&
    exec "$DEMO_TARNELCTL" "$@"' sh "$@"
}
export DEMO_HELPER=$HELPER DEMO_TARNELCTL=$TARNELCTL

say "tarnelctl drives"
if [ ${#namespace[@]} -gt 0 ]; then
  with_helper drives
else
  note "skipped: no private mount namespace available (needs root or user namespaces)"
fi
note "(the reference helper leaves out the disks that hold /, /boot or swap)"

say "tarnelctl -v create demo-disk-2   (the simulator fails the next 2 AddVirtualDisk)"
python3 - "$port" <<'PY'
import json, sys, urllib.request
rule = {"action": "fault", "request": "AddVirtualDisk", "fault": "status", "status": 503, "times": 2}
request = urllib.request.Request(f"http://127.0.0.1:{sys.argv[1]}/control", json.dumps(rule).encode(),
                                 {"Content-Type": "application/json"})
urllib.request.urlopen(request, timeout=10).read()
PY
note "retry pauses of 5 and 10 s scaled by TARNEL_SLEEP_SCALE=0.1; -v shows the log lines as they happen"
TARNEL_SLEEP_SCALE=0.1 "$TARNELCTL" -v create demo-disk-2 2>&1

say "what tarnel-sim received (GET /state, passwords redacted)"
python3 - "$port" <<'PY'
import json, sys, urllib.request
with urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/state", timeout=10) as reply:
    state = json.load(reply)
for entry in state["requests"]:
    print(f'{entry["method"]:4} {entry["status"]} {entry["text"]}')
print("disks: ", ", ".join(f'{d["name"]} ({d["size"]["value"]} {d["size"]["unit"]})' for d in state["disks"]))
print("mounts:", ", ".join(f'{m["virtualDisk"]} -> {m["target"]}' for m in state["mounts"]))
PY

say "tarnelctl doctor"
status=0
if [ ${#namespace[@]} -gt 0 ]; then
  with_helper doctor || status=$?
else
  note "no private mount namespace: the drive helper is missing at its fixed path"
  "$TARNELCTL" doctor || status=$?
fi
note "doctor exited with $status"

printf '\n'
note "the library wrote $(wc -l <"$TARNEL_LOG_DIR/RKTarnel.log") lines to \$TMP/log/RKTarnel.log"
note "stopping tarnel-sim and removing $work"

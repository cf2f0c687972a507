#!/usr/bin/env bash
# The Ansible stage of ./run test: the collection tarnel.node built and
# installed into a scratch directory, and its playbooks run by ansible-core
# against the three simulated nodes of inventory.yml (connection local), each
# with its own tarnel-sim on a free loopback port and its own key store;
# node3's password is not its simulator's. It checks the play recaps of the
# default stdout callback and the simulators' state:
#   1. check mode first: every task "would" change, no simulator gets a disk
#      or a mount;
#   2. the first run creates and exports on node1 and node2, node3 fails with
#      login_refused;
#   3. the second run changes nothing anywhere, and the disks and mounts stay;
#   4. the facts (facts.yml asserts them against the simulators' capacity and
#      the drives the test's helper lists, served at the library's fixed
#      path in a private mount namespace; without one, their failure);
#   5. ansible-doc renders every module.
#
#   ansible/tests/run_playbooks.sh BUILD_DIR   (BUILD_DIR holds tarnelctl and tarnel-sim)
#
# Everything goes into one temporary directory (ANSIBLE_HOME included),
# removed with the simulators stopped however the script ends.
set -euo pipefail
BUILD=$(cd "${1:?usage: run_playbooks.sh BUILD_DIR}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
export TARNELCTL=$BUILD/tools/tarnelctl/tarnelctl
SIM=$BUILD/tools/tarnel-sim/tarnel-sim
for f in "$TARNELCTL" "$SIM"; do
  [ -x "$f" ] || { echo "run_playbooks: $f is missing; build it first" >&2; exit 1; }
done
started=$(date +%s)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-ansible.XXXXXX")
sim_pids=()
cleanup() {
  local pid
  for pid in ${sim_pids[@]+"${sim_pids[@]}"}; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in ${sim_pids[@]+"${sim_pids[@]}"}; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# If this shell is killed outright (no trap runs), the simulators and the
# directory go all the same.
(
  trap '' INT TERM HUP
  tail --pid=$$ -f /dev/null
  cat "$scratch"/*/sim.pid 2>/dev/null | xargs -r kill -KILL 2>/dev/null
  rm -rf "$scratch"
) </dev/null >/dev/null 2>&1 &

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

export LC_ALL=C.UTF-8
export TARNEL_ANSIBLE_SCRATCH=$scratch
export ANSIBLE_CONFIG=$scratch/ansible.cfg ANSIBLE_HOME=$scratch/ansible-home
export ANSIBLE_LOCAL_TEMP=$scratch/ansible-home/tmp ANSIBLE_REMOTE_TMP=$scratch/ansible-home/remote
export ANSIBLE_COLLECTIONS_PATH=$scratch/collections ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=false
export ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=false
touch "$ANSIBLE_CONFIG"
inventory=$HERE/inventory.yml

# ---- the simulated nodes ----------------------------------------------------
# Each node's directory: sim.json (cluster, capacity, the user's password),
# password (the one its key store gets), drives, log/, and once started,
# sim.pid and port.
ansible-inventory -i "$inventory" --list >"$scratch/inventory.json"
mapfile -t nodes < <(python3 - "$scratch" <<'PY'
import json, os, secrets, sys
scratch = sys.argv[1]
hostvars = json.load(open(os.path.join(scratch, "inventory.json")))["_meta"]["hostvars"]
for node, v in sorted(hostvars.items()):
    path = os.path.join(scratch, node)
    os.makedirs(os.path.join(path, "log"))
    password = "pw-" + secrets.token_hex(8)
    users = {"TarnelAdmin": password}
    config = {"cluster": v["tarnel_cluster"], "capacity": v["sim_capacity"], "users": users}
    given = "not-" + password if v.get("wrong_password") else password
    for name, text in (("sim.json", json.dumps(config)), ("password", given),
                       ("drives", "".join(line + "\n" for line in v["sim_drives"]))):
        with open(os.open(os.path.join(path, name), os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            f.write(text)
    print(node)
PY
)
[ ${#nodes[@]} -eq 3 ] || fail "the inventory has ${#nodes[@]} nodes, not 3"

for node in "${nodes[@]}"; do
  dir=$scratch/$node
  "$SIM" --config "$dir/sim.json" --port 0 >"$dir/sim.out" 2>"$dir/sim.err" &
  sim_pids+=($!)
  echo $! >"$dir/sim.pid"
done
for node in "${nodes[@]}"; do
  dir=$scratch/$node
  for _ in $(seq 1 400); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$dir/sim.out")
    [ -n "$port" ] && break
    kill -0 "$(cat "$dir/sim.pid")" 2>/dev/null || break
    sleep 0.05
  done
  [ -n "$port" ] || { cat "$dir/sim.err" >&2; fail "tarnel-sim of $node did not start"; }
  echo "$port" >"$dir/port"
done

# NODE: "disks=A,B mounts=A->HOST,..." from its simulator's /state.
sim_disks() {
  python3 - "$(cat "$scratch/$1/port")" <<'PY'
import json, sys, urllib.request
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
with opener.open(f"http://127.0.0.1:{sys.argv[1]}/state", timeout=10) as reply:
    state = json.load(reply)
disks = sorted(d["name"] for d in state["disks"])
mounts = sorted(f'{m["virtualDisk"]}->{m["target"]}' for m in state["mounts"])
print(f'disks={",".join(disks)} mounts={",".join(mounts)}')
PY
}

# expect_disks NODE STATE: the simulator's disks and mounts are STATE.
expect_disks() {
  local now
  now=$(sim_disks "$1")
  [ "$now" = "$2" ] || fail "$1's simulator holds '$now', not '$2'"
}

# ---- the collection ---------------------------------------------------------
ansible-galaxy collection build "$HERE/.." --output-path "$scratch/dist" >"$scratch/build.log" 2>&1 ||
  { cat "$scratch/build.log" >&2; fail "ansible-galaxy collection build"; }
ansible-galaxy collection install --offline -p "$ANSIBLE_COLLECTIONS_PATH" "$scratch"/dist/*.tar.gz \
  >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log" >&2; fail "ansible-galaxy collection install"; }
echo "collection $(basename "$scratch"/dist/*.tar.gz) built and installed"

# ---- the playbooks ----------------------------------------------------------
# playbook NAME PLAYBOOK [ARGS...]: its output in $scratch/NAME.log, and the
# PLAY RECAP lines shown.
playbook() {
  local name=$1 book=$2
  shift 2
  ${in_namespace[@]+"${in_namespace[@]}"} ansible-playbook -i "$inventory" "$HERE/playbooks/$book" "$@" \
    >"$scratch/$name.log" 2>&1 || true
  echo "$name: PLAY RECAP"
  sed -n '/^PLAY RECAP/,$p' "$scratch/$name.log" | sed -n 's/^\(node[0-9]\) *: /  \1 : /p' | tr -s ' '
  grep -q '^PLAY RECAP' "$scratch/$name.log" || { cat "$scratch/$name.log" >&2; fail "$name: no PLAY RECAP"; }
}

# expect_recap NAME NODE FIELD=VALUE...: the node's recap line of run NAME.
expect_recap() {
  local name=$1 node=$2 line field
  shift 2
  line=" $(sed -n "/^PLAY RECAP/,\$s/^$node *: //p" "$scratch/$name.log" | tr -s ' ' | sed 's/ $//') "
  for field in "$@"; do
    [[ $line == *" $field "* ]] || { cat "$scratch/$name.log" >&2; fail "$name: $node's recap is$line, not $field"; }
  done
}

host=$(uname -n)
exported="disks=vd-backup-01 mounts=vd-backup-01->$host"
in_namespace=()

playbook check site.yml --check -v
for node in node1 node2 node3; do
  expect_recap check "$node" ok=2 changed=2 failed=0
  expect_disks "$node" "disks= mounts="
done
grep -q '"msg": "would create vd-backup-01 if absent; would export it"' "$scratch/check.log" ||
  fail "check mode: no 'would create vd-backup-01 if absent'"

playbook first site.yml
for node in node1 node2; do
  expect_recap first "$node" ok=2 changed=2 failed=0
  expect_disks "$node" "$exported"
done
expect_recap first node3 ok=1 changed=1 failed=1
expect_disks node3 "disks= mounts="
failure=$(sed -n 's/^fatal: \[node3\]: FAILED! => .*"msg": \(".*"\)}$/\1/p' "$scratch/first.log")
echo "  node3's failure: $failure"
[[ $failure == *"reason login_refused, HTTP 401"* ]] ||
  fail "node3's failure does not say login_refused, HTTP 401: $(grep -A3 '^fatal' "$scratch/first.log")"

playbook second site.yml
for node in node1 node2; do
  expect_recap second "$node" ok=2 changed=0 failed=0
  expect_disks "$node" "$exported"
done
expect_recap second node3 ok=1 changed=0 failed=1
expect_disks node3 "disks= mounts="

# The drive helper at the library's fixed path, in a private mount namespace
# (a tmpfs over /opt there; the real /opt is never touched): it prints the
# drives file named by the node's environment.
helper=$scratch/drive-helper
printf '#!/bin/sh\nexec cat "$NODE_DRIVES"\n' >"$helper"
served=(/bin/sh -c 'mount -t tmpfs -o mode=0755 tarnel-ansible /opt &&
  mkdir -p /opt/kestrix/Bayhold && cp "$0" /opt/kestrix/Bayhold/rkspmhelper.py &&
  chmod 0755 /opt/kestrix/Bayhold/rkspmhelper.py && exec "$@"' "$helper")
if unshare --mount --propagation private true 2>/dev/null; then
  in_namespace=(unshare --mount --propagation private "${served[@]}")
  playbook facts facts.yml
elif unshare --user --map-root-user --mount true 2>/dev/null; then
  in_namespace=(unshare --user --map-root-user --mount "${served[@]}")
  playbook facts facts.yml
else
  echo "facts: no private mount namespace (needs root or user namespaces): the drives are not served"
  in_namespace=()
  playbook facts facts.yml -e helper_served=false
fi
for node in node1 node2 node3; do expect_recap facts "$node" ok=3 changed=0 failed=0 skipped=2; done

for module in tarnel_vdisk tarnel_keystore tarnel_facts; do
  ansible-doc -t module "tarnel.node.$module" >"$scratch/doc.txt" 2>&1 ||
    { cat "$scratch/doc.txt" >&2; fail "ansible-doc tarnel.node.$module"; }
  for section in OPTIONS EXAMPLES: 'RETURN VALUES:'; do
    grep -q "^$section" "$scratch/doc.txt" || { cat "$scratch/doc.txt" >&2; fail "ansible-doc $module: no $section"; }
  done
done
echo "ansible-doc renders tarnel_vdisk, tarnel_keystore, tarnel_facts"
echo "Ansible stage: check mode, first and second run, facts, docs: ok in $(( $(date +%s) - started )) s"

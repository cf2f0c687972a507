#!/usr/bin/env bash
# The Ansible stage of ./run test: the collection built and installed into a
# scratch directory, then its playbooks against the three nodes of
# inventory.yml, each with its own tarnel-sim (free loopback port) and key
# store; node3's password is not its simulator's. Checked from the play
# recaps and the simulators' state: check mode creates nothing; the first run
# creates and exports on node1 and node2 while node3 fails with
# login_refused; the second run changes nothing; the facts match the
# simulators and the drives of the test's helper (served at the library's
# fixed path in a private mount namespace when one can be made); ansible-doc
# renders every module.
#
#   ansible/tests/run_playbooks.sh BUILD_DIR   (BUILD_DIR holds tarnelctl and tarnel-sim)
#
# The simulators stop and the scratch directory goes however the script ends.
set -euo pipefail
BUILD=$(cd "${1:?usage: run_playbooks.sh BUILD_DIR}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
export TARNELCTL=$BUILD/tools/tarnelctl/tarnelctl
SIM=$BUILD/tools/tarnel-sim/tarnel-sim
started=$(date +%s)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-ansible.XXXXXX")
sim_pids=()
cleanup() {
  local pid
  for pid in ${sim_pids[@]+"${sim_pids[@]}"}; do kill -TERM "$pid" 2>/dev/null && wait "$pid" || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Should this shell be killed outright, no trap runs: this watcher cleans up.
(
  trap '' INT TERM HUP
  tail --pid=$$ -f /dev/null
  cat "$scratch"/*/sim.pid 2>/dev/null | xargs -r kill -KILL
  rm -rf "$scratch"
) </dev/null >/dev/null 2>&1 &
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

export LC_ALL=C.UTF-8 TARNEL_ANSIBLE_SCRATCH=$scratch
export ANSIBLE_CONFIG=$scratch/ansible.cfg ANSIBLE_HOME=$scratch/ansible-home
export ANSIBLE_LOCAL_TEMP=$ANSIBLE_HOME/tmp ANSIBLE_REMOTE_TMP=$ANSIBLE_HOME/remote
export ANSIBLE_COLLECTIONS_PATH=$scratch/collections ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=false
export ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_NOCOLOR=1
touch "$ANSIBLE_CONFIG"
inventory=$HERE/inventory.yml

# Each node's directory: sim.json (cluster, capacity, the user's password),
# password (what its key store gets), drives, log/, sim.pid, port.
ansible-inventory -i "$inventory" --list >"$scratch/inventory.json"
python3 - "$scratch" <<'PY'
import json, os, secrets, sys
scratch = sys.argv[1]
for node, v in json.load(open(scratch + "/inventory.json"))["_meta"]["hostvars"].items():
    os.makedirs(f"{scratch}/{node}/log")
    password = secrets.token_hex(8)
    files = {"sim.json": json.dumps({"cluster": v["tarnel_cluster"], "capacity": v["sim_capacity"],
                                     "users": {"TarnelAdmin": password}}),
             "password": "wrong-" + password if v["wrong_password"] else password,
             "drives": "".join(line + "\n" for line in v["sim_drives"])}
    for name, text in files.items():
        with open(os.open(f"{scratch}/{node}/{name}", os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            f.write(text)
PY
nodes=(node1 node2 node3)
for node in "${nodes[@]}"; do
  dir=$scratch/$node
  "$SIM" --config "$dir/sim.json" --port 0 >"$dir/sim.out" 2>"$dir/sim.err" &
  sim_pids+=($!)
  echo $! >"$dir/sim.pid"
  port=""
  for _ in $(seq 1 400); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$dir/sim.out")
    [ -n "$port" ] || ! kill -0 "${sim_pids[-1]}" 2>/dev/null && break
    sleep 0.05
  done
  [ -n "$port" ] || { cat "$dir/sim.err" >&2; fail "tarnel-sim of $node did not start"; }
  echo "$port" >"$dir/port"
done

# expect_disks NODE STATE: its simulator's disks and mounts are STATE
# ("disks=A,B mounts=A->HOST").
expect_disks() {
  local now
  now=$(python3 - "$(cat "$scratch/$1/port")" <<'PY'
import json, sys, urllib.request
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
state = json.load(opener.open(f"http://127.0.0.1:{sys.argv[1]}/state", timeout=10))
print("disks=" + ",".join(sorted(d["name"] for d in state["disks"])) + " mounts=" +
      ",".join(sorted(m["virtualDisk"] + "->" + m["target"] for m in state["mounts"])))
PY
  )
  [ "$now" = "$2" ] || fail "$1's simulator holds '$now', not '$2'"
}

ansible-galaxy collection build "$HERE/.." --output-path "$scratch/dist" >"$scratch/build.log" 2>&1 &&
  ansible-galaxy collection install --offline -p "$ANSIBLE_COLLECTIONS_PATH" "$scratch"/dist/*.tar.gz \
    >>"$scratch/build.log" 2>&1 || { cat "$scratch/build.log" >&2; fail "building or installing the collection"; }
echo "collection $(basename "$scratch"/dist/*.tar.gz) built and installed"

# playbook RUN PLAYBOOK [ARGS...]: its output in $scratch/RUN.log; shows the
# PLAY RECAP lines.
playbook() {
  local run=$1 book=$2
  shift 2
  ${in_namespace[@]+"${in_namespace[@]}"} ansible-playbook -i "$inventory" "$HERE/playbooks/$book" "$@" \
    >"$scratch/$run.log" 2>&1 || true
  grep -q '^PLAY RECAP' "$scratch/$run.log" || { cat "$scratch/$run.log" >&2; fail "$run: no PLAY RECAP"; }
  echo "$run: PLAY RECAP"
  sed -n '/^PLAY RECAP/,$s/^\(node[0-9]\) *: /  \1 : /p' "$scratch/$run.log" | tr -s ' '
}

# expect_recap RUN NODE FIELD=VALUE...: in the node's recap line of RUN.
expect_recap() {
  local run=$1 node=$2 line field
  shift 2
  line=" $(sed -n "/^PLAY RECAP/,\$s/^$node *: //p" "$scratch/$run.log" | tr -s ' ') "
  for field in "$@"; do
    [[ $line == *" $field "* ]] || { cat "$scratch/$run.log" >&2; fail "$run: $node's recap is$line"; }
  done
}

exported="disks=vd-backup-01 mounts=vd-backup-01->$(uname -n)"
in_namespace=()
playbook check site.yml --check -v
for node in "${nodes[@]}"; do
  expect_recap check "$node" ok=2 changed=2 failed=0
  expect_disks "$node" "disks= mounts="
done
grep -q '"msg": "would create vd-backup-01 if absent; would export it"' "$scratch/check.log" ||
  fail "check mode did not say 'would create vd-backup-01 if absent'"

for run in first second; do
  playbook "$run" site.yml
  changed=$([ "$run" = first ] && echo 1 || echo 0)
  for node in node1 node2; do
    expect_recap "$run" "$node" ok=2 "changed=$((2 * changed))" failed=0
    expect_disks "$node" "$exported"
  done
  expect_recap "$run" node3 ok=1 "changed=$changed" failed=1
  expect_disks node3 "disks= mounts="
  failure=$(sed -n 's/^fatal: \[node3\]: FAILED! => .*"msg": \(".*"\)}$/\1/p' "$scratch/$run.log")
  echo "  node3's failure: $failure"
  [[ $failure == *"reason login_refused, HTTP 401"* ]] || fail "$run: node3's failure: $failure"
done

# In a private mount namespace, a tmpfs over /opt holds at the library's
# fixed path a drive helper that prints the drives file the node's
# environment names; the real /opt is never touched.
printf '#!/bin/sh\nexec cat "$NODE_DRIVES"\n' >"$scratch/drive-helper"
facts_options=()
if unshare --mount --propagation private true 2>/dev/null; then
  in_namespace=(unshare --mount --propagation private /bin/sh -c 'helper=/opt/kestrix/Bayhold/rkspmhelper.py &&
    mount -t tmpfs -o mode=0755 tarnel-ansible /opt && mkdir -p "${helper%/*}" &&
    cp "$0" "$helper" && chmod 0755 "$helper" && exec "$@"' "$scratch/drive-helper")
else
  echo "facts: no private mount namespace (needs root): the drive helper is not served"
  facts_options=(-e helper_served=false)
fi
playbook facts facts.yml ${facts_options[@]+"${facts_options[@]}"}
for node in "${nodes[@]}"; do expect_recap facts "$node" ok=3 changed=0 failed=0 skipped=1; done

for module in tarnel_vdisk tarnel_keystore tarnel_facts; do
  ansible-doc -t module "tarnel.node.$module" >"$scratch/doc.txt" 2>&1 &&
    grep -q '^OPTIONS' "$scratch/doc.txt" && grep -q '^EXAMPLES:' "$scratch/doc.txt" &&
    grep -q '^RETURN VALUES:' "$scratch/doc.txt" || { cat "$scratch/doc.txt" >&2; fail "ansible-doc $module"; }
done
echo "ansible-doc renders tarnel_vdisk, tarnel_keystore, tarnel_facts"
echo "Ansible stage: check mode, first and second run, facts, docs: ok in $(($(date +%s) - started)) s"

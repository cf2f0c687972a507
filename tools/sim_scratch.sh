# Shared steps of the scripts that run tarnel-sim for a while (the demo, the
# soak, the packaging tests). Sourced, never run.
#
# scratch_open NAME
#   $work becomes a fresh temporary directory. On exit (or INT/TERM) the
#   simulator that sim_start started is stopped and $work removed; if the
#   shell is killed (SIGKILL: no trap runs), a watcher does the same.
# sim_start SIM CLUSTER
#   Writes a simulator config for CLUSTER (12.5 TB) whose user TarnelAdmin
#   has a fresh random password ($password; kept off every command line),
#   starts SIM on a free loopback port ($sim_pid, $port) and waits for it;
#   returns 1 with the simulator's errors on stderr if it does not start.
#   Then points the library at it and at $work: TARNEL_KEYSTORE,
#   TARNEL_LOG_DIR (created) and TARNEL_CONNECT_TO.

scratch_open() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  sim_pid=""
  trap scratch_close EXIT
  trap 'exit 130' INT TERM
  # Waits for this shell to end; finds $work gone unless no trap ran.
  (
    trap '' INT TERM HUP
    tail --pid=$$ -f /dev/null
    if [ -s "$work/sim.pid" ]; then kill -KILL "$(cat "$work/sim.pid")" || true; fi
    rm -rf "$work"
  ) </dev/null >/dev/null 2>&1 &
}

scratch_close() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}

sim_start() {
  local sim=$1 cluster=$2
  password="$cluster-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
  (umask 077 && cat >"$work/sim.json" <<JSON
{"cluster": "$cluster",
 "capacity": {"units": "TB", "value": 12.5},
 "users": {"TarnelAdmin": "$password"}}
JSON
  )
  "$sim" --config "$work/sim.json" --port 0 >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  echo "$sim_pid" >"$work/sim.pid"
  port=""
  for _ in $(seq 1 400); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/sim.out")
    [ -n "$port" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  if [ -z "$port" ]; then
    echo "tarnel-sim did not start:" >&2
    cat "$work/sim.err" >&2
    return 1
  fi
  export TARNEL_KEYSTORE=$work/keystore.conf
  export TARNEL_LOG_DIR=$work/log
  export TARNEL_CONNECT_TO="$(uname -n):8080:127.0.0.1:$port"
  mkdir -p "$TARNEL_LOG_DIR"
}

#!/usr/bin/env bash
# tarnel-sim-scratch: runs a command against tarnel-sim with a scratch key
# store, for the integration tests of host programs (installed under that
# name by the tarnel-sim package; see `tarnel-sim-scratch --help`).
#
# Sourced (by the demo, the soak and the packaging tests), it runs nothing
# and provides its steps:
#
# scratch_open NAME
#   $work becomes a fresh temporary directory. On exit (or INT/TERM) the
#   simulator that sim_start started is stopped and $work removed; if the
#   shell is killed (SIGKILL: no trap runs), a watcher does the same.
# sim_start SIM CLUSTER
#   Writes a simulator config for CLUSTER ($sim_capacity_value
#   $sim_capacity_units, 12.5 TB unless set) whose user TarnelAdmin has a
#   fresh random password ($password; kept off every command line), starts
#   SIM on a free loopback port ($sim_pid, $port) with the options in the
#   array $sim_options (if set) and waits for it; returns 1 with the
#   simulator's errors on stderr if it does not start. Then points the
#   library at it and at $work: TARNEL_KEYSTORE, TARNEL_LOG_DIR (created)
#   and TARNEL_CONNECT_TO.
# scratch_provision TARNELCTL CLUSTER SERIAL
#   Writes the key store through `TARNELCTL keystore`: the cluster name, the
#   serial number and $password encrypted with it. Returns 1 on a failure.

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

# A JSON string's contents: backslash and quote escaped. The callers'
# values hold no control characters.
scratch_json_escape() {
  local text=${1//\\/\\\\}
  printf '%s' "${text//\"/\\\"}"
}

sim_start() {
  local sim=$1 cluster=$2
  password="$cluster-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
  (umask 077 && cat >"$work/sim.json" <<JSON
{"cluster": "$(scratch_json_escape "$cluster")",
 "capacity": {"units": "${sim_capacity_units:-TB}", "value": ${sim_capacity_value:-12.5}},
 "users": {"TarnelAdmin": "$(scratch_json_escape "$password")"}}
JSON
  )
  "$sim" --config "$work/sim.json" --port 0 ${sim_options[@]+"${sim_options[@]}"} \
    >"$work/sim.out" 2>"$work/sim.err" &
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

scratch_provision() {
  local tarnelctl=$1 cluster=$2 serial=$3
  "$tarnelctl" keystore set-cluster "$cluster" >/dev/null &&
    "$tarnelctl" keystore set-serial "$serial" >/dev/null &&
    printf '%s\n' "$password" | "$tarnelctl" keystore set-password >/dev/null
}

# ---- the command ------------------------------------------------------------

scratch_version="@TARNEL_VERSION@"
scratch_me=tarnel-sim-scratch
# The exit status of a failure of our own (usage, set-up), as env(1) has it.
scratch_failed=125

scratch_usage() {
  cat <<USAGE
Usage: $scratch_me [OPTIONS] -- COMMAND [ARG...]
Run COMMAND against a cluster simulator with a scratch key store: for the
integration tests of programs that use libtarnel.

$scratch_me starts tarnel-sim on a free port of 127.0.0.1 with a cluster
whose user TarnelAdmin has a fresh random password, writes a key store with
the cluster name, the serial number and that password encrypted with the
serial (tarnelctl keystore), and runs COMMAND with the environment below.
When COMMAND ends, or $scratch_me is interrupted, the simulator is stopped
and the scratch directory removed. Its exit status is COMMAND's.

Options:
  --cluster NAME        cluster name (default: scratch-cluster)
  --serial SERIAL       the node's serial number (default: SCRATCH-SN-0001)
  --capacity SIZE       the cluster's total capacity, a number and a unit
                        (B, KB, MB, GB, TB, PB, KiB .. PiB; default: 12.5TB)
  --sleep-scale FACTOR  TARNEL_SLEEP_SCALE for COMMAND: a factor on the
                        library's retry pauses (default: 0.01)
  --sim-option OPTION   pass OPTION to tarnel-sim (repeatable), e.g.
                        --sim-option=--fault=AddVirtualDisk:status=503,times=2
  --tarnel-sim PATH     the simulator (default: tarnel-sim beside this
                        command, else from PATH)
  --tarnelctl PATH      the tool that writes the key store (default:
                        tarnelctl beside this command, else from PATH)
  --keep                keep the scratch directory (its path goes to stderr)
  -h, --help            print this help and exit
  --version             print the version and exit

Environment of COMMAND:
  TARNEL_KEYSTORE       the scratch key store
  TARNEL_LOG_DIR        the scratch log directory (RKTarnel.log)
  TARNEL_CONNECT_TO     routes the library's endpoint <host name>:8080 to the
                        simulator
  TARNEL_SLEEP_SCALE    see --sleep-scale
  TARNEL_SIM_PORT       the simulator's port, for its /state and /control
                        endpoints (see tarnel-sim --help)

Exit status: COMMAND's (128 + N when it ends by signal N); 125 for a usage
error or a simulator or key store that could not be set up; 126 when COMMAND
cannot be run, 127 when it is not found.
USAGE
}

scratch_die() {
  echo "$scratch_me: $*" >&2
  exit "$scratch_failed"
}

# A program: PATH if given, else NAME beside this command, else from PATH.
scratch_find_tool() {
  local given=$1 name=$2 here
  if [ -n "$given" ]; then
    [ -f "$given" ] && [ -x "$given" ] || scratch_die "$given is not an executable file"
    printf '%s\n' "$given"
    return
  fi
  here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
  if [ -f "$here/$name" ] && [ -x "$here/$name" ]; then
    printf '%s\n' "$here/$name"
  elif command -v "$name" >/dev/null; then
    command -v "$name"
  else
    scratch_die "$name not found (give its path with --$name)"
  fi
}

scratch_main() {
  local cluster=scratch-cluster serial=SCRATCH-SN-0001 capacity=12.5TB scale=0.01
  local sim="" ctl="" keep=0 option value mask
  sim_options=()
  while [ $# -gt 0 ]; do
    option=$1
    case "$option" in
      --) shift; break ;;
      -h | --help) scratch_usage; exit 0 ;;
      --version) echo "$scratch_me $scratch_version"; exit 0 ;;
      --keep) keep=1; shift; continue ;;
      --*=*) value=${option#*=}; option=${option%%=*}; shift ;;
      --cluster | --serial | --capacity | --sleep-scale | --sim-option | --tarnel-sim | --tarnelctl)
        [ $# -ge 2 ] || scratch_die "$option needs a value"
        value=$2; shift 2 ;;
      *) scratch_die "unknown option '$option' (COMMAND follows --; see --help)" ;;
    esac
    case "$option" in
      --cluster) cluster=$value ;;
      --serial) serial=$value ;;
      --capacity) capacity=$value ;;
      --sleep-scale) scale=$value ;;
      --sim-option) sim_options+=("$value") ;;
      --tarnel-sim) sim=$value ;;
      --tarnelctl) ctl=$value ;;
      *) scratch_die "unknown option '$option' (see --help)" ;;
    esac
  done
  [ $# -gt 0 ] || scratch_die "no COMMAND given (usage: $scratch_me [OPTIONS] -- COMMAND [ARG...])"
  [[ $capacity =~ ^([0-9]+(\.[0-9]+)?)([A-Za-z]+)$ ]] ||
    scratch_die "--capacity: '$capacity' is not a number and a unit, e.g. 12.5TB"
  sim_capacity_value=${BASH_REMATCH[1]}
  sim_capacity_units=${BASH_REMATCH[3]}
  for value in "$cluster" "$serial"; do
    [ -n "$value" ] && [[ $value != *[[:cntrl:]]* ]] ||
      scratch_die "--cluster and --serial must be non-empty, without control characters"
  done
  sim=$(scratch_find_tool "$sim" tarnel-sim) || exit "$scratch_failed"
  ctl=$(scratch_find_tool "$ctl" tarnelctl) || exit "$scratch_failed"

  scratch_open "$scratch_me"
  if [ "$keep" -eq 1 ]; then
    trap 'kill -TERM "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null' EXIT
    echo "$scratch_me: scratch directory $work (kept)" >&2
  fi
  # The simulator's config and the key store hold the password: ours only.
  mask=$(umask)
  umask 077
  sim_start "$sim" "$cluster" || scratch_die "tarnel-sim could not be started"
  scratch_provision "$ctl" "$cluster" "$serial" || scratch_die "the key store could not be written"
  umask "$mask"
  export TARNEL_SLEEP_SCALE=$scale TARNEL_SIM_PORT=$port

  # COMMAND runs in the background so that a signal to us reaches it at once
  # and the clean-up follows; env restores the SIGINT and SIGQUIT that a
  # shell without job control ignores in background jobs, and <&0 keeps our
  # standard input.
  local child status signal
  env --default-signal=INT,QUIT -- "$@" <&0 &
  child=$!
  for signal in INT TERM HUP; do
    # shellcheck disable=SC2064  # the signal is fixed now, the child later
    trap "kill -$signal \$child 2>/dev/null" "$signal"
  done
  while :; do
    status=0
    wait "$child" || status=$?
    # A trapped signal ends the wait early; the child still runs then.
    kill -0 "$child" 2>/dev/null || break
  done
  exit "$status"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  scratch_main "$@"
fi

#!/usr/bin/env bash
# The soak behind ./run soak (not part of ./run test):
#   1. tarnel_soak: 10,000 create/export cycles against tarnel-sim, one
#      facade per thread, resident memory and open descriptors sampled
#      between batches; they must stay within 1% after the warm-up.
#   2. tarnelctl's whole flow (capacity, create, export, drives) against
#      tarnel-sim under Valgrind memcheck: any error or any definitely or
#      indirectly lost block fails the run (--error-exitcode).
#
#   bench/soak.sh BUILD_DIR
#
# Everything runs in one temporary directory, removed at the end with the
# simulator stopped. The drives step runs in a private mount namespace whose
# /opt holds the reference helper at the library's fixed path (as the demo
# does); without one it is left out.
set -euo pipefail

BUILD=$(cd "${1:?usage: bench/soak.sh BUILD_DIR}" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SOAK=$BUILD/bench/tarnel_soak
TARNELCTL=$BUILD/tools/tarnelctl/tarnelctl
SIM=$BUILD/tools/tarnel-sim/tarnel-sim
HELPER=$ROOT/tools/rkspmhelper/rkspmhelper.py
for f in "$SOAK" "$TARNELCTL" "$SIM"; do
  [ -x "$f" ] || { echo "soak: $f is missing; build first" >&2; exit 1; }
done

. "$ROOT/tools/sim_scratch.sh"
. "$ROOT/bench/mount_namespace.sh"
scratch_open tarnel-soak

status=0

echo "==> 1. create/export cycles (tarnel_soak)"
"$SOAK" --cycles 10000 --threads 4 --samples 50 --json "$BUILD/soak-results.json" || status=1

echo
echo "==> 2. tarnelctl under Valgrind memcheck"
umask 077
sim_start "$SIM" soak-cluster || exit 1
unset TARNEL_DEBUG_LEVEL TARNEL_LOG_STDERR
"$TARNELCTL" keystore set-cluster soak-cluster >/dev/null
"$TARNELCTL" keystore set-serial SOAK-SN-0042 >/dev/null
printf '%s\n' "$password" | "$TARNELCTL" keystore set-password >/dev/null

# Errors of any kind, and blocks definitely or indirectly lost, fail a run.
# Still-reachable blocks (libcurl's and OpenSSL's process-wide state, the
# log writer's sinks, which live until the process ends) are not leaks.
VALGRIND=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full
          --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect
          --track-origins=yes)
memcheck() {
  local name=$1
  shift
  local log=$work/memcheck-$name.log
  local rc=0
  "$@" >"$work/$name.out" 2>"$log" || rc=$?
  local summary
  summary=$(grep -E "ERROR SUMMARY|definitely lost|indirectly lost" "$log" | sed 's/^==[0-9]*== */    /')
  if [ "$rc" -eq 0 ]; then
    echo "tarnelctl $name: exit 0, memcheck clean"
  else
    echo "tarnelctl $name: exit $rc$([ "$rc" -eq 99 ] && echo ' (memcheck errors)')"
    cat "$log"
    status=1
  fi
  echo "$summary"
}
memcheck capacity "${VALGRIND[@]}" "$TARNELCTL" capacity
memcheck create "${VALGRIND[@]}" "$TARNELCTL" create soak-disk
memcheck export "${VALGRIND[@]}" "$TARNELCTL" export soak-disk

namespace=$(private_mount_namespace)
if [ -n "$namespace" ]; then
  export SOAK_HELPER=$HELPER
  # shellcheck disable=SC2016
  memcheck drives $namespace /bin/sh -c '
    mount -t tmpfs -o mode=0755 tarnel-soak /opt &&
    mkdir -p /opt/kestrix/Bayhold &&
    cp "$SOAK_HELPER" /opt/kestrix/Bayhold/rkspmhelper.py &&
    chmod 0755 /opt/kestrix/Bayhold/rkspmhelper.py &&
    exec "$@"' sh "${VALGRIND[@]}" "$TARNELCTL" drives
else
  echo "tarnelctl drives: skipped (no private mount namespace here)"
fi

echo
if [ "$status" -eq 0 ]; then echo "soak: passed"; else echo "soak: FAILED"; fi
exit "$status"

#!/usr/bin/env bash
# Runs the libFuzzer targets one after the other, each for SECONDS, and
# prints one line per target. Inputs that find new coverage go to a working
# corpus in BUILD_DIR/fuzz-corpus/<target> (seeded from fuzz/corpus/<target>,
# which is only read); a crash, leak or timeout is written to
# fuzz/artifacts/<target>/ and makes the script fail. Logs: BUILD_DIR/fuzz-logs/.
#
#   fuzz/run_fuzzers.sh BUILD_DIR SECONDS [TARGET...]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: run_fuzzers.sh BUILD_DIR SECONDS [TARGET...]}" && pwd)
SECONDS_EACH=${2:?usage: run_fuzzers.sh BUILD_DIR SECONDS [TARGET...]}
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(json_roundtrip drive_parser sim_request_text keystore_reader log_message)
case "$SECONDS_EACH" in
  ''|*[!0-9]*) echo "run_fuzzers: SECONDS must be a whole number" >&2; exit 2 ;;
esac

mkdir -p "$BUILD/fuzz-logs"
failed=0
for target in "${targets[@]}"; do
  binary=$BUILD/fuzz/$target
  [ -x "$binary" ] || { echo "run_fuzzers: $binary is missing; build first" >&2; exit 1; }
  corpus=$BUILD/fuzz-corpus/$target
  artifacts=$ROOT/fuzz/artifacts/$target
  log=$BUILD/fuzz-logs/$target.log
  mkdir -p "$corpus" "$artifacts"
  started=$(date +%s)
  status=0
  "$binary" -max_total_time="$SECONDS_EACH" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "$ROOT/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  elapsed=$(( $(date +%s) - started ))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
  if [ $status -eq 0 ]; then
    echo "$target: ${elapsed} s, ${runs:-?} runs, ${coverage:-cov: ?}, $(ls "$corpus" | wc -l) inputs in the working corpus, no finding"
  else
    failed=1
    echo "$target: FINDING after ${elapsed} s (exit $status); artifact in $artifacts, log $log"
    grep -E 'ERROR|runtime error|SUMMARY|^(json_roundtrip|drive_parser|sim_request_text|keystore_reader|log_message):' "$log" | head -n 5 | sed 's/^/  /'
  fi
done
exit $failed

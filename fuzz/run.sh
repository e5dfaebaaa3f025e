#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fuzzes each target for SECONDS, one after the other (one core each time):
#   fuzz/run.sh SECONDS [TARGET...]      targets: scan_fuzzer reader_fuzzer date_fuzzer cli_fuzzer
#                                        kernel_fuzzer
# Starts from the committed corpus plus what earlier runs found (build/fuzz/corpus/TARGET), keeps
# crashing inputs in build/fuzz/artifacts/TARGET and ends with each target's executions and
# findings. `fuzz/run.sh --merge TARGET...` folds the inputs that add coverage back into
# fuzz/corpus/TARGET, to be committed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_FUZZ_PACKAGES[@]}"
korvane_build fuzz

all=(scan_fuzzer reader_fuzzer date_fuzzer cli_fuzzer kernel_fuzzer)
bin=build/fuzz/fuzz
merge=0
if [ "${1:-}" = --merge ]; then
  merge=1
  shift
else
  seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...] | fuzz/run.sh --merge [TARGET...]}
  shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

if [ $merge -eq 1 ]; then
  for t in "${targets[@]}"; do
    "$bin/$t" -merge=1 -dict=fuzz/korvane.dict "fuzz/corpus/$t" "build/fuzz/corpus/$t"
  done
  exit 0
fi

summary=()
status=0
for t in "${targets[@]}"; do
  work=build/fuzz/corpus/$t artifacts=build/fuzz/artifacts/$t
  mkdir -p "$work" "$artifacts"
  log=build/fuzz/$t.log
  echo "=== $t for ${seconds}s (log: $log)"
  rc=0
  "$bin/$t" -max_total_time="$seconds" -print_final_stats=1 -dict=fuzz/korvane.dict \
    -artifact_prefix="$artifacts/" -rss_limit_mb=2048 -timeout=25 "$work" "fuzz/corpus/$t" \
    >"$log" 2>&1 || rc=$?
  runs=$(awk '/stat::number_of_executed_units:/ {print $2}' "$log" | tail -1)
  found=$(find "$artifacts" -type f | wc -l)
  summary+=("$t: ${runs:-?} executions, exit $rc, $found crashing inputs in $artifacts")
  [ $rc -eq 0 ] || status=1
  [ $rc -eq 0 ] || tail -40 "$log"
done
printf '%s\n' "${summary[@]}"
exit $status

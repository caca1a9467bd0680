#!/usr/bin/env bash
# Runs every libFuzzer target for longer than the test command does (default 10 minutes each,
# one after the other) with its corpus and dictionary; new inputs and any failing input stay in
# the build folder. An input is a hang after 60 s (a loaded machine stalls a run for seconds).
#   scripts/fuzz.sh [minutes per target]
source "$(dirname "$0")/common.sh"
minutes="${1:-10}"
bash "$KRELTA_SOURCE/scripts/setup.sh"
build_asan
status=0
for runner in "$KRELTA_BUILD_ROOT"/asan/fuzz/*.sh; do
  name="$(basename "$runner" .sh)"
  log="$KRELTA_BUILD_ROOT/asan/fuzz/$name.log"
  if sh "$runner" $((minutes * 60)) -timeout=60 >"$log" 2>&1; then result=passed; else result=FAILED; status=1; fi
  echo "$name: $result; $(grep -E '^Done [0-9]+ runs' "$log" | tail -n 1);" \
       "$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -n 1) (log: $log)"
done
exit $status

#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test through CTest:
# the native core (g++), the native core under ASan/UBSan with the fuzzers (clang),
# and the Windows build under Wine.
source "$(dirname "$0")/common.sh"
bash "$KRELTA_SOURCE/scripts/setup.sh"
build_native
build_asan
build_win

passed=0; failed=0; status=0
run_ctest() {
  local dir=$1; shift
  local log="$dir/ctest-summary.log"
  set +e
  (cd "$dir" && ctest --output-on-failure --timeout 300 "$@") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  [ "$rc" -eq 0 ] || status=1
  local line total fails
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    fails=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - fails)); failed=$((failed + fails))
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  fi
}

run_ctest "$KRELTA_BUILD_ROOT/native" -j "$KRELTA_JOBS"
ASAN_OPTIONS=detect_leaks=1 run_ctest "$KRELTA_BUILD_ROOT/asan" -j "$KRELTA_JOBS"
trap wine_stop EXIT
wine_start
run_ctest "$KRELTA_BUILD_ROOT/win"
wine_stop
trap - EXIT

echo "all builds: $passed passed, $failed failed"
exit $status

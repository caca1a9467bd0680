#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test through CTest:
# the Windows build under Wine, the native core (g++), and the native core under ASan/UBSan
# with the fuzzers (clang). The Wine tests mostly wait (on the simulator, on dialogs), so the
# native builds and their tests run beside them at a lower priority.
source "$(dirname "$0")/common.sh"
bash "$KRELTA_SOURCE/scripts/setup.sh"
trap 'wine_stop; kill $(jobs -p) 2>/dev/null || true' EXIT
build_win

# run_ctest <build> [ctest args...]: the output goes to <build>/ctest-summary.log, the exit
# status to <build>/ctest.rc.
run_ctest() {
  local dir=$1; shift
  set +e
  (cd "$dir" && ctest --output-on-failure --timeout 300 "$@") >"$dir/ctest-summary.log" 2>&1
  echo $? >"$dir/ctest.rc"
  set -e
}

wine_start --linger-seconds 10
# Simulator-backed and dialog tests take the "simulator" lock; the others run beside them.
run_ctest "$KRELTA_BUILD_ROOT/win" -j 2 &
wine_tests=$!

(
  renice -n 10 -p "$BASHPID" >/dev/null
  build_native
  run_ctest "$KRELTA_BUILD_ROOT/native" -j "$KRELTA_JOBS"
  cat "$KRELTA_BUILD_ROOT/native/ctest-summary.log"
  build_asan
  ASAN_OPTIONS=detect_leaks=1 run_ctest "$KRELTA_BUILD_ROOT/asan" -j "$KRELTA_JOBS"
  cat "$KRELTA_BUILD_ROOT/asan/ctest-summary.log"
)
wait $wine_tests
cat "$KRELTA_BUILD_ROOT/win/ctest-summary.log"
wine_stop
trap - EXIT

passed=0; failed=0; status=0
for build in native asan win; do
  log="$KRELTA_BUILD_ROOT/$build/ctest-summary.log"
  rc=$(cat "$KRELTA_BUILD_ROOT/$build/ctest.rc" 2>/dev/null || echo 1)
  [ "$rc" -eq 0 ] || status=1
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" 2>/dev/null | tail -n 1 || true)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    fails=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - fails)); failed=$((failed + fails))
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  fi
done
echo "all builds: $passed passed, $failed failed"
exit $status

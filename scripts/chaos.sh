#!/usr/bin/env bash
# Long chaos runs: the chaos driver against the simulator in chaos mode, in the build's private
# Wine prefix. Usage: scripts/chaos.sh [minutes] [seed] [profile] [driver switches...]
# (defaults 60, 1, "default"; see bench/api/chaos_driver.cpp and simulator/chaos.h). The
# summary goes to stdout, the simulator's log (seed, profile, every fault drawn) to
# build/win/wineprefix/drive_c/ProgramData/OpcDAKrelta-Simulator/simulator.log. Exit code: the
# driver's (0 clean, 1 a violation, 2 no run).
source "$(dirname "$0")/common.sh"
minutes=${1:-60}
seed=${2:-1}
profile=${3:-default}
shift $(($# < 3 ? $# : 3))
KRELTA_BUILD_TARGETS="krelta-simulator OpcDAKreltaPS OpcDAKrelta OpcDAKreltaTest chaos_driver" build_win
trap wine_stop EXIT
# No per-call lines (hours of them); the chaos lines stay.
wine_start --linger-seconds 10 --no-call-log
bin="$KRELTA_BUILD_ROOT/win/bin"
set +e
"$KRELTA_BUILD_ROOT/win/wine-run" "$bin/chaos_driver.exe" --seconds "$((minutes * 60))" --seed "$seed" \
  --profile "$profile" --library "$bin/OpcDAKreltaTest.dll" "$@"
status=$?
set -e
# Put the call log back for the tests that read it.
"$KRELTA_BUILD_ROOT/win/register" --linger-seconds 10 >/dev/null
exit $status

#!/usr/bin/env bash
# Runs every benchmark; each prints its ratio against the raw baseline it runs beside.
source "$(dirname "$0")/common.sh"
bash "$KRELTA_SOURCE/scripts/setup.sh"
build_native
build_win
for b in "$KRELTA_BUILD_ROOT"/native/bin/*_bench; do
  [ -x "$b" ] && "$b" --benchmark_color=false
done
trap wine_stop EXIT
wine_start
for b in "$KRELTA_BUILD_ROOT"/win/bin/*_bench.exe; do
  [ -f "$b" ] && "$KRELTA_BUILD_ROOT/win/wine-run" "$b"
done

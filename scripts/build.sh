#!/usr/bin/env bash
# Installs what is missing, then builds the native core and the Windows DLL, simulator and host.
# Usage: scripts/build.sh [native|asan|win ...]   (default: all three)
source "$(dirname "$0")/common.sh"
bash "$KRELTA_SOURCE/scripts/setup.sh"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(native asan win)
for t in "${targets[@]}"; do "build_$t"; done

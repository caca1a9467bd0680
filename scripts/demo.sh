#!/usr/bin/env bash
# Installs what is missing, builds the Windows DLL, simulator and host program, and runs the
# demo under Wine: the simulator as the OPC DA server, the host opening a connection,
# printing the tree, and reading and writing values.
source "$(dirname "$0")/common.sh"
bash "$KRELTA_SOURCE/scripts/setup.sh"
build_win
trap wine_stop EXIT
wine_start
"$KRELTA_BUILD_ROOT/win/demo"

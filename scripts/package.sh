#!/usr/bin/env bash
# Installs what is missing, builds the programs the release ships and writes the archive for
# Windows, build/win/OpcDAKrelta-<version>-win64.zip (CPack's ZIP generator, layout in
# packaging/CMakeLists.txt), and SHA256SUMS beside it.
source "$(dirname "$0")/common.sh"
bash "$KRELTA_SOURCE/scripts/setup.sh"
KRELTA_BUILD_TARGETS="OpcDAKrelta krelta-host krelta-simulator OpcDAKreltaPS" build_win
dir="$KRELTA_BUILD_ROOT/win"
name=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$dir/CPackConfig.cmake")
(cd "$dir" && cpack --config CPackConfig.cmake >/dev/null && sha256sum "$name.zip" >SHA256SUMS)
echo "$dir/$name.zip"
cat "$dir/SHA256SUMS"

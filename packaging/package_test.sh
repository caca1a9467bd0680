#!/usr/bin/env bash
# The release archive on a machine without a build tree: packs it, unpacks it into a fresh Wine
# prefix whose Z: drive (the Linux file system, the build tree with it) is removed, runs
# demo.cmd through cmd and checks its output, then register.cmd and unregister.cmd with and
# without an OPC installation's keys in place (x64 and x86-only): the registry afterwards holds
# exactly what it held before. Packing the same tree twice gives the same bytes. Usage: package_test.sh <Windows build folder> <package name> <version>
set -euo pipefail
build=$1 package=$2 version=$3
work=$(mktemp -d "$build/package-test.XXXXXX")
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY  # nothing here shows a window
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
[ -f "$work/$package.zip" ] || fail "cpack wrote no $package.zip"
first=$(sha256sum <"$work/$package.zip")
cpack --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
[ "$(sha256sum <"$work/$package.zip")" = "$first" ] || fail "the same tree packed twice gave two archives"
wineboot -i >/dev/null 2>&1 || true
wineserver -w
rm -f "$WINEPREFIX/dosdevices/z:"
wineserver -p
# A folder with blanks, parentheses and "!", as browsers and "Program Files (x86)" make them.
parent="Plant Tools! (x86)"
mkdir -p "$WINEPREFIX/drive_c/$parent"
(cd "$WINEPREFIX/drive_c/$parent" && cmake -E tar xf "$work/$package.zip")
folder="$WINEPREFIX/drive_c/$parent/$package"
windows="C:\\$parent\\$package"
for f in OpcDAKrelta.dll krelta2.h krelta-host.exe README.txt demo.cmd \
         examples/OPCDA_PlantConfiguration.xml examples/opcda_tags.txt \
         simulator/krelta-simulator.exe simulator/OpcDAKreltaPS.dll \
         simulator/register.cmd simulator/unregister.cmd; do
  [ -f "$folder/$f" ] || fail "the archive lacks $f"
done

# run <folder below the package> <script>: runs it through cmd there, output in $out. Output
# goes through a file: programs that outlive the script (the simulator, Wine's services)
# would hold a pipe open.
run() {
  set +e
  (cd "$folder/$1" && wine cmd /c "$2" >"$work/out.txt" 2>&1)
  rc=$?
  set -e
  out=$(tr -d '\r' <"$work/out.txt")
  printf '%s\n' "--- $2 (exit $rc)" "$out"
}
expect() { grep -qF -- "$1" <<<"$out" || fail "$2: no line with '$1'"; }
# The classes' keys of the registry (both views cmd's programs write to), values included.
snapshot() {
  local hive
  for hive in 'HKLM\Software\Classes' 'HKCU\Software\Classes'; do
    wine reg export "$hive" "C:\\snapshot.reg" /y >/dev/null 2>&1
    iconv -f UTF-16LE -t UTF-8 "$WINEPREFIX/drive_c/snapshot.reg" | tr -d '\r' | grep -v '^$'
  done
}

run simulator unregister.cmd
[ $rc -eq 0 ] || fail "unregister.cmd without register.cmd failed"
expect "nothing removed" "unregister.cmd without register.cmd"
expect "left alone" "unregister.cmd without register.cmd"
before=$(snapshot)

run . demo.cmd
[ $rc -eq 0 ] || fail "demo.cmd failed"
expect "OpcDAKrelta.dll $version (file version $version.0): $windows\\OpcDAKrelta.dll" "--version"
expect "No OPC proxy/stub was registered: registered $windows\\simulator\\OpcDAKreltaPS.dll" "demo.cmd"
expect "[ok] one read: 10 of 10 tags read" "diagnose"
expect "[Plant.Line1]" "tree"
expect "Plant.Line1/Profile/p5 5 " "read of every tag"
expect "wrote Plant.Line1/Speed 1500 at" "write"
expect "Plant.Line1/Speed 1500 " "read back"

run simulator register.cmd
expect "already the registered proxy/stub" "register.cmd run twice"
run simulator unregister.cmd
[ $rc -eq 0 ] || fail "unregister.cmd failed"
expect "Removed the registration of $windows\\simulator\\OpcDAKreltaPS.dll" "unregister.cmd"
expect "removed OpcDAKrelta.Simulator.1" "unregister.cmd"
diff <(echo "$before") <(snapshot) || fail "the registry differs from before register.cmd (above)"

# installed <what> <view switch> <register.cmd's words> <server list's program>: an OPC
# installation's proxy/stub and server list in that view of the registry stay as they are.
installed() {
  local key
  for key in 'Interface\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\ProxyStubClsid32|{B8E5AD63-B8C4-4E5B-8A35-7F6C9B1E5A01}' \
             "CLSID\\{13486D51-4821-11D2-A494-3CB306C10000}\\LocalServer32|$4"; do
    wine reg add 'HKLM\Software\Classes\'"${key%|*}" /ve /d "${key#*|}" "$2" /f >/dev/null
  done
  before=$(snapshot)
  run simulator register.cmd
  [ $rc -eq 0 ] || fail "register.cmd beside $1 failed"
  expect "$3" "register.cmd beside $1"
  expect "OPC.ServerList.1 is served by $4: left alone" "register.cmd beside $1"
  run simulator unregister.cmd
  expect "not OpcDAKreltaPS.dll: left alone" "unregister.cmd beside $1"
  diff <(echo "$before") <(snapshot) || fail "unregister.cmd beside $1 changed what it did not add (above)"
  for key in 'Interface\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}' 'CLSID\{13486D51-4821-11D2-A494-3CB306C10000}'; do
    wine reg delete 'HKLM\Software\Classes\'"$key" "$2" /f >/dev/null
  done
}
installed "an installed proxy/stub" /reg:64 "OpcDAKreltaPS.dll was not registered" 'C:\Windows\opcenum.exe'
# x86-only Core Components: the 32-bit view only; the ProgID is one for both views on Windows.
wine reg add 'HKCR\OPC.ServerList.1\CLSID' /ve /d '{13486D51-4821-11D2-A494-3CB306C10000}' /f >/dev/null
installed "x86-only Core Components" /reg:32 "in the 32-bit view only" 'C:\Windows\SysWOW64\opcenum.exe'
echo "package test passed"

#!/usr/bin/env bash
# krelta-host's own parsing and printing against the simulator's built-in plant: write-config's
# node pairs, array= definitions and XML escaping (read back by the library), write --time in
# both forms and refused ones, values that only look like numbers, connection strings in the ANSI
# code page, an unknown tag path, watch printing only what changed.
#   host_cli_test.sh <Windows build folder>
set -uo pipefail
build=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
failures=0
# host <expected exit status> <arguments...>: runs krelta-host, its output in $out. Through a
# file: a simulator it starts would hold a pipe open.
host() {
  local expected=$1; shift
  "$build/wine-run" "$build/bin/krelta-host.exe" "$@" >"$out" 2>&1
  local rc=$?
  tr -d '\r' <"$out" >"$out.txt" && mv "$out.txt" "$out"
  if [ "$rc" -ne "$expected" ]; then
    echo "FAIL: krelta-host $* exited $rc, expected $expected"; cat "$out"; failures=$((failures + 1))
  fi
}
expect() {  # expect <line pattern (grep -E, whole line)> [count]
  local n; n=$(grep -cxE -- "$1" "$out")
  if [ "$n" -ne "${2:-1}" ]; then
    echo "FAIL: $n lines match '$1', expected ${2:-1}"; cat "$out"; failures=$((failures + 1))
  fi
}

url='opcda://localhost/OpcDAKrelta.Simulator.1/{DE186CF8-2426-4039-ACAB-729B0908B909}'
odd='Line "2" <&>'  # no such branch: the node stays, empty
host 2 write-config Cli "$url" setting=ReadFromSubscription
host 0 write-config Cli "$url" Plant.Line2 Plant.Line2 "$odd" "$odd" Plant.Line1 Line1 Plant Plant \
  'array=Plant.Line1.Profile:p1,,p3'
host 0 tree Cli
expect '\[OpcDAKrelta.Simulator.1\]'
expect "  \[$odd\]"
expect '    \[Profile\]'
expect '      (p1|p3|)' 3
expect '    [A-Za-z]+' 19  # Line2's eleven tags, Line1's six, Plant's own two (not its branches')
node=Plant.Line2

for time in 2024-03-01T12:00:00 1709294400; do
  host 0 write Cli "$node/Temperature" 42.5 --time "$time"
  expect "wrote $node/Temperature 42.5 at 2024-03-01 12:00:00 UTC"
  host 0 read Cli "$node/Temperature"
  expect "$node/Temperature 42.5 2024-03-01 12:00:00 UTC"
done
for time in 2024-03-01 12:00:00 noon ''; do
  host 2 write Cli "$node/Temperature" 1 --time "$time"
done
host 1 read Cli "$node/Temperature" Line1/Nothing
expect 'no tag Line1/Nothing'
host 1 write Cli Nothing 1
expect 'no tag Nothing'
# Only a whole decimal is a number, printed exactly; the rest is refused, with the usage.
for value in 1,5 nan 0x20 12abc '' - 1e39; do host 2 write Cli "$node/Temperature" "$value"; done
expect 'usage: krelta-host <command> \[arguments\]'
host 0 write Cli "$node/Temperature" 123456789
expect "wrote $node/Temperature 123456792 at .*"
host 0 --help
# Connection strings are in the ANSI code page: one letter apart, two data sources; a text the
# code page cannot hold is refused.
host 0 write-config 'Anlage_Müll' "$url" Plant.Line1 Line1 setting=ReadFromSubscription:1
host 0 tree 'Anlage_Müll'
host 1 tree 'Anlage_Mäll'
expect 'connection log: Initialization: configuration done, no configuration loaded\.'
host 2 write-config '中文' "$url"
host 0 write Cli "$node/Temperature" 19  # the built-in value, for the programs after this one

# Line1's Temperature ramps on every read, its Speed stays.
host 0 watch Cli --interval 0.1 --count 3
expect 'Plant.Line1/Temperature .*' 3
expect 'Plant.Line1/Speed 1200 .*' 1
host 2 watch Cli --interval 0

[ $failures -eq 0 ] && echo "krelta-host: every check passed"
exit $((failures > 0))

#!/usr/bin/env bash
# Unpacks TinyXML from Debian's source package (with Debian's patches, the security fixes
# among them) into the given folder, once. Usage: fetch-tinyxml.sh <deps folder>
set -euo pipefail
deps=$1
target="$deps/tinyxml"
[ -f "$target/tinyxml.cpp" ] && exit 0
mkdir -p "$deps"
work=$(mktemp -d "$deps/tinyxml-src.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
if ! apt-get source tinyxml >apt-source.log 2>&1; then
  apt-get update >/dev/null
  apt-get source tinyxml >apt-source.log 2>&1 || { cat apt-source.log >&2; exit 1; }
fi
src=$(find . -maxdepth 1 -type d -name 'tinyxml-*' | head -n 1)
[ -n "$src" ] && [ -f "$src/tinyxml.cpp" ] || { echo "tinyxml sources not found" >&2; exit 1; }
rm -rf "$target"
mv "$src" "$target"

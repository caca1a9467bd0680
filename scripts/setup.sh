#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent; run as root.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine64 wine libwine-dev
  cmake ninja-build g++ clang libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev libboost-dev
  xvfb imagemagick dpkg-dev valgrind zip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# TinyXML is built from Debian's source package, so apt needs a deb-src entry.
need_src=0
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  need_src=1
  src=/etc/apt/sources.list.d/debian.sources
  if [ -f "$src" ]; then
    uris=$(awk '/^URIs:/{print $2; exit}' "$src")
  else
    uris=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list)
  fi
  printf 'Types: deb-src\nURIs: %s\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "${uris:-http://deb.debian.org/debian}" > /etc/apt/sources.list.d/krelta-src.sources
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_src -eq 1 ] || [ "${KRELTA_FORCE_UPDATE:-0}" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi

# Shared by the build, test and demo scripts. KRELTA_BUILD_ROOT picks the build folder
# (default: build/ in the checkout), so several work trees can build side by side.
set -euo pipefail
KRELTA_SOURCE="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KRELTA_BUILD_ROOT="${KRELTA_BUILD_ROOT:-$KRELTA_SOURCE/build}"
KRELTA_JOBS="${KRELTA_JOBS:-$(nproc)}"
mkdir -p "$KRELTA_BUILD_ROOT"
KRELTA_BUILD_ROOT="$(cd "$KRELTA_BUILD_ROOT" && pwd)"

# configure_and_build <name> <cmake args...>; KRELTA_BUILD_TARGETS (blank-separated) builds
# only those targets instead of everything.
configure_and_build() {
  local name=$1; shift
  local dir="$KRELTA_BUILD_ROOT/$name"
  # Always configure: folders appear as the tree grows, and a configure run is cheap.
  cmake -S "$KRELTA_SOURCE" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKRELTA_DEPS_DIR="$KRELTA_BUILD_ROOT/deps" "$@" >/dev/null
  # shellcheck disable=SC2086 # one argument per target
  cmake --build "$dir" -j "$KRELTA_JOBS" ${KRELTA_BUILD_TARGETS:+--target $KRELTA_BUILD_TARGETS}
}

build_native() {
  CC=gcc CXX=g++ configure_and_build native
}

build_asan() {
  CC=clang CXX=clang++ configure_and_build asan -DKRELTA_SANITIZE=ON -DKRELTA_FUZZ=ON \
    -DKRELTA_BENCHMARKS=OFF
}

build_win() {
  configure_and_build win -DCMAKE_TOOLCHAIN_FILE="$KRELTA_SOURCE/cmake/toolchain-mingw64.cmake"
}

# The Windows build's private Wine prefix, with a persistent wineserver while tests run.
wine_env() {
  export WINEPREFIX="$KRELTA_BUILD_ROOT/win/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
}

# A private virtual display for the whole Wine session: Wine's desktop process starts with the
# first program and keeps the display it found, so dialogs shown later (the dialog tests,
# rundll32) need one from the start, not only when they run.
display_start() {
  command -v Xvfb >/dev/null || return 0
  local state="$KRELTA_BUILD_ROOT/win/xvfb.pid" n=120
  mkdir -p "$KRELTA_BUILD_ROOT/win"
  if [ -f "$state.display" ] && kill -0 "$(cat "$state")" 2>/dev/null; then
    export DISPLAY="$(cat "$state.display")"  # still running from an earlier start
    return 0
  fi
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  echo $! >"$state"
  echo ":$n" >"$state.display"
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
  export DISPLAY=":$n"
}

display_stop() {
  local state="$KRELTA_BUILD_ROOT/win/xvfb.pid"
  [ -f "$state" ] && kill "$(cat "$state")" 2>/dev/null || true
  rm -f "$state" "$state.display"
}

# The display and the prefix (created on first use).
wine_prefix() {
  wine_env
  display_start
  if [ ! -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
    echo "Creating Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"  # an interrupted creation leaves a prefix no program starts in
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
}

# wine_start [simulator switches]: the switches are registered for every start of the simulator.
wine_start() {
  wine_prefix
  wineserver -p || true  # already running for this prefix
  # Windows not managed: Xvfb has no window manager, and Wine waits 2 s for one whenever a
  # managed window (every dialog) is hidden.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
  if [ -x "$KRELTA_BUILD_ROOT/win/register" ]; then
    "$KRELTA_BUILD_ROOT/win/register" "$@"
  fi
}

wine_stop() {
  wine_env
  wineserver -k 2>/dev/null || true
  display_stop
}

#!/bin/sh
# Virtual display for the dialog tests: "xvfb.sh start <state dir>" starts Xvfb on the first free
# display from :97 up and notes its number and PID there; "xvfb.sh stop <state dir>" stops
# exactly that process by its PID.
set -e
state="$2"
mkdir -p "$state"
case "$1" in
  start)
    # One left by a run that never reached its stop: end it first, its PID is ours.
    [ -f "$state/xvfb.pid" ] && kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    n=97
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$state/xvfb.log" 2>&1 &
    echo $! >"$state/xvfb.pid"
    echo ":$n" >"$state/display"
    i=0
    until [ -e "/tmp/.X11-unix/X$n" ]; do
      i=$((i + 1)); [ $i -gt 100 ] && { echo "Xvfb did not start"; exit 1; }
      sleep 0.1
    done
    echo "Xvfb on :$n (pid $(cat "$state/xvfb.pid"))"
    ;;
  stop)
    [ -f "$state/xvfb.pid" ] && kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid" "$state/display"
    ;;
esac

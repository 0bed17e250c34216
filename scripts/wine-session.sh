#!/usr/bin/env bash
# Starts or stops what a test run under Wine needs, for one build tree:
#   wine-session.sh start <build dir>   the tree's prefix (made once), Xvfb,
#                                        a persistent wineserver, one warm-up run
#   wine-session.sh stop <build dir>    stops that wineserver and that Xvfb
# Everything started here stops by itself within an hour if stop never runs.
set -euo pipefail

action=$1
build=$(cd "$2" && pwd)
# shellcheck source=/dev/null
. "$build/wine-env.sh"
display_file="$build/xvfb.display"
pid_file="$build/xvfb.pid"

stop_xvfb() {
  if [ -s "$pid_file" ]; then
    kill "$(cat "$pid_file")" 2>/dev/null || true
    rm -f "$pid_file"
  fi
}

start() {
  if [ ! -f "$WINEPREFIX/.made" ]; then
    echo "wine-session: making the Wine prefix $WINEPREFIX"
    make_wine_prefix
  fi

  stop_xvfb
  rm -f "$display_file"
  setsid timeout 3600 Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
    3>"$display_file" >/dev/null 2>&1 </dev/null &
  echo $! >"$pid_file"
  for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
  done
  if [ ! -s "$display_file" ]; then
    echo "wine-session: Xvfb did not start" >&2
    exit 1
  fi

  # Wine's helpers (the desktop among them) start with the first program and
  # inherit its streams and display: with the streams on /dev/null, ctest
  # never waits for them.
  export DISPLAY=":$(cat "$display_file")"
  "$WINESERVER" -p3600 >/dev/null 2>&1 </dev/null
  "$WINELOADER" cmd /c exit >/dev/null 2>&1 </dev/null
  echo "wine-session: ready, DISPLAY=$DISPLAY"
}

stop() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  stop_xvfb
  rm -f "$display_file"
  echo "wine-session: stopped"
}

case "$action" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop <build dir>" >&2; exit 2 ;;
esac

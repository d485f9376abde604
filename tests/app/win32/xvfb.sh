#!/usr/bin/env bash
# One X server for the window tests of a run (a CTest fixture):
#   xvfb.sh start <dir>   starts Xvfb on a free display, named in <dir>/display
#   xvfb.sh stop <dir>    ends it
set -euo pipefail
action=$1
dir=$2
mkdir -p "$dir"
case $action in
start)
  if ! command -v Xvfb >/dev/null; then
    echo "xvfb.sh: no Xvfb (package xvfb)"
    exit 0 # the tests that need a display skip without one
  fi
  rm -f "$dir/display" "$dir/xvfb.pid"
  # The run's own X server, when the run has one: every window shares it.
  if [ -n "${DISPLAY:-}" ] && command -v xdpyinfo >/dev/null && xdpyinfo >/dev/null 2>&1; then
    echo "${DISPLAY#:}" >"$dir/display"
    echo "xvfb.sh: display $DISPLAY (the run's)"
    exit 0
  fi
  # -displayfd: the server picks a free display and writes its number.
  setsid Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$dir/display" \
    >/dev/null 2>&1 </dev/null &
  echo $! >"$dir/xvfb.pid"
  for _ in $(seq 100); do
    [ -s "$dir/display" ] && break
    sleep 0.1
  done
  [ -s "$dir/display" ] || { echo "xvfb.sh: Xvfb did not start"; exit 1; }
  echo "xvfb.sh: display :$(cat "$dir/display")"
  ;;
stop)
  if [ -s "$dir/xvfb.pid" ]; then
    kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true
  fi
  rm -f "$dir/display" "$dir/xvfb.pid"
  ;;
esac

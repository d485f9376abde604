#!/usr/bin/env bash
# The Windows program under Wine on Xvfb, in a throwaway prefix: start to the
# first painted window, CPU of the idle station over 30 s, its resident memory,
# and the size of the .exe (as built and stripped). During the idle 30 s the
# station's ticks open and count the HID interfaces that Wine lists itself (its
# virtual mouse and keyboard, none an evaluator): a probe beside it prints them
# and the station's handle table each second, the wineserver's descriptors are
# counted at both ends, and test.ini must still hold no test. Prints numbers;
# not a test.
#   bench/win32_station_bench.sh [evaluator-station.exe]   (default: the mingw build's)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:-$root/build/mingw/src/app/win32/evaluator-station.exe}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
idle_seconds=${IDLE_SECONDS:-30}
[ -f "$exe" ] || { echo "no $exe: cmake --build --preset mingw --target evaluator-station"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/station-bench.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all
station_dir=$work/station
title="Evaluator Test Station"
# shellcheck source=../tests/app/win32/station-checks.sh
source "$root/tests/app/win32/station-checks.sh"
station_pid=
cleanup() {
  kill $station_pid $(station_processes) 2>/dev/null
  "$wineserver" -k 2>/dev/null || true
  bash "$root/tests/app/win32/xvfb.sh" stop "$work/x" >/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$wine" wineboot -i >/dev/null 2>&1 </dev/null
"$wineserver" -w
bash "$root/tests/app/win32/xvfb.sh" start "$work/x" >/dev/null
export DISPLAY=":$(tr -d '[:space:]' <"$work/x/display")"
bash "$root/tests/app/win32/prepare-prefix.sh"
"$wineserver" -p >/dev/null 2>&1 </dev/null || true # one server, as on a running desktop
mkdir -p "$work/station"
cp "$exe" "$work/station/evaluator-station.exe"

now() { date +%s.%N; }
# The window is painted once its photograph is on the screen: a pixel of the
# device's grey body (client 345, 420) is no longer the window's black.
painted() {
  local id geometry
  id=$(xwininfo -root -tree | grep -F '"Evaluator Test Station"' | awk '{print $1}' | head -n 1)
  [ -n "$id" ] || return 1
  geometry=$(xwininfo -id "$id" | awk '/Width:/{w=$2} /Height:/{h=$2} END{print w" "h}')
  read -r w h <<<"$geometry"
  local bx=$(((w - 690) / 2))
  local cy=$((h - 643 - bx))
  local level
  level=$(import -window "$id" -crop "1x1+$((bx + 345))+$((cy + 420))" -format '%[fx:int(255*p.r)]' info: 2>/dev/null) || return 1
  [ "${level:-0}" -gt 60 ]
}
start_once() {
  local start
  start=$(now)
  (cd "$work/station" && exec "$wine" evaluator-station.exe >/dev/null 2>&1 </dev/null) &
  station_pid=$!
  until painted; do sleep 0.02; done
  echo "$start $(now)" | awk '{printf "%.2f\n", $2 - $1}'
}
stop_station() {
  kill "$station_pid" $(station_processes) 2>/dev/null || true
  wait "$station_pid" 2>/dev/null || true
  station_pid=
  while [ -n "$(station_processes)" ] || xwininfo -root -tree | grep -qF '"Evaluator Test Station"'; do
    sleep 0.05
  done
}

times=()
for _ in 1 2 3 4 5; do
  times+=("$(start_once)")
  stop_station
  sleep 0.5
done
echo "start to first painted window (s, server running): ${times[*]}"

start_once >/dev/null
sleep 2
ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# This prefix's server: it works in a directory server-<device>-<inode> of the prefix.
server_dir=server-$(printf '%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
server_pid=
for pid in $(pgrep -x 'wineserver(64)?' || true); do
  [ "$(basename "$(readlink "/proc/$pid/cwd" 2>/dev/null)")" = "$server_dir" ] && server_pid=$pid
done
process=$(station_processes | head -n 1)
# Every handle the station holds is an object in the wineserver, and every
# device or file it opens is a descriptor there as well.
server_fds() { [ -n "$server_pid" ] && ls "/proc/$server_pid/fd" | wc -l || echo '?'; }
probe=$work/idle_probe.exe
x86_64-w64-mingw32-gcc -O2 -o "$probe" "$root/bench/win32/idle_probe.c" -lsetupapi -lhid -lntdll
"$wine" "$probe" evaluator-station.exe "$idle_seconds" >"$work/probe.log" 2>&1 </dev/null &
probe_pid=$!
until grep -q '^t= 1 s' "$work/probe.log" 2>/dev/null; do sleep 0.1; done
f0=$(server_fds)
s0=$(cpu "$process")
w0=$( [ -n "$server_pid" ] && cpu "$server_pid" || echo 0)
sleep "$((idle_seconds - 2))"
f1=$(server_fds) # the probe still running, as at the start
sleep 2
s1=$(cpu "$process")
w1=$( [ -n "$server_pid" ] && cpu "$server_pid" || echo 0)
wait "$probe_pid" || true
grep '^hid interface' "$work/probe.log"
tables=$(awk -F'table=' '/handle table=/{split($2, a, " "); print a[1]}' "$work/probe.log" | sort -n | uniq -c |
  awk '{printf "%s%s (%d s)", sep, $2, $1; sep=", "}')
echo "station's handle table over ${idle_seconds} s: $tables"
echo "wineserver descriptors: $f0 after 1 s, $f1 after $((idle_seconds - 1)) s"
if [ -f "$work/station/test.ini" ]; then
  echo "test.ini after the idle run: $(tr '\r\n' '  ' <"$work/station/test.ini")"
else
  echo "test.ini after the idle run: not written (no test counted)"
fi
awk -v s=$((s1 - s0)) -v w=$((w1 - w0)) -v t="$ticks" -v d="$idle_seconds" 'BEGIN {
  printf "idle CPU over %d s: station %.2f s (%.2f %%), wineserver %.2f s\n", d, s / t, 100 * s / t / d, w / t }'
echo "resident memory of the idle station: $(awk '/VmRSS/{print $2" "$3}' "/proc/$process/status")" \
  "(the Wine process, its system DLLs included)"
stop_station

x86_64-w64-mingw32-strip -o "$work/stripped.exe" "$exe" 2>/dev/null ||
  strip -o "$work/stripped.exe" "$exe"
echo "evaluator-station.exe: $(stat -c %s "$exe") bytes as built, $(stat -c %s "$work/stripped.exe") stripped"

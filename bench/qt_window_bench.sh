#!/usr/bin/env bash
# The Qt window's figures beside the Win32 window's (bench/win32_window_bench.sh):
# start to first paint, idle CPU over a span, resident memory, program size.
# Runs under its own Xvfb. Usage: qt_window_bench.sh <build dir> [seconds]
set -euo pipefail
build=${1:-build/native}
seconds=${2:-30}
station=$build/src/app/evaluator-station
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT

# Start to first paint, and the idle tick, from the bench program.
xvfb-run -a -s "-screen 0 1024x768x24" "$build/bench/station_bench" | grep -E "first paint|resident"

# A copy of the program, so that its test.ini goes to a directory of its own.
cp "$station" "$work/"
xvfb-run -a -s "-screen 0 1024x768x24" "$work/evaluator-station" &
runner=$!
for _ in $(seq 100); do
  pid=$(pgrep -n -f "^$work/evaluator-station" || true)
  [ -n "$pid" ] && break
  sleep 0.1
done
sleep 2 # past the start
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before=$(ticks)
sleep "$seconds"
after=$(ticks)
hz=$(getconf CLK_TCK)
rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" \
  'BEGIN { printf "idle CPU over %d s:      %.2f %% of one core (%.2f s)\n", s, 100 * t / hz / s, t / hz }'
echo "resident memory, idle:   $((rss / 1024)) MB after ${seconds} s"
kill "$pid" 2>/dev/null || true
wait "$runner" 2>/dev/null || true
size=$(stat -c %s "$station")
stripped=$(strip -o "$work/stripped" "$station" && stat -c %s "$work/stripped")
echo "program size:            $((size / 1024)) kB ($((stripped / 1024)) kB stripped; Qt's libraries beside it)"

#!/usr/bin/env bash
# Idle CPU of the station beside its floors, all running at the same time, so
# that whatever else the machine does weighs on each alike:
#   - the Qt station on the Linux backend (this machine's devices: none of ours);
#   - the Qt station on the simulated machine (connected, nothing plugged in);
#   - the reference Qt program: a 100 ms timer that changes one label's text;
#   - the .exe under Wine (64-bit), every process of its prefix counted
#     (wineserver, services, winedevice, explorer...);
#   - the reference Win32 program under Wine, in a prefix of its own: a 100 ms
#     timer that repaints one small rectangle.
# Each program has an X server of its own. CPU is utime+stime from /proc over
# <seconds>, <runs> times; each figure is printed with its spread and as a
# ratio to its reference (the ratio of each run, whose programs ran side by
# side). Prints numbers; not a test.
#   bench/idle_bench.sh [seconds] [runs]         (default 60 3)
# NATIVE_BUILD, STATION and EXE name other builds (default build/native, its
# evaluator-station and the mingw build's .exe).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
runs=${2:-3}
native=${NATIVE_BUILD:-$root/build/native}
exe=${EXE:-$root/build/mingw/src/app/win32/evaluator-station.exe}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
station=${STATION:-$native/src/app/evaluator-station}
qt_reference=$native/bench/qt_idle_reference
for f in "$station" "$qt_reference" "$exe"; do
  [ -f "$f" ] || {
    echo "missing $f: cmake --build --preset native --target evaluator-station qt_idle_reference;" \
      "cmake --build --preset mingw --target evaluator-station"
    exit 1
  }
done

# shellcheck source=wine-bench.sh
source "$root/bench/wine-bench.sh"
wine_bench_start idle-bench

# The programs, each in a folder of its own (the stations keep test.ini there).
launch() { # name command...: in the folder of that name, on an X server of its own
  local name=$1 display
  shift
  display=$(start_x "$name")
  (cd "$work/$name" && DISPLAY=":$display" exec "$@" >"$work/$name.log" 2>&1 </dev/null) &
  echo $! >>"$work/started"
  echo $! >"$work/$name.pid"
}
mkdir -p "$work/qt-linux" "$work/qt-sim" "$work/qt-reference" "$work/wine-station" \
  "$work/wine-reference"
cp "$station" "$work/qt-linux/evaluator-station"
cp "$station" "$work/qt-sim/evaluator-station"
cp "$exe" "$work/wine-station/evaluator-station.exe"
cp "$work/idle_reference.exe" "$work/wine-reference/"
# The simulated machine's evaluator socket, with nothing plugged in at its far end.
socat -u UNIX-LISTEN:"$work/sim.sock" STDOUT >/dev/null 2>&1 &
echo $! >>"$work/started"
for _ in $(seq 50); do [ -S "$work/sim.sock" ] && break; sleep 0.1; done

launch qt-linux env -u EVALUATOR_SIM_DEVICES "$work/qt-linux/evaluator-station"
launch qt-sim env EVALUATOR_SIM_DEVICES="$work/sim.sock" "$work/qt-sim/evaluator-station"
launch qt-reference "$qt_reference"
launch wine-station env WINEPREFIX="$work/station-prefix" WINEDEBUG=-all \
  "$wine" evaluator-station.exe
launch wine-reference env WINEPREFIX="$work/reference-prefix" WINEDEBUG=-all \
  "$wine" idle_reference.exe
qt_linux=$(cat "$work/qt-linux.pid")
qt_sim=$(cat "$work/qt-sim.pid")
qt_ref=$(cat "$work/qt-reference.pid")
sleep 5 # past every start

# "pid name ticks" of a group's processes: the Qt programs by their pid, a
# Wine program by every process that runs in its prefix.
members() { # group
  case $1 in
  qt-linux) echo "$qt_linux" ;;
  qt-sim) echo "$qt_sim" ;;
  qt-reference) echo "$qt_ref" ;;
  wine-station | wine-reference)
    local prefix=$work/station-prefix
    [ "$1" = wine-reference ] && prefix=$work/reference-prefix
    grep -lzx "WINEPREFIX=$prefix" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3
    ;;
  esac
}
snapshot() { # group: "pid name ticks" lines
  local pid
  for pid in $(members "$1"); do
    [ -r "/proc/$pid/stat" ] || continue
    # The name is in parentheses and may hold spaces: the fields after it count from its end.
    sed -E 's/^[0-9]+ \((.*)\) (.*)$/\1\t\2/' "/proc/$pid/stat" | awk -F'\t' -v pid="$pid" '{
      split($2, f, " "); name = $1; gsub(/ /, "_", name); print pid, name, f[12] + f[13] }'
  done
}
groups=(qt-linux qt-sim qt-reference wine-station wine-reference)
hz=$(getconf CLK_TCK)
results=$work/results # run group name percent
: >"$results"
for run in $(seq "$runs"); do
  for g in "${groups[@]}"; do snapshot "$g" >"$work/before.$g"; done
  sleep "$seconds"
  for g in "${groups[@]}"; do
    snapshot "$g" | awk -v run="$run" -v g="$g" -v hz="$hz" -v s="$seconds" '
      NR == FNR { before[$1] = $3; next }
      { by[$2] += $3 - ($1 in before ? before[$1] : 0) }
      END { for (n in by) printf "%d %s %s %.4f\n", run, g, n, 100 * by[n] / hz / s }' \
      "$work/before.$g" - >>"$results"
  done
done
for g in qt-linux qt-sim wine-station; do
  kill -0 "$(members "$g" | head -n 1)" 2>/dev/null || echo "warning: $g ended during the bench"
done

awk -v s="$seconds" -v runs="$runs" '
  { total[$2, $1] += $4; part[$2, $3] += $4 / runs; names[$2] = names[$2] " " $3 }
  function stats(g, ref,    r, v, lo, hi, sum, q, qlo, qhi, qsum) {
    lo = 1e9; hi = -1; qlo = 1e9; qhi = -1
    for (r = 1; r <= runs; r++) {
      v = total[g, r]; sum += v; if (v < lo) lo = v; if (v > hi) hi = v
      if (ref != "") {
        q = total[ref, r] > 0 ? v / total[ref, r] : 0
        qsum += q; if (q < qlo) qlo = q; if (q > qhi) qhi = q
      }
    }
    out = sprintf("%6.2f %% (%.2f-%.2f)", sum / runs, lo, hi)
    if (ref != "") out = out sprintf("   %.2fx its reference (%.2f-%.2f)", qsum / runs, qlo, qhi)
    return out
  }
  function split_of(g,    n, seen, line, k, list, i) {
    k = split(names[g], list, " ")
    for (i = 1; i <= k; i++) {
      n = list[i]; if (n in seen) continue; seen[n] = 1
      line = line sprintf("%s%s %.2f", line == "" ? "" : ", ", n, part[g, n])
    }
    return line
  }
  END {
    printf "Idle CPU over %d s, %d runs side by side (%% of one core: mean (min-max)):\n", s, runs
    printf "  Qt station, Linux backend, no devices:   %s\n", stats("qt-linux", "qt-reference")
    printf "  Qt station, simulated machine:           %s\n", stats("qt-sim", "qt-reference")
    printf "  Qt reference (label text every 100 ms):  %s\n", stats("qt-reference", "")
    printf "  .exe under Wine, its prefix'"'"'s processes: %s\n", stats("wine-station", "wine-reference")
    printf "      by process: %s\n", split_of("wine-station")
    printf "  Win32 reference under Wine (rectangle every 100 ms), its prefix'"'"'s processes: %s\n",
      stats("wine-reference", "")
    printf "      by process: %s\n", split_of("wine-reference")
  }' "$results"

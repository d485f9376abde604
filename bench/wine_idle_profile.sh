#!/usr/bin/env bash
# Where the idle .exe's CPU goes under Wine, beside the reference Win32
# program (bench/win32/idle_reference.c) profiled at the same time: perf's
# cpu-clock samples of every process of each one's Wine prefix, grouped by the
# code they fall in (the process and the library), in % of one core:
#   - the station's own code: evaluator-station.exe (its image, which perf
#     sees as an anonymous mapping);
#   - painting and the window: GDI, USER and the X11 driver (gdi32, user32,
#     win32u, winex11 and the X client libraries) in the program's process;
#   - SetupAPI and HID: setupapi, cfgmgr32, hid, the registry (advapi32,
#     kernelbase) in the program's process, and Wine's device processes
#     (winedevice, plugplay, services: hidclass and winebus serve the HID list);
#   - the wineserver, whose requests are the registry's and the devices' as
#     well as the message queue's and the timer's;
#   - the rest of the program's process: Wine's ntdll and the loader, libc, the
#     kernel (system calls).
# The reference shows the floor of painting one rectangle per tick and of the
# timer, the queue and the server. Needs perf (linux-perf) that can sample
# cpu-clock here; prints numbers, not a test.
#   bench/wine_idle_profile.sh [seconds]    (default 30; EXE names another .exe,
#   HZ another sampling rate than 1000: painting's share is small, and more
#   samples make its ratio steadier)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
hz=${HZ:-1000}
exe=${EXE:-$root/build/mingw/src/app/win32/evaluator-station.exe}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -f "$exe" ] || { echo "no $exe: cmake --build --preset mingw --target evaluator-station"; exit 1; }
command -v perf >/dev/null || { echo "no perf (package linux-perf)"; exit 1; }

# shellcheck source=wine-bench.sh
source "$root/bench/wine-bench.sh"
wine_bench_start wine-profile

mkdir -p "$work/station" "$work/reference"
cp "$exe" "$work/station/evaluator-station.exe"
cp "$work/idle_reference.exe" "$work/reference/"
launch() { # name prefix program
  local display
  display=$(start_x "$1")
  (cd "$work/$1" && DISPLAY=":$display" WINEPREFIX=$2 WINEDEBUG=-all exec "$wine" "$3" \
    >/dev/null 2>&1 </dev/null) &
  echo $! >>"$work/started"
}
launch station "$work/station-prefix" evaluator-station.exe
launch reference "$work/reference-prefix" idle_reference.exe
sleep 8 # past the start

in_prefix() { { grep -lzx "WINEPREFIX=$1" /proc/[0-9]*/environ 2>/dev/null || true; } | cut -d/ -f3 | paste -sd,; }
pids="$(in_prefix "$work/station-prefix"),$(in_prefix "$work/reference-prefix")"
perf record -q -e cpu-clock -F "$hz" -p "$pids" -o "$work/perf.data" -- sleep "$seconds" \
  >"$work/perf.log" 2>&1 || { cat "$work/perf.log"; exit 1; }
# pid, process name, library of each sample.
perf report -i "$work/perf.data" --stdio --no-children --sort pid,dso -F overhead,sample,pid,dso \
  2>/dev/null | grep -E '^ +[0-9.]+%' >"$work/report"
prefix_of() { tr '\0' '\n' <"/proc/$1/environ" 2>/dev/null | sed -n 's/^WINEPREFIX=//p'; }
for pid in ${pids//,/ }; do
  case $(prefix_of "$pid") in
  "$work/station-prefix") echo "$pid station" ;;
  "$work/reference-prefix") echo "$pid reference" ;;
  esac
done >"$work/owners"
# Lines: "overhead% samples pid:name dso".
awk -v s="$seconds" -v hz="$hz" '
  NR == FNR { owner[$1] = $2; next }
  {
    split($3, p, ":"); pid = p[1]; name = substr($3, length(pid) + 2); dso = $4
    who = owner[pid]; if (who == "") next
    if (name ~ /^wineserver/) group = "wineserver"
    else if (name ~ /^(winedevice|plugplay|services|svchost|rpcss|explorer)/)
      group = (name ~ /^explorer/) ? "rest" : "setupapi"
    # Wine maps the .exe'"'"'s image without its file: perf calls it [JIT] or perf-<pid>.map.
    else if (dso ~ /^evaluator-station|^idle_reference|^\[JIT\]|^perf-[0-9]+\.map/) group = "own"
    else if (dso ~ /^(gdi32|user32|win32u|winex11|libX|libxcb|comctl32|uxtheme|imm32)/) group = "paint"
    else if (dso ~ /^(setupapi|cfgmgr32|hid\.dll|advapi32|kernelbase|sechost)/) group = "setupapi"
    else group = "rest"
    ms[who, group] += $2; total[who] += $2
  }
  END {
    split("own paint setupapi wineserver rest", order, " ")
    label["own"] = "the program'"'"'s own code"
    label["paint"] = "painting and the window (GDI, USER, X11)"
    label["setupapi"] = "SetupAPI, HID, registry; Wine'"'"'s device processes"
    label["wineserver"] = "wineserver"
    label["rest"] = "the rest: ntdll, loader, libc, kernel"
    core = s * hz / 100 # samples in 1 % of one core
    printf "Idle CPU under Wine by where it falls, %d s of perf cpu-clock samples (%d a second),\n", s, hz
    printf "%% of one core (share of the program'"'"'s samples):\n"
    printf "  %-52s %22s %22s\n", "", ".exe", "Win32 reference"
    for (i = 1; i <= 5; i++) {
      g = order[i]
      printf "  %-52s %12.2f %% (%4.1f %%) %12.2f %% (%4.1f %%)\n", label[g],
        ms["station", g] / core, 100 * ms["station", g] / (total["station"] + 1e-9),
        ms["reference", g] / core, 100 * ms["reference", g] / (total["reference"] + 1e-9)
    }
    printf "  %-52s %12.2f %%          %12.2f %%\n", "all", total["station"] / core,
      total["reference"] / core
    if (ms["reference", "paint"] > 0)
      printf "painting: the .exe %.2fx the reference\n", ms["station", "paint"] / ms["reference", "paint"]
  }' "$work/owners" "$work/report"
echo "libraries by samples, .exe's prefix:"
awk 'NR == FNR { owner[$1] = $2; next }
  { split($3, p, ":"); if (owner[p[1]] == "station") { n = substr($3, length(p[1]) + 2); by[n " " $4] += $2 } }
  END { for (k in by) print by[k], k }' "$work/owners" "$work/report" | sort -rn | head -25 |
  awk '{ printf "  %6d  %s %s\n", $1, $2, $3 }'

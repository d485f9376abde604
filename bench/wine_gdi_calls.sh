#!/usr/bin/env bash
# Builds bench/win32/gdi_calls.cpp and runs it under Wine on an X server of its
# own, in a prefix prepared as the other Wine benches prepare theirs: the cost
# of each GDI call the station's idle repaint makes.
#   bench/wine_gdi_calls.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

# shellcheck source=wine-bench.sh
source "$root/bench/wine-bench.sh"
wine_bench_start wine-gdi-calls
x86_64-w64-mingw32-g++-posix -O2 -std=c++20 -static -o "$work/gdi_calls.exe" \
  "$root/bench/win32/gdi_calls.cpp" -lgdi32 -luser32
display=$(start_x gdi)
DISPLAY=":$display" WINEPREFIX=$work/station-prefix WINEDEBUG=-all "$wine" "$work/gdi_calls.exe"

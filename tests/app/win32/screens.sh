#!/usr/bin/env bash
# The window on each screen of the table below, at its scale, in each state
# (Win32WindowTest.ShowsEachStateAtTheScreensScale): LogPixels set in the run's
# prefix for each row, a screen smaller than the X server's as a Wine virtual
# desktop of that size. The prefix gets its own settings back at the end: a
# virtual desktop leaves its size as the prefix's screen for later programs.
#   screens.sh <app_win32_window_tests.exe> <display dir>
set -uo pipefail
wine=${WINE:-/usr/lib/wine/wine64}
[ -s "$2/display" ] && command -v xdpyinfo >/dev/null || { echo "SKIP: no X server or xdpyinfo"; exit 77; }
export DISPLAY=":$(tr -d '[:space:]' <"$2/display")" WINEDEBUG=-all
read -r xw xh < <(xdpyinfo | sed -nE 's/^ *dimensions: *([0-9]+)x([0-9]+) pixels.*/\1 \2/p')
key='HKCU\Control Panel\Desktop'
before=$("$wine" reg query "$key" /v LogPixels 2>/dev/null | sed -nE 's/.*REG_DWORD *0x([0-9a-f]+).*/\1/p')
logpixels() { "$wine" reg add "$key" /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1; }
restore() {
  if [ -n "$before" ]; then logpixels $((16#$before)); else "$wine" reg delete "$key" /v LogPixels /f >/dev/null 2>&1; fi
  "$wine" explorer "/desktop=screens,${xw}x$xh" cmd /c exit >/dev/null 2>&1
}
trap restore EXIT
failures=0
while read -r dpi screen; do # LogPixels (96 is 100 %) and screen
  if [ "${screen%x*}" -gt "$xw" ] || [ "${screen#*x}" -gt "$xh" ]; then
    echo "skipped: $dpi dpi on $screen (the X server has ${xw}x$xh)"
    continue
  fi
  logpixels "$dpi"
  run=("$wine")
  [ "$screen" = "${xw}x$xh" ] || run+=(explorer "/desktop=screen-$screen,$screen")
  out=$(EVALUATOR_SCREEN="$dpi $screen" "${run[@]}" "$1" --gtest_filter='*ShowsEachStateAtTheScreensScale' </dev/null 2>&1)
  if grep -q '^\[  PASSED  \] 1 test' <<<"$out"; then
    echo "ok: $dpi dpi on $screen"
  else
    echo "FAILED: $dpi dpi on $screen"
    grep -vE '^\[ *(RUN|OK|==========|----------) *\]' <<<"$out" | head -n 40
    failures=$((failures + 1))
  fi
done <<'TABLE'
96 1920x1080
120 1920x1080
144 1920x1080
192 1920x1080
96 800x600
96 1024x600
96 1366x768
TABLE
echo "screens: $failures failed"
[ "$failures" -eq 0 ]

#!/usr/bin/env bash
# The real evaluator-station.exe under Wine on the run's X server: the window
# and its title, the idle picture, the counters from test.ini, the double-clicks
# and the error box of a counters file that refuses writes. Screenshots stay in
# <output dir> (PNG).
#   station_window.sh <evaluator-station.exe> <win32_label_probe.exe> <output dir> <display dir>
set -uo pipefail
exe=$1
probe=$2
out=$3
xdir=$4
here=$(cd "$(dirname "$0")" && pwd)
photo=$here/../../../resources/evaluator.jpg
wine=${WINE:-/usr/lib/wine/wine64}
title="Evaluator Test Station"

for tool in xdotool xwininfo import convert compare; do
  command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit 77; }
done
[ -s "$xdir/display" ] || { echo "SKIP: no X server (xvfb.sh)"; exit 77; }
export DISPLAY=":$(tr -d '[:space:]' <"$xdir/display")" WINEDEBUG=-all

rm -rf "$out"
mkdir -p "$out/station"
station_dir=$out/station
ini=$station_dir/test.ini
cp "$exe" "$station_dir/evaluator-station.exe"
failures=0
station_pid=
cleanup() {
  chattr -i "$ini" 2>/dev/null || true
  kill $station_pid $(station_processes) 2>/dev/null
  true
}
trap cleanup EXIT
# shellcheck source=station-checks.sh
source "$here/station-checks.sh"

shot() { # name: the screen and the client area
  import -window root "$out/$1-screen.png"
  convert "$out/$1-screen.png" -crop "690x643+$cx+$cy" +repage "$out/$1.png"
}
crop() { # image geometry output
  convert "$1" -crop "$2" +repage "$3"
}
differing() { # a b fuzz: pixels that differ by more than the fuzz
  compare -metric AE -fuzz "$3" "$1" "$2" null: 2>&1 | sed -E 's/[^0-9.].*//'
}
same() { [ "$(differing "$1" "$2" "${3:-4%}")" -le "${4:-0}" ]; }
probe_count() { # text name: the count label as the window draws that text
  "$wine" "$probe" "$1" "$(WINEDEBUG=-all "$wine" winepath -w "$out/$2.bmp")" </dev/null
  convert "$out/$2.bmp" -alpha off "$out/$2.png"
}
count_shows() { # shot probe
  crop "$out/$1.png" 170x57+512+24 "$out/$1-count.png"
  same "$out/$1-count.png" "$out/$2.png" 10% 8
}
status_moved() { # shot shot
  crop "$out/$1.png" 282x30+376+600 "$out/$1-status.png"
  crop "$out/$2.png" 282x30+376+600 "$out/$2-status.png"
  ! same "$out/$1-status.png" "$out/$2-status.png" 0% 0
}
right_aligned() { # shot: the count's text ends at the label's right edge
  local box
  box=$(convert "$out/$1-count.png" -threshold 50% -format '%@' info:)
  local w=${box%%x*} rest=${box#*+}
  local x=${rest%%+*}
  [ $((x + w)) -ge 160 ] && [ "$x" -ge 40 ]
}
ini_has() { tr -d '\r' <"$ini" | grep -qx "$1"; }

probe_count 3/5 probe-3-5
probe_count 0/0 probe-0-0

echo "--- counters 3/5, idle"
printf '[COUNT]\r\nPassed=3\r\nTotal=5\r\n' >"$ini"
start_station 1 # and its first ticks
expect "the window \"$title\" has a 690 x 643 client area (frame ${width}x$height)" \
  test "$border" -ge 0 -a "$border" -le 10 -a "$caption" -ge 15 -a "$caption" -le 40
shot idle-1
sleep 0.5
shot idle-2
# The photograph centred on black (JPEG decoders differ by a few levels),
# with nothing over it while idle: the
# lamps', the power lamp's, the markers' and the result's places show it.
convert -size 690x643 xc:black "$photo" -geometry +45+7 -composite "$out/photograph.png"
for place in 17x18+323+319 17x18+356+310 17x18+389+298 17x18+419+288 17x18+451+280 \
  16x17+493+288 46x35+273+511 46x35+327+490 46x35+379+469 46x35+429+449 46x35+478+430 \
  46x35+526+412 200x200+224+40 40x40+0+0; do
  crop "$out/idle-1.png" "$place" "$out/idle-place.png"
  crop "$out/photograph.png" "$place" "$out/photo-place.png"
  expect "idle: the photograph shows at $place" same "$out/idle-place.png" "$out/photo-place.png" 10% 2
done
expect "test.ini's Passed=3, Total=5 show as 3/5" count_shows idle-1 probe-3-5
expect "the count is right-aligned" right_aligned idle-1
expect "the status marker moves" status_moved idle-1 idle-2

echo "--- double-clicks on the count"
cp "$ini" "$out/ini-before"
xdotool mousemove $((cx + 597)) $((cy + 52)) click --repeat 2 --delay 80 3
sleep 0.5
shot right-double-click
expect "a right double-click leaves 3/5" count_shows right-double-click probe-3-5
expect "a right double-click leaves test.ini as it was" cmp -s "$ini" "$out/ini-before"
xdotool mousemove $((cx + 597)) $((cy + 52)) click --repeat 2 --delay 80 1
sleep 0.5
shot left-double-click
expect "a left double-click shows 0/0" count_shows left-double-click probe-0-0
expect "a left double-click writes Passed=0 and Total=0" eval 'ini_has Passed=0 && ini_has Total=0'
stop_station

echo "--- a counters file that refuses writes"
# Wine run as root writes a read-only file: an immutable file refuses even
# root. Where chattr cannot (no CAP_LINUX_IMMUTABLE), a directory in its place.
printf '[COUNT]\r\nPassed=3\r\nTotal=5\r\n' >"$ini"
if chattr +i "$ini" 2>/dev/null; then
  refused="immutable file (chattr +i)"
  expected_count=probe-3-5
else
  rm -f "$ini"
  mkdir "$ini"
  refused="directory in its place"
  expected_count=probe-0-0
fi
echo "the refusing test.ini: $refused"
start_station 1 # and its first ticks
shot refused-start
expect "the unwritable file is still read" count_shows refused-start "$expected_count"
xdotool mousemove $((cx + 597)) $((cy + 52)) click --repeat 2 --delay 80 1
expect "the first write opens the error box" wait_for '[ "$(windows | wc -l)" -ge 2 ]' 50
sleep 0.3
shot box-1
sleep 0.6
shot box-2
expect "no tick while the box is open: the marker stands still" eval '! status_moved box-1 box-2'
expect "the count stays as it was" count_shows box-2 "$expected_count"

xdotool key Return # the box has the focus
expect "Return closes the box" wait_for '[ "$(windows | wc -l)" -eq 1 ]' 50
sleep 0.3
shot after-box-1
sleep 0.5
shot after-box-2
expect "after OK the marker moves again" status_moved after-box-1 after-box-2
stop_station
chattr -i "$ini" 2>/dev/null
rm -rf "$ini"

echo "--- a folder whose test.ini path is 300 characters (UTF-16 units, as Windows counts)"
wlen() { printf %s "$1" | iconv -f utf-8 -t utf-16le | wc -c | awk '{ print $1 / 2 }'; }
station_dir=$out/long/站点测试-a-folder-with-a-long-name/x
station_dir+=$(printf "%$((300 - $(wlen "Z:$station_dir/test.ini")))s" | tr ' ' x)
ini=$station_dir/test.ini
mkdir -p "$station_dir" && cp "$exe" "$station_dir/evaluator-station.exe"
printf '[COUNT]\r\nPassed=3\r\nTotal=5\r\n' >"$ini"
start_station 1
shot long-path
expect "test.ini's 3/5 is read from a path of $(wlen "Z:$ini") characters" count_shows long-path probe-3-5
xdotool mousemove $((cx + 597)) $((cy + 52)) click --repeat 2 --delay 80 1
expect "a left double-click writes 0/0 there" wait_for 'ini_has Passed=0 && ini_has Total=0' 30
stop_station

echo "station_window: $failures failed (screenshots in $out)"
[ "$failures" -eq 0 ]

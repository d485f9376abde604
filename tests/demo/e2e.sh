#!/usr/bin/env bash
# The first run, end to end and in real time: the station and the virtual
# evaluator under Xvfb, each scenario with a fresh copy of the station (so that
# its test.ini starts empty), the autopilot playing the operator.
#
#   e2e.sh STATION VIRTUAL_EVALUATOR OUTDIR
#
# Scenario "demo": a pass over HID, a fail over PL2303 (a wrong key), a pass
# over FTDI: test.ini must say Total=3, Passed=2. Scenario "unplug": the cable
# pulled in the middle of the wait for key 3 over each link kind: Total=3,
# Passed=0, the display cleared, and the station still running. In "demo", a
# second copy started in the same folder must only say so and end. Screenshots of
# the whole screen land in OUTDIR.
set -uo pipefail
station=$1 evaluator=$2 out=$3

if [ "${1:-}" = --inside ]; then # under Xvfb: one scenario
  shift
  station=$1 evaluator=$2 out=$3 scenario=$4
  dir=$(mktemp -d)
  trap 'kill "$ve" "$st" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
  cp "$station" "$dir/evaluator-station"
  mkdir -p "$out/$scenario"
  unset QT_QPA_PLATFORM # the suite runs headless; these need the X display
  if [[ $scenario == place-* ]]; then
    # scripts/run's places on this screen: the idle station's lamps and markers
    # show the photograph (it is drawn at 100 % here), its labels their black,
    # none covered by the virtual evaluator.
    root=$(cd "$(dirname "$0")/../.." && pwd)
    # shellcheck source=../../scripts/window-places
    source "$root/scripts/window-places"
    place_beside_station "$evaluator" --socket "$dir/socket" --no-autopilot >/dev/null 2>&1 &
    ve=$!
    # shellcheck disable=SC2046
    EVALUATOR_SIM_DEVICES="$dir/socket" "$dir/evaluator-station" $(station_geometry) >/dev/null 2>&1 &
    st=$!
    sleep 4
    import -window root "$out/$scenario/screen.png"
    read -r x y < <(xwininfo -root -tree | grep -F '"Evaluator Test Station":' |
      sed -E 's/.* ([0-9]+)x([0-9]+)\+(-?[0-9]+)\+(-?[0-9]+) .*/\1 \3 \4/' | sort -n | tail -n 1 | cut -d' ' -f2-)
    convert -size 690x643 xc:black "$root/resources/evaluator.jpg" -geometry +45+7 -composite "$dir/photo.png"
    fail=0
    for place in 17x18+323+319 17x18+356+310 17x18+389+298 17x18+419+288 17x18+451+280 16x17+493+288 \
      46x35+273+511 46x35+327+490 46x35+379+469 46x35+429+449 46x35+478+430 46x35+526+412 \
      label:170x57+512+24 label:282x30+376+600 label:97x42+24+541; do
      box=${place#label:} at=${place#*+}
      seen="$out/$scenario/screen.png[${box%%+*}+$((x + ${at%+*}))+$((y + ${at#*+}))]"
      if [ "$box" != "$place" ]; then # black, but for its white text
        ok=$(convert "$seen" -threshold 1% -format '%[fx:mean <= 0.3]' info:)
      else
        ok=$(compare -metric AE -fuzz 10% "$seen" "$dir/photo.png[$box]" null: 2>&1 | awk '{ print $1 <= 4 }')
      fi
      [ "$ok" = 1 ] || { echo "$scenario: FAILED: the station's $place is covered"; fail=1; }
    done
    [ $fail = 1 ] || echo "$scenario: nothing of the station's count, words, lamps or markers covered"
    exit $fail
  fi
  extra=()
  [ "$scenario" = unplug ] && extra=(--unplug-runs)
  "$evaluator" --socket "$dir/socket" --runs 3 "${extra[@]}" \
    --screenshots "$out/$scenario" >"$out/$scenario/autopilot.log" 2>&1 &
  ve=$!
  EVALUATOR_SIM_DEVICES="$dir/socket" "$dir/evaluator-station" >"$out/$scenario/station.log" 2>&1 &
  st=$!
  second="" box=""
  if [ "$scenario" = demo ]; then # a second copy in the same folder: only its box
    sleep 3
    "$dir/evaluator-station" >"$out/$scenario/second.log" 2>&1 &
    second=$!
    for _ in $(seq 1 20); do
      sleep 0.5
      for w in $(xdotool search --onlyvisible --name "^Evaluator Test Station$"); do
        xwininfo -id "$w" | grep -q "Width: 690$" || box=$w
      done
      [ -n "$box" ] && import -window root "$out/$scenario/second-copy.png" && break
    done
    [ -n "$box" ] && xdotool windowfocus --sync "$box" key Return && sleep 1
  fi
  for _ in $(seq 1 150); do # 75 s at most
    grep -q "autopilot: done" "$out/$scenario/autopilot.log" && break
    kill -0 "$st" 2>/dev/null || break
    sleep 0.5
  done
  sleep 1 # the last screenshot
  fail=0
  check() { if ! eval "$1"; then echo "$scenario: FAILED: $2"; fail=1; fi; }
  check 'grep -q "autopilot: done" "$out/$scenario/autopilot.log"' "the autopilot finished its three runs"
  check 'kill -0 "$st" 2>/dev/null' "the station is still running"
  ini=$(tr -d '\r' <"$dir/test.ini" 2>/dev/null)
  if [ "$scenario" = demo ]; then
    check 'grep -qx "Total=3" <<<"$ini" && grep -qx "Passed=2" <<<"$ini"' "test.ini has Total=3, Passed=2 (it has: $(echo $ini))"
    check '[ -s "$out/$scenario/run1-passed.png" ] && [ -s "$out/$scenario/run2-failed.png" ]' "screenshots of a passed and a failed station"
    check '[ -n "$box" ]' "a second copy in the same folder shows its box"
    check '! kill -0 "$second" 2>/dev/null && { wait "$second"; [ $? = 1 ]; }' "the second copy ends with status 1 once its box is closed"
  else
    # No test passed, so "Passed" was never written: it reads as 0.
    check 'grep -qx "Total=3" <<<"$ini" && ! grep -v "^Passed=0$" <<<"$ini" | grep -q "^Passed="' "test.ini has Total=3 and no passes (it has: $(echo $ini))"
    check '[ -s "$out/$scenario/run3-unplugged.png" ]' "a screenshot after the last unplugging"
  fi
  sed 's/^/  /' "$out/$scenario/autopilot.log"
  exit $fail
fi

if ! command -v xvfb-run >/dev/null; then
  echo "xvfb-run is missing: skipped"
  exit 0
fi
rm -rf "$out"
mkdir -p "$out"
status=0
pids=()
# scenario and screen
for row in "demo 1920x1080" "unplug 1920x1080" "place-1366x768 1366x768" "place-1024x768 1024x768"; do
  read -r scenario screen <<<"$row"
  xvfb-run -a -s "-screen 0 ${screen}x24" "$0" --inside "$station" "$evaluator" "$out" "$scenario" \
    >"$out/$scenario.txt" 2>&1 &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
cat "$out"/*.txt
[ $status = 0 ] && echo "first run: both scenarios as expected; screenshots in $out"
exit $status

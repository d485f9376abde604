#!/usr/bin/env bash
# The .deb on a fresh machine, as the operators use it: installs the package,
# makes two operators in the group "evaluator" and one user outside it, and runs
# the installed station as each under Xvfb, with the virtual evaluator (three
# runs: a pass, a fail, a pass) played by the same user. The two operators count
# on the same file; the outsider gets the error box and changes nothing. Then
# purges the package and removes the users. Changes the machine: run it as root
# on a throwaway machine (CI), not from CTest.
#
#   tests/packaging/installed_station.sh build/package/evaluator-station_*.deb \
#       build/native/src/demo/virtual-evaluator OUTDIR
# shellcheck disable=SC2016,SC2034,SC2317 # checks are eval-ed strings; cleanup runs from the trap
set -uo pipefail
deb=$(realpath "$1") evaluator=$(realpath "$2") out=$3
mkdir -p "$out"
out=$(realpath "$out")
ini=/var/lib/evaluator-station/test.ini
users=(evop1 evop2 evoutsider)

cleanup() {
  [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null
  for u in "${users[@]}"; do userdel -r "$u" 2>/dev/null; done
  apt-get purge -y evaluator-station >/dev/null 2>&1
  rm -rf "${tools:-}"
  [ -n "$had_group" ] || groupdel evaluator 2>/dev/null # the machine as it was
}
had_group=$(getent group evaluator)
trap cleanup EXIT

apt-get install -y "$deb" >"$out/install.log" 2>&1 || { cat "$out/install.log"; exit 1; }
useradd -m -G evaluator evop1
useradd -m -G evaluator evop2
useradd -m evoutsider
# Where every user may run it from.
tools=$(mktemp -d /tmp/installed-station.XXXXXX)
chmod 755 "$tools"
install -m 755 "$evaluator" "$tools/virtual-evaluator"
evaluator=$tools/virtual-evaluator

display=:$((90 + RANDOM % 9))
Xvfb "$display" -ac -screen 0 1280x800x24 >/dev/null 2>&1 &
xvfb=$!
sleep 1

fail=0
check() { if eval "$1"; then echo "ok - $2"; else echo "not ok - $2"; fail=1; fi; }
# The station's visible windows: its own, and the error box, which has its title.
boxes() { DISPLAY=$display xdotool search --onlyvisible --name "^Evaluator Test Station$" 2>/dev/null | wc -l; }
counters() { tr -d '\r' <"$ini" | grep -E '^(Total|Passed)=' | sort | tr '\n' ' '; }

# Runs the station and the autopilot as a user until the autopilot is done (or
# 60 s), takes a screenshot, and leaves both ended.
run_as() {
  local user=$1 runs=$2
  local home
  home=$(getent passwd "$user" | cut -d: -f6)
  runuser -u "$user" -- env DISPLAY="$display" "$evaluator" --socket "$home/socket" --runs "$runs" \
    >"$out/$user-autopilot.log" 2>&1 &
  local ve=$!
  runuser -u "$user" -- env DISPLAY="$display" EVALUATOR_SIM_DEVICES="$home/socket" \
    /usr/bin/evaluator-station >"$out/$user-station.log" 2>&1 &
  local st=$!
  for _ in $(seq 1 120); do
    grep -q "autopilot: done" "$out/$user-autopilot.log" && break
    [ "$user" = evoutsider ] && [ "$(boxes)" -ge 2 ] && break
    sleep 0.5
  done
  sleep 1
  DISPLAY=$display import -window root "$out/$user.png"
  boxes >"$out/$user-windows.txt"
  pkill -P "$st" 2>/dev/null; pkill -P "$ve" 2>/dev/null
  kill "$st" "$ve" 2>/dev/null
  wait "$st" "$ve" 2>/dev/null
}

check '[ "$(stat -c "%U:%G %a %F" "$ini")" = "root:evaluator 664 regular empty file" ]' \
  "a fresh install makes an empty test.ini, root:evaluator 664"
run_as evop1 3
echo "  evop1: $(counters)"
check '[ "$(counters)" = "Passed=2 Total=3 " ]' "the first operator counts: Total=3, Passed=2"
check '[ "$(stat -c "%U:%G %a" "$ini")" = "evop1:evaluator 664" ]' "the file is left 664 with the group"
run_as evop2 3
echo "  evop2: $(counters)"
check '[ "$(counters)" = "Passed=4 Total=6 " ]' "a second operator counts on the same file: Total=6, Passed=4"
before=$(counters)
run_as evoutsider 3
echo "  evoutsider: $(counters); station windows: $(cat "$out/evoutsider-windows.txt")"
check '[ "$(counters)" = "$before" ]' "the outsider changes nothing"
check '[ "$(cat "$out/evoutsider-windows.txt")" -ge 2 ]' "the outsider gets the error box (see evoutsider.png)"
check '[ "$(cat "$out/evop2-windows.txt")" = 1 ]' "the operators get none"
apt-get purge -y evaluator-station >"$out/purge.log" 2>&1
check '[ ! -e /var/lib/evaluator-station ] && [ ! -e /usr/lib/evaluator-station ]' "purge removes the package's files and the counters"
check 'getent group evaluator >/dev/null' "purge leaves the system group"
echo "screenshots in $out"
exit $fail

# Shared by the scripts that check the real evaluator-station.exe on the run's
# X server (sourced, not run): checks that count their failures, waits in
# tenths of a second, and finding the station's windows and its process.
# The sourcing script sets $title (the window title), $station_dir (the
# folder the station runs in) and $wine, and starts with failures=0.

expect() { # description command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

wait_for() { # condition, tenths of a second
  local i
  for ((i = 0; i < $2; i++)); do
    eval "$1" && return 0
    sleep 0.1
  done
  return 1
}

# The station's windows by title: "id width height x y", the main window first.
windows() {
  xwininfo -root -tree | grep -F "\"$title\"" |
    sed -E 's/^ *(0x[0-9a-f]+) .* ([0-9]+)x([0-9]+)\+(-?[0-9]+)\+(-?[0-9]+) .*/\1 \2 \3 \4 \5/' |
    sort -k2,2nr
}

# The station's Windows process: Wine's launcher does not stay its parent, so
# it is found by its working directory (the station's own folder).
station_processes() {
  local pid
  for pid in $(pgrep -f 'evaluator-station\.exe' || true); do
    [ "$(readlink "/proc/$pid/cwd" 2>/dev/null)" = "$station_dir" ] && echo "$pid"
  done
  true
}

# Starts the station in its folder and waits for its window: $station_pid,
# the main window's id and size ($wid $width $height), Wine's frame ($border,
# $caption) and the client area's place on the screen ($cx $cy). Wine draws
# the frame itself (Managed=N): the X window holds frame and client, and the
# client is 690 x 643 inside a border and the caption. Then it lets the
# first ticks run for the seconds given (none by default).
start_station() { # [seconds]
  (cd "$station_dir" && exec "$wine" evaluator-station.exe >/dev/null 2>&1 </dev/null) &
  station_pid=$!
  # Wine makes the X window unmapped, at 0,0, before the station places and shows it.
  if ! wait_for 'wid=$(windows | cut -d" " -f1 | head -n 1) && [ -n "$wid" ] &&
                 xwininfo -id "$wid" 2>/dev/null | grep -q IsViewable' 300; then
    echo "FAILED: no window titled \"$title\""
    exit 1
  fi
  read -r wid width height wx wy < <(windows | head -n 1)
  border=$(((width - 690) / 2))
  caption=$((height - 643 - border))
  cx=$((wx + border))
  cy=$((wy + caption))
  sleep "${1:-0}"
}

# Ends the station and waits until its process and windows are gone.
stop_station() {
  kill "$station_pid" $(station_processes) 2>/dev/null
  wait "$station_pid" 2>/dev/null
  station_pid=
  wait_for '[ -z "$(station_processes)" ] && [ "$(windows | wc -l)" -eq 0 ]' 100
}

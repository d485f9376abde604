# Shared by the scripts that check the real evaluator-station.exe on the run's
# X server (sourced, not run): checks that count their failures, waits in
# tenths of a second, and finding the station's windows and its process.
# The sourcing script sets $title (the window title) and $station_dir (the
# folder the station runs in), and starts with failures=0.

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

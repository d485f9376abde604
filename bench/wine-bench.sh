# Shared by the Wine benches (idle_bench.sh, wine_idle_profile.sh), sourced
# after they set root, wine and wineserver: a work folder removed at exit with
# everything started in it, an X server per program, and two Wine prefixes
# prepared alike (fonts, Wine's own frame), one for the station and one for
# the reference Win32 program, which is built here.
#   wine_bench_start NAME    sets work; KEEP=1 keeps the work folder
wine_bench_start() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  trap wine_bench_cleanup EXIT
  prepare_prefix "$work/station-prefix" &
  local prefix_a=$!
  prepare_prefix "$work/reference-prefix" &
  local prefix_b=$!
  x86_64-w64-mingw32-gcc -O2 -mwindows -o "$work/idle_reference.exe" \
    "$root/bench/win32/idle_reference.c"
  wait "$prefix_a" "$prefix_b"
}

# What the bench started, ended in reverse: programs, then their X servers.
wine_bench_cleanup() {
  if [ -f "$work/started" ]; then
    mapfile -t started < <(tac "$work/started")
    kill "${started[@]}" 2>/dev/null || true
  fi
  for prefix in "$work/station-prefix" "$work/reference-prefix"; do
    WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
  done
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}

# An X server of its own for each program: its display number.
start_x() {
  local file=$work/display.$1
  setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$file" >/dev/null 2>&1 </dev/null &
  echo $! >>"$work/started"
  for _ in $(seq 100); do
    [ -s "$file" ] && break
    sleep 0.1
  done
  tr -d '[:space:]' <"$file"
}

prepare_prefix() {
  export WINEPREFIX=$1 WINEDEBUG=-all
  "$wine" wineboot -i >/dev/null 2>&1 </dev/null
  "$wineserver" -w
  bash "$root/tests/app/win32/prepare-prefix.sh" >/dev/null 2>&1
  "$wineserver" -w
}

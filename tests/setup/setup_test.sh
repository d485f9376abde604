#!/usr/bin/env bash
# scripts/setup against a stand-in apt-get (and dpkg, dpkg-query) on PATH: no
# network, nothing installed. Each case: the stand-ins' trouble; then what
# set-up installed, in which order, and what it reported.
#   setup_test.sh <scripts/setup> <work dir>
set -uo pipefail
setup=$1
work=$2
failures=0

# The stand-ins keep their state in $STATE: installed (a package a line),
# archs, calls (one line per apt-get install), configured, lock-since. Their
# trouble: FAIL_UPDATES (list fetches that fail: "E:", exit 100; WARN_ONLY: "W:",
# exit 0), BROKEN (a package), INTERRUPTED (dpkg), LOCKED=install|update for
# LOCK_SECONDS (or never), OFFLINE (no archive can be downloaded).
make_standins() {
  mkdir -p "$1"
  cat >"$1/apt-get" <<'SH'
#!/usr/bin/env bash
timeout=$(sed -nE 's/.*DPkg::Lock::Timeout=([0-9]+).*/\1/p' <<<"$*")
while [ "$1" = -o ]; do shift 2; done
# Another apt-get holds a lock: apt-get update gives up at once, an install
# waits for the lock as long as DPkg::Lock::Timeout says.
locked() {
  [ "${LOCKED:-}" = "$1" ] || return 1
  [ -s "$STATE/lock-since" ] || date +%s >"$STATE/lock-since"
  [ "$LOCK_SECONDS" = never ] || (($(date +%s) - $(cat "$STATE/lock-since") < LOCK_SECONDS))
}
[ "$1" = update ] && locked update &&
  echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)" && exit 100
if [ "$1" = install ]; then
  pkgs=() ; for a in "${@:2}"; do [[ $a == -* ]] || pkgs+=("$a"); done
  echo "${pkgs[*]:-(mend)}" >>"$STATE/calls"
  for ((waited = 0; waited <= ${timeout:-0}; waited++)); do
    locked install || break
    echo "Waiting for cache lock: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)..."
    sleep 1
  done
  locked install && echo "E: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend), is another process using it?" && exit 100
  [ -n "${INTERRUPTED:-}" ] && [ ! -e "$STATE/configured" ] &&
    echo "E: dpkg was interrupted, you must manually run 'dpkg --configure -a' to correct the problem." && exit 100
fi
case $1 in
  update)
    n=$(($(cat "$STATE/updates" 2>/dev/null || echo 0) + 1))
    echo "$n" >"$STATE/updates"
    if ((n <= FAIL_UPDATES)) && [ -n "${WARN_ONLY:-}" ]; then
      echo "W: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease  Temporary failure resolving 'deb.debian.org'"
      echo "W: Some index files failed to download. They have been ignored, or old ones used instead."
    elif ((n <= FAIL_UPDATES)); then
      echo "Get:1 http://mirror.test/debian bookworm InRelease"
      echo "E: Failed to fetch http://mirror.test/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  install)
    ((${#pkgs[@]})) || exit 0
    if [ -n "${OFFLINE:-}" ]; then
      echo "E: Failed to fetch http://deb.debian.org/debian/pool/main/c/cmake/cmake_3.25.1-1_amd64.deb  Temporary failure resolving 'deb.debian.org'"
      exit 100
    fi
    for p in "${pkgs[@]}"; do
      if [[ " $BROKEN " == *" $p "* ]]; then
        echo "The following packages have unmet dependencies:"
        echo " libcurl4:i386 : Depends: libssl3:i386 (>= 3.0.0) but it is not going to be installed"
        echo " $p : Depends: libwine (= 8.0~repack-4) but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100
      fi
    done
    printf '%s\n' "${pkgs[@]}" >>"$STATE/installed" ;;
esac
SH
  cat >"$1/dpkg-query" <<'SH'
#!/usr/bin/env bash
grep -qxF "${!#}" "$STATE/installed" 2>/dev/null && printf 'install ok installed'
SH
  cat >"$1/dpkg" <<'SH'
#!/usr/bin/env bash
case $1 in
  --print-foreign-architectures) cat "$STATE/archs" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$STATE/archs" ;;
  --configure) touch "$STATE/configured" ;;
esac
SH
  printf '#!/bin/sh\nexec "$@"\n' >"$1/sudo"
  chmod +x "$1"/*
}

check() { # what command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# name | the stand-ins' trouble and set-up's settings | lines the report must
# hold ("installs: N": set-up called apt-get install N times)
cases=(
  "mirror heals on the second fetch; wine32 cannot be installed|FAIL_UPDATES=1 BROKEN=wine32|setup: fetching the package lists failed (try 1 of 3)
binary-i386/Packages.xz: File has unexpected size
setup: not installed: wine32: wine32 : Depends: libwine (= 8.0~repack-4) but it is not going to be installed; Unable to correct problems, you have held broken packages."
  "a list that never comes; one native package cannot be installed|FAIL_UPDATES=9 BROKEN=qemu-system-x86|setup: these package lists could not be fetched (3 tries); going on with the others:
setup: not installed: qemu-system-x86: qemu-system-x86 : Depends: libwine"
  "a name with a plus gets its own reason|BROKEN=g++|setup: not installed: g++: g++ : Depends: libwine"
  "no network: apt-get update exits 0, installs cannot download|FAIL_UPDATES=9 WARN_ONLY=1 OFFLINE=1|setup: these package lists could not be fetched (3 tries)
  http://deb.debian.org/debian/dists/bookworm/InRelease: Temporary failure resolving 'deb.debian.org'
lintian, wine32: no network: Failed to fetch http://deb.debian.org/debian/pool/main/c/cmake/
installs: 1"
  "dpkg interrupted by a power cut is mended|INTERRUPTED=1|setup: dpkg was interrupted (an install cut short); running dpkg --configure -a and apt-get -f install
setup: dpkg mended; installing again"
  "dpkg's lock frees after 5 s|LOCKED=install LOCK_SECONDS=5|setup: waiting up to 300s for the package system: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)
installs: 2"
  "the lists' lock frees after 2 s|LOCKED=update LOCK_SECONDS=2|setup: waiting up to 300s for the package lists: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)"
  "dpkg's lock never frees|LOCKED=install LOCK_SECONDS=never EVALUATOR_SETUP_LOCK_WAIT=2|setup: waiting up to 2s for the package system: Could not get lock
lintian, wine32: the package system stayed locked for 2s: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)
installs: 1"
)

rm -rf "$work"
make_standins "$work/bin"
wanted=$(sed -n '/^packages=(/,/^)/p' "$setup" | sed -e '1d;$d' -e 's/#.*//' | tr ' ' '\n' |
  grep -v '^$' | sort -u)
for i in "${!cases[@]}"; do
  row=${cases[$i]}
  IFS='|' read -r name trouble _ <<<"${row%%$'\n'*}"
  expected=${row#*|*|}
  echo "--- $name"
  export STATE=$work/state-$i
  mkdir -p "$STATE"
  # shellcheck disable=SC2086 # the row's settings, one word each
  out=$(env FAIL_UPDATES=0 BROKEN= $trouble PATH="$work/bin:$PATH" EVALUATOR_SETUP_PAUSE=0 \
    bash "$setup" 2>&1)
  status=$?
  check "set-up succeeds (exit $status)" test "$status" = 0
  while IFS= read -r line; do
    if [[ $line == "installs: "* ]]; then
      check "apt-get install called ${line#* } time(s)" test "$(wc -l <"$STATE/calls")" = "${line#* }"
    else
      check "reports: $line" grep -qF -- "$line" <<<"$out"
    fi
  done <<<"$expected"
  fail=$(sed -nE 's/.*FAIL_UPDATES=([0-9]+).*/\1/p' <<<"FAIL_UPDATES=0 $trouble")
  check "fetched the lists until they came or 3 times" \
    test "$(cat "$STATE/updates")" = "$((fail < 3 ? fail + 1 : 3))"
  check "the i386 architecture added once" test "$(cat "$STATE/archs")" = i386
  if [[ $trouble == *OFFLINE* || $trouble == *never* ]]; then
    check "nothing installed" test ! -s "$STATE/installed"
  else
    broken=$(sed -nE 's/.*BROKEN=([^ ]+).*/\1/p' <<<"$trouble")
    check "every other package installed${broken:+, $broken not}" \
      test "$(sort -u "$STATE/installed")" = "$(grep -vxF "${broken:-none}" <<<"$wanted")"
    check "wine32 comes after every other package" \
      test "$(grep -nw wine32 "$STATE/calls" | head -n1 | cut -d: -f1)" -gt \
      "$(grep -nvw wine32 "$STATE/calls" | tail -n1 | cut -d: -f1)"
    check "nothing missing on a second run: no apt-get at all" \
      bash -c 'before=$(wc -l <"$STATE/calls"); [ -z "$1" ] || echo "$1" >>"$STATE/installed"
        PATH="$2:$PATH" bash "$3" >/dev/null && test "$(wc -l <"$STATE/calls")" = "$before"' \
      _ "$broken" "$work/bin" "$setup"
  fi
  [ "$failures" = 0 ] || echo "$out"
done
echo "setup_test: $failures failed"
[ "$failures" = 0 ]

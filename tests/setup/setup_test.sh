#!/usr/bin/env bash
# scripts/setup against a stand-in apt-get (and dpkg, dpkg-query) on PATH: no
# network, nothing installed. Each case: how many package-list fetches fail,
# which package apt cannot install; then what set-up installed, in which
# order, and what it reported.
#   setup_test.sh <scripts/setup> <work dir>
set -uo pipefail
setup=$1
work=$2
failures=0

# The stand-ins keep their state in $STATE: installed (a package a line),
# archs, calls (one line per apt-get install).
make_standins() {
  mkdir -p "$1"
  cat >"$1/apt-get" <<'SH'
#!/usr/bin/env bash
case $1 in
  update)
    n=$(($(cat "$STATE/updates" 2>/dev/null || echo 0) + 1))
    echo "$n" >"$STATE/updates"
    if ((n <= FAIL_UPDATES)); then
      echo "Get:1 http://mirror.test/debian bookworm InRelease"
      echo "E: Failed to fetch http://mirror.test/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  install)
    shift
    pkgs=() ; for a in "$@"; do [[ $a == -* ]] || pkgs+=("$a"); done
    echo "${pkgs[*]}" >>"$STATE/calls"
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
grep -qx "${!#}" "$STATE/installed" 2>/dev/null && printf 'install ok installed'
SH
  cat >"$1/dpkg" <<'SH'
#!/usr/bin/env bash
case $1 in
  --print-foreign-architectures) cat "$STATE/archs" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$STATE/archs" ;;
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

# name | list fetches that fail | package apt cannot install | lines the report must hold
cases=(
  "mirror heals on the second fetch; wine32 cannot be installed|1|wine32|setup: fetching the package lists failed (try 1 of 3)
binary-i386/Packages.xz: File has unexpected size
setup: not installed: wine32: wine32 : Depends: libwine (= 8.0~repack-4) but it is not going to be installed; Unable to correct problems, you have held broken packages."
  "a list that never comes; one native package cannot be installed|9|qemu-system-x86|setup: these package lists could not be fetched (3 tries); going on with the others:
setup: not installed: qemu-system-x86: qemu-system-x86 : Depends: libwine"
)

rm -rf "$work"
make_standins "$work/bin"
for row in "${cases[@]}"; do
  IFS='|' read -r name fail broken expected <<<"${row%%$'\n'*}"
  expected=${row#*|*|*|}
  echo "--- $name"
  export STATE=$work/state-$fail FAIL_UPDATES=$fail BROKEN=$broken
  mkdir -p "$STATE"
  out=$(PATH="$work/bin:$PATH" EVALUATOR_SETUP_PAUSE=0 bash "$setup" 2>&1)
  status=$?
  check "set-up succeeds (exit $status)" test "$status" = 0
  while IFS= read -r line; do
    check "reports: $line" grep -qF -- "$line" <<<"$out"
  done <<<"$expected"
  check "fetched the lists until they came or 3 times" \
    test "$(cat "$STATE/updates")" = "$((fail < 3 ? fail + 1 : 3))"
  wanted=$(sed -n '/^packages=(/,/^)/p' "$setup" | sed -e '1d;$d' -e 's/#.*//' | tr ' ' '\n' |
    grep -v '^$' | sort -u)
  check "every other package installed, $broken not" \
    test "$(sort -u "$STATE/installed")" = "$(grep -vx "$broken" <<<"$wanted")"
  check "wine32 comes after every other package" \
    test "$(grep -nw wine32 "$STATE/calls" | head -n1 | cut -d: -f1)" -gt \
    "$(grep -nvw wine32 "$STATE/calls" | tail -n1 | cut -d: -f1)"
  check "the i386 architecture added once" test "$(cat "$STATE/archs")" = i386
  check "nothing missing on a second run: no apt-get at all" \
    bash -c 'before=$(wc -l <"$STATE/calls"); echo "$1" >>"$STATE/installed"
      PATH="$2:$PATH" bash "$3" >/dev/null && test "$(wc -l <"$STATE/calls")" = "$before"' \
    _ "$broken" "$work/bin" "$setup"
  [ "$failures" = 0 ] || echo "$out"
done
echo "setup_test: $failures failed"
[ "$failures" = 0 ]

#!/usr/bin/env bash
# The releases of this commit as a factory's IT checks them: two clones make the
# same bytes (scripts/rebuild-check), lintian passes the .deb, a throwaway
# certificate (openssl) signs the x64 .exe: the signature verifies, removing it
# gives the unsigned .exe, and a tampered .exe fails verification.
#   tests/packaging/release_check.sh <work dir>
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(realpath -m "$1")
failures=0
check() { # what command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); return 1; fi
}

check "two clones of the commit make the same releases" "$repo/scripts/rebuild-check" "$work" ||
  exit 1
clone=$work/a/clone

lintian --fail-on error,warning --info "$clone"/dist/evaluator-station_*.deb >"$work/lintian.log" 2>&1
check "lintian: no error, no warning" test $? = 0
grep -v '^running with root' "$work/lintian.log" | sed 's/^/  lintian: /'

signing=$work/signing
mkdir -m 700 "$signing"
openssl rand -hex 16 >"$signing/password"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Evaluator station throwaway signer" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
  -keyout "$signing/key.pem" -out "$signing/certificate.pem" 2>/dev/null &&
  openssl pkcs12 -export -inkey "$signing/key.pem" -in "$signing/certificate.pem" \
    -passout "file:$signing/password" -out "$signing/signer.p12"
export EVALUATOR_SIGN_PKCS12=$signing/signer.p12 EVALUATOR_SIGN_PASSWORD_FILE=$signing/password
signed=$(cd "$clone" && CCACHE_DISABLE=1 scripts/package-zip mingw x64 "$signing/dist")
version=$(sed -nE 's/^CMAKE_PROJECT_VERSION:[A-Z]+=//p' "$clone/build/mingw/CMakeCache.txt")
check "signed with a throwaway certificate; the release zip check verifies the signature" env \
  STATIC_ONLY=1 bash "$repo/tests/app/win32/release_zip.sh" "$signed" "$version" none "$signing/check"
exe=$signing/check/站点\ 测试/evaluator-station.exe
unzip -q -d "$signing/unsigned" "$clone/dist/$(basename "$signed")"
osslsigncode remove-signature -in "$exe" -out "$signing/removed.exe" >/dev/null
check "the signed .exe less its signature is the unsigned one" \
  cmp "$signing/removed.exe" "$signing/unsigned/evaluator-station.exe"
# One byte of the program's code changed after it was signed.
printf '\x90' | dd of="$exe" bs=1 seek=$((0x1010)) conv=notrunc status=none
check "a tampered .exe fails verification" \
  bash -c '! osslsigncode verify -in "$1" -CAfile "$2"' _ "$exe" "$signing/certificate.pem"

echo "release check: $failures failed"
[ "$failures" = 0 ]

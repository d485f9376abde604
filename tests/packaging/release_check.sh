#!/usr/bin/env bash
# The releases of the commit checked out here, checked as a factory's IT would:
# - two clean clones of it, in two folders of different depth, each make every
#   release (scripts/package: both zips and the .deb, only the programs built,
#   not the tests); the two SHA256SUMS are equal, and no release file holds
#   either clone's folder;
# - lintian finds no error or warning in the .deb (overrides say why);
# - each zip passes the release zip check (files only: its contents, licenses,
#   version record, no signature);
# - signing with a throwaway certificate made here (openssl): the signed zip
#   passes the release zip check, which verifies the signature; the signed
#   .exe less its signature is the unsigned one; a tampered .exe fails
#   verification.
#   tests/packaging/release_check.sh <work dir>
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(realpath -m "$1")
commit=$(git -C "$repo" rev-parse HEAD)
failures=0
check() { # what command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); return 1; fi
}

rm -rf "$work"
mkdir -p "$work"
clones=("$work/a/clone" "$work/the-second-clone/one/folder/deeper/clone")
for clone in "${clones[@]}"; do
  git clone -q --no-hardlinks "$repo" "$clone" && git -C "$clone" checkout -q --detach "$commit" ||
    { echo "FAILED: cloning $commit into $clone"; exit 1; }
  start=$SECONDS
  # No compiler cache (its objects may carry another folder's paths), no
  # settings from outside: the time is the commit's, and nothing is signed.
  (cd "$clone" && env -u SOURCE_DATE_EPOCH -u EVALUATOR_SIGN_PKCS12 -u EVALUATOR_SIGN_PASSWORD_FILE \
    -u EVALUATOR_SIGN_TIMESTAMP_URL -u CMAKE_C_COMPILER_LAUNCHER -u CMAKE_CXX_COMPILER_LAUNCHER \
    CCACHE_DISABLE=1 scripts/package) >"$clone.log" 2>&1
  check "scripts/package in $clone ($((SECONDS - start)) s)" test $? = 0 ||
    { tail -n 30 "$clone.log"; exit 1; }
done
a=${clones[0]}/dist b=${clones[1]}/dist
echo "--- SHA256SUMS of $commit, built in two folders"
paste -d '\n' "$a/SHA256SUMS" "$b/SHA256SUMS" | sed "s|^|  |"
check "both zips and the .deb are the same from both clones" cmp -s "$a/SHA256SUMS" "$b/SHA256SUMS"
check "SHA256SUMS lists both zips and the .deb" test "$(wc -l <"$a/SHA256SUMS")" = 3

# Every file of every release, unpacked: no clone's folder in any.
unpacked=$work/unpacked
mkdir -p "$unpacked"
for zip in "$a"/*.zip; do unzip -q "$zip" -d "$unpacked/$(basename "$zip" .zip)"; done
dpkg-deb -x "$a"/evaluator-station_*.deb "$unpacked/deb"
for clone in "${clones[@]}"; do
  check "no release file holds the folder $clone" \
    bash -c '! grep -rlF "$1" "$2"' _ "$clone" "$unpacked"
done

echo "--- lintian"
lintian --fail-on error,warning --info "$a"/evaluator-station_*.deb >"$work/lintian.log" 2>&1
lintian_status=$?
grep -v '^running with root privileges' "$work/lintian.log" | sed 's/^/  /'
grep -q '^[EW]: ' "$work/lintian.log" || echo "  (no error or warning)"
check "lintian: no error, no warning" test "$lintian_status" = 0

version=$(sed -nE 's/^CMAKE_PROJECT_VERSION:[A-Z]+=//p' "${clones[0]}/build/mingw/CMakeCache.txt")
zip_check() { # zip out-dir: the release zip check, files only
  STATIC_ONLY=1 bash "$repo/tests/app/win32/release_zip.sh" "$1" "$version" none "$2" |
    sed 's/^/  /'
  return "${PIPESTATUS[0]}"
}
for zip in "$a"/*.zip; do
  check "the release zip check of $(basename "$zip")" zip_check "$zip" "$work/check-$(basename "$zip" .zip)"
done

echo "--- signing with a throwaway certificate"
signing=$work/signing
mkdir -p "$signing"
chmod 700 "$signing"
openssl rand -hex 16 >"$signing/password"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Evaluator station throwaway signer" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
  -keyout "$signing/key.pem" -out "$signing/certificate.pem" 2>/dev/null &&
  openssl pkcs12 -export -inkey "$signing/key.pem" -in "$signing/certificate.pem" \
    -passout "file:$signing/password" -out "$signing/signer.p12"
check "a throwaway certificate made" test -s "$signing/signer.p12"
export EVALUATOR_SIGN_PKCS12=$signing/signer.p12 EVALUATOR_SIGN_PASSWORD_FILE=$signing/password
signed=$(cd "${clones[0]}" && CCACHE_DISABLE=1 scripts/package-zip mingw x64 "$signing/dist" 2>"$signing/package.log")
check "scripts/package-zip signs with it" test -s "$signed"
check "the signed zip passes the release zip check, signature verified" \
  zip_check "$signed" "$signing/check"
unsigned_exe=$unpacked/$(basename "$signed" .zip)/evaluator-station.exe
signed_exe=$signing/check/站点\ 测试/evaluator-station.exe
osslsigncode remove-signature -in "$signed_exe" -out "$signing/removed.exe" >/dev/null 2>&1
check "the signed .exe less its signature is the unsigned one" cmp -s "$signing/removed.exe" "$unsigned_exe"
cp "$signed_exe" "$signing/tampered.exe"
# One byte of the program's code changed, after it was signed.
printf '\x90' | dd of="$signing/tampered.exe" bs=1 seek=$((0x1010)) conv=notrunc status=none
osslsigncode verify -in "$signing/tampered.exe" -CAfile "$signing/certificate.pem" >"$signing/tampered.log" 2>&1
tampered_status=$?
sed -n '/[Mm]ismatch\|[Ff]ailed/s/^/  /p' "$signing/tampered.log" | head -n 3
check "a tampered .exe fails verification" test "$tampered_status" != 0
unset EVALUATOR_SIGN_PKCS12 EVALUATOR_SIGN_PASSWORD_FILE

echo "release check: $failures failed"
[ "$failures" = 0 ]

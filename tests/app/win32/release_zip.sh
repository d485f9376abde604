#!/usr/bin/env bash
# A release zip as the factory gets it (scripts/package-zip), on the run's Wine
# prefix and X server: it holds only the stripped evaluator-station.exe,
# README.txt and LICENSES.txt; the .exe is signed as scripts/package-zip was
# told; its version record carries the version, its names and the copyright,
# it has its icon in every size, its manifest asks for no elevation and is
# DPI and long-path aware, it is at most 450 kB and needs no DLL but the
# system's own; unzipped into a fresh folder named in Chinese it starts, shows
# its window with the photograph and 0/0, and a left double-click on the count
# writes test.ini beside it. A screenshot stays in <output dir>.
#   release_zip.sh <zip> <version> <win32_label_probe.exe> <output dir>
# With STATIC_ONLY=1 (a width whose Wine is not installed) only the files are
# checked: the zip, the version record, the manifest, the size and the imports.
set -uo pipefail
zip=$1
version=$2
probe=$3
out=$(realpath -m "$4")
here=$(cd "$(dirname "$0")" && pwd)
photo=$here/../../../resources/evaluator.jpg
wine=${WINE:-/usr/lib/wine/wine64}
title="Evaluator Test Station"

static_only=${STATIC_ONLY:-}
tools=(unzip python3)
[ -n "$static_only" ] || tools+=(xdotool xwininfo import convert compare)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit 77; }
done
[ -n "$static_only" ] || [ -n "${DISPLAY:-}" ] || { echo "SKIP: no X server"; exit 77; }
export WINEDEBUG=-all

rm -rf "$out"
# A folder the operator picked, with a space and named outside Wine's ANSI code
# page (1252): "站点 测试".
folder="$out/站点 测试"
station_dir=$folder
mkdir -p "$folder"
failures=0
station_pid=
cleanup() {
  kill $station_pid $(station_processes) 2>/dev/null
  true
}
trap cleanup EXIT
# shellcheck source=station-checks.sh
source "$here/station-checks.sh"
same() { # a b fuzz pixels
  [ "$(compare -metric AE -fuzz "$3" "$1" "$2" null: 2>&1 | sed -E 's/[^0-9.].*//')" -le "$4" ]
}

echo "--- $(basename "$zip")"
expect "the zip holds evaluator-station.exe, README.txt and LICENSES.txt, nothing else" \
  test "$(unzip -Z1 "$zip" | sort | tr '\n' ' ')" = "LICENSES.txt README.txt evaluator-station.exe "
unzip -q "$zip" -d "$folder"
exe=$folder/evaluator-station.exe
# The PE file's symbol table and the version record: FILEVERSION in the fixed
# part (major.minor in the high word) and the "FileVersion" text; then the
# names Explorer shows, one "name=value" a line. Each text follows its key,
# 32-bit aligned, in UTF-16.
pe_facts() {
  python3 - "$exe" <<'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read()
pe = struct.unpack_from('<I', data, 0x3C)[0]
symbols, = struct.unpack_from('<I', data, pe + 16)  # NumberOfSymbols
fixed = data.find(struct.pack('<I', 0xFEEF04BD))
ms, ls = struct.unpack_from('<II', data, fixed + 8)
def text(name):
    at = data.find((name + '\0').encode('utf-16-le')) + 2 * len(name) + 2
    at += (-at) % 4
    return data[at:data.find(b'\0\0', at) + 1].decode('utf-16-le').rstrip('\0')
print(symbols, f'{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}', text('FileVersion'))
for name in ('CompanyName', 'FileDescription', 'ProductName', 'ProductVersion'):
    print(name + '=' + text(name))
EOF
}
{ read -r symbols fixed_version text_version; names=$(cat); } < <(pe_facts)
expect "the .exe is stripped (no symbol table)" test "$symbols" = 0
expect "the version record says $version ($fixed_version, \"$text_version\")" \
  test "$text_version" = "$version" -a "${fixed_version%.0}" = "$version"
# Three things read through the PE file's directories: "manifest", the resource
# of type 24 (RT_MANIFEST), id 1; "icons", the sizes of the first icon group
# (type 14, RT_GROUP_ICON: what Explorer shows); "imports", the DLL names of the
# import table.
pe_read() { # manifest | imports
  python3 - "$exe" "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read()
pe = struct.unpack_from('<I', data, 0x3C)[0]
sections, optional = struct.unpack_from('<H12xH', data, pe + 6)
magic, = struct.unpack_from('<H', data, pe + 24)
directories = pe + 24 + (112 if magic == 0x20B else 96)  # PE32+ or PE32
def offset(address):  # file offset of a virtual address
    for i in range(sections):
        size, start, raw_size, raw = struct.unpack_from('<IIII', data, pe + 24 + optional + 40 * i + 8)
        if start <= address < start + max(size, raw_size):
            return address - start + raw
    raise SystemExit(f'RVA {address:#x} in no section')
if sys.argv[2] == 'imports':
    imports, = struct.unpack_from('<I', data, directories + 8)  # entry 1
    at = offset(imports) if imports else None
    names = []
    while at is not None and any(data[at:at + 20]):
        name = offset(struct.unpack_from('<I', data, at + 12)[0])
        names.append(data[name:data.index(b'\0', name)].decode('ascii').lower())
        at += 20
    print(' '.join(sorted(names)))
    sys.exit()
base = offset(struct.unpack_from('<I', data, directories + 16)[0])  # entry 2: resources
def entry(directory, wanted):  # the entry of an id in a resource directory
    named, ids = struct.unpack_from('<HH', data, base + directory + 12)
    for i in range(named + ids):
        name, target = struct.unpack_from('<II', data, base + directory + 16 + 8 * i)
        if wanted is None or name == wanted:
            return target & 0x7FFFFFFF
languages = entry(entry(0, 24), 1) if sys.argv[2] == 'manifest' else entry(entry(0, 14), None)
address, size = struct.unpack_from('<II', data, base + entry(languages, None))
found = data[offset(address):offset(address) + size]
if sys.argv[2] == 'icons':  # GRPICONDIR, then 14 bytes an image: its width first (0 is 256)
    print(' '.join(str(found[6 + 14 * i] or 256) for i in range(struct.unpack_from('<H', found, 4)[0])))
    sys.exit()
sys.stdout.write(found.decode())
EOF
}
pe_read manifest >"$out/manifest.xml" 2>/dev/null
expect "the manifest (type 24, id 1) asks for level=\"asInvoker\", no UI access" \
  grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' "$out/manifest.xml"
expect "the manifest names Windows 7, 8, 8.1 and 10/11, is DPI aware per monitor (PerMonitorV2, PerMonitor; true/pm) and longPathAware" \
  test "$(grep -oE '<supportedOS Id="[^"]+"|>(PerMonitorV2, PerMonitor</dpiAwareness|true/pm</dpiAware|true</longPathAware)>' "$out/manifest.xml" | sort -u | wc -l)" -eq 7
expect "the icon holds 16, 20, 24, 32, 40, 48, 64 and 256 pixels ($(pe_read icons 2>/dev/null))" \
  test "$(pe_read icons 2>/dev/null)" = "16 20 24 32 40 48 64 256"
expect "the version record names the maker, the program and $version: $(tr '\n' ' ' <<<"$names")" \
  test "$(grep -cE '^(CompanyName|FileDescription|ProductName)=.+|^ProductVersion='"$version"'$' <<<"$names")" = 4
# The system's own DLLs, there on every Windows the station runs on. The
# device-setup and HID libraries are not among them: those are bound at run time.
system_dlls=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msimg32.dll msvcrt.dll
  ole32.dll oleaut32.dll shell32.dll shlwapi.dll user32.dll version.dll windowscodecs.dll "
only_system_dlls() {
  local dll
  for dll in $(pe_read imports); do
    case $system_dlls in *[[:space:]]$dll[[:space:]]*) ;; *) echo "  not a system DLL: $dll"; return 1 ;; esac
  done
}
size=$(stat -c %s "$exe")
expect "the stripped .exe is at most 450 kB ($size bytes)" test "$size" -le 450000
expect "the .exe imports only the system's own DLLs ($(pe_read imports | tr ' ' ','))" only_system_dlls
# LICENSES.txt (the station's MIT License; the MinGW-w64, winpthreads and GCC
# notices), the version record's "LegalCopyright", and the signature: with a
# certificate given, a valid Authenticode signature by it (checked against the
# certificates of its PKCS#12 file and the system's); without, an empty
# certificate table (PE directory entry 4).
licenses_ok() {
  grep -q $'\r$' "$folder/LICENSES.txt" && [ "$(grep -cE '^(MIT License|License: ZPL-2.1|Files: mingw-w64-libraries/winpthreads/\*|GCC RUNTIME LIBRARY EXCEPTION)' "$folder/LICENSES.txt")" -ge 4 ]
}
read -r certificates copyright < <(python3 - "$exe" <<'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read()
pe = struct.unpack_from('<I', data, 0x3C)[0]
directories = pe + 24 + (112 if struct.unpack_from('<H', data, pe + 24)[0] == 0x20B else 96)
at = data.find('LegalCopyright\0'.encode('utf-16-le')) + 30
at += (-at) % 4
print(struct.unpack_from('<I', data, directories + 36)[0], data[at:data.find(b'\0\0', at) + 1].decode('utf-16-le'))
EOF
)
signature_ok() {
  [ -n "${EVALUATOR_SIGN_PKCS12:-}" ] || { [ "$certificates" = 0 ]; return; }
  openssl pkcs12 -in "$EVALUATOR_SIGN_PKCS12" -passin "file:$EVALUATOR_SIGN_PASSWORD_FILE" -nokeys \
    -out "$out/signer.pem" && cat /etc/ssl/certs/ca-certificates.crt >>"$out/signer.pem" 2>/dev/null
  osslsigncode verify -in "$exe" -CAfile "$out/signer.pem" >"$out/verify.log" 2>&1 ||
    { sed 's/^/  /' "$out/verify.log"; return 1; }
}
expect "LICENSES.txt holds the MIT License and the MinGW-w64, winpthreads and GCC notices" licenses_ok
expect "the version record's copyright line (\"$copyright\")" eval '[[ $copyright == Copyright*MIT* ]]'
expect "$([ -n "${EVALUATOR_SIGN_PKCS12:-}" ] && echo "signed and the signature verifies" ||
  echo "not signed (no certificate given)") (certificate table: $certificates bytes)" signature_ok
readme_ok() { head -n 1 "$folder/README.txt" | grep -q " $version " && grep -q $'\r$' "$folder/README.txt"; }
expect "README.txt names the version and has Windows line ends" readme_ok
if [ -n "$static_only" ]; then
  echo "release_zip: $failures failed (files only: the .exe was not started)"
  [ "$failures" -eq 0 ]
  exit
fi

start_station 0.5 # and its first ticks
import -window root "$out/screen.png"
convert "$out/screen.png" -crop "690x643+$cx+$cy" +repage "$out/window.png"
convert -size 690x643 xc:black "$photo" -geometry +45+7 -composite "$out/photograph.png"
convert "$out/window.png" -crop 300x200+50+300 +repage "$out/a.png"
convert "$out/photograph.png" -crop 300x200+50+300 +repage "$out/b.png"
expect "the window shows the photograph" same "$out/a.png" "$out/b.png" 10% 20
"$wine" "$probe" 0/0 "$("$wine" winepath -w "$out/probe.bmp")" </dev/null
convert "$out/probe.bmp" -alpha off "$out/probe.png"
convert "$out/window.png" -crop 170x57+512+24 +repage "$out/count.png"
expect "with no test.ini the count shows 0/0" same "$out/count.png" "$out/probe.png" 10% 8
expect "no test.ini before the first write" test ! -e "$folder/test.ini"
xdotool mousemove $((cx + 597)) $((cy + 52)) click --repeat 2 --delay 80 1
expect "a left double-click writes test.ini beside the .exe" \
  wait_for 'tr -d "\r" <"$folder/test.ini" 2>/dev/null | grep -qx Total=0' 30
stop_station

echo "release_zip: $failures failed (screenshot in $out/window.png)"
[ "$failures" -eq 0 ]

#!/usr/bin/env bash
# Prepares the run's Wine prefix for the window tests: Wine has no SimSun, and
# its fallback for "宋体" has no digits or '/', so the three names go to the
# CJK font the machine has (fonts-wqy-zenhei); and with no window manager on
# the X server, Wine draws the frame and caption itself (Managed=N), which also
# avoids a stall of seconds when a message box closes. A test program that
# crashes must end at once with its error: Wine's default answer to an
# unhandled fault is to start its debugger, which under WoW64 waited for good
# and left the test hanging to its time-out; the "debugger" here exits at once.
set -euo pipefail
: "${WINEPREFIX:?set WINEPREFIX to the prefix of this run}"
wine=${WINE:-/usr/lib/wine/wine64}
reg=$(mktemp "${TMPDIR:-/tmp}/window-prefix.XXXXXX.reg")
trap 'rm -f "$reg"' EXIT
substitutes() { # key
  printf '[%s]\r\n"SimSun"="WenQuanYi Zen Hei"\r\n"NSimSun"="WenQuanYi Zen Hei"\r\n' "$1"
  printf '"\xe5\xae\x8b\xe4\xbd\x93"="WenQuanYi Zen Hei"\r\n\r\n'
}
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n'
  substitutes 'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
  for key in 'Software' 'Software\Wow6432Node'; do
    printf '[HKEY_LOCAL_MACHINE\\%s\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]\r\n' "$key"
    printf '"Debugger"="cmd /c exit"\r\n"Auto"="1"\r\n\r\n'
  done
  substitutes 'HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
} | iconv -f utf-8 -t utf-16 >"$reg" # regedit's version 5 files are UTF-16
WINEDEBUG=-all "$wine" regedit /S "$(WINEDEBUG=-all "$wine" winepath -w "$reg")" </dev/null

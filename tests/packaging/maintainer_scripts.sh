#!/usr/bin/env bash
# The package's postinst and postrm, run for real as root in a private mount
# namespace: /etc is a copy (addgroup changes it), /var/lib an empty tmpfs, the
# USB devices in sysfs (a tmpfs over /sys/bus) three fakes (the evaluator, an FT232 adapter and a
# keyboard), and udevadm a stub that logs what it is asked. An operator's moves
# are played at the worst moment: test.ini in the shared folder becomes a link
# (to a folder, to a root-owned file, to nothing) just before the scripts' own
# step on that name, and before postinst runs. Whatever is planted, nothing
# outside the package's folder may appear or change owner, group, mode or bytes.
#
#   tests/packaging/maintainer_scripts.sh packaging/linux      (as root; 77 = skipped)
set -euo pipefail

scripts=$(cd "${1:?the folder with postinst and postrm}" && pwd)
if [ "${IN_NAMESPACE:-}" != 1 ]; then
  if [ "$(id -u)" != 0 ] || ! unshare --mount true 2>/dev/null; then
    echo "SKIP: needs root and unshare (a private mount namespace over /etc and /var/lib)"
    exit 77
  fi
  IN_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"
fi

work=$(mktemp -d /tmp/maintainer-scripts.XXXXXX)
trap 'cd /; umount /etc /var/lib /sys/bus 2>/dev/null || true; rm -rf "$work"' EXIT
cp -a /etc "$work/etc"
mount --bind "$work/etc" /etc
mount -t tmpfs tmpfs /var/lib
mount -t tmpfs tmpfs /sys/bus
for dev in 1-1:10c4:82cd 1-2:0403:6001 1-3:046d:c52b; do
  IFS=: read -r name vendor product <<<"$dev"
  mkdir -p "/sys/bus/usb/devices/$name"
  echo "$vendor" >"/sys/bus/usb/devices/$name/idVendor"
  echo "$product" >"/sys/bus/usb/devices/$name/idProduct"
done

mkdir "$work/bin"
cat >"$work/bin/udevadm" <<STUB
#!/bin/sh
echo "\$*" >>"$work/udevadm.log"
STUB
# The operator's move between the steps: just before the scripts' first call of
# the command PLANT_BEFORE names (ln after postinst's check, perl on a kept
# file, rm at purge), the name in the shared folder becomes a link to PLANT.
cat >"$work/bin/stand-in" <<STUB
#!/bin/sh
name=\$(basename "\$0")
if [ "\$name" = "\${PLANT_BEFORE:-}" ] && [ ! -e "$work/planted" ]; then
  : >"$work/planted"
  /usr/bin/rm -rf /var/lib/evaluator-station/test.ini
  /usr/bin/ln -s "\$PLANT" /var/lib/evaluator-station/test.ini
fi
exec /usr/bin/\$name "\$@"
STUB
chmod +x "$work/bin/udevadm" "$work/bin/stand-in"
for command in ln perl rm; do ln -s stand-in "$work/bin/$command"; done
export PATH="$work/bin:$PATH"

dir=/var/lib/evaluator-station
echo secret >/etc/victim
chmod 600 /etc/victim
# A folder that every shell reads (/etc/bash_completion.d, say), here on the
# shared folder's file system, as /etc is on most machines: a hard link can
# reach it.
mkdir /var/lib/victim.d
failures=0
check() { # description, then a command that must succeed
  local what=$1
  shift
  if "$@"; then echo "ok - $what"; else echo "not ok - $what"; failures=$((failures + 1)); fi
}
# Owner, group and mode of everything outside the package's folder; addgroup's
# own files are expected to change.
outside() {
  find /etc /var/lib -path "$dir" -prune -o -type d -printf '%p %u %g %m\n' -o \
    -printf '%p %u %g %m %s %T@\n' |
    grep -v -E '^/etc/(group|gshadow|passwd|shadow|subgid|subuid)-? |^/etc/\.pwd\.lock |^/var/lib ' |
    sort
}
is() { [ "$1" = "$2" ] || { echo "  got '$1', want '$2'"; return 1; }; }
unchanged_outside() { diff <(echo "$before") <(outside) | sed 's/^/  /'; }
fresh() { rm -rf "$dir" /var/lib/evaluator-station.* "$work/udevadm.log" "$work/planted"; }

before=$(outside)

# Install, reinstall, upgrade and purge, an operator planting a link to a
# folder, to root's file or to nothing at the race's moment.
for target in /var/lib/victim.d /etc/victim /etc/nologin; do
  for step in install reinstall upgrade purge; do
    fresh
    case $step in
      install) run=(postinst configure) racer=ln ;;
      reinstall) "$scripts/postinst" configure; run=(postinst configure 1.0) racer=perl ;;
      upgrade) install -d -m 2775 -g plugdev "$dir"; printf '[COUNT]\r\n' >"$dir/test.ini"
        run=(postinst configure 0.9) racer=perl ;;
      purge) "$scripts/postinst" configure; run=(postrm purge) racer=rm ;;
    esac
    PLANT=$target PLANT_BEFORE=$racer "$scripts/${run[0]}" "${run[@]:1}"
    check "$step, a link to $target planted before $racer: it was planted" test -e "$work/planted"
    if [ "$step" = purge ]; then
      check "$step removes the folder and the link ($target)" test ! -e "$dir" -a ! -L "$dir"
    else
      check "$step leaves the planted link as it is ($target)" is "$(readlink "$dir/test.ini")" "$target"
    fi
    check "$step: nothing outside appeared or changed ($target)" unchanged_outside
  done
done
check "the victim is root's, 600, and its bytes kept" is "$(stat -c '%U:%G %a' /etc/victim) $(cat /etc/victim)" \
  "root:root 600 secret"

fresh
"$scripts/postinst" configure
check "the group exists" getent group evaluator
check "the folder is root:evaluator 2775" is "$(stat -c '%U:%G %a' "$dir")" "root:evaluator 2775"
check "no folder of postinst's left" is "$(echo /var/lib/evaluator-station.*)" "/var/lib/evaluator-station.*"
check "the rules are reloaded" grep -qx "control --reload-rules" "$work/udevadm.log"
check "only the evaluator and the adapter are triggered, and only their nodes" is \
  "$(grep trigger "$work/udevadm.log")" \
  "trigger --action=change --subsystem-match=hidraw --subsystem-match=tty --parent-match=/sys/bus/usb/devices/1-1
trigger --action=change --subsystem-match=hidraw --subsystem-match=tty --parent-match=/sys/bus/usb/devices/1-2"

# A fresh install left alone, then run again (an upgrade): one empty file.
fresh
"$scripts/postinst" configure
check "test.ini is a plain file, root:evaluator 664" is "$(stat -c '%F %U:%G %a %s' "$dir/test.ini")" \
  "regular empty file root:evaluator 664 0"
"$scripts/postinst" configure
check "a second run keeps it" is "$(stat -c '%F %U:%G %a' "$dir/test.ini")" "regular empty file root:evaluator 664"

# An upgrade from the version that used plugdev, with a file an operator made 0644.
fresh
install -d -m 2775 -g plugdev "$dir"
printf '[COUNT]\r\nTotal=7\r\n' >"$dir/test.ini"
chown 1000:plugdev "$dir/test.ini"
chmod 644 "$dir/test.ini"
"$scripts/postinst" configure
check "the old folder becomes the group's" is "$(stat -c '%U:%G %a' "$dir")" "root:evaluator 2775"
check "the old file becomes the group's, 664, counters kept" is \
  "$(stat -c '%u:%G %a' "$dir/test.ini") $(tr -d '\r\n' <"$dir/test.ini")" "1000:evaluator 664 [COUNT]Total=7"

# An upgrade with a link planted at test.ini beforehand, and a dangling one.
for target in /etc/victim /etc/nologin; do
  fresh
  install -d -m 2775 -g evaluator "$dir"
  ln -s "$target" "$dir/test.ini"
  "$scripts/postinst" configure
  check "a link to $target planted before is left as it is" is "$(readlink "$dir/test.ini")" "$target"
  check "nothing outside changed or appeared ($target)" unchanged_outside
done

# Removal and purge.
fresh
"$scripts/postinst" configure
rm -f "$work/udevadm.log"
"$scripts/postrm" remove
check "removal keeps the counters" test -f "$dir/test.ini"
check "removal reloads the rules and hands the devices back" is \
  "$(grep -c -e '--reload-rules' -e 'parent-match=/sys/bus/usb/devices/1-[12]$' "$work/udevadm.log")" 3
ln -sf /etc/victim "$dir/test.ini"
"$scripts/postrm" purge
check "purge removes the folder" test ! -e "$dir"
check "purge removes a planted link, not its target" is "$(cat /etc/victim)" secret
check "purge keeps the system group" getent group evaluator
check "nothing outside changed at the end" unchanged_outside

echo "$failures failed"
[ "$failures" = 0 ]

#!/usr/bin/env bash
# The Linux backend on a real kernel USB stack: a QEMU guest (software
# emulation) whose xHCI controller carries an FTDI adapter (QEMU's usb-serial),
# a HID evaluator and a PL2303 adapter (usb-redir, from the host program's
# usbredir peers). The guest runs the probe program from a small initramfs
# built here; the host program plays the three evaluators, unplugs them and
# checks what the guest says.
#
#   usb_stack.sh HOST_PROGRAM PROBE_PROGRAM WORK_DIR
#
# The kernel is Debian's linux-image-*-amd64, fetched once with apt-get
# download, checked against the SHA256 in apt's own record of it and unpacked
# (nothing is installed) into a cache outside the clone,
# ${XDG_CACHE_HOME:-~/.cache}/evaluator-station/qemu-kernel, so that another
# clone on the same machine, CI's among them, does not fetch it again. Without
# qemu, busybox-static, cpio or the kernel the test is skipped (77), except
# under CI, where scripts/setup installs them and a skip would hide a fault.
set -euo pipefail

host_program=$1
probe_program=$2
kernel_cache=${XDG_CACHE_HOME:-${HOME:-$(getent passwd "$(id -un)" | cut -d: -f6)}/.cache}/evaluator-station/qemu-kernel
work=$3

skip() {
  echo "qemu_usb_stack: $*"
  if [ "${CI:-}" = true ]; then
    echo "qemu_usb_stack: CI must run this test: failing instead of skipping"
    exit 1
  fi
  echo "qemu_usb_stack: skipped"
  exit 77
}

qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skip "qemu-system-x86_64 not found (Debian: qemu-system-x86)"
busybox=/bin/busybox
[ -x "$busybox" ] && ! readelf -l "$busybox" | grep -q 'program interpreter' ||
  skip "no statically linked $busybox (Debian: busybox-static)"
command -v cpio >/dev/null || skip "cpio not found"

# The modules the guest needs, by their file names; their dependencies are
# added from each module's own depends= (the package has no modules.dep: depmod
# runs only when it is installed).
wanted=(xhci-pci usbhid hid-generic ftdi_sio pl2303)

# apt_answer: sets package to the image that linux-image-amd64 depends on and
# sha256 to the checksum apt's record gives its .deb. apt-cache takes seconds
# to read the package lists (several where its binary cache is turned off, as
# in containers), so its answer is kept in the cache for as long as the lists
# it came from are unchanged.
apt_answer() {
  local stamp record=$kernel_cache/apt-answer
  stamp=$(stat -c '%n %s %Y' /var/lib/apt/lists/*Packages* /etc/apt/preferences* 2>/dev/null |
    sha256sum | cut -d' ' -f1)
  if [ -f "$record" ] && [ "$(sed -n 1p "$record")" = "$stamp" ]; then
    package=$(sed -n 2p "$record")
    sha256=$(sed -n 3p "$record")
    return
  fi
  package=$(apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1)
  [ -n "$package" ] || return 0
  sha256=$(apt-cache show --no-all-versions "$package" 2>/dev/null | sed -n 's/^SHA256: //p')
  printf '%s\n%s\n%s\n' "$stamp" "$package" "$sha256" >"$record.$$" && mv -f "$record.$$" "$record"
}

# fetch_kernel: sets kernel_dir to the unpacked vmlinuz and module tree of the
# image that linux-image-amd64 depends on, fetching it when it is not cached.
fetch_kernel() {
  local package= sha256=
  apt_answer
  if [ -z "$package" ]; then
    # No package lists (apt-get update never ran): any image cached before will do.
    kernel_dir=$(find "$kernel_cache" -mindepth 1 -maxdepth 1 -type d -name 'linux-image-*' \
      2>/dev/null | sort | tail -n 1)
    [ -n "$kernel_dir" ] || skip "apt-cache names no linux-image-*-amd64 and none is cached"
    return
  fi
  kernel_dir=$kernel_cache/$package
  # The checksum of the .deb that apt's record names: a cached kernel unpacked
  # from another build of the same package name is fetched again.
  if [ -f "$kernel_dir/.complete" ] &&
     { [ -z "$sha256" ] || [ "$(cat "$kernel_dir/.complete")" = "$sha256" ]; }; then
    return
  fi
  echo "qemu_usb_stack: fetching $package (once; cached in $kernel_cache)"
  local download
  download=$(mktemp -d)
  if ! (cd "$download" && apt-get download "$package" >/dev/null 2>&1); then
    # The lists may name a version the archive has replaced since.
    if [ "$(id -u)" -eq 0 ]; then
      apt-get update -qq >/dev/null 2>&1 || true
    fi
    (cd "$download" && apt-get download "$package" >/dev/null 2>&1) || {
      rm -rf "$download"
      skip "apt-get download $package failed"
    }
  fi
  if [ -n "$sha256" ] && ! echo "$sha256  $(echo "$download"/*.deb)" | sha256sum -c --quiet; then
    rm -rf "$download"
    skip "$package does not match the SHA256 of apt's record"
  fi
  rm -rf "$kernel_dir"
  mkdir -p "$kernel_dir"
  # Only the kernel and the USB and HID drivers: a few MB of the package's 400.
  dpkg-deb --fsys-tarfile "$download"/*.deb |
    tar -x -C "$kernel_dir" --wildcards './boot/vmlinuz-*' \
      './lib/modules/*/kernel/drivers/usb/*' './lib/modules/*/kernel/drivers/hid/*'
  rm -rf "$download"
  unpack_vmlinux
  echo "$sha256" >"$kernel_dir/.complete"
}

# Under software emulation the bzImage's own xz decompression takes seconds
# of each boot. The ELF inside it has a PVH entry point (a Xen note of type
# 0x12), which QEMU enters directly: unpack it once, and boot that when it is
# there.
unpack_vmlinux() {
  local image offset
  image=$(find "$kernel_dir/boot" -name 'vmlinuz-*' | head -n 1)
  offset=$(LC_ALL=C grep -abo $'\xfd7zXZ' "$image" | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || return 0
  tail -c +$((offset + 1)) "$image" | xz -dc --single-stream >"$kernel_dir/vmlinux" 2>/dev/null || true
  if ! readelf -n "$kernel_dir/vmlinux" 2>/dev/null | grep -q 'note type: (0x00000012)'; then
    rm -f "$kernel_dir/vmlinux"
  fi
}

# module_file NAME: the module's file (names use - and _ alike).
module_file() {
  local pattern=${1//[-_]/[-_]}
  find "$kernel_dir/lib/modules" -name "$pattern.ko*" | head -n 1
}

# modinfo_depends FILE: the modules FILE needs, from its .modinfo section.
modinfo_depends() {
  case $1 in
  *.xz) xz -dc "$1" ;;
  *.zst) zstd -dcq "$1" ;;
  *) cat "$1" ;;
  esac | tr '\0' '\n' | sed -n 's/^depends=//p' | tr ',' ' '
}

# Puts NAME after everything it depends on into the load order.
order=()
add_module() {
  local name=$1 file dep
  for dep in "${order[@]}"; do
    [ "$dep" = "$name" ] && return
  done
  file=$(module_file "$name")
  [ -n "$file" ] || skip "module $name is not in $kernel_dir"
  for dep in $(modinfo_depends "$file"); do
    add_module "$dep"
  done
  order+=("$name")
}

build_initramfs() {
  local root=$work/initramfs name file
  rm -rf "$root"
  mkdir -p "$root"/{bin,dev,proc,sys,lib/modules}
  cp "$busybox" "$root/bin/busybox"
  # Without its symbols: a quarter of the size, for the kernel to unpack.
  strip -o "$root/probe" "$probe_program" 2>/dev/null || cp "$probe_program" "$root/probe"
  for name in "${order[@]}"; do
    file=$(module_file "$name")
    case $file in
    *.xz) xz -dc "$file" >"$root/lib/modules/$name.ko" ;;
    *.zst) zstd -dcq "$file" >"$root/lib/modules/$name.ko" ;;
    *) cp "$file" "$root/lib/modules/$name.ko" ;;
    esac
  done
  cat >"$root/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in ${order[*]}; do
  insmod /lib/modules/\$m.ko || echo "PROBE FAIL insmod \$m"
done
echo "PROBE BOOTED \$(cut -d' ' -f1 /proc/uptime)"
/probe
status=\$?
echo "PROBE EXIT \$status"
# What the serial drivers said of the adapters (bound to a tty, or refused).
dmesg | grep -E 'pl2303|ftdi_sio' | sed 's/^/KERNEL /'
# The kernel's own account of the devices, for a failed run.
[ \$status -eq 0 ] || dmesg | grep -iE 'usb|hid|ftdi|tty' | tail -n 40
poweroff -f
EOF
  chmod +x "$root/init"
  # newc without compression: the kernel unpacks it at once, and it is small.
  (cd "$root" && find . | sort | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
}

mkdir -p "$kernel_cache" "$work"
fetch_kernel
kernel=$kernel_dir/vmlinux
if [ ! -f "$kernel" ]; then
  kernel=$(find "$kernel_dir/boot" -name 'vmlinuz-*' | head -n 1)
fi
[ -n "$kernel" ] || skip "no vmlinuz in $kernel_dir"
for name in "${wanted[@]}"; do
  add_module "$name"
done
build_initramfs
echo "qemu_usb_stack: kernel $(basename "$kernel_dir")/${kernel#"$kernel_dir"/}, modules ${order[*]}"
exec "$host_program" "$qemu" "$kernel" "$work/initramfs.cpio" "$work"

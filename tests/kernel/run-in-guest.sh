#!/usr/bin/env bash
# Boots Debian's stock kernel under QEMU with a small initramfs and runs one
# static program in it as root, with the HID, uhid and USB gadget modules
# loaded. The program's exit status comes back as this script's.
#
#   run-in-guest.sh [--host-root] CACHE_DIR PROGRAM [ARGS...]
#
# CACHE_DIR keeps the downloaded kernel between runs. The machine this runs on
# needs no HID support of its own. A static PROGRAM runs from the initramfs;
# with --host-root the host's file system is shared read-only into the guest
# and PROGRAM runs there, so a dynamically linked one (a Qt program) works too.
set -euo pipefail

hostroot=no
if [ "${1:-}" = "--host-root" ]; then hostroot=yes; shift; fi
cache=$(realpath -m "$1"); shift
program=$(realpath "$1"); shift
here=$(dirname "$(realpath "$0")")
mkdir -p "$cache"

# Module names in the order their "depends=" fields ask for.
modules="hid uhid hid-generic usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_hid usbhid"
hostroot_modules="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci 9pnet 9pnet_virtio netfs fscache 9p overlay"

# One kernel for all runs; concurrent runs wait for whoever prepares it.
exec 9>"$cache/.lock"
flock 9
if [ ! -f "$cache/vmlinux" ] || [ ! -f "$cache/modules/overlay.ko" ]; then
  package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  if [ -z "$package" ]; then
    apt-get update -q >/dev/null 2>&1 || true
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  fi
  if [ -z "$package" ]; then
    echo "no Debian kernel package (linux-image-amd64) in this system's package lists: skipped" >&2
    exit 77
  fi
  rm -rf "$cache/unpacked" "$cache"/*.deb
  (cd "$cache" && apt-get download "$package" >/dev/null 2>&1)
  dpkg -x "$cache"/linux-image-*.deb "$cache/unpacked"
  # The bzImage holds an xz stream; the plain vmlinux inside boots faster under TCG.
  image=$(ls "$cache"/unpacked/boot/vmlinuz-*)
  offset=$(perl -0777 -ne 'print index($_, "\xfd7zXZ\x00")' "$image")
  tail -c +$((offset + 1)) "$image" | xz -dc --single-stream > "$cache/vmlinux.part" 2>/dev/null || true
  if [ -s "$cache/vmlinux.part" ]; then mv "$cache/vmlinux.part" "$cache/vmlinux"; else cp "$image" "$cache/vmlinux"; fi
  mkdir -p "$cache/modules"
  # Dependency order, as each module's own "depends=" field gives it.
  for m in $modules $hostroot_modules; do
    f=$(find "$cache/unpacked/lib/modules" -name "$m.ko*" | head -n 1)
    [ -n "$f" ] || { echo "module $m missing from $package" >&2; exit 2; }
    case "$f" in
      *.xz) xz -dc "$f" > "$cache/modules/$m.ko" ;;
      *.zst) zstd -qdc "$f" > "$cache/modules/$m.ko" ;;
      *) cp "$f" "$cache/modules/$m.ko" ;;
    esac
  done
  rm -rf "$cache/unpacked" "$cache"/*.deb
fi
flock -u 9

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
chmod 755 "$root"  # mktemp makes it private; the guest's ordinary users need to reach /sys and /dev
mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules}
cp "$(command -v busybox)" "$root/bin/busybox"
cp "$cache"/modules/*.ko "$root/modules/"
share=()
if [ $hostroot = yes ]; then
  echo "$modules $hostroot_modules" > "$root/modules/order"
  echo "$program" > "$root/program-on-host"
  share=(-virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap")
else
  echo "$modules" > "$root/modules/order"
  cp "$program" "$root/program"
fi
printf '%s\n' "$@" > "$root/args"
cp "$here/guest-init.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) > "$root.cpio"
trap 'rm -rf "$root" "$root.cpio"' EXIT

set +e
timeout 900 qemu-system-x86_64 -accel tcg -m 1024 -smp 1 -nodefaults -display none -serial stdio -no-reboot \
  -kernel "$cache/vmlinux" -initrd "$root.cpio" "${share[@]}" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3" \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04
status=$?
set -e
# The guest writes its verdict v to port 0xf4 and QEMU exits with 2v+1; any
# other status (a plain 0 included) means the program never gave one.
case $status in
  1) exit 0 ;;
  3) exit 1 ;;
  *) echo "the guest gave no verdict (QEMU exit status $status)" >&2; exit 2 ;;
esac

#!/usr/bin/env bash
# The Linux MATLAB module on real kernel serial drivers (8250, ftdi_sio) in a
# QEMU guest (TCG) booted from Debian's kernel, a simulated robot on the host
# behind each port but one: a second FTDI adapter whose far end is silent.
# guest.sh runs the claims; this script boots it, and passes the QEMU monitor
# the commands the guest asks for (a line "@@ COMMAND" on its console):
# adapters pulled and plugged back.
#   run_kernel_tier.sh STANDIN_HOST MODULE VELOCART_SIM CACHE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
host=$(readlink -f "$1") module=$(readlink -f "$2") sim=$(readlink -f "$3") cache=$4
modules=(usb-common.ko usbcore.ko xhci-hcd.ko xhci-pci.ko usbserial.ko ftdi_sio.ko)
source "$here/../support/simulators.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-kernel-XXXXXX")
qemu_pid=""
cleanup() {
  [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true
  stop_sims
  rm -rf "$work"
}
trap cleanup EXIT
die() { echo "FAIL: $*"; exit 1; }

kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}

# Debian's current kernel, kept in CACHE_DIR: the image decompressed to an
# ELF vmlinux (QEMU boots it directly; unpacking the XZ image under TCG
# takes seconds) and the modules the USB adapter needs. The package is
# downloaded, never installed.
fetch_kernel() {
  (cd "$cache" && ls vmlinux "${modules[@]}") >/dev/null 2>&1 && return 0
  local package deb offset
  package=$(kernel_package)
  if [ -z "$package" ]; then
    # A machine whose package lists were never fetched knows no kernel yet.
    $([ "$(id -u)" -eq 0 ] || echo sudo) apt-get update -q >/dev/null 2>&1 || true
    package=$(kernel_package)
  fi
  [ -n "$package" ] || die "apt knows no linux-image-amd64, even after apt-get update"
  mkdir -p "$work/deb" "$cache"
  (cd "$work/deb" && apt-get download -q "$package" >/dev/null 2>"$work/apt.err") ||
    die "cannot download $package (apt-get update may help): $(tail -n 2 "$work/apt.err")"
  deb=$(ls "$work"/deb/*.deb)
  # tar fails on a pattern the package does not hold, a missing module too.
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/deb" --wildcards './boot/vmlinuz-*' \
    "${modules[@]/#/./lib/modules/*/}" 2>"$work/tar.err" ||
    die "cannot unpack $deb: $(tail -n 2 "$work/tar.err")"
  # The payload of the bzImage is one XZ stream: find its magic bytes.
  offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$work"/deb/boot/vmlinuz-* | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || die "no XZ stream in $(basename "$work"/deb/boot/vmlinuz-*)"
  # xz stops reading at the end of the stream: no pipe, or tail fails on it.
  xz -dc --single-stream <(tail -c +$((offset + 1)) "$work"/deb/boot/vmlinuz-*) >"$work/vmlinux" ||
    die "cannot decompress the kernel image"
  [ "$(head -c 4 "$work/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
    die "the decompressed kernel is no ELF file"
  find "$work/deb/lib/modules" -name '*.ko' -exec cp -t "$cache" {} +
  mv "$work/vmlinux" "$cache/vmlinux"
  echo "$package" >"$cache/package"
}

# busybox, the guest script, the modules, and the stand-in host with the
# module and every library they load, at the paths they are loaded from.
build_initramfs() {
  local root=$work/root file
  mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,velocart/modules}
  cp /bin/busybox "$root/bin/"
  ln -s busybox "$root/bin/sh"
  install -m 755 "$here/guest.sh" "$root/init"
  cp "$here/../standin/transcript.sh" "$host" "$root/velocart/"
  cp "$module" "$root/velocart/VelocartDriver.mexa64"
  cp "${modules[@]/#/$cache/}" "$root/velocart/modules/"
  for file in $( (ldd "$host"; ldd "$module") | grep -o '/[^ ]*' | sort -u); do
    mkdir -p "$root$(dirname "$file")"
    cp -L "$file" "$root$file"
  done
  (cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
}

for tool in qemu-system-x86_64 busybox cpio xz apt-get; do
  command -v "$tool" >/dev/null || die "$tool is missing: run scripts/install-deps.sh all"
done
fetch_kernel
build_initramfs
# QEMU keeps a pulled device, and its chardev, while the guest still holds
# it: an adapter plugged back in is another one, with a chardev of its own
# (usb-back, usb-back2 with robots; silent-back with nothing at the far end).
for name in com2 usb usb-back usb-back2; do start_sim $name; done
# Robots that stream at the line's rate, which the guest puts behind the
# 8250 (chardev-change) and a third adapter at its end.
for name in stream-com2 stream-usb; do start_sim $name --stream 380; done

# The guest console is the first UART. The monitor reads a FIFO and
# writes its answers to a file.
mkfifo "$work/console" "$work/monitor.in"
touch "$work/monitor.out"
exec 4<>"$work/monitor.in"
started=$(date +%s%N)
timeout -k 5 150 qemu-system-x86_64 -machine pc -accel tcg -m 256 -nodefaults -display none \
  -no-reboot -kernel "$cache/vmlinux" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 quiet panic=-1" \
  -chardev stdio,id=console -serial chardev:console \
  -chardev serial,id=com2,path="$work/com2" -serial chardev:com2 \
  -chardev pipe,id=monitor,path="$work/monitor" -mon chardev=monitor \
  -device qemu-xhci,id=xhci -chardev serial,id=usb,path="$work/usb" \
  -device usb-serial,id=adapter,bus=xhci.0,chardev=usb,serial=FTROBOT01 \
  -chardev serial,id=usb-back,path="$work/usb-back" \
  -chardev serial,id=usb-back2,path="$work/usb-back2" \
  -chardev null,id=silent -chardev null,id=silent-back \
  -chardev serial,id=stream-usb,path="$work/stream-usb" \
  </dev/null >"$work/console" 2>"$work/qemu.err" &
qemu_pid=$!
while IFS= read -r line; do
  line=${line%$'\r'}
  echo "$line" >>"$work/console.log"
  case $line in
    "@@ "*) command=${line#@@ }; echo "${command//WORK/$work}" >&4 ;;
  esac
done <"$work/console"
status=0
wait "$qemu_pid" || status=$?
qemu_pid=""
echo "one boot: $((($(date +%s%N) - started) / 1000000)) ms, QEMU exit $status ($(cat "$cache/package"))"

# Each streamed log against the frames its simulator handed over (one
# write a frame): from some frame with the log's first clock on, as many
# as the log has, the same clocks in the same order.
for pair in ttyS1:stream-com2 ttyUSB2:stream-usb; do
  port=${pair%:*} sim_name=${pair#*:}
  read -r count first digest < <(sed -n "s/^kernel-stream $port //p" "$work/console.log")
  awk '$2 == "tx" { t = $30 $29; v = 0
                    for (i = 1; i <= 4; ++i) v = 16 * v + index("0123456789ABCDEF", substr(t, i, 1)) - 1
                    print v }' "$work/$sim_name.log" >"$work/$sim_name.sent"
  same=no
  for at in $(grep -nx -- "${first:-x}" "$work/$sim_name.sent" | cut -d: -f1); do
    [ "$(tail -n +"$at" "$work/$sim_name.sent" | head -n "$count" | md5sum | cut -d' ' -f1)" = "$digest" ] &&
      same=yes
  done
  echo "kernel: /dev/$port: the ${count:-no} frames logged are those its robot handed over, in order: $same"
  [ $same = yes ] || status=1
done

# The guest counts a claim as failed each time it prints one FAIL line.
if [ "$status" -eq 0 ] && grep -qE '^kernel: [0-9]+ claims, 0 failed$' "$work/console.log"; then
  grep '^kernel: ' "$work/console.log"
  exit 0
fi
echo "--- guest console, with a line per claim"
cat "$work/console.log"
tail -n 5 "$work/qemu.err"
echo "--- QEMU monitor"
tr -d '\r' <"$work/monitor.out" | grep -v '^(qemu)' || true
show_sim_logs com2 usb usb-back usb-back2
exit 1

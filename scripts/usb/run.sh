#!/usr/bin/env bash
# The library against the real Linux USB stack: boots Debian's stock kernel
# under QEMU with an initramfs holding busybox, the kernel's usbip-core and
# vhci-hcd modules, udevd (libusb hears of new devices only through it),
# usbip, lsusb, dfu-util, the library, dirov410-usbip and usb_check. In the
# guest (scripts/usb/init.sh) the server plugs simulated boards into
# vhci-hcd over the guest's loopback (no network device); the checks print
# on the serial console, which this script reads. Exit 0 when every check
# passed. The whole run is bounded by USB_TIMEOUT seconds (default 600).
#   USB_ACCEL=tcg|kvm   skip the KVM probe
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-usb
timeout_s=${USB_TIMEOUT:-600}
start=$SECONDS

# The kernel package linux-image-amd64 stands for, and udev, downloaded once
# into the build folder (never installed here).
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -1
}
kpkg=$(kernel_package)
if [ -z "$kpkg" ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  kpkg=$(kernel_package)
fi
[ -n "$kpkg" ] || { echo "usb: no kernel package behind linux-image-amd64" >&2; exit 1; }
mkdir -p "$build/debs"
for p in "$kpkg" udev; do
  ls "$build/debs/${p}_"*.deb >/dev/null 2>&1 || (cd "$build/debs" && apt-get download -q "$p")
done

cmake -S . -B "$build" -G Ninja -DDIROV_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDIROV_BUILD_TESTS=ON -DDIROV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target dirov410 dirov410-usbip usb_check usb_figures

w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
dpkg-deb -x "$build/debs/${kpkg}_"*.deb "$w/k"
dpkg-deb -x "$build/debs/udev_"*.deb "$w/udev"
kver=${kpkg#linux-image-}

# ---- initramfs ----
r=$w/root
mkdir -p "$r"/{bin,sbin,usr/bin,usr/lib/dirov,proc,sys,dev,run,tmp,etc,lib/modules}
mkdir -p "$r/var" && ln -s /run "$r/var/run"  # usbip attach records its ports there
cp /bin/busybox "$r/bin/busybox"
for m in usb-common usbcore usbip-core vhci-hcd; do
  f=$(find "$w/k/lib/modules/$kver" -name "$m.ko*" | head -1)
  [ -n "$f" ] && cp "$f" "$r/lib/modules/$m.ko${f##*.ko}"
done
# A dynamic program and the shared libraries it loads, at their own paths.
add_program() {
  cp "$1" "$r/usr/bin/${2:-$(basename "$1")}"
  for lib in $(LD_LIBRARY_PATH="$PWD/$build" ldd "$1" | grep -o '/[^ ]*'); do
    mkdir -p "$r$(dirname "$lib")"
    cp -L "$lib" "$r$lib"
  done
}
add_program /usr/sbin/usbip
add_program /usr/bin/lsusb
add_program /usr/bin/dfu-util
add_program "$w/udev/bin/udevadm"
ln -s udevadm "$r/usr/bin/systemd-udevd"
add_program "$build/sim/usbip/dirov410-usbip"
add_program "$build/tests/usb/usb_check"
add_program "$build/tests/usb/usb_figures"
cp tests/data/firmware_v2.elf "$r/etc/firmware.elf"
cp scripts/usb/init.sh "$r/init"
chmod +x "$r/init"
(cd "$r" && find . | cpio -o -H newc --quiet) | gzip -1 > "$w/initramfs.gz"

# ---- boot ----
boot() {  # seconds, accel args..., then kernel arguments after --
  local limit=$1; shift
  local acc=()
  while [ "$1" != -- ]; do acc+=("$1"); shift; done
  shift
  timeout "$limit" qemu-system-x86_64 "${acc[@]}" -m 1024 -smp 1 -nographic -nic none \
    -no-reboot -kernel "$w/k/boot/vmlinuz-$kver" -initrd "$w/initramfs.gz" \
    -append "console=ttyS0 quiet panic=-1 $*" </dev/null
}
# KVM only when a stock kernel boots under it here (a PVM host's does not).
accel=${USB_ACCEL:-}
if [ -z "$accel" ]; then
  accel=tcg
  if [ -w /dev/kvm ] && boot 60 -enable-kvm -cpu host -- dirov.probe 2>/dev/null | grep -q "PROBE booted"; then
    accel=kvm
  fi
fi
echo "usb: guest kernel $kver, accelerator $accel"
if [ "$accel" = kvm ]; then acc=(-enable-kvm -cpu host); else acc=(-accel tcg -cpu max); fi
left=$((timeout_s - (SECONDS - start)))
boot "$left" "${acc[@]}" -- | tr -d '\r' | tee "$w/console.log"
echo "usb: finished in $((SECONDS - start)) s"
grep -q '^RESULT guest: 0 failed' "$w/console.log" && ! grep -q '^CHECK.*: FAIL' "$w/console.log"

#!/bin/busybox sh
# The guest's /init (see run.sh): plugs simulated boards into vhci-hcd, runs
# the standard tools and usb_check against them, prints CHECK lines and a
# RESULT line on the console and powers off.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
if grep -q dirov.probe /proc/cmdline; then
  echo "PROBE booted"
  poweroff -f
fi
up() { cut -d' ' -f1 /proc/uptime; }
echo "TIME /init at guest uptime $(up) s"
fails=0
check() {  # name, then the command that must succeed
  name=$1; shift
  if "$@" >/tmp/check.out 2>&1; then echo "CHECK $name: ok"; else
    echo "CHECK $name: FAIL"; sed 's/^/    /' /tmp/check.out | tail -20; fails=$((fails + 1)); fi
}
# Waits up to 20 s until $1 boards with bcdDevice $2 show in sysfs.
boards() {
  i=0
  while [ $i -lt 400 ]; do
    [ "$(grep -l 6410 /sys/bus/usb/devices/*/idProduct 2>/dev/null | sed 's,/idProduct,/bcdDevice,' |
        xargs cat 2>/dev/null | grep -c "$2")" -ge "$1" ] && return 0
    sleep 0.05; i=$((i + 1))
  done
  return 1
}
ip link set lo up
for m in usb-common usbcore usbip-core vhci-hcd; do
  [ -e /lib/modules/$m.ko ] && { insmod /lib/modules/$m.ko || echo "CHECK insmod $m: FAIL"; }
done
mkdir -p /run/udev
systemd-udevd --daemon
export DIROV410_LOG=error

echo "==== usbip attach of a board in its bootloader (server without --attach)"
dirov410-usbip -a 127.0.0.1:3241 -s DRV410-0009 --face bootloader 2>>/tmp/server2.log &
i=0; while [ $i -lt 100 ] && ! grep -q "board(s) on" /tmp/server2.log; do sleep 0.1; i=$((i + 1)); done
check "usbip list shows the served board" sh -c 'usbip --tcp-port 3241 list -r 127.0.0.1 | grep "1-1: .*1d50:6410"'
check "usbip attach" usbip --tcp-port 3241 attach -r 127.0.0.1 -b 1-1
check "the kernel enumerates it" boards 1 0001
check "the port in use is refused clearly" sh -c 'dirov410-usbip -a 127.0.0.1:3241 2>&1 | grep "Address already in use"'
check "a bad address is refused" sh -c 'dirov410-usbip -a 127.0.0.1 2>&1; [ $? = 2 ]'
printf 'GET / HTTP/1.0\r\n\r\n' | nc 127.0.0.1 3241 >/dev/null 2>&1
check "a client speaking garbage is turned away, the server goes on" sh -c \
  'i=0; while [ $i -lt 50 ] && ! grep -q "not a USB/IP request" /tmp/server2.log; do sleep 0.1; i=$((i + 1)); done
   grep "not a USB/IP request" /tmp/server2.log && usbip --tcp-port 3241 list -r 127.0.0.1'

echo "==== two boards plugged in by dirov410-usbip --attach"
dirov410-usbip --attach -n 2 2>>/tmp/server.log &
export DIROV_USBIP_PID=$!
check "both boards enumerate" boards 2 0100
lsusb -v -d 1d50:6410 >/tmp/lsusb.txt 2>&1
cat /tmp/lsusb.txt
for want in "bcdUSB *2.10" "iSerial *3 DRV410-0001" "iSerial *3 DRV410-0002" "iSerial *3 DRV410-0009" \
    "bInterfaceClass *255" "bInterfaceProtocol *2" "Device Firmware Upgrade" \
    "wTransferSize *2048 bytes" "bEndpointAddress *0x82 *EP 2 IN" "wMaxPacketSize *0x0200" \
    "Platform Device Capability" "D8DD60DF-4589-4CC7-9CD2-659D9E648A9F"; do
  check "lsusb -v decodes: $want" grep -qi "$want" /tmp/lsusb.txt
done
check "lsusb -v read every descriptor" sh -c '! grep -iE "cannot|can.t get|error" /tmp/lsusb.txt'
dfu-util -l >/tmp/dfu.txt 2>&1
cat /tmp/dfu.txt
check "dfu-util -l lists both main faces (run-time DFU)" sh -c '[ $(grep -c "Found Runtime: \[1d50:6410\].*intf=1" /tmp/dfu.txt) = 2 ]'
check "dfu-util -l lists the bootloader face" grep -q 'Found DFU: \[1d50:6410\].*intf=0.*serial="DRV410-0009"' /tmp/dfu.txt

echo "==== figures (no pass or fail)"
usb_figures DRV410-0001 || echo "usb_figures: no figures"

echo "==== usb_check"
mkdir -p /tmp/w
T=$(up)
DIROV_TMP=/tmp/w DIROV_ELF=/etc/firmware.elf usb_check || fails=$((fails + 1))
echo "TIME usb_check $(echo "$(up) $T" | awk '{printf "%.1f", $1 - $2}') s"

echo "==== dfu-util -D to the bootloader, the same image as FirmwareUpgrade"
# The board takes one whole record per block; dfu-util cuts the file into
# wTransferSize blocks, which splits the sample file's short first records.
check "dfu-util -D of records split across blocks: the board says errFILE" sh -c \
  'dfu-util -d 1d50:6410 -S DRV410-0009 -D /tmp/w/firmware.dfu >/tmp/d.txt 2>&1 && exit 1
   grep "dfuERROR, status(2)" /tmp/d.txt'
check "dfu-util -D" dfu-util -d 1d50:6410 -S DRV410-0009 -D /tmp/w/firmware-only.dfu
check "dfu-util -U of what dfu-util left" dfu-util -d 1d50:6410 -S DRV410-0009 -U /tmp/w/image-dfu-util.bin
# usb_check left DRV410-0001 in the firmware its last FirmwareUpgrade sent.
check "dfu-util -e detaches the main firmware's run-time DFU interface" \
  dfu-util -d 1d50:6410 -S DRV410-0001 -e
check "both bootloaders enumerate" boards 2 0001
check "dfu-util -U of what FirmwareUpgrade left" dfu-util -d 1d50:6410 -S DRV410-0001 -U /tmp/w/image-upgrade.bin
check "the board holds the image FirmwareUpgrade left" cmp /tmp/w/image-upgrade.bin /tmp/w/image-dfu-util.bin

echo "==== server logs"
cat /tmp/server.log /tmp/server2.log
echo "==== kernel log"
dmesg | grep -iE 'usb|vhci' | grep -viE 'registered|new interface driver' | tail -40
check "the kernel never claimed an interface behind the library's back" sh -c '! dmesg | grep "did not claim interface"'
echo "RESULT guest: $fails failed"
poweroff -f

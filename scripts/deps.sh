#!/usr/bin/env bash
# Installs the Debian 12 packages the build, tests and tools need, if missing.
#   scripts/deps.sh [windows|package|usb|format]
#     windows: also the MinGW-w64 cross toolchain and Wine
#     package: also what the Debian packages and the wheel are made with
#     usb: QEMU and what the guest image is made of
#     format: also clang-format
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
      libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libusb-1.0-0-dev
      gcc-arm-none-eabi binutils-arm-none-eabi binutils umockdev libumockdev-dev libglib2.0-dev dfu-util
      python3-numpy python3-pytest python3-setuptools python3-pip python3-venv)
# The Python tests run the scope example, which draws with matplotlib; the
# package installs offline with Debian's wheel builder.
pkgs+=(python3-matplotlib python3-wheel)
if [ "${1:-}" = windows ]; then
  pkgs+=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64)
fi
# The clang-format check.
if [ "${1:-}" = format ]; then
  pkgs+=(clang-format-14)
fi
# The API reference.
if [ "${1:-}" = docs ]; then
  pkgs+=(doxygen)
fi
# Packages and the wheel: dpkg-shlibdeps, the man page, bash completion's
# folder, the wheel builder, the type checker, the scope example's plots and
# the API reference in the -dev package.
if [ "${1:-}" = package ]; then
  pkgs+=(dpkg-dev help2man bash-completion python3-wheel mypy python3-matplotlib doxygen)
fi
if [ "${1:-}" = usb ]; then
  pkgs+=(qemu-system-x86 busybox-static usbip usbutils kmod cpio)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

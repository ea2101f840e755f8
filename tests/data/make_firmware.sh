#!/usr/bin/env bash
# Builds the ARM firmware ELF files of the DFU file tests, and records what
# binutils says about them (section table, section bytes) for the tests to
# compare against. Needs gcc-arm-none-eabi and binutils-arm-none-eabi.
set -euo pipefail
cd "$(dirname "$0")"
CC=arm-none-eabi-gcc
CFLAGS=(-mcpu=cortex-m3 -mthumb -Os -ffreestanding -nostdlib -Wall -Wextra -Werror)

build() {  # output, linker script, source, extra flags...
  local out=$1 script=$2 src=$3; shift 3
  "$CC" "${CFLAGS[@]}" "$@" -T "$script" -Wl,--build-id=none "$src" -o "$out"
}

build firmware.elf firmware.ld firmware.c
build firmware_v2.elf firmware.ld firmware.c -DFW_VERSION=0x00020400u
build firmware_nousbcb.elf firmware.ld firmware.c -DNO_USBCB
build interleave.elf interleave.ld interleave.c -Wl,--no-check-sections

# Expected values: the section table and the raw bytes of each patch section.
rm -rf expected && mkdir expected
for elf in firmware interleave; do
  arm-none-eabi-objdump -h "$elf.elf" > "expected/$elf.sections.txt"
  for sec in $(awk '$2 ~ /^\.patch\./ {print $2}' "expected/$elf.sections.txt"); do
    arm-none-eabi-objcopy -O binary --only-section="$sec" "$elf.elf" "expected/$elf$sec.bin"
  done
done

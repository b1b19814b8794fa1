#!/bin/sh
# Assembles the QEMU probe firmware (tools/sim/devices/qemu-probe/probe.asm),
# runs it under qemu-system-i386 as q35 with 256 MiB, and replays its fresh
# output on the device models (the DevicesQemu tests of sim_devices_tests).
# usage: q35-probe-live.sh SIM_DEVICES_TESTS WORKDIR; exit 77 (skipped)
# without nasm or QEMU.
set -eu
tests=${1:?usage: q35-probe-live.sh SIM_DEVICES_TESTS WORKDIR}
work=${2:?usage: q35-probe-live.sh SIM_DEVICES_TESTS WORKDIR}
here=$(dirname "$0")
for tool in nasm qemu-system-i386; do
  command -v $tool >/dev/null || { echo "q35-probe-live: $tool is missing; skipped" >&2; exit 77; }
done
mkdir -p "$work"
nasm -f bin "$here/../../tools/sim/devices/qemu-probe/probe.asm" -o "$work/probe.bin"
rm -f "$work/probe.txt"
# The probe ends by writing 0 to the exit port: QEMU's status 1.
timeout 60 qemu-system-i386 -machine q35,smm=on -m 256 -smp 1 -bios "$work/probe.bin" \
  -display none -nodefaults -accel tcg -debugcon "file:$work/probe.txt" \
  -global isa-debugcon.iobase=0x402 -device isa-debug-exit,iobase=0xf4 || [ $? -eq 1 ]
[ -s "$work/probe.txt" ] || { echo "q35-probe-live: the probe printed nothing" >&2; exit 1; }
Q35_PROBE_OUTPUT="$work/probe.txt" exec "$tests" --gtest_filter='DevicesQemu.*'

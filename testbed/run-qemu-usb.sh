#!/bin/bash
# Reads a USB stick through the module in real firmware: Debian's OVMF IA-32
# image with, in its PEI volume, the test-bed Stall provider and USB reader,
# and one FIRMWARE_VOLUME_IMAGE file from testbed/edk2/build.sh holding the
# volume GenFv built from the module's EDK2 kit and EDK2's PEI USB stack
# (EhciPei, UsbBusPei, UsbBotPei, unmodified). QEMU attaches a usb-storage
# stick, whose image holds a known pattern and a tag new for each run, to the
# chosen EHCI controller's bus. testbed-usb-report checks what the reader saw.
#
#   testbed/run-qemu-usb.sh BUILD [--controller 0|1|2|all] [--bus-master]
#                                 [--timeout SECONDS] [--log FILE]
#
# BUILD holds what `make` built (fvtool, testbed-usb-report, the test-bed
# images, the kit in BUILD/edk2); the EDK2 part is built here, under
# BUILD/edk2-stack, or taken from there when up to date.
#   --controller  the EHCI controller to put the stick on: 0 (00:12.2),
#                 1 (00:13.2), 2 (00:16.2), or all three in turn (default 0);
#   --bus-master  put in the platform PEIM that turns bus mastering on for the
#                 EHCI functions (testbed/edk2/UsbTestPkg/BusMasterPei); the
#                 report then expects it on, and without it off, as the
#                 module leaves it;
#   --timeout     bounds each boot (default 60 s); --log keeps the last
#                 boot's debug-console log.
# EhciPei sometimes misses its 10 ms wait for a schedule to start under the
# emulator; a boot that failed in exactly that way (the report tells) is
# booted once more, and the output says so. No other failure is retried.
# Exit status: 0 every boot read the stick and passed every check; 1 a boot
# or a check failed; 2 bad usage or something missing.
set -euo pipefail
RUNNER=run-qemu-usb
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/qemu-common.sh"

READER_PEIM_GUID=5C7E19A2-3B64-4F0D-8E21-9A4D6C0B7F53

# isa-debug-exit: QEMU's status is 2 * value + 1 for the value the guest writes.
STATUS_READ_DONE=69     # the reader wrote 0x22 after reading the stick
STATUS_NO_DEVICE=71     # the reader wrote 0x23: PEI ended without a block device
# The stick: 4 MiB of 512-byte blocks.
STICK_BLOCKS=8192
# The three EHCI functions, by controller id (the module reports them in this order).
EHCI_ADDR=(0x12 0x13 0x16)

usage() {
  echo "usage: $0 BUILD [--controller 0|1|2|all] [--bus-master] [--timeout SECONDS] [--log FILE]" \
    "(see $0 --help)" >&2
  exit 2
}
show_help_if_asked "$@"

[ $# -ge 1 ] || usage
BUILD=$1
shift
CONTROLLERS=(0)
BUS_MASTER=0
TIMEOUT=60
LOG_COPY=
while [ $# -gt 0 ]; do
  case $1 in
    --controller)
      [ $# -ge 2 ] || usage
      case $2 in
        0 | 1 | 2) CONTROLLERS=("$2") ;;
        all) CONTROLLERS=(0 1 2) ;;
        *) fail "--controller wants 0, 1, 2 or all, not '$2'" ;;
      esac
      shift ;;
    --bus-master) BUS_MASTER=1 ;;
    --timeout) [ $# -ge 2 ] || usage; TIMEOUT=$2; shift ;;
    --log) [ $# -ge 2 ] || usage; LOG_COPY=$2; shift ;;
    --help | -h) exec "$0" --help ;;
    *) usage ;;
  esac
  shift
done
[[ $TIMEOUT =~ ^[1-9][0-9]*$ ]] || fail "--timeout wants whole seconds, not '$TIMEOUT'"

for f in "$BUILD/fvtool" "$BUILD/testbed-usb-report" "$BUILD/TestbedStallPeim.efi" \
  "$BUILD/TestbedUsbReaderPeim.efi" "$BUILD/edk2/UsbControllerPeim.inf" "$OVMF_CODE" "$OVMF_VARS"; do
  [ -e "$f" ] || fail "$f is missing (run make first; OVMF comes with Debian's ovmf-ia32)"
done
need_qemu
command -v python3 >/dev/null || fail "python3 is missing (scripts/install-deps.sh installs it)"

# The EDK2 part: built once, then taken from the cache while its inputs stay.
"$HERE/edk2/build.sh" "$BUILD" || exit $?
STACK_FV=$BUILD/edk2-stack/USBSTACK.ffs
[ "$BUS_MASTER" = 0 ] || STACK_FV=$BUILD/edk2-stack/USBSTACKBM.ffs

make_work_dir usb-peim-qemu-usb

# The stick's image: every block carries the pattern (see testbed/usb_reader.cpp)
# and this run's tag.
TAG=$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')
python3 - "$WORK/stick.img" "$STICK_BLOCKS" "$TAG" <<'PY'
import struct, sys
path, blocks, tag = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
tail = [(i * 59 + (tag >> (8 * (i % 4)))) & 0xFF for i in range(16, 512)]
with open(path, "wb") as out:
    for lba in range(blocks):
        step = (lba * 167) & 0xFF
        out.write(b"USBSTICK" + struct.pack("<II", tag, lba)
                  + bytes((t + step) & 0xFF for t in tail))
PY
TAG_HEX=$(printf '0x%08X' "$TAG")

# The firmware: the reader first, so that it is registered for the end of PEI
# before the Stall provider (both wait for memory and run in volume order).
FVTOOL=$BUILD/fvtool
cp "$OVMF_VARS" "$WORK/vars.fd"
"$FVTOOL" ffs -o "$WORK/reader.ffs" --guid "$READER_PEIM_GUID" --name TestbedUsbReaderPeim \
  --depex-push "$MEMORY_DISCOVERED_PPI" "$BUILD/TestbedUsbReaderPeim.efi"
"$FVTOOL" ffs -o "$WORK/stall.ffs" --guid "$STALL_PEIM_GUID" --name TestbedStallPeim \
  --depex-push "$MEMORY_DISCOVERED_PPI" "$BUILD/TestbedStallPeim.efi"
"$FVTOOL" insert "$OVMF_CODE" -o "$WORK/code.fd" "$WORK/reader.ffs" "$WORK/stall.ffs" \
  "$STACK_FV" >/dev/null

# One boot with the stick on controller $1; leaves the log in $WORK/debug.log
# and the reader's QEMU status in BOOT_STATUS, the time in BOOT_TIME.
boot() {
  local id=$1 devices=() i
  for i in 0 1 2; do
    devices+=(-device "pci-ohci,addr=${EHCI_ADDR[$i]}.0,multifunction=on"
      -device "usb-ehci,addr=${EHCI_ADDR[$i]}.2,id=ehci$i")
  done
  rm -f "$WORK/debug.log"
  local start
  start=$(date +%s%N)
  timeout --kill-after=5 "$TIMEOUT" qemu-system-i386 \
    -machine q35,smm=on -global driver=cfi.pflash01,property=secure,value=on -m 512 \
    -drive if=pflash,format=raw,unit=0,readonly=on,file="$WORK/code.fd" \
    -drive if=pflash,format=raw,unit=1,file="$WORK/vars.fd" \
    -debugcon file:"$WORK/debug.log" -global isa-debugcon.iobase=0x402 \
    -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
    -display none -nodefaults \
    "${devices[@]}" -device pci-ohci,addr=0x14.5 \
    -drive if=none,id=stick,format=raw,file="$WORK/stick.img" \
    -device usb-storage,bus=ehci$id.0,drive=stick \
    </dev/null >"$WORK/qemu.out" 2>&1 &
  QEMU_PID=$!
  BOOT_STATUS=0
  wait "$QEMU_PID" || BOOT_STATUS=$?
  QEMU_PID=
  local ms=$(( ($(date +%s%N) - start) / 1000000 ))
  BOOT_TIME=$(printf '%d.%02d s' $((ms / 1000)) $((ms % 1000 / 10)))
  touch "$WORK/debug.log"
  [ -z "$LOG_COPY" ] || cp "$WORK/debug.log" "$LOG_COPY" 2>/dev/null || true
}

# Boots with the stick on controller $1 and checks the log; retries once the
# one failure that is the emulator's timing, not the module's.
run_controller() {
  local id=$1 attempt report_status
  local bm_args=(--bus-master off)
  [ "$BUS_MASTER" = 0 ] || bm_args=(--bus-master on)
  for attempt in 1 2; do
    echo "== QEMU boot: stick on EHCI controller $id (00:${EHCI_ADDR[$id]#0x}.2)," \
      "bus-master PEIM $([ "$BUS_MASTER" = 1 ] && echo in || echo left out)"
    boot "$id"
    case $BOOT_STATUS in
      "$STATUS_READ_DONE") echo "QEMU ended by the reader after reading the stick, $BOOT_TIME after start" ;;
      "$STATUS_NO_DEVICE") echo "PEI ended without a block device ($BOOT_TIME after start)" ;;
      "$STATUS_END_OF_PEI") echo "PEI ended before the reader registered ($BOOT_TIME after start)" ;;
      124 | 137) echo "no report within $TIMEOUT s: QEMU stopped" ;;
      *) echo "QEMU exited with status $BOOT_STATUS after $BOOT_TIME:"; sed 's/^/  /' "$WORK/qemu.out" ;;
    esac
    report_status=0
    "$BUILD/testbed-usb-report" --controller "$id" --function "${EHCI_ADDR[$id]}.2" \
      --blocks "$STICK_BLOCKS" --tag "$TAG_HEX" "${bm_args[@]}" "$WORK/debug.log" \
      || report_status=$?
    if [ "$report_status" = 3 ] && [ "$attempt" = 1 ]; then
      echo "EhciPei missed its 10 ms schedule-start wait under the emulator: booting once more"
      echo
      continue
    fi
    [ "$BOOT_STATUS" = "$STATUS_READ_DONE" ] && [ "$report_status" = 0 ]
    return
  done
}

FAILED=()
for id in "${CONTROLLERS[@]}"; do
  run_controller "$id" || FAILED+=("$id")
  echo
done
if [ ${#FAILED[@]} -ne 0 ]; then
  echo "FAILED: the stick on EHCI controller(s) ${FAILED[*]}"
  exit 1
fi
echo "the stick was read on EHCI controller(s) ${CONTROLLERS[*]}"

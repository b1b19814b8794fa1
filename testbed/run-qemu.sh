#!/bin/bash
# Boots the module in real firmware: Debian's OVMF IA-32 image with the
# module and the two test-bed PEIMs (a Stall provider and a consumer of
# PEI_USB_CONTROLLER_PPI) put into its PEI volume, under qemu-system-i386
# (TCG, q35 with SMM and secure flash, the chipset's EHCI and OHCI functions
# at their addresses). Prints what the consumer saw and checks it.
#
#   testbed/run-qemu.sh BUILD [--apriori] [--te] [--timeout SECONDS] [--log FILE]
#                       [--keep DIR] [--trace pci] [--qemu-arg ARG]...
#   testbed/run-qemu.sh BUILD --firmware FD [--timeout SECONDS] [--keep DIR]
#                       [--trace pci] [--qemu-arg ARG]...
#
# BUILD holds what `make` built: fvtool, UsbControllerPeim.ffs (and .te.ffs),
# the two test-bed images and testbed-report. Nothing is built here.
#   default    the Stall provider waits for permanent memory, so the module
#              is found after memory and the PEI Foundation copies and
#              relocates it;
#   --apriori  the Stall provider and the module are put in the PEI apriori
#              list and run in place from the volume before memory. The
#              module's image as placed is checked against the one built:
#              linked to the address where it lies in the PEI volume, every
#              fixup applied, and the PPI's service inside it at run time
#              (the volume is in RAM, so an image linked elsewhere would
#              still run);
#   --te       the module as a TE image (UsbControllerPeim.te.ffs) instead
#              of PE32;
#   --firmware FD  boots the firmware image FD as it is (nothing inserted;
#              OVMF_VARS gives the variable store) on the same machine. The
#              module needs EFI_PEI_STALL_PPI, which OVMF lacks: insert the
#              test bed's provider with it, and the consumer to have the PPI
#              checked (testbed/README.md):
#                BUILD/fvtool insert OVMF.fd BUILD/TestbedStallPeim.ffs \
#                  BUILD/UsbControllerPeim.ffs BUILD/TestbedUsbConsumerPeim.ffs -o FD
#              The provider ends QEMU when PEI ends; the consumer after its
#              report.
# --timeout bounds the boot (default 60 s); --log keeps the debug-console log;
# --keep DIR keeps every log of the boot in DIR (debug.log, the debug
# console; qemu.out, QEMU's own output; pci-trace.log with --trace pci) and
# the firmware image booted (firmware.fd, unless given); --trace pci writes
# QEMU's trace of every PCI configuration read and write (pci_cfg_read,
# pci_cfg_write: device, function, offset, value) to pci-trace.log, and needs
# --keep; --qemu-arg ARG adds ARG to QEMU's command line (once per word).
# Exit status: 0 the consumer reported and every check passed; 1 the boot or
# a check failed; 2 bad usage or something missing.
set -euo pipefail
RUNNER=run-qemu
. "$(cd "$(dirname "$0")" && pwd)/qemu-common.sh"

# The consumer's file name, and the PPI its dependency expression names.
CONSUMER_PEIM_GUID=26A2E0FF-C1FF-4354-8419-EC43E91C23A8
USB_CONTROLLER_PPI=3BC1F6DE-693E-4547-A300-21823CA420B2

# isa-debug-exit: QEMU's status is 2 * value + 1 for the value the guest writes.
STATUS_REPORT_DONE=65  # the consumer wrote 0x20 after its report

usage() {
  echo "usage: $0 BUILD [--apriori] [--te] [--firmware FD] [--timeout SECONDS] [--log FILE]" \
    "[--keep DIR] [--trace pci] [--qemu-arg ARG]... (see $0 --help)" >&2
  exit 2
}
show_help_if_asked "$@"

[ $# -ge 1 ] || usage
BUILD=$1
shift
APRIORI=0
TE=0
TIMEOUT=60
LOG_COPY=
FIRMWARE=
KEEP=
TRACE=
QEMU_ARGS=()
while [ $# -gt 0 ]; do
  case $1 in
    --apriori) APRIORI=1 ;;
    --te) TE=1 ;;
    --help|-h) exec "$0" --help ;;
    --timeout) [ $# -ge 2 ] || usage; TIMEOUT=$2; shift ;;
    --log) [ $# -ge 2 ] || usage; LOG_COPY=$2; shift ;;
    --firmware) [ $# -ge 2 ] || usage; FIRMWARE=$2; shift ;;
    --keep) [ $# -ge 2 ] || usage; KEEP=$2; shift ;;
    --trace) [ $# -ge 2 ] || usage; TRACE=$2; shift ;;
    --qemu-arg) [ $# -ge 2 ] || usage; QEMU_ARGS+=("$2"); shift ;;
    *) usage ;;
  esac
  shift
done
[[ $TIMEOUT =~ ^[1-9][0-9]*$ ]] || fail "--timeout wants whole seconds, not '$TIMEOUT'"
[ -z "$TRACE" ] || [ "$TRACE" = pci ] || fail "--trace knows only 'pci' (QEMU's PCI configuration trace), not '$TRACE'"
[ -z "$TRACE" ] || [ -n "$KEEP" ] || fail "--trace pci writes pci-trace.log into the folder of --keep DIR: give one"
if [ -n "$FIRMWARE" ]; then
  [ "$APRIORI" = 0 ] && [ "$TE" = 0 ] || fail "--apriori and --te choose what goes into OVMF; --firmware FD is booted as it is"
  [ -f "$FIRMWARE" ] || fail "--firmware: $FIRMWARE is not a file"
fi
if [ -n "$KEEP" ]; then
  mkdir -p "$KEEP" 2>/dev/null && [ -d "$KEEP" ] && [ -w "$KEEP" ] || fail "--keep: cannot write into $KEEP"
fi

# The module as built, and its firmware file.
if [ "$TE" = 1 ]; then
  MODULE_IMAGE=$BUILD/UsbControllerPeim.te
  MODULE_FFS=$BUILD/UsbControllerPeim.te.ffs
  FORM="TE image"
else
  MODULE_IMAGE=$BUILD/UsbControllerPeim.efi
  MODULE_FFS=$BUILD/UsbControllerPeim.ffs
  FORM="PE32 image"
fi
USB_PEIM_GUID=58759340-0A30-4DFD-88F9-3E9274720402

if [ -n "$FIRMWARE" ]; then
  NEEDED=("$BUILD/testbed-report" "$OVMF_VARS")
else
  NEEDED=("$BUILD/fvtool" "$BUILD/testbed-report" "$MODULE_IMAGE" "$MODULE_FFS"
          "$BUILD/TestbedStallPeim.efi" "$BUILD/TestbedUsbConsumerPeim.efi" "$OVMF_CODE" "$OVMF_VARS")
fi
for f in "${NEEDED[@]}"; do
  [ -e "$f" ] || fail "$f is missing (run make first; OVMF comes with Debian's ovmf-ia32)"
done
need_qemu

make_work_dir usb-peim-qemu

FVTOOL=$BUILD/fvtool
cp "$OVMF_VARS" "$WORK/vars.fd"
if [ -n "$FIRMWARE" ]; then
  BOOTED=$FIRMWARE
  CASE="the firmware image $FIRMWARE as it is"
else
  BOOTED=$WORK/code2.fd
  cp "$OVMF_CODE" "$WORK/code.fd"
fi

if [ -z "$FIRMWARE" ]; then

# The two test-bed PEIMs as firmware files.
if [ "$APRIORI" = 1 ]; then
  STALL_DEPEX=()  # runs as soon as the apriori list reaches it
  CASE="apriori: the module ($FORM) and the Stall provider run in place before memory"
else
  STALL_DEPEX=(--depex-push "$MEMORY_DISCOVERED_PPI")
  CASE="dispatched after memory: the module ($FORM) is copied to RAM and relocated"
fi
"$FVTOOL" ffs -o "$WORK/stall.ffs" --guid "$STALL_PEIM_GUID" --name TestbedStallPeim \
  ${STALL_DEPEX[@]+"${STALL_DEPEX[@]}"} "$BUILD/TestbedStallPeim.efi"
"$FVTOOL" ffs -o "$WORK/consumer.ffs" --guid "$CONSUMER_PEIM_GUID" --name TestbedUsbConsumerPeim \
  --depex-push "$USB_CONTROLLER_PPI" "$BUILD/TestbedUsbConsumerPeim.efi"

# Into the PEI volume. The apriori list keeps the firmware's own entries
# first, then the Stall provider, then the module (which needs the Stall PPI).
if [ "$APRIORI" = 1 ]; then
  "$FVTOOL" insert "$WORK/code.fd" -o "$WORK/code1.fd" "$WORK/consumer.ffs" >/dev/null
  "$FVTOOL" insert "$WORK/code1.fd" -o "$WORK/code2.fd" "$WORK/stall.ffs" \
    "$MODULE_FFS" --apriori >/dev/null
else
  "$FVTOOL" insert "$WORK/code.fd" -o "$WORK/code2.fd" "$WORK/stall.ffs" \
    "$MODULE_FFS" "$WORK/consumer.ffs" >/dev/null
fi

# In place: where the module's image lies in the PEI volume (the offset of
# its PE32 or TE data, from the listing), and the image as placed there, for
# testbed-report to check against the one built.
PLACEMENT_ARGS=()
if [ "$APRIORI" = 1 ]; then
  OFFSET=$("$FVTOOL" list --format json "$WORK/code2.fd" | python3 -c '
import json, sys
def files(volume):
    for f in volume.get("files", []):
        yield f
        for s in sections(f.get("sections", [])):
            for v in s.get("volumes", []):
                yield from files(v)
def sections(stream):
    for s in stream:
        yield s
        yield from sections(s.get("sections", []))
image = json.load(sys.stdin)
for v in image["volumes"]:
    for f in files(v):
        if f["guid"] == sys.argv[1] and f.get("images"):
            print("0x%X" % f["images"][0]["dataOffset"])
            sys.exit(0)
' "$USB_PEIM_GUID")
  [ -n "$OFFSET" ] || fail "the module's image is not in the listing of the firmware"
  "$FVTOOL" extract "$WORK/code2.fd" "$USB_PEIM_GUID" --image -o "$WORK/placed.img" >/dev/null
  PLACEMENT_ARGS=(--placed "$WORK/placed.img" --built "$MODULE_IMAGE" --volume-offset "$OFFSET")
fi
fi  # the firmware assembled here

# QEMU's trace of PCI configuration accesses (its log backend writes it to -D).
TRACE_ARGS=()
[ -z "$TRACE" ] || TRACE_ARGS=(-trace enable=pci_cfg_read -trace enable=pci_cfg_write
                               -D "$WORK/pci-trace.log")

echo "== QEMU boot, $CASE"
START=$(date +%s%N)
timeout --kill-after=5 "$TIMEOUT" qemu-system-i386 \
  -machine q35,smm=on -global driver=cfi.pflash01,property=secure,value=on -m 512 \
  -drive if=pflash,format=raw,unit=0,readonly=on,file="$BOOTED" \
  -drive if=pflash,format=raw,unit=1,file="$WORK/vars.fd" \
  -debugcon file:"$WORK/debug.log" -global isa-debugcon.iobase=0x402 \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
  -display none -nodefaults \
  -device pci-ohci,addr=0x12.0,multifunction=on -device usb-ehci,addr=0x12.2 \
  -device pci-ohci,addr=0x13.0,multifunction=on -device usb-ehci,addr=0x13.2 \
  -device pci-ohci,addr=0x16.0,multifunction=on -device usb-ehci,addr=0x16.2 \
  -device pci-ohci,addr=0x14.5 \
  ${TRACE_ARGS[@]+"${TRACE_ARGS[@]}"} ${QEMU_ARGS[@]+"${QEMU_ARGS[@]}"} \
  </dev/null >"$WORK/qemu.out" 2>&1 &
QEMU_PID=$!
STATUS=0
wait "$QEMU_PID" || STATUS=$?
QEMU_PID=
ELAPSED_MS=$(( ($(date +%s%N) - START) / 1000000 ))
ELAPSED=$(printf '%d.%02d s' $((ELAPSED_MS / 1000)) $((ELAPSED_MS % 1000 / 10)))

touch "$WORK/debug.log"
[ -z "$LOG_COPY" ] || cp "$WORK/debug.log" "$LOG_COPY" 2>/dev/null || true
if [ -n "$KEEP" ]; then
  KEPT=(debug.log qemu.out)
  if [ -n "$TRACE" ]; then
    touch "$WORK/pci-trace.log"
    KEPT+=(pci-trace.log)
  fi
  if [ -z "$FIRMWARE" ]; then
    cp "$BOOTED" "$WORK/firmware.fd"
    KEPT+=(firmware.fd)
  fi
  for f in "${KEPT[@]}"; do cp "$WORK/$f" "$KEEP/$f"; done
  echo "kept in $KEEP: ${KEPT[*]}"
  if [ -n "$TRACE" ]; then
    echo "PCI configuration trace: $(grep -c 'pci_cfg_read' "$KEEP/pci-trace.log" || true) read(s)," \
      "$(grep -c 'pci_cfg_write' "$KEEP/pci-trace.log" || true) write(s) in $KEEP/pci-trace.log"
  fi
fi
OK=1
case $STATUS in
  "$STATUS_REPORT_DONE") echo "QEMU ended by the consumer after its report, $ELAPSED after start" ;;
  "$STATUS_END_OF_PEI") echo "PEI ended without the consumer ($ELAPSED after start)"; OK=0 ;;
  124 | 137) echo "no report within $TIMEOUT s: QEMU stopped"; OK=0 ;;
  *) echo "QEMU exited with status $STATUS after $ELAPSED:"; sed 's/^/  /' "$WORK/qemu.out"; OK=0 ;;
esac
echo
REPORT_ARGS=()
[ "$APRIORI" = 0 ] || REPORT_ARGS=(--apriori ${PLACEMENT_ARGS[@]+"${PLACEMENT_ARGS[@]}"})
"$BUILD/testbed-report" ${REPORT_ARGS[@]+"${REPORT_ARGS[@]}"} "$WORK/debug.log" || OK=0
[ "$OK" = 1 ]

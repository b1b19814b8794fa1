#!/bin/bash
# The PEI Foundation probe under two Foundations: OVMF's own PEI core in
# QEMU, and peim-sim's. The probe PEIM (testbed/probe_peim.cpp) calls each
# PEI service and the CpuIo and PciCfg members with ordinary and edge
# arguments and prints what it got on the debug console; both runs use the
# same small volume (testbed/probe-volume.py: a file with a section of each
# type, copies of the probe with well formed and malformed dependency
# expressions, the probe, a pad file), which OVMF opens from its PEI
# volume once memory is there and peim-sim dispatches with --file, after
# memory. The two outputs ("probe: ..." lines) must be equal.
#
#   testbed/run-probe.sh BUILD [--timeout SECONDS] [--keep DIR]
#
# BUILD holds what `make` built: fvtool, peim-sim and TestbedProbePeim.efi.
# --timeout bounds the boot (default 60 s); --keep DIR keeps both outputs,
# the volume, the firmware and the boot's log there.
# Exit status: 0 the outputs are equal; 1 they differ (the difference is
# printed) or a run did not get to the probe's end; 2 bad usage or
# something missing.
set -euo pipefail
RUNNER=run-probe
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/qemu-common.sh"

PROBE_GUID=7E57B0B0-0000-4000-8000-000000000001

usage() {
  echo "usage: $0 BUILD [--timeout SECONDS] [--keep DIR] (see $0 --help)" >&2
  exit 2
}
show_help_if_asked "$@"
[ $# -ge 1 ] || usage
BUILD=$1
shift
TIMEOUT=60
KEEP=
while [ $# -gt 0 ]; do
  case $1 in
    --timeout) [ $# -ge 2 ] || usage; TIMEOUT=$2; shift ;;
    --keep) [ $# -ge 2 ] || usage; KEEP=$2; shift ;;
    *) usage ;;
  esac
  shift
done
[[ $TIMEOUT =~ ^[1-9][0-9]*$ ]] || fail "--timeout wants whole seconds, not '$TIMEOUT'"
for f in "$BUILD/fvtool" "$BUILD/peim-sim" "$BUILD/TestbedProbePeim.efi" "$OVMF_CODE" \
  "$OVMF_VARS"; do
  [ -e "$f" ] || fail "$f is missing (run make first; OVMF comes with Debian's ovmf-ia32)"
done
command -v python3 >/dev/null || fail "python3 is missing"
need_qemu
make_work_dir foundation-probe

# The probe's volume, and the firmware with it in OVMF's PEI volume.
mkdir "$WORK/files"
python3 "$HERE/probe-volume.py" "$BUILD/TestbedProbePeim.efi" "$WORK/files"
"$BUILD/fvtool" create -o "$WORK/files.fv" --size 0x40000 "$WORK"/files/*.ffs >/dev/null
python3 "$HERE/probe-volume.py" --add-pad "$WORK/files.fv" "$WORK/probe.fv"
python3 "$HERE/probe-volume.py" --wrap "$WORK/probe.fv" "$WORK/probe-fv.ffs"
cp "$OVMF_CODE" "$WORK/code.fd"
cp "$OVMF_VARS" "$WORK/vars.fd"
"$BUILD/fvtool" insert "$WORK/code.fd" -o "$WORK/firmware.fd" "$WORK/probe-fv.ffs" >/dev/null

# OVMF's PEI core: the boot runs until the probe's last line (then QEMU is
# stopped) or the time is up.
echo "== OVMF's PEI core (QEMU)"
: >"$WORK/debug.log"
qemu-system-i386 \
  -machine q35,smm=on -global driver=cfi.pflash01,property=secure,value=on -m 512 \
  -drive if=pflash,format=raw,unit=0,readonly=on,file="$WORK/firmware.fd" \
  -drive if=pflash,format=raw,unit=1,file="$WORK/vars.fd" \
  -debugcon file:"$WORK/debug.log" -global isa-debugcon.iobase=0x402 \
  -display none -nodefaults </dev/null >"$WORK/qemu.out" 2>&1 &
QEMU_PID=$!
for ((tenth = 0; tenth < TIMEOUT * 10; tenth++)); do
  grep -qa '^probe: end' "$WORK/debug.log" && break
  kill -0 "$QEMU_PID" 2>/dev/null || break
  sleep 0.1
done
kill "$QEMU_PID" 2>/dev/null || true
wait "$QEMU_PID" 2>/dev/null || true
QEMU_PID=
grep -a '^probe: ' "$WORK/debug.log" >"$WORK/ovmf.txt" || true
echo "   $(wc -l <"$WORK/ovmf.txt") lines"

# peim-sim's Foundation, after memory, on the same volume.
echo "== peim-sim's PEI Foundation"
SIM_STATUS=0
"$BUILD/peim-sim" --any-peim --memory after --budget 100000000 "$WORK/probe.fv" \
  --file "$PROBE_GUID" >"$WORK/sim.out" 2>"$WORK/sim.err" || SIM_STATUS=$?
sed -n 's/^ *[0-9][0-9]*  *[^ ]*  *CON   "\(probe: .*\)"$/\1/p' "$WORK/sim.out" >"$WORK/sim.txt"
echo "   $(wc -l <"$WORK/sim.txt") lines (peim-sim exit status $SIM_STATUS)"

if [ -n "$KEEP" ]; then
  mkdir -p "$KEEP"
  cp "$WORK/ovmf.txt" "$WORK/sim.txt" "$WORK/sim.out" "$WORK/sim.err" "$WORK/debug.log" \
    "$WORK/probe.fv" "$WORK/firmware.fd" "$KEEP/"
fi

RESULT=0
for side in ovmf sim; do
  if ! grep -q '^probe: end$' "$WORK/$side.txt"; then
    echo "$RUNNER: the probe did not get to its end under $side" >&2
    [ "$side" = sim ] && head -c 2000 "$WORK/sim.err" >&2
    RESULT=1
  fi
done
if ! diff -u --label "OVMF's PEI core" --label "peim-sim" "$WORK/ovmf.txt" "$WORK/sim.txt"; then
  echo "$RUNNER: the two Foundations answered the probe differently" >&2
  RESULT=1
fi
[ "$RESULT" != 0 ] || echo "== equal: $(wc -l <"$WORK/ovmf.txt") answers"
exit "$RESULT"

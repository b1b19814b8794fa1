#!/bin/sh
# Benchmark figures (printed, never enforced): the image size, then the
# emulated cost of one dispatch of the module on peim-sim's platform.
set -eu
BUILD=${1:-build}
IMAGE="$BUILD/UsbControllerPeim.efi"
REPEAT=${REPEAT:-3000}

# pe-check is the gate (the figures of a rejected image mean nothing); its
# size breakdown goes into the one image line.
check=$("$BUILD/pe-check" --map "$BUILD/UsbControllerPeim.map" "$IMAGE") || {
  echo "$check"
  echo "bench: pe-check rejects $IMAGE" >&2
  exit 1
}
size=$(wc -c < "$IMAGE")
detail=$(echo "$check" | sed -n "s|^.*UsbControllerPeim\.efi: $size bytes = ||p" | head -n 1)
echo "image: $size bytes${detail:+ = $detail}; target: at most 1280"

# --repeat runs REPEAT timed dispatches, the platform restored before each,
# on one emulator engine (single-threaded: one core).
summary=$("$BUILD/peim-sim" --quiet --repeat "$REPEAT" "$IMAGE") || {
  echo "$summary"
  echo "bench: peim-sim did not report a clean run" >&2
  exit 1
}
field() { echo "$summary" | sed -n "s/^  $1 *//p"; }
instructions=$(field instructions | sed 's/ .*//')
accesses=$(field hardware | sed 's/ .*//')
per_access=$(field instructions | sed -n 's/.*, \([0-9.]*\) per hardware access/\1/p')
per_second=$(field repeat | sed -n 's/.*: \([0-9]*\) per second/\1/p')
seconds=$(field repeat | sed -n 's/.* in \([0-9.]*\) s:.*/\1/p')

echo "peim-sim: $instructions instructions per dispatch, $accesses hardware accesses per dispatch"
echo "peim-sim: $per_access instructions per hardware access (target: at most 10)"
echo "peim-sim: $per_second dispatches per second on one core ($REPEAT in $seconds s; target: at least 300)"

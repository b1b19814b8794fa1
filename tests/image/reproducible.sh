#!/bin/sh
# Builds the module image a second time in a fresh directory, rewrites it with
# pe-compact as the build does, and compares the bytes with the delivered
# ones (compact PE32, TE and map): the same sources must give the same images.
set -eu
source_dir=$1
pe_compact=$2
delivered=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$source_dir" -B "$work/build" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/ia32-uefi.cmake" \
  -DUSB_PEIM_OUTPUT_DIR="$work/out" -DCMAKE_BUILD_TYPE=MinSizeRel >"$work/log" 2>&1 \
  || { cat "$work/log"; exit 1; }
cmake --build "$work/build" --target UsbControllerPeim >>"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
mkdir -p "$work/out"
"$pe_compact" "$work/build/UsbControllerPeim.efi" --map "$work/build/UsbControllerPeim.map" \
  -o "$work/out/UsbControllerPeim.efi" --map-out "$work/out/UsbControllerPeim.map" \
  --te "$work/out/UsbControllerPeim.te"
for ext in efi te map; do
  if ! cmp "$delivered/UsbControllerPeim.$ext" "$work/out/UsbControllerPeim.$ext"; then
    echo "UsbControllerPeim.$ext differs between two builds of the same sources" >&2
    exit 1
  fi
done
echo "same bytes: .efi $(wc -c < "$delivered/UsbControllerPeim.efi"), .te" \
  "$(wc -c < "$delivered/UsbControllerPeim.te") bytes"

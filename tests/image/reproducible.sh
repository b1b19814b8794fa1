#!/bin/sh
# Builds the module image a second time in a fresh directory and compares the
# bytes with the delivered one: the same sources must give the same image.
set -eu
source_dir=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$source_dir" -B "$work/build" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/ia32-uefi.cmake" \
  -DUSB_PEIM_OUTPUT_DIR="$work/out" -DCMAKE_BUILD_TYPE=MinSizeRel >"$work/log" 2>&1 \
  || { cat "$work/log"; exit 1; }
cmake --build "$work/build" --target UsbControllerPeim >>"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
if cmp "$image" "$work/out/UsbControllerPeim.efi"; then
  echo "same bytes: $(wc -c < "$image") bytes"
else
  echo "the image differs between two builds of the same sources" >&2
  exit 1
fi

#!/bin/bash
# Configures and builds the sanitizer tree: every host tool, library and test
# and the fuzz targets with clang++, ASan and UBSan (USB_PEIM_SANITIZE), on
# the IA-32 images that the main tree BUILD has already built.
#
#   scripts/sanitize-build.sh BUILD SANITIZE_BUILD JOBS
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 BUILD SANITIZE_BUILD JOBS" >&2; exit 2; }
build=$1
tree=$2
jobs=$3
here=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$tree"
echo "[sanitize] configuring host tools with clang++, ASan and UBSan in $tree/"
cmake -S "$here" -B "$tree" -DCMAKE_CXX_COMPILER=clang++ -DUSB_PEIM_SANITIZE=ON \
  -DUSB_PEIM_IMAGES_DIR="$(cd "$build" && pwd)" >"$tree/configure.log" 2>&1 \
  || { cat "$tree/configure.log"; exit 1; }
echo "[sanitize] building tools, tests and fuzz targets ($jobs jobs)"
# pe-check's size line repeats the main build's: not shown again.
cmake --build "$tree" -j "$jobs" 2>&1 \
  | awk -v tag=sanitize -v marks="$tree/CMakeFiles/progress.marks" -v images=0 -v hide='UsbControllerPeim[.]efi: [0-9]+ bytes =' -f "$here/scripts/build-filter.awk"

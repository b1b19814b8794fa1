#!/bin/bash
# Configures and builds a sanitizer tree with clang++, ASan and UBSan
# (USB_PEIM_SANITIZE) on the IA-32 images that the main tree BUILD has
# already built:
#   (default)  every host tool, library and test, and the fuzz targets,
#              unoptimised (build type Sanitize): the tree of `make test`;
#   --fuzz     the fuzz targets and their libraries only, optimised (build
#              type Fuzz): the tree of `make fuzz`.
#
#   scripts/sanitize-build.sh BUILD TREE JOBS [--fuzz]
set -euo pipefail
usage() { echo "usage: $0 BUILD TREE JOBS [--fuzz]" >&2; exit 2; }
[ $# -eq 3 ] || [ $# -eq 4 ] || usage
build=$1
tree=$2
jobs=$3
here=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -eq 4 ]; then
  [ "$4" = --fuzz ] || usage
  tag=fuzz type=Fuzz target=(--target fuzz_targets) what="fuzz targets, optimised"
  marks=""  # the tree's count of steps is for all of it: no quarters
else
  tag=sanitize type=Sanitize target=() what="tools, tests and fuzz targets"
  marks="$tree/CMakeFiles/progress.marks"
fi

mkdir -p "$tree"
echo "[$tag] configuring host tools with clang++, ASan and UBSan in $tree/"
cmake -S "$here" -B "$tree" -DCMAKE_CXX_COMPILER=clang++ -DUSB_PEIM_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE="$type" -DUSB_PEIM_IMAGES_DIR="$(cd "$build" && pwd)" \
  >"$tree/configure.log" 2>&1 || { cat "$tree/configure.log"; exit 1; }
echo "[$tag] building $what ($jobs jobs)"
# pe-check's size line repeats the main build's: not shown again.
cmake --build "$tree" -j "$jobs" "${target[@]}" 2>&1 \
  | awk -v tag="$tag" -v marks="$marks" -v images=0 \
      -v hide='UsbControllerPeim[.]efi: [0-9]+ bytes =' -f "$here/scripts/build-filter.awk"

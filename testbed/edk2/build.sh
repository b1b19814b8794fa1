#!/bin/bash
# Builds what the USB boots of the test bed take from EDK2, from Debian's
# source of the installed ovmf-ia32, all under BUILD/edk2-stack/:
#   - BaseTools' C tools that a PEI build needs (GenFw, GenSec, GenFfs, GenFv);
#   - testbed/edk2/UsbTestPkg for IA32 with GCC5: EDK2's EhciPei, UsbBusPei and
#     UsbBotPei, the bus-master platform PEIM, and UsbControllerPeim from the
#     kit in BUILD/edk2 (which `make` writes), packaged by GenFfs and GenFv
#     into the volumes USBSTACK.Fv and USBSTACKBM.Fv;
#   - each volume wrapped by fvtool ffs as a FIRMWARE_VOLUME_IMAGE file
#     (BUILD/edk2-stack/USBSTACK.ffs, USBSTACKBM.ffs) ready for fvtool insert.
# A step whose inputs have not changed since it last succeeded is skipped.
# One build at a time: a second waits for the first (a lock in edk2-stack/).
# --progress adds a line every 20 s while a long step runs.
#
#   testbed/edk2/build.sh [--progress] BUILD
set -euo pipefail

PROGRESS=0
if [ "${1:-}" = --progress ]; then
  PROGRESS=1
  shift
fi
[ $# -eq 1 ] || { echo "usage: $0 [--progress] BUILD" >&2; exit 2; }
[ -d "$1" ] || { echo "edk2-build: $1 is not a build directory (run make first)" >&2; exit 2; }
BUILD=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
STACK=$BUILD/edk2-stack
KIT=$BUILD/edk2
# Exit status: 0 built or up to date; 1 a build step failed; 2 something
# missing (the kit, a tool).
fail() {
  echo "edk2-build: $*" >&2
  exit 1
}
missing() {
  echo "edk2-build: $*" >&2
  exit 2
}
[ -f "$KIT/UsbControllerPeim.inf" ] || missing "$KIT/UsbControllerPeim.inf is missing (run make first)"
[ -x "$BUILD/fvtool" ] || missing "$BUILD/fvtool is missing (run make first)"
# The platform build takes the kit as its README tells a platform to: the
# PACKAGES_PATH entry, the DSC's INF line and the FDF's !include, as written.
README=$KIT/README.md
KIT_PATH_ENTRY=$(sed -n 's/^export PACKAGES_PATH=\$PACKAGES_PATH://p' "$README" 2>/dev/null)
KIT_INF=$(awk '/^\[Components\.IA32\]$/ { getline; print $1; exit }' "$README" 2>/dev/null)
KIT_FDF_INC=$(sed -n 's/^!include //p' "$README" 2>/dev/null)
[ -n "$KIT_PATH_ENTRY" ] && [ -n "$KIT_INF" ] && [ -n "$KIT_FDF_INC" ] \
  || missing "$README does not give the PACKAGES_PATH, DSC and FDF lines (run make first)"
grep -qxF "  INF RuleOverride = USB_CONTROLLER_PEIM_PE32 $KIT_INF" "$README" \
  || missing "$README: the FDF's INF line does not name $KIT_INF"
for tool in gcc g++ make nasm iasl python3 dpkg-source; do
  command -v "$tool" >/dev/null || missing "$tool is missing (scripts/install-deps.sh installs it)"
done

mkdir -p "$STACK"
exec 9>"$STACK/build.lock"
if ! flock -n 9; then
  echo "[edk2] waiting for the other build of the USB stack"
  flock 9
fi

# A line every 20 s while the step named $1 runs (with --progress).
TICKER=
tick() {
  [ "$PROGRESS" = 1 ] || return 0
  (
    s=0
    while sleep 20; do
      s=$((s + 20))
      echo "[edk2]   $1: $s s"
    done
  ) &
  TICKER=$!
}
untick() {
  [ -n "$TICKER" ] || return 0
  kill "$TICKER" 2>/dev/null || true
  wait "$TICKER" 2>/dev/null || true
  TICKER=
}
trap untick EXIT

tick "the source"
"$HERE/fetch-source.sh" "$STACK"
untick
SRC=$STACK/src
START=$(date +%s%N)

# The FIRMWARE_VOLUME_IMAGE files' names, and the PEI_DEPEX of each: memory
# discovered, so the PEI Foundation opens the volume only once it can copy
# it to a page-aligned buffer in permanent memory.
FV_FILE_GUID_USBSTACK=0F6C3E9A-2B48-4D71-A5E0-6D1C8B3F7A24
FV_FILE_GUID_USBSTACKBM=8E2A4C61-7D05-4B93-9F1E-3A6B0C5D2E87
MEMORY_DISCOVERED_PPI=F894643D-C449-42D1-8EA8-85BDD8C65BDE

# --- BaseTools (only the C tools a PEI volume needs; the Python ones run
# from source).
TOOLS=$SRC/BaseTools/Source/C
if [ ! -x "$TOOLS/bin/GenFv" ] || [ ! -f "$STACK/basetools.stamp" ]; then
  echo "[edk2] building BaseTools (GenFw, GenSec, GenFfs, GenFv)"
  tick "BaseTools"
  {
    make -C "$TOOLS" HOST_ARCH=X64 libs bin
    make -C "$TOOLS/Common" HOST_ARCH=X64 -j2
    for t in GenFw GenSec GenFfs GenFv; do make -C "$TOOLS/$t" HOST_ARCH=X64 -j2; done
  } >"$STACK/basetools.log" 2>&1 || { tail -30 "$STACK/basetools.log" >&2; fail "BaseTools failed"; }
  untick
  touch "$STACK/basetools.stamp"
fi

# --- The platform build, skipped when none of its inputs changed.
STAMP_NEW=$( { cat "$STACK/src.version"; find "$HERE/UsbTestPkg" "$KIT" "$0" -type f | sort \
  | xargs sha256sum; } | sha256sum | cut -d' ' -f1)
OUT=$STACK/Build/UsbTest/DEBUG_GCC5
if [ -f "$STACK/platform.stamp" ] && [ "$(cat "$STACK/platform.stamp")" = "$STAMP_NEW" ] \
  && [ -f "$STACK/USBSTACK.ffs" ] && [ -f "$STACK/USBSTACKBM.ffs" ]; then
  echo "[edk2] EhciPei, UsbBusPei, UsbBotPei and the kit volumes are up to date"
  exit 0
fi
rm -f "$STACK/platform.stamp"
echo "[edk2] building EhciPei, UsbBusPei, UsbBotPei, BusMasterPei and the kit volumes (IA32, GCC5)"
mkdir -p "$STACK/ws/Conf"
tick "the platform"
(
  export WORKSPACE=$STACK
  export EDK_TOOLS_PATH=$SRC/BaseTools
  export CONF_PATH=$STACK/ws/Conf
  export PACKAGES_PATH=$SRC:$HERE:$KIT_PATH_ENTRY
  export PYTHONPATH=$SRC/BaseTools/Source/Python${PYTHONPATH:+:$PYTHONPATH}
  export PATH=$SRC/BaseTools/BinWrappers/PosixLike:$PATH
  cd "$STACK"
  for f in target.template tools_def.template build_rule.template; do
    [ -f "$CONF_PATH/${f%.template}.txt" ] || cp "$SRC/BaseTools/Conf/$f" "$CONF_PATH/${f%.template}.txt"
  done
  build -p UsbTestPkg/UsbTestPkg.dsc -a IA32 -t GCC5 -b DEBUG -n 2 -q \
    -D KIT_DIR="$KIT" -D KIT_INF="$KIT_INF" -D KIT_FDF_INC="$KIT_FDF_INC"
) >"$STACK/platform.log" 2>&1 || { tail -40 "$STACK/platform.log" >&2; fail "the EDK2 build failed (log: $STACK/platform.log)"; }

untick

# --- Each volume as a FIRMWARE_VOLUME_IMAGE file with its dependency
# (PUSH memory discovered, END), made by fvtool.
for fv in USBSTACK USBSTACKBM; do
  guid_var=FV_FILE_GUID_$fv
  "$BUILD/fvtool" ffs --type fv-image --guid "${!guid_var}" --depex-push "$MEMORY_DISCOVERED_PPI" \
    -o "$STACK/$fv.ffs" "$OUT/FV/$fv.Fv"
done >>"$STACK/platform.log" 2>&1 || { tail -20 "$STACK/platform.log" >&2; fail "fvtool ffs failed"; }
echo "$STAMP_NEW" >"$STACK/platform.stamp"
ELAPSED_MS=$(( ($(date +%s%N) - START) / 1000000 ))
echo "[edk2] built in $((ELAPSED_MS / 1000)).$((ELAPSED_MS % 1000 / 100)) s"

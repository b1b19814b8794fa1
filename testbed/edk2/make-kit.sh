#!/bin/bash
# Writes the EDK2 drop-in kit for UsbControllerPeim into OUT (build/edk2/):
#   UsbControllerPeim.efi    the module image (and UsbControllerPeim.te when
#                            the build made one)
#   UsbControllerPeim.depex  its dependency expression, taken from the
#                            module's own firmware file, so both always agree
#   UsbControllerPeim.inf    a binary module INF naming them
#   UsbControllerPeim.fdf.inc  the FDF rules for it and the INF line to use
#   UsbControllerPpi.h       the PPI for C and C++ consumers
# Only the project's own tools are used: building the kit needs no EDK2.
#
#   testbed/edk2/make-kit.sh FVTOOL IMAGES_DIR FFS OUT
set -euo pipefail

[ $# -eq 4 ] || { echo "usage: $0 FVTOOL IMAGES_DIR FFS OUT" >&2; exit 2; }
FVTOOL=$1
IMAGES=$2
FFS=$3
OUT=$4
HERE=$(cd "$(dirname "$0")" && pwd)
NAME=UsbControllerPeim

mkdir -p "$OUT"
"$FVTOOL" extract "$FFS" -o "$OUT/$NAME.depex" --section pei-depex >/dev/null
cp "$IMAGES/$NAME.efi" "$OUT/$NAME.efi"
TE_LINE=
if [ -f "$IMAGES/$NAME.te" ]; then
  cp "$IMAGES/$NAME.te" "$OUT/$NAME.te"
  TE_LINE="  TE|$NAME.te|*"
else
  rm -f "$OUT/$NAME.te"
fi
cp "$HERE/kit/UsbControllerPpi.h" "$OUT/UsbControllerPpi.h"

# The name GUID of the module's firmware file, read back from it.
FILE_GUID=$("$FVTOOL" list "$FFS" | sed -n 's/^file \([0-9A-Fa-f-]\{36\}\) .*/\1/p' | head -1)
[ -n "$FILE_GUID" ] || { echo "make-kit: $FFS: no firmware file name" >&2; exit 2; }

{
  cat <<INF
## @file
#  UsbControllerPeim as a binary PEI module: brings up the chipset's EHCI and
#  OHCI host controllers and produces PEI_USB_CONTROLLER_PPI for the EHCI ones
#  (ids 0 to 2; the first rejected id is the count). Waits for the Stall PPI.
##

[Defines]
  INF_VERSION    = 0x00010005
  BASE_NAME      = $NAME
  FILE_GUID      = $FILE_GUID
  MODULE_TYPE    = PEIM
  VERSION_STRING = 1.0

[Packages]
  MdePkg/MdePkg.dec
  MdeModulePkg/MdeModulePkg.dec

[Binaries.IA32]
  PE32|$NAME.efi|*
INF
  [ -z "$TE_LINE" ] || echo "$TE_LINE"
  cat <<INF
  PEI_DEPEX|$NAME.depex|*

[Ppis]
  gPeiUsbControllerPpiGuid  ## PRODUCES
  gEfiPeiStallPpiGuid       ## CONSUMES

# As built: the dependency expression in $NAME.depex is
#   gEfiPeiStallPpiGuid
INF
} > "$OUT/$NAME.inf"

cat > "$OUT/$NAME.fdf.inc" <<FDF
## UsbControllerPeim in an EDK2 flash description.
#
# In the PEI volume's [FV.*] section (the INF's path as the platform's
# PACKAGES_PATH finds it):
#   INF RuleOverride = USB_CONTROLLER_PEIM_PE32 <path>/$NAME.inf
# and this rule, !include'd once among the platform's [Rule.*] sections.
# GenFds makes every TE section itself, from a PE32 image (GenFw -t), and
# cannot take the kit's TE image through a rule: a volume that is to hold the
# TE image as built takes the firmware file fvtool makes of it
# (UsbControllerPeim.te.ffs in the build directory, where the build writes a
# TE image), added to the finished volume with fvtool insert.

[Rule.IA32.PEIM.USB_CONTROLLER_PEIM_PE32]
  FILE PEIM = \$(NAMED_GUID) {
    PEI_DEPEX PEI_DEPEX Optional |.depex
    PE32      PE32              |.efi
    UI        STRING="\$(MODULE_NAME)" Optional
  }

FDF

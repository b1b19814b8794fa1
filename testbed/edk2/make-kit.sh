#!/bin/bash
# Writes the EDK2 drop-in kit for UsbControllerPeim into OUT (build/edk2/):
#   UsbControllerPeim.efi    the module image (and UsbControllerPeim.te when
#                            the build made one)
#   UsbControllerPeim.depex  its dependency expression, taken from the
#                            module's own firmware file, so both always agree
#   UsbControllerPeim.inf    a binary module INF naming them
#   UsbControllerPeim.fdf.inc  the FDF rules for it and the INF line to use
#   UsbControllerPpi.h       the PPI for C and C++ consumers
#   README.md                how to use it: the exact PACKAGES_PATH, DSC and
#                            FDF lines for this folder, and what the platform
#                            must do
# Only the project's own tools are used: building the kit needs no EDK2.
# VERSION (default: scripts/version.sh) is the INF's VERSION_STRING.
#
#   testbed/edk2/make-kit.sh FVTOOL IMAGES_DIR FFS OUT [VERSION]
set -euo pipefail

[ $# -eq 4 ] || [ $# -eq 5 ] || { echo "usage: $0 FVTOOL IMAGES_DIR FFS OUT [VERSION]" >&2; exit 2; }
FVTOOL=$1
IMAGES=$2
FFS=$3
OUT=$4
HERE=$(cd "$(dirname "$0")" && pwd)
NAME=UsbControllerPeim
VERSION=${5:-$("$HERE/../../scripts/version.sh")}

mkdir -p "$OUT"
# The folder a platform's PACKAGES_PATH names is the one that holds the kit:
# EDK2 finds a module by PACKAGES_PATH entry + the INF's path below it.
KIT_DIR=$(cd "$OUT" && pwd)
KIT_PARENT=$(dirname "$KIT_DIR")
KIT_NAME=$(basename "$KIT_DIR")
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
  VERSION_STRING = $VERSION

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

cat > "$OUT/README.md" <<README
# UsbControllerPeim $VERSION for EDK2 platforms

A binary PEI module for IA-32: it brings up the chipset's three EHCI and four
OHCI USB host controllers, produces PEI_USB_CONTROLLER_PPI (MdeModulePkg's
interface, \`gPeiUsbControllerPpiGuid\`) for the EHCI ones, ids 0 to 2, and
waits for EFI_PEI_STALL_PPI. Written by \`make\` in \`$KIT_DIR\`.

| file | what it is |
|---|---|
| \`$NAME.efi\` | the module, PE32 (and \`$NAME.te\`, the TE image, where the build wrote one) |
| \`$NAME.depex\` | its dependency expression: gEfiPeiStallPpiGuid |
| \`$NAME.inf\` | the binary module INF (VERSION_STRING $VERSION) |
| \`$NAME.fdf.inc\` | the FDF rule USB_CONTROLLER_PEIM_PE32 |
| \`UsbControllerPpi.h\` | the PPI for C and C++ consumers; it declares the PPI under MdeModulePkg's include guard and names, so it goes beside \`Ppi/UsbController.h\` in either order |

## The lines to add

PACKAGES_PATH names the folder that holds this kit folder, not the kit
folder itself (EDK2 joins each entry with the INF's path
\`$KIT_NAME/$NAME.inf\`):

\`\`\`sh
export PACKAGES_PATH=\$PACKAGES_PATH:$KIT_PARENT
\`\`\`

In the platform DSC:

\`\`\`
[Components.IA32]
  $KIT_NAME/$NAME.inf
\`\`\`

In the platform FDF, in the \`[FV.*]\` section of the volume that holds the
PEI modules, and once after the platform's own \`[Rule.*]\` sections
(GenFds looks for an \`!include\` beside the FDF, the DSC and in WORKSPACE,
not along PACKAGES_PATH, hence the full path):

\`\`\`
  INF RuleOverride = USB_CONTROLLER_PEIM_PE32 $KIT_NAME/$NAME.inf

!include $KIT_DIR/$NAME.fdf.inc
\`\`\`

GenFds makes TE sections only from PE32 images; to put the TE image as
built into a volume, insert the firmware file \`$NAME.te.ffs\` of the build
directory into the finished volume with \`fvtool insert\`.

## What the platform must do

- Provide EFI_PEI_STALL_PPI: the module waits for it, and stalls one second
  after bringing the controllers up.
- Turn PCI bus mastering on for the EHCI functions before a consumer of the
  PPI starts DMA: the module leaves it as it finds it, and EDK2's EhciPei has
  no PCI access. A notification for PEI_USB_CONTROLLER_PPI (called inside the
  module's InstallPpi, before any consumer is dispatched) is the place;
  the project's test bed has one (testbed/edk2/UsbTestPkg/BusMasterPei).
- Give permanent memory before the PEI USB stack runs: EhciPei, UsbBusPei
  and UsbBotPei wait for it; the module itself runs before or after it.
- Leave the host controllers' BARs to the module: it programs BAR0 of each
  EHCI and OHCI function (EHCI at 0xF0008000, 0xF0009000 and 0xF000A000,
  OHCI at 0xC0000000 to 0xC0003000, 4 KiB each) and reports the EHCI ones;
  keep those ranges free and unmoved until the USB stack is done.
README

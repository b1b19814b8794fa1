#!/bin/bash
# EDK2's own Brotli code against fvtool's Brotli sections, on Debian's source
# of the installed ovmf-ia32 (fetched by testbed/edk2/fetch-source.sh into
# BUILD/edk2-stack, where the USB boots keep it; fetched once):
#   1. a volume holding a Brotli section made the way EDK2's build makes one
#      (BaseTools' BrotliCompress -e, GenSec GUID_DEFINED with
#      PROCESSING_REQUIRED, GenFfs) around a volume with a data file
#      (BrotliCompress run as GenFds runs it, -e -o OUT IN: the wrapper in
#      BaseTools/BinWrappers drops -e, and the tool then decompresses);
#   2. fvtool inserts the module into the compressed volume, so it unpacks
#      EDK2's stream and packs the edited volume again;
#   3. EDK2's BrotliCustomDecompressLib (built on the host with check.c and
#      glue.c, called through the handler its constructor registers, with
#      exactly the scratch size the header states) unpacks fvtool's section:
#      the bytes must be those of the same insert into the uncompressed
#      volume, wrapped by GenSec; the section header must be GenSec's;
#   4. BrotliCompress packs those bytes to the same stream as fvtool did
#      (the data is under the 512 KiB past which BrotliCompress flushes).
# BrotliCompress and the checker are built once under BUILD/edk2-stack/brotli
# (again when the source or these files change), under the lock
# testbed/edk2/build.sh takes.
#
#   tests/fv/edk2-brotli/run.sh BUILD FVTOOL MODULE.ffs
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: $0 BUILD FVTOOL MODULE.ffs" >&2; exit 2; }
BUILD=$(cd "$1" && pwd)
FVTOOL=$(realpath "$2")
MODULE=$(realpath "$3")
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../../.." && pwd)
STACK=$BUILD/edk2-stack
OUT=$STACK/brotli
fail() {
  echo "edk2-brotli: $*" >&2
  exit 1
}
for tool in cc make python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

# --- The source and the tools, under the USB stack's lock.
mkdir -p "$STACK"
(
  flock 9
  "$ROOT/testbed/edk2/fetch-source.sh" "$STACK"
  SRC=$STACK/src
  TOOLS=$SRC/BaseTools/Source/C
  if [ ! -x "$TOOLS/bin/GenSec" ] || [ ! -x "$TOOLS/bin/GenFfs" ]; then
    echo "[edk2] building BaseTools' GenSec and GenFfs"
    {
      make -C "$TOOLS" HOST_ARCH=X64 libs bin
      make -C "$TOOLS/Common" HOST_ARCH=X64 -j2
      for t in GenSec GenFfs; do make -C "$TOOLS/$t" HOST_ARCH=X64 -j2; done
    } >"$STACK/basetools-brotli.log" 2>&1 \
      || { tail -30 "$STACK/basetools-brotli.log" >&2; fail "BaseTools failed"; }
  fi
  STAMP=$(cat "$STACK/src.version" "$HERE"/*.c "$HERE"/*.h "$HERE/run.sh" | sha256sum | cut -d' ' -f1)
  if [ ! -f "$OUT/stamp" ] || [ "$(cat "$OUT/stamp")" != "$STAMP" ]; then
    rm -rf "$OUT"
    mkdir -p "$OUT/obj-compress" "$OUT/obj-check"
    # Debian strips BaseTools' copy of brotli (and its build of
    # BrotliCompress); the decoder library's copy beside it is the whole
    # library, encoder included, of the version BaseTools' makefile lists.
    LIB=$SRC/MdeModulePkg/Library/BrotliCustomDecompressLib
    BROTLI=$LIB/brotli/c
    echo "[edk2] building BrotliCompress and the EDK2 Brotli decoder check"
    {
      mkdir -p "$OUT/compress"
      cp "$SRC/BaseTools/Source/C/BrotliCompress/BrotliCompress.c" "$OUT/compress/"
      ln -s "$LIB/brotli" "$OUT/compress/brotli"
      printf '%s\n' "$OUT/compress/BrotliCompress.c" "$BROTLI"/common/*.c "$BROTLI"/dec/*.c "$BROTLI"/enc/*.c \
        | xargs -P 2 -I{} sh -c 'cc -O2 -w -I "$1" -c "$2" -o "$3/$(basename "$2" .c).o"' _ \
          "$BROTLI/include" {} "$OUT/obj-compress"
      cc -o "$OUT/BrotliCompress" "$OUT"/obj-compress/*.o -lm
      # The library as EDK2's build compiles it for X64: its folder first
      # on the include path (its stddef.h, string.h... stand in for the C
      # library's), the packages' include folders, AutoGen.h forced in. The
      # INF lists only some of the bundled decoder (not common/constants.c,
      # context.c, platform.c, shared_dictionary.c, which its decode.c and
      # state.c call): all of common/ and dec/ are built.
      EDK2_FLAGS=(-Os -fshort-wchar -fno-builtin -fno-strict-aliasing -fno-common -w
        -include "$HERE/AutoGen.h" -I "$LIB" -I "$SRC/MdePkg/Include" -I "$SRC/MdePkg/Include/X64"
        -I "$SRC/MdeModulePkg/Include" -I "$BROTLI/include" -I "$HERE")
      for f in "$LIB"/GuidedSectionExtraction.c "$LIB"/BrotliDecompress.c "$LIB"/BrotliDecUefiSupport.c \
        "$BROTLI"/common/*.c "$BROTLI"/dec/*.c "$HERE/glue.c"; do
        cc "${EDK2_FLAGS[@]}" -c "$f" -o "$OUT/obj-check/$(basename "$f" .c).o"
      done
      cc -O2 -Wall -Wextra -Werror -c "$HERE/check.c" -o "$OUT/obj-check/check.o"
      cc -o "$OUT/edk2-brotli-check" "$OUT"/obj-check/*.o
    } >"$OUT/build.log" 2>&1 || { tail -30 "$OUT/build.log" >&2; fail "building the tools failed"; }
    echo "$STAMP" >"$OUT/stamp"
  fi
) 9>"$STACK/build.lock"
BIN=$STACK/src/BaseTools/Source/C/bin
CHECK=$OUT/edk2-brotli-check
BROTLI_GUID=3D532050-5CDA-4FD0-879E-0F7F630D5AFB
FILE_GUID=9E21FD93-9C72-4C15-8C4B-E77F1DB2D792

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
run() {
  "$@" >>log 2>&1 || { cat log >&2; fail "$(basename "$1") failed: $*"; }
}
# 200 KiB that do not compress (the stream spans several of the 64 KiB
# blocks EDK2's decoder reads and writes) in a 384 KiB volume.
python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(7).randbytes(200 << 10))' >data.bin
run "$FVTOOL" ffs --type freeform --guid 5B8E5A0C-63A2-4C5D-9E1F-2A7B3C4D5E6F -o data.ffs data.bin
run "$FVTOOL" create --size 0x60000 -o inner.fv data.ffs

# --- 1. EDK2's section, and the checker on it.
run "$BIN/GenSec" -s EFI_SECTION_FIRMWARE_VOLUME_IMAGE -o inner.sec inner.fv
run "$OUT/BrotliCompress" -e -o inner.br inner.sec
run "$BIN/GenSec" -s EFI_SECTION_GUID_DEFINED -g $BROTLI_GUID -r PROCESSING_REQUIRED -o edk2.sec inner.br
run "$BIN/GenFfs" -t EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE -g $FILE_GUID -o edk2.ffs -i edk2.sec
"$CHECK" edk2.ffs edk2.out >edk2.txt || fail "EDK2's decoder did not unpack EDK2's own section"
cmp -s edk2.out inner.sec || fail "EDK2's decoder unpacked EDK2's own section to other bytes"
# The volume fvtool edits states no scratch size, so the one fvtool's
# section states is fvtool's own measure, not the old one kept.
printf '\0\0\0\0\0\0\0\0' | dd of=inner.br bs=1 seek=8 conv=notrunc status=none
run "$BIN/GenSec" -s EFI_SECTION_GUID_DEFINED -g $BROTLI_GUID -r PROCESSING_REQUIRED -o edk2.sec inner.br
run "$BIN/GenFfs" -t EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE -g $FILE_GUID -o edk2.ffs -i edk2.sec
run "$FVTOOL" create --size 0x80000 -o edk2.fv edk2.ffs

# --- 2. fvtool edits the volume inside it; the same edit uncompressed.
run "$FVTOOL" insert edk2.fv "$MODULE" --fv 1 --pei-base 0x800000 -o fvtool.fv
run "$FVTOOL" extract fvtool.fv $FILE_GUID -o fvtool.ffs
run "$FVTOOL" insert inner.fv "$MODULE" --pei-base 0x800000 -o edited.fv
run "$BIN/GenSec" -s EFI_SECTION_FIRMWARE_VOLUME_IMAGE -o edited.sec edited.fv
cmp -s edited.sec inner.sec && fail "the insert left the volume as it was"

# --- 3. EDK2's decoder on fvtool's section.
"$CHECK" fvtool.ffs fvtool.out --least-scratch >fvtool.txt || fail "EDK2's decoder did not unpack fvtool's section"
cmp -s fvtool.out edited.sec || fail "EDK2's decoder unpacked fvtool's section to other bytes than the edit"
head -1 fvtool.txt | grep -q "^attributes 0x1 data-offset 0x18 unpacked 0x$(printf %X "$(stat -c %s edited.sec)") " \
  || fail "fvtool's section header: $(head -1 fvtool.txt)"
[ "$(head -1 edk2.txt | cut -d' ' -f1-4)" = "$(head -1 fvtool.txt | cut -d' ' -f1-4)" ] \
  || fail "fvtool's section header is not GenSec's: $(head -1 fvtool.txt) / $(head -1 edk2.txt)"

# --- 4. BrotliCompress on the same bytes: the same stream after the
# 16-byte header (the scratch sizes differ by the decoder builds' state).
run "$OUT/BrotliCompress" -e -o edited.br edited.sec
size=$(( $(od -An -tu4 -N4 -j24 fvtool.ffs) & 0xFFFFFF ))
tail -c +49 fvtool.ffs | head -c $((size - 24)) >fvtool.br
cmp -s <(tail -c +17 fvtool.br) <(tail -c +17 edited.br) \
  || fail "fvtool's stream differs from BrotliCompress's ($((size - 40)) and $(( $(stat -c %s edited.br) - 16 )) bytes)"

read -r _ _ _ _ _ unpacked _ stated <fvtool.txt
least=$(sed -n 's/^least scratch //p' fvtool.txt)
echo "EDK2's decoder unpacked fvtool's section: $unpacked bytes from a $((size - 40))-byte stream," \
  "BrotliCompress's; scratch stated $stated (BrotliCompress: $(printf 0x%X "$(od -An -tu8 -N8 -j8 edited.br)"))," \
  "EDK2's decoder needs $least"

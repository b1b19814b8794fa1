#!/bin/bash
# make install's result, installed into a scratch DESTDIR: every tool runs
# from there and states the project's version, each has a manual page made
# from its help and a bash completion that completes its options, and the
# images, firmware files, test-bed PEIMs and EDK2 kit are there, byte for
# byte as built.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1
source_dir=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/install-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
problems=0
fail() { echo "install test: $*" >&2; problems=$((problems + 1)); }

prefix=/opt/usb-peim
if ! DESTDIR=$scratch/root cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log" >&2
  echo "install test: cmake --install failed" >&2
  exit 1
fi
root=$scratch/root$prefix
[ -d "$scratch/root$prefix" ] && [ -z "$(find "$scratch/root" -maxdepth 1 -mindepth 1 ! -name opt)" ] ||
  fail "files installed outside DESTDIR/PREFIX"
version=$("$source_dir/scripts/version.sh")

for tool in peim-sim fvtool pe-check pe-compact; do
  [ -x "$root/bin/$tool" ] || { fail "bin/$tool is not installed"; continue; }
  out=$("$root/bin/$tool" --version 2>&1)
  [ "$out" = "$tool $version" ] || fail "$tool --version says '$out', not '$tool $version'"
  help=$("$root/bin/$tool" --help 2>&1)
  head -n 3 <<<"$help" | grep -qF "$version" ||
    fail "$tool --help does not state the version near its top"
  page=$root/share/man/man1/$tool.1
  if [ -f "$page" ]; then
    grep -q '^\.TH ' "$page" || fail "$tool.1 has no .TH line"
    grep -qF "$version" "$page" || fail "$tool.1 does not state the version"
    grep -qF -- '\-\-help' "$page" || fail "$tool.1 does not describe --help"
  else
    fail "share/man/man1/$tool.1 is not installed"
  fi
  [ -f "$root/share/bash-completion/completions/$tool" ] ||
    fail "no bash completion for $tool"
done

share=$root/share/usb-controller-peim
for f in UsbControllerPeim.efi UsbControllerPeim.te UsbControllerPeim.map UsbControllerPeim.ffs \
         edk2/README.md edk2/UsbControllerPeim.inf edk2/UsbControllerPeim.efi \
         edk2/UsbControllerPpi.h; do
  if [ -f "$share/$f" ]; then
    built=$build/$f
    [ -f "$built" ] && ! cmp -s "$built" "$share/$f" && fail "$f differs from the build's"
  else
    fail "share/usb-controller-peim/$f is not installed"
  fi
done
for f in TestbedStallPeim.ffs TestbedUsbConsumerPeim.ffs; do
  cmp -s "$build/$f" "$share/testbed/$f" || fail "testbed/$f is not installed as built"
done
# The installed gate passes the installed image with its installed map.
"$root/bin/pe-check" --map "$share/UsbControllerPeim.map" "$share/UsbControllerPeim.efi" \
  >/dev/null 2>&1 || fail "the installed pe-check refuses the installed image"

# Completion, as bash calls it: COMP_WORDS and COMP_CWORD set, the
# function's COMPREPLY read back.
completions=$(
  PATH=$root/bin:$PATH
  # shellcheck source=/dev/null
  source "$root/share/bash-completion/completions/fvtool"
  complete_line() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    _usb_peim_tools
    echo "$*: ${COMPREPLY[*]}"
  }
  complete_line fvtool ins
  complete_line fvtool insert --apr
  complete_line peim-sim --any
  complete_line pe-check --ma
)
for want in "fvtool ins: insert" "fvtool insert --apr: --apriori" "peim-sim --any: --any-peim" \
            "pe-check --ma: --map"; do
  grep -qxF "$want" <<<"$completions" || fail "completion: wanted '$want', got: $(echo $completions)"
done

[ "$problems" -eq 0 ] || { echo "install test: $problems problem(s)" >&2; exit 1; }
echo "install test: $(find "$root" -type f | wc -l) files installed under $prefix, all as expected"

# What the QEMU runners share (sourced, after `set -euo pipefail`): the
# firmware, the test-bed PEIMs' names, the help text, failing on bad usage,
# and a work folder that goes, with any QEMU still running, when the runner
# ends. RUNNER names the runner in its messages.

OVMF_CODE=${OVMF_CODE:-/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd}
OVMF_VARS=${OVMF_VARS:-/usr/share/OVMF/OVMF32_VARS_4M.fd}

STALL_PEIM_GUID=8074766E-0D18-48B4-919E-41C2154D597C
MEMORY_DISCOVERED_PPI=F894643D-C449-42D1-8EA8-85BDD8C65BDE

# isa-debug-exit: QEMU's status is 2 * value + 1 for the value the guest writes.
STATUS_END_OF_PEI=67  # the Stall provider wrote 0x21: PEI ended, nobody reported

# The comment at the top of the runner is its help text.
show_help_if_asked() {
  if [ "${1:-}" = --help ] || [ "${1:-}" = -h ]; then
    sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"
    exit 0
  fi
}

fail() {
  echo "$RUNNER: $*" >&2
  exit 2
}

need_qemu() {
  command -v qemu-system-i386 >/dev/null || fail "qemu-system-i386 is missing (Debian's qemu-system-x86)"
}

# Sets WORK to a new folder named after $1; QEMU_PID, once set by the
# runner, is the QEMU to stop on the way out.
make_work_dir() {
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  QEMU_PID=
  trap cleanup EXIT
  trap 'exit 130' INT TERM HUP
}
cleanup() {
  if [ -n "$QEMU_PID" ]; then
    kill "$QEMU_PID" 2>/dev/null || true
    wait "$QEMU_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}

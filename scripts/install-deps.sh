#!/bin/sh
# Makes sure the Debian packages the build and the tests need are installed.
# As root it installs what is missing with apt-get, saying what it does;
# otherwise it names the command to run and stops.
#
# libclang-rt-14-dev: clang's sanitizer runtimes and libFuzzer (the sanitizer
# tree and the fuzz targets of `make test` and `make fuzz`).
set -eu

PACKAGES="make cmake g++ clang lld llvm libclang-rt-14-dev pkg-config libgtest-dev \
libunicorn-dev libcapstone-dev libcli11-dev liblzma-dev libbrotli-dev qemu-system-x86 ovmf-ia32 uefitool-cli \
gcc nasm acpica-tools uuid-dev python3 dpkg-dev help2man"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages:$missing" >&2
  echo "Install them as root, then run make again:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends$missing" >&2
  exit 1
fi

log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")
trap 'rm -f "$log"' EXIT
fail() {
  tail -n 30 "$log" >&2
  echo "[deps] $1 failed (the lines above are the end of its output)" >&2
  exit 1
}
start=$(date +%s)
export DEBIAN_FRONTEND=noninteractive

echo "[deps] missing Debian packages:$missing"
echo "[deps] apt-get update: reading the package lists"
apt-get update -q >"$log" 2>&1 || fail "apt-get update"

# shellcheck disable=SC2086
total=$(apt-get install -s --no-install-recommends $missing 2>/dev/null | grep -c '^Inst ' || true)
echo "[deps] apt-get install: $total packages with their dependencies (a few minutes on a new machine)"
# The download and the set-up each report at every quarter, not per package.
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing 2>&1 | tee "$log" | awk -v total="$total" '
  function report(what, n) {
    if (total > 0 && int(n * 4 / total) > done[what]) {
      done[what] = int(n * 4 / total)
      printf "[deps]   %s %d of %d\n", what, n, total
      fflush()
    }
  }
  /^Get:[0-9]+ / { report("downloaded", ++got) }
  /^Setting up / { report("set up", ++set) }' \
  || fail "apt-get install"
# tee and awk succeed whatever apt-get does: check what was asked for.
for p in $missing; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
    || fail "installing $p"
done
echo "[deps] installed in $(($(date +%s) - start)) s"

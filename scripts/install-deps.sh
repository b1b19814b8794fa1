#!/bin/sh
# Makes sure the Debian packages the build and the tests need are installed.
# As root it installs what is missing with apt-get; otherwise it names the
# command to run and stops.
set -eu

PACKAGES="make cmake g++ clang lld llvm pkg-config libgtest-dev libunicorn-dev liblzma-dev \
qemu-system-x86 ovmf-ia32 uefitool-cli"

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
echo "Installing missing Debian packages:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null

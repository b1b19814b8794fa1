#!/bin/sh
# Prints the project's one version: the first line of VERSION at the top of
# the tree. Everything that states a version takes it from here: CMake
# through cmake/version.cmake (USB_PEIM_VERSION), shell scripts by running
# this, e.g. VERSION=$(scripts/version.sh).
#
#   scripts/version.sh
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
[ -f "$top/VERSION" ] || { echo "version: $top/VERSION is missing" >&2; exit 2; }
version=$(head -n 1 "$top/VERSION")
case $version in
  '' | *[!0-9A-Za-z.+~-]*)
    echo "version: $top/VERSION: '$version' is not a version (digits, letters and . + ~ -)" >&2
    exit 2 ;;
esac
echo "$version"

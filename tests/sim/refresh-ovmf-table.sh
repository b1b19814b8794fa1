#!/bin/sh
# Puts the OVMF table written by the sim test OvmfTable (build/tests/sim/ovmf-table.md)
# between the table markers of tools/sim/README.md.
set -eu
table=${1:?usage: tests/sim/refresh-ovmf-table.sh BUILD/tests/sim/ovmf-table.md}
readme=$(dirname "$0")/../../tools/sim/README.md
tmp=$(mktemp "$readme.XXXXXX")
awk -v table="$table" '
  /^<!-- OVMF table: begin -->$/ { print; while ((getline l < table) > 0) print l; skip = 1; next }
  /^<!-- OVMF table: end -->$/ { skip = 0 }
  !skip { print }
' "$readme" > "$tmp"
mv "$tmp" "$readme"

#!/bin/sh
# Puts the OVMF table written by the sim test OvmfTable (build/tests/sim/ovmf-table.md)
# between the table markers of tools/sim/README.md; with a second argument,
# the table of those markers ("OVMF q35 table": build/tests/sim/ovmf-q35-table.md).
set -eu
table=${1:?usage: tests/sim/refresh-ovmf-table.sh BUILD/tests/sim/ovmf-table.md [MARKER]}
marker=${2:-OVMF table}
readme=$(dirname "$0")/../../tools/sim/README.md
tmp=$(mktemp "$readme.XXXXXX")
awk -v table="$table" -v marker="$marker" '
  $0 == "<!-- " marker ": begin -->" { print; while ((getline l < table) > 0) print l; skip = 1; next }
  $0 == "<!-- " marker ": end -->" { skip = 0 }
  !skip { print }
' "$readme" > "$tmp"
mv "$tmp" "$readme"

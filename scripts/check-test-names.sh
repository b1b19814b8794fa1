#!/bin/bash
# Checks the names ctest gives the tests of a tree: each one the same in
# every tree and run, and readable (no parameter value printed as object
# bytes, no bare case index where a name generator should name the case),
# and short enough that scripts/ctest-filter.awk's line for it stays within
# 120 columns (97 characters).
#
#   scripts/check-test-names.sh BUILD
set -uo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD" >&2; exit 2; }
names=$(cd "$1" && ctest -N) || { echo "check-test-names: ctest -N failed in $1" >&2; exit 2; }
echo "$names" | sed -n 's/^ *Test *#[0-9]*: //p' | awk '
  { n++ }
  /GetParam|-byte object/ { print "a parameter value in the name: " $0; bad++; next }
  /\/[0-9]+$/ { print "a case numbered, not named (INSTANTIATE_TEST_SUITE_P without a name generator): " $0; bad++; next }
  length($0) > 97 { print "longer than 97 characters (" length($0) "): " $0; bad++ }
  END {
    if (n == 0) { print "no tests listed"; exit 1 }
    if (bad) { printf "%d of %d test names to fix\n", bad, n; exit 1 }
    printf "%d test names, all stable, named and within 97 characters\n", n
  }'

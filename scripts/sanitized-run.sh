#!/bin/sh
# Runs one test of the sanitizer tree (ctest and gtest discovery start every
# test executable through this script) so that any AddressSanitizer,
# LeakSanitizer or UBSan report fails it: the test itself, and every sanitized
# tool it starts as a process, write their reports into a scratch directory
# instead of onto stderr, where a test that checks a tool's refusal could
# take a report for the expected failure. Any report found afterwards is
# printed and fails the test, whatever the test's own verdict.
#
#   scripts/sanitized-run.sh COMMAND [ARGS...]
set -u
reports=$(mktemp -d "${TMPDIR:-/tmp}/sanitizer-reports.XXXXXX") || exit 1
trap 'rm -rf "$reports"' EXIT
trap 'exit 143' HUP INT TERM

# abort_on_error: a report ends the process with SIGABRT, never with a status
# a test could expect (peim-sim uses 1, the tools use 2 for refused input).
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:\
check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:\
log_path=$reports/ubsan"
export LSAN_OPTIONS="log_path=$reports/lsan"

"$@"
status=$?

found=0
for report in "$reports"/*; do
  [ -f "$report" ] || continue
  found=1
  echo "sanitizer report ${report##*/}:" >&2
  cat "$report" >&2
done
if [ "$found" -ne 0 ]; then
  echo "sanitizer: the run above reported an error (status $status)" >&2
  [ "$status" -ne 0 ] && exit "$status"
  exit 1
fi
exit "$status"

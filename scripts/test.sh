#!/bin/bash
# `make test` after the main build: the main tree's tests, then the sanitizer
# tree's tests. The sanitizer tree is configured and built while the main
# tests run (at a lower priority, so that the tests keep their pace), which
# fills the cores the tests leave idle.
#
#   scripts/test.sh BUILD SANITIZE_BUILD JOBS [SKIP_REGEX]
#
# SKIP_REGEX names tests the sanitizer tree leaves to the main tree (long
# runs on big inputs whose code the smaller tests and the fuzz corpora already
# take through the sanitizers).
set -uo pipefail
[ $# -ge 3 ] && [ $# -le 4 ] || { echo "usage: $0 BUILD SANITIZE_BUILD JOBS [SKIP_REGEX]" >&2; exit 2; }
build=$1
tree=$2
jobs=$3
skip=${4:-}
here=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$tree"
log="$tree/build.log"
echo "[sanitize] the sanitizer tree builds in the background while the tests run (log: $log)"
# Its own process group, so that a failed main run can stop all of it.
set -m
nice -n 10 "$here/scripts/sanitize-build.sh" "$build" "$tree" "$jobs" >"$log" 2>&1 &
builder=$!
set +m
# The USB boots' first test fetches and builds EDK2's USB stack (a minute
# or more, once; kept in $build/edk2-stack/). Under ctest a test shows
# nothing until it ends, so the stack is made here, beside the tests, and
# its progress lines show; the tests' own call of build.sh waits for its
# lock and finds the stack made.
edk2=
if (cd "$build" && ctest -N -R '^qemu\.usb_stick' 2>/dev/null | grep -q 'Test *#'); then
  set -m
  "$here/testbed/edk2/build.sh" --progress "$build" 2>&1 &
  edk2=$!
  set +m
fi
stop_builder() {
  kill -TERM -- "-$builder" 2>/dev/null
  wait "$builder" 2>/dev/null
  if [ -n "$edk2" ]; then
    kill -TERM -- "-$edk2" 2>/dev/null
    wait "$edk2" 2>/dev/null
  fi
}
trap 'stop_builder; exit 130' INT TERM

# Runs the tests of tree $1 (more ctest arguments after it), one line per
# test within 120 columns (scripts/ctest-filter.awk); the report is kept in
# $1/test-report.log for the closing line.
run_tests() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") 2>&1 \
    | awk -f "$here/scripts/ctest-filter.awk" | tee "$dir/test-report.log"
}
# "N tests in DIR/ (T s)" from a tree's report.
tree_summary() {
  awk -v dir="$1" '
    / tests failed out of / { n = $NF }
    /^Total Test time/ { t = $(NF - 1) }
    END { printf "%s tests in %s/ (%d s)", n ? n : "no", dir, t + 0.5 }' "$1/test-report.log"
}

echo "[test] running the tests of $build/"
run_tests "$build"
status=$?
if [ "$status" -ne 0 ]; then
  stop_builder
  echo "[test] FAILED in $build/: $(grep -m1 'tests failed out of' "$build/test-report.log" || echo 'ctest did not finish')" \
    "(the sanitizer tree's tests not run)"
  exit "$status"
fi

[ -z "$edk2" ] || wait "$edk2" 2>/dev/null
echo "[sanitize] waiting for the sanitizer tree"
wait "$builder"
built=$?
cat "$log"
[ "$built" -eq 0 ] || { echo "[sanitize] the sanitizer build failed" >&2; exit 1; }

echo "[sanitize] running the tests under ASan and UBSan, and every fuzz corpus once"
run_tests "$tree" ${skip:+-E "$skip"}
status=$?
if [ "$status" -ne 0 ]; then
  echo "[test] FAILED in $tree/: $(grep -m1 'tests failed out of' "$tree/test-report.log" || echo 'ctest did not finish')" \
    "($(tree_summary "$build") passed)"
  exit "$status"
fi
echo "[test] both trees passed: $(tree_summary "$build"), $(tree_summary "$tree") under the sanitizers"

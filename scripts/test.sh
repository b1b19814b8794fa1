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
stop_builder() {
  kill -TERM -- "-$builder" 2>/dev/null
  wait "$builder" 2>/dev/null
}
trap 'stop_builder; exit 130' INT TERM

echo "[test] running the tests of $build/"
(cd "$build" && ctest --output-on-failure -j "$jobs")
status=$?
if [ "$status" -ne 0 ]; then
  stop_builder
  exit "$status"
fi

echo "[sanitize] waiting for the sanitizer tree"
wait "$builder"
built=$?
cat "$log"
[ "$built" -eq 0 ] || { echo "[sanitize] the sanitizer build failed" >&2; exit 1; }

echo "[sanitize] running the tests under ASan and UBSan, and every fuzz corpus once"
cd "$tree" && ctest --output-on-failure -j "$jobs" ${skip:+-E "$skip"}

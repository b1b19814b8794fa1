#!/bin/sh
# Runs every file of a corpus directory through a libFuzzer target once (no
# fuzzing) and fails on a crash, a leak, a time-out or an input that was not
# run. The test fuzz.replay.NAME calls it; a crash input is kept in ARTIFACTS.
#
#   tests/fuzz/replay.sh FUZZ_BINARY CORPUS_DIR ARTIFACTS_DIR
set -eu
binary=$1
corpus=$2
artifacts=$3

[ -d "$corpus" ] || { echo "replay: $corpus: no corpus directory" >&2; exit 1; }
# The corpus lies flat: one input a file.
count=$(find "$corpus" -mindepth 1 -maxdepth 1 -type f | wc -l)
[ "$count" -gt 0 ] || { echo "replay: $corpus: the corpus is empty" >&2; exit 1; }
mkdir -p "$artifacts"

log=$(mktemp "${TMPDIR:-/tmp}/replay.XXXXXX")
trap 'rm -f "$log"' EXIT
# Files as arguments: libFuzzer runs each one on its own and writes nothing
# back into the corpus. -timeout makes a hang a failure rather than a stall.
status=0
find "$corpus" -mindepth 1 -maxdepth 1 -type f -print0 | sort -z \
  | xargs -0 "$binary" -timeout=25 -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$log" >&2
  echo "replay: $binary failed on an input of $corpus (status $status)" >&2
  exit 1
fi
ran=$(grep -c '^Executed ' "$log" || true)
if [ "$ran" -ne "$count" ]; then
  cat "$log" >&2
  echo "replay: ran $ran of the $count inputs in $corpus" >&2
  exit 1
fi
echo "replay: $count inputs of $corpus ran cleanly"

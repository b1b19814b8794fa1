#!/bin/bash
# Fuzzes every libFuzzer target of the fuzz tree for SECONDS each, on a
# scratch copy of its corpus under the tree (the repository's corpus is only
# read), JOBS targets at a time. Prints one line per target: runs, coverage,
# new inputs and where they are; on a crash, the report and the input.
# Exit status: 0 no target crashed, 1 a crash, leak or time-out, 2 bad usage.
#
#   scripts/fuzz.sh FUZZ_BUILD_DIR SOURCE_DIR [SECONDS] [JOBS]
#
# In FUZZ_BUILD_DIR: corpus/NAME/ (the scratch corpora), artifacts/NAME/
# (inputs that crashed, leaked or hung), logs/NAME.log (libFuzzer's output).
set -uo pipefail

usage() {
  echo "usage: $0 FUZZ_BUILD_DIR SOURCE_DIR [SECONDS] [JOBS]" >&2
  exit 2
}
[ $# -ge 2 ] && [ $# -le 4 ] || usage
build=$1
source=$2
seconds=${3:-60}
jobs=${4:-1}
[[ $seconds =~ ^[1-9][0-9]{0,5}$ ]] || { echo "fuzz: FUZZ_SECONDS must be 1 to 999999, not '$seconds'" >&2; exit 2; }
[[ $jobs =~ ^[1-9][0-9]?$ ]] || { echo "fuzz: JOBS must be 1 to 99, not '$jobs'" >&2; exit 2; }
list="$build/fuzz-targets.txt"
[ -f "$list" ] || { echo "fuzz: $list missing: build the fuzz tree first" >&2; exit 2; }
mapfile -t names < <(grep -v '^$' "$list")
[ ${#names[@]} -gt 0 ] || { echo "fuzz: no fuzz targets in $list" >&2; exit 2; }

work="$build"
mkdir -p "$work/logs"

# One target: a scratch corpus that keeps what earlier runs found, plus the
# repository's current corpus; libFuzzer adds new inputs to it. The whole
# output goes to a log; the summary line is printed when the target is done.
fuzz_one() {
  local name=$1
  local binary="$build/fuzz-$name"
  local corpus="$work/corpus/$name"
  local artifacts="$work/artifacts/$name"
  local log="$work/logs/$name.log"
  local result="$work/logs/$name.result"
  echo "fuzz-$name: fuzzing for $seconds s"
  mkdir -p "$corpus" "$artifacts"
  cp -n "$source/tests/fuzz/corpus/$name"/* "$corpus"/ 2>/dev/null
  local before
  before=$(find "$corpus" -type f | wc -l)
  # Reports on stderr (no log_path); a report ends the run with the input
  # saved under artifacts. -timeout makes a hang a failure; -rss_limit_mb
  # bounds memory per input well inside the machine.
  ASAN_OPTIONS="halt_on_error=1:detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    "$binary" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
  local status=$?
  local after
  after=$(find "$corpus" -type f | wc -l)
  local runs cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | sed 's/cov: //')
  if [ "$status" -eq 0 ]; then
    printf 'fuzz-%s: %s runs in %s s, coverage %s, %d new inputs (%d in all) in %s\n' \
      "$name" "${runs:-?}" "$seconds" "${cov:-?}" $((after - before)) "$after" "$corpus" >"$result"
    cat "$result"
    echo ok >"$work/logs/$name.status"
  else
    {
      echo "fuzz-$name: FAILED (status $status) after ${runs:-?} runs; the report:"
      # The report: from the sanitizer's or libFuzzer's first error line to
      # its summary (the shadow-memory map after it stays in the log).
      sed -n '/^==[0-9]*== *ERROR\|runtime error:/,/^SUMMARY/p' "$log" | head -60
      local input
      input=$(grep -oE "Test unit written to [^ ]+" "$log" | tail -1 | sed 's/Test unit written to //')
      echo "fuzz-$name: full log $log"
      if [ -n "$input" ]; then
        echo "fuzz-$name: the input is $input; run it again with: $binary $input"
      fi
    } >"$result"
    cat "$result"
    echo failed >"$work/logs/$name.status"
    return 1
  fi
}

echo "fuzz: ${#names[@]} targets, $seconds s each, $jobs at a time (corpora, inputs and logs in $work/)"
running=0
for name in "${names[@]}"; do
  rm -f "$work/logs/$name.result" "$work/logs/$name.status"
  fuzz_one "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

failed=0
for name in "${names[@]}"; do
  if [ "$(cat "$work/logs/$name.status" 2>/dev/null)" != ok ]; then
    failed=$((failed + 1))
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "fuzz: $failed of ${#names[@]} targets failed" >&2
  exit 1
fi
echo "fuzz: all ${#names[@]} targets ran $seconds s without a crash"

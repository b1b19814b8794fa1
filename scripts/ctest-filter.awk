# Makes ctest's report fit 120 columns, one line per test: the "Start" lines
# go (under -j they only double the report), and each result line, which
# ctest pads with dots to the longest name of the tree, becomes
#
#  12/523 Passed   0.02s qemu.UsbLog.PlantedFaultsFailTheirChecks
#
# with the name last and whole, so that it can be copied to `ctest -R`: 23
# columns before it, so a name of up to 97 characters fits.
# Everything else (the output of failed tests, the summary) passes as it is.
#
#   ctest ... | awk -f scripts/ctest-filter.awk
/^ +Start +[0-9]+: / { next }
match($0, /^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: /) {
  head = substr($0, 1, RLENGTH)
  rest = substr($0, RLENGTH + 1)
  if (match(rest, / +[0-9.]+ sec$/)) {
    seconds = substr(rest, RSTART)
    sub(/^ +/, "", seconds)
    sub(/ sec$/, "", seconds)
    rest = substr(rest, 1, RSTART - 1)
    # NAME, the dots (or one space when the name is the longest), STATUS.
    if (match(rest, / \.* +[^ .]/) || match(rest, / [^ ]/)) {
      name = substr(rest, 1, RSTART - 1)
      status = substr(rest, RSTART)
      sub(/^ \.* */, "", status)
      sub(/^\*\*\*/, "", status)
      split(head, count, " ")
      printf "%7s %-6s %7s %s\n", count[1], status, seconds "s", name
      fflush()
      next
    }
  }
}
{ print; fflush() }

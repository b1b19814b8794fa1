# Shortens a CMake build's output to what a person needs to see: a progress
# line at each quarter of the compile and link steps and when the IA-32 images
# are done, then every line that is not progress (warnings, errors, pe-check's
# size line). TAG names the tree; MARKS is the tree's
# CMakeFiles/progress.marks (the number of steps); HIDE is an extra pattern of
# lines to drop; IMAGES=0 for a tree that takes its images from another (its
# ia32_images target is empty); TOTAL instead of MARKS, the number of steps
# of a build of some targets only.
#
#   cmake --build DIR 2>&1 | awk -v tag=build -v marks=DIR/CMakeFiles/progress.marks \
#     [-v total=N] [-v hide=REGEX] [-v images=0] -f scripts/build-filter.awk
BEGIN {
  if (images == "") images = 1
  total += 0
  if (total == 0 && marks != "" && (getline line < marks) > 0) total = line + 0
  next_quarter = 1
}
/^\[ *[0-9]+%\]/ {
  if (images && $0 ~ /Built target ia32_images$/) {
    printf "[%s]   IA-32 images built\n", tag
    fflush()
  }
  # make's own percentages follow the order of the rules, not the work done
  # under -j: count the steps instead.
  if ($0 ~ /\] (Building|Linking) CXX/ && total > 0) {
    steps++
    if (steps * 4 >= next_quarter * total && next_quarter < 4) {
      printf "[%s]   %d%% (%d of %d compile and link steps)\n", tag, next_quarter * 25, steps, total
      next_quarter++
      fflush()
    }
  }
  next
}
/: (Entering|Leaving) directory/ { next }
/^-- ia32_images .* succeeded/ { next }
/^-- (Configuring done|Generating done|Build files have been written)/ { next }
hide != "" && $0 ~ hide { next }
{ print; fflush() }

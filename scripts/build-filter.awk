# Shortens a CMake build's output to what a person needs to see: a progress
# line at each quarter and when the IA-32 images are done, then every line
# that is not progress (warnings, errors, pe-check's size line). TAG names
# the tree; HIDE is an extra pattern of lines to drop; IMAGES=0 for a tree
# that takes its images from another (its ia32_images target is empty).
#
#   cmake --build DIR 2>&1 | awk -v tag=build [-v hide=REGEX] [-v images=0] \
#     -f scripts/build-filter.awk
BEGIN {
  next_quarter = 25
  if (images == "") images = 1
}
/^\[ *[0-9]+%\]/ {
  percent = substr($0, 2) + 0
  if (images && $0 ~ /Built target ia32_images$/) {
    printf "[%s]   IA-32 images built\n", tag
    fflush()
  }
  if (percent >= next_quarter && percent < 100) {
    while (next_quarter <= percent) next_quarter += 25
    printf "[%s]   %d%%\n", tag, percent
    fflush()
  }
  next
}
/: (Entering|Leaving) directory/ { next }
/^-- ia32_images .* succeeded/ { next }
/^-- (Configuring done|Generating done|Build files have been written)/ { next }
hide != "" && $0 ~ hide { next }
{ print; fflush() }

// The module's image as fvtool placed it in the PEI volume for an in-place
// boot, checked against the image as built: linked to the address where it
// lies, with every fixup moved by the same amount and nothing else changed.
// With the PEI volume in RAM (as in this firmware), a boot alone cannot tell
// an image that runs where it lies from one the PEI Foundation relocated
// first, so the in-place boot checks its placement too.
#ifndef TESTBED_REPORT_PLACEMENT_H_
#define TESTBED_REPORT_PLACEMENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "boot_log.h"

namespace testbed {

struct Placement {
  ModuleExtent extent;  // the placed image's bytes in memory
  std::vector<Check> checks;
};

// placed: the PE32 or TE image as extracted from the firmware; built: the
// same image as the build made it; volumeOffset: where the placed image's
// first byte (its PE32 or TE header) lies in the PEI volume, which the
// firmware runs at kPeiVolumeBase. False, with a one-line error, if either
// image cannot be read or they are not the same kind.
bool CheckPlacement(const std::vector<uint8_t> &placed, const std::vector<uint8_t> &built,
                    uint32_t volumeOffset, Placement &out, std::string &error);

}  // namespace testbed

#endif  // TESTBED_REPORT_PLACEMENT_H_

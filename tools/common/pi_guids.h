// Names of the GUIDs a firmware engineer meets in PEI volumes: file system
// and section encodings, well-known files and the PI PPIs.
#ifndef TOOLS_COMMON_PI_GUIDS_H_
#define TOOLS_COMMON_PI_GUIDS_H_

#include <cstdint>
#include <string>

namespace toolio {

// The name of a GUID given in its textual form ("1F4C6F90-B06B-48D8-...",
// any case), or "" if it is not a known one.
std::string KnownGuidName(const std::string &text);

}  // namespace toolio

#endif  // TOOLS_COMMON_PI_GUIDS_H_

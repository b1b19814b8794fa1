// GUIDs as firmware engineers read and write them: the textual form, and the
// names of the ones met in PEI volumes (file system and section encodings,
// well-known files and the PI PPIs).
#ifndef TOOLS_COMMON_PI_GUIDS_H_
#define TOOLS_COMMON_PI_GUIDS_H_

#include <array>
#include <cstdint>
#include <string>

namespace toolio {

// A GUID as it lies in memory: Data1, Data2 and Data3 little endian.
using GuidBytes = std::array<uint8_t, 16>;

// The textual form, "1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56" (upper case).
std::string GuidText(const GuidBytes &guid);
// Parses exactly 8-4-4-4-12 hex digits (any case) into memory layout;
// false for anything else, guid left alone.
bool ParseGuid(const std::string &text, GuidBytes &guid);

// The name of a GUID given in its textual form ("1F4C6F90-B06B-48D8-...",
// any case), or "" if it is not a known one.
std::string KnownGuidName(const std::string &text);
// The known name of a GUID, else its textual form.
std::string GuidName(const GuidBytes &guid);

}  // namespace toolio

#endif  // TOOLS_COMMON_PI_GUIDS_H_

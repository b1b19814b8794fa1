// What the fuzz targets check with: a failed expectation stops the run as a
// crash, which libFuzzer reports with the input that made it.
#pragma once

#include <string>

namespace fuzzcheck {

inline void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Text a tool prints for a log line or a name: no control characters, no
// bytes beyond ASCII.
inline bool Printable(const std::string &text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) return false;
  return true;
}

}  // namespace fuzzcheck

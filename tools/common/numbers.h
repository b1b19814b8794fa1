// Strict parsing of numeric command-line values: decimal or 0x-prefixed
// hexadecimal, no sign, no spaces, no trailing characters, and a range
// check instead of silent wrapping.
#ifndef TOOLS_COMMON_NUMBERS_H_
#define TOOLS_COMMON_NUMBERS_H_

#include <cstdint>
#include <string>

namespace toolio {

// How a value's range is written in an error: a count (seconds, repeats,
// instructions) in decimal, an address in hexadecimal; kAny writes small
// ranges (up to 0xFFFF) in decimal and larger ones in hexadecimal.
enum class NumberKind { kAny, kCount, kAddress };

// Parses text into value, which must lie in [min, max]. False with a
// one-line error naming the text and the valid range.
bool ParseUnsigned(const std::string &text, uint64_t min, uint64_t max, uint64_t &value,
                   std::string &error, NumberKind kind = NumberKind::kAny);

// Hexadecimal with the 0x prefix, upper-case digits.
std::string HexNumber(uint64_t value);

}  // namespace toolio

#endif  // TOOLS_COMMON_NUMBERS_H_

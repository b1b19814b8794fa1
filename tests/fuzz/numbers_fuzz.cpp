// toolio::ParseUnsigned, which reads every numeric option of the tools, on
// arbitrary text: the first byte picks the allowed range, the rest is the
// text. Checked against a plain reference reading of the same text with
// 128-bit arithmetic, so a wrap-around, an accepted stray character or a
// value outside the range is a crash, not just a different message.
#include <cstddef>
#include <cstdint>
#include <string>

#include "numbers.h"
#include "fuzz_check.h"

namespace {

using U128 = unsigned __int128;

struct Range {
  uint64_t min, max;
};
constexpr Range kRanges[] = {
    {0, UINT64_MAX}, {0, 0xFFFF}, {1, 255}, {0x1000, 0x2000}, {0, 0}, {UINT64_MAX, UINT64_MAX},
};

// The reference: decimal or 0x/0X hexadecimal, at least one digit, nothing else.
bool Reference(const std::string &text, U128 &value) {
  size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i == text.size()) return false;
  value = 0;
  for (; i < text.size(); i++) {
    char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') digit = unsigned(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = unsigned(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = unsigned(c - 'A' + 10);
    else return false;
    value = value * base + digit;
    if (value > UINT64_MAX) value = U128(UINT64_MAX) + 1;  // stays out of range
  }
  return true;
}

using fuzzcheck::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const Range range = kRanges[data[0] % (sizeof kRanges / sizeof kRanges[0])];
  const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

  const uint64_t untouched = 0x5A5A5A5A5A5A5A5A;
  uint64_t value = untouched;
  std::string error;
  const bool ok = toolio::ParseUnsigned(text, range.min, range.max, value, error);

  U128 expected = 0;
  const bool readable = Reference(text, expected);
  const bool in_range = readable && expected >= range.min && expected <= range.max;
  Check(ok == in_range);
  if (ok) {
    Check(value == expected);
    Check(error.empty());
    // Both spellings the tools print read back as the same value.
    uint64_t again = 0;
    std::string unused;
    Check(toolio::ParseUnsigned(toolio::HexNumber(value), range.min, range.max, again, unused));
    Check(again == value);
    Check(toolio::ParseUnsigned(std::to_string(value), range.min, range.max, again, unused));
    Check(again == value);
  } else {
    // Refused: the value is left alone and the message quotes the text and
    // names a reason. A number refuses as out of range; other text as not a
    // number, or as out of range when its digits overflow before the first
    // stray character (the reading stops there).
    Check(value == untouched);
    Check(error.compare(0, text.size() + 2, "'" + text + "'") == 0);
    const std::string reason = error.substr(text.size() + 2);  // the text may hold any words
    const bool out_of_range = reason.find("out of range") != std::string::npos;
    const bool not_a_number = reason.find("not a number") != std::string::npos;
    Check(out_of_range != not_a_number);
    if (readable) Check(out_of_range);
  }
  return 0;
}

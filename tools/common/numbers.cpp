#include "numbers.h"

#include <cstdio>

namespace toolio {

std::string HexNumber(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

bool ParseUnsigned(const std::string &text, uint64_t min, uint64_t max, uint64_t &value,
                   std::string &error, NumberKind kind) {
  const bool hex = kind == NumberKind::kAddress || (kind == NumberKind::kAny && max > 0xFFFF);
  auto range = [&] {
    return " (a whole number from " + (hex ? HexNumber(min) : std::to_string(min)) + " to " +
           (hex ? HexNumber(max) : std::to_string(max)) + ")";
  };
  size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i == text.size()) {
    error = "'" + text + "' is not a number" + range();
    return false;
  }
  uint64_t v = 0;
  for (; i < text.size(); i++) {
    char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') digit = unsigned(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = unsigned(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = unsigned(c - 'A' + 10);
    else {
      error = "'" + text + "' is not a number" + range();
      return false;
    }
    if (v > (UINT64_MAX - digit) / base) {
      error = "'" + text + "' is out of range" + range();
      return false;
    }
    v = v * base + digit;
  }
  if (v < min || v > max) {
    error = "'" + text + "' is out of range" + range();
    return false;
  }
  value = v;
  return true;
}

}  // namespace toolio

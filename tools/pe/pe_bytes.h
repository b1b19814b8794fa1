// Little-endian fields of an image held as bytes, the section extent and hex
// numbers for messages: what the reader and the writer of tools/pe share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pe_image.h"

namespace pe {
namespace bytes {

inline uint16_t Get16(const std::vector<uint8_t> &b, size_t o) {
  return uint16_t(b[o] | b[o + 1] << 8);
}
inline uint32_t Get32(const std::vector<uint8_t> &b, size_t o) {
  return uint32_t(b[o]) | uint32_t(b[o + 1]) << 8 | uint32_t(b[o + 2]) << 16 |
         uint32_t(b[o + 3]) << 24;
}
inline void Put16(std::vector<uint8_t> &b, size_t o, uint16_t v) {
  b[o] = uint8_t(v);
  b[o + 1] = uint8_t(v >> 8);
}
inline void Put32(std::vector<uint8_t> &b, size_t o, uint32_t v) {
  for (int i = 0; i < 4; i++) b[o + i] = uint8_t(v >> (8 * i));
}
inline std::string Hex(uint64_t v) {
  char s[24];
  snprintf(s, sizeof s, "0x%llX", static_cast<unsigned long long>(v));
  return s;
}
// What a section occupies in memory: its VirtualSize, or its raw size where
// the linker left VirtualSize 0.
inline uint32_t Extent(const Section &s) { return s.virtualSize ? s.virtualSize : s.rawSize; }

}  // namespace bytes
}  // namespace pe

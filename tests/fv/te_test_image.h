// TE images for tests, made from a PE32 image the way a TE writer makes
// them: the 40-byte TE header in place of everything before the section
// table (StrippedSize bytes), the rest unchanged. Tests plant faults in the
// header fields by offset (kTe*).
#ifndef TESTS_FV_TE_TEST_IMAGE_H_
#define TESTS_FV_TE_TEST_IMAGE_H_

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "pe_image.h"

namespace tetest {

// Offsets of the TE header's fields.
constexpr size_t kTeStrippedSize = 6;
constexpr size_t kTeImageBase = 16;
constexpr size_t kTeRelocations = 24;  // RVA, size
constexpr size_t kTeSections = 40;     // the section table

inline void Put16(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
inline void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  Put16(b, at, v);
  Put16(b, at + 2, v >> 16);
}

inline std::vector<uint8_t> TeFromPe(const std::vector<uint8_t> &peFile) {
  pe::Image pe;
  std::string error;
  EXPECT_TRUE(pe::Parse(peFile, pe, error)) << error;
  const uint32_t opt = pe.peOffset + 24;
  const uint32_t table = opt + uint32_t(peFile[pe.peOffset + 20] | peFile[pe.peOffset + 21] << 8);
  std::vector<uint8_t> te(40, 0);
  Put16(te, 0, 0x5A56);  // "VZ"
  Put16(te, 2, pe.machine);
  te[4] = uint8_t(pe.sections.size());
  te[5] = uint8_t(pe.subsystem);
  Put16(te, kTeStrippedSize, table);
  Put32(te, 8, pe.entryRva);
  Put32(te, 12, pe.sections.empty() ? 0 : pe.sections[0].virtualAddress);  // BaseOfCode
  Put32(te, kTeImageBase, pe.imageBase);
  Put32(te, kTeRelocations, pe.directories[pe::kDirBaseReloc].rva);
  Put32(te, kTeRelocations + 4, pe.directories[pe::kDirBaseReloc].size);
  Put32(te, 32, pe.directories[pe::kDirDebug].rva);
  Put32(te, 36, pe.directories[pe::kDirDebug].size);
  te.insert(te.end(), peFile.begin() + table, peFile.end());
  return te;
}

}  // namespace tetest

#endif  // TESTS_FV_TE_TEST_IMAGE_H_

// Port traffic of PCI configuration access, the update rule, and the store
// pattern of the zero fill.
#include <gtest/gtest.h>

#include <cstring>

#include "register_table.h"
#include "recording_platform.h"
#include "zero_mem.h"

namespace {

TEST(PciConfigAccess, PortTrafficPerAccess) {
  RecordingPlatform p;
  p.SetConfig(0x9204, 8, 0x17);
  p.SetConfig(0xA510, 32, 0x12345678);
  EXPECT_EQ(PciRead8(0x00009204), 0x17);
  PciWrite16(0x0000920C, 0x4008);
  PciWrite16(0x00009252, 0xBEEF);
  EXPECT_EQ(PciRead32(0x0000A510), 0x12345678u);
  std::vector<Access> expected = {
      {Op::IoWrite, 32, 0xCF8, 0x80009204}, {Op::IoRead, 8, 0xCFC, 0x17},
      {Op::IoWrite, 32, 0xCF8, 0x8000920C}, {Op::IoWrite, 16, 0xCFC, 0x4008},
      // The two low bits stay in CONFIG_ADDRESS; the data moves to its lane.
      {Op::IoWrite, 32, 0xCF8, 0x80009252}, {Op::IoWrite, 16, 0xCFE, 0xBEEF},
      {Op::IoWrite, 32, 0xCF8, 0x8000A510}, {Op::IoRead, 32, 0xCFC, 0x12345678},
  };
  EXPECT_EQ(p.log, expected);
}

TEST(PciConfigAccess, UpdateIsTwoCompleteAccesses) {
  RecordingPlatform p;
  PciUpdate(RegWidth8, 0x00009004, 0xFF, 0x06);  // command byte reads 0
  std::vector<Access> expected = {
      {Op::IoWrite, 32, 0xCF8, 0x80009004}, {Op::IoRead, 8, 0xCFC, 0x00},
      {Op::IoWrite, 32, 0xCF8, 0x80009004}, {Op::IoWrite, 8, 0xCFC, 0x06},
  };
  EXPECT_EQ(p.log, expected);
  // Byte lanes for every offset within a dword, at both narrow widths.
  for (uint32_t reg = 0x40; reg < 0x44; reg++) {
    p.log.clear();
    PciUpdate(RegWidth8, 0x9200 + reg, 0, 0x5A);
    EXPECT_EQ(p.log[1].address, 0xCFC + (reg & 3));
    EXPECT_EQ(p.log[2].value, 0x80009200 + reg);
  }
  p.log.clear();
  PciUpdate(RegWidth16, 0x9252, 0xFFFF, 0x8000);
  EXPECT_EQ(p.log[1].address, 0xCFEu);
  EXPECT_EQ(p.log[3].width, 16u);
}

TEST(MmioUpdateRule, ReadsBeforeWritingEvenWithAZeroMask) {
  RecordingPlatform p;
  p.SetMemory(0xF0008000 + 0xC0, 32, 0xDEADBEEF);
  MmioUpdate(RegWidth32, 0xF00080C0, 0x00000000, 0x00020F00);
  std::vector<Access> expected = {{Op::MmioRead, 32, 0xF00080C0, 0xDEADBEEF},
                                  {Op::MmioWrite, 32, 0xF00080C0, 0x00020F00}};
  EXPECT_EQ(p.log, expected);

  p.log.clear();
  p.SetMemory(0xFED803EF, 8, 0xC1);
  MmioUpdate(RegWidth8, 0xFED803EF, 0x80, 0x00);
  expected = {{Op::MmioRead, 8, 0xFED803EF, 0xC1}, {Op::MmioWrite, 8, 0xFED803EF, 0x80}};
  EXPECT_EQ(p.log, expected);

  // Unaligned: one access of the full width at the byte address.
  p.log.clear();
  MmioUpdate(RegWidth32, 0xFED803ED, 0xFFFFFFFF, 0x2);
  ASSERT_EQ(p.log.size(), 2u);
  EXPECT_EQ(p.log[0].width, 32u);
  EXPECT_EQ(p.log[0].address, 0xFED803EDu);
}

// The zero fill's stores for a buffer at Misalign bytes past a 4-byte
// boundary, against the pattern: bytes to the boundary, 64-byte blocks of
// 8-byte stores inside an MMX save/restore, dwords, then at most 3 bytes.
void CheckZeroFill(unsigned misalign, unsigned length) {
  SCOPED_TRACE(testing::Message() << "misalign " << misalign << " length " << length);
  alignas(64) uint8_t buffer[512];
  memset(buffer, 0xEE, sizeof buffer);
  uint8_t *start = buffer + 64 + misalign;
  RecordingPlatform p;
  ZeroMem(start, length);

  std::vector<Access> expected;
  uint64_t at = (uint64_t)(uintptr_t)start;
  unsigned left = length;
  unsigned head = std::min(left, (4 - misalign % 4) % 4);
  for (unsigned i = 0; i < head; i++, at++, left--) expected.push_back({Op::Store, 8, at, 0});
  if (left >= 64) {
    expected.push_back({Op::MmxSave, 64, 0, 0});
    for (; left >= 64; left -= 64)
      for (unsigned i = 0; i < 8; i++, at += 8) expected.push_back({Op::Store, 64, at, 0});
    expected.push_back({Op::MmxRestore, 64, 0, 0});
  }
  for (; left >= 4; left -= 4, at += 4) expected.push_back({Op::Store, 32, at, 0});
  for (; left > 0; left--, at++) expected.push_back({Op::Store, 8, at, 0});
  ASSERT_EQ(p.log, expected);

  unsigned bytes = 0;
  for (const Access &a : p.log) if (a.op == Op::Store && a.width == 8) bytes++;
  EXPECT_LE(bytes, 6u);
  for (unsigned i = 0; i < sizeof buffer; i++) {
    bool inside = buffer + i >= start && buffer + i < start + length;
    ASSERT_EQ(buffer[i], inside ? 0x00 : 0xEE) << "byte " << i;
  }
}

TEST(ZeroMem, StorePatternOverAlignmentsAndLengths) {
  for (unsigned misalign = 0; misalign < 4; misalign++)
    for (unsigned length = 0; length <= 200; length++) CheckZeroFill(misalign, length);
  CheckZeroFill(1, 71);   // 3 head bytes, one block, one dword
  CheckZeroFill(0, 28);   // the instance record: 7 dwords, no block, no bytes
  CheckZeroFill(2, 400);
}

}  // namespace

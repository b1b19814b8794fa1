// The delivered image itself: format, contents and what it may not hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "link_map.h"
#include "pe_compact.h"
#include "pe_image.h"

namespace {

class ModuleImage : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(pe::ReadFile(MODULE_IMAGE, bytes, error)) << error;
    ASSERT_TRUE(pe::Parse(bytes, image_, error)) << error;
    ASSERT_TRUE(pe::ReadLinkMap(MODULE_MAP, map_, error)) << error;
  }
  static bool Contains(const std::vector<uint8_t> &bytes, const std::vector<uint8_t> &needle) {
    return std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end()) != bytes.end();
  }
  static pe::Image image_;
  static pe::LinkMap map_;
};
pe::Image ModuleImage::image_;
pe::LinkMap ModuleImage::map_;

TEST_F(ModuleImage, IsARelocatableIa32BootServiceDriver) {
  EXPECT_EQ(image_.magic, pe::kMagicPe32);
  EXPECT_EQ(image_.machine, pe::kMachineI386);
  EXPECT_EQ(image_.subsystem, pe::kSubsystemEfiBootServiceDriver);
  EXPECT_EQ(image_.timeDateStamp, 0u);
  EXPECT_FALSE(image_.fileCharacteristics & pe::kFileRelocsStripped);
  EXPECT_GT(image_.directories[pe::kDirBaseReloc].size, 0u);
  EXPECT_FALSE(image_.relocations.empty());
  for (int dir : {pe::kDirImport, pe::kDirIat, pe::kDirExport, pe::kDirDebug, pe::kDirTls,
                  pe::kDirLoadConfig, pe::kDirException})
    EXPECT_EQ(image_.directories[dir].size, 0u) << "data directory " << dir;
}

TEST_F(ModuleImage, HoldsOnlyCodeReadOnlyDataAndRelocationsLaidOutToRunInPlace) {
  std::vector<std::string> names;
  for (const pe::Section &s : image_.sections) {
    names.push_back(s.name);
    EXPECT_EQ(s.rawPointer, s.virtualAddress) << s.name;
    EXPECT_LE(s.virtualSize, s.rawSize) << s.name << " has an uninitialised tail";
    EXPECT_FALSE(s.characteristics & pe::kScnMemWrite) << s.name;
    EXPECT_FALSE(s.characteristics & pe::kScnCntUninitializedData) << s.name;
  }
  // One section: code, read-only data and, at its end, the relocation table.
  EXPECT_EQ(names, (std::vector<std::string>{".text"}));
  const pe::Section &text = image_.sections[0];
  const pe::DataDirectory &table = image_.directories[pe::kDirBaseReloc];
  EXPECT_EQ(table.rva + table.size, text.virtualAddress + text.virtualSize);
  EXPECT_EQ(image_.sizeOfHeaders, image_.sections[0].virtualAddress);
  EXPECT_EQ(image_.bytes.size(), image_.sizeOfImage)
      << "the file is the image as it runs: nothing to expand when loaded";
  // Empty .data/.bss groups of the objects may be folded into .text; any byte
  // of writable or uninitialised data would be a fault.
  for (const pe::MapContribution &c : map_.contributions) {
    EXPECT_TRUE(c.name == ".text" || c.name == ".rdata" || c.name == ".reloc" || c.length == 0)
        << "unexpected contribution " << c.name << " of " << c.length << " bytes";
  }
}

// The headers are the least a PE loader and the image tools read: a DOS
// header without a program, 7 data directories (relocation is the sixth),
// one section header; SectionAlignment equal to FileAlignment; a valid
// checksum.
TEST_F(ModuleImage, HasCompactConventionalHeaders) {
  const std::vector<uint8_t> &b = image_.bytes;
  auto get32 = [&](size_t o) {
    return uint32_t(b[o]) | uint32_t(b[o + 1]) << 8 | uint32_t(b[o + 2]) << 16 |
           uint32_t(b[o + 3]) << 24;
  };
  EXPECT_EQ(image_.peOffset, 0x40u);
  EXPECT_EQ(b[0x40 + 20] | b[0x40 + 21] << 8, 96 + 8 * 7) << "SizeOfOptionalHeader";
  EXPECT_EQ(image_.numberOfRvaAndSizes, 7u);
  EXPECT_EQ(image_.sectionAlignment, image_.fileAlignment);
  EXPECT_EQ(image_.sizeOfHeaders, 280u);
  EXPECT_EQ(image_.sizeOfHeaders % image_.sectionAlignment, 0u);
  EXPECT_EQ(image_.bytes.size() % image_.fileAlignment, 0u);
  const size_t checksum = 0x40 + 24 + 64;
  EXPECT_EQ(get32(checksum), pe::PeChecksum(b, checksum));
  EXPECT_NE(get32(checksum), 0u);
}

TEST_F(ModuleImage, EntryAndRelocationsPointWhereTheyShould) {
  const pe::MapSymbol *entry = map_.Find("UsbControllerPeimEntry");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(image_.entryRva, entry->rva);
  ASSERT_NE(map_.Find("ZeroMem"), nullptr);
  // Code and read-only data end where the relocation table starts.
  const pe::Section &text = image_.sections[0];
  const uint32_t dataEnd = image_.directories[pe::kDirBaseReloc].rva;
  for (uint32_t rva : image_.relocations) {
    ASSERT_GE(rva, text.virtualAddress);
    ASSERT_LE(rva + 4, dataEnd);
    uint32_t target;
    memcpy(&target, &image_.bytes[rva], 4);
    EXPECT_GE(target - image_.imageBase, text.virtualAddress);
    EXPECT_LT(target - image_.imageBase, dataEnd)
        << "fixup at RVA " << rva << " points outside the code and read-only data";
  }
  for (const char *helper : {"memcpy", "memset", "__chkstk", "_chkstk", "__fltused", "_alldiv",
                             "_aulldiv", "_allmul"})
    EXPECT_EQ(map_.Find(helper), nullptr) << helper;
}

TEST_F(ModuleImage, CarriesBothGuidsInStandardLayout) {
  EXPECT_TRUE(Contains(image_.bytes, {0xDE, 0xF6, 0xC1, 0x3B, 0x3E, 0x69, 0x47, 0x45, 0xA3, 0x00,
                                      0x21, 0x82, 0x3C, 0xA4, 0x20, 0xB2}));
  EXPECT_TRUE(Contains(image_.bytes, {0x90, 0x6F, 0x4C, 0x1F, 0x6B, 0xB0, 0xD8, 0x48, 0xA2, 0x01,
                                      0xBA, 0xE5, 0xF1, 0xCD, 0x7D, 0x56}));
}

}  // namespace

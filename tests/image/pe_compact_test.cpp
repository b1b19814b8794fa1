// The delivered compact PE32 and TE images against the image as linked: the
// code and data must load as the same bytes at the same addresses, whatever
// the base, and the shifted map must name the same instructions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "link_map.h"
#include "pe_compact.h"
#include "pe_image.h"

namespace {

pe::Image Load(const char *path, bool te = false) {
  std::vector<uint8_t> bytes;
  std::string error;
  pe::Image image;
  EXPECT_TRUE(pe::ReadFile(path, bytes, error)) << error;
  EXPECT_TRUE(te ? pe::ParseTe(bytes, image, error) : pe::Parse(bytes, image, error)) << error;
  return image;
}

pe::LinkMap LoadMap(const char *path) {
  pe::LinkMap map;
  std::string error;
  EXPECT_TRUE(pe::ReadLinkMap(path, map, error)) << error;
  return map;
}

class Compact : public testing::Test {
 protected:
  void SetUp() override {
    linked_ = Load(LINKED_IMAGE);
    compact_ = Load(MODULE_IMAGE);
    te_ = Load(MODULE_TE, true);
    ASSERT_EQ(linked_.sections.size(), 2u);
    ASSERT_EQ(compact_.sections.size(), 1u);
    // Code and data: all of the linked .text; in the compact image, its one
    // section up to the relocation table (alignment padding aside).
    start_ = linked_.sections[0].virtualAddress;
    size_ = linked_.sections[0].virtualSize;
    newStart_ = compact_.sections[0].virtualAddress;
    ASSERT_LE(newStart_ + size_, compact_.directories[pe::kDirBaseReloc].rva);
  }
  pe::Image linked_, compact_, te_;
  uint32_t start_ = 0, size_ = 0, newStart_ = 0;
};

// Loaded where the code runs at the same addresses (the compact image's
// base higher by what the code moved down), every byte of code and data is
// the one the linker wrote, every fixup applied alike; relocated at all.
TEST_F(Compact, LoadsTheLinkedCodeAndDataAtTheSameAddresses) {
  const uint32_t moved = start_ - newStart_;
  ASSERT_EQ(moved % linked_.sectionAlignment, 0u) << "the code lost its alignment";
  EXPECT_EQ(compact_.relocations.size(), linked_.relocations.size());
  for (uint32_t base : {0x00000000u, 0x00820000u, 0x00FFC000u, 0x7FFF0000u}) {
    SCOPED_TRACE(base);
    std::string error;
    std::vector<uint8_t> a = pe::MemoryLayout(linked_), b = pe::MemoryLayout(compact_),
                         c = pe::MemoryLayout(te_);
    ASSERT_TRUE(pe::RelocateLayout(linked_, a, base, error)) << error;
    ASSERT_TRUE(pe::RelocateLayout(compact_, b, base + moved, error)) << error;
    ASSERT_TRUE(pe::RelocateLayout(te_, c, base + moved, error)) << error;
    const std::vector<uint8_t> expected(a.begin() + start_, a.begin() + start_ + size_);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + newStart_, b.begin() + newStart_ + size_),
              expected);
    EXPECT_EQ(std::vector<uint8_t>(c.begin() + newStart_, c.begin() + newStart_ + size_),
              expected);
    // The TE image loads exactly as the compact PE32 it was made from, from
    // the end of the headers on.
    ASSERT_EQ(c.size(), b.size());
    EXPECT_TRUE(std::equal(c.begin() + te_.sizeOfHeaders, c.end(), b.begin() + te_.sizeOfHeaders));
  }
}

TEST_F(Compact, TeImageIsTheCompactImageWithoutItsPeHeaders) {
  EXPECT_EQ(te_.strippedSize, pe::kCompactHeaderBytes - 40);
  EXPECT_EQ(te_.entryRva, compact_.entryRva);
  EXPECT_EQ(te_.imageBase, compact_.imageBase);
  EXPECT_EQ(te_.relocations, compact_.relocations);
  EXPECT_EQ(te_.directories[pe::kDirBaseReloc].rva, compact_.directories[pe::kDirBaseReloc].rva);
  EXPECT_EQ(te_.bytes.size(), compact_.bytes.size() - te_.strippedSize + 40);
  EXPECT_TRUE(std::equal(te_.bytes.begin() + 40, te_.bytes.end(),
                         compact_.bytes.begin() + te_.strippedSize));
}

// Every symbol of the shifted map names, in the compact image, the bytes it
// named in the linked one; the entry point is the map's entry symbol.
TEST_F(Compact, ShiftedMapPointsAtTheSameInstructions) {
  const pe::LinkMap before = LoadMap(LINKED_MAP), after = LoadMap(MODULE_MAP);
  ASSERT_EQ(before.symbols.size(), after.symbols.size());
  ASSERT_EQ(before.contributions.size(), after.contributions.size());
  for (size_t i = 0; i < before.symbols.size(); i++) {
    const pe::MapSymbol &old = before.symbols[i], &now = after.symbols[i];
    SCOPED_TRACE(now.name);
    EXPECT_EQ(now.name, old.name);
    EXPECT_EQ(now.section, 1u);
    ASSERT_GE(old.rva, start_);
    EXPECT_EQ(now.rva, old.rva - start_ + newStart_);
    const size_t n = std::min<size_t>(16, start_ + size_ - old.rva);
    EXPECT_TRUE(std::equal(compact_.bytes.begin() + now.rva, compact_.bytes.begin() + now.rva + n,
                           linked_.bytes.begin() + old.rva));
  }
  ASSERT_NE(after.Find("UsbControllerPeimEntry"), nullptr);
  EXPECT_EQ(after.Find("UsbControllerPeimEntry")->rva, compact_.entryRva);
  for (size_t i = 0; i < before.contributions.size(); i++) {
    EXPECT_EQ(after.contributions[i].name, before.contributions[i].name);
    EXPECT_EQ(after.contributions[i].length, before.contributions[i].length);
  }
}

// What the writer refuses, on damaged copies of the linked image: each
// with one line, nothing written.
struct WriterCase {
  const char *name;
  void (*damage)(std::vector<uint8_t> &b, size_t sectionTable, size_t opt);
  const char *message;
};

uint32_t Get32(const std::vector<uint8_t> &b, size_t o) {
  return uint32_t(b[o]) | uint32_t(b[o + 1]) << 8 | uint32_t(b[o + 2]) << 16 |
         uint32_t(b[o + 3]) << 24;
}
void Put32(std::vector<uint8_t> &b, size_t o, uint32_t v) {
  for (int i = 0; i < 4; i++) b[o + i] = uint8_t(v >> (8 * i));
}

const WriterCase kWriterCases[] = {
    {"writable .text",
     [](auto &b, size_t t, size_t) { Put32(b, t + 36, Get32(b, t + 36) | pe::kScnMemWrite); },
     "section .text is writable"},
    {"no relocation table",
     [](auto &b, size_t, size_t opt) { Put32(b, opt + 96 + 8 * 5 + 4, 0); },
     "no relocation table: the code cannot be moved"},
    {"a debug directory",
     [](auto &b, size_t, size_t opt) {
       Put32(b, opt + 96 + 8 * 6, 0x200);
       Put32(b, opt + 96 + 8 * 6 + 4, 0x1C);
     },
     "the debug directory (data directory 6) cannot be carried"},
    {"entry point in the headers", [](auto &b, size_t, size_t opt) { Put32(b, opt + 16, 0x10); },
     "entry point RVA 0x10 lies outside the code"},
    {"fixup holding an address in the headers",
     [](auto &b, size_t t, size_t) {
       // The first fixup of the first block now covers the address of RVA 0x10.
       const uint32_t block = Get32(b, t + 40 + 20);
       const uint32_t rva = Get32(b, block) + (Get32(b, block + 8) & 0xFFF);
       Put32(b, rva, 0x10);
     },
     "holds the address of RVA 0x10, outside the code and data that move"},
    {"not IA-32", [](auto &b, size_t, size_t opt) { b[opt - 20] = 0x64; b[opt - 19] = 0x86; },
     "not an IA-32 PE32 image"},
};

TEST(CompactWriter, RefusesWhatItCannotMoveSafely) {
  std::vector<uint8_t> good;
  std::string error;
  ASSERT_TRUE(pe::ReadFile(LINKED_IMAGE, good, error)) << error;
  const size_t opt = Get32(good, 0x3C) + 24;
  const size_t table = opt + (good[opt - 4] | good[opt - 3] << 8);
  for (const WriterCase &c : kWriterCases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = good;
    c.damage(bytes, table, opt);
    pe::Image image;
    ASSERT_TRUE(pe::Parse(bytes, image, error)) << error;
    std::vector<uint8_t> out = {1, 2, 3};
    pe::CompactMove move;
    error.clear();
    EXPECT_FALSE(pe::WriteCompactImage(image, out, move, error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3}));
  }
}

// The rewritten table lists the same fixups, moved, in 4-byte aligned
// blocks; the writer run on its own output changes nothing.
TEST(CompactWriter, RewritesTheRelocationTableAndIsStableOnItsOwnOutput) {
  std::vector<uint8_t> good;
  std::string error;
  ASSERT_TRUE(pe::ReadFile(LINKED_IMAGE, good, error)) << error;
  pe::Image linked;
  ASSERT_TRUE(pe::Parse(good, linked, error)) << error;
  std::vector<uint8_t> out;
  pe::CompactMove move;
  ASSERT_TRUE(pe::WriteCompactImage(linked, out, move, error)) << error;
  pe::Image compact;
  ASSERT_TRUE(pe::Parse(out, compact, error)) << error;
  ASSERT_EQ(compact.relocations.size(), linked.relocations.size());
  for (size_t i = 0; i < linked.relocations.size(); i++)
    EXPECT_EQ(compact.relocations[i], move.NewRva(linked.relocations[i]));
  const pe::DataDirectory &dir = compact.directories[pe::kDirBaseReloc];
  EXPECT_EQ(dir.rva % 4, 0u);
  EXPECT_EQ(dir.size % 4, 0u);
  // Written a second time, the compact image comes out unchanged.
  std::vector<uint8_t> again;
  pe::CompactMove second;
  ASSERT_TRUE(pe::WriteCompactImage(compact, again, second, error)) << error;
  EXPECT_EQ(again, out);
  EXPECT_EQ(second.oldStart, second.newStart);
}

}  // namespace

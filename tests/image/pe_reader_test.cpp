// The PE reader and the link-map reader on damaged copies of the image and
// map as linked (two sections, .text and .reloc, before pe-compact). Every
// field a loader trusts is broken once; Parse must refuse each copy with a
// message naming the field, so that the tools built on it (fvtool's
// rebasing, peim-sim's loader, pe-check) never lay out, relocate or rebase an
// image whose numbers do not hold together.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "link_map.h"
#include "pe_image.h"

namespace {

std::vector<uint8_t> ModuleBytes() {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(pe::ReadFile(LINKED_IMAGE, bytes, error)) << error;
  return bytes;
}

uint32_t Get32(const std::vector<uint8_t> &b, size_t o) {
  return uint32_t(b[o]) | uint32_t(b[o + 1]) << 8 | uint32_t(b[o + 2]) << 16 |
         uint32_t(b[o + 3]) << 24;
}
uint16_t Get16At(const std::vector<uint8_t> &b, size_t o) { return uint16_t(b[o] | b[o + 1] << 8); }
void Put16(std::vector<uint8_t> &b, size_t o, uint16_t v) {
  b[o] = uint8_t(v);
  b[o + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t> &b, size_t o, uint32_t v) {
  for (int i = 0; i < 4; i++) b[o + i] = uint8_t(v >> (8 * i));
}

// Where the fields live in the delivered image: two sections, .text then
// .reloc, and one relocation block.
struct Layout {
  size_t coff, opt, text, reloc, block;
  explicit Layout(const std::vector<uint8_t> &b) {
    coff = Get32(b, 0x3C) + 4;
    opt = coff + 20;
    text = opt + 224;
    reloc = text + 40;
    block = Get32(b, reloc + 20);  // .reloc raw data: the block's header
  }
  // Optional header fields.
  size_t ImageBase() const { return opt + 28; }
  size_t SectionAlignment() const { return opt + 32; }
  size_t FileAlignment() const { return opt + 36; }
  size_t SizeOfImage() const { return opt + 56; }
  size_t SizeOfHeaders() const { return opt + 60; }
  size_t Directory(int i) const { return opt + 96 + 8 * i; }
  // Section header fields: VirtualSize 8, VirtualAddress 12, SizeOfRawData
  // 16, PointerToRawData 20.
};

struct Damage {
  const char *name;
  std::function<void(std::vector<uint8_t> &, const Layout &)> apply;
  // Part of Parse's error; {RELOC}, {RELOC-2}, {RELOC-8}, {BLOCK}, {BLOCK+8}
  // and {TEXTRAW} stand for where .reloc and its block lie and the size of
  // .text's raw data, which change with the code.
  const char *message;
};

std::string HexText(uint32_t v) {
  char s[16];
  snprintf(s, sizeof s, "0x%X", v);
  return s;
}

std::string Expand(std::string message, const std::vector<uint8_t> &b, const Layout &l) {
  const uint32_t reloc = Get32(b, l.reloc + 12);
  const std::pair<const char *, uint32_t> names[] = {
      {"{RELOC}", reloc},         {"{RELOC-2}", reloc - 2},
      {"{RELOC-8}", reloc - 8},   {"{BLOCK}", uint32_t(l.block)},
      {"{BLOCK+8}", uint32_t(l.block + 8)}, {"{TEXTRAW}", Get32(b, l.text + 16)}};
  for (const auto &n : names) {
    const size_t at = message.find(n.first);
    if (at != std::string::npos) message.replace(at, strlen(n.first), HexText(n.second));
  }
  return message;
}

const Damage kDamages[] = {
    {"SizeOfImage 0", [](auto &b, auto &l) { Put32(b, l.SizeOfImage(), 0); },
     "SizeOfImage 0x0 is not between 1 and 0x4000000"},
    {"SizeOfImage above 64 MiB", [](auto &b, auto &l) { Put32(b, l.SizeOfImage(), 0x4000001); },
     "SizeOfImage 0x4000001 is not between"},
    {"SizeOfImage 4 GiB - 1", [](auto &b, auto &l) { Put32(b, l.SizeOfImage(), 0xFFFFFFFF); },
     "SizeOfImage 0xFFFFFFFF"},
    {"SizeOfImage smaller than the headers",
     [](auto &b, auto &l) { Put32(b, l.SizeOfImage(), 0x100); }, "SizeOfHeaders 0x1C0"},
    {"SizeOfImage smaller than the sections",
     [](auto &b, auto &l) { Put32(b, l.SizeOfImage(), Get32(b, l.SizeOfImage()) - 8); },
     "lies outside SizeOfImage"},
    {"SectionAlignment 0", [](auto &b, auto &l) { Put32(b, l.SectionAlignment(), 0); },
     "SectionAlignment 0x0 is not a power of two"},
    {"SectionAlignment 24", [](auto &b, auto &l) { Put32(b, l.SectionAlignment(), 24); },
     "SectionAlignment 0x18 is not a power of two"},
    {"SectionAlignment 2 GiB",
     [](auto &b, auto &l) { Put32(b, l.SectionAlignment(), 0x80000000); },
     "SectionAlignment 0x80000000 is not a power of two up to 0x4000000"},
    {"FileAlignment 0", [](auto &b, auto &l) { Put32(b, l.FileAlignment(), 0); },
     "FileAlignment 0x0"},
    {"FileAlignment 12", [](auto &b, auto &l) { Put32(b, l.FileAlignment(), 12); },
     "FileAlignment 0xC"},
    {"FileAlignment above SectionAlignment",
     [](auto &b, auto &l) { Put32(b, l.FileAlignment(), 16); },
     "FileAlignment 0x10 is not a power of two up to SectionAlignment 0x4"},
    {"SizeOfHeaders inside the section table",
     [](auto &b, auto &l) { Put32(b, l.SizeOfHeaders(), uint32_t(l.reloc)); },
     "does not cover the headers"},
    {"SizeOfHeaders beyond the file",
     [](auto &b, auto &l) { Put32(b, l.SizeOfHeaders(), 0x10000); }, "SizeOfHeaders 0x10000"},
    {"image wrapping past 4 GiB at its ImageBase",
     [](auto &b, auto &l) { Put32(b, l.ImageBase(), 0xFFFFFC00); },
     "does not fit below 4 GiB at base 0xFFFFFC00"},
    {"too many sections", [](auto &b, auto &l) { Put16(b, l.coff + 2, 97); },
     "97 sections; at most 96"},
    {"section table past the end of the file",
     [](auto &b, auto &l) { Put16(b, l.coff + 2, 60); }, "section table outside the file"},
    {"section address wrapping", [](auto &b, auto &l) { Put32(b, l.text + 12, 0xFFFFFFF0); },
     "section 1 (.text) at RVA 0xFFFFFFF0"},
    {"section size wrapping", [](auto &b, auto &l) { Put32(b, l.text + 8, 0xFFFFFFFF); },
     "section 1 (.text) at RVA 0x1C0+0xFFFFFFFF lies outside SizeOfImage"},
    {"section over the headers", [](auto &b, auto &l) { Put32(b, l.text + 12, 0x100); },
     "section 1 (.text) at RVA 0x100 overlaps the headers"},
    {"sections overlapping",
     [](auto &b, auto &l) { Put32(b, l.reloc + 12, Get32(b, l.text + 12) + 0x10); },
     "section 2 (.reloc) at RVA 0x1D0 overlaps"},
    {"raw data past the end of the file",
     [](auto &b, auto &l) { Put32(b, l.reloc + 16, 0x7FFFFFFF); },
     "section 2 (.reloc) raw data {RELOC}+0x7FFFFFFF lies outside the file"},
    {"raw data in the headers", [](auto &b, auto &l) { Put32(b, l.text + 20, 0x40); },
     "section 1 (.text) raw data 0x40+{TEXTRAW} lies outside the file after the headers"},
    {"raw data shared by two sections",
     [](auto &b, auto &l) { Put32(b, l.reloc + 20, Get32(b, l.text + 20)); },
     "overlaps that of section .text"},
    {"section name with control bytes",
     [](auto &b, auto &l) {
       b[l.reloc] = '\n';
       Put32(b, l.reloc + 16, 0x7FFFFFFF);
     },
     "section 2 (\\x0Areloc)"},
    {"data directory outside SizeOfImage",
     [](auto &b, auto &l) {
       Put32(b, l.Directory(pe::kDirDebug), 0xFFFFFFF0);
       Put32(b, l.Directory(pe::kDirDebug) + 4, 0x20);
     },
     "data directory 6 (RVA 0xFFFFFFF0, 0x20 bytes) lies outside SizeOfImage"},
    {"relocation table across two sections",
     [](auto &b, auto &l) { Put32(b, l.Directory(pe::kDirBaseReloc), Get32(b, l.reloc + 12) - 8); },
     "relocation table (RVA {RELOC-8}, 0x14 bytes) does not lie in the file data of one section"},
    {"relocation page wrapping",
     [](auto &b, auto &l) { Put32(b, l.block, 0xFFFFF000); },
     "patches RVA 0xFFFFF"},
    {"relocation in the headers", [](auto &b, auto &l) { Put16(b, l.block + 8, 0x3010); },
     "relocation at file offset {BLOCK+8} patches RVA 0x10, outside the data of every section"},
    {"relocation in the gap after .text",
     [](auto &b, auto &l) { Put16(b, l.block + 8, uint16_t(0x3000 | (Get32(b, l.reloc + 12) - 2))); },
     "patches RVA {RELOC-2}, outside the data of every section"},
    {"relocation patching the relocation table",
     [](auto &b, auto &l) { Put16(b, l.block + 8, uint16_t(0x3000 | Get32(b, l.reloc + 12))); },
     "patches RVA {RELOC}, inside the relocation table"},
    {"relocation block of 7 bytes", [](auto &b, auto &l) { Put32(b, l.block + 4, 7); },
     "malformed relocation block at file offset {BLOCK}"},
    {"relocation block past the table",
     [](auto &b, auto &l) { Put32(b, l.block + 4, 0x1000); },
     "malformed relocation block at file offset {BLOCK}"},
    {"relocation of type 10 (64-bit)",
     [](auto &b, auto &l) { b[l.block + 9] = uint8_t((b[l.block + 9] & 0x0F) | 0xA0); },
     "unsupported relocation type 10 at file offset {BLOCK+8}"},
};

TEST(PeReader, RefusesEachDamagedField) {
  const std::vector<uint8_t> good = ModuleBytes();
  const Layout layout(good);
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(good, image, error)) << error;
  ASSERT_EQ(image.sections.size(), 2u);
  for (const Damage &d : kDamages) {
    SCOPED_TRACE(d.name);
    std::vector<uint8_t> bytes = good;
    d.apply(bytes, layout);
    error.clear();
    EXPECT_FALSE(pe::Parse(bytes, image, error));
    EXPECT_NE(error.find(Expand(d.message, good, layout)), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

// The image the shared robustness inputs carry: SizeOfImage 0 made
// MemoryLayout return an empty layout that the section copies then overran.
TEST(PeReader, RefusesSizeOfImageZero) {
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(pe::ReadFile(ROBUSTNESS_DATA_DIR "/F16-sizeofimage0.efi", bytes, error)) << error;
  pe::Image image;
  EXPECT_FALSE(pe::Parse(bytes, image, error));
  EXPECT_NE(error.find("SizeOfImage 0x0"), std::string::npos) << error;
}

TEST(PeReader, FileOffsetsCoverWholeRangesWithinOneSection) {
  pe::Image image;
  std::string error;
  std::vector<uint8_t> bytes = ModuleBytes();
  ASSERT_TRUE(pe::Parse(bytes, image, error)) << error;
  if (image.sections[0].virtualSize == image.sections[0].rawSize) {
    // The code happens to fill .text to its alignment: make room for
    // padding by cutting its virtual size (its last 4 bytes hold no fixup).
    const size_t text = Get32(bytes, 0x3C) + 24 + 224;
    Put32(bytes, text + 8, Get32(bytes, text + 8) - 4);
    ASSERT_TRUE(pe::Parse(bytes, image, error)) << error;
  }
  const pe::Section &text = image.sections[0], &reloc = image.sections[1];
  const uint32_t textEnd = text.virtualAddress + text.virtualSize;
  // .text's raw data run past its virtual size into padding up to .reloc.
  ASSERT_LT(textEnd, reloc.virtualAddress);
  ASSERT_EQ(text.virtualAddress + text.rawSize, reloc.virtualAddress);
  EXPECT_EQ(image.FileOffsetOf(0x10, 4), 0x10);  // in the headers
  EXPECT_EQ(image.FileOffsetOf(text.virtualAddress, 4), int64_t(text.rawPointer));
  EXPECT_EQ(image.FileOffsetOf(textEnd - 2, 2), int64_t(text.rawPointer + text.virtualSize - 2));
  // Four bytes across the end of .text, or in its padding, which a loader
  // does not copy: no file data of the image.
  EXPECT_EQ(image.FileOffsetOf(textEnd - 2, 4), -1);
  EXPECT_EQ(image.FileOffsetOf(textEnd, 1), -1);
  EXPECT_EQ(image.FileOffsetOf(reloc.virtualAddress, 4), int64_t(reloc.rawPointer));
  EXPECT_EQ(image.FileOffsetOf(image.sizeOfImage, 1), -1);
  EXPECT_EQ(image.FileOffsetOf(0xFFFFFFFF, 4), -1);
}

TEST(PeReader, RelocationAndRebaseRefuseABaseTheImageDoesNotFitAt) {
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(ModuleBytes(), image, error)) << error;
  const uint32_t tooHigh = uint32_t(0x100000000ull - image.sizeOfImage + 0x10);

  std::vector<uint8_t> layout = pe::MemoryLayout(image);
  ASSERT_EQ(layout.size(), image.sizeOfImage);
  const std::vector<uint8_t> before = layout;
  EXPECT_FALSE(pe::RelocateLayout(image, layout, tooHigh, error));
  EXPECT_NE(error.find("does not fit below 4 GiB"), std::string::npos) << error;
  EXPECT_EQ(layout, before);
  const uint32_t top = uint32_t(0x100000000ull - image.sizeOfImage);
  ASSERT_TRUE(pe::RelocateLayout(image, layout, top, error)) << error;
  EXPECT_NE(layout, before);

  const std::vector<uint8_t> file = image.bytes;
  EXPECT_FALSE(pe::RebaseFile(image, tooHigh, error));
  EXPECT_EQ(image.bytes, file);
  EXPECT_EQ(image.imageBase, 0u);
  ASSERT_TRUE(pe::RebaseFile(image, top, error)) << error;
  EXPECT_EQ(image.imageBase, top);
  // The rebased file, laid out, is the relocated layout with the new
  // ImageBase in its headers.
  Put32(layout, image.ImageBaseFieldOffset(), top);
  EXPECT_EQ(pe::MemoryLayout(image), layout);
}

// The map reader on damaged copies of a module map as lld-link writes it (a
// fixed copy: the rows below name its numbers, which change with the code):
// never an exception, always the map's name and line.
struct MapDamage {
  const char *name;
  const char *from;  // replaced once in the map; "" appends `to`
  const char *to;
  const char *message;
};

const MapDamage kMapDamages[] = {
    {"section number of 5 digits", " 0001:00000000 00000366H", " 10001:00000000 00000366H",
     "module.map:8: section number '10001' is out of range (at most 0xFFFF)"},
    {"offset of 9 digits", " 0001:00000368 0000003cH", " 0001:100000368 0000003cH",
     "module.map:11: section offset '100000368' is out of range"},
    {"length without H", "0000003cH .rdata", "0000003c .rdata",
     "module.map:11: contribution row without a length"},
    {"negative length", "0000003cH .rdata", "-3cH .rdata",
     "module.map:11: length '-3c' is not a hexadecimal number"},
    {"contribution in section 0", " 0001:00000368 0000003cH", " 0000:00000368 0000003cH",
     "module.map:11: contribution in section 0"},
    {"contribution without a name", "0000003cH .rdata                  CODE", "0000003cH",
     "module.map:11: contribution row without a length"},
    {"symbol without an address", "_ZeroMem                   00000000000004ae     UsbControllerPeim.efi.lto.obj",
     "_ZeroMem", "module.map:16: symbol row without a name and an address"},
    {"symbol address with a sign", "00000000000004ae", "+4ae",
     "module.map:16: symbol address '+4ae' is not a hexadecimal number"},
    {"symbol below the load address", "Preferred load address is 0000000000000000",
     "Preferred load address is 0000000000000200",
     "module.map:15: symbol address 0x1C0 is not within 4 GiB above the load address 0x200"},
    {"symbol 4 GiB above the load address", "00000000000004ae", "00000001000004ae",
     "module.map:16: symbol address 0x1000004AE is not within 4 GiB"},
    {"second load address", "", " Preferred load address is 0000000000000000\n",
     "second load address (the first is on line 5)"},
    {"second contributions table", "", " Start         Length     Name                   Class\n",
     "second contributions table (the first is on line 7)"},
};

TEST(LinkMapReader, RefusesEachDamagedRowWithItsLine) {
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(pe::ReadFile(MAP_SAMPLE, bytes, error)) << error;
  const std::string good(bytes.begin(), bytes.end());
  pe::LinkMap map;
  ASSERT_TRUE(pe::ParseLinkMap(good, "module.map", map, error)) << error;
  EXPECT_EQ(map.contributions.size(), 4u);
  ASSERT_NE(map.Find("ZeroMem"), nullptr);
  EXPECT_EQ(map.Find("ZeroMem")->line, 16u);
  for (const MapDamage &d : kMapDamages) {
    SCOPED_TRACE(d.name);
    std::string text = good;
    if (*d.from) {
      size_t at = text.find(d.from);
      ASSERT_NE(at, std::string::npos);
      text.replace(at, strlen(d.from), d.to);
    } else {
      text += d.to;
    }
    error.clear();
    pe::LinkMap damaged;
    damaged.symbols.push_back({"untouched", 0, 0, 0, 0});
    EXPECT_FALSE(pe::ParseLinkMap(text, "module.map", damaged, error));
    EXPECT_NE(error.find(d.message), std::string::npos) << error;
    // A refused map leaves the caller's map as it was.
    ASSERT_EQ(damaged.symbols.size(), 1u);
    EXPECT_EQ(damaged.symbols[0].name, "untouched");
  }
}

// A TE image made the way the writer makes one: the TE header in place of
// the PE headers up to the section table, the rest of the file unchanged.
std::vector<uint8_t> TeFrom(const std::vector<uint8_t> &pe) {
  const size_t opt = Get32(pe, 0x3C) + 24;
  const size_t stripped = opt + (pe[opt - 4] | pe[opt - 3] << 8);
  std::vector<uint8_t> te(40, 0);
  Put16(te, 0, 0x5A56);
  te[2] = pe[opt - 20];
  te[3] = pe[opt - 19];
  te[4] = pe[opt - 18];
  te[5] = pe[opt + 68];
  Put16(te, 6, uint16_t(stripped));
  Put32(te, 8, Get32(pe, opt + 16));     // AddressOfEntryPoint
  Put32(te, 12, Get32(pe, opt + 20));    // BaseOfCode
  Put32(te, 16, Get32(pe, opt + 28));    // ImageBase, upper half 0
  for (int i = 0; i < 4; i++) Put32(te, 24 + 4 * i, Get32(pe, opt + 96 + 8 * 5 + 4 * i));
  te.insert(te.end(), pe.begin() + long(stripped), pe.end());
  return te;
}

TEST(TeReader, ReadsATeImageAsThePeImageItWasMadeFrom) {
  const std::vector<uint8_t> peBytes = ModuleBytes();
  pe::Image pe, te, any;
  std::string error;
  ASSERT_TRUE(pe::Parse(peBytes, pe, error)) << error;
  const std::vector<uint8_t> teBytes = TeFrom(peBytes);
  ASSERT_TRUE(pe::ParseTe(teBytes, te, error)) << error;
  ASSERT_TRUE(pe::ParseAny(teBytes, any, error)) << error;
  EXPECT_TRUE(te.IsTe());
  EXPECT_TRUE(any.IsTe());
  EXPECT_FALSE(pe.IsTe());
  EXPECT_EQ(te.strippedSize, pe.peOffset + 24 + 224);
  EXPECT_EQ(te.headerRva, te.strippedSize - 40u);
  EXPECT_EQ(te.sizeOfHeaders, pe.sizeOfHeaders);
  EXPECT_EQ(te.entryRva, pe.entryRva);
  EXPECT_EQ(te.imageBase, pe.imageBase);
  EXPECT_EQ(te.machine, pe.machine);
  EXPECT_EQ(te.subsystem, pe.subsystem);
  EXPECT_EQ(te.relocations, pe.relocations);
  ASSERT_EQ(te.sections.size(), pe.sections.size());
  for (size_t i = 0; i < te.sections.size(); i++) {
    EXPECT_EQ(te.sections[i].virtualAddress, pe.sections[i].virtualAddress);
    EXPECT_EQ(te.sections[i].rawPointer, pe.sections[i].rawPointer);
    EXPECT_EQ(te.FileOffsetOf(te.sections[i].virtualAddress, 4),
              int64_t(pe.sections[i].rawPointer) - te.headerRva);
  }
  // The PE headers a TE image dropped have no file data; its own header
  // lies at headerRva.
  EXPECT_EQ(te.FileOffsetOf(0, 4), -1);
  EXPECT_EQ(te.FileOffsetOf(te.headerRva, 4), 0);

  // Laid out and relocated to the same base, both give the same bytes from
  // the end of the headers on.
  for (uint32_t base : {pe.imageBase, 0x00820000u, 0xFFF00000u}) {
    SCOPED_TRACE(base);
    std::vector<uint8_t> a = pe::MemoryLayout(pe), b = pe::MemoryLayout(te);
    ASSERT_LE(b.size(), a.size());
    ASSERT_TRUE(pe::RelocateLayout(pe, a, base, error)) << error;
    ASSERT_TRUE(pe::RelocateLayout(te, b, base, error)) << error;
    EXPECT_TRUE(std::equal(b.begin() + te.sizeOfHeaders, b.end(), a.begin() + te.sizeOfHeaders));
    EXPECT_TRUE(std::equal(b.begin() + te.headerRva, b.begin() + te.sizeOfHeaders,
                           teBytes.begin()));
    // The rebased file, laid out, is the relocated layout with the new
    // 64-bit ImageBase in its header.
    pe::Image rebased = te;
    ASSERT_TRUE(pe::RebaseFile(rebased, base, error)) << error;
    EXPECT_EQ(rebased.imageBase, base);
    EXPECT_EQ(Get32(rebased.bytes, 16), base);
    EXPECT_EQ(Get32(rebased.bytes, 20), 0u);
    Put32(b, te.headerRva + 16, base);
    EXPECT_EQ(pe::MemoryLayout(rebased), b);
    pe::Image again;
    ASSERT_TRUE(pe::ParseTe(rebased.bytes, again, error)) << error;
    EXPECT_EQ(again.relocations, te.relocations);
  }
}

struct TeDamage {
  const char *name;
  std::function<void(std::vector<uint8_t> &)> apply;
  const char *message;  // part of ParseTe's error
};

// Offsets in the TE header: NumberOfSections 4, StrippedSize 6, ImageBase
// 16, relocation directory 24; the first section header at 40.
const TeDamage kTeDamages[] = {
    {"shorter than its header", [](auto &b) { b.resize(39); }, "too short to be a TE image"},
    {"no signature", [](auto &b) { b[0] = 'M'; }, "not a TE image"},
    {"StrippedSize 39", [](auto &b) { Put16(b, 6, 39); },
     "StrippedSize 0x27 at file offset 0x6 is below"},
    {"StrippedSize 0", [](auto &b) { Put16(b, 6, 0); }, "StrippedSize 0x0"},
    {"section table past the end of the file", [](auto &b) { b[4] = 60; },
     "section table outside the file"},
    {"too many sections", [](auto &b) { b[4] = 200; }, "200 sections; at most 96"},
    {"ImageBase at 4 GiB", [](auto &b) { Put32(b, 20, 1); },
     "ImageBase 0x100000000 at file offset 0x10 is not below 4 GiB"},
    {"image wrapping past 4 GiB", [](auto &b) { Put32(b, 16, 0xFFFFFF00); },
     "does not fit below 4 GiB at base 0xFFFFFF00"},
    {"section below the section table",
     [](auto &b) { Put32(b, 40 + 12, Get32(b, 40 + 12) - 0x10); },
     "overlaps the headers"},
    {"section raw data below the TE header",
     [](auto &b) { Put32(b, 40 + 20, 0x10); }, "lies outside the file after the headers"},
    {"section raw data past the end of the file",
     [](auto &b) { b.resize(b.size() - 0x20); }, "lies outside the file after the headers"},
    {"section beyond 64 MiB", [](auto &b) { Put32(b, 40 + 8, 0x7FFFFFFF); },
     "beyond the largest image"},
    {"relocation directory outside the sections", [](auto &b) { Put32(b, 24, 0x100000); },
     "relocation directory (RVA 0x100000"},
    {"relocation of type 10", [](auto &b) {
       const uint32_t at = Get32(b, 24) - (Get16At(b, 6) - 40) + 9;
       b[at] = uint8_t((b[at] & 0x0F) | 0xA0);
     },
     "unsupported relocation type 10"},
};

TEST(TeReader, RefusesEachDamagedField) {
  const std::vector<uint8_t> good = TeFrom(ModuleBytes());
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::ParseTe(good, image, error)) << error;
  for (const TeDamage &d : kTeDamages) {
    SCOPED_TRACE(d.name);
    std::vector<uint8_t> bytes = good;
    d.apply(bytes);
    error.clear();
    EXPECT_FALSE(pe::ParseTe(bytes, image, error));
    EXPECT_NE(error.find(d.message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST(TeReader, WithoutARelocationDirectoryStaysAtItsBase) {
  std::vector<uint8_t> bytes = TeFrom(ModuleBytes());
  Put32(bytes, 24, 0);
  Put32(bytes, 28, 0);
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::ParseTe(bytes, image, error)) << error;
  EXPECT_TRUE(image.relocations.empty());
  std::vector<uint8_t> layout = pe::MemoryLayout(image);
  const std::vector<uint8_t> before = layout;
  EXPECT_TRUE(pe::RelocateLayout(image, layout, image.imageBase, error)) << error;
  EXPECT_FALSE(pe::RelocateLayout(image, layout, 0x820000, error));
  EXPECT_NE(error.find("TE image without a relocation directory cannot move"), std::string::npos)
      << error;
  EXPECT_EQ(layout, before);
  EXPECT_FALSE(pe::RebaseFile(image, 0x820000, error));
  EXPECT_EQ(image.bytes, bytes);
  EXPECT_TRUE(pe::RebaseFile(image, image.imageBase, error)) << error;
}

TEST(PeReader, StrippedRelocationsKeepTheImageAtItsBase) {
  std::vector<uint8_t> bytes = ModuleBytes();
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(bytes, image, error)) << error;
  // IMAGE_FILE_RELOCS_STRIPPED in the file header's Characteristics.
  const size_t characteristics = image.peOffset + 4 + 18;
  bytes[characteristics] |= 0x01;
  ASSERT_TRUE(pe::Parse(bytes, image, error)) << error;
  std::vector<uint8_t> layout = pe::MemoryLayout(image);
  const std::vector<uint8_t> before = layout;
  EXPECT_TRUE(pe::RelocateLayout(image, layout, image.imageBase, error)) << error;
  EXPECT_FALSE(pe::RelocateLayout(image, layout, image.imageBase + 0x1000, error));
  EXPECT_NE(error.find("relocations stripped cannot move"), std::string::npos) << error;
  EXPECT_EQ(layout, before);
  EXPECT_FALSE(pe::RebaseFile(image, image.imageBase + 0x1000, error));
  EXPECT_EQ(image.bytes, bytes);
}

}  // namespace

// --coverage: the drcov file a run writes, read back as a coverage viewer
// reads it, shows the paths the module took and not the ones it did not.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "coverage.h"
#include "file_io.h"
#include "link_map.h"
#include "test_support.h"

using namespace peimsim;
using simtest::RunTool;

namespace {

struct Drcov {
  std::vector<std::string> header;  // the text lines up to the BB table's
  std::string module;               // the module table's one row
  std::vector<CoveredBlock> blocks;
};

// Reads a drcov file the way the viewers do: text lines up to "BB Table: N
// bbs", then exactly N 8-byte records.
bool ParseDrcov(const std::vector<uint8_t> &bytes, Drcov &out, std::string &why) {
  size_t at = 0;
  size_t count = 0;
  bool table = false;
  while (!table) {
    auto nl = std::find(bytes.begin() + at, bytes.end(), '\n');
    if (nl == bytes.end()) {
      why = "header without a BB table";
      return false;
    }
    std::string line(bytes.begin() + at, nl);
    at = size_t(nl - bytes.begin()) + 1;
    out.header.push_back(line);
    if (line.rfind(" 0, ", 0) == 0) out.module = line;
    if (sscanf(line.c_str(), "BB Table: %zu bbs", &count) == 1) table = true;
  }
  if (bytes.size() - at != 8 * count) {
    why = "BB table holds " + std::to_string(bytes.size() - at) + " bytes for " +
          std::to_string(count) + " blocks";
    return false;
  }
  for (size_t i = 0; i < count; i++, at += 8) {
    const uint8_t *r = &bytes[at];
    CoveredBlock b;
    b.offset = uint32_t(r[0]) | r[1] << 8 | r[2] << 16 | uint32_t(r[3]) << 24;
    b.size = uint16_t(r[4] | r[5] << 8);
    if (r[6] || r[7]) {
      why = "a block names a module other than 0";
      return false;
    }
    out.blocks.push_back(b);
  }
  return true;
}

Drcov RunWithCoverage(const std::string &name, std::vector<std::string> args) {
  std::string path = std::string(SIM_SCRATCH_DIR) + "/" + name + ".drcov";
  remove(path.c_str());
  args.insert(args.begin(), {"--coverage", path});
  args.push_back(USB_PEIM_IMAGE);
  simtest::ToolRun run = RunTool(args);
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<uint8_t> bytes;
  std::string error;
  Drcov d;
  EXPECT_TRUE(toolio::ReadInput(path, bytes, error)) << error;
  EXPECT_TRUE(ParseDrcov(bytes, d, error)) << error;
  return d;
}

bool Covers(const Drcov &d, uint32_t offset) {
  for (const CoveredBlock &b : d.blocks)
    if (offset >= b.offset && offset < b.offset + uint32_t(b.size)) return true;
  return false;
}

bool StartsBlock(const Drcov &d, uint32_t offset) {
  for (const CoveredBlock &b : d.blocks)
    if (b.offset == offset) return true;
  return false;
}

TEST(Coverage, ModuleRunCoversEntryAndServiceButNotTheErrorPaths) {
  pe::LinkMap map;
  std::string error;
  ASSERT_TRUE(pe::ReadLinkMap(USB_PEIM_MAP, map, error)) << error;
  const pe::MapSymbol *entry = map.Find("UsbControllerPeimEntry");
  const pe::MapSymbol *service = map.Find("GetEhciController");
  ASSERT_TRUE(entry && service);
  pe::Image image = simtest::ModuleImage();

  Drcov clean = RunWithCoverage("clean", {});
  ASSERT_FALSE(clean.blocks.empty());
  ASSERT_GE(clean.header.size(), 6u);
  EXPECT_EQ(clean.header[0], "DRCOV VERSION: 2");
  EXPECT_EQ(clean.header[1], "DRCOV FLAVOR: drcov");
  EXPECT_EQ(clean.header[2], "Module Table: version 2, count 1");
  EXPECT_EQ(clean.header[3], "Columns: id, base, end, entry, checksum, timestamp, path");
  char row[128];
  snprintf(row, sizeof row, " 0, 0x%08x, 0x%08x, 0x%08x, ", kDefaultLoadAddress,
           kDefaultLoadAddress + image.sizeOfImage, kDefaultLoadAddress + image.entryRva);
  EXPECT_EQ(clean.module.rfind(row, 0), 0u) << clean.module;
  EXPECT_NE(clean.module.find("UsbControllerPeim.efi"), std::string::npos);

  // Blocks are distinct, sorted, non-empty and inside the image.
  for (size_t i = 0; i < clean.blocks.size(); i++) {
    const CoveredBlock &b = clean.blocks[i];
    EXPECT_GT(b.size, 0);
    EXPECT_LE(b.offset + b.size, image.sizeOfImage);
    if (i) {
      EXPECT_TRUE(clean.blocks[i - 1] < b);
    }
  }
  EXPECT_TRUE(StartsBlock(clean, entry->rva));
  EXPECT_TRUE(StartsBlock(clean, service->rva));
  EXPECT_EQ(entry->rva, image.entryRva);

  // When AllocatePages fails the entry takes its error path: it returns
  // before the bring-up and installs no PPI, so the service never runs. The
  // file shows what was skipped: blocks of the clean run are absent, the
  // PPI service's among them, while the entry's first block is there.
  Drcov failed = RunWithCoverage("no-pages", {"--fail", "AllocatePages"});
  EXPECT_TRUE(StartsBlock(failed, entry->rva));
  EXPECT_FALSE(Covers(failed, service->rva));
  std::vector<uint32_t> skipped;
  for (const CoveredBlock &b : clean.blocks)
    if (!Covers(failed, b.offset)) skipped.push_back(b.offset);
  EXPECT_GT(skipped.size(), clean.blocks.size() / 2) << "the bring-up was not skipped";
  EXPECT_LT(failed.blocks.size(), clean.blocks.size());
}

TEST(Coverage, BlockStoppedBeforeItRunsIsNotCovered) {
  // A block that jumps over a MOV to CR0 runs; the one holding it is
  // stopped before it runs.
  std::string image = simtest::ScratchFile(
      "cr0.efi", simtest::BuildImage({0xEB, 0x00,          // jmp +0
                                      0x0F, 0x22, 0xC0,    // mov cr0, eax
                                      0xC3}));             // ret
  std::string path = std::string(SIM_SCRATCH_DIR) + "/cr0.drcov";
  simtest::ToolRun run = RunTool({"--coverage", path, image});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("[processor-control]"), std::string::npos) << run.out;
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(toolio::ReadInput(path, bytes, error)) << error;
  Drcov d;
  ASSERT_TRUE(ParseDrcov(bytes, d, error)) << error;
  ASSERT_EQ(d.blocks.size(), 1u);
  EXPECT_EQ(d.blocks[0].offset, simtest::kCodeRva);
  EXPECT_EQ(d.blocks[0].size, 2);
}

TEST(Coverage, DrcovRecordsAreLittleEndianAndPathsStayOnOneLine) {
  CoverageModule m;
  m.path = "a\nb.efi";
  m.base = 0xFFFC0240;
  m.end = 0xFFFC0800;
  m.entry = 0xFFFC0400;
  Coverage c;
  c.Add(0x300, 7);
  c.Add(0x1C0, 0x12);
  c.Add(0x300, 7);         // the same block again
  c.Add(0x300, 0x12345);   // sizes are 16 bits
  std::vector<uint8_t> bytes = DrcovFile(m, c.Blocks());
  Drcov d;
  std::string why;
  ASSERT_TRUE(ParseDrcov(bytes, d, why)) << why;
  EXPECT_EQ(d.module,
            " 0, 0xfffc0240, 0xfffc0800, 0xfffc0400, 0x00000000, 0x00000000, a\\x0Ab.efi");
  ASSERT_EQ(d.blocks.size(), 3u);
  EXPECT_EQ(d.blocks[0].offset, 0x1C0u);
  EXPECT_EQ(d.blocks[0].size, 0x12);
  EXPECT_EQ(d.blocks[1].size, 7);
  EXPECT_EQ(d.blocks[2].size, 0xFFFF);
  const uint8_t record[8] = {0xC0, 0x01, 0, 0, 0x12, 0, 0, 0};
  EXPECT_EQ(memcmp(&bytes[bytes.size() - 24], record, 8), 0);
}

}  // namespace

// The state byte of a lone firmware file, between fvtool and EDK2's GenFfs and
// GenFv: GenFfs writes the state bits as they are (0x07) and GenFv inverts
// them in an erase-polarity-1 volume; fvtool ffs writes 0x07 by default and
// 0xF8 with --volume-state. A lone file is read in either form, and a file
// inserted into a volume gets the state that volume needs, whichever form it
// came in.
#include "fv_test_util.h"
#include "fv_tree.h"

using namespace fv;

namespace {

std::string Tool(const std::string &args) { return std::string(FVTOOL) + " " + args; }

constexpr const char *kGuid = "9B3ADA4F-AE56-4C24-8DEA-F03B7558AE50";

}  // namespace

// What fvtool ffs writes, with and without --volume-state: the state byte,
// and nothing else different.
TEST(FileState, FfsWritesGenFfsStateByDefault) {
  fvtest::TempDir dir;
  std::string common = " --guid " + std::string(kGuid) + " --name M " MODULE_EFI;
  fvtest::Run plain = fvtest::RunCommand(Tool("ffs -o " + (dir / "a.ffs") + common), dir);
  ASSERT_EQ(plain.status, 0) << plain.err;
  fvtest::Run volume =
      fvtest::RunCommand(Tool("ffs --volume-state -o " + (dir / "b.ffs") + common), dir);
  ASSERT_EQ(volume.status, 0) << volume.err;
  Bytes a = ReadFile(dir / "a.ffs"), b = ReadFile(dir / "b.ffs");
  ASSERT_EQ(a.size(), b.size());
  ASSERT_GT(a.size(), 24u);
  EXPECT_EQ(a[23], 0x07);
  EXPECT_EQ(b[23], 0xF8);
  b[23] = a[23];
  EXPECT_EQ(a, b);
}

// Lone files in each state: the two valid forms are read (and list says so),
// every other state is refused with status 2 by the edit commands.
TEST(FileState, LoneFileStatesAcceptedAndRefused) {
  Bytes base = fvtest::ModuleFile(kGuid, "M");
  struct Row {
    uint8_t state;
    bool valid;
  };
  const Row rows[] = {
      {0x07, true},   // GenFfs: valid, bits as they are
      {0xF8, true},   // valid, as a polarity-1 volume stores it
      {0x03, false},  // header valid, data not yet valid (bits as they are)
      {0xFC, false},  // the same, stored inverted
      {0xE8, false},  // deleted, stored inverted
      {0x17, false},  // deleted, bits as they are
      {0xFF, false},  // erased: header under construction at most
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(Hex(row.state));
    Bytes f = base;
    f[23] = row.state;
    if (row.valid) {
      File parsed = ParseLoneFile(f);
      EXPECT_EQ(parsed.state, row.state);
      EXPECT_FALSE(parsed.deleted);
    } else {
      EXPECT_THROW(ParseLoneFile(f), Error);
    }
  }
}

// Both forms inserted into a polarity-1 volume come out as 0xF8 there, the
// rest of the file as it was placed.
TEST(FileState, InsertNormalisesTheState) {
  fvtest::TempDir dir;
  fvtest::WriteBytes(dir / "pei.fv", fvtest::TestVolume(0x10000, {}, 0));
  for (uint8_t state : {uint8_t(0x07), uint8_t(0xF8)}) {
    SCOPED_TRACE(Hex(state));
    Bytes f = fvtest::ModuleFile(kGuid, "M");
    f[23] = state;
    fvtest::WriteBytes(dir / "m.ffs", f);
    fvtest::Run r = fvtest::RunCommand(
        Tool("insert " + (dir / "pei.fv") + " " + (dir / "m.ffs") + " --pei-base 0x820000 -o " +
             (dir / "out.fv")),
        dir);
    ASSERT_EQ(r.status, 0) << r.err;
    Image image(ReadFile(dir / "out.fv"));
    const File *placed = image.volumes().at(0).FindFile(Guid::Parse(kGuid));
    ASSERT_NE(placed, nullptr);
    EXPECT_EQ(placed->state, 0xF8);
    EXPECT_FALSE(placed->deleted);
  }
}

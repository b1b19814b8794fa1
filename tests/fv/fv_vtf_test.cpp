// The volume top file ends at the end of its volume: in a boot volume its
// last 16 bytes are where the processor starts (0xFFFFFFF0). Inserted or
// replaced by one of another size, it is placed to end there, its start
// moving into (or leaving) the pad file before it; where it cannot end
// there, the edit is refused in one line.
#include "fv_test_util.h"

using namespace fv;

namespace {

std::string Tool(const std::string &args) { return std::string(FVTOOL) + " " + args; }

// A volume top file of `size` bytes (header included), data aligned to 16
// as a reset vector's is, its last 16 bytes tagged.
Bytes TopFile(size_t size, uint8_t tag) {
  Bytes body(size - 24, 0x90);
  for (size_t i = body.size() - 16; i < body.size(); i++) body[i] = uint8_t(tag + i);
  return MakeFile(kVolumeTopFileGuid, kFileRaw, FileAlignmentAttribute(16), body, true);
}

const File &TopOf(const Volume &v) {
  const File *f = v.FindFile(kVolumeTopFileGuid);
  EXPECT_NE(f, nullptr);
  return *f;
}

}  // namespace

TEST(VolumeTopFile, EndsAtTheEndOfItsVolume) {
  const Bytes sec = fvtest::NoiseFile("5EC00000-0000-4000-8000-000000000005", 0x200);
  // A volume with room only for a small top file: noise fills the rest.
  const Bytes tight = fvtest::NoiseFile("F1000000-0000-4000-8000-0000000000F1", 0x3A00);
  struct Row {
    const char *label;
    std::vector<Bytes> volumeFiles;  // the volume before the top file is inserted
    size_t firstSize;                // the top file inserted first (0: none)
    std::string command;             // insert or replace
    size_t size;                     // the top file then inserted or replacing
    const char *refusal;             // words of the one-line refusal, or nullptr
  };
  const std::vector<Row> rows = {
      {"inserted into a volume without one", {sec}, 0, "insert", 0x108, nullptr},
      {"replaced by a smaller one", {sec}, 0x148, "replace", 0x108, nullptr},
      {"replaced by a larger one", {sec}, 0x108, "replace", 0x208, nullptr},
      {"replaced by one of the same size", {sec}, 0x108, "replace", 0x108, nullptr},
      {"a size off the 8-byte grid", {sec}, 0x108, "replace", 0x10C, "off the 8-byte boundary"},
      {"larger than the room before it", {sec, tight}, 0x108, "replace", 0x408, "the free room there"},
      {"leaving too little for a pad file", {sec, tight}, 0x108, "replace", 0, "too few for a pad file"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.label);
    fvtest::TempDir dir;
    Bytes volume = fvtest::TestVolume(0x4000, row.volumeFiles, 0);
    if (row.firstSize) {
      fvtest::WriteBytes(dir / "first.ffs", TopFile(row.firstSize, 0x10));
      fvtest::WriteBytes(dir / "v.fv", volume);
      fvtest::Run r = fvtest::RunCommand(
          Tool("insert " + (dir / "v.fv") + " " + (dir / "first.ffs") + " -o " + (dir / "in.fv")), dir);
      ASSERT_EQ(r.status, 0) << r.err;
      volume = ReadFile(dir / "in.fv");
    }
    Image before(volume);
    size_t size = row.size;
    if (!size) {  // 16 bytes short of taking the whole room before the old one
      const Volume &v = before.volumes()[0];
      const File &top = TopOf(v), &pad = v.files.at(v.files.size() - 2);
      ASSERT_EQ(pad.type, kFilePad);
      size = top.size + (top.offset - pad.offset) - 16;
    }
    Bytes top = TopFile(size, 0x40);
    fvtest::WriteBytes(dir / "in.fv", volume);
    fvtest::WriteBytes(dir / "top.ffs", top);
    fvtest::Run r = fvtest::RunCommand(
        Tool(row.command + " " + (dir / "in.fv") + " " + (dir / "top.ffs") + " -o " + (dir / "out.fv")),
        dir);
    if (row.refusal) {
      EXPECT_EQ(r.status, 2);
      EXPECT_NE(r.err.find(row.refusal), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("must end at the volume's end"), std::string::npos) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_FALSE(fvtest::Exists(dir / "out.fv"));
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes out = ReadFile(dir / "out.fv");
    ASSERT_EQ(out.size(), volume.size());
    // The processor's first bytes are the new file's last ones.
    EXPECT_TRUE(std::equal(top.end() - 16, top.end(), out.end() - 16));
    Image after(out);
    const File &placed = TopOf(after.volumes()[0]);
    EXPECT_EQ(placed.offset + placed.size, out.size());
    EXPECT_EQ(placed.bytes(), top);
    fvtest::ExpectOnlyIntended(volume, out, {kVolumeTopFileGuid});
  }
}

// OVMF's reset vector file, 0x40 bytes shorter: it moves up to end at the
// top of volume #3, the pad file before it grows, the reset vector stays at
// 0xFFFFFFF0.
TEST(Ovmf, ReplacedVolumeTopFileKeepsTheResetVector) {
  fvtest::TempDir dir;
  const std::string small = std::string(ROBUSTNESS2_DATA) + "/G11-vtf-small.ffs";
  fvtest::Run r = fvtest::RunCommand(
      Tool("replace " OVMF_CODE " " + small + " -o " + (dir / "vtf.fd")), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("runs at"), std::string::npos) << "no image placed, no run address: " << r.out;
  Bytes before = ReadFile(OVMF_CODE), after = ReadFile(dir / "vtf.fd"), file = ReadFile(small);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(std::equal(before.end() - 16, before.end(), after.end() - 16));
  Image image(after);
  const Volume &last = image.volumes().back();
  const File &top = TopOf(last);
  EXPECT_EQ(top.offset + top.size, last.length);
  EXPECT_EQ(top.size, 0x538u);
  fvtest::ExpectOnlyIntended(before, after, {kVolumeTopFileGuid});
}

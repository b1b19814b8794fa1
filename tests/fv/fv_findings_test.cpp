// What `list` flags in a volume that reads without fault but would not run
// as laid out (a file off the alignment its attributes ask, an image or the
// PEI core not linked where it lies in a volume that runs in place), and
// that `insert` takes no run address from such images.
#include "fv_test_util.h"
#include "fv_tree.h"

using namespace fv;

namespace {

std::string Tool(const std::string &args) { return std::string(FVTOOL) + " " + args; }

const char *const kGuids[] = {"33333333-0000-4000-8000-000000000001", "33333333-0000-4000-8000-000000000002",
                              "33333333-0000-4000-8000-000000000003", "33333333-0000-4000-8000-000000000004"};
constexpr uint64_t kBase = 0xFFF00000;

// A volume of 128-byte alignment running at kBase: a PEI core and two PEIMs
// (the module under three names), linked where they lie.
Bytes RunningVolume() {
  return fvtest::TestVolume(0x20000,
                            {fvtest::ModuleFile(kGuids[0], "Core", kFilePeiCore),
                             fvtest::ModuleFile(kGuids[1], "B"), fvtest::ModuleFile(kGuids[2], "C")},
                            kBase, 128);
}

const File &FileOf(const Volume &v, const char *guid) {
  const File *f = v.FindFile(Guid::Parse(guid));
  EXPECT_NE(f, nullptr) << guid;
  return *f;
}

// Moves the ImageBase of the file's PE32 image by delta, its data checksum
// kept right.
void ShiftImageBase(Bytes &volume, const char *guid, uint32_t delta) {
  Image image(volume);
  const File &f = FileOf(image.volumes()[0], guid);
  for (const Section &s : f.sections) {
    if (s.type != kSecPe32) continue;
    size_t at = size_t(s.data() - image.bytes().data());  // the image reads a copy
    size_t field = at + Get32(&volume[at + 0x3C]) + 24 + 28;  // OptionalHeader.ImageBase
    uint8_t before = Sum8(&volume[field], 4);
    Put32(&volume[field], Get32(&volume[field]) + delta);
    size_t file = size_t(f.start - image.bytes().data());
    volume[file + 17] = uint8_t(volume[file + 17] + before - Sum8(&volume[field], 4));
  }
}

// Asks 4 KiB data alignment of the file in its attributes, the header
// checksum kept right.
void AskAlignment4K(Bytes &volume, const char *guid) {
  Image image(volume);
  size_t file = size_t(FileOf(image.volumes()[0], guid).start - image.bytes().data());
  uint8_t before = volume[file + 19];
  volume[file + 19] = uint8_t((before & ~kFileAttrAlignmentMask) | FileAlignmentAttribute(0x1000));
  volume[file + 16] = uint8_t(volume[file + 16] + before - volume[file + 19]);
}

}  // namespace

TEST(Findings, ListFlagsWhatWouldNotRunAsLaidOut) {
  struct Row {
    const char *label;
    std::function<void(Bytes &)> damage;
    std::vector<std::string> flagged;  // "" none: status 0
  };
  const std::vector<Row> rows = {
      {"as built", [](Bytes &) {}, {}},
      {"a PEIM linked 0x1000 bytes off", [](Bytes &v) { ShiftImageBase(v, kGuids[1], 0x1000); },
       {"! its PE32 image is linked to run at "}},
      {"the PEI core linked 0x1000 bytes off", [](Bytes &v) { ShiftImageBase(v, kGuids[0], 0x1000); },
       {"! the PEI core is linked to run at "}},
      {"a file asking 4 KiB alignment it does not have", [](Bytes &v) { AskAlignment4K(v, kGuids[2]); },
       {"-byte alignment its attributes ask"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.label);
    fvtest::TempDir dir;
    Bytes volume = RunningVolume();
    row.damage(volume);
    fvtest::WriteBytes(dir / "v.fv", volume);
    fvtest::Run text = fvtest::RunCommand(Tool("list '" + (dir / "v.fv") + "'"), dir);
    fvtest::Run json = fvtest::RunCommand(Tool("list --format json '" + (dir / "v.fv") + "'"), dir);
    EXPECT_EQ(text.status, row.flagged.empty() ? 0 : 1) << text.out;
    EXPECT_EQ(json.status, text.status);
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '!'), long(row.flagged.size())) << text.out;
    for (const std::string &f : row.flagged) EXPECT_NE(text.out.find(f), std::string::npos) << text.out;
    EXPECT_NE(json.out.find("\"findings\":" + std::to_string(row.flagged.size())), std::string::npos)
        << json.out;
    // Edits still read it: the findings are not faults of its layout.
    EXPECT_NO_THROW(Image{ReadFile(dir / "v.fv")});
  }
}

// Two images linked 8 bytes off (a base no 128-aligned volume can have)
// outvote the one linked right: insert still takes the volume's run
// address from the one, and list flags the two.
TEST(Findings, InsertTakesNoRunAddressFromImagesOffTheirPlace) {
  fvtest::TempDir dir;
  Bytes volume = RunningVolume();
  ShiftImageBase(volume, kGuids[1], 8);
  ShiftImageBase(volume, kGuids[2], 8);
  fvtest::WriteBytes(dir / "v.fv", volume);
  fvtest::WriteBytes(dir / "d.ffs", fvtest::ModuleFile(kGuids[3], "D"));
  fvtest::Run insert = fvtest::RunCommand(
      Tool("insert '" + (dir / "v.fv") + "' '" + (dir / "d.ffs") + "' -o '" + (dir / "w.fv") + "'"), dir);
  ASSERT_EQ(insert.status, 0) << insert.err;
  EXPECT_NE(insert.err.find("volume #0 runs at " + Hex(kBase) + "\n"), std::string::npos) << insert.err;
  fvtest::Run list = fvtest::RunCommand(Tool("list '" + (dir / "w.fv") + "'"), dir);
  EXPECT_EQ(list.status, 1);
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '!'), 2) << list.out;
  EXPECT_NE(list.out.find("where volume #0 runs at " + Hex(kBase)), std::string::npos) << list.out;
}

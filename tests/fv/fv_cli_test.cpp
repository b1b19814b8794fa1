// The fvtool command line: the file `make` packages, a list/insert/list
// round trip on OVMF, and bad input refused with status 2 and nothing written.
#include "fv_test_util.h"
#include "fv_tree.h"

using namespace fv;

namespace {

std::string Tool(const std::string &args) { return std::string(FVTOOL) + " " + args; }

}  // namespace

// The build's UsbControllerPeim.ffs: the module with its fixed GUID, waiting
// for the Stall PPI, named, its VERSION the project's, the image unchanged, its data aligned to the
// image's section alignment once the file's data is at its data alignment.
TEST(Cli, BuiltModuleFile) {
  Bytes built = ReadFile(MODULE_FFS);
  File f = ParseLoneFile(built);
  EXPECT_EQ(f.name.ToString(), MODULE_GUID);
  EXPECT_EQ(f.type, kFilePeim);
  EXPECT_EQ(f.state, 0x07);  // as GenFfs writes a lone file
  EXPECT_EQ(f.size, built.size());
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(fvtest::ModuleImage(), image, error)) << error;
  EXPECT_GE(FileDataAlignment(f.attributes), image.sectionAlignment);
  ASSERT_GE(f.sections.size(), 3u);
  EXPECT_EQ(DescribeDepex(f.sections.front().data(), f.sections.front().dataSize()),
            "PUSH 1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56 END");
  ASSERT_EQ(f.sections.back().type, kSecVersion);
  EXPECT_EQ(DescribeVersion(f.sections.back().data(), f.sections.back().dataSize()),
            "build 0 \"" USB_PEIM_VERSION_TEXT "\"");
  const Section &ui = f.sections[f.sections.size() - 2];
  ASSERT_EQ(ui.type, kSecUserInterface);
  EXPECT_EQ(DecodeUiName(ui.data(), ui.dataSize()), "UsbControllerPeim");
  int images = 0;
  for (const Section &pe32 : f.sections) {
    if (pe32.type != kSecPe32) continue;
    images++;
    EXPECT_EQ(Bytes(pe32.data(), pe32.data() + pe32.dataSize()), fvtest::ModuleImage());
    EXPECT_EQ((pe32.offset + pe32.headerSize) % image.sectionAlignment, 0u);
  }
  EXPECT_EQ(images, 1);
}

TEST(Cli, ListInsertListOnOvmf) {
  fvtest::TempDir dir;
  fvtest::Run before = fvtest::RunCommand(Tool("list " OVMF_CODE), dir);
  ASSERT_EQ(before.status, 0) << before.err;
  EXPECT_NE(before.out.find("\"PeiCore\""), std::string::npos);
  EXPECT_NE(before.out.find("LZMA unpacked 0xCE0090"), std::string::npos);
  EXPECT_EQ(before.out.find(MODULE_GUID), std::string::npos);

  fvtest::Run insert = fvtest::RunCommand(
      Tool("insert " OVMF_CODE " '" + (dir / "out.fd") + "' " MODULE_FFS " --apriori"), dir);
  ASSERT_EQ(insert.status, 0) << insert.err;
  EXPECT_NE(insert.err.find("runs at 0x820000"), std::string::npos) << insert.err;
  EXPECT_EQ(insert.out, "");  // status goes to stderr

  fvtest::Run after = fvtest::RunCommand(Tool("list '" + (dir / "out.fd") + "'"), dir);
  ASSERT_EQ(after.status, 0) << after.err;
  size_t file = after.out.find("file " MODULE_GUID " PEIM at ");
  ASSERT_NE(file, std::string::npos) << after.out;
  EXPECT_NE(after.out.find("\"UsbControllerPeim\"", file), std::string::npos);
  EXPECT_NE(after.out.find("apriori " MODULE_GUID), std::string::npos);
  // Everything listed before is still listed, apart from the lines that
  // describe what grew: the main volume, its file and section, the PEI
  // volume, the apriori file and the pad after it.
  std::istringstream lines(before.out);
  int missing = 0;
  for (std::string line; std::getline(lines, line);)
    if (after.out.find(line + "\n") == std::string::npos) missing++;
  EXPECT_LE(missing, 7);
}

// Every kind of bad input: one line on stderr, status 2, no output file,
// and an existing output file left as it was.
TEST(Cli, BadInputIsRefusedAndNothingIsWritten) {
  fvtest::TempDir dir;
  Bytes ovmf = ReadFile(OVMF_CODE);
  Bytes corruptHeader = ovmf;
  corruptHeader[0x348000 + 50] ^= 0xFF;  // SEC volume header checksum
  Bytes unknownCompression = ovmf;
  unknownCompression[0x78 + 24 + 4] ^= 0x01;  // the LZMA section's GUID
  Bytes truncated(ovmf.begin(), ovmf.begin() + 0x200000);
  Bytes ffs = ReadFile(MODULE_FFS);
  Bytes shortFfs(ffs.begin(), ffs.end() - 100);
  fvtest::WriteBytes(dir / "header.fd", corruptHeader);
  fvtest::WriteBytes(dir / "compression.fd", unknownCompression);
  fvtest::WriteBytes(dir / "truncated.fd", truncated);
  fvtest::WriteBytes(dir / "short.ffs", shortFfs);
  fvtest::WriteBytes(dir / "big.ffs", fvtest::NoiseFile("22222222-3333-4444-8555-666666666666", 0xC0000));
  std::string out = dir / "out.fd";
  const std::vector<std::string> cases = {
      "insert " MODULE_EFI " " + out + " " MODULE_FFS,                  // not a volume
      "insert " + (dir / "header.fd") + " " + out + " " MODULE_FFS,      // corrupt header checksum
      "insert " + (dir / "truncated.fd") + " " + out + " " MODULE_FFS,   // truncated image
      "insert " + (dir / "compression.fd") + " " + out + " " MODULE_FFS, // unknown compression
      "insert " OVMF_CODE " " + out + " " + (dir / "missing.ffs"),       // missing file
      "insert " OVMF_CODE " " + out + " " + (dir / "short.ffs"),         // truncated file
      "insert " OVMF_CODE " " + out + " " + (dir / "big.ffs"),           // out of space
      "insert " OVMF_CODE " " + out + " " MODULE_FFS " --fv 0",          // no image tells where it runs
      "insert " OVMF_CODE " " + out + " " MODULE_FFS " --pei-base 0x820002",  // unalignable
      "insert " OVMF_CODE " " + out + " " MODULE_FFS " --bogus",
      "ffs " + out + " --guid 58759340-0A30-4DFD-88F9 --name X " MODULE_EFI,
      "ffs " + out + " --guid " MODULE_GUID " --name X " OVMF_CODE,
      "create " + out + " --size 0x10000 " + (dir / "big.ffs"),  // too small
  };
  for (const std::string &c : cases) {
    fvtest::Run r = fvtest::RunCommand(Tool(c), dir);
    EXPECT_EQ(r.status, 2) << c;
    EXPECT_FALSE(r.err.empty()) << c;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c << ": " << r.err;
    EXPECT_FALSE(fvtest::Exists(out)) << c;
    std::system(("rm -f '" + out + "'").c_str());
  }

  EXPECT_EQ(fvtest::RunCommand("ls -a '" + (dir / "") + "'", dir).out.find("out.fd"), std::string::npos)
      << "a temporary file was left behind";

  // list reads on through damage, marks it, and says so in its status; an
  // encoding it cannot decode is shown as such, which is no damage.
  fvtest::Run damaged = fvtest::RunCommand(Tool("list " + (dir / "header.fd")), dir);
  EXPECT_EQ(damaged.status, 1) << damaged.err;
  EXPECT_NE(damaged.out.find("! header checksum is wrong"), std::string::npos) << damaged.out;
  EXPECT_NE(damaged.out.find("\"PeiCore\""), std::string::npos) << "stopped at the damage";
  fvtest::Run opaque = fvtest::RunCommand(Tool("list " + (dir / "compression.fd")), dir);
  EXPECT_EQ(opaque.status, 0) << opaque.err;
  EXPECT_NE(opaque.out.find("not decoded"), std::string::npos) << opaque.out;

  fvtest::WriteBytes(out, {1, 2, 3});
  fvtest::Run r = fvtest::RunCommand(Tool("insert " OVMF_CODE " " + out + " " + (dir / "big.ffs")), dir);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(ReadFile(out), Bytes({1, 2, 3}));
}

// fvtool on hostile and careless input, run as a user runs it: bombs,
// damaged and odd volumes, outputs that must not be written, numbers that
// must not wrap. A refusal is one line on stderr naming the file, status 2,
// and nothing written; an odd but sound input gives a correct result that
// changes no byte it did not mean to.
#include <sys/stat.h>

#include <gtest/gtest-spi.h>

#include "fv_test_util.h"

using namespace fv;

namespace {

const std::string kData = ROBUSTNESS_DATA;
std::string In(const std::string &name) { return kData + "/" + name; }
std::string Tool(const std::string &args) { return std::string(FVTOOL) + " " + args; }

bool ValidUtf8(const std::string &s) {
  for (size_t i = 0; i < s.size();) {
    uint8_t c = uint8_t(s[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + size_t(extra) >= s.size() + (extra == 0)) return false;
    uint32_t code = extra ? c & (0x3F >> extra) : c;
    for (int k = 1; k <= extra; k++) {
      if ((uint8_t(s[i + k]) & 0xC0) != 0x80) return false;
      code = code << 6 | (uint8_t(s[i + k]) & 0x3F);
    }
    if ((code >= 0xD800 && code < 0xE000) || code > 0x10FFFF) return false;
    i += size_t(extra) + 1;
  }
  return true;
}

struct Refusal {
  const char *label;
  std::string args;   // {O} is the output path, {D} the scratch folder
  const char *words;  // in the one stderr line
};

std::string Expand(std::string text, const fvtest::TempDir &dir) {
  for (size_t at; (at = text.find("{O}")) != std::string::npos;) text.replace(at, 3, dir / "out.fv");
  for (size_t at; (at = text.find("{D}")) != std::string::npos;) text.replace(at, 3, dir / "");
  return text;
}

}  // namespace

// Every refusal: status 2, one line naming the input or the option, no
// output and no temporary file left.
TEST(Robustness, RefusalsAreOneLineAndWriteNothing) {
  const std::string m = MODULE_FFS;
  const std::vector<Refusal> cases = {
      {"F4 LZMA bomb: total unpacked size bounded",
       "insert " + In("F4-lzma-bomb-8x.fv") + " " + m + " --fv 0 --pei-base 0xFFF00000 -o {O}",
       "in all that this tool unpacks"},
      {"F6 image aligned to 2 GiB",
       "insert " + In("pei.fv") + " " + In("F6-pe-section-alignment-2GiB.ffs") + " --pei-base 0 -o {O}",
       "SectionAlignment 0x80000000"},
      {"F10 OUT forgotten: an existing firmware file is an input",
       "insert " + In("pei.fv") + " " + In("consumer.ffs") + " " + m, "looks like an input"},
      {"output is the image", "insert " + In("pei.fv") + " " + m + " -o " + In("pei.fv"),
       "also an input"},
      {"no output at all", "remove " + In("pei.fv") + " " MODULE_GUID, "--output is required"},
      {"F12 --fv wraps", "insert " + In("compressed.fv") + " " + m + " --fv 4294967295 -o {O}",
       "--fv: '4294967295' is out of range"},
      {"F12 --fv negative", "insert " + In("compressed.fv") + " " + m + " --fv -1 -o {O}",
       "--fv: '-1' is not a number"},
      {"F12 --fv=value form, negative", "insert " + In("compressed.fv") + " " + m + " --fv=-1 -o {O}",
       "--fv: '-1' is not a number"},
      {"F12 --pei-base negative", "insert " + In("pei-nobase.fv") + " " + m + " --pei-base -64 -o {O}",
       "--pei-base: '-64'"},
      {"F12 --block above 32 bits", "create -o {O} --size 0x4000 --block 0x100001000",
       "--block: '0x100001000' is out of range"},
      {"volume that would end above 4 GiB",
       "insert " + In("pei-nobase.fv") + " " + m + " --pei-base 0xFFFFF000 -o {O}", "above 4 GiB"},
      {"F17 name beyond U+10FFFF",
       "ffs -o {O} --guid " MODULE_GUID " --name $'\\xf4\\x90\\x80\\x80' " MODULE_EFI, "--name"},
      {"F17 name holding an encoded surrogate",
       "ffs -o {O} --guid " MODULE_GUID " --name $'\\xed\\xa0\\x80' " MODULE_EFI, "--name"},
      {"F17 overlong encoding in a name",
       "ffs -o {O} --guid " MODULE_GUID " --name $'\\xc0\\x80' " MODULE_EFI, "--name"},
      {"F21 XIP volume after a recompressed section would move",
       "insert " + In("F21-xip-volume-after-lzma-section.fv") + " --fv 1 " + m + " -o {O}",
       "would move"},
      {"F3 a directory as image", "list {D}", "is a directory"},
      {"endless stream as image", "insert /dev/zero " + m + " -o {O}", "character device"},
      {"F9 output is a device", "insert " + In("pei.fv") + " " + m + " -o /dev/null", "character device"},
      {"unknown option", "insert " + In("pei.fv") + " " + m + " --bogus -o {O}", "--bogus"},
      {"extract a section a file does not hold",
       "extract " + In("pei.fv") + " 22222222-2222-3333-4444-555555555555 --section te -o {O}",
       "holds 0 TE section(s)"},
      {"replace a file the image does not hold", "replace " + In("pei.fv") + " " + m + " -o {O}",
       "no file " MODULE_GUID},
      // Found by fuzzing: a volume holding a file name twice, which no
      // option can tell apart; remove used to end in an internal error.
      {"remove a file named twice in its volume",
       "remove " + In("duplicate-file-name.fv") + " " MODULE_GUID " -o {O}",
       "twice, at 0x48 and at 0x628"},
      {"replace a file named twice in its volume",
       "replace " + In("duplicate-file-name.fv") + " " + m + " -o {O}", "twice"},
      {"extract a file named twice in its volume",
       "extract " + In("duplicate-file-name.fv") + " " MODULE_GUID " -o {O}", "twice"},
      {"a number holding a line break", "create -o {O} --size $'0x1000\\n1'", "--size: '0x1000 1'"},
  };
  for (const Refusal &c : cases) {
    fvtest::TempDir dir;
    fvtest::Run r = fvtest::RunCommand("bash -c \"" + Tool(Expand(c.args, dir)) + "\"", dir);
    EXPECT_EQ(r.status, 2) << c.label << "\n" << r.out << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.label << ": " << r.err;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << c.label << ": " << r.err;
    EXPECT_FALSE(fvtest::Exists(dir / "out.fv")) << c.label;
    EXPECT_EQ(fvtest::RunCommand("ls -A '" + (dir / "") + "' | grep -v '^cmd\\.'", dir).out, "")
        << c.label << ": left a file behind";
  }
}

// Outputs that replacing would surprise: they stay exactly as they were.
TEST(Robustness, OutputsThatMustNotBeReplaced) {
  fvtest::TempDir dir;
  Bytes pei = ReadFile(In("pei.fv"));
  fvtest::WriteBytes(dir / "target.fd", pei);
  ASSERT_EQ(symlink((dir / "target.fd").c_str(), (dir / "link.fd").c_str()), 0);
  fvtest::WriteBytes(dir / "a.fd", {1, 2, 3});
  ASSERT_EQ(link((dir / "a.fd").c_str(), (dir / "b.fd").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  for (const char *out : {"link.fd", "a.fd", "fifo"}) {
    fvtest::Run r = fvtest::RunCommand(Tool("insert " + In("pei.fv") + " " MODULE_FFS " -o " + (dir / out)), dir);
    EXPECT_EQ(r.status, 2) << out << r.err;
  }
  struct stat st;
  ASSERT_EQ(lstat((dir / "link.fd").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(dir / "target.fd"), pei);
  EXPECT_EQ(ReadFile(dir / "b.fd"), Bytes({1, 2, 3}));
  ASSERT_EQ(lstat((dir / "fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  // A plain output keeps its permissions when replaced.
  fvtest::WriteBytes(dir / "mode.fd", {0});
  chmod((dir / "mode.fd").c_str(), 0600);
  fvtest::Run r = fvtest::RunCommand(Tool("insert " + In("pei.fv") + " " MODULE_FFS " -o " + (dir / "mode.fd")), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(stat((dir / "mode.fd").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // F11: a write cut short by the file size limit leaves neither the output
  // nor a temporary file.
  fvtest::WriteBytes(dir / "image.fd", fvtest::CompressedImage(fvtest::TestVolume(
      0x8000, {fvtest::ModuleFile("11111111-2222-4333-8444-555555555555", "Core", kFilePeiCore)},
      0xFFF80000), 0x40000));
  fvtest::Run cut = fvtest::RunCommand(
      "bash -c 'ulimit -f 64; " + Tool("insert " + (dir / "image.fd") + " " MODULE_FFS " -o " + (dir / "big.fd")) + "'", dir);
  EXPECT_EQ(cut.status, 2) << cut.err;
  EXPECT_NE(cut.err.find("cannot write"), std::string::npos) << cut.err;
  EXPECT_EQ(fvtest::RunCommand("ls '" + (dir / "") + "' | grep big", dir).out, "");
}

// Inputs that are odd but sound: the edit is made, and nothing it did not
// mean to change changes.
TEST(Robustness, OddVolumesAreEditedWithoutCollateralDamage) {
  struct Case {
    const char *file;
    std::string extra;
    bool walkEndsBefore = false;  // the PEI core never reaches the free room
  };
  const Guid module = Guid::Parse(MODULE_GUID);
  const std::vector<Case> cases = {
      {"F7-data-after-free-space.fv", ""},     // data after an erased run is not free space
      {"F7-file-after-erased-gap.fv", ""},     // nor is a file after an erased gap
      {"F8-crc32-guided-pei-volume.fv", ""},   // the CRC32 is renewed
      {"F19-lzma-dict-4GiB.fv", "--fv 1 --pei-base 0xFFF00000"},  // a huge dictionary in the header
      {"F19-lzma-dict-1.5GiB.fv", "--fv 1 --pei-base 0xFFF00000"},
      // A file whose header is under construction or marked invalid: the PEI
      // core steps over its header alone and reads its body (here a module's
      // sections) as the next header, whose state ends the walk. The free
      // space after its body is never reached, so nothing is placed there.
      {"F18-header-invalid-file.fv", "--pei-base 0xFFF00000", true},
      {"F18-header-construction-file.fv", "--pei-base 0xFFF00000", true},
  };
  for (const Case &c : cases) {
    fvtest::TempDir dir;
    fvtest::Run r = fvtest::RunCommand(
        Tool("insert " + In(c.file) + " " MODULE_FFS " " + c.extra + " -o " + (dir / "out.fv")), dir);
    if (c.walkEndsBefore) {
      EXPECT_EQ(r.status, 2) << c.file;
      EXPECT_NE(r.err.find("the PEI core's walk of it ends at 0x860"), std::string::npos) << r.err;
      EXPECT_FALSE(fvtest::Exists(dir / "out.fv"));
      continue;
    }
    ASSERT_EQ(r.status, 0) << c.file << ": " << r.err;
    Bytes before = ReadFile(In(c.file)), after = ReadFile(dir / "out.fv");
    SCOPED_TRACE(c.file);
    fvtest::ExpectOnlyIntended(before, after, {module});
    Image image(after);
    bool found = false;
    for (const Volume *v : image.AllVolumes()) found |= v->FindFile(module) != nullptr;
    EXPECT_TRUE(found);
  }
  // What the PEI core cannot reach is kept byte for byte.
  Bytes gap = ReadFile(In("F7-file-after-erased-gap.fv")), consumer = ReadFile(In("consumer.ffs"));
  ASSERT_NE(std::search(gap.begin(), gap.end(), consumer.begin(), consumer.end()), gap.end());
}

// The change checker itself: it sees a byte changed outside the edit.
static Bytes gBefore, gAfter;
TEST(Robustness, ChangeCheckerCatchesCollateralDamage) {
  gBefore = ReadFile(In("pei.fv"));
  InsertRequest request;
  request.files = {ReadFile(MODULE_FFS)};
  std::vector<std::string> log;
  gAfter = InsertFiles(Image(gBefore), request, log);
  fvtest::ExpectOnlyIntended(gBefore, gAfter, {Guid::Parse(MODULE_GUID)});
  Image image(gAfter);
  const File &first = image.volumes()[0].files.at(0);
  // Two bytes of the PEI core's last section, changed so that its data
  // checksum still holds.
  size_t where = image.volumes()[0].offset + first.offset + first.size - 1;
  gAfter[where] = uint8_t(gAfter[where] + 1);
  gAfter[where - 1] = uint8_t(gAfter[where - 1] - 1);
  EXPECT_FATAL_FAILURE(fvtest::ExpectOnlyIntended(gBefore, gAfter, {Guid::Parse(MODULE_GUID)}),
                       "section changed");
  gAfter[where] = uint8_t(gAfter[where] - 1);
  gAfter[where - 1] = uint8_t(gAfter[where - 1] + 1);
  gAfter[gAfter.size() - 1] ^= 1;  // in the free space at the end
  EXPECT_FATAL_FAILURE(fvtest::ExpectOnlyIntended(gBefore, gAfter, {Guid::Parse(MODULE_GUID)}),
                       "changed outside any file");
}

// list on what is damaged or odd: it reads on, marks each fault, prints
// only valid UTF-8 and bounded output, and says in its status whether
// anything was wrong.
TEST(Robustness, ListReadsOnAndMarksWhatIsWrong) {
  struct Case {
    const char *file;
    int status;
    std::vector<std::string> words;
  };
  const std::vector<Case> cases = {
      {"F4-lzma-bomb-8x.fv", 1, {"! LZMA data unpacks", "in all that this tool unpacks"}},
      {"F5-section-count-bomb.fv", 1, {"more than 65536 files and sections"}},
      {"F17-ui-unpaired-surrogate.fv", 0, {"\"\xEF\xBF\xBD" "A\xEF\xBF\xBD\""}},
      {"F17-te-base-wrap.fv", 0, {"malformed TE header"}},
      {"F18-header-invalid-file.fv", 0, {"(header marked invalid)"}},
      {"F18-header-construction-file.fv", 0, {"(header under construction)"}},
      {"F18-efi-compressed-section.fv", 0, {"EFI compression", "not decoded"}},
      {"F7-file-after-erased-gap.fv", 0, {"note: bytes at 0x4000 are not erased", "33333333-2222"}},
      {"F8-crc32-guided-pei-volume.fv", 0, {"(CRC32 guarded) CRC32 0x"}},
  };
  for (const Case &c : cases) {
    fvtest::TempDir dir;
    fvtest::Run r = fvtest::RunCommand(Tool("list " + In(c.file)), dir);
    EXPECT_EQ(r.status, c.status) << c.file << ": " << r.err;
    EXPECT_TRUE(ValidUtf8(r.out)) << c.file;
    EXPECT_LT(r.out.size(), 8u << 20) << c.file;
    for (const std::string &w : c.words) EXPECT_NE(r.out.find(w), std::string::npos) << c.file << ": " << w;
    if (std::string(c.file) == "F17-te-base-wrap.fv") {
      EXPECT_EQ(r.out.find("runs at 0xFFD6"), std::string::npos) << "wrapped run address";
    }
  }
  // Text after the free space, whatever its "state" byte, is not taken for a file.
  {
    fvtest::TempDir dir;
    fvtest::Run text = fvtest::RunCommand(Tool("list " + In("F7-data-after-free-space.fv")), dir);
    EXPECT_NE(text.out.find("bytes at 0x6000 are not erased"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("they hold file"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("beyond the walk"), std::string::npos) << text.out;
  }
  // A CRC32 that does not match its data is marked; an edit inside it is refused.
  Bytes crc = ReadFile(In("F8-crc32-guided-pei-volume.fv"));
  Image image(crc);
  const Section &guarded = image.volumes()[0].files.at(0).sections.at(0);
  ASSERT_TRUE(guarded.crc32);
  crc[image.volumes()[0].offset + image.volumes()[0].files[0].offset + 24 + guarded.commonHeaderSize + 20] ^= 0x55;
  fvtest::TempDir dir;
  fvtest::WriteBytes(dir / "bad.fv", crc);
  fvtest::Run listed = fvtest::RunCommand(Tool("list " + (dir / "bad.fv")), dir);
  EXPECT_EQ(listed.status, 1);
  EXPECT_NE(listed.out.find("! CRC32 is wrong"), std::string::npos) << listed.out;
  fvtest::Run insert = fvtest::RunCommand(Tool("insert " + (dir / "bad.fv") + " " MODULE_FFS " -o " + (dir / "o.fv")), dir);
  EXPECT_EQ(insert.status, 2);
  EXPECT_NE(insert.err.find("CRC32 is wrong"), std::string::npos) << insert.err;
}

// Every command answers --help with status 0, naming the limits.
TEST(Robustness, EveryCommandHasHelp) {
  fvtest::TempDir dir;
  for (const char *command : {"", "ffs", "list", "insert", "replace", "remove", "extract", "create"}) {
    fvtest::Run r = fvtest::RunCommand(Tool(std::string(command) + " --help"), dir);
    EXPECT_EQ(r.status, 0) << command << r.err;
    EXPECT_NE(r.out.find("65536 files and sections"), std::string::npos) << command;
  }
}

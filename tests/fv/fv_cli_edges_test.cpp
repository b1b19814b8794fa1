// fvtool's command line at its edges, run as a careless user runs it: OUT
// forgotten in the earlier OUT-first form, repeatable options before the
// positional arguments, an option's name where its value is due, and the
// edits whose refusal must say what is wrong or must not ask for what
// means nothing (a run address where no image is placed).
#include "fv_test_util.h"

using namespace fv;

namespace {

std::string Tool(const std::string &args) { return std::string(FVTOOL) + " " + args; }
std::string In2(const std::string &name) { return std::string(ROBUSTNESS2_DATA) + "/" + name; }

const std::string kStall = "1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56";
const std::string kOther = "0AE8CE5D-E448-4437-A8D7-EBF5F194F731";

std::string Copy(const std::string &from, const std::string &to, const fvtest::TempDir &dir) {
  fvtest::RunCommand("cp '" + from + "' '" + (dir / to) + "'", dir);
  return dir / to;
}

}  // namespace

// The OUT-first form (`ffs OUT.ffs ... IMAGE`, `insert IMAGE OUT FILE...`,
// `create OUT ...`): an existing file the command could read as an input is
// a forgotten -o, refused with status 2 and left as it was; anything else
// (a new name, a text file) is written.
TEST(CommandLine, OutFirstFormRefusesAnInput) {
  const std::string ffsArgs = " --guid " MODULE_GUID " --name M ";
  struct Row {
    const char *label;
    std::string existing;  // copied to {OUT} first ("" for a new name, "text" for a text file)
    std::string args;      // {OUT} the output, {M} the module image
    const char *kind;      // what the refusal calls it, nullptr: written
  };
  const std::vector<Row> rows = {
      {"ffs: a PE32 image for OUT", MODULE_EFI, "ffs" + ffsArgs + "{OUT} {M}", "PE32 image"},
#ifdef MODULE_TE
      {"ffs: a TE image for OUT", MODULE_TE, "ffs" + ffsArgs + "{OUT} {M}", "TE image"},
#endif
      {"ffs: a firmware file for OUT", MODULE_FFS, "ffs" + ffsArgs + "{OUT} {M}", "firmware file"},
      {"create: a firmware image for OUT", In2("G12-two-raw.fv"), "create {OUT} --size 0x10000",
       "firmware image"},
      {"insert: a volume for OUT", In2("G12-two-raw.fv"),
       "insert " + In2("G12-two-raw.fv") + " {OUT} " + In2("G13-data.ffs"), "firmware image"},
      {"ffs: a new name", "", "ffs" + ffsArgs + "{OUT} {M}", nullptr},
      {"create: a text file", "text", "create {OUT} --size 0x10000", nullptr},
      {"insert: a new name", "", "insert " + In2("G12-two-raw.fv") + " {OUT} " + In2("G13-data.ffs"),
       nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.label);
    fvtest::TempDir dir;
    std::string out = dir / "out.bin";
    if (row.existing == "text") fvtest::WriteBytes(out, Bytes{'n', 'o', 't', 'e', '\n'});
    else if (!row.existing.empty()) Copy(row.existing, "out.bin", dir);
    Bytes before = fvtest::Exists(out) ? ReadFile(out) : Bytes();
    std::string args = row.args;
    args.replace(args.find("{OUT}"), 5, out);
    if (args.find("{M}") != std::string::npos) args.replace(args.find("{M}"), 3, MODULE_EFI);
    fvtest::Run r = fvtest::RunCommand(Tool(args), dir);
    if (!row.kind) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_NE(ReadFile(out), before);
      continue;
    }
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(std::string("is an existing ") + row.kind), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("looks like an input"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(ReadFile(out), before);
  }
}

// A repeatable option takes one value each time it is given, so the
// positional arguments may follow it: both PPIs in the dependency
// expression, in order, and the image is the module's.
TEST(CommandLine, RepeatableOptionTakesOneValue) {
  fvtest::TempDir dir;
  for (const std::string &form : {std::string("ffs {OUT}"), std::string("ffs -o {OUT}")}) {
    SCOPED_TRACE(form);
    std::string out = dir / "m.ffs";
    std::remove(out.c_str());
    std::string args = form;
    args.replace(args.find("{OUT}"), 5, out);
    fvtest::Run r = fvtest::RunCommand(
        Tool(args + " --guid " MODULE_GUID " --name M --depex-push " + kStall + " --depex-push " +
             kOther + " " MODULE_EFI),
        dir);
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes bytes = ReadFile(out);
    File f = ParseLoneFile(bytes);
    ASSERT_FALSE(f.sections.empty());
    EXPECT_EQ(DescribeDepex(f.sections[0].data(), f.sections[0].dataSize()),
              "PUSH " + kStall + " PUSH " + kOther + " AND END");
    bool image = false;
    for (const Section &s : f.sections)
      image |= s.type == kSecPe32 && Bytes(s.data(), s.data() + s.dataSize()) == fvtest::ModuleImage();
    EXPECT_TRUE(image);
  }
}

// An option's name where a value is due is refused, naming both, and
// nothing is written; the value can still be such a name in the --opt=value
// form or as a path.
TEST(CommandLine, OptionNameIsNoValue) {
  const std::string insert = "insert " + In2("G12-two-raw.fv") + " " MODULE_FFS " ";
  struct Row {
    std::string args;
    const char *refusal;  // nullptr: accepted
    const char *written;  // the file it writes, in the scratch folder
  };
  const std::vector<Row> rows = {
      {insert + "--pei-base 0xFFF00000 -o --apriori", "-o needs a value; '--apriori' is an option", nullptr},
      {insert + "--pei-base 0xFFF00000 --output --fv", "--output needs a value; '--fv' is an option", nullptr},
      {insert + "--pei-base --apriori -o x.fv", "--pei-base needs a value; '--apriori' is an option", nullptr},
      {insert + "--fv=0 --pei-base 0xFFF00000 -o --fv=0", "-o needs a value; '--fv=0' is an option", nullptr},
      {"ffs -o m.ffs --guid --name M " MODULE_EFI, "--guid needs a value; '--name' is an option", nullptr},
      {"ffs -o m.ffs --guid " MODULE_GUID " --name -o " MODULE_EFI, "--name needs a value; '-o' is an option",
       nullptr},
      {insert + "--pei-base 0xFFF00000 --apriori --output=--apriori", nullptr, "--apriori"},
      {insert + "--pei-base 0xFFF00000 --apriori -o ./--fv", nullptr, "--fv"},
      {"ffs -o m.ffs --guid " MODULE_GUID " --name=--name " MODULE_EFI, nullptr, "m.ffs"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.args);
    fvtest::TempDir dir;
    fvtest::Run r = fvtest::RunCommand("cd '" + (dir / "") + "' && " + Tool(row.args), dir);
    fvtest::Run files = fvtest::RunCommand("ls -A '" + (dir / "") + "' | grep -v '^cmd\\.'", dir);
    if (row.refusal) {
      EXPECT_EQ(r.status, 2);
      EXPECT_NE(r.err.find(row.refusal), std::string::npos) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_EQ(files.out, "");
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(files.out, std::string(row.written) + "\n");
    if (std::string(row.written) == "--apriori") {  // and the flag before it was applied
      Image image(ReadFile(dir / "--apriori"));
      EXPECT_NE(image.volumes().at(0).FindFile(kPeiAprioriGuid), nullptr);
    }
  }
}

// A run address is asked for only where an image is placed into a volume
// whose images run in place; in a volume of loaded images (DXE drivers
// linked at 0) a driver is placed as it is, and --pei-base is refused. A
// smaller file that cannot give up its room is told why.
TEST(CommandLine, RunAddressOnlyWhereAnImageRunsInPlace) {
  fvtest::TempDir dir;
  const std::string driver = "D1000000-0000-4000-8000-0000000000D1";
  fvtest::WriteBytes(dir / "dxe.fv", fvtest::TestVolume(
      0x10000, {fvtest::ModuleFile("D2000000-0000-4000-8000-0000000000D2", "Old", kFileDriver)}, 0));
  fvtest::WriteBytes(dir / "drv.ffs", fvtest::ModuleFile(driver, "Drv", kFileDriver));
  fvtest::WriteBytes(dir / "empty.fv", fvtest::TestVolume(0x10000, {}, 0));
  const std::string dxe = dir / "dxe.fv", drv = dir / "drv.ffs";
  struct Row {
    const char *label;
    std::string args;
    const char *refusal;  // nullptr: done
  };
  const std::vector<Row> rows = {
      {"a RAW file into a volume without linked images", "insert " + In2("G12-two-raw.fv") + " " +
       In2("G13-data.ffs"), nullptr},
      {"a driver into a volume of loaded images", "insert " + dxe + " " + drv, nullptr},
      {"... with --pei-base", "insert " + dxe + " " + drv + " --pei-base 0x01000000",
       "are loaded, not run in place"},
      {"a PEIM into a volume without linked images", "insert " + (dir / "empty.fv") + " " MODULE_FFS,
       "give --pei-base"},
      {"a smaller RAW file that leaves too little for a pad", "replace " + In2("G12-two-raw.fv") + " " +
       In2("G12-a-smaller.ffs"), "gives up 0x10 of the 0x118 bytes at 0x48"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.label);
    std::string out = dir / "out.fv";
    std::remove(out.c_str());
    fvtest::Run r = fvtest::RunCommand(Tool(row.args + " -o " + out), dir);
    if (row.refusal) {
      EXPECT_EQ(r.status, 2);
      EXPECT_NE(r.err.find(row.refusal), std::string::npos) << r.err;
      EXPECT_FALSE(fvtest::Exists(out));
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("runs at"), std::string::npos) << r.out;
  }
  // The driver's image is byte for byte the one given: not rebased.
  ASSERT_EQ(fvtest::RunCommand(Tool("insert " + dxe + " " + drv + " -o " + (dir / "d.fv")), dir).status, 0);
  Image image(ReadFile(dir / "d.fv"));
  const File *placed = image.volumes().at(0).FindFile(Guid::Parse(driver));
  ASSERT_NE(placed, nullptr);
  int images = 0;
  for (const Section &s : placed->sections)
    if (s.type == kSecPe32) {
      images++;
      EXPECT_EQ(Bytes(s.data(), s.data() + s.dataSize()), fvtest::ModuleImage());
    }
  EXPECT_EQ(images, 1);
  // G12's message names the reason, not a full volume.
  fvtest::Run r = fvtest::RunCommand(
      Tool("replace " + In2("G12-two-raw.fv") + " " + In2("G12-a-smaller.ffs") + " -o " + (dir / "o.fv")), dir);
  EXPECT_EQ(r.err.find("is full"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("too few for a pad file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("has no sections"), std::string::npos) << r.err;
}

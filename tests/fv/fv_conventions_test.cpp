// fvtool as a command among others: its version, help that fits a terminal,
// standard input and output, status on stderr, the JSON listing, files named
// by their UI names, and the volume, free-form and VERSION sections `ffs`
// writes (read back by fvtool, and by UEFIExtract).
#include <cstring>

#include "brotli_codec.h"
#include "fv_test_util.h"
#include "fv_tree.h"

using namespace fv;

namespace {

std::string Tool(const std::string &args) { return std::string(FVTOOL) + " " + args; }

const char kPcdPeimGuid[] = "9B3ADA4F-AE56-4C24-8DEA-F03B7558AE50";  // OVMF's PcdPeim

// twins.fv: two free-form files of one UI name, and the module, in a
// volume, all made by the tool.
void TwoOfOneName(const fvtest::TempDir &dir) {
  fvtest::WriteBytes(dir / "noise.bin", Bytes(0x40, 0x5A));
  for (const char *guid : {"11111111-0000-4000-8000-000000000001", "11111111-0000-4000-8000-000000000002"}) {
    fvtest::Run r = fvtest::RunCommand(Tool(std::string("ffs --type freeform --name Twin --guid ") + guid +
                                            " -o '" + (dir / guid) + ".ffs' '" + (dir / "noise.bin") + "'"),
                                       dir);
    EXPECT_EQ(r.status, 0) << r.err;
  }
  fvtest::Run r = fvtest::RunCommand(
      Tool("create --size 0x20000 -o '" + (dir / "twins.fv") + "' '" +
           (dir / "11111111-0000-4000-8000-000000000001.ffs") + "' '" +
           (dir / "11111111-0000-4000-8000-000000000002.ffs") + "' " MODULE_FFS),
      dir);
  EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace

// --version and every --help state the one version; help lines fit 80
// columns and a subcommand's usage names the program.
TEST(Conventions, VersionAndHelp) {
  fvtest::TempDir dir;
  fvtest::Run version = fvtest::RunCommand(Tool("--version"), dir);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "fvtool " USB_PEIM_VERSION_TEXT "\n");
  for (const char *command : {"", "ffs", "list", "insert", "replace", "remove", "extract", "create"}) {
    SCOPED_TRACE(command);
    fvtest::Run help = fvtest::RunCommand(Tool(std::string(command) + " --help"), dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("fvtool " USB_PEIM_VERSION_TEXT "\n", 0), 0u) << help.out;
    std::string usage = *command ? std::string("Usage: fvtool ") + command + " " : "Usage: fvtool ";
    EXPECT_NE(help.out.find(usage), std::string::npos) << help.out;
    std::istringstream lines(help.out);
    std::string line;
    while (std::getline(lines, line)) EXPECT_LE(line.size(), 80u) << line;
  }
}

// "-" is standard input and -o - standard output: the bytes are those a
// named file gets, and status lines stay on stderr.
TEST(Conventions, StandardInputAndOutput) {
  fvtest::TempDir dir;
  const std::string d = "'" + (dir / "") + "'";
  struct Row {
    std::string viaFiles, viaPipes;  // the same command with files and with - 
  };
  const std::vector<Row> rows = {
      {"extract " OVMF_CODE " PcdPeim --image -o " + d + "a", "extract " OVMF_CODE " PcdPeim --image -o -"},
      {"extract " MODULE_FFS " --section ui -o " + d + "a", "extract - --section ui -o - < " MODULE_FFS},
      {"ffs --guid " MODULE_GUID " --name M -o " + d + "a " MODULE_EFI,
       "ffs --guid " MODULE_GUID " --name M -o - - < " MODULE_EFI},
      {"insert " ROBUSTNESS2_DATA "/G12-two-raw.fv " MODULE_FFS " --pei-base 0xFFF00000 -o " + d + "a",
       "insert - " MODULE_FFS " --pei-base 0xFFF00000 -o - < " ROBUSTNESS2_DATA "/G12-two-raw.fv"},
      {"create --size 0x10000 -o " + d + "a " MODULE_FFS, "create --size 0x10000 -o - - < " MODULE_FFS},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.viaPipes);
    fvtest::Run files = fvtest::RunCommand(Tool(row.viaFiles), dir);
    ASSERT_EQ(files.status, 0) << files.err;
    EXPECT_EQ(files.out, "");
    fvtest::Run pipes = fvtest::RunCommand(Tool(row.viaPipes), dir);
    ASSERT_EQ(pipes.status, 0) << pipes.err;
    EXPECT_EQ(pipes.out, fvtest::ReadText(dir / "a"));  // nothing but the bytes
    EXPECT_EQ(pipes.err, files.err);
  }
  // A listing read from a pipe is the listing of the file.
  fvtest::Run listed = fvtest::RunCommand(Tool("list " OVMF_CODE), dir);
  fvtest::Run piped = fvtest::RunCommand("cat " OVMF_CODE " | " + Tool("list -"), dir);
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out, listed.out);
  // Standard input is read once.
  fvtest::Run twice = fvtest::RunCommand(Tool("insert - - -o " + d + "b < " MODULE_FFS), dir);
  EXPECT_EQ(twice.status, 2);
  EXPECT_NE(twice.err.find("standard input can be read once"), std::string::npos) << twice.err;
  EXPECT_FALSE(fvtest::Exists(dir / "b"));
}

// list --format json: the same volumes, files, offsets, names and image
// places as the text listing, as JSON that parses; a damaged image says so
// and exits 1.
TEST(Conventions, JsonListing) {
  fvtest::TempDir dir;
  fvtest::Run made = fvtest::RunCommand(
      Tool("insert " OVMF_CODE " " MODULE_FFS " --apriori -o '" + (dir / "out.fd") + "'"), dir);
  ASSERT_EQ(made.status, 0) << made.err;
  // Every file line of the text listing, rebuilt from the JSON.
  const char *script =
      "import json, sys\n"
      "d = json.load(open(sys.argv[1]))\n"
      "def vol(v, depth):\n"
      "  for f in v.get('files', []):\n"
      "    print('file', f['guid'], f['type'], hex(f['offset']).upper().replace('0X', '0x'))\n"
      "    for i in f.get('images', []): print('image', f['guid'], i['dataOffset'], i['runsAt'])\n"
      "    secs(f.get('sections', []), depth)\n"
      "def secs(ss, depth):\n"
      "  for s in ss:\n"
      "    if s['type'] == 'UI': print('ui', s['ui'])\n"
      "    if s['type'] == 'VERSION': print('version', s['buildNumber'], s['version'])\n"
      "    for v in s.get('volumes', []): vol(v, depth + 1)\n"
      "    secs(s.get('sections', []), depth)\n"
      "for v in d['volumes']: vol(v, 0)\n"
      "print('damaged', d['damaged'])\n";
  fvtest::WriteBytes(dir / "walk.py", Bytes(script, script + std::strlen(script)));
  fvtest::Run json = fvtest::RunCommand(
      Tool("list --format json '" + (dir / "out.fd") + "' > '" + (dir / "out.json") + "'") +
          " && python3 '" + (dir / "walk.py") + "' '" + (dir / "out.json") + "'",
      dir);
  ASSERT_EQ(json.status, 0) << json.err;
  fvtest::Run text = fvtest::RunCommand(Tool("list '" + (dir / "out.fd") + "'"), dir);
  ASSERT_EQ(text.status, 0);
  size_t files = 0;
  std::istringstream lines(text.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string word, guid, type, at, offset;
    words >> word >> guid >> type >> at >> offset;
    if (word != "file" || at != "at") continue;
    files++;
    EXPECT_NE(json.out.find("file " + guid + " " + type + " " + offset + "\n"), std::string::npos) << line;
  }
  EXPECT_GT(files, 50u);
  Image image(ReadFile(dir / "out.fd"));
  FoundFile module = FindFileInImage(image, Guid::Parse(MODULE_GUID), -1);
  const Section *pe32 = nullptr;
  for (const Section &s : module.file->sections)
    if (s.type == kSecPe32) pe32 = &s;
  ASSERT_NE(pe32, nullptr);
  uint64_t run = 0;
  ASSERT_TRUE(ImageRunAddress(*pe32, run));
  size_t at = module.file->offset + module.file->headerSize + pe32->offset + pe32->headerSize;
  EXPECT_NE(json.out.find("image " MODULE_GUID " " + std::to_string(at) + " " + std::to_string(run) + "\n"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("ui UsbControllerPeim\nversion 0 " USB_PEIM_VERSION_TEXT "\n"), std::string::npos);
  EXPECT_NE(json.out.find("damaged False\n"), std::string::npos);

  // A damaged volume: exit 1, "damaged": true, the fault in the volume's problems.
  Bytes bad = ReadFile(MODULE_FFS);
  Bytes volume = fvtest::TestVolume(0x10000, {bad}, 0);
  volume[50] ^= 1;  // header checksum
  fvtest::WriteBytes(dir / "bad.fv", volume);
  fvtest::Run status = fvtest::RunCommand(Tool("list --format json '" + (dir / "bad.fv") + "'"), dir);
  EXPECT_EQ(status.status, 1);
  fvtest::WriteBytes(dir / "bad.json", Bytes(status.out.begin(), status.out.end()));
  fvtest::Run damaged = fvtest::RunCommand(
      "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
      "print(d[\"damaged\"], d[\"volumes\"][0][\"problems\"])' '" + (dir / "bad.json") + "'",
      dir);
  EXPECT_NE(damaged.out.find("True ['header checksum is wrong']"), std::string::npos) << damaged.out << damaged.err;
}

// A file named by its UI name: the same as by GUID; a name that fits
// several files is refused listing them; one that fits none is refused.
TEST(Conventions, FileByUiName) {
  fvtest::TempDir dir;
  fvtest::Run byName = fvtest::RunCommand(
      Tool("extract " OVMF_CODE " PcdPeim -o '" + (dir / "name.ffs") + "'"), dir);
  fvtest::Run byGuid = fvtest::RunCommand(
      Tool("extract " OVMF_CODE " " + std::string(kPcdPeimGuid) + " -o '" + (dir / "guid.ffs") + "'"), dir);
  ASSERT_EQ(byName.status, 0) << byName.err;
  ASSERT_EQ(byGuid.status, 0) << byGuid.err;
  EXPECT_EQ(ReadFile(dir / "name.ffs"), ReadFile(dir / "guid.ffs"));

  TwoOfOneName(dir);
  const std::string twins = "'" + (dir / "twins.fv") + "'";
  struct Row {
    std::string args;
    int status;
    std::vector<std::string> said;  // on stderr
  };
  const std::vector<Row> rows = {
      {"remove " + twins + " Twin -o '" + (dir / "x.fv") + "'", 2,
       {"'Twin' names 2 files in the image: 11111111-0000-4000-8000-000000000001 in volume #0, "
        "11111111-0000-4000-8000-000000000002 in volume #0; give the GUID"}},
      {"extract " + twins + " Nobody -o '" + (dir / "x.fv") + "'", 2,
       {"no file named 'Nobody' in the image"}},
      {"extract " + twins + " Twin --fv 1 -o '" + (dir / "x.fv") + "'", 2, {"no volume #1"}},
      {"remove " + twins + " UsbControllerPeim -o '" + (dir / "y.fv") + "'", 0, {}},
      {"extract " MODULE_FFS " UsbControllerPeim --image -o '" + (dir / "z.efi") + "'", 0, {}},
      {"extract " MODULE_FFS " PcdPeim --image -o '" + (dir / "w.efi") + "'", 2,
       {"the file is " MODULE_GUID " (\"UsbControllerPeim\"), not PcdPeim"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.args);
    fvtest::Run r = fvtest::RunCommand(Tool(row.args), dir);
    EXPECT_EQ(r.status, row.status) << r.err;
    for (const std::string &s : row.said) EXPECT_NE(r.err.find(s), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fvtest::Exists(dir / "x.fv"));
  Image removed(ReadFile(dir / "y.fv"));
  EXPECT_EQ(removed.volumes()[0].FindFile(Guid::Parse(MODULE_GUID)), nullptr);
  EXPECT_EQ(ReadFile(dir / "z.efi"), fvtest::ModuleImage());
}

// ffs --type fv-image and freeform: the volume or data held whole, the
// volume's data on its alignment, the dependency expression, UI and
// VERSION sections; a file that is not a volume is refused for fv-image.
TEST(Conventions, VolumeAndFreeformFiles) {
  fvtest::TempDir dir;
  Bytes inner = fvtest::TestVolume(0x10000, {fvtest::ModuleFile(MODULE_GUID, "UsbControllerPeim")}, 0, 0x1000);
  fvtest::WriteBytes(dir / "inner.fv", inner);
  fvtest::WriteBytes(dir / "data.bin", Bytes{1, 2, 3, 4, 5});
  const std::string memory = "F894643D-C449-42D1-8EA8-85BDD8C65BDE";
  struct Row {
    std::string args;
    uint8_t fileType, dataType;
    const Bytes *data;
    bool depex;
  };
  const std::vector<Row> rows = {
      {"--type fv-image --depex-push " + memory + " --file-version 2.5 --build-number 9 '" + (dir / "inner.fv") + "'",
       kFileFvImage, kSecFvImage, &inner, true},
      {"--type fv-image '" + (dir / "inner.fv") + "'", kFileFvImage, kSecFvImage, &inner, false},
  };
  Bytes data = {1, 2, 3, 4, 5};
  std::vector<Row> all = rows;
  all.push_back({"--type freeform --name Blob --file-version 2.5 --build-number 9 '" + (dir / "data.bin") + "'",
                 kFileFreeform, kSecRaw, &data, false});
  for (const Row &row : all) {
    SCOPED_TRACE(row.args);
    fvtest::Run r = fvtest::RunCommand(
        Tool("ffs --guid 22222222-0000-4000-8000-000000000001 -o '" + (dir / "f.ffs") + "' " + row.args), dir);
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes bytes = ReadFile(dir / "f.ffs");
    File f = ParseLoneFile(bytes);
    EXPECT_EQ(f.type, row.fileType);
    const Section *held = nullptr, *version = nullptr, *depex = nullptr;
    for (const Section &s : f.sections) {
      if (s.type == row.dataType && s.dataSize() == row.data->size()) held = &s;
      if (s.type == kSecVersion) version = &s;
      if (s.type == kSecPeiDepex) depex = &s;
    }
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(Bytes(held->data(), held->data() + held->dataSize()), *row.data);
    if (row.fileType == kFileFvImage) {
      EXPECT_EQ(FileDataAlignment(f.attributes), 0x1000u);
      EXPECT_EQ((held->offset + held->headerSize) % 0x1000, 0u);
      ASSERT_EQ(held->volumes.size(), 1u);  // read as a volume
      EXPECT_NE(held->volumes[0].FindFile(Guid::Parse(MODULE_GUID)), nullptr);
    }
    EXPECT_EQ(depex != nullptr, row.depex);
    if (depex) {
      EXPECT_EQ(DescribeDepex(depex->data(), depex->dataSize()), "PUSH " + memory + " END");
    }
    EXPECT_EQ(version != nullptr, row.args.find("--file-version") != std::string::npos);
    if (version) {
      EXPECT_EQ(DescribeVersion(version->data(), version->dataSize()), "build 9 \"2.5\"");
    }
  }
  // The volume file goes into a volume and is walked there.
  fvtest::Run in = fvtest::RunCommand(Tool("create --size 0x20000 -o '" + (dir / "outer.fv") + "' '" +
                                           (dir / "f.ffs") + "'"),
                                      dir);
  ASSERT_EQ(in.status, 0) << in.err;
  fvtest::Run bad = fvtest::RunCommand(
      Tool("ffs --type fv-image --guid 22222222-0000-4000-8000-000000000001 -o '" + (dir / "g.ffs") + "' '" +
           (dir / "data.bin") + "'"),
      dir);
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("data.bin: "), std::string::npos) << bad.err;
  EXPECT_FALSE(fvtest::Exists(dir / "g.ffs"));
  fvtest::Run unnamed = fvtest::RunCommand(
      Tool("ffs --guid 22222222-0000-4000-8000-000000000001 -o '" + (dir / "g.ffs") + "' " MODULE_EFI), dir);
  EXPECT_EQ(unnamed.status, 2);
  EXPECT_NE(unnamed.err.find("a peim file needs --name"), std::string::npos) << unnamed.err;
}

// UEFIExtract reads the build's firmware file, in a volume, with its
// VERSION section: the project's version and build 0.
TEST(Conventions, UefiExtractReadsTheVersionSection) {
  fvtest::TempDir dir;
  fvtest::Run made = fvtest::RunCommand(
      Tool("create --size 0x10000 -o '" + (dir / "v.fv") + "' " MODULE_FFS), dir);
  ASSERT_EQ(made.status, 0) << made.err;
  fvtest::Run dump = fvtest::RunCommand("cd '" + (dir / "") + "' && UEFIExtract v.fv all", dir);
  ASSERT_EQ(dump.status, 0) << dump.out << dump.err;
  fvtest::Run info = fvtest::RunCommand(
      "cat '" + (dir / "v.fv.dump") + "'/*/*UsbControllerPeim/*'Version section'/info.txt", dir);
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Build number: 0\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Version string: " USB_PEIM_VERSION_TEXT "\n"), std::string::npos) << info.out;
}

// Names from EDK2's .dec files where the hand-typed table has none (the PCD
// and status-code PPIs), the hand-typed names kept where both have one; the
// checked-in table is what the generator makes of the source the test bed
// fetched, where it did.
TEST(Conventions, GuidNamesFromEdk2Declarations) {
  struct Row {
    const char *guid, *name;
  };
  const std::vector<Row> rows = {
      {"06E81C58-4AD7-44BC-8390-F10265F72480", "gPcdPpiGuid"},
      {"229832D3-7A30-4B36-B827-F40CB7D45436", "gEfiPeiStatusCodePpiGuid"},
      {"3D532050-5CDA-4FD0-879E-0F7F630D5AFB", "gBrotliCustomDecompressGuid"},
      {"1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56", "gEfiPeiStallPpiGuid"},
      {"EE4E5898-3914-4259-9D6E-DC7BD79403CF", "LZMA compressed"},  // not gLzmaCustomDecompressGuid
      {"1B45CC0A-156A-428A-AF62-49864DA0E6E6", "PEI apriori file"},
  };
  std::vector<Guid> depex;
  for (const Row &row : rows) depex.push_back(Guid::Parse(row.guid));
  ModuleFileParams params;
  params.name = Guid::Parse(MODULE_GUID);
  params.uiName = "M";
  params.depexPush = depex;
  fvtest::TempDir dir;
  fvtest::WriteBytes(dir / "m.ffs", BuildModuleFile(params, fvtest::ModuleImage()));
  fvtest::Run list = fvtest::RunCommand(Tool("list '" + (dir / "m.ffs") + "'"), dir);
  ASSERT_EQ(list.status, 0) << list.err;
  for (const Row &row : rows)
    EXPECT_NE(list.out.find(std::string(row.guid) + " (" + row.name + ")"), std::string::npos)
        << row.name << "\n" << list.out;

  if (!fvtest::Exists(EDK2_SOURCE "/MdePkg/MdePkg.dec")) GTEST_SKIP() << "no EDK2 source at " EDK2_SOURCE;
  fvtest::Run generated = fvtest::RunCommand(GUID_GENERATOR " " EDK2_SOURCE, dir);
  ASSERT_EQ(generated.status, 0) << generated.err;
  EXPECT_EQ(generated.out, fvtest::ReadText(GUID_TABLE)) << "run " GUID_GENERATOR " again";
}

// Inserting into OVMF recompresses its main volume's 13 MiB LZMA section:
// progress lines on stderr while it is packed, and UEFIExtract unpacks the
// result and finds the module in it (EDK2's decompressor reads it in the
// QEMU boots).
TEST(Conventions, RecompressedOvmfReadByUefiExtract) {
  fvtest::TempDir dir;
  fvtest::Run insert = fvtest::RunCommand(
      Tool("insert " OVMF_CODE " " MODULE_FFS " -o '" + (dir / "out.fd") + "'"), dir);
  ASSERT_EQ(insert.status, 0) << insert.err;
  for (const char *percent : {"0%", "25%", "50%", "75%"})
    EXPECT_NE(insert.err.find("fvtool: packing LZMA section EE4E5898-3914-4259-9D6E-DC7BD79403CF "
                              "(0xCE0090 bytes, 6 bt3): " + std::string(percent) + "\n"),
              std::string::npos)
        << insert.err;
  fvtest::Run report = fvtest::RunCommand("cd '" + (dir / "") + "' && UEFIExtract out.fd report", dir);
  ASSERT_EQ(report.status, 0) << report.out << report.err;
  std::string text = fvtest::ReadText(dir / "out.fd.report.txt");
  EXPECT_NE(text.find(MODULE_GUID " | UsbControllerPeim"), std::string::npos) << text.substr(0, 2000);
  EXPECT_NE(text.find("PeiCore"), std::string::npos);
}

// --fv takes a volume's number, the name GUID of its extended header or
// the GUID of the FV_IMAGE file holding it; a file holding two volumes, or
// a GUID nothing answers to, is refused.
TEST(Conventions, VolumeByNumberNameOrFile) {
  fvtest::TempDir dir;
  const std::string extract = "extract " OVMF_CODE " PcdPeim -o '" + (dir / "out") + "' --fv ";
  struct Row {
    std::string volume;
    int status;
    const char *said;
  };
  const std::vector<Row> rows = {
      {"1", 0, ""},
      {"6938079B-B503-4E3D-9D24-B28337A25806", 0, ""},  // the PEI volume's name
      {"7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1", 2, "no file named 'PcdPeim' in volume #2"},  // the DXE volume's: not there
      {"9E21FD93-9C72-4C15-8C4B-E77F1DB2D792", 2,
       "--fv 9E21FD93-9C72-4C15-8C4B-E77F1DB2D792 names 2 volumes: volume #1 (in that file), "
       "volume #2 (in that file); give the number"},
      {"11111111-2222-3333-4444-555555555555", 2,
       "--fv 11111111-2222-3333-4444-555555555555: no volume has that name, and no file of that name"},
      {"PEI", 2, "--fv: 'PEI' is not a number"},
  };
  Bytes expected;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.volume);
    fvtest::Run r = fvtest::RunCommand(Tool(extract + row.volume), dir);
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_NE(r.err.find(row.said), std::string::npos) << r.err;
    if (row.status != 0) continue;
    Bytes got = ReadFile(dir / "out");
    if (expected.empty()) expected = got;
    EXPECT_EQ(got, expected);
  }
}

// A Brotli-compressed volume (EDK2's GUID and header) is read and edited
// like an LZMA one: the module inserted, the stream packed again and read
// back.
TEST(Conventions, BrotliSectionReadAndRewritten) {
  Bytes inner = fvtest::TestVolume(0x8000, {fvtest::ModuleFile(kPcdPeimGuid, "Core", kFilePeiCore)}, 0x820000);
  Bytes stream;
  AppendSection(stream, MakeSection(kSecFvImage, inner));
  Bytes section = MakeGuidDefinedSection(kBrotliSectionGuid, 1, {}, BrotliEncode(stream));
  Bytes file = MakeFile(Guid::Parse("9E21FD93-9C72-4C15-8C4B-E77F1DB2D792"), kFileFvImage, 0, section, true);
  fvtest::TempDir dir;
  fvtest::WriteBytes(dir / "b.fv", fvtest::TestVolume(0x10000, {file}, 0, 16));
  fvtest::Run listed = fvtest::RunCommand(Tool("list '" + (dir / "b.fv") + "'"), dir);
  ASSERT_EQ(listed.status, 0) << listed.out << listed.err;
  EXPECT_NE(listed.out.find("Brotli unpacked " + Hex(stream.size())), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("\"Core\""), std::string::npos) << listed.out;
  fvtest::Run insert = fvtest::RunCommand(
      Tool("insert '" + (dir / "b.fv") + "' " MODULE_FFS " -o '" + (dir / "c.fv") + "'"), dir);
  ASSERT_EQ(insert.status, 0) << insert.err;
  EXPECT_NE(insert.err.find("Brotli section 3D532050-5CDA-4FD0-879E-0F7F630D5AFB: "), std::string::npos)
      << insert.err;
  Image after(ReadFile(dir / "c.fv"));
  FoundFile module = FindFileInImage(after, Guid::Parse(MODULE_GUID), -1);
  EXPECT_EQ(module.volume->index, 1);
  // The stream packed again unpacks to the edited volume.
  const Section *brotli = nullptr;
  for (const Section &sec : after.volumes()[0].files[0].sections)
    if (sec.brotli) brotli = &sec;
  ASSERT_NE(brotli, nullptr);
  EXPECT_EQ(BrotliDecode(brotli->data(), brotli->dataSize()), *brotli->unpacked);
  EXPECT_GE(Get64(brotli->data() + 8), uint64_t(1) << 20);  // the scratch the decoder is given
}

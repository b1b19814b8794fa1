// TE images in firmware files and volumes: the module's TE file keeps the
// PE32 file's sections, insert links a TE image to run where its header
// lies (base aligned, every fixup moved, nothing else changed), and
// malformed TE images are refused by the built fvtool with one line.
#include "fv_test_util.h"
#include "fv_tree.h"
#include "te_test_image.h"

using namespace fv;

namespace {

const char kCoreGuid[] = "11111111-2222-4333-8444-555555555555";
std::string Tool(const std::string &args) { return std::string(FVTOOL) + " " + args; }

Bytes SectionBytesOf(const Section &s) { return Bytes(s.start, s.start + s.size); }

Bytes ModuleTe() { return tetest::TeFromPe(fvtest::ModuleImage()); }

// The module's TE image with its header 4 bytes further from the sections:
// StrippedSize 4 less and 4 bytes after the section table, so that the
// header lies 4 bytes off the 8-byte boundary its base needs.
Bytes ShiftedTe() {
  Bytes te = ModuleTe();
  tetest::Put16(te, tetest::kTeStrippedSize, Get16(&te[tetest::kTeStrippedSize]) - 4);
  te.insert(te.begin() + long(tetest::kTeSections + 40 * te[4]), 4, 0);
  return te;
}

Bytes TeModuleFile(const Bytes &te, const std::string &guid = MODULE_GUID) {
  ModuleFileParams params;
  params.name = Guid::Parse(guid);
  params.uiName = "UsbControllerPeim";
  params.depexPush = {kStallPpiGuid};
  return BuildModuleFile(params, te);
}

const Section *ImageSection(const File &f) {
  for (const Section &s : f.sections)
    if (s.type == kSecPe32 || s.type == kSecTe) return &s;
  return nullptr;
}

pe::Image ParsedTe(const Section &s) {
  pe::Image image;
  std::string error;
  EXPECT_TRUE(pe::ParseTe(Bytes(s.data(), s.data() + s.dataSize()), image, error)) << error;
  return image;
}

// The TE image in f lies at `where` (its header) and is linked to run
// there: ImageBase is where - (StrippedSize - 40), a multiple of 8 so that
// every section lands on the alignment it was linked for, and compared with
// the image as built, exactly the ImageBase field and the four bytes of each
// fixup differ, each fixup by the distance the image moved.
void ExpectTeRunsInPlace(const File &f, uint64_t volumeBase, const Bytes &built) {
  const Section *s = ImageSection(f);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->type, kSecTe);
  uint64_t where = volumeBase + f.offset + f.headerSize + s->offset + s->headerSize;
  uint64_t run = 0;
  ASSERT_TRUE(ImageRunAddress(*s, run));
  EXPECT_EQ(run, where);
  pe::Image placed = ParsedTe(*s);
  EXPECT_EQ(uint64_t(placed.imageBase), where - (placed.strippedSize - 40));
  EXPECT_EQ(placed.imageBase % 8, 0u);
  for (const pe::Section &section : placed.sections)
    EXPECT_EQ((placed.imageBase + section.virtualAddress) % 8, 0u) << section.name;

  ASSERT_EQ(placed.bytes.size(), built.size());
  pe::Image original;
  std::string error;
  ASSERT_TRUE(pe::ParseTe(built, original, error)) << error;
  ASSERT_FALSE(original.relocations.empty());
  const uint32_t delta = placed.imageBase - original.imageBase;
  std::vector<bool> mayDiffer(built.size(), false);
  for (size_t i = tetest::kTeImageBase; i < tetest::kTeImageBase + 8; i++) mayDiffer[i] = true;
  for (uint32_t rva : original.relocations) {
    // In an image that runs in place a section's file offset is its RVA;
    // in the TE file, less the headers the TE header replaced.
    size_t at = rva - original.headerRva;
    ASSERT_LE(at + 4, built.size());
    EXPECT_EQ(Get32(&placed.bytes[at]) - Get32(&built[at]), delta) << "fixup at RVA " << rva;
    for (size_t i = at; i < at + 4; i++) mayDiffer[i] = true;
  }
  for (size_t i = 0; i < built.size(); i++)
    if (!mayDiffer[i]) {
      ASSERT_EQ(placed.bytes[i], built[i]) << "byte " << i << " changed";
    }
}

}  // namespace

// The TE file has the PE32 file's name, type, dependency expression and UI
// section, the TE image unchanged in a TE section, and a data alignment
// that puts the image's base (below the TE header) on an 8-byte boundary.
TEST(Te, FfsKeepsTheModuleFileSectionsWithATeSection) {
  for (const Bytes &te : {ModuleTe(), ShiftedTe()}) {
    Bytes teFile = TeModuleFile(te);
    Bytes peFile = fvtest::ModuleFile(MODULE_GUID, "UsbControllerPeim");
    File t = ParseLoneFile(teFile), p = ParseLoneFile(peFile);
    EXPECT_EQ(t.name, p.name);
    EXPECT_EQ(t.type, p.type);
    ASSERT_GE(t.sections.size(), 3u);
    EXPECT_EQ(t.sections.front().type, kSecPeiDepex);
    EXPECT_EQ(SectionBytesOf(t.sections.front()), SectionBytesOf(p.sections.front()));
    EXPECT_EQ(SectionBytesOf(t.sections.back()), SectionBytesOf(p.sections.back()));
    const Section *s = ImageSection(t);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->type, kSecTe);
    EXPECT_EQ(Bytes(s->data(), s->data() + s->dataSize()), te);
    pe::Image image = ParsedTe(*s);
    uint32_t alignment = FileDataAlignment(t.attributes);
    EXPECT_GE(alignment, 8u);
    EXPECT_EQ((s->offset + s->headerSize - image.headerRva) % alignment, 0u);
    for (const Section &section : t.sections) EXPECT_NE(section.type, kSecPe32);
  }
}

// Through the LZMA-compressed outer volume, at run addresses that need a
// pad of each size, in and out of the apriori list: linked to run in place,
// and nothing else in the image changed.
TEST(Te, InsertRebasesForExecuteInPlace) {
  struct Case {
    uint64_t base;
    bool apriori;
    bool shifted;  // the header 4 bytes off the base's alignment
  };
  const Case cases[] = {
      {0xFFF80000, true, false}, {0xFFF80004, false, false}, {0x820000, true, false},
      {0x82000C, true, false},   {0xFFF80000, true, true},   {0xFFF80004, false, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("volume at " + Hex(c.base) + (c.apriori ? ", apriori" : "") +
                 (c.shifted ? ", header 4 bytes off" : ""));
    const Bytes te = c.shifted ? ShiftedTe() : ModuleTe();
    Bytes inner = fvtest::TestVolume(0x8000, {fvtest::ModuleFile(kCoreGuid, "Core", kFilePeiCore)},
                                     c.base);
    Image before(fvtest::CompressedImage(inner, 0x10000));
    InsertRequest request;
    request.files = {TeModuleFile(te)};
    request.apriori = c.apriori;
    std::vector<std::string> log;
    Image after(InsertFiles(before, request, log));
    const Volume &v = SelectPeiVolume(after, 1);
    EXPECT_EQ(VolumeRunBase(v), c.base);
    const File *added = v.FindFile(Guid::Parse(MODULE_GUID));
    ASSERT_NE(added, nullptr);
    ExpectTeRunsInPlace(*added, c.base, te);
    fvtest::ExpectOnlyIntended(before.bytes(), after.bytes(), {Guid::Parse(MODULE_GUID)});
    bool logged = false;
    for (const std::string &line : log)
      if (line.find(", TE data at ") != std::string::npos) logged = true;
    EXPECT_TRUE(logged);

    // Replaced by itself, as placed: in place, still linked right.
    ReplaceRequest replace;
    replace.file = added->bytes();
    replace.label = "itself";
    Image again(ReplaceFile(after, replace, log));
    const File *kept = SelectPeiVolume(again, 1).FindFile(Guid::Parse(MODULE_GUID));
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->offset, added->offset);
    ExpectTeRunsInPlace(*kept, c.base, te);
  }
}

// A placed TE image is linked to where it lies, so it may not move; one not
// yet linked anywhere (ImageBase 0) may. A volume of TE images alone still
// tells where it runs.
TEST(Te, PlacedImagesArePositionDependent) {
  Bytes loose = TeModuleFile(ModuleTe());
  File unplaced = ParseLoneFile(loose);
  uint64_t run = 0;
  EXPECT_FALSE(ImageRunAddress(*ImageSection(unplaced), run));
  EXPECT_FALSE(PositionDependent(*ImageSection(unplaced)));

  Bytes volume = fvtest::TestVolume(0x4000, {loose}, 0xFFFC0000);
  Image image(volume);
  const File *placed = image.volumes()[0].FindFile(Guid::Parse(MODULE_GUID));
  ASSERT_NE(placed, nullptr);
  EXPECT_TRUE(PositionDependent(*ImageSection(*placed)));
  EXPECT_EQ(VolumeRunBase(image.volumes()[0]), 0xFFFC0000u);
  ExpectTeRunsInPlace(*placed, 0xFFFC0000, ModuleTe());
}

// fvtool as a user runs it: each malformed TE image, or one that cannot be
// placed, is refused with one line naming the file, status 2, nothing
// written. ffs reads the image itself; insert reads it inside a firmware
// file made without ffs's checks.
TEST(Te, MalformedImagesAreRefusedByTheTool) {
  fvtest::TempDir dir;
  const Bytes te = ModuleTe();
  pe::Image parsed;
  std::string error;
  ASSERT_TRUE(pe::ParseTe(te, parsed, error)) << error;
  auto with = [&](const std::function<void(Bytes &)> &plant) {
    Bytes b = te;
    plant(b);
    return b;
  };
  // A firmware file holding the image in a TE (or PE32) section as it is.
  auto rawFile = [](const Bytes &image, uint8_t type = kSecTe) {
    Bytes body;
    AppendSection(body, MakeSection(kSecPeiDepex, MakeDepexAll({kStallPpiGuid})));
    AppendSection(body, MakeSection(type, image));
    return MakeFile(Guid::Parse(MODULE_GUID), kFilePeim, 0, body, true);
  };
  struct Case {
    const char *label;
    const char *command;  // "ffs" or "insert"
    Bytes input;          // the image (ffs) or the firmware file (insert)
    const char *words;
  };
  const std::vector<Case> cases = {
      {"StrippedSize below the TE header", "ffs",
       with([](Bytes &b) { tetest::Put16(b, tetest::kTeStrippedSize, 0x20); }),
       "StrippedSize 0x20"},
      {"a section below the header", "ffs",
       with([&](Bytes &b) {
         // PointerToRawData 8 bytes into the file: inside the TE header.
         tetest::Put32(b, tetest::kTeSections + 20, parsed.headerRva + 8);
       }),
       "section 1"},
      {"a base that wraps past 4 GiB", "ffs",
       with([](Bytes &b) { tetest::Put32(b, tetest::kTeImageBase, 0xFFFFFF00); }),
       "does not fit below 4 GiB"},
      {"a base above 4 GiB", "ffs",
       with([](Bytes &b) { tetest::Put32(b, tetest::kTeImageBase + 4, 1); }), "not below 4 GiB"},
      {"truncated section table", "ffs", Bytes(te.begin(), te.begin() + 60), "truncated TE image"},
      {"StrippedSize below the TE header, in a file", "insert",
       rawFile(with([](Bytes &b) { tetest::Put16(b, tetest::kTeStrippedSize, 0x27); })),
       "StrippedSize 0x27"},
      {"no relocation directory, and it must move", "insert",
       rawFile(with([](Bytes &b) {
         tetest::Put32(b, tetest::kTeRelocations, 0);
         tetest::Put32(b, tetest::kTeRelocations + 4, 0);
       })),
       "without a relocation directory"},
      {"a PE32 image in a TE section", "insert", rawFile(fvtest::ModuleImage()),
       "holds a PE32 image"},
      {"a TE image in a PE32 section", "insert", rawFile(te, kSecPe32), "holds a TE image"},
  };
  // An empty volume: where it runs comes from --pei-base.
  fvtest::WriteBytes(dir / "pei.fv", fvtest::TestVolume(0x8000, {}, 0));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    std::string in = dir / (std::string(c.command) + "-input"), out = dir / "out";
    fvtest::WriteBytes(in, c.input);
    std::string command = std::string(c.command) == "ffs"
        ? "ffs -o " + out + " --guid " MODULE_GUID " --name X " + in
        : "insert " + (dir / "pei.fv") + " " + in + " --pei-base 0xFFF00000 -o " + out;
    fvtest::Run r = fvtest::RunCommand(Tool(command), dir);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(in), std::string::npos) << "does not name the file: " << r.err;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
    EXPECT_FALSE(fvtest::Exists(out));
  }

  // A header so low in the address space that the base, StrippedSize - 40
  // bytes below it, would lie below 0.
  fvtest::WriteBytes(dir / "te.ffs", TeModuleFile(te));
  fvtest::Run r = fvtest::RunCommand(
      Tool("insert " + (dir / "pei.fv") + " " + (dir / "te.ffs") + " --pei-base 0 -o " +
           (dir / "out")),
      dir);
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  EXPECT_NE(r.err.find("below address 0"), std::string::npos) << r.err;
  EXPECT_FALSE(fvtest::Exists(dir / "out"));
}

// The tool end to end: ffs on a TE image, insert, list showing where it runs.
TEST(Te, FfsInsertListWithTheTool) {
  fvtest::TempDir dir;
  fvtest::WriteBytes(dir / "m.te", ModuleTe());
  Bytes core = fvtest::ModuleFile(kCoreGuid, "Core", kFilePeiCore);
  fvtest::WriteBytes(dir / "pei.fv", fvtest::TestVolume(0x8000, {core}, 0xFFF80000));
  fvtest::Run ffs = fvtest::RunCommand(
      Tool("ffs -o " + (dir / "m.ffs") + " --guid " MODULE_GUID " --name UsbControllerPeim "
           "--depex-push 1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56 " + (dir / "m.te")),
      dir);
  ASSERT_EQ(ffs.status, 0) << ffs.err;
  fvtest::Run insert = fvtest::RunCommand(
      Tool("insert " + (dir / "pei.fv") + " " + (dir / "m.ffs") + " --apriori -o " +
           (dir / "o.fv")),
      dir);
  ASSERT_EQ(insert.status, 0) << insert.err;
  fvtest::Run list = fvtest::RunCommand(Tool("list " + (dir / "o.fv")), dir);
  ASSERT_EQ(list.status, 0) << list.err;
  Image out(ReadFile(dir / "o.fv"));
  const File *f = out.volumes()[0].FindFile(Guid::Parse(MODULE_GUID));
  ASSERT_NE(f, nullptr);
  ExpectTeRunsInPlace(*f, 0xFFF80000, ModuleTe());
  pe::Image placed = ParsedTe(*ImageSection(*f));
  uint64_t run = 0;
  ASSERT_TRUE(ImageRunAddress(*ImageSection(*f), run));
  size_t at = f->offset + f->headerSize + ImageSection(*f)->offset + ImageSection(*f)->headerSize;
  EXPECT_NE(list.out.find("section TE at " + Hex(ImageSection(*f)->offset) + " size " +
                          Hex(ImageSection(*f)->size) + " ImageBase " + Hex(placed.imageBase) +
                          " StrippedSize " + Hex(placed.strippedSize) + " entry " +
                          Hex(placed.entryRva)),
            std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("image data at " + Hex(at) + " runs at " + Hex(run)), std::string::npos)
      << list.out;
  EXPECT_NE(insert.err.find("TE data at " + Hex(at) + " runs at " + Hex(run)), std::string::npos)
      << insert.err;
}

#ifdef MODULE_TE_FFS
// The build's UsbControllerPeim.te.ffs: the PE32 file's name, dependency
// expression and UI section around the build's TE image.
TEST(Te, BuiltTeModuleFile) {
  Bytes teFfs = ReadFile(MODULE_TE_FFS), peFfs = ReadFile(MODULE_FFS);
  File t = ParseLoneFile(teFfs), p = ParseLoneFile(peFfs);
  EXPECT_EQ(t.name.ToString(), MODULE_GUID);
  EXPECT_EQ(t.type, p.type);
  EXPECT_EQ(SectionBytesOf(t.sections.front()), SectionBytesOf(p.sections.front()));
  EXPECT_EQ(SectionBytesOf(t.sections.back()), SectionBytesOf(p.sections.back()));
  const Section *s = ImageSection(t);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->type, kSecTe);
  EXPECT_EQ(Bytes(s->data(), s->data() + s->dataSize()), ReadFile(MODULE_TE));
}
#endif

// A TE image linked to where it lies, after a compressed stream that grows,
// would move: the edit is refused, as for PE32. One not linked anywhere
// (ImageBase 0) moves with its section.
TEST(Te, EditThatWouldMoveALinkedTeImageIsRefused) {
  Bytes inner = fvtest::TestVolume(0x8000, {fvtest::ModuleFile(kCoreGuid, "Core", kFilePeiCore)},
                                   0xFFF80000);
  Bytes stream;
  AppendSection(stream, MakeSection(kSecRaw, Bytes(0x78, 0)));
  AppendSection(stream, MakeSection(kSecFvImage, inner));
  LzmaProperties props;
  Bytes lzma = MakeGuidDefinedSection(kLzmaSectionGuid, 1, {}, LzmaEncode(stream, props));
  for (bool linked : {true, false}) {
    SCOPED_TRACE(linked ? "linked" : "not linked");
    pe::Image te;
    std::string error;
    ASSERT_TRUE(pe::ParseTe(ModuleTe(), te, error)) << error;
    if (linked) {
      ASSERT_TRUE(pe::RebaseFile(te, 0xFFF00000, error)) << error;
    }
    Bytes body = lzma;
    AppendSection(body, MakeSection(kSecTe, te.bytes));
    Bytes file = MakeFile(Guid::Parse("9E21FD93-9C72-4C15-8C4B-E77F1DB2D792"), kFileFvImage, 0,
                          body, true);
    Image image(fvtest::TestVolume(0x20000, {file}, 0, 16));
    ASSERT_EQ(image.AllVolumes().size(), 2u);
    InsertRequest request;
    request.files = {fvtest::NoiseFile("22222222-3333-4444-8555-666666666666", 0x800)};
    request.volumeIndex = 1;
    std::vector<std::string> log;
    if (linked) {
      try {
        InsertFiles(image, request, log);
        ADD_FAILURE() << "the TE image moved";
      } catch (const Error &e) {
        EXPECT_NE(std::string(e.what()).find("(TE) at "), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("linked to where it lies"), std::string::npos)
            << e.what();
      }
    } else {
      Image after(InsertFiles(image, request, log));
      const File &moved = after.volumes()[0].files.at(0);
      ASSERT_EQ(moved.sections.size(), 2u);
      EXPECT_GT(moved.sections[1].offset, image.volumes()[0].files[0].sections[1].offset);
      const Section &s = moved.sections[1];
      EXPECT_EQ(Bytes(s.data(), s.data() + s.dataSize()), te.bytes);
    }
  }
}

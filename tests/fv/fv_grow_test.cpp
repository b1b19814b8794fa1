// A replaced file that outgrows its place and the free room after it: the
// files after it move later, each image in them linked again where it now
// lies, and everything else stays; refused, naming the file and why, where
// one of them cannot move.
#include <functional>

#include "fv_test_util.h"

using namespace fv;

namespace {

constexpr uint64_t kBase = 0x00800000;
const char *const kGrown = "11111111-0000-4000-8000-000000000001";
const char *const kPad = "11111111-0000-4000-8000-0000000000AA";
const char *const kTail = "11111111-0000-4000-8000-0000000000BB";
const char *const kBlocker = "11111111-0000-4000-8000-0000000000CC";

std::string PeimGuid(int i) { return "22222222-0000-4000-8000-00000000000" + std::to_string(i); }

Bytes Grow(const Bytes &before, size_t growth, std::vector<std::string> &log) {
  ReplaceRequest request;
  request.file = fvtest::NoiseFile(kGrown, 0x200 + growth);
  request.label = "grown.ffs";
  return ReplaceFile(Image(before), request, log);
}

const File &Named(const Volume &v, const char *guid) {
  const File *f = v.FindFile(Guid::Parse(guid));
  EXPECT_NE(f, nullptr) << guid;
  return *f;
}

// The files of `before` (other than the replaced one) that lie elsewhere in
// `after`; each image in them must be linked to run where it now lies at
// kBase, and be the image it was, relocated there.
std::set<Guid> MovedAndLinked(const Volume &before, const Volume &after, const Guid &replaced) {
  std::set<Guid> moved;
  for (const File &fb : before.files) {
    if (fb.type == kFilePad || fb.name == replaced) continue;
    const File *fa = after.FindFile(fb.name);
    EXPECT_NE(fa, nullptr) << fb.name.ToString();
    if (!fa || fa->offset == fb.offset) continue;
    moved.insert(fb.name);
    EXPECT_EQ((fa->offset + fa->headerSize) % FileDataAlignment(fa->attributes), 0u);
    const Section *was = nullptr;
    for (const Section &s : fb.sections)
      if (s.type == kSecPe32) was = &s;
    for (const Section &s : fa->sections) {
      if (s.type != kSecPe32) continue;
      uint64_t run = 0;
      EXPECT_TRUE(ImageRunAddress(s, run)) << fb.name.ToString();
      uint64_t base = VolumeRunBase(before);
      EXPECT_EQ(run, base + fa->offset + fa->headerSize + s.offset + s.headerSize)
          << fb.name.ToString() << " not linked where it lies";
      pe::Image image;
      std::string error;
      bool parsed = pe::Parse(Bytes(s.data(), s.data() + s.dataSize()), image, error);
      EXPECT_TRUE(parsed && was) << error;
      if (!parsed || !was) continue;
      EXPECT_EQ(pe::MemoryLayout(image),
                fvtest::RelocatedLayout(Bytes(was->data(), was->data() + was->dataSize()), uint32_t(run)))
          << fb.name.ToString() << ": not the same image";
    }
  }
  return moved;
}

}  // namespace

// A: the grown file; P1..Pk the PEIMs after it; a removed file's pad that
// takes up the growth (or none: the files move into the free space), and a
// PEIM after it that stays where it is.
TEST(Grow, LaterFilesMoveAndTheirImagesAreLinkedWhereTheyLie) {
  struct Row {
    int peims;
    bool padStops;
  };
  for (const Row &row : std::vector<Row>{{1, true}, {2, true}, {3, true}, {3, false}}) {
    SCOPED_TRACE(std::to_string(row.peims) + (row.padStops ? " PEIMs before a pad" : " PEIMs, no pad"));
    std::vector<Bytes> files = {fvtest::NoiseFile(kGrown, 0x200)};
    std::set<Guid> expect;
    for (int i = 1; i <= row.peims; i++) {
      files.push_back(fvtest::ModuleFile(PeimGuid(i), "Peim" + std::to_string(i)));
      expect.insert(Guid::Parse(PeimGuid(i)));
    }
    if (row.padStops) files.push_back(fvtest::NoiseFile(kPad, 0x3000));
    files.push_back(fvtest::ModuleFile(kTail, "Tail"));
    if (!row.padStops) expect.insert(Guid::Parse(kTail));
    std::vector<std::string> log;
    Bytes before = fvtest::TestVolume(0x40000, files, kBase);
    if (row.padStops) before = RemoveFile(Image(before), Guid::Parse(kPad), -1, log);
    Bytes after = Grow(before, 0x400, log);
    Image b(before), a(after);
    EXPECT_EQ(MovedAndLinked(b.volumes()[0], a.volumes()[0], Guid::Parse(kGrown)), expect);
    EXPECT_TRUE(PlacementFindings(a.volumes()[0]).empty());
    std::set<Guid> changed = expect;
    changed.insert(Guid::Parse(kGrown));
    fvtest::ExpectOnlyIntended(before, after, changed);
    size_t moveLines = 0;
    for (const std::string &line : log) moveLines += line.find("bytes later)") != std::string::npos;
    EXPECT_EQ(moveLines, expect.size());
  }
}

// A volume inside an LZMA section of an FV_IMAGE file: the same moves
// inside it, the enclosing file rewritten in place.
TEST(Grow, InsideACompressedVolume) {
  Bytes inner = fvtest::TestVolume(0x10000, {fvtest::NoiseFile(kGrown, 0x200),
                                             fvtest::ModuleFile(PeimGuid(1), "Peim1"),
                                             fvtest::ModuleFile(PeimGuid(2), "Peim2")}, kBase);
  Bytes before = fvtest::CompressedImage(inner, 0x20000);
  std::vector<std::string> log;
  Bytes after = Grow(before, 0x400, log);
  Image b(before), a(after);
  ASSERT_EQ(b.AllVolumes().size(), 2u);
  ASSERT_EQ(a.AllVolumes().size(), 2u);
  EXPECT_EQ(MovedAndLinked(*b.AllVolumes()[1], *a.AllVolumes()[1], Guid::Parse(kGrown)),
            (std::set<Guid>{Guid::Parse(PeimGuid(1)), Guid::Parse(PeimGuid(2))}));
  fvtest::ExpectOnlyIntended(before, after,
                             {Guid::Parse(kGrown), Guid::Parse(PeimGuid(1)), Guid::Parse(PeimGuid(2))});
}

// The later files end exactly at the volume's end: that growth is taken,
// eight bytes more are refused.
TEST(Grow, LaterFilesThatFitExactly) {
  Bytes peim = fvtest::ModuleFile(PeimGuid(1), "Peim1");
  uint32_t m = FileDataAlignment(ParseLoneFile(peim).attributes);
  auto volume = [&](size_t n) {
    return fvtest::TestVolume(0x20000, {fvtest::NoiseFile(kGrown, 0x200), peim,
                                        fvtest::ModuleFile(PeimGuid(2), "Peim2"),
                                        fvtest::NoiseFile(kTail, n)}, kBase);
  };
  size_t tailAt = Named(Image(volume(0x100)).volumes()[0], kTail).offset;
  // The last file's size that ends it on the PEIMs' alignment.
  size_t n = AlignUp(tailAt + 28, m) + m - tailAt - 28;
  Bytes before = volume(n);
  const Image parsedBefore(before);  // kept: v refers into it
  const Volume &v = parsedBefore.volumes()[0];
  ASSERT_EQ(Named(v, kTail).offset, tailAt);
  ASSERT_EQ(v.freeStart % m, 0u);
  size_t growth = v.length - v.freeStart;
  std::vector<std::string> log;
  Bytes after = Grow(before, growth, log);
  Image a(after);
  const File &tail = Named(a.volumes()[0], kTail);
  EXPECT_EQ(tail.offset + AlignUp(tail.size, 8), a.volumes()[0].length);
  EXPECT_EQ(MovedAndLinked(Image(before).volumes()[0], a.volumes()[0], Guid::Parse(kGrown)).size(), 3u);
  fvtest::ExpectOnlyIntended(before, after,
                             {Guid::Parse(kGrown), Guid::Parse(PeimGuid(1)), Guid::Parse(PeimGuid(2)),
                              Guid::Parse(kTail)});
  try {
    Grow(before, growth + 8, log);
    ADD_FAILURE() << "eight bytes more were taken";
  } catch (const Error &e) {
    EXPECT_NE(std::string(e.what()).find("the volume has " + Hex(v.length - Named(v, kGrown).offset)), std::string::npos)
        << e.what();
  }
}

namespace {

// The module linked to run at `run` with its relocations stripped.
Bytes StrippedModuleAt(uint64_t run) {
  pe::Image image;
  std::string error;
  EXPECT_TRUE(pe::Parse(fvtest::ModuleImage(), image, error)) << error;
  EXPECT_TRUE(pe::RebaseFile(image, uint32_t(run), error)) << error;
  Bytes bytes = image.bytes;
  uint32_t coff = Get32(bytes.data() + 0x3C) + 4;
  Put16(bytes.data() + coff + 18, uint16_t(Get16(bytes.data() + coff + 18) | pe::kFileRelocsStripped));
  ModuleFileParams params;
  params.name = Guid::Parse(kBlocker);
  params.uiName = "Stripped";
  params.depexPush = {kStallPpiGuid};
  return BuildModuleFile(params, bytes);
}

Bytes NoRelocationsVolume() {
  auto volume = [](const Bytes &blocker) {
    return fvtest::TestVolume(0x20000, {fvtest::NoiseFile(kGrown, 0x200), blocker}, kBase);
  };
  // Where the module lies once placed, then the same module linked there
  // without relocations, placed at the same offset.
  Bytes first = volume(fvtest::ModuleFile(kBlocker, "Stripped"));
  const Image parsedFirst(first);  // the range below refers into it
  for (const Section &s : Named(parsedFirst.volumes()[0], kBlocker).sections) {
    uint64_t run = 0;
    if (ImageRunAddress(s, run)) return volume(StrippedModuleAt(run));
  }
  ADD_FAILURE() << "no linked image";
  return first;
}

}  // namespace

// Each file that cannot move stops the growth, and the message names it and
// why; nothing is written.
TEST(Grow, RefusedWhereAFileCannotMove) {
  struct Row {
    const char *label;
    std::function<Bytes()> volume;
    const char *reason;
  };
  auto after = [](const Bytes &blocker, uint64_t base = kBase, size_t size = 0x20000) {
    return [=] { return fvtest::TestVolume(size, {fvtest::NoiseFile(kGrown, 0x200), blocker}, base); };
  };
  ModuleFileParams nested;
  nested.name = Guid::Parse(kBlocker);
  nested.type = kFileFvImage;
  const std::vector<Row> rows = {
      {"the volume top file",
       after(MakeFile(kVolumeTopFileGuid, kFileRaw, 0, Bytes(0x600, 0xEB), true), 0, 0x1000),
       "it is the volume top file"},
      {"the SEC core", after(fvtest::ModuleFile(kBlocker, "Sec", kFileSecCore)),
       "the SEC core is entered at a fixed address"},
      {"a RAW file", after(MakeFile(Guid::Parse(kBlocker), kFileRaw, 0, Bytes(0x100, 0x5A), true)),
       "a RAW file may be found by its address"},
      {"a volume that runs where it lies",
       after(BuildVolumeFile(nested, fvtest::TestVolume(0x1000, {}, 0, 16))),
       "it holds a volume that runs where it lies"},
      {"an image without relocations", NoRelocationsVolume, "its image has no relocations"},
      {"a full volume", after(fvtest::NoiseFile(kBlocker, 0x3600), kBase, 0x4000), "the volume has"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.label);
    Bytes before = row.volume();
    std::vector<std::string> log;
    try {
      Grow(before, 0x800, log);
      ADD_FAILURE() << "the growth was taken";
    } catch (const Error &e) {
      std::string text = e.what();
      EXPECT_NE(text.find(row.reason), std::string::npos) << text;
      EXPECT_NE(text.find("grown.ffs"), std::string::npos) << text;
      EXPECT_EQ(text.find('\n'), std::string::npos) << text;
      if (std::string(row.label) != "a full volume") {
        EXPECT_NE(text.find(row.label == std::string("the volume top file")
                                ? kVolumeTopFileGuid.ToString()
                                : std::string(kBlocker)),
                  std::string::npos)
            << text;
      }
    }
  }
}

// Debian's OVMF: a PEIM of its PEI volume replaced by a larger copy through
// fvtool; every PEIM after it moves, linked where it now lies, and nothing
// else changes.
TEST(Grow, OvmfPeimReplacedByALargerCopy) {
  fvtest::TempDir dir;
  Bytes original = ReadFile(OVMF_CODE);
  Image image(original);
  Guid name = ResolveFileName(image, "ReportStatusCodeRouterPei", -1);
  const Volume *pei = FindFileInImage(image, name, -1).volume;
  const File &old = *pei->FindFile(name);
  Bytes body(old.body(), old.body() + old.bodySize());
  AppendSection(body, MakeSection(kSecRaw, Bytes(0x300, 0)));
  fvtest::WriteBytes(dir / "big.ffs", MakeFile(old.name, old.type, old.attributes, body, true));
  fvtest::Run r = fvtest::RunCommand(std::string(FVTOOL) + " replace " OVMF_CODE " " +
                                         (dir / "big.ffs") + " -o " + (dir / "out.fd"),
                                     dir);
  ASSERT_EQ(r.status, 0) << r.err;
  Bytes edited = ReadFile(dir / "out.fd");
  Image after(edited);
  const Volume *moved = nullptr;
  for (const Volume *v : after.AllVolumes())
    if (v->index == pei->index) moved = v;
  ASSERT_NE(moved, nullptr);
  std::set<Guid> files = MovedAndLinked(*pei, *moved, name);
  size_t later = 0;
  for (const File &f : pei->files) later += f.offset > old.offset && f.type == kFilePeim;
  EXPECT_EQ(files.size(), later);
  EXPECT_EQ(PlacementFindings(*moved).size(), PlacementFindings(*pei).size());
  files.insert(name);
  fvtest::ExpectOnlyIntended(original, edited, files);
}

// Volumes the tool builds itself: placement, rebasing, insertion through an
// LZMA-compressed outer volume, apriori list, and running out of space.
#include "fv_test_util.h"
#include "fv_tree.h"

using namespace fv;

namespace {

const uint64_t kBase = 0xFFF80000;
const char kCoreGuid[] = "11111111-2222-4333-8444-555555555555";
const char kSecondGuid[] = "22222222-3333-4444-8555-666666666666";

const Section *Pe32Of(const File &f) {
  for (const Section &s : f.sections)
    if (s.type == kSecPe32) return &s;
  return nullptr;
}

// The image in f is the module linked to run exactly where it lies in a
// volume that runs at base: aligned, ImageBase right, every fixup applied.
void ExpectRunsInPlace(const File &f, uint64_t base) {
  const Section *s = Pe32Of(f);
  ASSERT_NE(s, nullptr);
  uint64_t where = base + f.offset + f.headerSize + s->offset + s->headerSize;
  uint64_t run = 0;
  ASSERT_TRUE(ImageRunAddress(*s, run));
  EXPECT_EQ(run, where);
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(Bytes(s->data(), s->data() + s->dataSize()), image, error));
  EXPECT_EQ(where % image.sectionAlignment, 0u);
  EXPECT_EQ(pe::MemoryLayout(image), fvtest::RelocatedLayout(fvtest::ModuleImage(), uint32_t(where)));
}

// The module as another tool might package it: no data alignment attribute
// and no pad, so its PE32 data lands wherever the file does.
Bytes UnalignedModuleFile(const char *guid) {
  Bytes body;
  AppendSection(body, MakeSection(kSecPeiDepex, MakeDepexAll({kStallPpiGuid})));
  AppendSection(body, MakeSection(kSecPe32, fvtest::ModuleImage()));
  AppendSection(body, MakeSection(kSecUserInterface, EncodeUiName("Second")));
  return MakeFile(Guid::Parse(guid), kFilePeim, 0, body, true);
}

void ExpectError(const Image &image, const InsertRequest &request, const std::string &words) {
  std::vector<std::string> log;
  try {
    InsertFiles(image, request, log);
    ADD_FAILURE() << "no error";
  } catch (const Error &e) {
    EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
  }
}

}  // namespace

// Free room is taken first-fit; a gap before an aligned file becomes a pad
// file (never one too small for a pad header); a file rewritten in place
// grows only into free room after it, and what it gives up becomes padding.
TEST(VolumeEditor, PlacesReplacesAndRemovesWithoutMovingFiles) {
  Bytes empty = MakeEmptyVolume({0x2000, 0x1000, 8, true, false, {}});
  int n = 0;
  Volume v = ParseVolume(empty.data(), empty.size(), n);
  Bytes a = fvtest::NoiseFile(kCoreGuid, 100), b = fvtest::NoiseFile(kSecondGuid, 60);
  VolumeEditor editor(v);
  size_t at = 0;
  ASSERT_TRUE(editor.PlaceFirstFit([&](size_t) { return a; }, 8, &at));
  EXPECT_EQ(at, v.filesStart);
  size_t aEnd = AlignUp(v.filesStart + a.size(), 8);
  // Data aligned to 256: the next start would leave less than a pad header.
  size_t want = AlignUp(aEnd + 24, 256) - 24;
  if (want - aEnd < 24) want += 256;
  ASSERT_TRUE(editor.PlaceFirstFit([&](size_t) { return b; }, 256, &at));
  EXPECT_EQ(at, want);
  Bytes built = editor.bytes();
  n = 0;
  Volume out = ParseVolume(built.data(), built.size(), n);
  ASSERT_EQ(out.files.size(), 3u);
  EXPECT_EQ(out.files[1].type, kFilePad);
  EXPECT_EQ(out.files[1].offset, aEnd);
  EXPECT_EQ(out.files[2].offset, want);
  EXPECT_EQ(out.freeStart, AlignUp(want + b.size(), 8));

  // a cannot grow: b's pad is free room, but only want - aEnd bytes of it.
  VolumeEditor again(out);
  Bytes bigA = fvtest::NoiseFile(kCoreGuid, 100 + (want - aEnd) + 8);
  EXPECT_THROW(again.Replace(out.files[0], bigA), Error);
  EXPECT_EQ(again.bytes(), built);  // a refused edit writes nothing
  // Growing into the pad, leaving exactly a pad header's worth, is fine.
  Bytes grownA = fvtest::NoiseFile(kCoreGuid, 100 + (want - aEnd) - 24);
  again.Replace(out.files[0], grownA);
  // b grows into the free space at the end; a is removed.
  Bytes grownB = fvtest::NoiseFile(kSecondGuid, 600);
  again.Replace(out.files[2], grownB);
  again.Remove(out.files[0]);
  Bytes edited = again.bytes();
  n = 0;
  Volume last = ParseVolume(edited.data(), edited.size(), n);
  ASSERT_EQ(last.files.size(), 3u);
  EXPECT_EQ(last.files[0].type, kFilePad);
  EXPECT_EQ(last.files[0].offset, v.filesStart);
  EXPECT_EQ(last.files[1].type, kFilePad);
  EXPECT_EQ(last.files[2].offset, want);
  EXPECT_EQ(last.files[2].size, grownB.size());
  EXPECT_EQ(Bytes(edited.begin() + long(want), edited.begin() + long(want + grownB.size())), grownB);
}

TEST(CreateVolume, PlacesAlignsAndRebasesEveryImage) {
  Bytes core = fvtest::ModuleFile(kCoreGuid, "Core", kFilePeiCore);
  Bytes peim = fvtest::ModuleFile(MODULE_GUID, "UsbControllerPeim");
  Bytes volume = fvtest::TestVolume(0x8000, {core, peim}, kBase);
  Image image(volume);
  const Volume &v = image.volumes().at(0);
  EXPECT_EQ(v.length, 0x8000u);
  ASSERT_TRUE(v.named);
  EXPECT_EQ(v.alignment(), 128u);
  ASSERT_NE(v.FindFile(Guid::Parse(kCoreGuid)), nullptr);
  ASSERT_NE(v.FindFile(Guid::Parse(MODULE_GUID)), nullptr);
  ExpectRunsInPlace(*v.FindFile(Guid::Parse(kCoreGuid)), kBase);
  ExpectRunsInPlace(*v.FindFile(Guid::Parse(MODULE_GUID)), kBase);
  EXPECT_EQ(VolumeRunBase(v), kBase);
  for (const File &f : v.files) {
    if (f.type == kFilePad) continue;
    EXPECT_EQ((f.offset + f.headerSize) % FileDataAlignment(f.attributes), 0u);
  }

  Bytes unlinked = fvtest::TestVolume(0x8000, {core}, 0);
  Image plain(unlinked);
  EXPECT_THROW(VolumeRunBase(plain.volumes()[0]), Error);
  // A file as large as the whole volume cannot fit beside anything.
  EXPECT_THROW(fvtest::TestVolume(0x1000, {core, fvtest::NoiseFile(kSecondGuid, 0x1000)}, kBase), Error);
}

// The image shape the tool is for: the PEI volume inside an LZMA section.
TEST(Insert, ThroughCompressedVolumeWithApriori) {
  Bytes inner = fvtest::TestVolume(0x8000, {fvtest::ModuleFile(kCoreGuid, "Core", kFilePeiCore)}, kBase);
  Image before(fvtest::CompressedImage(inner, 0x10000));
  ASSERT_EQ(before.AllVolumes().size(), 2u);
  const Volume &pei = SelectPeiVolume(before, -1);
  EXPECT_EQ(pei.index, 1);

  InsertRequest request;
  request.files = {fvtest::ModuleFile(MODULE_GUID, "UsbControllerPeim")};
  request.apriori = true;
  std::vector<std::string> log;
  Image after(InsertFiles(before, request, log));
  ASSERT_EQ(after.AllVolumes().size(), 2u);
  EXPECT_EQ(after.volumes()[0].length, 0x10000u);
  const Volume &v = SelectPeiVolume(after, 1);
  EXPECT_EQ(v.length, pei.length);
  // Files already there keep their place and bytes.
  const File *core = v.FindFile(Guid::Parse(kCoreGuid));
  ASSERT_NE(core, nullptr);
  EXPECT_EQ(core->offset, pei.FindFile(Guid::Parse(kCoreGuid))->offset);
  EXPECT_EQ(core->bytes(), pei.FindFile(Guid::Parse(kCoreGuid))->bytes());
  // The RAW pad in front of the PEI volume still puts it at the same place.
  const Section &lzma = after.volumes()[0].files[0].sections[0];
  ASSERT_TRUE(lzma.lzma);
  EXPECT_EQ(lzma.unpacked->size(), before.volumes()[0].files[0].sections[0].unpacked->size());
  EXPECT_EQ(lzma.sections[1].offset, 0x7Cu);
  fvtest::ExpectOnlyIntended(before.bytes(), after.bytes(), {Guid::Parse(MODULE_GUID)});

  const File *added = v.FindFile(Guid::Parse(MODULE_GUID));
  ASSERT_NE(added, nullptr);
  ExpectRunsInPlace(*added, kBase);
  const File *apriori = v.FindFile(kPeiAprioriGuid);
  ASSERT_NE(apriori, nullptr);
  EXPECT_EQ(apriori->type, kFileFreeform);
  ASSERT_EQ(apriori->sections.at(0).dataSize(), 16u);
  EXPECT_EQ(Guid::At(apriori->sections[0].data()).ToString(), MODULE_GUID);

  // A second insertion appends to the list, in order; this file's image gets
  // aligned by the tool alone.
  request.files = {UnalignedModuleFile(kSecondGuid)};
  Image again(InsertFiles(after, request, log));
  const File *list = SelectPeiVolume(again, 1).FindFile(kPeiAprioriGuid);
  ASSERT_EQ(list->sections.at(0).dataSize(), 32u);
  EXPECT_EQ(Guid::At(list->sections[0].data()).ToString(), MODULE_GUID);
  EXPECT_EQ(Guid::At(list->sections[0].data() + 16).ToString(), kSecondGuid);
  ExpectRunsInPlace(*SelectPeiVolume(again, 1).FindFile(Guid::Parse(kSecondGuid)), kBase);
  ExpectRunsInPlace(*SelectPeiVolume(again, 1).FindFile(Guid::Parse(MODULE_GUID)), kBase);
  fvtest::ExpectOnlyIntended(after.bytes(), again.bytes(), {Guid::Parse(kSecondGuid)});

  request.files = {fvtest::ModuleFile(MODULE_GUID, "Again")};
  ExpectError(again, request, "already holds");
}

TEST(Insert, RefusesWhatDoesNotFit) {
  Bytes inner = fvtest::TestVolume(0x8000, {fvtest::ModuleFile(kCoreGuid, "Core", kFilePeiCore)}, kBase);
  InsertRequest request;
  Image roomy(fvtest::CompressedImage(inner, 0x20000));
  const Volume &pei = SelectPeiVolume(roomy, -1);
  request.files = {fvtest::NoiseFile(kSecondGuid, pei.length - pei.freeStart)};  // header too many
  ExpectError(roomy, request, "no room");

  // Fits the PEI volume, but the recompressed section does not fit the outer one.
  Image tight(fvtest::CompressedImage(inner, AlignUp(roomy.volumes()[0].freeStart + 0x100, 0x1000)));
  ASSERT_LT(tight.volumes()[0].length - tight.volumes()[0].freeStart, 0x1100u);
  request.files = {fvtest::NoiseFile(kSecondGuid, 0x3000)};
  ExpectError(tight, request, "full");
}

// Before memory an image runs where it lies, so one whose memory layout
// differs from its file must not go into the apriori list.
TEST(Insert, AprioriRefusesImageThatCannotRunInPlace) {
  Bytes efi = fvtest::ModuleImage();
  pe::Image pe;
  std::string error;
  ASSERT_TRUE(pe::Parse(efi, pe, error));
  // Give the last section an uninitialised tail.
  size_t header = pe.peOffset + 24 + Get16(&efi[pe.peOffset + 20]) + 40 * (pe.sections.size() - 1);
  Put32(&efi[header + 8], pe.sections.back().rawSize + 0x40);
  Put32(&efi[pe.peOffset + 24 + 56], pe.sizeOfImage + 0x40);
  ModuleFileParams params;
  params.name = Guid::Parse(kSecondGuid);
  params.uiName = "Tail";
  Bytes inner = fvtest::TestVolume(0x8000, {fvtest::ModuleFile(kCoreGuid, "Core", kFilePeiCore)}, kBase);
  Image image(inner);
  InsertRequest request;
  Bytes file = BuildModuleFile(params, efi);
  for (const Section &s : ParseLoneFile(file).sections) EXPECT_NE(s.type, kSecPeiDepex);
  request.files = {file};
  std::vector<std::string> log;
  EXPECT_NO_THROW(InsertFiles(image, request, log));
  request.apriori = true;
  EXPECT_THROW(InsertFiles(image, request, log), Error);
}

// The edit-and-retry loop on an image laid out as the firmware's is (the PEI
// volume inside an LZMA-compressed one): put the module in, take it out
// again as a file, a section or an image, replace it in place with a new
// build, remove it, put it back; every step changes only the module's file,
// the padding around it and what encloses it.
#include "fv_test_util.h"

using namespace fv;

namespace {

std::string Tool(const std::string &args) { return std::string(FVTOOL) + " " + args; }

const File *Module(const Image &image) {
  for (const Volume *v : image.AllVolumes())
    if (const File *f = v->FindFile(Guid::Parse(MODULE_GUID))) return f;
  return nullptr;
}

const Section *Pe32Of(const File &f) {
  for (const Section &s : f.sections)
    if (s.type == kSecPe32) return &s;
  return nullptr;
}

}  // namespace

TEST(EditLoop, InsertExtractReplaceRemoveInACompressedVolume) {
  fvtest::TempDir dir;
  const char *core = "11111111-2222-4333-8444-555555555555";
  fvtest::WriteBytes(dir / "0.fd", fvtest::CompressedImage(
      fvtest::TestVolume(0x8000, {fvtest::ModuleFile(core, "Core", kFilePeiCore)}, 0xFFF80000), 0x20000));
  auto run = [&](const std::string &args) {
    fvtest::Run r = fvtest::RunCommand(Tool(args), dir);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
    return r;
  };
  const Guid module = Guid::Parse(MODULE_GUID);
  run("insert " + (dir / "0.fd") + " " MODULE_FFS " --apriori -o " + (dir / "1.fd"));
  fvtest::ExpectOnlyIntended(ReadFile(dir / "0.fd"), ReadFile(dir / "1.fd"), {module});
  Bytes one = ReadFile(dir / "1.fd");
  Image first(one);
  const File *placed = Module(first);
  ASSERT_NE(placed, nullptr);

  // extract: the whole file, as it lies; its UI section's data; its image.
  run("extract " + (dir / "1.fd") + " " MODULE_GUID " -o " + (dir / "m.ffs"));
  EXPECT_EQ(ReadFile(dir / "m.ffs"), placed->bytes());
  run("extract " + (dir / "1.fd") + " " MODULE_GUID " --section ui -o " + (dir / "ui.bin"));
  EXPECT_EQ(ReadFile(dir / "ui.bin"), EncodeUiName("UsbControllerPeim"));
  run("extract " + (dir / "1.fd") + " " MODULE_GUID " --image -o " + (dir / "m.efi"));
  const Section *pe32 = Pe32Of(*placed);
  ASSERT_NE(pe32, nullptr);
  uint64_t runAt = 0;
  ASSERT_TRUE(ImageRunAddress(*pe32, runAt));
  pe::Image extracted;
  std::string error;
  ASSERT_TRUE(pe::Parse(ReadFile(dir / "m.efi"), extracted, error)) << error;
  EXPECT_EQ(pe::MemoryLayout(extracted), fvtest::RelocatedLayout(fvtest::ModuleImage(), uint32_t(runAt)));
  // A lone firmware file works too, without the GUID.
  run("extract " MODULE_FFS " --image -o " + (dir / "plain.efi"));
  EXPECT_EQ(ReadFile(dir / "plain.efi"), fvtest::ModuleImage());

  // replace: a new build of the module (another name, a few bytes longer)
  // lands where the old one was, linked to run there.
  ModuleFileParams params;
  params.name = module;
  params.uiName = "UsbControllerPeimRebuilt";
  params.depexPush = {kStallPpiGuid};
  fvtest::WriteBytes(dir / "new.ffs", BuildModuleFile(params, fvtest::ModuleImage()));
  run("replace " + (dir / "1.fd") + " " + (dir / "new.ffs") + " -o " + (dir / "2.fd"));
  Bytes two = ReadFile(dir / "2.fd");
  fvtest::ExpectOnlyIntended(one, two, {module});
  Image second(two);
  const File *replaced = Module(second);
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced->offset, placed->offset);
  EXPECT_EQ(replaced->UiName(), "UsbControllerPeimRebuilt");
  uint64_t runAgain = 0;
  ASSERT_TRUE(ImageRunAddress(*Pe32Of(*replaced), runAgain));
  EXPECT_EQ(runAgain, runAt);

  // remove: the file becomes padding of the same extent; the apriori entry
  // is reported, not silently dropped.
  fvtest::Run removed = run("remove " + (dir / "2.fd") + " " MODULE_GUID " -o " + (dir / "3.fd"));
  EXPECT_NE(removed.err.find("apriori file still lists it"), std::string::npos) << removed.err;
  Bytes three = ReadFile(dir / "3.fd");
  fvtest::ExpectOnlyIntended(two, three, {module});
  Image third(three);
  EXPECT_EQ(Module(third), nullptr);

  // And back in: the retry finds room again.
  run("insert " + (dir / "3.fd") + " " MODULE_FFS " -o " + (dir / "4.fd"));
  Bytes four = ReadFile(dir / "4.fd");
  fvtest::ExpectOnlyIntended(three, four, {module});
  EXPECT_NE(Module(Image(four)), nullptr);
}

// In a volume of its own: a replacement grows into free room after it;
// with a file right behind it, a larger one moves that file later, its
// bytes as they were.
TEST(EditLoop, ReplaceGrowsIntoFreeRoomMovingWhatFollows) {
  const uint64_t base = 0xFFF80000;
  const char *other = "22222222-3333-4444-8555-666666666666";
  Bytes lone = fvtest::TestVolume(0x8000, {fvtest::ModuleFile(MODULE_GUID, "Core", kFilePeiCore)}, base);
  Bytes pair = fvtest::TestVolume(0x8000, {fvtest::ModuleFile(MODULE_GUID, "Core", kFilePeiCore),
                                           fvtest::NoiseFile(other, 0x100)}, base);
  ReplaceRequest request;
  request.label = "bigger";
  request.file = fvtest::ModuleFile(MODULE_GUID, std::string(200, 'X'), kFilePeiCore);
  std::vector<std::string> log;
  Bytes grown = ReplaceFile(Image(lone), request, log);
  fvtest::ExpectOnlyIntended(lone, grown, {Guid::Parse(MODULE_GUID)});
  EXPECT_EQ(Module(Image(grown))->UiName(), std::string(200, 'X'));
  Bytes pushed = ReplaceFile(Image(pair), request, log);
  fvtest::ExpectOnlyIntended(pair, pushed, {Guid::Parse(MODULE_GUID), Guid::Parse(other)});
  Image pairImage(pair);
  const File *was = pairImage.volumes()[0].FindFile(Guid::Parse(other));
  Image pushedImage(pushed);
  const File *is = pushedImage.volumes()[0].FindFile(Guid::Parse(other));
  ASSERT_TRUE(was && is);
  EXPECT_GT(is->offset, was->offset);
  EXPECT_EQ(is->bytes(), was->bytes());
  // A smaller one leaves padding behind it, and the next file stays put.
  request.file = fvtest::ModuleFile(MODULE_GUID, "C", kFilePeiCore);
  Bytes shrunk = ReplaceFile(Image(pair), request, log);
  fvtest::ExpectOnlyIntended(pair, shrunk, {Guid::Parse(MODULE_GUID)});
}

// The module's firmware file in Debian's OVMF IA-32 image, and what an
// independent reader (UEFIExtract) makes of it.
#include <iostream>

#include "fv_test_util.h"
#include "fv_tree.h"

using namespace fv;

namespace {

const Guid kPcdPeim = Guid::Parse("9B3ADA4F-AE56-4C24-8DEA-F03B7558AE50");
constexpr size_t kMainVolumeSize = 0x348000;

// UEFIExtract's messages on a file, minus the one about images without a
// reset vector file, which a lone test volume never has.
std::vector<std::string> UefiExtractMessages(const std::string &path, const fvtest::TempDir &dir,
                                             std::string &report) {
  fvtest::Run r = fvtest::RunCommand("UEFIExtract '" + path + "' report", dir);
  EXPECT_EQ(r.status, 0) << r.err;
  report = fvtest::ReadText(path + ".report.txt");
  EXPECT_FALSE(report.empty()) << "UEFIExtract wrote no report";
  std::vector<std::string> messages;
  std::istringstream lines(r.out + r.err);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line.find("Volume Top File") == std::string::npos) messages.push_back(line);
  return messages;
}

// The report row of the module's file and its three sections right below it.
void ExpectModuleInReport(const std::string &report) {
  size_t row = report.find(std::string(MODULE_GUID) + " | UsbControllerPeim");
  ASSERT_NE(row, std::string::npos) << report;
  size_t lineStart = report.rfind('\n', row) + 1;
  EXPECT_NE(report.substr(lineStart, row - lineStart).find("PEI module"), std::string::npos);
  std::string below = report.substr(row, 600);
  for (const char *section : {"PEI dependency", "PE32 image", "UI section"})
    EXPECT_NE(below.find(section), std::string::npos) << section;
}

}  // namespace

// Round trip through the library: the file lands in the PEI volume inside
// the compressed main volume, runs in place at the address SEC copies the
// volume to, joins the apriori list; nothing else moves or changes size.
TEST(Ovmf, InsertWithApriori) {
  Image before(ReadFile(OVMF_CODE));
  const Volume &pei = SelectPeiVolume(before, -1);
  EXPECT_EQ(pei.length, 0xE0000u);
  EXPECT_EQ(VolumeRunBase(pei), 0x820000u);

  InsertRequest request;
  request.files = {ReadFile(MODULE_FFS)};
  request.apriori = true;
  std::vector<std::string> log;
  Bytes out = InsertFiles(before, request, log);
  for (const std::string &line : log) std::cout << line << "\n";

  ASSERT_EQ(out.size(), before.bytes().size());
  fvtest::ExpectOnlyIntended(before.bytes(), out, {Guid::Parse(MODULE_GUID)});
  EXPECT_TRUE(std::equal(out.begin() + kMainVolumeSize, out.end(),
                         before.bytes().begin() + kMainVolumeSize))
      << "bytes after the main volume changed";
  Image after(out);
  std::vector<const Volume *> was = before.AllVolumes(), is = after.AllVolumes();
  ASSERT_EQ(is.size(), was.size());
  for (size_t i = 0; i < is.size(); i++) EXPECT_EQ(is[i]->length, was[i]->length) << "volume " << i;

  const Volume &v = SelectPeiVolume(after, pei.index);
  for (const File &f : pei.files) {
    if (f.type == kFilePad || f.name == kPeiAprioriGuid) continue;
    const File *now = v.FindFile(f.name);
    ASSERT_NE(now, nullptr) << f.name.ToString();
    EXPECT_EQ(now->offset, f.offset);
    EXPECT_EQ(now->bytes(), f.bytes());
  }
  const File *apriori = v.FindFile(kPeiAprioriGuid);
  ASSERT_NE(apriori, nullptr);
  ASSERT_EQ(apriori->sections.at(0).dataSize(), 32u);
  EXPECT_EQ(Guid::At(apriori->sections[0].data()), kPcdPeim);
  EXPECT_EQ(Guid::At(apriori->sections[0].data() + 16).ToString(), MODULE_GUID);

  const File *module = v.FindFile(Guid::Parse(MODULE_GUID));
  ASSERT_NE(module, nullptr);
  EXPECT_TRUE(module->attributes & kFileAttrChecksum);
  for (const Section &s : module->sections) {
    if (s.type != kSecPe32) continue;
    uint32_t where = uint32_t(0x820000 + module->offset + module->headerSize + s.offset + s.headerSize);
    uint64_t run = 0;
    ASSERT_TRUE(ImageRunAddress(s, run));
    EXPECT_EQ(run, where);
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::Parse(Bytes(s.data(), s.data() + s.dataSize()), image, error));
    EXPECT_EQ(where % image.sectionAlignment, 0u);
    EXPECT_EQ(pe::MemoryLayout(image), fvtest::RelocatedLayout(fvtest::ModuleImage(), where));
  }

  const Section &packedBefore = before.volumes()[0].files[0].sections.at(0);
  const Section &packedAfter = after.volumes()[0].files[0].sections.at(0);
  ASSERT_TRUE(packedAfter.lzma);
  EXPECT_EQ(packedAfter.unpacked->size(), packedBefore.unpacked->size());
  EXPECT_EQ(packedAfter.sections.at(1).offset, packedBefore.sections.at(1).offset);
  std::cout << "compressed main volume section: " << Hex(packedAfter.size) << " bytes (was "
            << Hex(packedBefore.size) << ")\n";
}

// An independent parser reads the module's file without a complaint, in a
// volume of its own and in OVMF; and it does complain once the file is damaged.
TEST(Ovmf, UefiExtractAgrees) {
  fvtest::TempDir dir;
  Bytes ffs = ReadFile(MODULE_FFS);
  std::string report;

  Bytes volume = fvtest::TestVolume(0x10000, {ffs}, 0xFFF00000);
  fvtest::WriteBytes(dir / "alone.fv", volume);
  std::vector<std::string> messages = UefiExtractMessages(dir / "alone.fv", dir, report);
  EXPECT_TRUE(messages.empty()) << messages.front();
  ExpectModuleInReport(report);

  Image image(volume);
  const File *module = image.volumes()[0].FindFile(Guid::Parse(MODULE_GUID));
  ASSERT_NE(module, nullptr);
  volume[module->offset + module->size - 6] ^= 0x20;  // a byte of the name
  fvtest::WriteBytes(dir / "damaged.fv", volume);
  EXPECT_FALSE(UefiExtractMessages(dir / "damaged.fv", dir, report).empty());

  Image ovmf(ReadFile(OVMF_CODE));
  InsertRequest request;
  request.files = {ffs};
  std::vector<std::string> log;
  fvtest::WriteBytes(dir / "ovmf.fd", InsertFiles(ovmf, request, log));
  fvtest::Run r = fvtest::RunCommand("UEFIExtract '" + (dir / "ovmf.fd") + "' report", dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  ExpectModuleInReport(fvtest::ReadText(dir / "ovmf.fd.report.txt"));
}

// The SEC stand-in on Debian's OVMF IA-32 image: where it puts what SEC
// unpacks, and the state it hands to the PEI core.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "boot/sec_standin.h"
#include "ffs.h"

namespace {

using namespace peimsim::boot;

const char kOvmf[] = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";

std::vector<uint8_t> ReadOvmf() {
  std::ifstream in(kOvmf, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t At32(const std::vector<uint8_t> &b, size_t at) {
  uint32_t v;
  memcpy(&v, b.data() + at, 4);
  return v;
}

TEST(BootStandIn, UnpacksOvmfsVolumesWhereTheirImagesAreLinked) {
  std::vector<uint8_t> fd = ReadOvmf();
  if (fd.empty()) GTEST_SKIP() << "no " << kOvmf;
  SecHandOff h;
  std::string error;
  ASSERT_EQ(PrepareHandOff(fd, h, error), 0) << error;
  EXPECT_EQ(h.bootVolume, kPeiVolumeBase);
  EXPECT_EQ(h.flashBase, uint32_t(0x100000000ull - fd.size()));
  // Every PEIM of the PEI volume runs in place: linked to the address the
  // volume was copied to, so a wrong address would show here.
  int peims = 0, dxeCores = 0;
  for (const FirmwareImage &img : h.images) {
    const PlacedVolume &v = h.volumes[img.volume];
    if (v.address == kPeiVolumeBase) {
      EXPECT_EQ(img.pe.imageBase, img.xipBase) << img.name;
      peims += img.fileType == fv::kFilePeim;
    }
    if (img.fileType == fv::kFileDxeCore) {
      EXPECT_EQ(v.address, kDxeVolumeBase);
      dxeCores++;
    }
  }
  EXPECT_EQ(peims, 15);
  EXPECT_EQ(dxeCores, 1);
  const FirmwareImage &core = h.images[h.peiCoreImage];
  EXPECT_EQ(core.name, "PeiCore");
  EXPECT_EQ(h.peiCoreEntry, core.pe.imageBase + core.pe.entryRva);
  for (const PlacedVolume &v : h.volumes)
    if (!v.bytes.empty()) {
      EXPECT_EQ(At32(v.bytes, 40), 0x4856465Fu) << v.what;  // _FVH
    }
}

TEST(BootStandIn, HandOffStateAsSecLeavesIt) {
  std::vector<uint8_t> fd = ReadOvmf();
  if (fd.empty()) GTEST_SKIP() << "no " << kOvmf;
  SecHandOff h;
  std::string error;
  ASSERT_EQ(PrepareHandOff(fd, h, error), 0) << error;
  for (bool migration : {true, false}) {
    std::vector<uint8_t> ram(kTempRamSize);
    for (const auto &part : StandInFrame(h, migration)) {
      ASSERT_GE(part.first, kTempRamBase);
      ASSERT_LE(part.first + part.second.size(), kTempRamBase + kTempRamSize);
      memcpy(ram.data() + (part.first - kTempRamBase), part.second.data(), part.second.size());
    }
    auto at = [&](uint32_t address) { return At32(ram, address - kTempRamBase); };
    // EFI_SEC_PEI_HAND_OFF: the boot volume, temporary RAM split in a heap
    // half and a stack half that cover it exactly.
    EXPECT_EQ(at(kHandOff + 4), h.bootVolume);
    EXPECT_EQ(at(kHandOff + 20), at(kHandOff + 12));
    EXPECT_EQ(at(kHandOff + 20) + at(kHandOff + 24), at(kHandOff + 28));
    EXPECT_EQ(at(kHandOff + 28) + at(kHandOff + 32), kTempRamBase + kTempRamSize);
    // The call: return address, then SecCoreData and the PPI list; the
    // stack lies in the stack half, below the services slot.
    EXPECT_EQ(at(kInitialEsp + 4), kHandOff);
    EXPECT_EQ(at(kInitialEsp + 8), kPpiList);
    EXPECT_GE(kInitialEsp, at(kHandOff + 28));
    EXPECT_EQ(at(kServicesSlot), 0u);
    // The PPI list ends where TERMINATE_LIST is set: two descriptors with
    // the migration PPI, one without.
    int count = 0;
    for (uint32_t d = kPpiList;; d += 12) {
      count++;
      if (at(d) & 0x80000000u) break;
      ASSERT_LT(count, 4);
    }
    EXPECT_EQ(count, migration ? 2 : 1);
  }
}

TEST(BootStandIn, RefusesWhatItCannotHandOver) {
  std::vector<uint8_t> fd = ReadOvmf();
  struct Case {
    const char *name;
    std::vector<uint8_t> bytes;
    int status;
  };
  std::vector<Case> cases = {{"empty", {}, 2},
                             {"not 4 KiB", std::vector<uint8_t>(0x1001, 0xFF), 2},
                             {"erased", std::vector<uint8_t>(0x10000, 0xFF), 2}};
  if (!fd.empty()) {
    // Only the SEC volume at the top: a firmware image with no PEI core.
    std::vector<uint8_t> sec(fd.end() - 0x34000, fd.end());
    cases.push_back({"SEC volume only", sec, 1});
  }
  for (const Case &c : cases) {
    SecHandOff h;
    std::string error;
    EXPECT_EQ(PrepareHandOff(c.bytes, h, error), c.status) << c.name << ": " << error;
    EXPECT_FALSE(error.empty()) << c.name;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.name;
  }
}

}  // namespace

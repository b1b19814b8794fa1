// The SEC stand-in: the firmware's volumes read with fvtool's reader, the
// main volume unpacked, and the state OVMF's SEC hands to the PEI core.
#include "sec_standin.h"

#include <cstring>

#include "ffs.h"
#include "fv_tree.h"

namespace peimsim::boot {
namespace {

constexpr uint32_t kFvSignature = 0x4856465F;  // "_FVH"

// gEfiTemporaryRamSupportPpiGuid and OVMF's gEfiPeiMpInitLibMpDepPpiGuid.
constexpr uint8_t kTempRamSupportGuidBytes[16] = {0xA9, 0x3A, 0xE2, 0xDB, 0x45, 0xA3, 0x97, 0x4B,
                                                  0x85, 0xB6, 0xB2, 0x26, 0xF1, 0x61, 0x73, 0x89};
constexpr uint8_t kMpDepGuidBytes[16] = {0xF4, 0x9C, 0x8F, 0x13, 0xE7, 0xF0, 0x21, 0x47,
                                         0x8F, 0x49, 0xF5, 0xFF, 0xEC, 0xF4, 0x2D, 0x40};

// The volume images an encapsulated stream holds, in order (OVMF's main
// volume: the PEI volume, then the DXE volume).
void CollectVolumeImages(const std::vector<fv::Section> &sections,
                         std::vector<const fv::Section *> &out) {
  for (const fv::Section &s : sections) {
    if (s.type == fv::kSecFvImage && !s.volumes.empty()) out.push_back(&s);
    CollectVolumeImages(s.sections, out);
  }
}

bool HasPeiCore(const fv::Volume &v) {
  for (const fv::File &f : v.files)
    if (f.type == fv::kFilePeiCore) return true;
  return false;
}

// Every PE32 or TE image of the volume's files, with where its bytes lie
// when the volume lies at `address`.
void CollectImages(const fv::Volume &v, uint32_t address, int volume,
                   std::vector<FirmwareImage> &out) {
  for (const fv::File &f : v.files) {
    for (const fv::Section &s : f.sections) {
      if (s.type != fv::kSecPe32 && s.type != fv::kSecTe) continue;
      FirmwareImage img;
      std::string error;
      if (!pe::ParseAny(std::vector<uint8_t>(s.data(), s.data() + s.dataSize()), img.pe, error))
        continue;
      img.name = f.UiName();
      if (img.name.empty()) img.name = f.name.ToString();
      memcpy(img.file.data(), f.name.bytes.data(), 16);
      img.fileType = f.type;
      img.volume = volume;
      img.xipBase = address + uint32_t(s.data() - v.start);
      out.push_back(std::move(img));
    }
  }
}

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) { memcpy(b.data() + at, &v, 4); }

}  // namespace

int PrepareHandOff(const std::vector<uint8_t> &firmware, SecHandOff &out, std::string &error) {
  out = SecHandOff();
  if (firmware.empty() || firmware.size() > (16u << 20) || firmware.size() % 0x1000) {
    error = "not a firmware image: " + std::to_string(firmware.size()) +
            " bytes (a flash image is a multiple of 4 KiB, at most 16 MiB)";
    return 2;
  }
  std::unique_ptr<fv::Image> image;
  try {
    image = std::make_unique<fv::Image>(fv::Bytes(firmware.begin(), firmware.end()), true);
  } catch (const std::exception &e) {
    error = e.what();
    if (error.rfind("not a firmware image", 0) != 0) error = "not a firmware image: " + error;
    return 2;
  }
  out.flashBase = uint32_t(0x100000000ull - firmware.size());
  const fv::Volume *boot = nullptr;
  for (const fv::Volume &v : image->volumes()) {
    if (!HasPeiCore(v)) continue;
    boot = &v;
    break;
  }
  for (size_t i = 0; i < image->volumes().size(); i++) {
    const fv::Volume &v = image->volumes()[i];
    PlacedVolume p;
    p.what = &v == boot ? "boot volume in flash" : "volume in flash";
    p.address = out.flashBase + uint32_t(v.offset);
    p.size = uint32_t(v.length);
    out.volumes.push_back(p);
    CollectImages(v, p.address, int(out.volumes.size() - 1), out.images);
    if (&v == boot) {
      out.bootVolume = p.address;
      out.bootVolumeSize = p.size;
    }
  }
  if (!boot) {
    // OVMF: the PEI core lies in the main volume, compressed in the first
    // volume image file of the flash; SEC unpacks its two volume images to
    // their fixed addresses.
    std::vector<const fv::Section *> inner;
    for (const fv::Volume &v : image->volumes())
      for (const fv::File &f : v.files)
        if (f.type == fv::kFileFvImage && inner.empty()) {
          for (const fv::Section &s : f.sections)
            for (const std::string &p : s.problems) {
              error = "the main volume cannot be unpacked: " + p;
              return 1;
            }
          CollectVolumeImages(f.sections, inner);
        }
    if (inner.empty()) {
      error = "no PEI core: no volume holds a PEI core file and no volume image file holds "
              "a volume to unpack";
      return 1;
    }
    const fv::Volume &pei = inner[0]->volumes[0];
    if (!HasPeiCore(pei)) {
      error = "no PEI core: the first volume of the main volume holds no PEI core file";
      return 1;
    }
    struct Place {
      const fv::Section *s;
      uint32_t base, space;
      const char *what;
    } places[] = {{inner[0], kPeiVolumeBase, kDxeVolumeBase - kPeiVolumeBase, "PEI volume"},
                  {inner.size() > 1 ? inner[1] : nullptr, kDxeVolumeBase, kDxeVolumeSpace,
                   "DXE volume"}};
    for (const Place &pl : places) {
      if (!pl.s) continue;
      const fv::Volume &v = pl.s->volumes[0];
      if (v.length > pl.space || v.length > pl.s->dataSize()) {
        error = std::string("the ") + pl.what + " (" + Hex(v.length) + " bytes) does not fit its " +
                Hex(pl.space) + " bytes at " + Hex(pl.base, 8);
        return 1;
      }
      if (!v.problems.empty()) {
        error = std::string("the ") + pl.what + " cannot be read: " + v.problems.front();
        return 1;
      }
      PlacedVolume p;
      p.what = pl.what;
      p.address = pl.base;
      p.size = uint32_t(v.length);
      p.bytes.assign(v.start, v.start + v.length);
      uint32_t signature = 0;
      memcpy(&signature, p.bytes.data() + 40, 4);
      if (signature != kFvSignature) {
        error = std::string("the ") + pl.what + " has no volume signature";
        return 1;
      }
      out.volumes.push_back(std::move(p));
      CollectImages(v, pl.base, int(out.volumes.size() - 1), out.images);
    }
    out.bootVolume = kPeiVolumeBase;
    out.bootVolumeSize = uint32_t(pei.length);
  }
  for (size_t i = 0; i < out.images.size(); i++) {
    const FirmwareImage &img = out.images[i];
    if (img.fileType != fv::kFilePeiCore) continue;
    const PlacedVolume &v = out.volumes[img.volume];
    if (v.address != out.bootVolume) continue;
    if (img.pe.machine != pe::kMachineI386) {
      error = "the PEI core is not an IA-32 image (machine " + Hex(img.pe.machine, 4) + ")";
      return 1;
    }
    // It runs in place: linked to where it lies (SEC does not relocate it).
    uint32_t base = img.pe.IsTe() ? img.xipBase - img.pe.strippedSize + 40 : img.xipBase;
    if (!img.pe.IsTe() && img.pe.imageBase != base) {
      error = "the PEI core is linked at " + Hex(img.pe.imageBase, 8) + " but lies at " +
              Hex(base, 8) + " (it runs in place)";
      return 1;
    }
    if (img.pe.entryRva >= img.pe.sizeOfImage) {
      error = "the PEI core's entry point " + Hex(img.pe.entryRva) + " lies outside its image";
      return 1;
    }
    out.peiCoreEntry = base + img.pe.entryRva;
    out.peiCoreImage = int(i);
    break;
  }
  if (out.peiCoreImage < 0) {
    error = "no PEI core: the boot volume's PEI core file holds no PE32 or TE image";
    return 1;
  }
  return 0;
}

std::vector<std::pair<uint32_t, std::vector<uint8_t>>> StandInFrame(const SecHandOff &h,
                                                                    bool migrationPpi) {
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
  // EFI_SEC_PEI_HAND_OFF: DataSize, the boot volume, temporary RAM, the PEI
  // core's heap half (bottom) and stack half (top).
  std::vector<uint8_t> handOff(36, 0);
  Put32(handOff, 0, 36);
  Put32(handOff, 4, h.bootVolume);
  Put32(handOff, 8, h.bootVolumeSize);
  Put32(handOff, 12, kTempRamBase);
  Put32(handOff, 16, kTempRamSize);
  Put32(handOff, 20, kTempRamBase);
  Put32(handOff, 24, kTempRamSize / 2);
  Put32(handOff, 28, kTempRamBase + kTempRamSize / 2);
  Put32(handOff, 32, kTempRamSize / 2);
  out.push_back({kHandOff, handOff});
  // The PPI list: temporary RAM migration (unless left out), then OVMF's
  // multi-processor dependency PPI, which ends the list.
  std::vector<uint8_t> list;
  auto descriptor = [&](uint32_t flags, uint32_t guid, uint32_t ppi) {
    size_t at = list.size();
    list.resize(at + 12);
    Put32(list, at, flags);
    Put32(list, at + 4, guid);
    Put32(list, at + 8, ppi);
  };
  if (migrationPpi) descriptor(0x10, kTempRamSupportGuid, kTempRamSupportPpi);
  descriptor(0x80000010, kMpDepGuid, 0);
  out.push_back({kPpiList, list});
  out.push_back({kTempRamSupportGuid, std::vector<uint8_t>(kTempRamSupportGuidBytes,
                                                           kTempRamSupportGuidBytes + 16)});
  out.push_back({kMpDepGuid, std::vector<uint8_t>(kMpDepGuidBytes, kMpDepGuidBytes + 16)});
  std::vector<uint8_t> ppi(4);
  Put32(ppi, 0, kMigrationEntry);
  out.push_back({kTempRamSupportPpi, ppi});
  // The migration entry and the return trap: HLT, never run (the host
  // carries them out when the core gets there).
  out.push_back({kMigrationEntry, std::vector<uint8_t>(1, 0xF4)});
  out.push_back({kCoreReturnTrap, std::vector<uint8_t>(1, 0xF4)});
  // SEC_IDT_TABLE: the services pointer (NULL until the core sets it),
  // then the gates, not present (SEC's handlers are not there).
  out.push_back({kServicesSlot, std::vector<uint8_t>(4 + kIdtEntries * 8, 0)});
  // The call: PeiCoreEntryPoint (SecCoreData, PpiList).
  std::vector<uint8_t> call(12);
  Put32(call, 0, kCoreReturnTrap);
  Put32(call, 4, kHandOff);
  Put32(call, 8, kPpiList);
  out.push_back({kInitialEsp, call});
  return out;
}

}  // namespace peimsim::boot

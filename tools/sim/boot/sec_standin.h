// The SEC stand-in of a boot: what the firmware's SEC phase leaves for the
// PEI core, made on the host. The boot firmware volume and the PEI core are
// found in the image with fvtool's reader; a compressed main volume is
// unpacked as OVMF's SEC unpacks it (its first volume image is the PEI
// volume, its second the DXE volume, each copied to its fixed address), and
// the hand-off structure, the PPI list, the IDT with the services pointer
// slot below it and the stack are laid out at the top of temporary RAM.
#ifndef TOOLS_SIM_BOOT_SEC_STANDIN_H_
#define TOOLS_SIM_BOOT_SEC_STANDIN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pe_image.h"
#include "pi_names.h"

namespace peimsim::boot {

// OVMF's fixed memory layout for IA-32 (OvmfPkgIa32.fdf, MEMFD at 0x800000).
constexpr uint32_t kTempRamBase = 0x00810000;
constexpr uint32_t kTempRamSize = 0x00010000;
constexpr uint32_t kPeiVolumeBase = 0x00820000;
constexpr uint32_t kDxeVolumeBase = 0x00900000;
constexpr uint32_t kDxeVolumeSpace = 0x00C00000;  // PcdOvmfDxeMemFvSize
// The stand-in's frame at the top of the SEC stack (temporary RAM's upper
// half), as SecCoreStartupWithStack keeps its locals there.
constexpr uint32_t kHandOff = kTempRamBase + kTempRamSize - 0x100;     // EFI_SEC_PEI_HAND_OFF
constexpr uint32_t kPpiList = kHandOff + 0x40;                         // 2 descriptors
constexpr uint32_t kTempRamSupportGuid = kHandOff + 0x60;
constexpr uint32_t kMpDepGuid = kHandOff + 0x70;
constexpr uint32_t kTempRamSupportPpi = kHandOff + 0x80;  // { TemporaryRamMigration }
constexpr uint32_t kMigrationEntry = kHandOff + 0x90;     // carried out on the host
constexpr uint32_t kCoreReturnTrap = kHandOff + 0x98;     // the PEI core returned to SEC
constexpr uint32_t kIdtEntries = 34;                       // SEC_IDT_ENTRY_COUNT
constexpr uint32_t kIdtBaseAddress = kHandOff - 0x200;     // SEC_IDT_TABLE.IdtTable
constexpr uint32_t kServicesSlot = kIdtBaseAddress - 4;    // SEC_IDT_TABLE.PeiService
constexpr uint32_t kInitialEsp = kServicesSlot - 0x100 - 12;  // return address, two arguments

// An executable image of the firmware's volumes, to recognise it when it
// runs (in place, or loaded and relocated by the PEI core or DxeIpl).
struct FirmwareImage {
  std::string name;  // the file's UI name, else its GUID
  Guid file{};
  uint8_t fileType = 0;
  pe::Image pe;
  uint32_t xipBase = 0;  // where it runs in place (its bytes' address), 0 for none
  int volume = 0;        // the volume's index in SecHandOff::volumes
};

struct PlacedVolume {
  std::string what;  // "PEI volume", "DXE volume", "boot volume in flash"
  uint32_t address = 0;
  std::vector<uint8_t> bytes;  // empty for a volume read in place in flash
  uint32_t size = 0;
};

struct SecHandOff {
  std::vector<PlacedVolume> volumes;  // what SEC copied into RAM, and the flash volumes
  uint32_t bootVolume = 0, bootVolumeSize = 0;
  uint32_t peiCoreEntry = 0;
  int peiCoreImage = -1;  // index in images
  std::vector<FirmwareImage> images;
  uint32_t flashBase = 0;  // where the code image lies (its end at 4 GiB)
};

// Reads the firmware image. 0 on success; 2 for bytes that are not a
// firmware image (no volume); 1 for an image the stand-in cannot hand over
// (no PEI core, a main volume that cannot be unpacked, an unusable core),
// with one line in error.
int PrepareHandOff(const std::vector<uint8_t> &firmware, SecHandOff &out, std::string &error);

// The bytes the stand-in writes at the top of temporary RAM: the hand-off
// structure, the PPI list (with or without the temporary RAM migration
// PPI), the IDT and its services slot, the return address and arguments of
// the call into the core. (address, bytes) pairs.
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> StandInFrame(const SecHandOff &h,
                                                                    bool migrationPpi);

}  // namespace peimsim::boot

#endif  // TOOLS_SIM_BOOT_SEC_STANDIN_H_

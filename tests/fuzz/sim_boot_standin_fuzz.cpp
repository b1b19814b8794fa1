// peim-sim --boot's SEC stand-in on any bytes, padded with erased flash to
// a multiple of 4 KiB: it finds the boot volume and the PEI core, unpacks a
// main volume and lays out the hand-off. Whatever it is given, it answers
// 0, 1 or 2 with an error exactly when it refuses, in one line; what it
// accepts has its PEI core's entry inside the core's image, its volumes at
// the addresses the firmware expects, and a hand-off frame inside
// temporary RAM.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "boot/sec_standin.h"

using namespace peimsim::boot;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::vector<uint8_t> fd(data, data + size);
  fd.resize((size + 0xFFF) & ~size_t(0xFFF), 0xFF);
  SecHandOff h;
  std::string error;
  int status = PrepareHandOff(fd, h, error);
  if (status < 0 || status > 2) abort();
  if ((status == 0) != error.empty()) abort();
  if (error.find('\n') != std::string::npos) abort();
  if (status != 0) return 0;
  if (h.peiCoreImage < 0 || size_t(h.peiCoreImage) >= h.images.size()) abort();
  const FirmwareImage &core = h.images[h.peiCoreImage];
  if (core.pe.entryRva >= core.pe.sizeOfImage) abort();
  bool bootFound = false;
  for (const PlacedVolume &v : h.volumes) {
    if (!v.bytes.empty() && v.bytes.size() != v.size) abort();
    if (!v.bytes.empty() && v.address != kPeiVolumeBase && v.address != kDxeVolumeBase) abort();
    if (!v.bytes.empty() && v.address == kPeiVolumeBase && v.size > kDxeVolumeBase - kPeiVolumeBase)
      abort();
    if (!v.bytes.empty() && v.address == kDxeVolumeBase && v.size > kDxeVolumeSpace) abort();
    bootFound |= v.address == h.bootVolume;
  }
  if (!bootFound) abort();
  for (bool migration : {true, false})
    for (const auto &part : StandInFrame(h, migration))
      if (part.first < kTempRamBase ||
          part.first + part.second.size() > uint64_t(kTempRamBase) + kTempRamSize)
        abort();
  return 0;
}

// The emulated platform's memory map: where RAM, the stack, the Foundation's
// pages, the page pool, the device window and the image lie.
#ifndef TOOLS_SIM_MEMORY_MAP_H_
#define TOOLS_SIM_MEMORY_MAP_H_

#include <cstdint>

namespace peimsim {

// Memory map. Everything not listed is unmapped; touching it stops the run.
constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kRamBase = 0x00010000;  // below it: nothing (null pointers fault)
constexpr uint32_t kRamEnd = 0x01000000;   // 16 MiB of RAM
constexpr uint32_t kStackBase = 0x00010000;
constexpr uint32_t kStackTop = 0x00020000;  // 64 KiB stack
constexpr uint32_t kFoundationData = 0x00020000;  // PEI Foundation tables, one page
constexpr uint32_t kFoundationCode = 0x00021000;  // service entry points (int3), read+execute
constexpr uint32_t kCallerData = 0x00022000;      // the calling side's variables, one page
constexpr uint32_t kPoolBase = 0x00100000;        // page pool for AllocatePages
constexpr uint32_t kPoolPages =
    256;  // the HOB list grows up from kPoolBase, pages down from the top
// An image with writable data is loaded in RAM, as a Foundation loads a
// PEIM after memory; the volumes given to the Foundation lie above it.
constexpr uint32_t kRamImageBase = 0x00400000;
constexpr uint32_t kRamImageEnd = 0x00800000;
constexpr uint32_t kVolumeBase = 0x00800000;
constexpr uint32_t kVolumeEnd = 0x01000000;
constexpr uint32_t kDeviceWindowBase = 0xC0000000;  // memory-mapped devices
constexpr uint32_t kDeviceWindowEnd = 0xFF000000;
constexpr uint32_t kDefaultLoadAddress = 0xFFFC0240;  // in flash, where the module runs in place
constexpr uint8_t kUninitialisedByte = 0xAF;          // RAM contents nobody has written
constexpr uint32_t kIdSlotFill = 0x5A5A5A00;  // upper bytes of a UINT8 argument's stack slot

}  // namespace peimsim

#endif  // TOOLS_SIM_MEMORY_MAP_H_

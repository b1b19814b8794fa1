// peim-sim's platform description parser on arbitrary text: it must refuse
// with one line naming the file and line, or give a description whose
// every part respects the bounds the chipset model relies on; a chipset
// built from it then takes configuration and memory-mapped accesses.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "chipset.h"
#include "memory_map.h"
#include "platform_file.h"

using namespace peimsim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  PlatformDescription d;
  std::string error;
  if (!ParsePlatform(text, "f.platform", d, error)) {
    if (error.rfind("f.platform:", 0) != 0 || error.find('\n') != std::string::npos) abort();
    return 0;
  }
  if (d.functions.size() > kMaxPlatformFunctions || d.regions.size() > kMaxPlatformRegions)
    abort();
  for (const FunctionDescription &f : d.functions) {
    if (f.name.empty() || f.name.size() > kMaxPlatformName) abort();
    if (f.regs.size() != f.barSize || f.regsWriteMask.size() != f.barSize) abort();
    if (f.barSize > kMaxRegisterFile || (f.barSize & (f.barSize - 1))) abort();
    if (f.device >= 32 || f.function >= 8) abort();
  }
  for (const RegionDescription &r : d.regions) {
    if (r.size == 0 || r.regs.size() != r.size || r.regsWriteMask.size() != r.size) abort();
    if (r.base < kDeviceWindowBase || uint64_t(r.base) + r.size > kDeviceWindowEnd) abort();
  }

  // The chipset on it: walk every function's configuration space through
  // the ports, turn on its BAR0 and touch its register file.
  Chipset chipset(d);
  PortResult result;
  for (const FunctionDescription &f : d.functions) {
    uint32_t address = kConfigEnable | uint32_t(f.bus) << 16 | uint32_t(f.device) << 11 |
                       uint32_t(f.function) << 8;
    for (uint32_t offset = 0; offset < 256; offset += 4) {
      chipset.PortWrite(kConfigAddressPort, 4, address | offset, result);
      uint32_t v = chipset.PortRead(kConfigDataPort, 4, result);
      if (!result.target.claimed) abort();
      chipset.PortWrite(kConfigDataPort + (offset / 4 % 4), 1, ~v, result);
    }
    chipset.PortWrite(kConfigAddressPort, 4, address | 0x10, result);
    chipset.PortWrite(kConfigDataPort, 4, 0xE0000000u, result);
    chipset.PortWrite(kConfigAddressPort, 4, address | 0x04, result);
    chipset.PortWrite(kConfigDataPort, 2, 0x0002, result);
  }
  for (uint32_t address : {0xE0000000u, 0xE0000FFCu, 0xFED803EDu, 0xFEBFFFFCu}) {
    Target t = chipset.DecodeMemory(address, 4);
    chipset.MemoryWrite(t, 4, 0x12345678);
    chipset.MemoryRead(t, 4);
  }
  for (const RegionDescription &r : d.regions) {
    Target t = chipset.DecodeMemory(r.base + r.size - 1, 1);
    if (!t.claimed) abort();
    chipset.MemoryWrite(t, 1, 0xFF);
    chipset.MemoryRead(t, 1);
  }
  return 0;
}

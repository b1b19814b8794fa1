#include "q35_mch.h"

#include <cstdio>

namespace peimsim {
namespace {
bool Overlaps(uint32_t offset, int size, uint32_t reg, int regSize) {
  return offset < reg + uint32_t(regSize) && reg < offset + uint32_t(size);
}
}  // namespace

Q35Mch::Q35Mch(std::string name, uint32_t ramBytes) : Device(std::move(name)), ramBytes_(ramBytes) {
  InitHeader(config_, 0x8086, 0x29C0, 0x06000000, 0x00);
  config_.Set(kExtTsegMbytes, 2, kExtTsegMb, 0xFFFF);
  config_.Set(kGgc, 2, 0, 0xFFFF);
  // PCIEXBAR: base bits 35:26, length 2:1, enable 0.
  config_.Set(kPciexbar, 4, uint32_t(kPciexbarDefault), 0xFC000007);
  config_.Set(kPciexbar + 4, 4, 0, 0x0000000F);
  for (uint32_t i = 0; i < 7; i++) config_.Set(kPam0 + i, 1, 0, i == 0 ? 0x30 : 0x33);
  config_.Set(kFSmbase, 1, 0, 0xFF);
  config_.Set(kSmramc, 1, kSmramCBaseSeg, kSmramDOpen | kSmramDCls | kSmramDLck | kSmramGSmrame);
  config_.Set(kEsmramc, 1, kEsmramcDefault, kEsmramcWritable);
  config_.clearOnWrite[kEsmramc] = 0x40;  // E_SMERR
  config_.Set(kTom, 2, 0, 0xFFFF);
  config_.Set(kTouud, 4, 0, 0xFFF00000);
  config_.Set(kTouud + 4, 4, 0, 0x0000007F);
  config_.Set(kTsegmb, 4, 0, 0xFFF00000);
  config_.Set(kTolud, 2, 0, 0xFFF0);
}

uint32_t Q35Mch::ReadConfig(uint32_t offset, int size) const { return config_.Read(offset, size); }

void Q35Mch::WriteConfig(uint32_t offset, int size, uint32_t value, DeviceHost &host) {
  config_.Write(offset, size, value);
  if (Overlaps(offset, size, kExtTsegMbytes, 2) &&
      config_.Get(kExtTsegMbytes, 2) == kExtTsegQuery)
    config_.Set(kExtTsegMbytes, 2, kExtTsegMb, 0xFFFF);
  if (Overlaps(offset, size, kFSmbase, 1)) {
    uint8_t v = config_.bytes[kFSmbase];
    if (v == kSmbaseQuery) {
      config_.bytes[kFSmbase] = kSmbaseInRam;
    } else if (v == kSmbaseLocked) {
      config_.writable[kFSmbase] = 0;  // the default SMBASE stays closed
    }
  }
  if (Overlaps(offset, size, kSmramc, 2) && (config_.bytes[kSmramc] & kSmramDLck)) {
    // Locked: D_OPEN drops and only D_CLS stays writable; ESMRAMC is frozen.
    config_.bytes[kSmramc] &= uint8_t(~kSmramDOpen);
    config_.writable[kSmramc] = kSmramDCls;
    config_.writable[kEsmramc] = 0;
  }
  if (Overlaps(offset, size, kPciexbar, 8)) {
    uint64_t bar = uint64_t(config_.Get(kPciexbar + 4, 4)) << 32 | config_.Get(kPciexbar, 4);
    if ((bar & 1) && (bar & 6) == 6) {
      host.Misuse("device-range", "PCIEXBAR enabled with the reserved length 3 (QEMU stops)");
      return;
    }
    if ((bar & 1) && (bar & 0xFFFFFFFFC000000ull) < ramBytes_) {
      char m[160];
      snprintf(m, sizeof m,
               "PCIEXBAR enabled at 0x%llX, inside the guest's RAM (0-0x%X): the "
               "configuration window would hide memory",
               (unsigned long long)(bar & 0xFFFFFFFFC000000ull), ramBytes_ - 1);
      host.Misuse("device-range", m);
    }
  }
}

bool Q35Mch::Window(uint32_t &base, uint32_t &size) const {
  uint64_t bar = uint64_t(config_.Get(kPciexbar + 4, 4)) << 32 | config_.Get(kPciexbar, 4);
  if (!(bar & 1)) return false;
  // Length 0: 256 MiB (base bits 35:28), 1: 128 MiB (35:27), 2: 64 MiB (35:26).
  unsigned length = unsigned(bar >> 1 & 3);
  if (length == 3) return false;
  uint64_t bytes = uint64_t(256) << 20 >> length;
  uint64_t start = bar & 0xFFFFFFFC000000ull & ~(bytes - 1);
  if (start + bytes > 0x100000000ull) return false;
  base = uint32_t(start);
  size = uint32_t(bytes);
  return true;
}

bool Q35Mch::ClaimsMemory(uint32_t address, int size) const {
  uint32_t base, bytes;
  return Window(base, bytes) && address >= base &&
         uint64_t(address) + uint32_t(size) <= uint64_t(base) + bytes;
}

namespace {
struct EcamAddress {
  uint32_t bus, device, function, offset;
};
EcamAddress Decode(uint32_t offset) {
  return {offset >> 20, offset >> 15 & 0x1F, offset >> 12 & 7, offset & 0xFFF};
}
}  // namespace

uint64_t Q35Mch::ReadMemory(uint32_t address, int size, DeviceHost &host) {
  uint32_t base, bytes;
  if (!Window(base, bytes)) return AllOnes32(size);
  // An 8-byte access reaches the window as two 4-byte ones, as QEMU splits it.
  if (size == 8)
    return ReadMemory(address, 4, host) | uint64_t(ReadMemory(address + 4, 4, host)) << 32;
  EcamAddress a = Decode(address - base);
  return host.ReadPciConfig(a.bus, a.device, a.function, a.offset, size);
}

void Q35Mch::WriteMemory(uint32_t address, int size, uint64_t value, DeviceHost &host) {
  uint32_t base, bytes;
  if (!Window(base, bytes)) return;
  if (size == 8) {
    WriteMemory(address, 4, uint32_t(value), host);
    WriteMemory(address + 4, 4, value >> 32, host);
    return;
  }
  EcamAddress a = Decode(address - base);
  host.WritePciConfig(a.bus, a.device, a.function, a.offset, size, uint32_t(value));
}

std::string Q35Mch::MemoryName(uint32_t address) const {
  uint32_t base, bytes;
  if (!Window(base, bytes)) return "";
  EcamAddress a = Decode(address - base);
  char s[64];
  snprintf(s, sizeof s, "MMCONFIG: PCI %02X:%02X.%X +0x%03X", a.bus, a.device, a.function,
           a.offset);
  return s;
}

}  // namespace peimsim

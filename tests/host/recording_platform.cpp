#include "recording_platform.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "io.h"
#include "zero_mem.h"

namespace {
RecordingPlatform *gCurrent = nullptr;

bool IsUsbFunction(uint32_t cf8) {
  switch (cf8 & 0xFFFF00) {
    case 0x9200: case 0x9A00: case 0xB200:                // EHCI
    case 0x9000: case 0x9800: case 0xB000: case 0xA500:   // OHCI
      return true;
  }
  return false;
}

uint32_t PortRead(unsigned width, uint16_t port) {
  RecordingPlatform &p = RecordingPlatform::Current();
  uint32_t value = 0xFFFFFFFF >> (32 - width);
  if (port == 0xCF8 && width == 32) {
    value = p.configAddress;
  } else if (port >= 0xCFC && port <= 0xCFF && (p.configAddress & 0x80000000)) {
    uint32_t address = (p.configAddress & 0x00FFFFFC) | (port - 0xCFC);
    value = p.GetConfig(address, width);
  }
  p.log.push_back({Op::IoRead, width, port, value});
  return value;
}

void PortWrite(unsigned width, uint16_t port, uint32_t value) {
  RecordingPlatform &p = RecordingPlatform::Current();
  p.log.push_back({Op::IoWrite, width, port, value});
  if (port == 0xCF8 && width == 32) {
    p.configAddress = value;
  } else if (port >= 0xCFC && port <= 0xCFF && (p.configAddress & 0x80000000)) {
    p.SetConfig((p.configAddress & 0x00FFFFFC) | (port - 0xCFC), width, value);
  }
}

uint32_t MemRead(unsigned width, UINTN address) {
  RecordingPlatform &p = RecordingPlatform::Current();
  uint32_t value = p.GetMemory(address, width);
  p.log.push_back({Op::MmioRead, width, address, value});
  return value;
}

void MemWrite(unsigned width, UINTN address, uint32_t value) {
  RecordingPlatform &p = RecordingPlatform::Current();
  p.log.push_back({Op::MmioWrite, width, address, value});
  p.SetMemory(address, width, value);
}
}  // namespace

std::string Describe(const Access &a) {
  static const char *names[] = {"in", "out", "mmio-read", "mmio-write", "store", "mmx-save",
                                "mmx-restore"};
  char s[96];
  snprintf(s, sizeof s, "%s%u 0x%llX = 0x%X", names[int(a.op)], a.width,
           (unsigned long long)a.address, a.value);
  return s;
}

RecordingPlatform::RecordingPlatform() {
  if (gCurrent) throw std::logic_error("one recording platform at a time");
  gCurrent = this;
}
RecordingPlatform::~RecordingPlatform() { gCurrent = nullptr; }
RecordingPlatform &RecordingPlatform::Current() {
  if (!gCurrent) throw std::logic_error("no recording platform");
  return *gCurrent;
}

void RecordingPlatform::SetConfig(uint32_t address, unsigned width, uint32_t value) {
  for (unsigned i = 0; i < width / 8; i++) config[address + i] = uint8_t(value >> (8 * i));
}
uint32_t RecordingPlatform::GetConfig(uint32_t address, unsigned width) const {
  uint32_t value = 0;
  for (unsigned i = 0; i < width / 8; i++) {
    auto it = config.find(address + i);
    uint8_t byte = it != config.end() ? it->second : IsUsbFunction(address) ? 0x00 : 0xFF;
    value |= uint32_t(byte) << (8 * i);
  }
  return value;
}
void RecordingPlatform::SetMemory(uint64_t address, unsigned width, uint32_t value) {
  for (unsigned i = 0; i < width / 8; i++) memory[address + i] = uint8_t(value >> (8 * i));
}
uint32_t RecordingPlatform::GetMemory(uint64_t address, unsigned width) const {
  uint32_t value = 0;
  for (unsigned i = 0; i < width / 8; i++) {
    auto it = memory.find(address + i);
    value |= uint32_t(it != memory.end() ? it->second : 0) << (8 * i);
  }
  return value;
}
std::vector<Access> RecordingPlatform::HardwareAccesses() const {
  std::vector<Access> out;
  for (const Access &a : log)
    if (a.op == Op::IoRead || a.op == Op::IoWrite || a.op == Op::MmioRead || a.op == Op::MmioWrite)
      out.push_back(a);
  return out;
}

// The module's primitives, as the host build links them.
UINT8 IoRead8(IO_PORT Port) { return UINT8(PortRead(8, Port)); }
UINT16 IoRead16(IO_PORT Port) { return UINT16(PortRead(16, Port)); }
UINT32 IoRead32(IO_PORT Port) { return PortRead(32, Port); }
VOID IoWrite8(IO_PORT Port, UINT8 Value) { PortWrite(8, Port, Value); }
VOID IoWrite16(IO_PORT Port, UINT16 Value) { PortWrite(16, Port, Value); }
VOID IoWrite32(IO_PORT Port, UINT32 Value) { PortWrite(32, Port, Value); }
UINT8 MmioRead8(MMIO_ADDRESS Address) { return UINT8(MemRead(8, Address)); }
UINT16 MmioRead16(MMIO_ADDRESS Address) { return UINT16(MemRead(16, Address)); }
UINT32 MmioRead32(MMIO_ADDRESS Address) { return MemRead(32, Address); }
VOID MmioWrite8(MMIO_ADDRESS Address, UINT8 Value) { MemWrite(8, Address, Value); }
VOID MmioWrite16(MMIO_ADDRESS Address, UINT16 Value) { MemWrite(16, Address, Value); }
VOID MmioWrite32(MMIO_ADDRESS Address, UINT32 Value) { MemWrite(32, Address, Value); }

static UINT8 *RecordStores(UINT8 *Address, UINTN Count, unsigned Width) {
  RecordingPlatform &p = RecordingPlatform::Current();
  for (UINTN i = 0; i < Count; i++, Address += Width / 8) {
    p.log.push_back({Op::Store, Width, (uint64_t)(uintptr_t)Address, 0});
    memset(Address, 0, Width / 8);
  }
  return Address;
}
// The image's string stores write whatever the caller's Zero register holds;
// so do these, so that a fill handed anything but 0 shows in the buffer.
static UINT8 *RecordStringStores(UINT8 *Address, UINTN Count, unsigned Width, UINTN Zero) {
  UINT8 *End = RecordStores(Address, Count, Width);
  for (UINT8 *At = Address; At < End; At++) *At = UINT8(Zero);
  return End;
}
UINT8 *ZeroStoreBytes(UINT8 *Address, UINTN Count, UINTN Zero) {
  return RecordStringStores(Address, Count, 8, Zero);
}
UINT8 *ZeroStoreDwords(UINT8 *Address, UINTN Count, UINTN Zero) {
  return RecordStringStores(Address, Count, 32, Zero);
}
UINT8 *ZeroStoreBlocks(UINT8 *Address, UINTN Blocks) {
  RecordingPlatform &p = RecordingPlatform::Current();
  if (Blocks == 0) return Address;  // MMX untouched
  p.log.push_back({Op::MmxSave, 64, 0, 0});
  Address = RecordStores(Address, Blocks * 8, 64);
  p.log.push_back({Op::MmxRestore, 64, 0, 0});
  return Address;
}

#include "device.h"

namespace peimsim {

uint32_t Device::ReadConfig(uint32_t, int size) const { return AllOnes32(size); }

uint32_t ConfigSpace::Read(uint32_t offset, int size) const {
  uint32_t v = 0;
  for (int i = 0; i < size && offset + i < 256; i++) v |= uint32_t(bytes[offset + i]) << (8 * i);
  return v;
}

void ConfigSpace::Write(uint32_t offset, int size, uint32_t value) {
  for (int i = 0; i < size && offset + i < 256; i++) {
    uint8_t b = uint8_t(value >> (8 * i)), &r = bytes[offset + i];
    uint8_t w = writable[offset + i], c = clearOnWrite[offset + i];
    r = uint8_t(((r & ~w) | (b & w)) & ~(b & c));
  }
}

void ConfigSpace::Set(uint32_t offset, int size, uint32_t value, uint32_t writableMask) {
  for (int i = 0; i < size && offset + i < 256; i++) {
    bytes[offset + i] = uint8_t(value >> (8 * i));
    writable[offset + i] = uint8_t(writableMask >> (8 * i));
  }
}

void InitHeader(ConfigSpace &c, uint16_t vendor, uint16_t device, uint32_t classRevision,
                uint8_t headerType) {
  c.Set(0x00, 2, vendor);
  c.Set(0x02, 2, device);
  c.Set(0x04, 2, 0, 0x0407);  // I/O, memory, bus master, INTx disable
  c.Set(0x08, 4, classRevision);
  c.Set(0x0C, 1, 0, 0xFF);  // cache-line size
  c.Set(0x0E, 1, headerType);
  c.Set(0x2C, 2, 0x1AF4);  // subsystem vendor and id, as QEMU sets them
  c.Set(0x2E, 2, 0x1100);
  c.Set(0x3C, 1, 0, 0xFF);  // interrupt line
}

}  // namespace peimsim

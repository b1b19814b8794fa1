#include "pic.h"

namespace peimsim {
namespace {
int ChipOf(uint16_t port) { return port >= 0xA0 ? 1 : 0; }
}  // namespace

bool Pic::ClaimsPort(uint16_t port, int size) const {
  return size == 1 && (port == 0x20 || port == 0x21 || port == 0xA0 || port == 0xA1 ||
                       port == 0x4D0 || port == 0x4D1);
}

uint32_t Pic::ReadPort(uint16_t port, int, DeviceHost &) {
  if (port == 0x4D0 || port == 0x4D1) return elcr_[port - 0x4D0];
  if (port & 1) return chips_[ChipOf(port)].mask;
  return 0;  // IRR or ISR: nothing pending, nothing in service
}

void Pic::WritePort(uint16_t port, int, uint32_t value, DeviceHost &) {
  uint8_t v = uint8_t(value);
  if (port == 0x4D0 || port == 0x4D1) {
    // IRQ 0, 1, 2, 8 and 13 are edge-triggered whatever is written.
    elcr_[port - 0x4D0] = uint8_t(v & (port == 0x4D0 ? 0xF8 : 0xDE));
    return;
  }
  Chip &c = chips_[ChipOf(port)];
  if (!(port & 1)) {
    if (v & 0x10) {  // ICW1: the initialisation sequence starts, the mask clears
      c.mask = 0;
      c.icw = 2;
      c.needIcw4 = (v & 0x01) != 0;
      c.single = (v & 0x02) != 0;
    }
    return;  // OCW2 (EOI) and OCW3 change nothing that can be read here
  }
  switch (c.icw) {
    case 2:
      c.vectorBase = uint8_t(v & 0xF8);
      c.icw = c.single ? (c.needIcw4 ? 4 : 0) : 3;
      return;
    case 3:
      c.icw = c.needIcw4 ? 4 : 0;
      return;
    case 4:
      c.icw = 0;
      return;
    default:
      c.mask = v;  // OCW1
  }
}

std::string Pic::PortName(uint16_t port) const {
  if (port == 0x4D0 || port == 0x4D1) return port == 0x4D0 ? "ELCR1" : "ELCR2";
  const char *chip = ChipOf(port) ? "slave PIC" : "master PIC";
  const Chip &c = chips_[ChipOf(port)];
  if (!(port & 1)) return std::string(chip) + " command";
  return std::string(chip) + (c.icw ? " ICW" + std::to_string(c.icw) : std::string(" mask"));
}

}  // namespace peimsim

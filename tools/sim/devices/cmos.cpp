#include "cmos.h"

#include <algorithm>
#include <cstdio>

namespace peimsim {

Cmos::Cmos(std::string name, uint32_t ramBytes) : Device(std::move(name)) {
  // Seconds, minutes, hours, weekday, day, month, year (BCD), as QEMU's
  // clock showed them once; status A (divider, rate), B (24-hour), C, D
  // (valid RAM); the century byte 0x32.
  static const uint8_t kClock[] = {0x12, 0x00, 0x20, 0x00, 0x03, 0x00, 0x04,
                                   0x09, 0x12, 0x26, 0x26, 0x02, 0x00, 0x80};
  std::copy(std::begin(kClock), std::end(kClock), bytes_.begin());
  bytes_[0x10] = 0x00;  // no floppy
  bytes_[0x14] = 0x06;  // equipment: FPU, VGA
  bytes_[0x15] = 0x80;  // base memory 640 KiB
  bytes_[0x16] = 0x02;
  uint32_t above1m = std::min<uint32_t>(ramBytes > 0x100000 ? (ramBytes - 0x100000) / 1024 : 0,
                                        0xFFFF);
  bytes_[0x17] = bytes_[0x30] = uint8_t(above1m);
  bytes_[0x18] = bytes_[0x31] = uint8_t(above1m >> 8);
  bytes_[0x32] = 0x20;  // century
  uint32_t above16m = ramBytes > 0x1000000 ? (ramBytes - 0x1000000) >> 16 : 0;
  bytes_[0x34] = uint8_t(above16m);
  bytes_[0x35] = uint8_t(above16m >> 8);
  bytes_[0x37] = 0x20;  // the century again, where IBM's PS/2 kept it
  bytes_[0x38] = 0x30;  // boot: no floppy signature check
  bytes_[0x3D] = 0x12;  // boot order
}

uint32_t Cmos::ReadPort(uint16_t port, int, DeviceHost &) {
  if (port == kIndexPort) return 0xFF;  // the index port is write-only
  uint8_t index = index_ & 0x7F;
  uint8_t v = bytes_[index];
  if (index == 0x0C) bytes_[index] = 0;  // status C clears when read
  return v;
}

void Cmos::WritePort(uint16_t port, int, uint32_t value, DeviceHost &) {
  if (port == kIndexPort) {
    index_ = uint8_t(value);
    return;
  }
  uint8_t index = index_ & 0x7F;
  if (index == 0x0C || index == 0x0D) return;  // read-only status
  if (index == 0x0A) {
    bytes_[index] = uint8_t((bytes_[index] & 0x80) | (value & 0x7F));  // UIP is read-only
    return;
  }
  bytes_[index] = uint8_t(value);
}

std::string Cmos::PortName(uint16_t port) const {
  if (port == kIndexPort) return "CMOS index";
  char s[32];
  snprintf(s, sizeof s, "CMOS 0x%02X", index_ & 0x7F);
  return s;
}

}  // namespace peimsim

#include "cpu_hotplug.h"

namespace peimsim {

uint32_t CpuHotplug::ReadPort(uint16_t port, int size, DeviceHost &) {
  uint32_t offset = port - kBase;
  uint8_t bytes[kSize] = {};
  if (!modern_) {
    bytes[0] = 0x01;  // processor 0 present
  } else {
    // +0: the architectural id's upper half (0), +4: status, +8: data.
    bytes[4] = selector_ == 0 ? kStatEnabled : 0;
    // One processor, no events: the next with an event is the one selected.
    uint32_t data = command_ == kCmdGetArchId ? 0 /* APIC id of processor 0 */ : selector_;
    for (int i = 0; i < 4; i++) bytes[8 + i] = uint8_t(data >> (8 * i));
  }
  uint32_t v = 0;
  for (int i = 0; i < size; i++) v |= uint32_t(bytes[offset + i]) << (8 * i);
  return v;
}

void CpuHotplug::WritePort(uint16_t port, int size, uint32_t value, DeviceHost &) {
  uint32_t offset = port - kBase;
  if (!modern_) {
    if (offset == 0 && (value & 0xFF) == 0) modern_ = true;
    return;
  }
  // A selector past the last possible processor is ignored (and the data
  // register then still shows the old one: how firmware counts them).
  if (offset == 0 && size == 4 && value < kPossibleCpus) selector_ = value;
  if (offset <= 5 && offset + size > 5) command_ = uint8_t(value >> (8 * (5 - offset)));
}

std::string CpuHotplug::PortName(uint16_t port) const {
  uint32_t offset = port - kBase;
  if (!modern_) return "CPU hotplug (legacy bitmap)";
  switch (offset) {
    case 0: return "CPU hotplug selector/CMD_DATA2";
    case 4: return "CPU hotplug status";
    case 5: return "CPU hotplug command";
    case 8: return "CPU hotplug CMD_DATA";
    default: return "CPU hotplug";
  }
}

}  // namespace peimsim

#include "lapic.h"

namespace peimsim {

LocalApic::LocalApic(std::string name) : Device(std::move(name)) {
  regs_[kVersion / 16] = kVersionValue;
  regs_[0xD0 / 16] = 0;           // logical destination
  regs_[0xE0 / 16] = 0xFFFFFFFF;  // destination format: flat
  regs_[kSvr / 16] = 0xFF;
  for (uint32_t lvt = 0x320; lvt <= 0x370; lvt += 0x10) regs_[lvt / 16] = 0x00010000;  // masked
  regs_[0x2F0 / 16] = 0x00010000;  // LVT CMCI
}

uint32_t LocalApic::Register(uint32_t offset, DeviceHost &host) const {
  uint32_t r = offset / 16;
  if (offset >= 0x100 && offset < 0x280) return 0;  // ISR, TMR, IRR
  if (offset == kCurrentCount) {
    uint32_t initial = regs_[kInitialCount / 16];
    if (initial == 0) return 0;
    uint32_t d = regs_[kDivide / 16];
    uint32_t code = (d & 3) | (d >> 1 & 4);
    uint32_t shift = code == 7 ? 0 : code + 1;
    uint64_t ticks = (host.Instructions() - timerStart_) >> shift;
    bool periodic = (regs_[kLvtTimer / 16] >> 17 & 3) == 1;
    if (periodic) return initial - uint32_t(ticks % initial);
    return ticks >= initial ? 0 : initial - uint32_t(ticks);
  }
  return regs_[r];
}

uint64_t LocalApic::ReadMemory(uint32_t address, int size, DeviceHost &host) {
  uint32_t offset = address - kBase;
  uint64_t v = 0;
  for (int i = 0; i < size; i++) {
    uint32_t at = offset + i;
    v |= uint64_t(at % 16 < 4 ? Register(at & ~15u, host) >> (8 * (at % 4)) & 0xFF : 0) << (8 * i);
  }
  return v;
}

void LocalApic::WriteMemory(uint32_t address, int size, uint64_t value, DeviceHost &host) {
  uint32_t offset = address - kBase;
  if (offset % 16 != 0 || size != 4) {
    host.Misuse("lapic-access", "local APIC register written with " + std::to_string(size * 8) +
                                    " bits at +" + std::to_string(offset) +
                                    ": its registers take aligned 32-bit accesses");
    return;
  }
  uint32_t v = uint32_t(value);
  switch (offset) {
    case kId: regs_[offset / 16] = v & 0xFF000000u; return;
    case kVersion: case kCurrentCount: return;  // read-only
    case 0xB0: return;                          // EOI
    case kInitialCount:
      regs_[offset / 16] = v;
      timerStart_ = host.Instructions();
      return;
    default:
      if (offset >= 0x100 && offset < 0x280) return;
      regs_[offset / 16] = v;
  }
}

}  // namespace peimsim

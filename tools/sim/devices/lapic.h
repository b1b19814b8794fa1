// The local APIC of the one processor at 0xFEE00000 (4 KiB), as QEMU's
// shows it after reset: id 0, version 0x14 with six LVT entries, the LVT
// entries masked, the spurious-vector register 0xFF; the timer counts down
// from its initial count with the instructions executed (one bus clock an
// instruction, through the divide configuration). Other registers are
// storage; ISR, TMR and IRR read 0.
#ifndef TOOLS_SIM_DEVICES_LAPIC_H_
#define TOOLS_SIM_DEVICES_LAPIC_H_

#include <array>

#include "device.h"

namespace peimsim {

class LocalApic : public Device {
 public:
  static constexpr uint32_t kBase = 0xFEE00000, kSize = 0x1000;
  static constexpr uint32_t kId = 0x20, kVersion = 0x30, kSvr = 0xF0, kLvtTimer = 0x320,
                            kInitialCount = 0x380, kCurrentCount = 0x390, kDivide = 0x3E0;
  static constexpr uint32_t kVersionValue = 0x00050014;

  explicit LocalApic(std::string name);
  std::unique_ptr<Device> Clone() const override { return std::make_unique<LocalApic>(*this); }
  bool ClaimsMemory(uint32_t address, int size) const override {
    return address >= kBase && uint64_t(address) + size <= uint64_t(kBase) + kSize;
  }
  uint64_t ReadMemory(uint32_t address, int size, DeviceHost &host) override;
  void WriteMemory(uint32_t address, int size, uint64_t value, DeviceHost &host) override;

 private:
  uint32_t Register(uint32_t offset, DeviceHost &host) const;
  std::array<uint32_t, kSize / 16> regs_{};  // one 32-bit register every 16 bytes
  uint64_t timerStart_ = 0;
};

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_LAPIC_H_

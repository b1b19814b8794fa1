// The ICH9 LPC bridge (00:1F.0, 8086:2918) as QEMU's q35 has it: PMBASE
// (0x40) and ACPI_CNTL (0x44), whose ACPI_EN bit makes the 128-byte
// power-management block answer at PMBASE (PM1 status/enable/control, the
// PM timer at +8, GPE0, SMI_EN/SMI_STS); the PIRQ routing registers; and
// RCBA (0xF0), whose enable bit maps the 16 KiB root-complex register block.
#ifndef TOOLS_SIM_DEVICES_ICH9_LPC_H_
#define TOOLS_SIM_DEVICES_ICH9_LPC_H_

#include "device.h"

namespace peimsim {

class Ich9Lpc : public Device {
 public:
  static constexpr uint32_t kPmbase = 0x40, kAcpiCntl = 0x44, kGenPmcon1 = 0xA0, kRcba = 0xF0;
  static constexpr uint8_t kAcpiEnable = 0x80;
  static constexpr uint32_t kPmBlockSize = 0x80, kRcbaSize = 0x4000;
  static constexpr uint32_t kPmTimerOffset = 0x08;

  explicit Ich9Lpc(std::string name);
  std::unique_ptr<Device> Clone() const override { return std::make_unique<Ich9Lpc>(*this); }
  bool IsPciFunction() const override { return true; }
  uint32_t ReadConfig(uint32_t offset, int size) const override;
  void WriteConfig(uint32_t offset, int size, uint32_t value, DeviceHost &host) override;

  bool ClaimsPort(uint16_t port, int size) const override;
  uint32_t ReadPort(uint16_t port, int size, DeviceHost &host) override;
  void WritePort(uint16_t port, int size, uint32_t value, DeviceHost &host) override;
  std::string PortName(uint16_t port) const override;

  bool ClaimsMemory(uint32_t address, int size) const override;
  uint64_t ReadMemory(uint32_t address, int size, DeviceHost &host) override;
  void WriteMemory(uint32_t address, int size, uint64_t value, DeviceHost &host) override;

  bool PmEnabled() const { return (config_.bytes[kAcpiCntl] & kAcpiEnable) != 0; }
  uint16_t PmBase() const { return uint16_t(config_.Get(kPmbase, 4) & 0xFF80); }
  uint32_t RcbaBase() const { return config_.Get(kRcba, 4) & 0xFFFFC000u; }
  bool RcbaEnabled() const { return (config_.Get(kRcba, 4) & 1) != 0; }

 private:
  void CheckPmBlock(DeviceHost &host);
  ConfigSpace config_;
  uint8_t pm_[kPmBlockSize] = {};
  std::vector<uint8_t> rcba_;
};

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_ICH9_LPC_H_

// The q35 host bridge (MCH, 00:00.0, 8086:29C0) with the registers OVMF
// programs and the semantics QEMU gives them: the extended TSEG size and
// default-SMBASE registers answer a query write with what the machine has,
// SMRAMC and ESMRAMC lose their writable bits once D_LCK is set, PCIEXBAR,
// PAM, TOLUD, TOM, TOUUD and TSEGMB hold what is written.
#ifndef TOOLS_SIM_DEVICES_Q35_MCH_H_
#define TOOLS_SIM_DEVICES_Q35_MCH_H_

#include "device.h"

namespace peimsim {

class Q35Mch : public Device {
 public:
  // Register offsets.
  static constexpr uint32_t kExtTsegMbytes = 0x50;  // 16-bit; 0xFFFF queries
  static constexpr uint32_t kGgc = 0x52;
  static constexpr uint32_t kPciexbar = 0x60;       // 64-bit
  static constexpr uint32_t kPam0 = 0x90;           // PAM0..PAM6
  static constexpr uint32_t kFSmbase = 0x9C;        // 0xFF queries, 0x02 locks
  static constexpr uint32_t kSmramc = 0x9D;
  static constexpr uint32_t kEsmramc = 0x9E;
  static constexpr uint32_t kTom = 0xA0, kTouud = 0xA8, kTsegmb = 0xAC, kTolud = 0xB0;

  static constexpr uint16_t kExtTsegQuery = 0xFFFF;
  static constexpr uint16_t kExtTsegMb = 16;  // QEMU's default x-ext-tseg-mbytes
  static constexpr uint8_t kSmbaseQuery = 0xFF, kSmbaseInRam = 0x01, kSmbaseLocked = 0x02;
  static constexpr uint8_t kSmramDOpen = 0x40, kSmramDCls = 0x20, kSmramDLck = 0x10,
                           kSmramGSmrame = 0x08, kSmramCBaseSeg = 0x02;
  static constexpr uint8_t kEsmramcDefault = 0x38, kEsmramcWritable = 0x87;
  static constexpr uint64_t kPciexbarDefault = 0xB0000000;

  // ramBytes: the guest's memory below 4 GiB; PCIEXBAR may not overlap it.
  Q35Mch(std::string name, uint32_t ramBytes);
  std::unique_ptr<Device> Clone() const override { return std::make_unique<Q35Mch>(*this); }
  bool IsPciFunction() const override { return true; }
  uint32_t ReadConfig(uint32_t offset, int size) const override;
  void WriteConfig(uint32_t offset, int size, uint32_t value, DeviceHost &host) override;
  // The MMCONFIG window PCIEXBAR opens: 1 MiB a bus, 4 KiB a function,
  // forwarded to the functions' configuration space.
  bool ClaimsMemory(uint32_t address, int size) const override;
  uint64_t ReadMemory(uint32_t address, int size, DeviceHost &host) override;
  void WriteMemory(uint32_t address, int size, uint64_t value, DeviceHost &host) override;
  std::string MemoryName(uint32_t address) const override;

 private:
  // The window's base and size in bytes; false while it is off (or above
  // 4 GiB, out of a 32-bit processor's reach).
  bool Window(uint32_t &base, uint32_t &size) const;

  ConfigSpace config_;
  uint32_t ramBytes_;
};

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_Q35_MCH_H_

// The CMOS RTC of the PC (index port 0x70, bit 7 the NMI mask; data port
// 0x71), with the 128 bytes QEMU's q35 shows for 256 MiB: the clock stopped
// at a fixed date, status registers A-D, the memory sizes OVMF reads
// (0x30/0x31, 0x34/0x35, 0x5B-0x5D) and the rest as QEMU leaves it.
#ifndef TOOLS_SIM_DEVICES_CMOS_H_
#define TOOLS_SIM_DEVICES_CMOS_H_

#include <array>

#include "device.h"

namespace peimsim {

class Cmos : public Device {
 public:
  static constexpr uint16_t kIndexPort = 0x70, kDataPort = 0x71;
  // ramBytes sets the memory-size bytes: 0x30/0x31 (KiB above 1 MiB, at most
  // 0xFFFF) and 0x34/0x35 (64 KiB units above 16 MiB).
  Cmos(std::string name, uint32_t ramBytes);
  std::unique_ptr<Device> Clone() const override { return std::make_unique<Cmos>(*this); }
  bool ClaimsPort(uint16_t port, int size) const override {
    return (port == kIndexPort || port == kDataPort) && size == 1;
  }
  uint32_t ReadPort(uint16_t port, int size, DeviceHost &host) override;
  void WritePort(uint16_t port, int size, uint32_t value, DeviceHost &host) override;
  std::string PortName(uint16_t port) const override;
  uint8_t Byte(int index) const { return bytes_[index & 0x7F]; }

 private:
  std::array<uint8_t, 128> bytes_{};
  uint8_t index_ = 0;
};

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_CMOS_H_

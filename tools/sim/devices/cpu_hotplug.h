// QEMU's CPU hotplug register block at 0x0CD8 (12 bytes), for one present
// processor. After reset it is in the legacy mode, a bitmap of present
// processors; writing 0 to its first byte switches it to the modern
// interface: the selector (write, +0), the selected processor's status
// (read, +4: enabled, insert and remove events), the command (write, +5:
// get the next processor with an event, get its architectural id) and the
// command's data (read, +8; +0 for the id's upper half).
#ifndef TOOLS_SIM_DEVICES_CPU_HOTPLUG_H_
#define TOOLS_SIM_DEVICES_CPU_HOTPLUG_H_

#include "device.h"

namespace peimsim {

class CpuHotplug : public Device {
 public:
  static constexpr uint16_t kBase = 0x0CD8, kSize = 12;
  static constexpr uint8_t kCmdGetPending = 0, kCmdGetArchId = 3;
  static constexpr uint8_t kStatEnabled = 0x01;
  static constexpr uint32_t kPossibleCpus = 1;

  explicit CpuHotplug(std::string name) : Device(std::move(name)) {}
  std::unique_ptr<Device> Clone() const override { return std::make_unique<CpuHotplug>(*this); }
  bool ClaimsPort(uint16_t port, int size) const override {
    return port >= kBase && port + size <= kBase + kSize;
  }
  uint32_t ReadPort(uint16_t port, int size, DeviceHost &host) override;
  void WritePort(uint16_t port, int size, uint32_t value, DeviceHost &host) override;
  std::string PortName(uint16_t port) const override;
  bool Modern() const { return modern_; }

 private:
  bool modern_ = false;
  uint32_t selector_ = 0;
  uint8_t command_ = kCmdGetPending;
};

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_CPU_HOTPLUG_H_

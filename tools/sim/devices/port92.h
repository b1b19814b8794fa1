// System control port A (0x92): bit 1 gates A20, bit 0 written as 1 resets
// the processor (named, and the run stops, as at ResetSystem).
#ifndef TOOLS_SIM_DEVICES_PORT92_H_
#define TOOLS_SIM_DEVICES_PORT92_H_

#include "device.h"

namespace peimsim {

class Port92 : public Device {
 public:
  static constexpr uint16_t kPort = 0x92;
  explicit Port92(std::string name) : Device(std::move(name)) {}
  std::unique_ptr<Device> Clone() const override { return std::make_unique<Port92>(*this); }
  bool ClaimsPort(uint16_t port, int size) const override { return port == kPort && size == 1; }
  uint32_t ReadPort(uint16_t, int, DeviceHost &) override { return value_; }
  void WritePort(uint16_t, int, uint32_t value, DeviceHost &host) override {
    value_ = uint8_t(value & 0x02);
    if (value & 0x01) host.Misuse("reset", "port 0x92 bit 0 set: a fast processor reset");
  }
  std::string PortName(uint16_t) const override { return "port 0x92 (A20, fast reset)"; }

 private:
  uint8_t value_ = 0;
};

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_PORT92_H_

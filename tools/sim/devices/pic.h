// The two 8259 interrupt controllers (0x20/0x21, 0xA0/0xA1) and their
// edge/level registers (0x4D0/0x4D1): the initialisation sequence (ICW1 to
// ICW4), the mask register (OCW1), OCW2/OCW3 taken and IRR/ISR read as 0, as
// nothing raises an interrupt here.
#ifndef TOOLS_SIM_DEVICES_PIC_H_
#define TOOLS_SIM_DEVICES_PIC_H_

#include "device.h"

namespace peimsim {

class Pic : public Device {
 public:
  explicit Pic(std::string name) : Device(std::move(name)) {}
  std::unique_ptr<Device> Clone() const override { return std::make_unique<Pic>(*this); }
  bool ClaimsPort(uint16_t port, int size) const override;
  uint32_t ReadPort(uint16_t port, int size, DeviceHost &host) override;
  void WritePort(uint16_t port, int size, uint32_t value, DeviceHost &host) override;
  std::string PortName(uint16_t port) const override;
  uint8_t Mask(int controller) const { return chips_[controller].mask; }
  uint8_t VectorBase(int controller) const { return chips_[controller].vectorBase; }
  uint8_t Elcr(int controller) const { return elcr_[controller]; }

 private:
  struct Chip {
    uint8_t mask = 0, vectorBase = 0, icw = 0;  // icw: the next ICW expected (0: none)
    bool needIcw4 = false, single = false;
  };
  Chip chips_[2];
  uint8_t elcr_[2] = {};
};

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_PIC_H_

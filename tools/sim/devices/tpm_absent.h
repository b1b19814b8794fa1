// No TPM: the TPM interface window at 0xFED40000 (localities 0-4, 5 x 4 KiB)
// answers as an empty bus does on QEMU's q35 without a TPM device, every
// byte 0xFF, and writes go nowhere. The TPM drivers read the access and
// interface registers there and conclude there is none.
#ifndef TOOLS_SIM_DEVICES_TPM_ABSENT_H_
#define TOOLS_SIM_DEVICES_TPM_ABSENT_H_

#include "device.h"

namespace peimsim {

class TpmAbsent : public Device {
 public:
  static constexpr uint32_t kBase = 0xFED40000, kSize = 0x5000;
  explicit TpmAbsent(std::string name) : Device(std::move(name)) {}
  std::unique_ptr<Device> Clone() const override { return std::make_unique<TpmAbsent>(*this); }
  bool ClaimsMemory(uint32_t address, int size) const override {
    return address >= kBase && uint64_t(address) + size <= uint64_t(kBase) + kSize;
  }
  uint64_t ReadMemory(uint32_t, int size, DeviceHost &) override {
    return size >= 8 ? ~0ull : (1ull << (8 * size)) - 1;
  }
};

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_TPM_ABSENT_H_

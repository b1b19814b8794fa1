// The interface of a device model: what it answers on I/O ports, in a PCI
// function's configuration space and at memory-mapped addresses, as an
// emulator keeps one device a file. The chipset (chipset.h) owns a set of
// them, copies it with the rest of its state before every dispatch, and
// asks each in turn whether it claims an access.
#ifndef TOOLS_SIM_DEVICES_DEVICE_H_
#define TOOLS_SIM_DEVICES_DEVICE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace peimsim {

// What a device may need of the platform during an access.
class DeviceHost {
 public:
  virtual ~DeviceHost() = default;
  // Instructions executed so far in this dispatch: the devices' clock, so
  // that timers advance with the program and two runs see the same values.
  virtual uint64_t Instructions() const = 0;
  // Guest RAM, for a device that reads or writes memory itself (fw_cfg DMA).
  // False when [address, address + size) is not RAM.
  virtual bool ReadGuest(uint32_t address, void *data, uint32_t size) = 0;
  virtual bool WriteGuest(uint32_t address, const void *data, uint32_t size) = 0;
  // The guest programmed the device out of its range: named, the run stops.
  virtual void Misuse(const std::string &kind, const std::string &message) = 0;
  // Whether another device claims any port of [first, last] (for a device
  // whose ports move, such as the PM block at PMBASE).
  virtual bool PortTaken(uint16_t first, uint16_t last, const void *except) const = 0;
  // A PCI function's configuration space, for a device that forwards
  // accesses to it (the MCH's MMCONFIG window): all ones and no effect for
  // an absent function or a register past its 256 bytes.
  virtual uint32_t ReadPciConfig(uint32_t, uint32_t, uint32_t, uint32_t, int size) {
    return size >= 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1;
  }
  virtual void WritePciConfig(uint32_t, uint32_t, uint32_t, uint32_t, int, uint32_t) {}
};

// A host that has no RAM, no clock and records what went wrong (for tests
// and for accesses made before a run).
class NullDeviceHost : public DeviceHost {
 public:
  uint64_t Instructions() const override { return instructions; }
  bool ReadGuest(uint32_t, void *, uint32_t) override { return false; }
  bool WriteGuest(uint32_t, const void *, uint32_t) override { return false; }
  void Misuse(const std::string &kind, const std::string &message) override {
    misuse.push_back(kind + ": " + message);
  }
  bool PortTaken(uint16_t, uint16_t, const void *) const override { return false; }
  uint64_t instructions = 0;
  std::vector<std::string> misuse;
};

inline uint32_t AllOnes32(int size) { return size >= 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1; }

class Device {
 public:
  explicit Device(std::string name) : name_(std::move(name)) {}
  virtual ~Device() = default;
  virtual std::unique_ptr<Device> Clone() const = 0;
  const std::string &Name() const { return name_; }

  // I/O ports: whether the device decodes this access now, and the access.
  virtual bool ClaimsPort(uint16_t, int) const { return false; }
  virtual uint32_t ReadPort(uint16_t, int size, DeviceHost &) { return AllOnes32(size); }
  virtual void WritePort(uint16_t, int, uint32_t, DeviceHost &) {}
  // The name of a port's register, for the trace ("PM_TMR", "CMOS index").
  virtual std::string PortName(uint16_t) const { return ""; }

  // A PCI function's configuration space (when the device is one).
  virtual bool IsPciFunction() const { return false; }
  virtual uint32_t ReadConfig(uint32_t offset, int size) const;
  virtual void WriteConfig(uint32_t, int, uint32_t, DeviceHost &) {}

  // Memory-mapped registers.
  virtual bool ClaimsMemory(uint32_t, int) const { return false; }
  // The name of what an address reaches, for the trace ("" for none).
  virtual std::string MemoryName(uint32_t) const { return ""; }
  virtual uint64_t ReadMemory(uint32_t, int size, DeviceHost &) { return AllOnes32(size); }
  virtual void WriteMemory(uint32_t, int, uint64_t, DeviceHost &) {}

 private:
  std::string name_;
};

// A configuration space with QEMU's write masks: 256 bytes, the bits the
// processor may change, and the bits it clears by writing 1.
struct ConfigSpace {
  uint8_t bytes[256] = {};
  uint8_t writable[256] = {};
  uint8_t clearOnWrite[256] = {};
  uint32_t Read(uint32_t offset, int size) const;
  void Write(uint32_t offset, int size, uint32_t value);
  void Set(uint32_t offset, int size, uint32_t value, uint32_t writableMask = 0);
  uint32_t Get(uint32_t offset, int size) const { return Read(offset, size); }
};

// The standard header QEMU gives its chipset functions: ids, class,
// subsystem, Command's I/O, memory, bus-master and INTx-disable bits, the
// cache-line size and interrupt line writable.
void InitHeader(ConfigSpace &c, uint16_t vendor, uint16_t device, uint32_t classRevision,
                uint8_t headerType);

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_DEVICE_H_

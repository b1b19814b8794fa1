// The emulated chipset: PCI configuration mechanism #1 on ports 0xCF8-0xCFF,
// the configuration spaces of the PCI functions a platform description
// declares (the USB host controllers by default), their memory-mapped
// register files (answering at BAR0 while the function's memory-space bit is
// set), its fixed blocks of memory-mapped registers (the chipset's byte
// registers at 0xFED803ED-0xFED803F1 by default), and its debug console port.
#ifndef TOOLS_SIM_CHIPSET_H_
#define TOOLS_SIM_CHIPSET_H_

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/device.h"
#include "devices/processor.h"
#include "platform_file.h"

namespace peimsim {

constexpr uint16_t kConfigAddressPort = 0xCF8;
constexpr uint16_t kConfigDataPort = 0xCFC;
constexpr uint32_t kConfigEnable = 0x80000000u;
constexpr uint8_t kConsoleReadback = 0xE9;  // what a read of the debug console port gives

constexpr int kChipsetDevice = -2;  // Target::device for a register block (Target::region)
constexpr int kModelDevice = -3;    // Target::device for a device model (Target::region)
constexpr int kNoDevice = -1;

struct PciFunction {
  std::string role;  // "EHCI 0", "OHCI 3"
  uint8_t bus = 0, device = 0, function = 0;
  bool ehci = false;
  uint32_t barSize = 0;
  std::array<uint8_t, 256> config{};
  std::array<uint8_t, 256> configWriteMask{};
  std::vector<uint8_t> regs;           // barSize bytes
  std::vector<uint8_t> regsWriteMask;  // barSize bytes
  int model = -1;  // the device model whose configuration space this is, or -1

  uint32_t Config32(uint32_t offset) const;
  uint32_t Bar() const { return Config32(0x10) & ~0xFu; }
  bool MemoryEnabled() const { return (config[0x04] & 0x02) != 0; }
  bool Decodes() const { return MemoryEnabled() && Bar() != 0; }
  uint32_t CfAddress() const { return uint32_t(bus) << 16 | uint32_t(device) << 11 | uint32_t(function) << 8; }
  std::string Bdf() const;
};

// What an access reached.
struct Target {
  int device = kNoDevice;  // function index, kChipsetDevice, or kNoDevice
  int region = -1;         // the register block, for kChipsetDevice
  uint32_t offset = 0;     // register offset in the configuration space or register file
  bool claimed = false;    // some device answered for every byte
};

// What a port access was, for the trace and the checks.
enum class PortKind : uint8_t {
  kConfigAddress,      // 32-bit access to CONFIG_ADDRESS
  kConfigData,         // data port access with the enable bit set
  kConfigDisabled,     // data port access with the enable bit clear
  kConfigBadWidth,     // non-32-bit access to 0xCF8-0xCFB, or one that crosses CONFIG_DATA
  kConsole,            // the debug console port
  kDevice,             // a device model's port (Target::region names it)
  kUnclaimed,          // any other port
};

struct PortResult {
  PortKind kind = PortKind::kUnclaimed;
  uint32_t configAddress = 0;  // CONFIG_ADDRESS when the access was made
  Target target;               // kConfigData: the function (or none) and the register
};

// A misuse a device model reported during an access (a named violation).
struct DeviceMisuse {
  std::string kind, message;
};

class Chipset : private DeviceHost {
 public:
  // The default platform (DefaultPlatform()), or a described one.
  Chipset();
  explicit Chipset(const PlatformDescription &description);
  Chipset(const Chipset &other);
  Chipset &operator=(const Chipset &other);

  // Processor side. Reads of anything that does not answer return all ones.
  uint32_t PortRead(uint16_t port, int size, PortResult &result);
  void PortWrite(uint16_t port, int size, uint32_t value, PortResult &result);
  Target DecodeMemory(uint32_t address, int size) const;
  uint64_t MemoryRead(const Target &target, int size);
  void MemoryWrite(const Target &target, int size, uint64_t value);

  // Initial contents, as set up before a run. They are taken verbatim: the
  // write masks only apply to writes from the processor.
  bool SetConfig(const std::string &bdf, uint32_t offset, int width, uint32_t value,
                 std::string &error);
  bool SetFunctionRegister(const std::string &bdf, uint32_t offset, int width, uint32_t value,
                           std::string &error);
  bool SetChipsetRegister(uint32_t address, int width, uint32_t value, std::string &error);
  // Every register that the setters can reach, from a generator started at start.
  void Randomize(uint32_t start);

  int FunctionCount() const { return int(functions_.size()); }
  const PciFunction &Function(int index) const { return functions_[index]; }
  PciFunction &Function(int index) { return functions_[index]; }
  int FindFunction(uint32_t bus, uint32_t device, uint32_t function) const;
  int FindFunction(const std::string &bdf) const;
  int RegionCount() const { return int(regions_.size()); }
  const RegionDescription &Region(int index) const { return regions_[index]; }
  uint32_t ConfigAddress() const { return configAddress_; }
  bool HasConsole() const { return console_; }
  uint16_t ConsolePort() const { return consolePort_; }

  // The device models (tools/sim/devices/): their clock, the guest memory a
  // DMA reaches, and what they reported.
  void SetClock(uint64_t callInstructions) {
    if (callInstructions < lastCall_) clockBase_ += lastCall_;
    lastCall_ = callInstructions;
  }
  // The devices' time at this point of the call.
  uint64_t Clock(uint64_t callInstructions) {
    SetClock(callInstructions);
    return Instructions();
  }
  using GuestMemory = std::function<bool(uint32_t address, void *data, uint32_t size, bool write)>;
  void SetGuestMemory(GuestMemory memory) { guestMemory_ = std::move(memory); }
  bool HasMisuse() const { return !misuse_.empty(); }
  std::vector<DeviceMisuse> TakeMisuse() { return std::move(misuse_); }
  int ModelCount() const { return int(models_.size()); }
  const Device &Model(int index) const { return *models_[index]; }
  // The name of a model's port access for the trace ("fw_cfg selector (fw-cfg)").
  std::string ModelPortName(int index, uint16_t port) const;
  bool HasProcessor() const { return processor_.has_value(); }
  Processor &processor() { return *processor_; }

  // The platform file's name and fields for an access (field statements):
  // index is the function's, or the block's for kBlock. Empty where none.
  RegisterText DescribeRegister(RegisterLayout::Space space, int index, uint32_t offset, int width,
                                uint64_t value) const;
  std::vector<const RegisterLayout *> Layouts(RegisterLayout::Space space, int index) const;
  // Register names for the trace: "BAR0", "Command", "CAPLENGTH/HCIVERSION".
  static std::string ConfigRegisterName(uint32_t offset, int width);
  static std::string EhciRegisterName(uint32_t offset, int width);

 private:
  uint32_t ConfigRead(int fn, uint32_t offset, int size) const;
  void ConfigWrite(int fn, uint32_t offset, int size, uint32_t value);
  PortResult DecodeDataPort(uint16_t port, int size) const;

  // DeviceHost, for the models.
  uint64_t Instructions() const override { return clockBase_ + lastCall_; }
  bool ReadGuest(uint32_t address, void *data, uint32_t size) override {
    return guestMemory_ && guestMemory_(address, data, size, false);
  }
  bool WriteGuest(uint32_t address, const void *data, uint32_t size) override {
    return guestMemory_ && guestMemory_(address, const_cast<void *>(data), size, true);
  }
  void Misuse(const std::string &kind, const std::string &message) override {
    misuse_.push_back({kind, message});
  }
  bool PortTaken(uint16_t first, uint16_t last, const void *except) const override;
  uint32_t ReadPciConfig(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset,
                         int size) override;
  void WritePciConfig(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset, int size,
                      uint32_t value) override;
  // The model that claims a port access (its index, with result filled in), or -1.
  int ModelPort(uint16_t port, int size, PortResult &result) const;

  std::vector<PciFunction> functions_;
  std::vector<RegionDescription> regions_;
  std::vector<std::unique_ptr<Device>> models_;
  std::optional<Processor> processor_;
  GuestMemory guestMemory_;
  std::vector<DeviceMisuse> misuse_;
  uint64_t clockBase_ = 0, lastCall_ = 0;
  bool console_ = false;
  uint16_t consolePort_ = 0;
  uint32_t configAddress_ = 0;
  std::shared_ptr<const std::vector<RegisterLayout>> layouts_;  // read only: shared by copies
};

// A PCI function's address as BB:DD.F in hex (00:12.2): bus and device one
// or two digits, the function one; nothing before or after.
bool ParseBdf(const std::string &text, unsigned &bus, unsigned &dev, unsigned &fn);

// Text of the default platform contents, for --help.
std::string DescribeDefaultChipset();

}  // namespace peimsim

#endif  // TOOLS_SIM_CHIPSET_H_

// A platform description: the PCI functions on the emulated chipset with
// their configuration space and memory-mapped register file, fixed blocks of
// memory-mapped registers, and the debug console port. It is read from a
// small line-based file (the format is in tools/sim/README.md); the default
// platform, the USB chipset, is tools/sim/platforms/usb-chipset.platform
// built into the binary, and --platform FILE takes another.
#ifndef TOOLS_SIM_PLATFORM_FILE_H_
#define TOOLS_SIM_PLATFORM_FILE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/fw_cfg.h"
#include "register_layout.h"

namespace peimsim {

// Bounds on what a description may ask for, so that any file costs bounded
// memory (the chipset's state is copied before every dispatch).
constexpr size_t kMaxPlatformFunctions = 64;
constexpr size_t kMaxPlatformRegions = 16;
constexpr uint32_t kMaxRegisterFile = 0x10000;  // bytes, per BAR0 file or register block
constexpr uint64_t kMaxPlatformFileBytes = 1u << 20;
constexpr size_t kMaxPlatformLine = 1024;
constexpr size_t kMaxPlatformName = 32;

struct FunctionDescription {
  std::string name;  // "EHCI 0": how the trace names it
  uint8_t bus = 0, device = 0, function = 0;
  bool ehci = false;     // an EHCI controller: its registers are named in the trace
  uint32_t barSize = 0;  // BAR0's memory register file, 0 for none
  std::array<uint8_t, 256> config{};
  std::array<uint8_t, 256> configWriteMask{};  // bits the processor may change
  std::vector<uint8_t> regs;                   // barSize bytes
  std::vector<uint8_t> regsWriteMask;          // barSize bytes
  std::string model;  // a device model's kind ("q35-mch"), whose registers are code
  // Writes made to the model before the run (config-write), in order, as
  // the firmware's first phase leaves the device: offset, bytes, value.
  struct Write {
    uint32_t offset;
    int bytes;
    uint32_t value;
  };
  std::vector<Write> writes;
};

// A device model of tools/sim/devices/ ("device KIND ..." in a file).
struct ModelDescription {
  std::string kind, name;
};

// Registers at a fixed memory-mapped address, decoded whatever the PCI
// functions' state ("chipset" at 0xFED803ED on the default platform).
struct RegionDescription {
  std::string name;
  uint32_t base = 0, size = 0;
  std::vector<uint8_t> regs, regsWriteMask;
};

struct PlatformDescription {
  std::vector<FunctionDescription> functions;
  std::vector<RegionDescription> regions;
  bool console = false;  // a debug console: bytes written to its port become text lines
  uint16_t consolePort = 0;
  std::vector<ModelDescription> models;  // devices that are not PCI functions
  bool processor = false;  // CPUID and the MSRs answered as QEMU's qemu32 (processor qemu32)
  uint32_t ramBytes = 0;   // the machine's memory below 4 GiB (ram SIZE), for the models
  std::shared_ptr<FwCfgData> fwCfg;  // the fw-cfg device's items (fwcfg, fwcfg-file)
  std::vector<RegisterLayout> registers;  // names and bit fields for the trace (field)
};

// Parses a description; name is the file's name for messages. False with
// one line "NAME:LINE: problem" for anything malformed or out of bounds.
bool ParsePlatform(const std::string &text, const std::string &name, PlatformDescription &out,
                   std::string &error);

// Reads (a bounded regular file) and parses FILE.
bool ReadPlatformFile(const std::string &path, PlatformDescription &out, std::string &error);

// The built-in q35 machine (--platform q35), and its text.
const PlatformDescription &Q35Platform();
const std::string &Q35PlatformText();
constexpr const char *kQ35PlatformName = "q35.platform";

// The built-in USB chipset, and the text it was parsed from.
const PlatformDescription &DefaultPlatform();
const std::string &DefaultPlatformText();
constexpr const char *kDefaultPlatformName = "usb-chipset.platform";

}  // namespace peimsim

#endif  // TOOLS_SIM_PLATFORM_FILE_H_

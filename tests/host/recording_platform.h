// A recording stand-in for the module's hardware primitives: every port,
// memory-mapped and zero-fill store access is logged in order, and reads are
// answered from a small model of the platform (PCI configuration mechanism #1
// with byte-addressed configuration spaces, and byte-addressed memory-mapped
// registers) that reads back what was written.
#ifndef TESTS_HOST_RECORDING_PLATFORM_H_
#define TESTS_HOST_RECORDING_PLATFORM_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class Op { IoRead, IoWrite, MmioRead, MmioWrite, Store, MmxSave, MmxRestore };

struct Access {
  Op op;
  unsigned width;     // bits (8, 16, 32; 64 for MMX block stores)
  uint64_t address;   // port or memory address
  uint32_t value;     // value read or written (0 for stores)
  bool operator==(const Access &o) const {
    return op == o.op && width == o.width && address == o.address && value == o.value;
  }
};

std::string Describe(const Access &a);

class RecordingPlatform {
 public:
  RecordingPlatform();
  ~RecordingPlatform();
  static RecordingPlatform &Current();

  std::vector<Access> log;

  // PCI configuration space, byte per (bus/device/function/register) address
  // in CONFIG_ADDRESS form; unset bytes read 0xFF for absent functions and
  // 0x00 for the seven USB functions (see IsUsbFunction).
  std::map<uint32_t, uint8_t> config;
  uint32_t configAddress = 0;  // CONFIG_ADDRESS latch

  // Memory-mapped registers, byte-addressed; unset bytes read 0.
  std::map<uint64_t, uint8_t> memory;

  void SetConfig(uint32_t address, unsigned width, uint32_t value);
  uint32_t GetConfig(uint32_t address, unsigned width) const;
  void SetMemory(uint64_t address, unsigned width, uint32_t value);
  uint32_t GetMemory(uint64_t address, unsigned width) const;

  // Hardware accesses only (no zero-fill stores).
  std::vector<Access> HardwareAccesses() const;
};

#endif  // TESTS_HOST_RECORDING_PLATFORM_H_

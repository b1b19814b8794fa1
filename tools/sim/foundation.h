// The PEI Foundation's data: where its tables lie, the service entry
// points, and what it records of the calls made into it.
#ifndef TOOLS_SIM_FOUNDATION_H_
#define TOOLS_SIM_FOUNDATION_H_

#include <cstdint>
#include <string>

#include "memory_map.h"
#include "pi_names.h"

namespace peimsim {

// Fixed addresses inside the Foundation's data page.
constexpr uint32_t kPeiServicesCell = kFoundationData + 0x000;  // CONST EFI_PEI_SERVICES **
constexpr uint32_t kPeiServicesTable = kFoundationData + 0x010;
constexpr uint32_t kStallPpi = kFoundationData + 0x100;
constexpr uint32_t kStallPpiDescriptor = kFoundationData + 0x110;
constexpr uint32_t kStallPpiGuidAddress = kFoundationData + 0x120;
constexpr uint32_t kFileHandle = kFoundationData + 0x200;  // the module's (dummy) FFS file
constexpr uint32_t kReturnTrap = kFoundationCode + 0xFF0;  // where called code returns to

// Each service (and PPI member) has an int3 entry of its own on the
// Foundation's code page, kServiceStride bytes apart.
constexpr uint32_t kServiceStride = 16;
constexpr int kStallEntry = kServiceSlots;  // service page entry of the Stall PPI's Stall
constexpr uint32_t kServiceEntriesEnd = kFoundationCode + (kStallEntry + 1) * kServiceStride;

// One PEI service or PPI member called by the module, decoded.
struct ServiceCall {
  std::string name;     // "GetBootMode", "Stall"
  int slot = -1;        // PEI services slot, -1 for PPI members
  uint32_t args[6] = {};  // the stack arguments, PeiServices first
  uint32_t status = 0;
  bool injected = false;   // the status is a failure set up with --fail
  bool expected = true;    // a service this module may use
  std::string arguments;   // decoded, after PeiServices
  std::string results;     // what it handed back
};

// A failure to inject: the service's call number `call` (1-based, 0 = every
// call) returns `status` without doing anything.
struct Failure {
  std::string service;
  uint32_t status = 0;
  uint32_t call = 0;
};

struct InstalledPpi {
  uint32_t descriptor = 0;
  uint32_t flags = 0;
  Guid guid{};
  uint32_t guidAddress = 0;
  uint32_t ppi = 0;
  bool byModule = false;
};

struct Allocation {
  uint32_t address = 0;
  uint32_t pages = 0;
  uint32_t type = 0;
};

}  // namespace peimsim

#endif  // TOOLS_SIM_FOUNDATION_H_

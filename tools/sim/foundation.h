// The PEI Foundation's data: where its tables lie, the service entry
// points, and what it records of the calls made into it.
#ifndef TOOLS_SIM_FOUNDATION_H_
#define TOOLS_SIM_FOUNDATION_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "memory_map.h"
#include "pi_names.h"

namespace peimsim {

// Fixed addresses inside the Foundation's data page.
constexpr uint32_t kPeiServicesCell = kFoundationData + 0x000;  // CONST EFI_PEI_SERVICES **
constexpr uint32_t kPeiServicesTable = kFoundationData + 0x010;
constexpr uint32_t kStallPpi = kFoundationData + 0x100;
constexpr uint32_t kStallPpiDescriptor = kFoundationData + 0x110;
constexpr uint32_t kStallPpiGuidAddress = kFoundationData + 0x120;
constexpr uint32_t kMemoryDiscoveredDescriptor = kFoundationData + 0x140;  // and its GUID at +12
constexpr uint32_t kFileHandle = kFoundationData + 0x200;  // the module's (dummy) FFS file
// EFI_PEI_CPU_IO_PPI and EFI_PEI_PCI_CFG2_PPI, which the services table's
// CpuIo and PciCfg slots point at: tables of member functions.
constexpr uint32_t kCpuIoPpi = kFoundationData + 0x300;   // 20 members
constexpr uint32_t kPciCfgPpi = kFoundationData + 0x360;  // Read, Write, Modify, Segment
// The IA-32 binding keeps CONST EFI_PEI_SERVICES ** in the 4 bytes below
// the IDT: a PEIM finds it with SIDT. The IDT holds 256 empty gates.
constexpr uint32_t kIdtBase = kFoundationData + 0x800;
constexpr uint32_t kIdtLimit = 256 * 8 - 1;
constexpr uint32_t kReturnTrap = kFoundationCode + 0xFF0;  // where called code returns to

// Each service (and PPI member) has an int3 entry of its own on the
// Foundation's code page, kServiceStride bytes apart.
constexpr uint32_t kServiceStride = 16;
constexpr int kStallEntry = kServiceSlots;  // service page entry of the Stall PPI's Stall
constexpr int kCpuIoEntries = kStallEntry + 1;  // the CpuIo PPI's 20 members
constexpr int kPciCfgEntries = kCpuIoEntries + 20;  // the PciCfg PPI's Read, Write, Modify
constexpr int kNotifyReturnEntry = kPciCfgEntries + 3;  // where a notify callback returns
// Where a status code PPI's ReportStatusCode returns to ReportStatusCode.
constexpr int kStatusCodeReturnEntry = kNotifyReturnEntry + 1;
constexpr int kEntryCount = kStatusCodeReturnEntry + 1;
constexpr uint32_t kServiceEntriesEnd = kFoundationCode + kEntryCount * kServiceStride;
static_assert(kServiceEntriesEnd <= kReturnTrap, "service entries overlap the return trap");

// The name of a service page entry: a services table slot ("LocatePpi"), or a
// PPI member ("Stall", "CpuIo.IoRead8", "PciCfg.Read"); "" for none.
std::string EntryName(int entry);
// The entry a --fail name refers to, or -1.
int EntryFromName(const std::string &name);
// Whether the member takes CONST EFI_PEI_SERVICES ** as its first argument
// (CopyMem, SetMem, the file and volume services, RegisterForShadow and
// ResetSystem2 do not).
bool EntryTakesPeiServices(int entry);

// HOB types and the EFI_HOB_HANDOFF_INFO_TABLE fields the Foundation keeps
// up to date.
constexpr uint16_t kHobHandoff = 0x0001;
constexpr uint16_t kHobMemoryAllocation = 0x0002;
constexpr uint16_t kHobResourceDescriptor = 0x0003;
constexpr uint16_t kHobGuidExtension = 0x0004;
constexpr uint16_t kHobFv = 0x0005;
constexpr uint16_t kHobCpu = 0x0006;
constexpr uint16_t kHobMemoryPool = 0x0007;
constexpr uint16_t kHobEndOfList = 0xFFFF;

// An argument a service was handed, or an output it wrote, as data (the
// JSON trace carries these beside the text): its name as the text has it
// and what kind of value it is.
struct ServiceField {
  enum class Kind : uint8_t { kGuid, kNumber, kPointer, kStatus, kBootMode, kMemoryType, kText };
  std::string name;  // "Guid", "Instance", "Ppi", "PpiList[0].Flags"
  Kind kind = Kind::kText;
  uint64_t value = 0;  // the number, address, status, boot mode or memory type
  Guid guid{};
  bool hasWhere = false;  // a pointer: where it points is known (not NULL)
  std::string text;       // where a pointer points ("stack", "image+0x30F"), or the text
};

// A call's fields in order; each Add returns the list, so that a call site
// adds its fields in one statement.
struct ServiceFields {
  std::vector<ServiceField> list;
  ServiceFields &Add(const std::string &name, ServiceField::Kind kind, uint64_t value) {
    ServiceField f;
    f.name = name;
    f.kind = kind;
    f.value = value;
    list.push_back(std::move(f));
    return *this;
  }
  ServiceFields &AddGuid(const std::string &name, const Guid &guid) {
    Add(name, ServiceField::Kind::kGuid, 0).list.back().guid = guid;
    return *this;
  }
  ServiceFields &AddNumber(const std::string &name, uint64_t value) {
    return Add(name, ServiceField::Kind::kNumber, value);
  }
  // `where` as Platform::Where names the place; a NULL pointer points nowhere.
  ServiceFields &AddPointer(const std::string &name, uint64_t address, const std::string &where) {
    Add(name, ServiceField::Kind::kPointer, address);
    list.back().hasWhere = address != 0 && !where.empty();
    if (list.back().hasWhere) list.back().text = where;
    return *this;
  }
  ServiceFields &AddStatus(const std::string &name, uint32_t status) {
    return Add(name, ServiceField::Kind::kStatus, status);
  }
  ServiceFields &AddBootMode(const std::string &name, uint32_t mode) {
    return Add(name, ServiceField::Kind::kBootMode, mode);
  }
  ServiceFields &AddMemoryType(const std::string &name, uint32_t type) {
    return Add(name, ServiceField::Kind::kMemoryType, type);
  }
  ServiceFields &AddText(const std::string &name, const std::string &text) {
    Add(name, ServiceField::Kind::kText, 0).list.back().text = text;
    return *this;
  }
};

// One PEI service or PPI member called by the module, decoded.
struct ServiceCall {
  std::string name;     // "GetBootMode", "Stall"
  int slot = -1;        // PEI services slot, -1 for PPI members
  uint32_t args[8] = {};  // the stack arguments, PeiServices first (where it takes it)
  uint32_t status = 0;
  bool injected = false;   // the status is a failure set up with --fail
  bool expected = true;    // a service this module may use
  bool supported = true;   // the Foundation carries it out
  bool returns64 = false;  // the result is EDX:EAX (CpuIo 64-bit reads)
  uint32_t statusHigh = 0;
  std::string arguments;   // decoded, after PeiServices
  std::string results;     // what it handed back
  // The same as data: the arguments (after PeiServices) and the outputs it
  // wrote. The text above stays what the text trace and --expect compare.
  ServiceFields in, out;
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
  uint32_t bytes = 0;  // pool allocations and HOBs the module created: their size in bytes
};

// A notification the module registered with NotifyPpi.
struct Notification {
  uint32_t descriptor = 0;
  uint32_t flags = 0;  // NOTIFY_CALLBACK or NOTIFY_DISPATCH
  Guid guid{};
  uint32_t function = 0;
};

// A callback the Foundation is running on the module's behalf, from inside
// a service call: when it returns, the next one runs or the service returns
// to its caller with `status`.
struct PendingReturn {
  uint32_t status = 0;
  std::vector<std::pair<Notification, InstalledPpi>> callbacks;
  size_t next = 0;
  uint32_t esp = 0;  // the service's return address lies here
};

// The volumes given to the Foundation, as mapped into the platform's memory.
struct FvSection {
  uint32_t address = 0, size = 0, headerSize = 0;
  uint8_t type = 0;
};
struct FvFile {
  uint32_t address = 0, size = 0, headerSize = 0;
  Guid name{};
  uint8_t type = 0, attributes = 0;
  std::vector<FvSection> sections;
};
struct FvVolume {
  uint32_t address = 0, length = 0, attributes = 0;
  Guid format{}, name{};
  std::vector<FvFile> files;
};

}  // namespace peimsim

#endif  // TOOLS_SIM_FOUNDATION_H_

// Names a firmware engineer reads in a trace: status codes, boot modes,
// PEI services and the GUIDs the platform knows.
#ifndef TOOLS_SIM_PI_NAMES_H_
#define TOOLS_SIM_PI_NAMES_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "pi_guids.h"

namespace peimsim {

using Guid = toolio::GuidBytes;  // in memory layout

constexpr uint32_t kEfiSuccess = 0;
constexpr uint32_t kErrorBit = 0x80000000u;
constexpr uint32_t kEfiInvalidParameter = kErrorBit | 2;
constexpr uint32_t kEfiUnsupported = kErrorBit | 3;
constexpr uint32_t kEfiDeviceError = kErrorBit | 7;
constexpr uint32_t kEfiOutOfResources = kErrorBit | 9;
constexpr uint32_t kEfiNotFound = kErrorBit | 14;
constexpr uint32_t kEfiAlreadyStarted = kErrorBit | 20;
constexpr uint32_t kEfiNotAvailableYet = 0xA0000002;  // DXE_ERROR (2)

constexpr uint32_t kBootOnS3Resume = 0x11;

// "EFI_SUCCESS", "EFI_NOT_FOUND", or the number in hex.
std::string StatusName(uint32_t status);
std::optional<uint32_t> StatusFromName(const std::string &name);

// "BOOT_ON_S3_RESUME", or "" for an unknown mode.
std::string BootModeName(uint32_t mode);
std::optional<uint32_t> BootModeFromName(const std::string &name);
// Every boot mode name, comma separated.
std::string BootModeNames();

// "EfiBootServicesData", or "" for an unknown type.
std::string MemoryTypeName(uint32_t type);

// The slots of EFI_PEI_SERVICES after its 24-byte header, in table order.
constexpr int kServiceSlots = 28;
const char *ServiceSlotName(int slot);  // slot 0 = InstallPpi at offset 0x18
int ServiceSlotFromName(const std::string &name);  // -1 if unknown

// Textual form, parsing and known names: shared with fvtool.
using toolio::GuidName;
using toolio::GuidText;
// Parses the textual form into memory layout.
std::optional<Guid> GuidFromText(const std::string &text);

// "0x1F" with at least `digits` hex digits.
std::string Hex(uint64_t value, int digits = 0);

extern const Guid kStallPpiGuid;
extern const Guid kMemoryDiscoveredPpiGuid;  // gEfiPeiMemoryDiscoveredPpiGuid
extern const Guid kStatusCodePpiGuid;        // gEfiPeiStatusCodePpiGuid
extern const Guid kUsbControllerPpiGuid;

}  // namespace peimsim

#endif  // TOOLS_SIM_PI_NAMES_H_

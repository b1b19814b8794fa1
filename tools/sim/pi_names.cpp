#include "pi_names.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "numbers.h"
#include "pi_guids.h"

namespace peimsim {
namespace {

const char *const kStatusNames[] = {
    "EFI_SUCCESS",          "EFI_LOAD_ERROR",       "EFI_INVALID_PARAMETER",
    "EFI_UNSUPPORTED",      "EFI_BAD_BUFFER_SIZE",  "EFI_BUFFER_TOO_SMALL",
    "EFI_NOT_READY",        "EFI_DEVICE_ERROR",     "EFI_WRITE_PROTECTED",
    "EFI_OUT_OF_RESOURCES", "EFI_VOLUME_CORRUPTED", "EFI_VOLUME_FULL",
    "EFI_NO_MEDIA",         "EFI_MEDIA_CHANGED",    "EFI_NOT_FOUND",
    "EFI_ACCESS_DENIED",    "EFI_NO_RESPONSE",      "EFI_NO_MAPPING",
    "EFI_TIMEOUT",          "EFI_NOT_STARTED",      "EFI_ALREADY_STARTED",
    "EFI_ABORTED",
};
constexpr int kStatusCount = sizeof kStatusNames / sizeof kStatusNames[0];

struct BootMode {
  uint32_t value;
  const char *name;
};
const BootMode kBootModes[] = {
    {0x00, "BOOT_WITH_FULL_CONFIGURATION"},
    {0x01, "BOOT_WITH_MINIMAL_CONFIGURATION"},
    {0x02, "BOOT_ASSUMING_NO_CONFIGURATION_CHANGES"},
    {0x03, "BOOT_WITH_FULL_CONFIGURATION_PLUS_DIAGNOSTICS"},
    {0x04, "BOOT_WITH_DEFAULT_SETTINGS"},
    {0x05, "BOOT_ON_S4_RESUME"},
    {0x06, "BOOT_ON_S5_RESUME"},
    {0x07, "BOOT_WITH_MFG_MODE_SETTINGS"},
    {0x10, "BOOT_ON_S2_RESUME"},
    {0x11, "BOOT_ON_S3_RESUME"},
    {0x12, "BOOT_ON_FLASH_UPDATE"},
    {0x20, "BOOT_IN_RECOVERY_MODE"},
};

const char *const kMemoryTypes[] = {
    "EfiReservedMemoryType",  "EfiLoaderCode",          "EfiLoaderData",
    "EfiBootServicesCode",    "EfiBootServicesData",    "EfiRuntimeServicesCode",
    "EfiRuntimeServicesData", "EfiConventionalMemory",  "EfiUnusableMemory",
    "EfiACPIReclaimMemory",   "EfiACPIMemoryNVS",
};

const char *const kServiceNames[kServiceSlots] = {
    "InstallPpi",        "ReInstallPpi",      "LocatePpi",        "NotifyPpi",
    "GetBootMode",       "SetBootMode",       "GetHobList",       "CreateHob",
    "FfsFindNextVolume", "FfsFindNextFile",   "FfsFindSectionData", "InstallPeiMemory",
    "AllocatePages",     "AllocatePool",      "CopyMem",          "SetMem",
    "ReportStatusCode",  "ResetSystem",       "CpuIo",            "PciCfg",
    "FfsFindFileByName", "FfsGetFileInfo",    "FfsGetVolumeInfo", "RegisterForShadow",
    "FindSectionData3",  "FfsGetFileInfo2",   "ResetSystem2",     "FreePages",
};

// Decimal or 0x-prefixed hex, 32 bits, nothing else (no sign, no blanks,
// no octal).
bool ParseNumber(const std::string &text, uint32_t &value) {
  uint64_t v;
  std::string ignored;
  if (!toolio::ParseUnsigned(text, 0, 0xFFFFFFFFull, v, ignored)) return false;
  value = uint32_t(v);
  return true;
}

}  // namespace

const Guid kStallPpiGuid = *GuidFromText("1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56");
const Guid kMemoryDiscoveredPpiGuid = *GuidFromText("F894643D-C449-42D1-8EA8-85BDD8C65BDE");
const Guid kStatusCodePpiGuid = *GuidFromText("229832D3-7A30-4B36-B827-F40CB7D45436");
const Guid kUsbControllerPpiGuid = *GuidFromText("3BC1F6DE-693E-4547-A300-21823CA420B2");

std::string Hex(uint64_t value, int digits) {
  char s[24];
  snprintf(s, sizeof s, "0x%0*llX", digits, (unsigned long long)value);
  return s;
}

std::string StatusName(uint32_t status) {
  if (status == 0) return kStatusNames[0];
  if ((status & kErrorBit) && (status & ~kErrorBit) < uint32_t(kStatusCount))
    return kStatusNames[status & ~kErrorBit];
  if (status == kEfiNotAvailableYet) return "EFI_NOT_AVAILABLE_YET";
  char s[16];
  snprintf(s, sizeof s, "0x%08X", status);
  return s;
}

std::optional<uint32_t> StatusFromName(const std::string &name) {
  for (int i = 0; i < kStatusCount; i++)
    if (name == kStatusNames[i] || name == kStatusNames[i] + 4)  // with or without "EFI_"
      return i == 0 ? 0 : (kErrorBit | uint32_t(i));
  uint32_t v;
  if (ParseNumber(name, v)) return v;
  return std::nullopt;
}

std::string BootModeName(uint32_t mode) {
  for (const BootMode &m : kBootModes)
    if (m.value == mode) return m.name;
  return "";
}

std::optional<uint32_t> BootModeFromName(const std::string &name) {
  for (const BootMode &m : kBootModes)
    if (name == m.name) return m.value;
  uint32_t v;
  if (ParseNumber(name, v)) return v;
  return std::nullopt;
}

std::string BootModeNames() {
  std::string names;
  for (const BootMode &m : kBootModes) names += (names.empty() ? "" : ", ") + std::string(m.name);
  return names;
}

std::string MemoryTypeName(uint32_t type) {
  if (type < sizeof kMemoryTypes / sizeof kMemoryTypes[0]) return kMemoryTypes[type];
  return "";
}

const char *ServiceSlotName(int slot) {
  return slot >= 0 && slot < kServiceSlots ? kServiceNames[slot] : "?";
}

int ServiceSlotFromName(const std::string &name) {
  for (int i = 0; i < kServiceSlots; i++)
    if (name == kServiceNames[i]) return i;
  return -1;
}

std::optional<Guid> GuidFromText(const std::string &text) {
  Guid g{};
  if (!toolio::ParseGuid(text, g)) return std::nullopt;
  return g;
}

}  // namespace peimsim

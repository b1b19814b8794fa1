#include "pi_guids.h"

#include <cctype>
#include <cstdio>
#include <unordered_map>

namespace toolio {
namespace {

struct KnownGuid {
  const char *text;
  const char *name;
};

const KnownGuid kKnownGuids[] = {
    // File systems, encodings and well-known files.
    {"8C8CE578-8A3D-4F1C-9935-896185C32DD3", "gEfiFirmwareFileSystem2Guid"},
    {"5473C07A-3DCB-4DCA-BD6F-1E9689E7349A", "gEfiFirmwareFileSystem3Guid"},
    {"EE4E5898-3914-4259-9D6E-DC7BD79403CF", "LZMA compressed"},
    {"FC1BCDB0-7D31-49AA-936A-A4600D9DD083", "CRC32 guarded"},
    {"1B45CC0A-156A-428A-AF62-49864DA0E6E6", "PEI apriori file"},
    {"FC510EE7-FFDC-11D4-BD41-0080C73C8881", "DXE apriori file"},
    {"1BA0062E-C779-4582-8566-336AE8F78F09", "volume top file"},
    // PPIs.
    {"1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56", "gEfiPeiStallPpiGuid"},
    {"3BC1F6DE-693E-4547-A300-21823CA420B2", "gPeiUsbControllerPpiGuid"},
    {"F894643D-C449-42D1-8EA8-85BDD8C65BDE", "gEfiPeiMemoryDiscoveredPpiGuid"},
    {"605EA650-C65C-42E1-BA80-91A52AB618C6", "gEfiEndOfPeiSignalPpiGuid"},
    {"7408D748-FC8C-4EE6-9288-C4BEC092A410", "gEfiPeiMasterBootModePpiGuid"},
    {"17EE496A-D8E4-4B9A-94D1-CE8272300850", "gEfiPeiBootInRecoveryModePpiGuid"},
    {"2AB86EF5-ECB5-4134-B556-3854CA1FE1B4", "gEfiPeiReadOnlyVariable2PpiGuid"},
    {"057A449A-1FDC-4C06-BFC9-F53F6A99BB92", "gEfiPciCfg2PpiGuid"},
    {"E6AF1F7B-FC3F-46DA-A828-A3B457A44282", "gEfiPeiCpuIoPpiInstalledGuid"},
    {"1A36E4E7-FAB6-476A-8E75-695A0576FDD7", "gEfiPeiDecompressPpiGuid"},
    {"0AE8CE5D-E448-4437-A8D7-EBF5F194F731", "gEfiDxeIplPpiGuid"},
    {"DBE23AA9-A345-4B97-85B6-B226F1617389", "gEfiTemporaryRamSupportPpiGuid"},
    {"EF398D58-9DFD-4103-BF94-78C6F4FE712F", "gEfiPeiResetPpiGuid"},
    {"229832D3-7A30-4B36-B827-F40CB7D45436", "gEfiPeiStatusCodePpiGuid"},
    {"49EDB1C1-BF21-4761-BB12-EB0031AABB39", "gEfiPeiFirmwareVolumeInfoPpiGuid"},
    {"EA7CA24B-DED5-4DAD-A389-BF827E8F9B38", "gEfiPeiFirmwareVolumeInfo2PpiGuid"},
    {"B9E0ABFE-5979-4914-977F-6DEE78C278A6", "gEfiPeiLoadFilePpiGuid"},
    {"DCD0BE23-9586-40F4-B643-06522CCE4D38", "gEfiPeiSecurity2PpiGuid"},
};

// What EDK2's package declarations name (generated, see the file's head);
// a GUID in both tables keeps the name above.
const KnownGuid kEdk2Guids[] = {
#include "pi_guids_edk2.inc"
};

// Both tables by the GUID's upper-case text.
const std::unordered_map<std::string, const char *> &Table() {
  static const std::unordered_map<std::string, const char *> table = [] {
    std::unordered_map<std::string, const char *> t;
    for (const KnownGuid &k : kKnownGuids) t.emplace(k.text, k.name);
    for (const KnownGuid &k : kEdk2Guids) t.emplace(k.text, k.name);
    return t;
  }();
  return table;
}

}  // namespace

std::string GuidText(const GuidBytes &g) {
  char s[40];
  snprintf(s, sizeof s, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
           g[3], g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12],
           g[13], g[14], g[15]);
  return s;
}

bool ParseGuid(const std::string &text, GuidBytes &guid) {
  // Where each memory byte's two digits start in the text: Data1-3 are
  // stored little endian, Data4 in text order.
  static const int kPos[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); i++) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  auto digit = [](char c) {
    return c <= '9' ? c - '0' : (std::toupper(static_cast<unsigned char>(c)) - 'A' + 10);
  };
  for (int i = 0; i < 16; i++)
    guid[i] = uint8_t(digit(text[kPos[i]]) << 4 | digit(text[kPos[i] + 1]));
  return true;
}

std::string GuidName(const GuidBytes &guid) {
  std::string text = GuidText(guid);
  std::string name = KnownGuidName(text);
  return name.empty() ? text : name;
}

std::string KnownGuidName(const std::string &text) {
  std::string upper = text;
  for (char &c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  auto known = Table().find(upper);
  return known == Table().end() ? "" : known->second;
}

}  // namespace toolio

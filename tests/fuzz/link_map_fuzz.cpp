// The link-map reader on arbitrary text. It must never throw or read out of
// bounds; a refusal is one line naming the map; and what it accepts, written
// back as a map of the same form, reads back as the same map.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "link_map.h"
#include "fuzz_check.h"

namespace {

using fuzzcheck::Check;

std::string Row(const char *format, unsigned long long a, unsigned long long b,
                unsigned long long c) {
  char text[96];
  snprintf(text, sizeof text, format, a, b, c);
  return text;
}

// A map as the linker writes one, from what the reader kept.
std::string Write(const pe::LinkMap &map) {
  std::string text = " image\n\n Preferred load address is " +
                     Row("%016llx", map.preferredBase, 0, 0) + "\n\n"
                     " Start         Length     Name                   Class\n";
  for (const pe::MapContribution &c : map.contributions)
    text += Row(" %04llx:%08llx %08llxH ", c.section, c.offset, c.length) + c.name + " CODE\n";
  text += "\n  Address         Publics by Value              Rva+Base               Lib:Object\n\n";
  for (const pe::MapSymbol &s : map.symbols)
    text += Row(" %04llx:%08llx       ", s.section, s.offset, 0) + s.name + " " +
            Row("%016llx", uint64_t(map.preferredBase) + s.rva, 0, 0) + "     a.obj\n";
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  pe::LinkMap map;
  std::string error;
  if (!pe::ParseLinkMap(text, "fuzz.map", map, error)) {
    Check(error.rfind("fuzz.map:", 0) == 0);
    Check(error.find('\n') == std::string::npos);
    Check(map.symbols.empty() && map.contributions.empty());
    return 0;
  }
  Check(!map.contributions.empty() && !map.symbols.empty());
  for (const pe::MapContribution &c : map.contributions) Check(c.section >= 1 && c.section <= 0xFFFF);
  Check(map.Find(map.symbols[0].name) != nullptr);

  pe::LinkMap again;
  Check(pe::ParseLinkMap(Write(map), "written.map", again, error));
  Check(again.preferredBase == map.preferredBase);
  Check(again.contributions.size() == map.contributions.size());
  for (size_t i = 0; i < map.contributions.size(); i++) {
    const pe::MapContribution &a = map.contributions[i], &b = again.contributions[i];
    Check(a.section == b.section && a.offset == b.offset && a.length == b.length &&
          a.name == b.name);
  }
  Check(again.symbols.size() == map.symbols.size());
  for (size_t i = 0; i < map.symbols.size(); i++) {
    const pe::MapSymbol &a = map.symbols[i], &b = again.symbols[i];
    Check(a.section == b.section && a.offset == b.offset && a.rva == b.rva && a.name == b.name);
  }
  return 0;
}

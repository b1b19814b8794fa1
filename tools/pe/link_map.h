// Reader for the linker map written beside each image: symbol addresses and
// the contributions that make up each output section.
#ifndef TOOLS_PE_LINK_MAP_H_
#define TOOLS_PE_LINK_MAP_H_

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

struct MapSymbol {
  std::string name;  // as linked: "_ZeroMem", "?GetEhciController@@..."
  uint32_t rva = 0;
};

struct MapContribution {
  uint32_t section = 0;  // 1-based output section number
  uint32_t offset = 0;
  uint32_t length = 0;
  std::string name;  // ".text", ".rdata", ...
};

struct LinkMap {
  std::vector<MapSymbol> symbols;
  std::vector<MapContribution> contributions;

  // The first symbol whose name is name, or "_" + name, or starts with
  // "?" + name + "@@" (a C++ decoration); nullptr if none.
  const MapSymbol *Find(const std::string &name) const;
};

bool ReadLinkMap(const std::string &path, LinkMap &map, std::string &error);

}  // namespace pe

#endif  // TOOLS_PE_LINK_MAP_H_

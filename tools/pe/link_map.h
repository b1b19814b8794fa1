// Reader for the linker map written beside each image: the preferred load
// address, the contributions that make up each output section and the
// symbol addresses.
#ifndef TOOLS_PE_LINK_MAP_H_
#define TOOLS_PE_LINK_MAP_H_

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

struct MapSymbol {
  std::string name;  // as linked: "_ZeroMem", "?GetEhciController@@..."
  uint32_t section = 0;  // 1-based output section number; 0 for an absolute symbol
  uint32_t offset = 0;   // within that section
  uint32_t rva = 0;      // address less the preferred load address
  size_t line = 0;       // 1-based line in the map
};

struct MapContribution {
  uint32_t section = 0;  // 1-based output section number
  uint32_t offset = 0;
  uint32_t length = 0;
  std::string name;  // ".text", ".rdata", ...
  size_t line = 0;   // 1-based line in the map
};

struct LinkMap {
  uint32_t preferredBase = 0;
  bool hasEntry = false;  // "entry point at SSSS:OOOOOOOO"
  uint32_t entrySection = 0, entryOffset = 0;
  std::vector<MapSymbol> symbols;
  std::vector<MapContribution> contributions;

  // The first symbol whose name is name, or "_" + name, or starts with
  // "?" + name + "@@" (a C++ decoration); nullptr if none.
  const MapSymbol *Find(const std::string &name) const;
};

// Maps are a few KiB; anything near this is not one.
constexpr uint64_t kMaxLinkMapBytes = 16u << 20;

// Parses the text of a map; name is what errors call it (its path). Never
// throws. False with a one-line error "NAME:LINE: problem" (or "NAME:
// problem" for something missing) when a number is not hexadecimal or out
// of range (section numbers 16 bits, offsets, lengths and the load address
// 32 bits, a symbol's address within 4 GiB above the load address), a row of
// a table is incomplete, the load address is given twice or after the first
// symbol, or the map lacks the load address, the contributions table (the
// image's contents, which the check for writable data reads) or the symbol
// table.
bool ParseLinkMap(const std::string &text, const std::string &name, LinkMap &map,
                  std::string &error);

// Reads (a regular file of at most kMaxLinkMapBytes) and parses the map at
// path.
bool ReadLinkMap(const std::string &path, LinkMap &map, std::string &error);

}  // namespace pe

#endif  // TOOLS_PE_LINK_MAP_H_

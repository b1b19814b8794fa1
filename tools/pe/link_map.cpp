#include "link_map.h"

#include <fstream>
#include <sstream>

namespace pe {

const MapSymbol *LinkMap::Find(const std::string &name) const {
  for (const MapSymbol &s : symbols)
    if (s.name == name || s.name == "_" + name || s.name.rfind("?" + name + "@@", 0) == 0)
      return &s;
  return nullptr;
}

bool ReadLinkMap(const std::string &path, LinkMap &map, std::string &error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  map = LinkMap();
  uint64_t preferredBase = 0;
  enum { kHeader, kContributions, kSymbols } part = kHeader;
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("Preferred load address is") != std::string::npos) {
      preferredBase = std::stoull(line.substr(line.rfind(' ') + 1), nullptr, 16);
      continue;
    }
    if (line.find("Start") != std::string::npos && line.find("Length") != std::string::npos) {
      part = kContributions;
      continue;
    }
    if (line.find("Publics by Value") != std::string::npos ||
        line.find("Static symbols") != std::string::npos) {
      part = kSymbols;
      continue;
    }
    std::istringstream fields(line);
    std::string where;
    if (!(fields >> where) || where.size() != 13 || where[4] != ':') continue;
    if (part == kContributions) {
      MapContribution c;
      std::string length;
      if (!(fields >> length >> c.name) || length.empty() || length.back() != 'H') continue;
      c.section = uint32_t(std::stoul(where.substr(0, 4), nullptr, 16));
      c.offset = uint32_t(std::stoul(where.substr(5), nullptr, 16));
      c.length = uint32_t(std::stoul(length.substr(0, length.size() - 1), nullptr, 16));
      map.contributions.push_back(c);
    } else if (part == kSymbols) {
      MapSymbol s;
      std::string address;
      if (!(fields >> s.name >> address)) continue;
      s.rva = uint32_t(std::stoull(address, nullptr, 16) - preferredBase);
      map.symbols.push_back(s);
    }
  }
  if (map.symbols.empty()) {
    error = path + " holds no symbols";
    return false;
  }
  return true;
}

}  // namespace pe

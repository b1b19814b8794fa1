#include "symbols.h"

#include <algorithm>
#include <map>

#include "pi_names.h"

namespace peimsim {
namespace {

// A decorated number: one digit 0-9 for 1 to 10, else hex digits written
// A-P and ended by '@'; '?' before it for a negative one.
bool DecoratedNumber(const std::string &s, size_t &at, std::string &out) {
  bool negative = at < s.size() && s[at] == '?';
  if (negative) at++;
  if (at >= s.size()) return false;
  uint64_t v = 0;
  if (s[at] >= '0' && s[at] <= '9') {
    v = uint64_t(s[at++] - '0') + 1;
  } else {
    size_t digits = 0;
    while (at < s.size() && s[at] >= 'A' && s[at] <= 'P' && digits < 16) {
      v = v << 4 | uint64_t(s[at++] - 'A');
      digits++;
    }
    if (at >= s.size() || s[at] != '@') return false;
    at++;
  }
  out = (negative ? "-" : "") + std::to_string(v);
  return true;
}

}  // namespace

std::string UndecoratedName(const std::string &linked) {
  if (linked.size() > 1 && linked[0] == '_') return linked.substr(1);
  if (linked.rfind("??$", 0) == 0) {
    size_t at = linked.find('@', 3);
    if (at == std::string::npos) return linked;
    std::string name = linked.substr(3, at - 3), args;
    at++;
    while (at < linked.size() && linked[at] != '@') {
      std::string arg;
      if (linked.compare(at, 2, "$0") != 0 || !DecoratedNumber(linked, at += 2, arg))
        return name + "<...>";
      args += (args.empty() ? "" : ",") + arg;
    }
    return name + "<" + args + ">";
  }
  if (linked.size() > 1 && linked[0] == '?' && linked[1] != '?') {
    size_t at = linked.find('@');
    return at == std::string::npos ? linked : linked.substr(1, at - 1);
  }
  return linked;
}

std::string MapBeside(const std::string &imagePath) {
  size_t slash = imagePath.find_last_of('/');
  size_t dot = imagePath.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return imagePath + ".map";
  return imagePath.substr(0, dot) + ".map";
}

bool ImageSymbols::Load(const pe::LinkMap &map, const pe::Image &image, std::string &error) {
  symbols_.clear();
  if (map.preferredBase != image.imageBase) {
    error = "its load address " + Hex(map.preferredBase, 8) + " is not the image's base " +
            Hex(image.imageBase, 8);
    return false;
  }
  // Where each output section of the map starts, from its symbols.
  std::map<uint32_t, uint32_t> sectionRva;
  for (const pe::MapSymbol &s : map.symbols) {
    if (s.section == 0) continue;  // absolute
    uint32_t start = s.rva - s.offset;
    auto [it, fresh] = sectionRva.emplace(s.section, start);
    if (!fresh && it->second != start) {
      error = "line " + std::to_string(s.line) + ": " + s.name + " places section " +
              std::to_string(s.section) + " at RVA " + Hex(start, 8) + ", other symbols at " +
              Hex(it->second, 8);
      return false;
    }
  }
  std::map<uint32_t, uint32_t> sectionEnd;  // the end of each section's contributions
  for (const auto &[section, rva] : sectionRva) {
    if (section > image.sections.size()) {
      error = "its section " + std::to_string(section) + " is not in the image (" +
              std::to_string(image.sections.size()) + " sections)";
      return false;
    }
    const pe::Section &in = image.sections[section - 1];
    if (in.virtualAddress != rva) {
      error = "its section " + std::to_string(section) + " is at RVA " + Hex(rva, 8) +
              ", the image's " + in.name + " at " + Hex(in.virtualAddress, 8);
      return false;
    }
    sectionEnd[section] = rva;
  }
  for (const pe::MapContribution &c : map.contributions) {
    auto rva = sectionRva.find(c.section);
    if (rva == sectionRva.end()) continue;  // a section no symbol names
    const pe::Section &in = image.sections[c.section - 1];
    uint64_t end = uint64_t(c.offset) + c.length;
    if (end > std::max(in.virtualSize, in.rawSize)) {
      error = "line " + std::to_string(c.line) + ": " + c.name + " ends at +" + Hex(end) +
              " of section " + std::to_string(c.section) + ", past the image's " + in.name + " (" +
              Hex(std::max(in.virtualSize, in.rawSize)) + " bytes)";
      return false;
    }
    sectionEnd[c.section] = std::max<uint32_t>(sectionEnd[c.section], rva->second + uint32_t(end));
  }
  if (map.hasEntry) {
    auto rva = sectionRva.find(map.entrySection);
    uint64_t entry = rva == sectionRva.end() ? 0 : uint64_t(rva->second) + map.entryOffset;
    if (rva == sectionRva.end() || entry != image.entryRva) {
      error = "its entry point is not the image's (RVA " + Hex(image.entryRva, 8) + ")";
      return false;
    }
  }
  for (const pe::MapSymbol &s : map.symbols)
    if (s.section != 0) symbols_.push_back({s.rva, sectionEnd[s.section], UndecoratedName(s.name)});
  std::stable_sort(symbols_.begin(), symbols_.end(),
                   [](const Symbol &a, const Symbol &b) { return a.rva < b.rva; });
  for (size_t i = 0; i + 1 < symbols_.size(); i++)
    symbols_[i].end = std::min(symbols_[i].end, std::max(symbols_[i].rva, symbols_[i + 1].rva));
  return true;
}

std::string ImageSymbols::Name(uint32_t rva) const {
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                             [](uint32_t v, const Symbol &s) { return v < s.rva; });
  if (it == symbols_.begin()) return "";
  --it;
  if (rva >= it->end) return "";
  return rva == it->rva ? it->name : it->name + "+" + Hex(rva - it->rva);
}

}  // namespace peimsim

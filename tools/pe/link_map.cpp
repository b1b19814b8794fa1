#include "link_map.h"

#include <sstream>

#include "file_io.h"
#include "numbers.h"
#include "pe_image.h"

namespace pe {
namespace {

std::vector<std::string> Words(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

bool StartsWith(const std::vector<std::string> &words, std::initializer_list<const char *> head) {
  if (words.size() < head.size()) return false;
  size_t i = 0;
  for (const char *w : head)
    if (words[i++] != w) return false;
  return true;
}

// The map writes every number as bare hexadecimal digits.
class Reader {
 public:
  Reader(const std::string &name, size_t line, std::string &error)
      : name_(name), line_(line), error_(error) {}

  bool Hex(const std::string &text, uint64_t max, const char *what, uint64_t &value) {
    bool digits = !text.empty();
    for (char c : text)
      digits = digits && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
    std::string unused;
    if (!digits) return Fail(std::string(what) + " '" + Printable(text, 32) +
                             "' is not a hexadecimal number");
    if (!toolio::ParseUnsigned("0x" + text, 0, max, value, unused))
      return Fail(std::string(what) + " '" + Printable(text, 32) + "' is out of range (at most " +
                  toolio::HexNumber(max) + ")");
    return true;
  }
  // "SSSS:OOOOOOOO": output section number and offset in it.
  bool Place(const std::string &text, uint32_t &section, uint32_t &offset) {
    size_t colon = text.find(':');
    uint64_t s = 0, o = 0;
    if (colon == std::string::npos) return Fail("'" + Printable(text, 32) + "' is not SECTION:OFFSET");
    if (!Hex(text.substr(0, colon), 0xFFFF, "section number", s) ||
        !Hex(text.substr(colon + 1), 0xFFFFFFFF, "section offset", o))
      return false;
    section = uint32_t(s);
    offset = uint32_t(o);
    return true;
  }
  bool Fail(const std::string &problem) {
    error_ = name_ + ":" + std::to_string(line_) + ": " + problem;
    return false;
  }

 private:
  const std::string &name_;
  size_t line_;
  std::string &error_;
};

}  // namespace

const MapSymbol *LinkMap::Find(const std::string &name) const {
  for (const MapSymbol &s : symbols)
    if (s.name == name || s.name == "_" + name || s.name.rfind("?" + name + "@@", 0) == 0)
      return &s;
  return nullptr;
}

bool ParseLinkMap(const std::string &text, const std::string &name, LinkMap &map,
                  std::string &error) {
  LinkMap parsed;  // handed out only when complete
  size_t baseLine = 0, contributionsLine = 0, symbolsLine = 0;
  enum { kHeader, kContributions, kSymbols } part = kHeader;
  std::istringstream in(text);
  std::string line;
  for (size_t number = 1; std::getline(in, line); number++) {
    Reader read(name, number, error);
    const std::vector<std::string> words = Words(line);
    if (StartsWith(words, {"Preferred", "load", "address", "is"})) {
      if (baseLine) return read.Fail("second load address (the first is on line " +
                                     std::to_string(baseLine) + ")");
      if (!parsed.symbols.empty()) return read.Fail("load address after the first symbol");
      if (words.size() != 5)
        return read.Fail(words.size() == 4 ? "load address is missing"
                                           : "more than one word after 'load address is'");
      uint64_t base = 0;
      if (!read.Hex(words[4], 0xFFFFFFFF, "load address", base)) return false;
      parsed.preferredBase = uint32_t(base);
      baseLine = number;
      continue;
    }
    if (StartsWith(words, {"Start", "Length", "Name"})) {
      if (contributionsLine) return read.Fail("second contributions table (the first is on line " +
                                              std::to_string(contributionsLine) + ")");
      contributionsLine = number;
      part = kContributions;
      continue;
    }
    if (StartsWith(words, {"Address", "Publics", "by", "Value"})) {
      if (symbolsLine) return read.Fail("second symbol table (the first is on line " +
                                        std::to_string(symbolsLine) + ")");
      symbolsLine = number;
      part = kSymbols;
      continue;
    }
    if (StartsWith(words, {"Static", "symbols"})) {
      if (!symbolsLine) return read.Fail("static symbols before the symbol table");
      part = kSymbols;
      continue;
    }
    if (StartsWith(words, {"entry", "point", "at"})) {
      if (words.size() != 4) return read.Fail("entry point line without one SECTION:OFFSET");
      if (!read.Place(words[3], parsed.entrySection, parsed.entryOffset)) return false;
      parsed.hasEntry = true;
      continue;
    }
    // A row of a table starts with SECTION:OFFSET; anything else there
    // (blank lines) is not part of it.
    if (part == kHeader || words.empty() || words[0].find(':') == std::string::npos) continue;
    if (part == kContributions) {
      MapContribution c;
      c.line = number;
      if (words.size() < 3 || words[1].size() < 2 || words[1].back() != 'H')
        return read.Fail("contribution row without a length (NNNNNNNNH) and a name");
      uint64_t length = 0;
      if (!read.Place(words[0], c.section, c.offset) ||
          !read.Hex(words[1].substr(0, words[1].size() - 1), 0xFFFFFFFF, "length", length))
        return false;
      if (c.section == 0) return read.Fail("contribution in section 0 (sections count from 1)");
      c.length = uint32_t(length);
      c.name = words[2];
      parsed.contributions.push_back(c);
    } else {
      MapSymbol s;
      s.line = number;
      if (words.size() < 3) return read.Fail("symbol row without a name and an address");
      uint64_t address = 0;
      if (!read.Place(words[0], s.section, s.offset) ||
          !read.Hex(words[2], UINT64_MAX, "symbol address", address))
        return false;
      if (!baseLine) return read.Fail("symbol before the load address");
      if (address < parsed.preferredBase || address - parsed.preferredBase > 0xFFFFFFFF)
        return read.Fail("symbol address " + toolio::HexNumber(address) +
                         " is not within 4 GiB above the load address " +
                         toolio::HexNumber(parsed.preferredBase));
      s.name = words[1];
      s.rva = uint32_t(address - parsed.preferredBase);
      parsed.symbols.push_back(s);
    }
  }
  if (!baseLine) {
    error = name + ": no load address (\"Preferred load address is ...\"): not a link map";
  } else if (!contributionsLine || parsed.contributions.empty()) {
    error = name + ": no contributions table (\"Start Length Name Class\" and its rows): "
                   "what the image is made of, which the check for writable data needs";
  } else if (!symbolsLine || parsed.symbols.empty()) {
    error = name + ": no symbol table (\"Address Publics by Value ...\" and its rows)";
  } else {
    map = std::move(parsed);
    return true;
  }
  return false;
}

bool ReadLinkMap(const std::string &path, LinkMap &map, std::string &error) {
  std::vector<uint8_t> bytes;
  if (!toolio::ReadInput(path, bytes, error, kMaxLinkMapBytes)) return false;
  return ParseLinkMap(std::string(bytes.begin(), bytes.end()), path, map, error);
}

}  // namespace pe

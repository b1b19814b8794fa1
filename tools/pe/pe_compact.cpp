#include "pe_compact.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "link_map.h"
#include "pe_bytes.h"

namespace pe {
namespace {

using bytes::Get16;
using bytes::Get32;
using bytes::Put16;
using bytes::Put32;
using bytes::Hex;
using bytes::Extent;

uint64_t AlignUp(uint64_t v, uint32_t a) { return (v + a - 1) / a * a; }

const char *DirectoryName(uint32_t i) {
  static const char *const kNames[16] = {
      "export", "import", "resource", "exception", "security", "relocation", "debug",
      "architecture", "global pointer", "TLS", "load-config", "bound import", "import address",
      "delay import", "CLR", "reserved"};
  return i < 16 ? kNames[i] : "unknown";
}

// The relocation table for fixups (in the order given): one block per run of
// fixups in the same 4 KiB page, each block padded with a type-0 entry to a
// multiple of four bytes, as loaders expect blocks to start 32-bit aligned.
std::vector<uint8_t> RelocationTable(const std::vector<uint32_t> &fixups) {
  std::vector<uint8_t> table;
  size_t block = 0;
  for (size_t i = 0; i < fixups.size(); i++) {
    const uint32_t page = fixups[i] & ~0xFFFu;
    if (i == 0 || page != (fixups[i - 1] & ~0xFFFu)) {
      if (i != 0 && (table.size() - block) % 4 != 0) table.resize(table.size() + 2, 0);
      if (i != 0) Put32(table, block + 4, uint32_t(table.size() - block));
      block = table.size();
      table.resize(table.size() + 8, 0);
      Put32(table, block, page);
    }
    table.resize(table.size() + 2);
    Put16(table, table.size() - 2, uint16_t(0x3000 | (fixups[i] & 0xFFF)));
  }
  if (!fixups.empty()) {
    if ((table.size() - block) % 4 != 0) table.resize(table.size() + 2, 0);
    Put32(table, block + 4, uint32_t(table.size() - block));
  }
  return table;
}

}  // namespace

uint32_t PeChecksum(const std::vector<uint8_t> &file, size_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    if (i >= checksumOffset && i < checksumOffset + 4) continue;
    sum += i + 1 < file.size() ? Get16(file, i) : file[i];
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum + file.size());
}

bool WriteCompactImage(const Image &linked, std::vector<uint8_t> &out, CompactMove &move,
                       std::string &error) {
  if (linked.IsTe()) {
    error = "a TE image: the writer reads an image as the linker wrote it (PE32)";
    return false;
  }
  if (linked.magic != kMagicPe32 || linked.machine != kMachineI386) {
    error = "not an IA-32 PE32 image";
    return false;
  }
  const DataDirectory &relocDir = linked.directories[kDirBaseReloc];
  if ((linked.fileCharacteristics & kFileRelocsStripped) || relocDir.size == 0) {
    error = "no relocation table: the code cannot be moved";
    return false;
  }
  for (uint32_t i = 0; i < linked.numberOfRvaAndSizes; i++) {
    if (i != kDirBaseReloc && linked.directories[i].size != 0) {
      error = std::string("the ") + DirectoryName(i) + " directory (data directory " +
              std::to_string(i) + ") cannot be carried into the compact image";
      return false;
    }
  }

  // The section of the relocation table is dropped when the table starts it
  // (lld's .reloc); a table at the end of a section holding data (an image
  // this writer made) is cut off it. The table is written anew either way.
  const Section *relocSection = linked.SectionAt(relocDir.rva);
  const uint64_t relocEnd = uint64_t(relocDir.rva) + relocDir.size;
  if (!relocSection) {
    error = "the relocation table lies in no section";
    return false;
  }
  const bool dropRelocSection = relocSection->virtualAddress == relocDir.rva;
  if (relocEnd < uint64_t(relocSection->virtualAddress) + Extent(*relocSection) ||
      (!dropRelocSection && relocSection != &linked.sections.back())) {
    error = "the relocation table (RVA " + Hex(relocDir.rva) + ") shares section " +
            Printable(relocSection->name) + " with data after it";
    return false;
  }
  move = CompactMove();
  uint32_t characteristics = 0;
  bool first = true;
  for (size_t i = 0; i < linked.sections.size(); i++) {
    const Section &s = linked.sections[i];
    if (dropRelocSection && &s == relocSection) continue;
    if (s.characteristics & kScnMemWrite) {
      error = "section " + Printable(s.name) +
              " is writable: it cannot share one read-only section with the code";
      return false;
    }
    if (first) move.oldStart = s.virtualAddress;
    first = false;
    move.oldEnd = &s == relocSection ? relocDir.rva : s.virtualAddress + Extent(s);
    move.keptSections.push_back(uint32_t(i + 1));
    characteristics |= s.characteristics;
  }
  if (move.keptSections.empty()) {
    error = "no section besides the relocation table";
    return false;
  }
  characteristics &= kScnCntCode | kScnCntInitializedData | kScnMemExecute | kScnMemRead;
  if (linked.entryRva < move.oldStart || linked.entryRva >= move.oldEnd) {
    error = "entry point RVA " + Hex(linked.entryRva) + " lies outside the code (RVA " +
            Hex(move.oldStart) + " to " + Hex(move.oldEnd) + ")";
    return false;
  }

  // The new layout. The block moves by a multiple of SectionAlignment, the
  // only alignment the linker could rely on for anything inside it.
  const uint32_t align = linked.sectionAlignment;
  const uint64_t start = AlignUp(kCompactHeaderBytes, align);
  const uint64_t tableAt = AlignUp(start + (move.oldEnd - move.oldStart), 4);
  move.newStart = uint32_t(start);
  std::vector<uint32_t> fixups;
  std::vector<uint8_t> layout = MemoryLayout(linked);
  const uint32_t delta = move.oldStart - move.newStart;  // modulo 2^32
  // Overlapping fixups would each move the bytes of the other's address.
  std::vector<uint32_t> sorted = linked.relocations;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 1; i < sorted.size(); i++) {
    if (sorted[i] - sorted[i - 1] < 4) {
      error = "fixups at RVA " + Hex(sorted[i - 1]) + " and RVA " + Hex(sorted[i]) + " overlap";
      return false;
    }
  }
  for (uint32_t rva : linked.relocations) {
    if (rva < move.oldStart || uint64_t(rva) + 4 > move.oldEnd) {
      error = "fixup at RVA " + Hex(rva) + " lies outside the code and data that are kept";
      return false;
    }
    // The address a fixup covers moves with the block when it points into
    // it (its end included: a pointer just past an array). The image base
    // itself stays; anything else would point at headers or bytes that are
    // rewritten or gone.
    const uint32_t target = Get32(layout, rva) - linked.imageBase;
    if (target >= move.oldStart && target <= move.oldEnd) {
      Put32(layout, rva, Get32(layout, rva) - delta);
    } else if (target != 0) {
      error = "fixup at RVA " + Hex(rva) + " holds the address of RVA " + Hex(target) +
              ", outside the code and data that move (RVA " + Hex(move.oldStart) + " to " +
              Hex(move.oldEnd) + ")";
      return false;
    }
    fixups.push_back(move.NewRva(rva));
  }
  const std::vector<uint8_t> table = RelocationTable(fixups);
  const uint64_t virtualSize = tableAt + table.size() - start;
  const uint64_t rawSize = AlignUp(virtualSize, align);
  if (start + rawSize > kMaxSizeOfImage) {
    error = "the compact image would exceed " + Hex(kMaxSizeOfImage) + " bytes";
    return false;
  }

  std::vector<uint8_t> b(size_t(start + rawSize), 0);
  // DOS header: the signature and where the PE header is; no DOS program.
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, 0x40);
  memcpy(&b[0x40], "PE\0\0", 4);
  const size_t coff = 0x44, opt = coff + 20, dirs = opt + 96;
  const size_t section = dirs + 8 * kCompactDirectories;
  Put16(b, coff, linked.machine);
  Put16(b, coff + 2, 1);
  // TimeDateStamp, PointerToSymbolTable and NumberOfSymbols stay 0.
  Put16(b, coff + 16, uint16_t(96 + 8 * kCompactDirectories));
  Put16(b, coff + 18, linked.fileCharacteristics);
  // The linked optional header's fields that do not describe the layout
  // (linker, OS and subsystem versions, subsystem, DLL characteristics, stack
  // and heap sizes) are kept as they are.
  memcpy(&b[opt], &linked.bytes[linked.peOffset + 24], 96);
  Put32(b, opt + 4, (characteristics & kScnCntCode) ? uint32_t(rawSize) : 0);  // SizeOfCode
  Put32(b, opt + 8, (characteristics & kScnCntCode) ? 0 : uint32_t(rawSize));  // initialised data
  Put32(b, opt + 12, 0);                                                       // uninitialised
  Put32(b, opt + 16, move.NewRva(linked.entryRva));
  Put32(b, opt + 20, move.newStart);  // BaseOfCode
  Put32(b, opt + 24, 0);              // BaseOfData: no section of data alone
  Put32(b, opt + 32, align);
  Put32(b, opt + 36, align);
  Put32(b, opt + 52, 0);                               // Win32VersionValue
  Put32(b, opt + 56, uint32_t(start + rawSize));       // SizeOfImage
  Put32(b, opt + 60, move.newStart);                   // SizeOfHeaders
  Put32(b, opt + 88, 0);                               // LoaderFlags
  Put32(b, opt + 92, kCompactDirectories);
  Put32(b, dirs + 8 * kDirBaseReloc, uint32_t(tableAt));
  Put32(b, dirs + 8 * kDirBaseReloc + 4, uint32_t(table.size()));
  memcpy(&b[section], ".text", 5);
  Put32(b, section + 8, uint32_t(virtualSize));
  Put32(b, section + 12, move.newStart);
  Put32(b, section + 16, uint32_t(rawSize));
  Put32(b, section + 20, move.newStart);
  Put32(b, section + 36, characteristics);
  memcpy(&b[start], &layout[move.oldStart], move.oldEnd - move.oldStart);
  if (!table.empty()) memcpy(&b[tableAt], table.data(), table.size());
  Put32(b, opt + 64, PeChecksum(b, opt + 64));

  // The result must read back as the image it is meant to be.
  Image check;
  std::string problem;
  if (!Parse(b, check, problem) || check.relocations != fixups) {
    error = "internal error: the compact image does not read back (" +
            (problem.empty() ? std::string("other fixups") : problem) + ")";
    return false;
  }
  out = std::move(b);
  return true;
}

bool WriteTeImage(const Image &image, std::vector<uint8_t> &out, std::string &error) {
  if (image.IsTe()) {
    error = "already a TE image";
    return false;
  }
  const uint64_t stripped = uint64_t(image.peOffset) + 24 + Get16(image.bytes, image.peOffset + 20);
  const uint64_t tableEnd = stripped + 40 * uint64_t(image.sections.size());
  if (image.sections.size() > 255 || image.subsystem > 255 || stripped > 0xFFFF ||
      stripped < kTeHeaderSize) {
    error = "a TE header cannot describe this image (" + std::to_string(image.sections.size()) +
            " sections, subsystem " + std::to_string(image.subsystem) + ", " +
            std::to_string(stripped) + " bytes of headers)";
    return false;
  }
  for (const Section &s : image.sections) {
    // A TE loader finds a section's data at PointerToRawData less the bytes
    // stripped, and expects it at its RVA when the image runs in place.
    if (s.rawSize != 0 && (s.rawPointer < tableEnd || s.rawPointer != s.virtualAddress)) {
      error = "section " + Printable(s.name) + " raw data at " + Hex(s.rawPointer) +
              " is not at its RVA after the section table";
      return false;
    }
  }
  std::vector<uint8_t> te(kTeHeaderSize, 0);
  Put16(te, 0, kTeSignature);
  Put16(te, 2, image.machine);
  te[4] = uint8_t(image.sections.size());
  te[5] = uint8_t(image.subsystem);
  Put16(te, 6, uint16_t(stripped));
  Put32(te, 8, image.entryRva);
  Put32(te, 12, Get32(image.bytes, image.peOffset + 24 + 20));  // BaseOfCode
  Put32(te, 16, image.imageBase);                               // upper half 0
  Put32(te, 24, image.directories[kDirBaseReloc].rva);
  Put32(te, 28, image.directories[kDirBaseReloc].size);
  Put32(te, 32, image.directories[kDirDebug].rva);
  Put32(te, 36, image.directories[kDirDebug].size);
  te.insert(te.end(), image.bytes.begin() + long(stripped), image.bytes.end());

  Image check;
  std::string problem;
  if (!ParseTe(te, check, problem) || check.relocations != image.relocations) {
    error = "internal error: the TE image does not read back (" +
            (problem.empty() ? std::string("other fixups") : problem) + ")";
    return false;
  }
  out = std::move(te);
  return true;
}

namespace {

// A hexadecimal token of the map rewritten in place: same width, same case.
std::string HexToken(const std::string &old, uint64_t value) {
  bool upper = false;
  for (char c : old) upper = upper || (c >= 'A' && c <= 'F');
  char s[24];
  snprintf(s, sizeof s, upper ? "%0*llX" : "%0*llx", int(old.size()),
           static_cast<unsigned long long>(value));
  return s;
}

// Where the index-th whitespace-separated word of line starts and ends.
bool WordAt(const std::string &line, size_t index, size_t &begin, size_t &end) {
  end = 0;
  for (size_t i = 0; i <= index; i++) {
    begin = line.find_first_not_of(" \t\r\n", end);
    if (begin == std::string::npos) return false;
    end = line.find_first_of(" \t\r\n", begin);
    if (end == std::string::npos) end = line.size();
  }
  return true;
}

}  // namespace

bool ShiftLinkMap(const std::string &text, const std::string &name, const Image &linked,
                  const CompactMove &move, std::string &out, std::string &error) {
  LinkMap map;
  if (!ParseLinkMap(text, name, map, error)) return false;
  error.clear();
  if (map.preferredBase != linked.imageBase) {
    error = name + ": load address " + Hex(map.preferredBase) + " is not the image's base " +
            Hex(linked.imageBase);
    return false;
  }
  const uint32_t delta = move.oldStart - move.newStart;

  // The rows ParseLinkMap read, by line: each gets its new place, and a
  // symbol its new address.
  std::vector<const MapContribution *> contributions;
  std::vector<const MapSymbol *> symbols;
  for (const MapContribution &c : map.contributions) {
    if (contributions.size() < c.line + 1) contributions.resize(c.line + 1);
    contributions[c.line] = &c;
  }
  for (const MapSymbol &s : map.symbols) {
    if (symbols.size() < s.line + 1) symbols.resize(s.line + 1);
    symbols[s.line] = &s;
  }
  // A place SECTION:OFFSET in the linked image, in the compact one.
  auto newPlace = [&](size_t line, uint32_t section, uint32_t offset, uint32_t &rva) {
    const bool kept = std::find(move.keptSections.begin(), move.keptSections.end(), section) !=
                      move.keptSections.end();
    if (!kept) {
      error = name + ":" + std::to_string(line) + ": section " + std::to_string(section) +
              " is not one the compact image keeps (or the map does not belong to the image)";
      return false;
    }
    const uint64_t old = uint64_t(linked.sections[section - 1].virtualAddress) + offset;
    if (old < move.oldStart || old > move.oldEnd) {
      error = name + ":" + std::to_string(line) + ": offset " + Hex(offset) + " of section " +
              std::to_string(section) +
              " lies outside the image's code and data: the map does not belong to the image";
      return false;
    }
    rva = uint32_t(old);
    return true;
  };
  auto rewritePlace = [&](std::string &line, size_t number, size_t word, uint32_t &rva) {
    size_t begin, end;
    if (!WordAt(line, word, begin, end)) return false;
    const std::string token = line.substr(begin, end - begin);
    const size_t colon = token.find(':');
    if (colon == std::string::npos) return false;
    const uint32_t section = uint32_t(strtoul(token.substr(0, colon).c_str(), nullptr, 16));
    const uint32_t offset = uint32_t(strtoul(token.substr(colon + 1).c_str(), nullptr, 16));
    if (section == 0) {  // an absolute symbol: stays where it is
      rva = 0;
      return true;
    }
    if (!newPlace(number, section, offset, rva)) return false;
    line.replace(begin, end - begin,
                 HexToken(token.substr(0, colon), 1) + ":" +
                     HexToken(token.substr(colon + 1), rva - move.oldStart));
    return true;
  };

  std::string result;
  result.reserve(text.size());
  size_t number = 1;
  for (size_t at = 0; at < text.size(); number++) {
    size_t next = text.find('\n', at);
    next = next == std::string::npos ? text.size() : next + 1;
    std::string line = text.substr(at, next - at);
    at = next;
    uint32_t rva = 0;
    if (number < contributions.size() && contributions[number]) {
      if (!rewritePlace(line, number, 0, rva)) return false;
    } else if (number < symbols.size() && symbols[number]) {
      const MapSymbol &s = *symbols[number];
      if (s.section != 0 &&
          (s.section > linked.sections.size() ||
           s.rva != uint64_t(linked.sections[s.section - 1].virtualAddress) + s.offset)) {
        error = name + ":" + std::to_string(number) + ": symbol " + Printable(s.name) +
                " is not where the image's section " + std::to_string(s.section) +
                " puts it: the map does not belong to the image";
        return false;
      }
      if (!rewritePlace(line, number, 0, rva)) return false;
      size_t begin, end;
      if (s.section != 0 && WordAt(line, 2, begin, end)) {
        const std::string token = line.substr(begin, end - begin);
        line.replace(begin, end - begin,
                     HexToken(token, uint64_t(map.preferredBase) + uint32_t(s.rva - delta)));
      }
    } else {
      // "entry point at SSSS:OOOOOOOO", outside the tables.
      size_t b0, e0, b1, e1, b2, e2;
      if (WordAt(line, 0, b0, e0) && WordAt(line, 1, b1, e1) && WordAt(line, 2, b2, e2) &&
          line.compare(b0, e0 - b0, "entry") == 0 && line.compare(b1, e1 - b1, "point") == 0 &&
          line.compare(b2, e2 - b2, "at") == 0) {
        if (!rewritePlace(line, number, 3, rva)) {
          if (error.empty())
            error = name + ":" + std::to_string(number) + ": malformed entry point";
          return false;
        }
      }
    }
    result += line;
  }
  out = std::move(result);
  return true;
}

}  // namespace pe

// pe-check: the post-link gate for a PEI module image, PE32 or TE. Fails the
// build when the image is not a run-in-place IA-32 boot-service driver
// holding only code, read-only data and relocations, and prints its size,
// byte for byte.
//
// With the link map it checks everything: writable data can hide in a
// read-only section when the link folds sections together, and only the
// map's contributions show what each output section is made of (so a map
// without them is refused rather than the check being skipped). Without a
// map it checks what the image itself shows, says what it could not check,
// and counts code and read-only data together.
#include <cstdio>
#include <string>
#include <vector>

#include "link_map.h"
#include "pe_image.h"
#include "tool_version.h"

namespace {

const char kUsage[] =
    "usage: pe-check [--map FILE.map] IMAGE.efi|IMAGE.te\n"
    "\n"
    "Checks that IMAGE, as linked or as pe-compact rewrote it, can run in place as a PEI\n"
    "module: PE32 or TE, IA-32, subsystem 11, base relocations, no import, export, debug,\n"
    "TLS or load-config directory, a zero time stamp, only .text (code with read-only\n"
    "data folded in) and .reloc, or .text alone with the relocation table at its end,\n"
    "each at a file offset equal to its address, and, by its linker map FILE.map, no\n"
    "writable or uninitialised data and no global constructors. Prints the image's size\n"
    "on success: headers, code, read-only data, relocations and padding.\n"
    "\n"
    "Without a map, an image of any build: every rule the image itself shows, and a\n"
    "note that data folded into .text and global constructors could not be checked;\n"
    "its size line counts code and read-only data together.\n"
    "\n"
    "  --map FILE, --map=FILE  the linker map written with the image\n"
    "  -h, --help              this text\n"
    "  --version               the version\n"
    "\n"
    "Exit status: 0 the image passes; 1 the image breaks a rule (each fault on its own\n"
    "line); 2 bad usage, or an input that cannot be read or is malformed (an image that\n"
    "is not a well-formed PE32 or TE file, a map that lacks its load address, contributions\n"
    "or symbols, or that does not describe the image), on one line.\n";

int Fail(const std::string &message) {
  fprintf(stderr, "pe-check: %s\n", message.c_str());
  return 2;
}

// The map must describe this image: each contribution inside its output
// section, each symbol where its section puts it. Otherwise the check for
// writable data would judge another image's contents.
bool MapMatchesImage(const pe::LinkMap &map, const pe::Image &image, const std::string &mapPath,
                     const std::string &imagePath, std::string &error) {
  auto section = [&](uint32_t number) -> const pe::Section * {
    return number >= 1 && number <= image.sections.size() ? &image.sections[number - 1] : nullptr;
  };
  auto extent = [](const pe::Section &s) { return s.virtualSize ? s.virtualSize : s.rawSize; };
  const std::string other = ": the map does not belong to " + imagePath;
  for (const pe::MapContribution &c : map.contributions) {
    const pe::Section *s = section(c.section);
    if (!s || uint64_t(c.offset) + c.length > extent(*s)) {
      error = mapPath + ":" + std::to_string(c.line) + ": contribution " + pe::Printable(c.name) +
              " (" + std::to_string(c.length) + " bytes at offset " + std::to_string(c.offset) +
              " of section " + std::to_string(c.section) + ") lies outside the image's " +
              (s ? "section " + pe::Printable(s->name) : "sections") + other;
      return false;
    }
  }
  for (const pe::MapSymbol &m : map.symbols) {
    if (m.section == 0) continue;  // absolute: no place in the image
    const pe::Section *s = section(m.section);
    if (!s || m.offset > extent(*s) || m.rva != s->virtualAddress + m.offset) {
      error = mapPath + ":" + std::to_string(m.line) + ": symbol " + pe::Printable(m.name) +
              " at RVA " + std::to_string(m.rva) + " is not where the image's section " +
              std::to_string(m.section) + " puts it" + other;
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  std::string mapPath, imagePath;
  bool options = true;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (options && (a == "-h" || a == "--help")) {
      printf("%s\n\n%s", toolio::VersionLine("pe-check").c_str(), kUsage);
      return 0;
    } else if (options && a == "--version") {
      printf("%s\n", toolio::VersionLine("pe-check").c_str());
      return 0;
    } else if (options && a == "--") {
      options = false;
    } else if (options && (a == "--map" || a.rfind("--map=", 0) == 0)) {
      std::string value;
      if (a == "--map") {
        if (i + 1 >= argc) return Fail("--map needs a file (see --help)");
        value = argv[++i];
      } else {
        value = a.substr(6);
      }
      if (value.empty()) return Fail("--map needs a file (see --help)");
      if (!mapPath.empty()) return Fail("--map given twice (see --help)");
      mapPath = value;
    } else if (options && a.size() > 1 && a[0] == '-') {
      return Fail("unknown option '" + pe::Printable(a) + "' (see --help)");
    } else if (!imagePath.empty()) {
      return Fail("more than one image: '" + pe::Printable(imagePath) + "' and '" +
                  pe::Printable(a) + "' (see --help)");
    } else if (a.empty()) {
      return Fail("empty image path (see --help)");
    } else {
      imagePath = a;
    }
  }
  if (imagePath.empty()) return Fail("no image given (see --help)");

  std::vector<uint8_t> bytes;
  std::string error;
  pe::Image image;
  if (!pe::ReadFile(imagePath, bytes, error)) return Fail(error);
  if (!pe::ParseAny(std::move(bytes), image, error)) return Fail(imagePath + ": " + error);
  pe::LinkMap map;
  const bool haveMap = !mapPath.empty();
  if (haveMap && !pe::ReadLinkMap(mapPath, map, error)) return Fail(error);
  if (haveMap && !MapMatchesImage(map, image, mapPath, imagePath, error)) return Fail(error);

  std::vector<std::string> faults;
  auto need = [&](bool ok, const std::string &what) {
    if (!ok) faults.push_back(what);
  };
  const pe::DataDirectory &relocDir = image.directories[pe::kDirBaseReloc];
  need(image.machine == pe::kMachineI386, "machine is not IA-32 (0x14C)");
  need(image.subsystem == pe::kSubsystemEfiBootServiceDriver,
       "subsystem is not 11 (EFI boot-service driver)");
  // A TE header has no time stamp, file characteristics or directories
  // beyond relocation and debug: those rules hold of it by construction.
  need(image.timeDateStamp == 0, "time stamp is not 0 (build is not reproducible)");
  need(!(image.fileCharacteristics & pe::kFileRelocsStripped), "relocations are stripped");
  need(relocDir.size != 0 && !image.relocations.empty(), "no base relocations");
  need(image.directories[pe::kDirImport].size == 0 && image.directories[pe::kDirIat].size == 0,
       "image has an import table");
  need(image.directories[pe::kDirDebug].size == 0, "image has a debug directory");
  need(image.directories[pe::kDirTls].size == 0, "image has a TLS directory");
  need(image.directories[pe::kDirExport].size == 0, "image has an export table");
  need(image.directories[pe::kDirLoadConfig].size == 0, "image has a load-config directory");

  // Two layouts pass: .text (code with the read-only data folded in) and
  // .reloc, as the linker writes them; or .text alone with the relocation
  // table at its end, as pe-compact writes it.
  const pe::Section *text = nullptr, *reloc = nullptr;
  uint32_t textNumber = 0;
  for (size_t i = 0; i < image.sections.size(); i++) {
    const pe::Section &s = image.sections[i];
    const std::string name = pe::Printable(s.name);
    need(s.rawPointer == s.virtualAddress,
         "section " + name + " file offset differs from its address (cannot run in place)");
    need(s.virtualSize <= s.rawSize,
         "section " + name + " has an uninitialised tail (file layout differs from memory)");
    need(!(s.characteristics & pe::kScnMemWrite), "section " + name + " is writable");
    need(!(s.characteristics & pe::kScnCntUninitializedData),
         "section " + name + " holds uninitialised data");
    if (s.name == ".text" && i == 0) {
      text = &s;
      textNumber = uint32_t(i + 1);
    } else if (s.name == ".reloc" && i == 1 && !reloc) {
      reloc = &s;
    } else {
      faults.push_back("unexpected section " + name +
                       " (only .text with folded read-only data, then .reloc or the "
                       "relocation table at the end of .text)");
    }
  }
  need(text != nullptr, "no .text section first");
  // The relocation table: all of .reloc, or the end of .text. Code or data
  // after it in .text would be outside what the map's sizes account for.
  uint32_t tableInText = 0, codeEnd = text ? text->virtualAddress + text->virtualSize : 0;
  if (text && relocDir.size != 0) {
    const uint64_t tableEnd = uint64_t(relocDir.rva) + relocDir.size;
    if (reloc) {
      need(relocDir.rva == reloc->virtualAddress && tableEnd <= reloc->virtualAddress +
                                                                     reloc->virtualSize,
           "relocation table does not lie at the start of .reloc");
    } else if (relocDir.rva >= text->virtualAddress && tableEnd == codeEnd) {
      tableInText = relocDir.size;
      codeEnd = relocDir.rva;
    } else {
      faults.push_back("relocation table is neither in .reloc nor at the end of .text");
    }
  }
  need(text && image.entryRva >= text->virtualAddress && image.entryRva < codeEnd,
       "entry point is not in the code of .text");

  uint32_t rodata = 0;
  for (const pe::MapContribution &c : map.contributions) {
    if (c.name == ".rdata") {
      if (c.section == textNumber) rodata += c.length;
    } else if (c.name.rfind(".CRT", 0) == 0) {
      faults.push_back("image has global constructors (" + pe::Printable(c.name) + ")");
    } else if (c.name != ".text" && c.name != ".reloc" && c.length != 0) {
      faults.push_back("image holds " + pe::Printable(c.name) + " (" + std::to_string(c.length) +
                       " bytes): only code and read-only data may be linked in");
    }
  }

  // Overlapping rows could make the sum exceed the section they lie in.
  need(!haveMap || !text || rodata <= codeEnd - text->virtualAddress,
       "the map's .rdata contributions (" + std::to_string(rodata) +
           " bytes) exceed the code and data of .text");

  if (!faults.empty()) {
    for (const std::string &f : faults)
      fprintf(stderr, "pe-check: %s: %s\n", imagePath.c_str(), f.c_str());
    fprintf(stderr, "pe-check: %s violates the PEI image rules; see above\n", imagePath.c_str());
    return 1;
  }
  // The file, byte for byte: the headers (up to the first section's data),
  // the code and the read-only data of .text, the relocation table, and
  // padding (alignment inside .text and at the ends of the sections).
  const uint64_t headers = text->rawPointer - image.headerRva;
  const uint32_t code = codeEnd - text->virtualAddress - rodata;
  const uint32_t relocations = tableInText ? tableInText : relocDir.size;
  const uint64_t padding = image.bytes.size() - headers - code - rodata - relocations;
  const std::string contents =
      haveMap ? "code " + std::to_string(code) + " + read-only data " + std::to_string(rodata)
              : "code and read-only data " + std::to_string(code);
  printf("%s: %zu bytes = headers %llu + %s + relocations %u + padding %llu (%s, %zu section%s, "
         "%zu fixups)\n",
         imagePath.c_str(), image.bytes.size(), static_cast<unsigned long long>(headers),
         contents.c_str(), relocations, static_cast<unsigned long long>(padding),
         image.IsTe() ? "TE" : "PE32", image.sections.size(),
         image.sections.size() == 1 ? "" : "s", image.relocations.size());
  if (!haveMap)
    printf("%s: no map: data folded into .text and global constructors not checked\n",
           imagePath.c_str());
  return 0;
}

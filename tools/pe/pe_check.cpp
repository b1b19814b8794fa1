// pe-check: the post-link gate for a PEI module image. Fails the build when
// the image is not a run-in-place IA-32 boot-service driver holding only
// code, read-only data and relocations, and prints its size.
//
//   pe-check --map FILE.map IMAGE.efi
//
// The map is needed because writable data can hide in a read-only section
// when the link folds sections together: only the map's contributions show
// what each output section is made of.
#include <cstdio>
#include <string>
#include <vector>

#include "link_map.h"
#include "pe_image.h"

int main(int argc, char **argv) {
  std::string mapPath, imagePath;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--map" && i + 1 < argc) mapPath = argv[++i];
    else imagePath = a;
  }
  if (imagePath.empty() || mapPath.empty()) {
    fprintf(stderr, "usage: pe-check --map FILE.map IMAGE.efi\n");
    return 2;
  }
  std::vector<uint8_t> bytes;
  std::string error;
  pe::Image image;
  if (!pe::ReadFile(imagePath, bytes, error) || !pe::Parse(std::move(bytes), image, error)) {
    fprintf(stderr, "pe-check: %s: %s\n", imagePath.c_str(), error.c_str());
    return 1;
  }

  std::vector<std::string> faults;
  auto need = [&](bool ok, const std::string &what) {
    if (!ok) faults.push_back(what);
  };
  need(image.machine == pe::kMachineI386, "machine is not IA-32 (0x14C)");
  need(image.subsystem == pe::kSubsystemEfiBootServiceDriver,
       "subsystem is not 11 (EFI boot-service driver)");
  need(image.timeDateStamp == 0, "time stamp is not 0 (build is not reproducible)");
  need(!(image.fileCharacteristics & pe::kFileRelocsStripped), "relocations are stripped");
  need(image.directories[pe::kDirBaseReloc].size != 0 && !image.relocations.empty(),
       "no base relocations");
  need(image.directories[pe::kDirImport].size == 0 && image.directories[pe::kDirIat].size == 0,
       "image has an import table");
  need(image.directories[pe::kDirDebug].size == 0, "image has a debug directory");
  need(image.directories[pe::kDirTls].size == 0, "image has a TLS directory");
  need(image.directories[pe::kDirExport].size == 0, "image has an export table");
  need(image.directories[pe::kDirLoadConfig].size == 0, "image has a load-config directory");
  uint32_t textSize = 0, relocSize = 0;
  const pe::Section *text = nullptr;
  for (const pe::Section &s : image.sections) {
    need(s.rawPointer == s.virtualAddress,
         "section " + s.name + " file offset differs from its address (cannot run in place)");
    need(s.virtualSize <= s.rawSize,
         "section " + s.name + " has an uninitialised tail (file layout differs from memory)");
    need(!(s.characteristics & pe::kScnMemWrite), "section " + s.name + " is writable");
    need(!(s.characteristics & pe::kScnCntUninitializedData),
         "section " + s.name + " holds uninitialised data");
    if (s.name == ".text") {
      text = &s;
      textSize = s.rawSize;
    } else if (s.name == ".reloc") {
      relocSize = s.rawSize;
    } else {
      faults.push_back("unexpected section " + s.name +
                       " (only .text with folded read-only data, and .reloc)");
    }
  }
  need(text != nullptr, "no .text section");
  need(text && image.entryRva >= text->virtualAddress &&
           image.entryRva < text->virtualAddress + text->virtualSize,
       "entry point is not in .text");

  uint32_t rodata = 0;
  pe::LinkMap map;
  if (!pe::ReadLinkMap(mapPath, map, error)) {
    faults.push_back(error);
  } else {
    for (const pe::MapContribution &c : map.contributions) {
      if (c.name == ".rdata") {
        rodata += c.length;
      } else if (c.name.rfind(".CRT", 0) == 0) {
        faults.push_back("image has global constructors (" + c.name + ")");
      } else if (c.name != ".text" && c.name != ".reloc" && c.length != 0) {
        faults.push_back("image holds " + c.name + " (" + std::to_string(c.length) +
                         " bytes): only code and read-only data may be linked in");
      }
    }
  }

  if (!faults.empty()) {
    for (const std::string &f : faults) fprintf(stderr, "pe-check: %s: %s\n", imagePath.c_str(), f.c_str());
    fprintf(stderr, "pe-check: %s violates the PEI image rules; see above\n", imagePath.c_str());
    return 1;
  }
  uint32_t code = (text ? text->virtualSize : 0) - rodata;
  printf("%s: %zu bytes = headers %u + .text %u (code %u, read-only data %u, padding %u) + .reloc %u "
         "(%zu fixups)\n",
         imagePath.c_str(), image.bytes.size(), image.sizeOfHeaders, textSize, code, rodata,
         textSize - (text ? text->virtualSize : 0), relocSize, image.relocations.size());
  return 0;
}

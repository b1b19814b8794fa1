#include "pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "file_io.h"
#include "pe_bytes.h"

namespace pe {
namespace {

using bytes::Get16;
using bytes::Get32;
using bytes::Put32;
using bytes::Hex;
using bytes::Extent;

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The bytes of a section that a loader copies: its raw data, cut to its
// virtual size when it has one (the rest of the raw data is file padding).
uint32_t LoadedRawSize(const Section &s) {
  return s.virtualSize ? std::min(s.rawSize, s.virtualSize) : s.rawSize;
}

// The image must fit below 4 GiB where it is loaded: every fixup adds the
// same delta, and a wrap would put part of the image at address 0.
bool FitsAt(uint32_t base, uint32_t sizeOfImage, std::string &error) {
  if (uint64_t(base) + sizeOfImage > (uint64_t(1) << 32)) {
    error = "image of " + Hex(sizeOfImage) + " bytes does not fit below 4 GiB at base " +
            Hex(base);
    return false;
  }
  return true;
}

// A TE image without a relocation directory has had its relocations
// stripped: it runs only at its own base. (A PE32 image without fixups may
// hold no absolute address at all, and moves as it is.)
// A PE32 image whose linker stripped the relocations says so in its file
// header (IMAGE_FILE_RELOCS_STRIPPED); a PE loader refuses to move it, and so
// do the tools. A TE image keeps no such flag, so one without a relocation
// directory is taken as fixed to its base.
constexpr uint16_t kFileRelocsStripped = 0x0001;

bool CanMove(const Image &image, uint32_t newBase, std::string &error) {
  if (newBase == image.imageBase) return true;
  if (!image.IsTe()) {
    if (!(image.fileCharacteristics & kFileRelocsStripped)) return true;
    error = "PE32 image with its relocations stripped cannot move from base " +
            Hex(image.imageBase) + " to " + Hex(newBase);
    return false;
  }
  if (image.directories[kDirBaseReloc].size != 0) return true;
  error = "TE image without a relocation directory cannot move from base " +
          Hex(image.imageBase) + " to " + Hex(newBase);
  return false;
}

bool ParseRelocations(Image &image, std::string &error) {
  const DataDirectory &dir = image.directories[kDirBaseReloc];
  if (dir.size == 0) return true;
  int64_t start = image.FileOffsetOf(dir.rva, dir.size);
  if (start < 0) {
    error = "relocation table (RVA " + Hex(dir.rva) + ", " + Hex(dir.size) +
            " bytes) does not lie in the file data of one section";
    return false;
  }
  size_t offset = size_t(start), end = offset + dir.size;
  while (offset + 8 <= end) {
    uint32_t pageRva = Get32(image.bytes, offset);
    uint32_t blockSize = Get32(image.bytes, offset + 4);
    if (blockSize < 8 || blockSize > end - offset || blockSize % 2 != 0) {
      error = "malformed relocation block at file offset " + Hex(offset);
      return false;
    }
    for (size_t e = offset + 8; e < offset + blockSize; e += 2) {
      uint16_t entry = Get16(image.bytes, e);
      unsigned type = entry >> 12;
      if (type == 0) continue;  // padding
      uint64_t rva = uint64_t(pageRva) + (entry & 0xFFF);
      if (type != 3) {
        error = "unsupported relocation type " + std::to_string(type) + " at file offset " +
                Hex(e) + " (RVA " + Hex(rva) + ")";
        return false;
      }
      // A fixup patches four bytes of one section's data; anywhere else it
      // would patch the headers, a gap or bytes past the image.
      const Section *s = rva <= UINT32_MAX ? image.SectionAt(uint32_t(rva)) : nullptr;
      if (!s || rva + 4 > uint64_t(s->virtualAddress) + Extent(*s)) {
        error = "relocation at file offset " + Hex(e) + " patches RVA " + Hex(rva) +
                ", outside the data of every section";
        return false;
      }
      // Nor may it patch the table itself: what a loader then reads as the
      // following fixups would depend on the order it applies them in.
      if (rva < uint64_t(dir.rva) + dir.size && rva + 4 > dir.rva) {
        error = "relocation at file offset " + Hex(e) + " patches RVA " + Hex(rva) +
                ", inside the relocation table";
        return false;
      }
      image.relocations.push_back(uint32_t(rva));
    }
    offset += blockSize;
  }
  return true;
}

// Reads the section table at file offset table. Sections follow the headers
// in ascending, non-overlapping address order, within SizeOfImage; their raw
// data lie in the file, after the headers, and no two share bytes (a fixup
// there would be applied twice in the file but once in each loaded copy). A
// section's file offset is its PointerToRawData less the RVA of the file's
// first byte (0 but in a TE image).
bool ParseSections(Image &image, size_t table, uint16_t sectionCount, std::string &error) {
  const std::vector<uint8_t> &b = image.bytes;
  uint64_t previousEnd = image.sizeOfHeaders;
  for (uint16_t i = 0; i < sectionCount; i++) {
    size_t h = table + 40 * size_t(i);
    Section s;
    s.name.assign(reinterpret_cast<const char *>(&b[h]),
                  strnlen(reinterpret_cast<const char *>(&b[h]), 8));
    s.virtualSize = Get32(b, h + 8);
    s.virtualAddress = Get32(b, h + 12);
    s.rawSize = Get32(b, h + 16);
    s.rawPointer = Get32(b, h + 20);
    s.characteristics = Get32(b, h + 36);
    const std::string what = "section " + std::to_string(i + 1) + " (" + Printable(s.name) + ")";
    if (s.rawSize != 0 && (s.rawPointer < image.sizeOfHeaders ||
                           uint64_t(s.rawPointer - image.headerRva) + s.rawSize > b.size())) {
      error = what + " raw data " + Hex(s.rawPointer) + "+" + Hex(s.rawSize) +
              " lies outside the file after the headers (file " + Hex(b.size()) +
              " bytes, headers " + Hex(image.sizeOfHeaders) + ")";
      return false;
    }
    if (uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize) > image.sizeOfImage) {
      error = what + " at RVA " + Hex(s.virtualAddress) + "+" +
              Hex(std::max(s.virtualSize, s.rawSize)) + " lies outside SizeOfImage " +
              Hex(image.sizeOfImage);
      return false;
    }
    if (s.virtualAddress < previousEnd) {
      error = what + " at RVA " + Hex(s.virtualAddress) +
              " overlaps the headers or the section before it (which end at " +
              Hex(previousEnd) + ")";
      return false;
    }
    previousEnd = uint64_t(s.virtualAddress) + Extent(s);
    const uint64_t rawEnd = uint64_t(s.rawPointer) + LoadedRawSize(s);
    for (const Section &o : image.sections) {
      if (LoadedRawSize(s) && LoadedRawSize(o) &&
          s.rawPointer < uint64_t(o.rawPointer) + LoadedRawSize(o) && o.rawPointer < rawEnd) {
        error = what + " raw data " + Hex(s.rawPointer) + "+" + Hex(LoadedRawSize(s)) +
                " overlaps that of section " + Printable(o.name);
        return false;
      }
    }
    image.sections.push_back(s);
  }
  return true;
}

}  // namespace

const Section *Image::SectionAt(uint32_t rva) const {
  for (const Section &s : sections) {
    if (rva >= s.virtualAddress && rva - s.virtualAddress < Extent(s)) return &s;
  }
  return nullptr;
}

int64_t Image::FileOffsetOf(uint32_t rva, uint32_t length) const {
  const uint64_t end = uint64_t(rva) + length;
  // Below a TE image's header lie the PE headers it replaced: no file data.
  if (end <= sizeOfHeaders) return rva >= headerRva ? int64_t(rva) - headerRva : -1;
  for (const Section &s : sections) {
    if (rva >= s.virtualAddress && end <= uint64_t(s.virtualAddress) + LoadedRawSize(s))
      return int64_t(s.rawPointer) - headerRva + (rva - s.virtualAddress);
  }
  return -1;
}

bool ReadFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error) {
  return toolio::ReadInput(path, bytes, error);
}

bool Parse(std::vector<uint8_t> bytes, Image &image, std::string &error) {
  image = Image();
  image.bytes = std::move(bytes);
  const std::vector<uint8_t> &b = image.bytes;
  if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') {
    error = b.size() < 0x40 ? "file is too short to be a PE image (" + std::to_string(b.size()) +
                                  " bytes)"
                            : "not a PE image (no MZ header)";
    return false;
  }
  uint32_t pe = Get32(b, 0x3C);
  if (uint64_t(pe) + 24 > b.size()) {
    error = "truncated PE image: PE header at file offset " + Hex(pe) + " outside the file";
    return false;
  }
  if (memcmp(&b[pe], "PE\0\0", 4) != 0) {
    error = "not a PE image (no PE signature at file offset " + Hex(pe) + ")";
    return false;
  }
  image.peOffset = pe;
  image.machine = Get16(b, pe + 4);
  uint16_t sectionCount = Get16(b, pe + 6);
  image.timeDateStamp = Get32(b, pe + 8);
  uint16_t optionalSize = Get16(b, pe + 20);
  image.fileCharacteristics = Get16(b, pe + 22);
  size_t opt = size_t(pe) + 24;
  if (optionalSize < 2 || opt + optionalSize > b.size()) {
    error = "truncated PE image: optional header outside the file";
    return false;
  }
  image.magic = Get16(b, opt);
  if (image.magic == kMagicPe32Plus) {
    error = "PE32+ (64-bit) image; expected PE32";
    return false;
  }
  if (image.magic != kMagicPe32 || optionalSize < 96) {
    error = "unrecognised optional header (magic " + Hex(image.magic) + ", " +
            std::to_string(optionalSize) + " bytes)";
    return false;
  }
  image.entryRva = Get32(b, opt + 16);
  image.imageBase = Get32(b, opt + 28);
  image.sectionAlignment = Get32(b, opt + 32);
  image.fileAlignment = Get32(b, opt + 36);
  image.sizeOfImage = Get32(b, opt + 56);
  image.sizeOfHeaders = Get32(b, opt + 60);
  image.subsystem = Get16(b, opt + 68);
  image.dllCharacteristics = Get16(b, opt + 70);
  image.numberOfRvaAndSizes = Get32(b, opt + 92);
  if (image.numberOfRvaAndSizes > 16 || 96 + 8 * image.numberOfRvaAndSizes > optionalSize) {
    error = "malformed data directory count " + std::to_string(image.numberOfRvaAndSizes);
    return false;
  }
  for (uint32_t i = 0; i < image.numberOfRvaAndSizes; i++) {
    image.directories[i].rva = Get32(b, opt + 96 + 8 * i);
    image.directories[i].size = Get32(b, opt + 100 + 8 * i);
  }

  // The layout fields everything below is measured against. Alignments are
  // powers of two; the file's is at most the memory's, and neither is larger
  // than an image may be.
  if (!PowerOfTwo(image.sectionAlignment) || image.sectionAlignment > kMaxSizeOfImage) {
    error = "SectionAlignment " + Hex(image.sectionAlignment) +
            " is not a power of two up to " + Hex(kMaxSizeOfImage);
    return false;
  }
  if (!PowerOfTwo(image.fileAlignment) || image.fileAlignment > image.sectionAlignment) {
    error = "FileAlignment " + Hex(image.fileAlignment) +
            " is not a power of two up to SectionAlignment " + Hex(image.sectionAlignment);
    return false;
  }
  if (image.sizeOfImage == 0 || image.sizeOfImage > kMaxSizeOfImage) {
    error = "SizeOfImage " + Hex(image.sizeOfImage) + " is not between 1 and " +
            Hex(kMaxSizeOfImage) + " bytes";
    return false;
  }
  if (!FitsAt(image.imageBase, image.sizeOfImage, error)) return false;
  if (sectionCount > kMaxSections) {
    error = std::to_string(sectionCount) + " sections; at most " + std::to_string(kMaxSections);
    return false;
  }
  const size_t table = opt + optionalSize;
  const size_t tableEnd = table + size_t(sectionCount) * 40;
  if (tableEnd > b.size()) {
    error = "truncated PE image: section table outside the file";
    return false;
  }
  if (image.sizeOfHeaders < tableEnd || image.sizeOfHeaders > b.size() ||
      image.sizeOfHeaders > image.sizeOfImage) {
    error = "SizeOfHeaders " + Hex(image.sizeOfHeaders) + " does not cover the headers (" +
            Hex(tableEnd) + " bytes) within the file (" + Hex(b.size()) +
            " bytes) and SizeOfImage (" + Hex(image.sizeOfImage) + ")";
    return false;
  }
  for (uint32_t i = 0; i < image.numberOfRvaAndSizes; i++) {
    const DataDirectory &d = image.directories[i];
    // The security directory holds a file offset, not an RVA.
    if (i == kDirSecurity || d.size == 0) continue;
    if (uint64_t(d.rva) + d.size > image.sizeOfImage) {
      error = "data directory " + std::to_string(i) + " (RVA " + Hex(d.rva) + ", " +
              Hex(d.size) + " bytes) lies outside SizeOfImage " + Hex(image.sizeOfImage);
      return false;
    }
  }

  if (!ParseSections(image, table, sectionCount, error)) return false;
  return ParseRelocations(image, error);
}

bool ParseTe(std::vector<uint8_t> bytes, Image &image, std::string &error) {
  image = Image();
  image.bytes = std::move(bytes);
  image.format = Format::kTe;
  const std::vector<uint8_t> &b = image.bytes;
  if (b.size() < kTeHeaderSize || Get16(b, 0) != kTeSignature) {
    error = b.size() < kTeHeaderSize ? "file is too short to be a TE image (" +
                                           std::to_string(b.size()) + " bytes)"
                                     : "not a TE image (no VZ signature)";
    return false;
  }
  image.machine = Get16(b, 2);
  const uint8_t sectionCount = b[4];
  image.subsystem = b[5];
  image.strippedSize = Get16(b, 6);
  image.entryRva = Get32(b, 8);
  const uint64_t base = uint64_t(Get32(b, 16)) | uint64_t(Get32(b, 20)) << 32;
  // The two directories a TE header keeps, where the PE model has them.
  image.directories[kDirBaseReloc] = {Get32(b, 24), Get32(b, 28)};
  image.directories[kDirDebug] = {Get32(b, 32), Get32(b, 36)};
  if (image.strippedSize < kTeHeaderSize) {
    error = "StrippedSize " + Hex(image.strippedSize) + " at file offset 0x6 is below the " +
            std::to_string(kTeHeaderSize) + "-byte TE header it was replaced by";
    return false;
  }
  image.headerRva = image.strippedSize - kTeHeaderSize;
  if (sectionCount > kMaxSections) {
    error = std::to_string(sectionCount) + " sections; at most " + std::to_string(kMaxSections);
    return false;
  }
  const size_t tableEnd = kTeHeaderSize + size_t(sectionCount) * 40;
  if (tableEnd > b.size()) {
    error = "truncated TE image: section table outside the file";
    return false;
  }
  if (base > UINT32_MAX) {
    error = "ImageBase " + Hex(base) + " at file offset 0x10 is not below 4 GiB";
    return false;
  }
  image.imageBase = uint32_t(base);
  image.sizeOfHeaders = uint32_t(image.headerRva + tableEnd);
  // SizeOfImage is not recorded: the image ends where its last section does.
  uint64_t end = image.sizeOfHeaders;
  for (uint8_t i = 0; i < sectionCount; i++) {
    const size_t h = kTeHeaderSize + 40 * size_t(i);
    end = std::max(end, uint64_t(Get32(b, h + 12)) + std::max(Get32(b, h + 8), Get32(b, h + 16)));
  }
  if (end > kMaxSizeOfImage) {
    error = "sections end at RVA " + Hex(end) + ", beyond the largest image (" +
            Hex(kMaxSizeOfImage) + " bytes)";
    return false;
  }
  image.sizeOfImage = uint32_t(end);
  if (!FitsAt(image.imageBase, image.sizeOfImage, error)) return false;
  // Sections below the end of the section table would overlap the headers
  // in memory; ParseSections refuses them as it does in a PE32 image.
  if (!ParseSections(image, kTeHeaderSize, sectionCount, error)) return false;
  for (int i : {kDirBaseReloc, kDirDebug}) {
    const DataDirectory &d = image.directories[i];
    if (d.size != 0 && uint64_t(d.rva) + d.size > image.sizeOfImage) {
      error = std::string(i == kDirBaseReloc ? "relocation" : "debug") + " directory (RVA " +
              Hex(d.rva) + ", " + Hex(d.size) + " bytes) lies outside the image's sections (" +
              Hex(image.sizeOfImage) + " bytes)";
      return false;
    }
  }
  return ParseRelocations(image, error);
}

bool ParseAny(std::vector<uint8_t> bytes, Image &image, std::string &error) {
  if (bytes.size() >= 2 && Get16(bytes, 0) == kTeSignature)
    return ParseTe(std::move(bytes), image, error);
  return Parse(std::move(bytes), image, error);
}

std::string Printable(const std::string &text, size_t limit) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < limit; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}

std::vector<uint8_t> MemoryLayout(const Image &image) {
  // Parse has checked every bound; the clamps keep a hand-made Image from
  // reading or writing outside the two buffers all the same.
  std::vector<uint8_t> layout(std::min(image.sizeOfImage, kMaxSizeOfImage), 0);
  if (image.headerRva < layout.size() && image.headerRva <= image.sizeOfHeaders) {
    const size_t headers = std::min<size_t>({image.sizeOfHeaders - image.headerRva,
                                             layout.size() - image.headerRva, image.bytes.size()});
    if (headers) memcpy(layout.data() + image.headerRva, image.bytes.data(), headers);
  }
  for (const Section &s : image.sections) {
    uint64_t n = LoadedRawSize(s);
    if (s.rawPointer < image.headerRva) continue;
    const uint64_t file = s.rawPointer - image.headerRva;
    if (s.virtualAddress >= layout.size() || file >= image.bytes.size()) continue;
    n = std::min<uint64_t>({n, layout.size() - s.virtualAddress, image.bytes.size() - file});
    if (n) memcpy(layout.data() + s.virtualAddress, image.bytes.data() + file, size_t(n));
  }
  return layout;
}

bool RelocateLayout(const Image &image, std::vector<uint8_t> &layout, uint32_t newBase,
                    std::string &error) {
  if (!FitsAt(newBase, uint32_t(std::min<size_t>(layout.size(), UINT32_MAX)), error)) return false;
  if (!CanMove(image, newBase, error)) return false;
  for (uint32_t rva : image.relocations) {
    if (uint64_t(rva) + 4 > layout.size()) {
      error = "relocation at RVA " + Hex(rva) + " lies outside the image";
      return false;
    }
  }
  const uint32_t delta = newBase - image.imageBase;  // modulo 2^32, as the loader adds it
  for (uint32_t rva : image.relocations) Put32(layout, rva, Get32(layout, rva) + delta);
  return true;
}

bool RebaseFile(Image &image, uint32_t newBase, std::string &error) {
  if (!FitsAt(newBase, image.sizeOfImage, error)) return false;
  if (!CanMove(image, newBase, error)) return false;
  // Every fixup is checked before any is applied, so that a failure leaves
  // the file as it was.
  std::vector<size_t> offsets;
  offsets.reserve(image.relocations.size());
  for (uint32_t rva : image.relocations) {
    int64_t off = image.FileOffsetOf(rva, 4);
    if (off < 0 || uint64_t(off) + 4 > image.bytes.size()) {
      error = "relocation at RVA " + Hex(rva) + " has no file data";
      return false;
    }
    offsets.push_back(size_t(off));
  }
  if (uint64_t(image.ImageBaseFieldOffset()) + 4 > image.bytes.size()) {
    error = "no ImageBase field in the file";
    return false;
  }
  const uint32_t delta = newBase - image.imageBase;
  for (size_t off : offsets) Put32(image.bytes, off, Get32(image.bytes, off) + delta);
  Put32(image.bytes, image.ImageBaseFieldOffset(), newBase);
  if (image.IsTe()) Put32(image.bytes, image.ImageBaseFieldOffset() + 4, 0);
  image.imageBase = newBase;
  return true;
}

}  // namespace pe

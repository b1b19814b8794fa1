#include "pe_image.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "file_io.h"

namespace pe {
namespace {

uint16_t Get16(const std::vector<uint8_t> &b, size_t o) { return uint16_t(b[o] | b[o + 1] << 8); }
uint32_t Get32(const std::vector<uint8_t> &b, size_t o) {
  return uint32_t(b[o]) | uint32_t(b[o + 1]) << 8 | uint32_t(b[o + 2]) << 16 |
         uint32_t(b[o + 3]) << 24;
}
void Put32(std::vector<uint8_t> &b, size_t o, uint32_t v) {
  for (int i = 0; i < 4; i++) b[o + i] = uint8_t(v >> (8 * i));
}
std::string Hex(uint32_t v) {
  char s[16];
  snprintf(s, sizeof s, "0x%X", v);
  return s;
}

bool ParseRelocations(Image &image, std::string &error) {
  const DataDirectory &dir = image.directories[kDirBaseReloc];
  if (dir.size == 0) return true;
  int64_t start = image.FileOffsetOf(dir.rva);
  if (start < 0 || uint64_t(start) + dir.size > image.bytes.size()) {
    error = "relocation table lies outside the file";
    return false;
  }
  size_t offset = size_t(start), end = offset + dir.size;
  while (offset + 8 <= end) {
    uint32_t pageRva = Get32(image.bytes, offset);
    uint32_t blockSize = Get32(image.bytes, offset + 4);
    if (blockSize < 8 || offset + blockSize > end || blockSize % 2 != 0) {
      error = "malformed relocation block at file offset " + Hex(uint32_t(offset));
      return false;
    }
    for (size_t e = offset + 8; e < offset + blockSize; e += 2) {
      uint16_t entry = Get16(image.bytes, e);
      unsigned type = entry >> 12;
      if (type == 0) continue;  // padding
      if (type != 3) {
        error = "unsupported relocation type " + std::to_string(type) + " at RVA " +
                Hex(pageRva + (entry & 0xFFF));
        return false;
      }
      image.relocations.push_back(pageRva + (entry & 0xFFF));
    }
    offset += blockSize;
  }
  return true;
}

}  // namespace

const Section *Image::SectionAt(uint32_t rva) const {
  for (const Section &s : sections) {
    uint32_t size = s.virtualSize ? s.virtualSize : s.rawSize;
    if (rva >= s.virtualAddress && rva - s.virtualAddress < size) return &s;
  }
  return nullptr;
}

int64_t Image::FileOffsetOf(uint32_t rva) const {
  if (rva < sizeOfHeaders) return rva;
  for (const Section &s : sections) {
    if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize)
      return int64_t(s.rawPointer) + (rva - s.virtualAddress);
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
    error = b.size() < 2 ? "file is too short to be a PE image" : "not a PE image (no MZ header)";
    return false;
  }
  uint32_t pe = Get32(b, 0x3C);
  if (uint64_t(pe) + 24 > b.size()) {
    error = "truncated PE image: PE header outside the file";
    return false;
  }
  if (memcmp(&b[pe], "PE\0\0", 4) != 0) {
    error = "not a PE image (no PE signature)";
    return false;
  }
  image.peOffset = pe;
  image.machine = Get16(b, pe + 4);
  uint16_t sectionCount = Get16(b, pe + 6);
  image.timeDateStamp = Get32(b, pe + 8);
  uint16_t optionalSize = Get16(b, pe + 20);
  image.fileCharacteristics = Get16(b, pe + 22);
  size_t opt = pe + 24;
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
    error = "unrecognised optional header (magic " + Hex(image.magic) + ")";
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
    error = "malformed data directory count";
    return false;
  }
  for (uint32_t i = 0; i < image.numberOfRvaAndSizes; i++) {
    image.directories[i].rva = Get32(b, opt + 96 + 8 * i);
    image.directories[i].size = Get32(b, opt + 100 + 8 * i);
  }
  size_t table = opt + optionalSize;
  if (table + size_t(sectionCount) * 40 > b.size()) {
    error = "truncated PE image: section table outside the file";
    return false;
  }
  for (uint16_t i = 0; i < sectionCount; i++) {
    size_t h = table + 40 * i;
    Section s;
    s.name.assign(reinterpret_cast<const char *>(&b[h]), strnlen(reinterpret_cast<const char *>(&b[h]), 8));
    s.virtualSize = Get32(b, h + 8);
    s.virtualAddress = Get32(b, h + 12);
    s.rawSize = Get32(b, h + 16);
    s.rawPointer = Get32(b, h + 20);
    s.characteristics = Get32(b, h + 36);
    if (s.rawSize != 0 && uint64_t(s.rawPointer) + s.rawSize > b.size()) {
      error = "section " + s.name + " lies outside the file (raw data " + Hex(s.rawPointer) + "+" +
              Hex(s.rawSize) + ", file " + Hex(uint32_t(b.size())) + ")";
      return false;
    }
    if (uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize) > image.sizeOfImage) {
      error = "section " + s.name + " lies outside SizeOfImage";
      return false;
    }
    image.sections.push_back(s);
  }
  if (image.sizeOfHeaders > b.size() || image.sizeOfImage < image.sizeOfHeaders) {
    error = "malformed header sizes";
    return false;
  }
  return ParseRelocations(image, error);
}

std::vector<uint8_t> MemoryLayout(const Image &image) {
  std::vector<uint8_t> layout(image.sizeOfImage, 0);
  memcpy(layout.data(), image.bytes.data(), image.sizeOfHeaders);
  for (const Section &s : image.sections) {
    uint32_t n = std::min(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
    memcpy(layout.data() + s.virtualAddress, image.bytes.data() + s.rawPointer, n);
  }
  return layout;
}

bool RelocateLayout(const Image &image, std::vector<uint8_t> &layout, uint32_t newBase,
                    std::string &error) {
  uint32_t delta = newBase - image.imageBase;
  for (uint32_t rva : image.relocations) {
    if (uint64_t(rva) + 4 > layout.size()) {
      error = "relocation at RVA " + Hex(rva) + " lies outside the image";
      return false;
    }
    Put32(layout, rva, Get32(layout, rva) + delta);
  }
  return true;
}

bool RebaseFile(Image &image, uint32_t newBase, std::string &error) {
  uint32_t delta = newBase - image.imageBase;
  for (uint32_t rva : image.relocations) {
    int64_t off = image.FileOffsetOf(rva);
    if (off < 0 || uint64_t(off) + 4 > image.bytes.size()) {
      error = "relocation at RVA " + Hex(rva) + " has no file data";
      return false;
    }
    Put32(image.bytes, size_t(off), Get32(image.bytes, size_t(off)) + delta);
  }
  Put32(image.bytes, image.ImageBaseFieldOffset(), newBase);
  image.imageBase = newBase;
  return true;
}

}  // namespace pe

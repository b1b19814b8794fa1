#include "fv_tree.h"

#include <cstring>

#include "lzma_codec.h"
#include "pe_image.h"

namespace fv {
namespace {

constexpr int kMaxDepth = 12;  // nested volumes and encapsulations
constexpr uint16_t kGuidProcessingRequired = 0x01;

std::vector<Section> ParseSections(const uint8_t *p, size_t n, int &nextIndex, int depth);

void ParseEncapsulated(Section &s, int &nextIndex, int depth) {
  switch (s.type) {
    case kSecGuidDefined: {
      if (s.size < s.headerSize + 20) Fail("GUID_DEFINED section shorter than its header");
      const uint8_t *h = s.start + s.headerSize;
      s.guid = Guid::At(h);
      size_t dataOffset = Get16(h + 16);
      s.guidAttributes = Get16(h + 18);
      if (dataOffset < s.headerSize + 20 || dataOffset > s.size)
        Fail("GUID_DEFINED section with a bad data offset " + Hex(dataOffset));
      s.headerSize = dataOffset;
      if (s.guid == kLzmaSectionGuid) {
        s.lzma = true;
        s.unpacked = std::make_shared<const Bytes>(LzmaDecode(s.data(), s.dataSize()));
        s.sections = ParseSections(s.unpacked->data(), s.unpacked->size(), nextIndex, depth + 1);
      } else if (s.guidAttributes & kGuidProcessingRequired) {
        Fail("unknown compression or encoding " + s.guid.ToString() + " in a GUID_DEFINED section");
      } else {
        s.sections = ParseSections(s.data(), s.dataSize(), nextIndex, depth + 1);
      }
      break;
    }
    case kSecCompression: {
      if (s.size < s.headerSize + 5) Fail("COMPRESSION section shorter than its header");
      uint8_t method = s.start[s.headerSize + 4];
      s.headerSize += 5;
      if (method != 0)
        Fail("unknown compression (COMPRESSION section of type " + Hex(method) + ")");
      s.sections = ParseSections(s.data(), s.dataSize(), nextIndex, depth + 1);
      break;
    }
    case kSecFvImage:
      s.volumes.push_back(ParseVolume(s.data(), s.dataSize(), nextIndex, depth + 1));
      break;
    default:
      break;
  }
}

std::vector<Section> ParseSections(const uint8_t *p, size_t n, int &nextIndex, int depth) {
  if (depth > kMaxDepth) Fail("encapsulation nested too deeply");
  std::vector<Section> out;
  for (size_t pos = 0; pos < n; pos = AlignUp(pos, 4)) {
    try {
      if (n - pos < 4) Fail("truncated section header");
      Section s;
      s.start = p + pos;
      s.offset = pos;
      s.type = p[pos + 3];
      s.size = Get24(p + pos);
      s.headerSize = 4;
      if (s.size == 0xFFFFFF) {
        if (n - pos < 8) Fail("truncated section header");
        s.size = Get32(p + pos + 4);
        s.headerSize = 8;
      }
      if (s.size < s.headerSize) Fail("section size " + Hex(s.size) + " below its header size");
      if (s.size > n - pos)
        Fail("truncated section: " + Hex(s.size) + " bytes, " + Hex(n - pos) + " left");
      ParseEncapsulated(s, nextIndex, depth);
      pos += s.size;
      out.push_back(std::move(s));
    } catch (const Error &e) {
      Fail("section " + std::to_string(out.size()) + " at " + Hex(pos) + ": " + e.what());
    }
  }
  return out;
}

}  // namespace

const File *Volume::FindFile(const Guid &wanted) const {
  for (const File &f : files)
    if (!f.deleted && f.type != kFilePad && f.name == wanted) return &f;
  return nullptr;
}

File ParseFile(const uint8_t *p, size_t n, bool erasePolarity1, int &nextIndex, int depth) {
  if (n < 24) Fail("truncated file header");
  File f;
  f.start = p;
  f.name = Guid::At(p);
  f.type = p[18];
  f.attributes = p[19];
  f.state = p[23];
  f.size = Get24(p + 20);
  if (f.attributes & kFileAttrLarge) {
    if (n < 32) Fail("truncated file header");
    f.headerSize = 32;
    uint64_t large = Get64(p + 24);
    f.size = large > n ? n + 1 : size_t(large);
  }
  uint8_t header[32];
  std::memcpy(header, p, f.headerSize);
  header[17] = header[23] = 0;  // counted as zero
  uint8_t sum = Sum8(header, f.headerSize);
  if (sum != 0)
    Fail("file " + f.name.ToString() + ": header checksum is wrong (stored " + Hex(p[16]) +
         ", should be " + Hex(uint8_t(p[16] - sum)) + ")");
  if (f.size < f.headerSize) Fail("file " + f.name.ToString() + ": size below its header size");
  if (f.size > n)
    Fail("file " + f.name.ToString() + " is truncated: " + Hex(f.size) + " bytes, " + Hex(n) +
         " left");
  uint8_t bits = erasePolarity1 ? uint8_t(~f.state) : f.state;
  f.deleted = (bits & (kStateDeleted | kStateHeaderInvalid)) || !(bits & kStateDataValid);
  if (f.deleted) return f;
  if (f.attributes & kFileAttrChecksum) {
    if (uint8_t(Sum8(f.body(), f.bodySize()) + p[17]) != 0)
      Fail("file " + f.name.ToString() + ": data checksum is wrong");
  } else if (p[17] != kFileChecksumUnused) {
    Fail("file " + f.name.ToString() + ": file checksum " + Hex(p[17]) + " should be 0xAA");
  }
  if (FileTypeHasSections(f.type)) {
    try {
      f.sections = ParseSections(f.body(), f.bodySize(), nextIndex, depth);
    } catch (const Error &e) {
      Fail("file " + f.name.ToString() + ": " + e.what());
    }
  }
  return f;
}

Volume ParseVolume(const uint8_t *p, size_t n, int &nextIndex, int depth) {
  if (depth > kMaxDepth) Fail("volumes nested too deeply");
  if (n < kVolumeHeaderFixedSize + 8) Fail("too short for a firmware volume header");
  if (Get32(p + 40) != kVolumeSignature) Fail("not a firmware volume (no _FVH signature)");
  Volume v;
  v.start = p;
  v.index = nextIndex++;
  std::string where = "volume #" + std::to_string(v.index) + ": ";
  uint64_t length = Get64(p + 32);
  v.headerLength = Get16(p + 48);
  if (v.headerLength < kVolumeHeaderFixedSize + 8 || v.headerLength % 2 || v.headerLength > length)
    Fail(where + "malformed header length " + Hex(v.headerLength));
  if (length > n)
    Fail(where + "truncated: the header says " + Hex(length) + " bytes, " + Hex(n) + " present");
  v.length = size_t(length);
  if (Sum16(p, v.headerLength) != 0) Fail(where + "header checksum is wrong");
  v.fileSystem = Guid::At(p + 16);
  v.attributes = Get32(p + 44);
  size_t extOffset = Get16(p + 52);
  v.filesStart = v.headerLength;
  if (extOffset != 0) {
    if (extOffset + 20 > v.length) Fail(where + "extended header outside the volume");
    size_t extSize = Get32(p + extOffset + 16);
    if (extSize < 20 || extOffset + extSize > v.length)
      Fail(where + "malformed extended header size " + Hex(extSize));
    v.named = true;
    v.name = Guid::At(p + extOffset);
    v.filesStart = extOffset + extSize;
  }
  v.filesStart = AlignUp(v.filesStart, 8);
  v.freeStart = v.filesStart;
  v.hasFiles = v.fileSystem == kFfs2FileSystemGuid || v.fileSystem == kFfs3FileSystemGuid;
  if (!v.hasFiles) return v;
  size_t pos = v.filesStart;
  for (; pos + 24 <= v.length; pos = AlignUp(pos, 8)) {
    bool erased = true;
    for (size_t i = 0; i < 24 && erased; i++) erased = p[pos + i] == v.erasedByte();
    if (erased) break;
    try {
      File f = ParseFile(p + pos, v.length - pos, v.erasePolarity1(), nextIndex, depth);
      f.offset = pos;
      pos += f.size;
      v.files.push_back(std::move(f));
    } catch (const Error &e) {
      Fail(where + "at " + Hex(pos) + ": " + e.what());
    }
  }
  v.freeStart = std::min(pos, v.length);
  return v;
}

File ParseLoneFile(const Bytes &bytes) {
  int index = 0;
  File f = ParseFile(bytes.data(), bytes.size(), true, index);
  for (size_t i = f.size; i < bytes.size(); i++)
    if (bytes[i] != 0xFF && bytes[i] != 0) Fail("bytes after the end of the firmware file");
  if (f.deleted) Fail("firmware file " + f.name.ToString() + " is not in the valid state");
  return f;
}

Image::Image(Bytes bytes) : bytes_(std::make_shared<const Bytes>(std::move(bytes))) {
  const Bytes &b = *bytes_;
  int nextIndex = 0;
  for (size_t pos = 0; pos + kVolumeHeaderFixedSize <= b.size();) {
    if (Get32(&b[pos + 40]) != kVolumeSignature) {
      pos += 8;
      continue;
    }
    try {
      Volume v = ParseVolume(&b[pos], b.size() - pos, nextIndex);
      v.offset = pos;
      pos += AlignUp(v.length, 8);
      volumes_.push_back(std::move(v));
    } catch (const Error &e) {
      Fail("at " + Hex(pos) + ": " + e.what());
    }
  }
  if (volumes_.empty()) Fail("not a firmware image: no firmware volume in it");
}

static void Collect(const std::vector<Section> &sections, std::vector<const Volume *> &out);
static void Collect(const Volume &v, std::vector<const Volume *> &out) {
  out.push_back(&v);
  for (const File &f : v.files) Collect(f.sections, out);
}
static void Collect(const std::vector<Section> &sections, std::vector<const Volume *> &out) {
  for (const Section &s : sections) {
    for (const Volume &v : s.volumes) Collect(v, out);
    Collect(s.sections, out);
  }
}

std::vector<const Volume *> Image::AllVolumes() const {
  std::vector<const Volume *> out;
  for (const Volume &v : volumes_) Collect(v, out);
  return out;
}

bool ImageRunAddress(const Section &section, uint64_t &address) {
  if (section.type == kSecPe32) {
    pe::Image image;
    std::string error;
    if (!pe::Parse(Bytes(section.data(), section.data() + section.dataSize()), image, error))
      return false;
    address = image.imageBase;
  } else if (section.type == kSecTe) {
    // TE header: "VZ", machine, section count, subsystem, StrippedSize at 6,
    // ImageBase (64-bit) at 16; 40 bytes. The header sits StrippedSize - 40
    // bytes after where the image it came from would start.
    if (section.dataSize() < 40 || Get16(section.data()) != 0x5A56) return false;
    address = Get64(section.data() + 16) + Get16(section.data() + 6) - 40;
  } else {
    return false;
  }
  return address != 0;
}

}  // namespace fv

#include "fv_tree.h"

#include <algorithm>
#include <cstring>

#include <lzma.h>

#include "brotli_codec.h"
#include "lzma_codec.h"
#include "pe_image.h"

namespace fv {
namespace {

constexpr uint16_t kGuidProcessingRequired = 0x01;

// A fault that leaves the layout readable: strict reads end on it, lenient
// ones note it where it was found and go on.
void Fault(const ReadContext &context, std::vector<std::string> &problems, const std::string &what) {
  if (!context.lenient) Fail(what);
  problems.push_back(what);
}

// Counts one more file or section against the image's limit.
void CountRecord(ReadContext &context) {
  if (++context.records > context.limits.maxRecords)
    Fail("more than " + std::to_string(context.limits.maxRecords) +
         " files and sections in the image (the most this tool reads)");
}

std::vector<Section> ParseSections(const uint8_t *p, size_t n, ReadContext &context, int depth,
                                   std::vector<std::string> &problems);

void ParseVolumeSection(Section &s, ReadContext &context, int depth) {
  try {
    s.volumes.push_back(ParseVolume(s.data(), s.dataSize(), context, depth + 1));
  } catch (const Error &e) {
    Fault(context, s.problems, e.what());
  }
}

// An LZMA or Brotli section: its stream unpacked within the image's bound.
void ParseCompressed(Section &s, ReadContext &context, int depth) {
  const char *name = s.lzma ? "LZMA" : "Brotli";
  try {
    uint64_t size = 0;
    if (s.lzma) LzmaStreamProperties(s.data(), s.dataSize(), size);
    else size = BrotliUnpackedSize(s.data(), s.dataSize());
    if (size > context.limits.maxUnpackedBytes - std::min(context.unpacked, context.limits.maxUnpackedBytes))
      Fail(std::string(name) + " data unpacks to " + Hex(size) + " bytes after " + Hex(context.unpacked) +
           " unpacked before it: beyond the " + Hex(context.limits.maxUnpackedBytes) +
           " bytes in all that this tool unpacks from one image");
    context.unpacked += size;
    s.unpacked = std::make_shared<const Bytes>(s.lzma ? LzmaDecode(s.data(), s.dataSize())
                                                      : BrotliDecode(s.data(), s.dataSize()));
  } catch (const Error &e) {
    s.opaque = true;
    s.encoding = std::string(name) + ", not unpacked";
    Fault(context, s.problems, e.what());
    return;
  }
  s.sections = ParseSections(s.unpacked->data(), s.unpacked->size(), context, depth + 1, s.problems);
}

void ParseEncapsulated(Section &s, ReadContext &context, int depth) {
  switch (s.type) {
    case kSecGuidDefined: {
      if (s.size < s.commonHeaderSize + 20) Fail("GUID_DEFINED section shorter than its header");
      const uint8_t *h = s.start + s.commonHeaderSize;
      s.guid = Guid::At(h);
      size_t dataOffset = Get16(h + 16);
      s.guidAttributes = Get16(h + 18);
      if (dataOffset < s.commonHeaderSize + 20 || dataOffset > s.size)
        Fail("GUID_DEFINED section with a bad data offset " + Hex(dataOffset));
      s.headerSize = dataOffset;
      if (s.guid == kLzmaSectionGuid || s.guid == kBrotliSectionGuid) {
        (s.guid == kLzmaSectionGuid ? s.lzma : s.brotli) = true;
        ParseCompressed(s, context, depth);
      } else if (s.guid == kCrc32SectionGuid) {
        if (dataOffset < s.commonHeaderSize + 24)
          Fail("CRC32 GUID_DEFINED section without room for its CRC32");
        s.crc32 = true;
        uint32_t stored = Get32(h + 20), actual = Crc32(s.data(), s.dataSize());
        if (stored != actual)
          Fault(context, s.problems,
                "CRC32 is wrong (stored " + Hex(stored) + ", the data has " + Hex(actual) + ")");
        s.sections = ParseSections(s.data(), s.dataSize(), context, depth + 1, s.problems);
      } else if (s.guidAttributes & kGuidProcessingRequired) {
        s.opaque = true;
        s.encoding = "encoded by " + s.guid.ToString() + ", not decoded";
      } else {
        s.sections = ParseSections(s.data(), s.dataSize(), context, depth + 1, s.problems);
      }
      break;
    }
    case kSecCompression: {
      if (s.size < s.headerSize + 5) Fail("COMPRESSION section shorter than its header");
      uint32_t unpackedSize = Get32(s.start + s.headerSize);
      uint8_t method = s.start[s.headerSize + 4];
      s.headerSize += 5;
      if (method == 0) {
        if (unpackedSize != s.dataSize())
          Fault(context, s.problems,
                "stored COMPRESSION section says " + Hex(unpackedSize) + " bytes, holds " +
                    Hex(s.dataSize()));
        s.sections = ParseSections(s.data(), s.dataSize(), context, depth + 1, s.problems);
      } else {
        s.opaque = true;
        s.encoding = (method == 1 ? std::string("EFI compression")
                                  : "compression type " + Hex(method)) +
                     ", " + Hex(unpackedSize) + " bytes unpacked, not decoded";
      }
      break;
    }
    case kSecFvImage:
      ParseVolumeSection(s, context, depth);
      break;
    default:
      break;
  }
}

std::vector<Section> ParseSections(const uint8_t *p, size_t n, ReadContext &context, int depth,
                                   std::vector<std::string> &problems) {
  std::vector<Section> out;
  if (depth > context.limits.maxDepth) {
    Fault(context, problems,
          "encapsulations nested deeper than " + std::to_string(context.limits.maxDepth) +
              " levels (the most this tool reads)");
    return out;
  }
  for (size_t pos = 0; pos < n; pos = AlignUp(pos, 4)) {
    try {
      if (n - pos < 4) Fail("truncated section header");
      CountRecord(context);
      Section s;
      s.start = p + pos;
      s.offset = pos;
      s.type = p[pos + 3];
      s.size = Get24(p + pos);
      if (s.size == 0xFFFFFF) {
        if (n - pos < 8) Fail("truncated section header");
        s.size = Get32(p + pos + 4);
        s.commonHeaderSize = 8;
      }
      s.headerSize = s.commonHeaderSize;
      if (s.size < s.headerSize) Fail("section size " + Hex(s.size) + " below its header size");
      if (s.size > n - pos)
        Fail("truncated section: " + Hex(s.size) + " bytes, " + Hex(n - pos) + " left");
      ParseEncapsulated(s, context, depth);
      pos += s.size;
      out.push_back(std::move(s));
    } catch (const Error &e) {
      std::string what = "section " + std::to_string(out.size()) + " at " + Hex(pos) + ": " + e.what();
      if (!context.lenient) Fail(what);
      problems.push_back(what + "; the sections after it are not read");
      break;
    }
  }
  return out;
}

bool AllBytesAre(const uint8_t *p, size_t n, uint8_t value) {
  for (size_t i = 0; i < n; i++)
    if (p[i] != value) return false;
  return true;
}

// Whether the bytes at f are a file header as written whole: its checksum
// holds and its size fits in n bytes. Bytes that only look like a header in
// some state (text, code) are not taken for a file beyond the walk.
bool WholeHeader(const File &f, size_t n) {
  uint8_t header[32];
  std::memcpy(header, f.start, f.headerSize);
  header[17] = header[23] = 0;
  return Sum8(header, f.headerSize) == 0 && f.size >= f.headerSize && f.size <= n;
}

// What lies after the end of the PEI core's walk, read by the files' sizes
// as a tool that trusts them would: for `list` only, never part of the volume.
void ReadUnreached(Volume &v, size_t pos, const ReadLimits &limits, int depth) {
  ReadContext probe;
  probe.lenient = true;
  probe.limits = limits;
  probe.limits.maxRecords = 256;
  while (pos + 24 < v.length && !AllBytesAre(v.start + pos, 24, v.erasedByte())) {
    try {
      File f = ParseFile(v.start + pos, v.length - pos, v.erasePolarity1(), probe, depth);
      if (!WholeHeader(f, v.length - pos)) break;
      f.offset = pos;
      pos += AlignUp(f.size, 8);
      v.unreached.push_back(std::move(f));
    } catch (const Error &) {
      break;
    }
  }
}

// Walks the files of an FFS volume as the PEI core's FindFileEx does: from
// the first 8-byte boundary after the headers, while a whole header lies
// below the volume's last 24 bytes, each file taken by its state; an erased
// header is the free space.
void WalkFiles(Volume &v, ReadContext &context, int depth) {
  const uint8_t *p = v.start;
  std::string where = "volume #" + std::to_string(v.index) + ": ";
  size_t pos = v.filesStart;
  size_t bodyEnd = 0;  // the end of the last header-only file, as its size says
  bool readToEnd = true;
  for (; pos + 24 < v.length; pos = AlignUp(pos, 8)) {
    if (AllBytesAre(p + pos, 24, v.erasedByte())) break;
    // Bytes written as the body of a header-only file: what the core makes
    // of them as a header is no fault of the volume's.
    bool inBody = pos < bodyEnd;
    std::string fault;
    try {
      ReadContext attempt = context;
      attempt.lenient = context.lenient && !inBody;
      File f = ParseFile(p + pos, v.length - pos, v.erasePolarity1(), attempt, depth);
      f.offset = pos;
      if (f.walk == File::Walk::kEnd) {
        v.walkEnd = inBody ? "the bytes there, in the body of a file whose header alone the core "
                             "steps over, read as a file header give state " +
                                 Hex(f.state) + " (" + f.stateText + ")"
                           : "file " + f.name.ToString() + " there is in state " + Hex(f.state) +
                                 " (" + f.stateText + ")";
        break;
      }
      context = attempt;
      if (f.walk == File::Walk::kRead && f.headerSize == 32 && v.fileSystem != kFfs3FileSystemGuid) {
        f.deleted = true;
        f.walk = File::Walk::kSkipped;
        f.stateText = "a large file in an FFS2 volume, passed over by the PEI core";
      }
      if (f.walk == File::Walk::kHeaderOnly)
        bodyEnd = std::max(bodyEnd, pos + std::min(f.size, v.length - pos));
      pos += f.Extent();
      v.files.push_back(std::move(f));
      continue;
    } catch (const Error &e) {
      fault = e.what();
    }
    if (inBody) {
      v.walkEnd = "the bytes there, in the body of a file whose header alone the core steps over, "
                  "are no valid file header (" + fault + ")";
      break;
    }
    if (!context.lenient) Fail(where + "at " + Hex(pos) + ": " + fault);
    v.problems.push_back("at " + Hex(pos) + ": " + fault + "; the rest of the volume is not read");
    readToEnd = false;
    break;
  }
  v.freeStart = v.freeEnd = std::min(pos, v.length);
  if (!readToEnd) return;
  if (!v.walkEnd.empty()) {
    v.notes.push_back("the PEI core's walk ends at " + Hex(pos) + ": " + v.walkEnd +
                      "; it never reaches what follows");
    // Read by sizes, the walk would go on after the header-only file's body.
    ReadUnreached(v, std::max(pos, AlignUp(bodyEnd, 8)), context.limits, depth);
    return;
  }
  while (v.freeEnd < v.length && p[v.freeEnd] == v.erasedByte()) v.freeEnd++;
  if (v.freeEnd < v.length) {
    std::string note = "bytes at " + Hex(v.freeEnd) + " are not erased, after the free space from " +
                       Hex(v.freeStart) + "; the PEI core stops at the free space and never reaches them";
    size_t at = v.freeEnd & ~size_t(7);
    ReadContext probe;
    probe.limits = context.limits;
    try {
      File lost = ParseFile(p + at, v.length - at, v.erasePolarity1(), probe, depth);
      if (WholeHeader(lost, v.length - at))
        note += " (they hold file " + lost.name.ToString() + " at " + Hex(at) + ")";
    } catch (const Error &) {
    }
    v.notes.push_back(note);
  }
}

}  // namespace

std::string File::UiName() const {
  for (const Section &s : sections)
    if (s.type == kSecUserInterface) return DecodeUiName(s.data(), s.dataSize());
  return "";
}

const File *Volume::FindFile(const Guid &wanted) const {
  for (const File &f : files)
    if (!f.deleted && f.type != kFilePad && f.name == wanted) return &f;
  return nullptr;
}

File ParseFile(const uint8_t *p, size_t n, bool erasePolarity1, ReadContext &context, int depth) {
  if (n < 24) Fail("truncated file header");
  CountRecord(context);
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
  std::string name = "file " + f.name.ToString();
  // The state is the highest bit set, as the PEI core's GetFileState takes it.
  uint8_t bits = erasePolarity1 ? uint8_t(~f.state) : f.state;
  uint8_t state = 0x80;
  while (state && !(bits & state)) state >>= 1;
  switch (state) {
    case kStateHeaderConstruction:
    case kStateHeaderInvalid:
      // A header that was never completed, or was given up: its size and
      // checksums mean nothing; the core reads the next header right after it.
      f.deleted = true;
      f.walk = File::Walk::kHeaderOnly;
      f.stateText = state == kStateHeaderInvalid ? "header marked invalid" : "header under construction";
      return f;
    case kStateDataValid:
    case kStateMarkedForUpdate:
    case kStateDeleted:
      break;
    default:
      f.deleted = true;
      f.walk = File::Walk::kEnd;
      f.stateText = state == kStateHeaderValid ? "data not yet valid"
                    : state == 0             ? "no state bit set"
                                             : "reserved state bit " + Hex(state) + " set";
      return f;
  }
  if (f.size < f.headerSize) Fail(name + ": size below its header size");
  if (f.size > n)
    Fail(name + " is truncated: " + Hex(f.size) + " bytes, " + Hex(n) + " left");
  if (state == kStateDeleted) {
    // Passed over by its size; nothing else of it is read.
    f.deleted = true;
    f.walk = File::Walk::kSkipped;
    f.stateText = "deleted";
    return f;
  }
  uint8_t header[32];
  std::memcpy(header, p, f.headerSize);
  header[17] = header[23] = 0;  // counted as zero
  uint8_t sum = Sum8(header, f.headerSize);
  if (sum != 0)
    Fault(context, f.problems,
          name + ": header checksum is wrong (stored " + Hex(p[16]) + ", should be " +
              Hex(uint8_t(p[16] - sum)) + "); the PEI core's walk of the volume ends at it");
  if (f.attributes & kFileAttrChecksum) {
    if (uint8_t(Sum8(f.body(), f.bodySize()) + p[17]) != 0)
      Fault(context, f.problems,
            name + ": data checksum is wrong; the PEI core's walk of the volume ends at it");
  } else if (p[17] != kFileChecksumUnused) {
    Fault(context, f.problems,
          name + ": file checksum " + Hex(p[17]) +
              " should be 0xAA; the PEI core's walk of the volume ends at it");
  }
  if (FileTypeHasSections(f.type)) {
    try {
      f.sections = ParseSections(f.body(), f.bodySize(), context, depth, f.problems);
    } catch (const Error &e) {
      Fail(name + ": " + e.what());
    }
  }
  return f;
}

File ParseFile(const uint8_t *p, size_t n, bool erasePolarity1, int &nextIndex, int depth) {
  ReadContext context;
  context.nextIndex = nextIndex;
  File f = ParseFile(p, n, erasePolarity1, context, depth);
  nextIndex = context.nextIndex;
  return f;
}

Volume ParseVolume(const uint8_t *p, size_t n, ReadContext &context, int depth) {
  if (depth > context.limits.maxDepth)
    Fail("volumes nested deeper than " + std::to_string(context.limits.maxDepth) + " levels");
  if (n < kVolumeHeaderFixedSize + 8) Fail("too short for a firmware volume header");
  if (Get32(p + 40) != kVolumeSignature) Fail("not a firmware volume (no _FVH signature)");
  Volume v;
  v.start = p;
  v.index = context.nextIndex++;
  std::string where = "volume #" + std::to_string(v.index) + ": ";
  uint64_t length = Get64(p + 32);
  v.headerLength = Get16(p + 48);
  if (v.headerLength < kVolumeHeaderFixedSize + 8 || v.headerLength % 2 || v.headerLength > length ||
      v.headerLength > n)
    Fail(where + "malformed header length " + Hex(v.headerLength));
  if (length > n) {
    Fault(context, v.problems,
          "truncated: the header says " + Hex(length) + " bytes, " + Hex(n) + " present");
    length = n;
  }
  v.length = size_t(length);
  if (Sum16(p, v.headerLength) != 0) Fault(context, v.problems, "header checksum is wrong");
  v.fileSystem = Guid::At(p + 16);
  v.attributes = Get32(p + 44);
  size_t extOffset = Get16(p + 52);
  v.filesStart = v.headerLength;
  if (extOffset != 0) {
    size_t extSize = extOffset + 20 <= v.length ? Get32(p + extOffset + 16) : 0;
    if (extOffset + 20 > v.length || extSize < 20 || extSize > v.length - extOffset) {
      Fault(context, v.problems, "malformed extended header at " + Hex(extOffset));
    } else {
      v.named = true;
      v.name = Guid::At(p + extOffset);
      v.filesStart = extOffset + extSize;
    }
  }
  v.filesStart = std::min(AlignUp(v.filesStart, 8), v.length);
  v.freeStart = v.freeEnd = v.filesStart;
  v.hasFiles = v.fileSystem == kFfs2FileSystemGuid || v.fileSystem == kFfs3FileSystemGuid;
  if (!v.hasFiles) return v;
  WalkFiles(v, context, depth);
  return v;
}

Volume ParseVolume(const uint8_t *p, size_t n, int &nextIndex, int depth) {
  ReadContext context;
  context.nextIndex = nextIndex;
  Volume v = ParseVolume(p, n, context, depth);
  nextIndex = context.nextIndex;
  return v;
}

File ParseLoneFile(const Bytes &bytes, bool lenient) {
  ReadContext context;
  context.lenient = lenient;
  // A lone file has no volume to give its state an erase polarity. GenFfs
  // writes the state bits as they are (0x07, valid), and GenFv inverts them
  // as it places the file in a polarity-1 volume; fvtool ffs --volume-state
  // writes them already inverted (0xF8). Both are read as valid; insert and
  // replace write the state the target volume needs.
  bool erasePolarity1 = bytes.size() < 24 || bytes[23] != ValidFileState(false);
  File f = ParseFile(bytes.data(), bytes.size(), erasePolarity1, context);
  for (size_t i = f.size; i < bytes.size(); i++)
    if (bytes[i] != 0xFF && bytes[i] != 0) Fail("bytes after the end of the firmware file at " + Hex(i));
  if (f.deleted)
    Fail("firmware file " + f.name.ToString() + " is not in the valid state (" + f.stateText + ")");
  return f;
}

Image::Image(Bytes bytes, bool lenient, const ReadLimits &limits)
    : bytes_(std::make_shared<const Bytes>(std::move(bytes))) {
  const Bytes &b = *bytes_;
  ReadContext context;
  context.lenient = lenient;
  context.limits = limits;
  for (size_t pos = 0; pos + kVolumeHeaderFixedSize <= b.size();) {
    if (Get32(&b[pos + 40]) != kVolumeSignature) {
      pos += 8;
      continue;
    }
    try {
      Volume v = ParseVolume(&b[pos], b.size() - pos, context);
      v.offset = pos;
      pos += AlignUp(v.length, 8);
      volumes_.push_back(std::move(v));
    } catch (const Error &e) {
      if (!lenient) Fail("at " + Hex(pos) + ": " + e.what());
      problems_.push_back("at " + Hex(pos) + ": " + e.what());
      pos += 8;
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

static bool SectionsDamaged(const std::vector<Section> &sections) {
  for (const Section &s : sections)
    if (!s.problems.empty() || SectionsDamaged(s.sections)) return true;
  return false;
}

bool Image::Damaged() const {
  if (!problems_.empty()) return true;
  for (const Volume *v : AllVolumes()) {
    if (!v->problems.empty()) return true;
    for (const File &f : v->files)
      if (!f.problems.empty() || SectionsDamaged(f.sections)) return true;
  }
  return false;
}

bool ImageRunAddress(const Section &section, uint64_t &address) {
  if (section.type != kSecPe32 && section.type != kSecTe) return false;
  pe::Image image;
  std::string error;
  Bytes bytes(section.data(), section.data() + section.dataSize());
  if (!(section.type == kSecTe ? pe::ParseTe : pe::Parse)(std::move(bytes), image, error))
    return false;
  // Base 0: not linked to run anywhere in particular (a TE header there
  // would still lie StrippedSize - 40 bytes up).
  if (image.imageBase == 0) return false;
  // A TE image's data starts with its header, headerRva bytes above the base.
  address = uint64_t(image.imageBase) + image.headerRva;
  return address <= 0xFFFFFFFFull;
}

bool PositionDependent(const Section &s) {
  uint64_t run = 0;
  if (s.type == kSecFvImage) return true;
  if (s.type == kSecPe32 || s.type == kSecTe) return ImageRunAddress(s, run);
  // What a decoder unpacks lives elsewhere, wherever the section sits.
  if (s.lzma || s.brotli || s.opaque || s.type == kSecCompression) return false;
  for (const Section &inner : s.sections)
    if (PositionDependent(inner)) return true;
  return false;
}

uint32_t Crc32(const uint8_t *p, size_t n) { return lzma_crc32(p, n, 0); }

}  // namespace fv

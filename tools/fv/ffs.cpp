#include "ffs.h"

#include <cstring>

namespace fv {

std::string FileTypeName(uint8_t type) {
  switch (type) {
    case 0x01: return "RAW";
    case 0x02: return "FREEFORM";
    case 0x03: return "SEC_CORE";
    case 0x04: return "PEI_CORE";
    case 0x05: return "DXE_CORE";
    case 0x06: return "PEIM";
    case 0x07: return "DRIVER";
    case 0x08: return "COMBINED_PEIM_DRIVER";
    case 0x09: return "APPLICATION";
    case 0x0A: return "MM";
    case 0x0B: return "FV_IMAGE";
    case 0x0C: return "COMBINED_MM_DXE";
    case 0x0D: return "MM_CORE";
    case 0x0E: return "MM_STANDALONE";
    case 0x0F: return "MM_CORE_STANDALONE";
    case 0xF0: return "PAD";
    default: return "TYPE_" + Hex(type);
  }
}

std::string SectionTypeName(uint8_t type) {
  switch (type) {
    case 0x01: return "COMPRESSION";
    case 0x02: return "GUID_DEFINED";
    case 0x03: return "DISPOSABLE";
    case 0x10: return "PE32";
    case 0x11: return "PIC";
    case 0x12: return "TE";
    case 0x13: return "DXE_DEPEX";
    case 0x14: return "VERSION";
    case 0x15: return "UI";
    case 0x16: return "COMPAT16";
    case 0x17: return "FV_IMAGE";
    case 0x18: return "FREEFORM_SUBTYPE_GUID";
    case 0x19: return "RAW";
    case 0x1B: return "PEI_DEPEX";
    case 0x1C: return "MM_DEPEX";
    default: return "TYPE_" + Hex(type);
  }
}

bool FileTypeHasSections(uint8_t type) { return type >= 0x02 && type <= 0x0F; }

uint8_t Sum8(const uint8_t *p, size_t n) {
  uint8_t sum = 0;
  for (size_t i = 0; i < n; i++) sum = uint8_t(sum + p[i]);
  return sum;
}

uint16_t Sum16(const uint8_t *p, size_t n) {
  uint16_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum = uint16_t(sum + Get16(p + i));
  return sum;
}

// Alignment codes 0-7 in attribute bits 3-5: 1 (files are 8-aligned anyway),
// 16, 128, 512, 1 KiB, 4 KiB, 32 KiB, 64 KiB.
static const uint32_t kAlignmentByCode[8] = {8, 16, 128, 512, 1024, 4096, 32768, 65536};

uint32_t FileDataAlignment(uint8_t attributes) {
  return kAlignmentByCode[(attributes & kFileAttrAlignmentMask) >> 3];
}

uint8_t FileAlignmentAttribute(uint32_t bytes) {
  for (uint8_t code = 0; code < 8; code++)
    if (kAlignmentByCode[code] >= bytes) return uint8_t(code << 3);
  Fail("an alignment of " + Hex(bytes) + " bytes cannot be expressed in a file header");
}

Bytes MakeSection(uint8_t type, const Bytes &data) {
  Bytes section;
  if (data.size() + 4 < 0xFFFFFF) {
    section.resize(4);
    Put24(section.data(), uint32_t(data.size() + 4));
  } else {
    if (data.size() + 8 > 0xFFFFFFFFu) Fail("section too large");
    section.resize(8);
    Put24(section.data(), 0xFFFFFF);
    Put32(section.data() + 4, uint32_t(data.size() + 8));
  }
  section[3] = type;
  section.insert(section.end(), data.begin(), data.end());
  return section;
}

Bytes MakeGuidDefinedSection(const Guid &guid, uint16_t attributes, const Bytes &headerExtra,
                             const Bytes &data) {
  // The data offset is counted from the section start, so it depends on
  // which header form MakeSection picks; the guid header is 20 bytes.
  size_t total = 4 + 20 + headerExtra.size() + data.size();
  size_t headerSize = total < 0xFFFFFF ? 4 : 8;
  if (headerSize + 20 + headerExtra.size() > 0xFFFF) Fail("GUID_DEFINED header too large");
  Bytes body(20);
  std::memcpy(body.data(), guid.bytes.data(), 16);
  Put16(body.data() + 16, uint32_t(headerSize + 20 + headerExtra.size()));
  Put16(body.data() + 18, attributes);
  body.insert(body.end(), headerExtra.begin(), headerExtra.end());
  body.insert(body.end(), data.begin(), data.end());
  return MakeSection(kSecGuidDefined, body);
}

void AppendSection(Bytes &stream, const Bytes &section) {
  stream.resize(AlignUp(stream.size(), 4), 0);
  stream.insert(stream.end(), section.begin(), section.end());
}

Bytes MakeFile(const Guid &name, uint8_t type, uint8_t attributes, const Bytes &body,
               bool erasePolarity1) {
  if (body.size() + 24 > 0xFFFFFF) Fail("firmware file too large (" + Hex(body.size()) + " bytes)");
  Bytes file(24);
  std::memcpy(file.data(), name.bytes.data(), 16);
  file[18] = type;
  file[19] = uint8_t(attributes & ~kFileAttrLarge);
  Put24(file.data() + 20, uint32_t(body.size() + 24));
  // Header checksum: the header bytes sum to 0 with FileChecksum and State as 0.
  file[16] = uint8_t(-Sum8(file.data(), 24));
  file[17] = (attributes & kFileAttrChecksum) ? uint8_t(-Sum8(body.data(), body.size()))
                                              : kFileChecksumUnused;
  file[23] = ValidFileState(erasePolarity1);
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

Bytes MakePadFile(size_t size, bool erasePolarity1) {
  if (size < 24) Fail("internal: pad file below its header size");
  Guid padName;
  padName.bytes.fill(0xFF);
  return MakeFile(padName, kFilePad, 0, Bytes(size - 24, erasePolarity1 ? 0xFF : 0x00),
                  erasePolarity1);
}

Bytes EncodeUiName(const std::string &utf8) {
  Bytes out;
  auto put = [&out](uint32_t unit) {
    out.push_back(uint8_t(unit));
    out.push_back(uint8_t(unit >> 8));
  };
  static const uint32_t kSmallest[4] = {0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < utf8.size();) {
    uint8_t c = uint8_t(utf8[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || utf8.size() - i < size_t(extra) + 1)
      Fail("name is not valid UTF-8 (byte " + std::to_string(i) + ")");
    uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; k++) {
      uint8_t cont = uint8_t(utf8[i + size_t(k)]);
      if ((cont & 0xC0) != 0x80) Fail("name is not valid UTF-8 (byte " + std::to_string(i) + ")");
      code = code << 6 | (cont & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points beyond U+10FFFF
    // have no UTF-16 form.
    if (code < kSmallest[extra] || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF)
      Fail("name is not valid UTF-8 (byte " + std::to_string(i) + ")");
    i += size_t(extra) + 1;
    if (code == 0) Fail("name holds a NUL character");
    if (code >= 0x10000) {
      code -= 0x10000;
      put(0xD800 | code >> 10);
      put(0xDC00 | (code & 0x3FF));
    } else {
      put(code);
    }
  }
  put(0);
  return out;
}

std::string DecodeUiName(const uint8_t *p, size_t n) {
  constexpr size_t kMaxUnits = 512;  // a name, not a document
  constexpr uint32_t kReplacement = 0xFFFD;
  std::string out;
  size_t i = 0;
  for (; i + 1 < n && i / 2 < kMaxUnits; i += 2) {
    uint32_t code = Get16(p + i);
    if (code == 0) break;
    if (code >= 0xD800 && code < 0xE000) {
      uint32_t low = i + 3 < n ? Get16(p + i + 2) : 0;
      if (code < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        code = kReplacement;  // a surrogate without its partner
      }
    }
    if (code < 0x20 || code == 0x7F) code = kReplacement;  // nothing that steers a terminal
    if (code < 0x80) {
      out += char(code);
    } else if (code < 0x800) {
      out += char(0xC0 | code >> 6);
      out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += char(0xE0 | code >> 12);
      out += char(0x80 | (code >> 6 & 0x3F));
      out += char(0x80 | (code & 0x3F));
    } else {
      out += char(0xF0 | code >> 18);
      out += char(0x80 | (code >> 12 & 0x3F));
      out += char(0x80 | (code >> 6 & 0x3F));
      out += char(0x80 | (code & 0x3F));
    }
  }
  if (i + 1 < n && i / 2 >= kMaxUnits && Get16(p + i) != 0) out += "...";
  return out;
}

Bytes MakeVersionSection(uint16_t buildNumber, const std::string &utf8) {
  Bytes data(2);
  Put16(data.data(), buildNumber);
  Bytes text = EncodeUiName(utf8);
  data.insert(data.end(), text.begin(), text.end());
  return MakeSection(kSecVersion, data);
}

std::string DescribeVersion(const uint8_t *p, size_t n) {
  if (n < 2) return "(no build number)";
  return "build " + std::to_string(Get16(p)) + " \"" + DecodeUiName(p + 2, n - 2) + "\"";
}

Bytes MakeDepexAll(const std::vector<Guid> &guids) {
  Bytes out;
  for (size_t i = 0; i < guids.size(); i++) {
    out.push_back(kDepexPush);
    out.insert(out.end(), guids[i].bytes.begin(), guids[i].bytes.end());
    if (i > 0) out.push_back(kDepexAnd);
  }
  if (guids.empty()) out.push_back(kDepexTrue);
  out.push_back(kDepexEnd);
  return out;
}

std::string DescribeDepex(const uint8_t *p, size_t n) {
  static const char *const kNames[] = {"BEFORE", "AFTER", "PUSH", "AND", "OR",
                                       "NOT",    "TRUE",  "FALSE", "END", "SOR"};
  std::string out;
  for (size_t i = 0; i < n; i++) {
    if (!out.empty()) out += ' ';
    uint8_t op = p[i];
    if (op > kDepexSor) return out + "<bad opcode " + Hex(op) + ">";
    out += kNames[op];
    if (op == kDepexPush || op == kDepexBefore || op == kDepexAfter) {
      if (i + 16 >= n) return out + " <truncated>";
      out += ' ' + Guid::At(p + i + 1).ToString();
      i += 16;
    }
    if (op == kDepexEnd && i + 1 != n) return out + " <bytes after END>";
  }
  return out;
}

Bytes MakeEmptyVolume(const VolumeParams &params) {
  if (params.blockSize == 0 || params.length == 0 || params.length % params.blockSize != 0)
    Fail("volume size " + Hex(params.length) + " is not a whole number of " +
         Hex(params.blockSize) + "-byte blocks");
  if (params.alignment < 1 || (params.alignment & (params.alignment - 1)) != 0 ||
      params.alignment > 0x10000)
    Fail("volume alignment must be a power of two up to 64 KiB");
  uint32_t log2Align = 0;
  while ((1u << log2Align) < params.alignment) log2Align++;
  const size_t headerLength = kVolumeHeaderFixedSize + 16;  // one block map entry + terminator
  // A named volume carries its extended header as the data of a pad file
  // right after the header, so that every reader walks over it as a file.
  const size_t extPadSize = params.named ? 24 + 20 : 0;
  if (params.length < headerLength + extPadSize + 24) Fail("volume too small for its header");

  Bytes v(params.length, params.erasePolarity1 ? 0xFF : 0x00);
  std::memset(v.data(), 0, headerLength);
  std::memcpy(v.data() + 16, kFfs2FileSystemGuid.bytes.data(), 16);
  Put64(v.data() + 32, params.length);
  Put32(v.data() + 40, kVolumeSignature);
  uint32_t attributes = (kVolumeAttrDefault & ~kVolumeAttrErasePolarity) |
                        (params.erasePolarity1 ? kVolumeAttrErasePolarity : 0) | log2Align << 16;
  Put32(v.data() + 44, attributes);
  Put16(v.data() + 48, uint32_t(headerLength));
  Put16(v.data() + 52, uint32_t(params.named ? headerLength + 24 : 0));
  v[55] = 2;  // revision
  Put32(v.data() + 56, uint32_t(params.length / params.blockSize));
  Put32(v.data() + 60, params.blockSize);
  Put16(v.data() + 50, uint32_t(uint16_t(-Sum16(v.data(), headerLength))));
  if (params.named) {
    Bytes ext(20);
    std::memcpy(ext.data(), params.name.bytes.data(), 16);
    Put32(ext.data() + 16, 20);
    Guid padName;
    padName.bytes.fill(0xFF);
    Bytes pad = MakeFile(padName, kFilePad, 0, ext, params.erasePolarity1);
    std::memcpy(v.data() + headerLength, pad.data(), pad.size());
  }
  return v;
}

}  // namespace fv

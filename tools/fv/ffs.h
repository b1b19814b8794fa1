// Firmware volume, firmware file and section layouts, and builders for them.
#ifndef TOOLS_FV_FFS_H_
#define TOOLS_FV_FFS_H_

#include <string>
#include <vector>

#include "fv_common.h"

namespace fv {

// Section types.
enum : uint8_t {
  kSecCompression = 0x01,
  kSecGuidDefined = 0x02,
  kSecDisposable = 0x03,
  kSecPe32 = 0x10,
  kSecPic = 0x11,
  kSecTe = 0x12,
  kSecDxeDepex = 0x13,
  kSecVersion = 0x14,
  kSecUserInterface = 0x15,
  kSecCompatibility16 = 0x16,
  kSecFvImage = 0x17,
  kSecFreeformSubtypeGuid = 0x18,
  kSecRaw = 0x19,
  kSecPeiDepex = 0x1B,
  kSecMmDepex = 0x1C,
};

// File types.
enum : uint8_t {
  kFileRaw = 0x01,
  kFileFreeform = 0x02,
  kFileSecCore = 0x03,
  kFilePeiCore = 0x04,
  kFileDxeCore = 0x05,
  kFilePeim = 0x06,
  kFileDriver = 0x07,
  kFileCombinedPeimDriver = 0x08,
  kFileApplication = 0x09,
  kFileFvImage = 0x0B,
  kFilePad = 0xF0,
};

// File attributes.
constexpr uint8_t kFileAttrLarge = 0x01;
constexpr uint8_t kFileAttrAlignmentMask = 0x38;
constexpr uint8_t kFileAttrChecksum = 0x40;
constexpr uint8_t kFileChecksumUnused = 0xAA;

// File state bits, as the hardware sees them with erase polarity 0; with
// erase polarity 1 the stored byte is inverted.
constexpr uint8_t kStateHeaderConstruction = 0x01;
constexpr uint8_t kStateHeaderValid = 0x02;
constexpr uint8_t kStateDataValid = 0x04;
constexpr uint8_t kStateMarkedForUpdate = 0x08;
constexpr uint8_t kStateDeleted = 0x10;
constexpr uint8_t kStateHeaderInvalid = 0x20;
inline uint8_t ValidFileState(bool erasePolarity1) {
  uint8_t bits = kStateHeaderConstruction | kStateHeaderValid | kStateDataValid;
  return erasePolarity1 ? uint8_t(~bits) : bits;
}

// Volume header.
constexpr size_t kVolumeHeaderFixedSize = 56;  // up to the block map
constexpr uint32_t kVolumeSignature = 0x4856465F;  // "_FVH"
constexpr uint32_t kVolumeAttrErasePolarity = 0x800;
// The attributes this tool gives a volume it creates: reads, writes and
// locks enabled and their capabilities, memory mapped, sticky write,
// erase polarity 1, with the volume's alignment in bits 16-20.
constexpr uint32_t kVolumeAttrDefault = 0x0000FEFF;

// Dependency expression opcodes.
enum : uint8_t {
  kDepexBefore = 0x00,
  kDepexAfter = 0x01,
  kDepexPush = 0x02,
  kDepexAnd = 0x03,
  kDepexOr = 0x04,
  kDepexNot = 0x05,
  kDepexTrue = 0x06,
  kDepexFalse = 0x07,
  kDepexEnd = 0x08,
  kDepexSor = 0x09,
};

std::string FileTypeName(uint8_t type);
std::string SectionTypeName(uint8_t type);
// Whether files of this type hold a section stream.
bool FileTypeHasSections(uint8_t type);

uint8_t Sum8(const uint8_t *p, size_t n);
uint16_t Sum16(const uint8_t *p, size_t n);  // little-endian 16-bit words

// Data alignment of a file in bytes from its attributes, and the smallest
// attribute value whose alignment is at least `bytes` (fails above 64 KiB).
uint32_t FileDataAlignment(uint8_t attributes);
uint8_t FileAlignmentAttribute(uint32_t bytes);

// One section: header (the long form when the size needs it) and data.
Bytes MakeSection(uint8_t type, const Bytes &data);
// A GUID_DEFINED section; headerExtra lies between the fixed header and the data.
Bytes MakeGuidDefinedSection(const Guid &guid, uint16_t attributes, const Bytes &headerExtra,
                             const Bytes &data);
// Appends a section to a section stream, 4-aligning it with zero bytes.
void AppendSection(Bytes &stream, const Bytes &section);

// A firmware file with both checksums and a valid state. The data checksum
// is computed when attributes has kFileAttrChecksum, otherwise 0xAA is stored.
Bytes MakeFile(const Guid &name, uint8_t type, uint8_t attributes, const Bytes &body,
               bool erasePolarity1);
// A pad file of exactly `size` bytes (at least 24), data in the erased state.
Bytes MakePadFile(size_t size, bool erasePolarity1);

// UI section text: UTF-8 to UTF-16LE with the terminating NUL, and back.
Bytes EncodeUiName(const std::string &utf8);
std::string DecodeUiName(const uint8_t *p, size_t n);

// A VERSION section: the build number and the version text (UTF-8 in,
// UTF-16LE with its NUL in the section); and its readable form
// ("build 0 \"1.0.0\"").
Bytes MakeVersionSection(uint16_t buildNumber, const std::string &utf8);
std::string DescribeVersion(const uint8_t *p, size_t n);

// PUSH g1, PUSH g2, AND, ..., END: true once every listed PPI is installed.
Bytes MakeDepexAll(const std::vector<Guid> &guids);
// Readable form of a dependency expression, e.g. "PUSH <guid> AND END".
std::string DescribeDepex(const uint8_t *p, size_t n);

// The header (and an optional extended header naming the volume) of an empty
// volume: `length` bytes in blocks of blockSize, alignment a power of two.
struct VolumeParams {
  uint64_t length = 0;
  uint32_t blockSize = 0x1000;
  uint32_t alignment = 8;
  bool erasePolarity1 = true;
  bool named = false;
  Guid name;
};
Bytes MakeEmptyVolume(const VolumeParams &params);

}  // namespace fv

#endif  // TOOLS_FV_FFS_H_

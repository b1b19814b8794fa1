// A reader and relocator for PE32 and TE (Terse Executable) images, shared by
// the project's tools. Both read into the same model: sections, relocations,
// entry and base by RVA, so that laying out, relocating and rebasing work the
// same on either.
#ifndef TOOLS_PE_PE_IMAGE_H_
#define TOOLS_PE_PE_IMAGE_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pe {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kMagicPe32Plus = 0x020B;
constexpr uint16_t kSubsystemEfiBootServiceDriver = 11;
constexpr uint16_t kFileRelocsStripped = 0x0001;

// A TE image: its 40-byte header replaces the DOS header, PE signature, file
// header and optional header of the PE32 image it was made from (StrippedSize
// bytes); the section table and section data follow unchanged.
constexpr uint16_t kTeSignature = 0x5A56;  // "VZ"
constexpr uint32_t kTeHeaderSize = 40;

constexpr uint32_t kScnCntCode = 0x00000020;
constexpr uint32_t kScnCntInitializedData = 0x00000040;
constexpr uint32_t kScnCntUninitializedData = 0x00000080;
constexpr uint32_t kScnMemDiscardable = 0x02000000;
constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr uint32_t kScnMemRead = 0x40000000;
constexpr uint32_t kScnMemWrite = 0x80000000;

// Bounds on what Parse accepts. A PEI module is a few KiB; a firmware image
// holds at most a few MiB of code. A larger SizeOfImage is a corrupt header,
// and would otherwise make MemoryLayout allocate up to 4 GiB.
constexpr uint32_t kMaxSizeOfImage = 64u << 20;
constexpr uint16_t kMaxSections = 96;

enum DataDirectoryIndex {
  kDirExport = 0,
  kDirImport = 1,
  kDirResource = 2,
  kDirException = 3,
  kDirSecurity = 4,
  kDirBaseReloc = 5,
  kDirDebug = 6,
  kDirTls = 9,
  kDirLoadConfig = 10,
  kDirIat = 12,
};

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct Section {
  std::string name;
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawPointer = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;
};

enum class Format { kPe32, kTe };

struct Image {
  std::vector<uint8_t> bytes;  // the file as read
  Format format = Format::kPe32;
  uint32_t peOffset = 0;       // offset of "PE\0\0" (PE32 only)
  uint16_t machine = 0;
  uint16_t fileCharacteristics = 0;
  uint32_t timeDateStamp = 0;
  uint16_t magic = 0;
  uint32_t entryRva = 0;
  uint32_t imageBase = 0;
  uint32_t sectionAlignment = 0;  // 0 in a TE image, which does not record it
  uint32_t fileAlignment = 0;     // 0 in a TE image
  // A TE image's SizeOfImage is where its last section ends; its
  // SizeOfHeaders is the RVA where its section table ends (StrippedSize plus
  // the table), as in the PE32 image it was made from.
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint16_t subsystem = 0;
  uint16_t dllCharacteristics = 0;
  uint32_t numberOfRvaAndSizes = 0;
  std::array<DataDirectory, 16> directories{};
  std::vector<Section> sections;
  std::vector<uint32_t> relocations;  // RVAs of 32-bit (HIGHLOW) fixups
  // TE only (0 in a PE32 image): the bytes of PE headers the TE header
  // replaced, and the RVA of the file's first byte, StrippedSize - 40. The TE
  // header sits that far above the image base in memory; a section's file
  // offset is its PointerToRawData less headerRva.
  uint16_t strippedSize = 0;
  uint32_t headerRva = 0;

  bool IsTe() const { return format == Format::kTe; }
  // File offset of the ImageBase field, for rewriting it (in a TE image a
  // 64-bit field whose upper half Parse has found zero).
  uint32_t ImageBaseFieldOffset() const { return IsTe() ? 16 : peOffset + 24 + 28; }
  // The section holding rva, or nullptr.
  const Section *SectionAt(uint32_t rva) const;
  // File offset of the length bytes at rva, or -1 unless they all lie in the
  // headers or in the raw data one section loads (raw data past a section's
  // virtual size is file padding, not part of the image).
  int64_t FileOffsetOf(uint32_t rva, uint32_t length = 1) const;
};

// Reads a whole file; false (with a one-line error) if it cannot be read.
bool ReadFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error);

// Parses a PE32 image. Rejects, with a one-line error (with the file offset
// where there is one), anything that is not a well-formed PE32 file: a
// truncated file, a bad signature, a PE32+ image; SectionAlignment or
// FileAlignment 0, not a power of two, or the file's larger than the
// memory's; SizeOfImage 0 or above kMaxSizeOfImage, or not fitting below
// 4 GiB at ImageBase; SizeOfHeaders not covering the section table or larger
// than the file or SizeOfImage; a data directory outside SizeOfImage; more
// than kMaxSections sections; sections out of address order, overlapping
// each other or the headers, outside SizeOfImage, or with raw data outside
// the file or shared with another section; a relocation table outside one
// section's data, a malformed block, a type other than HIGHLOW, or a fixup
// outside every section's data or inside the relocation table. Whatever
// Parse accepts, MemoryLayout, RelocateLayout and RebaseFile handle without
// reading or writing out of bounds.
bool Parse(std::vector<uint8_t> bytes, Image &image, std::string &error);

// Parses a TE image into the same model, with the same checks where they
// apply. Also rejects: a file shorter than its header and section table, a
// bad signature, StrippedSize below 40 (the header would lie below the image
// base), an ImageBase at or above 4 GiB or an image wrapping past it, sections
// below the end of the section table (the headers in memory), raw data
// outside the file (PointerToRawData less headerRva) or in the headers.
bool ParseTe(std::vector<uint8_t> bytes, Image &image, std::string &error);

// Parse or ParseTe, by the file's signature ("MZ" or "VZ").
bool ParseAny(std::vector<uint8_t> bytes, Image &image, std::string &error);

// The image as loaded: SizeOfImage bytes, headers and each section's raw
// data at its RVA, the rest zero. A TE image's headers (TE header and section
// table) lie at headerRva, below them is zero, as a PE loader leaves it.
std::vector<uint8_t> MemoryLayout(const Image &image);

// Applies the base relocations for loading at newBase to a memory layout
// (indexed by RVA). Fails, leaving the layout as it was, if a fixup lies
// outside the layout or the layout does not fit below 4 GiB at newBase, or if
// a TE image without a relocation directory would have to move.
bool RelocateLayout(const Image &image, std::vector<uint8_t> &layout, uint32_t newBase,
                    std::string &error);

// Rebases the file itself to newBase: every fixup in the section data and
// the ImageBase field. The image's parsed fields follow. Fails, leaving the
// image as it was, if a fixup has no file data or the image does not fit
// below 4 GiB at newBase, or if a TE image without a relocation directory
// would have to move.
bool RebaseFile(Image &image, uint32_t newBase, std::string &error);

// Text for an error message: printable ASCII kept, other bytes as \xNN, cut
// after limit characters, so a name read from a file cannot break the line.
std::string Printable(const std::string &text, size_t limit = 64);

}  // namespace pe

#endif  // TOOLS_PE_PE_IMAGE_H_

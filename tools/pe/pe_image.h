// A reader and relocator for PE32 images, shared by the project's tools.
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

struct Image {
  std::vector<uint8_t> bytes;  // the file as read
  uint32_t peOffset = 0;       // offset of "PE\0\0"
  uint16_t machine = 0;
  uint16_t fileCharacteristics = 0;
  uint32_t timeDateStamp = 0;
  uint16_t magic = 0;
  uint32_t entryRva = 0;
  uint32_t imageBase = 0;
  uint32_t sectionAlignment = 0;
  uint32_t fileAlignment = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint16_t subsystem = 0;
  uint16_t dllCharacteristics = 0;
  uint32_t numberOfRvaAndSizes = 0;
  std::array<DataDirectory, 16> directories{};
  std::vector<Section> sections;
  std::vector<uint32_t> relocations;  // RVAs of 32-bit (HIGHLOW) fixups

  // File offset of the ImageBase field, for rewriting it.
  uint32_t ImageBaseFieldOffset() const { return peOffset + 24 + 28; }
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

// The image as loaded: SizeOfImage bytes, headers and each section's raw
// data at its RVA, the rest zero.
std::vector<uint8_t> MemoryLayout(const Image &image);

// Applies the base relocations for loading at newBase to a memory layout
// (indexed by RVA). Fails, leaving the layout as it was, if a fixup lies
// outside the layout or the layout does not fit below 4 GiB at newBase.
bool RelocateLayout(const Image &image, std::vector<uint8_t> &layout, uint32_t newBase,
                    std::string &error);

// Rebases the file itself to newBase: every fixup in the section data and
// the ImageBase field. The image's parsed fields follow. Fails, leaving the
// image as it was, if a fixup has no file data or the image does not fit
// below 4 GiB at newBase.
bool RebaseFile(Image &image, uint32_t newBase, std::string &error);

// Text for an error message: printable ASCII kept, other bytes as \xNN, cut
// after limit characters, so a name read from a file cannot break the line.
std::string Printable(const std::string &text, size_t limit = 64);

}  // namespace pe

#endif  // TOOLS_PE_PE_IMAGE_H_

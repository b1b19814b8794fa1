// A firmware image read into a tree: volumes, their files, the files'
// sections, and what encapsulation sections hold (LZMA-compressed streams,
// CRC32-guarded streams, nested volumes). Every node points into bytes that
// the Image owns.
//
// Reading is bounded: the total size of what LZMA sections unpack to, the
// number of files and sections, and the nesting depth all have limits, so
// a hostile image costs bounded time and memory. A strict read (the default,
// used before any edit) fails on the first fault; a lenient read (`list`)
// records each fault on the node where it was found and reads on wherever
// the layout still tells where the next thing starts.
#ifndef TOOLS_FV_FV_TREE_H_
#define TOOLS_FV_FV_TREE_H_

#include <memory>
#include <string>
#include <vector>

#include "ffs.h"

namespace fv {

struct Volume;

struct ReadLimits {
  uint64_t maxUnpackedBytes = 256ull << 20;  // all LZMA sections of an image together
  size_t maxRecords = 65536;                 // files and sections of an image together
  int maxDepth = 12;                         // nested volumes and encapsulations
};

// What a read keeps across the whole image.
struct ReadContext {
  ReadLimits limits;
  bool lenient = false;
  int nextIndex = 0;  // preorder number of the next volume
  uint64_t unpacked = 0;
  size_t records = 0;
};

struct Section {
  const uint8_t *start = nullptr;  // first header byte
  size_t offset = 0;               // from the start of the enclosing section stream
  size_t size = 0;                 // header included
  size_t commonHeaderSize = 4;     // 4, or 8 for the extended size form
  size_t headerSize = 0;           // up to the data (GUID_DEFINED: the data offset)
  uint8_t type = 0;
  Guid guid;                       // GUID_DEFINED only
  uint16_t guidAttributes = 0;
  bool lzma = false;               // GUID_DEFINED, LZMA-compressed stream
  bool brotli = false;             // GUID_DEFINED, Brotli-compressed stream (EDK2's header)
  bool crc32 = false;              // GUID_DEFINED, CRC32 of the data in the header
  bool opaque = false;             // encoded in a way this tool does not decode
  std::string encoding;            // what the opaque encoding is, for `list`
  std::shared_ptr<const Bytes> unpacked;  // decoded stream of an LZMA or Brotli section
  std::vector<Section> sections;          // sections it encapsulates
  std::vector<Volume> volumes;            // the volume of an FV_IMAGE section
  std::vector<std::string> problems;      // lenient reads only

  const uint8_t *data() const { return start + headerSize; }
  size_t dataSize() const { return size - headerSize; }
  // The stream the encapsulated sections were read from.
  const uint8_t *stream() const { return lzma || brotli ? unpacked->data() : data(); }
};

struct File {
  const uint8_t *start = nullptr;
  size_t offset = 0;  // from the volume start
  size_t size = 0;
  size_t headerSize = 24;
  Guid name;
  uint8_t type = 0;
  uint8_t attributes = 0;
  uint8_t state = 0;
  // How the PEI core's walk of the volume (FindFileEx) takes the file, by
  // the highest bit set in its state: a file it reads (data valid, or marked
  // for update), one it passes over by its size (deleted), one whose header
  // alone it steps over, reading what follows the header as the next file
  // (header under construction or marked invalid), or the header where the
  // walk ends (header valid but data not, no bit or a reserved bit set).
  enum class Walk { kRead, kSkipped, kHeaderOnly, kEnd };
  Walk walk = Walk::kRead;
  // Anything but kRead: present, but not part of the volume. `stateText`
  // says why.
  bool deleted = false;
  std::string stateText;
  std::vector<Section> sections;
  std::vector<std::string> problems;  // lenient reads only

  const uint8_t *body() const { return start + headerSize; }
  size_t bodySize() const { return size - headerSize; }
  Bytes bytes() const { return Bytes(start, start + size); }
  // The bytes from its start to where the PEI core reads the next header.
  size_t Extent() const { return walk == Walk::kHeaderOnly ? headerSize : AlignUp(size, 8); }
  // The text of its UI section, or "".
  std::string UiName() const;
};

struct Volume {
  const uint8_t *start = nullptr;
  size_t offset = 0;  // from the start of the enclosing buffer
  size_t length = 0;
  int index = 0;      // preorder number in the image, as `list` shows it
  Guid fileSystem;
  bool named = false;
  Guid name;
  uint32_t attributes = 0;
  size_t headerLength = 0;
  size_t filesStart = 0;  // where the first file may start
  size_t freeStart = 0;   // where the free space after the last file starts
  size_t freeEnd = 0;     // the first byte after it that is not erased (or length)
  bool hasFiles = false;  // a file system this tool reads
  std::vector<File> files;  // the files the PEI core's walk meets, in order
  // Where that walk ends before the free space, and why ("" when it ends
  // at the free space or the volume's end). From there on nothing is part
  // of the volume; `unreached` holds what lies there read by the files'
  // sizes (for `list`; their sections are not read).
  std::string walkEnd;
  std::vector<File> unreached;
  std::vector<std::string> problems;  // lenient reads only
  std::vector<std::string> notes;     // facts worth telling that are not faults

  bool erasePolarity1() const { return attributes & kVolumeAttrErasePolarity; }
  uint8_t erasedByte() const { return erasePolarity1() ? 0xFF : 0x00; }
  uint64_t alignment() const { return 1ull << ((attributes >> 16) & 0x1F); }
  const File *FindFile(const Guid &name) const;
};

// A whole image: the volumes found in it, in order, and the bytes between
// them, which are kept as they are.
class Image {
 public:
  // Throws Error when no volume or (strict) a bad one is found.
  explicit Image(Bytes bytes, bool lenient = false, const ReadLimits &limits = ReadLimits());
  Image(const Image &) = delete;
  Image &operator=(const Image &) = delete;

  const Bytes &bytes() const { return *bytes_; }
  const std::vector<Volume> &volumes() const { return volumes_; }
  // Every volume, nested ones included, in preorder.
  std::vector<const Volume *> AllVolumes() const;
  // Faults found outside any volume (lenient reads only).
  const std::vector<std::string> &problems() const { return problems_; }
  // Whether a lenient read found any fault anywhere.
  bool Damaged() const;

 private:
  std::shared_ptr<const Bytes> bytes_;
  std::vector<Volume> volumes_;
  std::vector<std::string> problems_;
};

// Parses one volume of at most n bytes at p.
Volume ParseVolume(const uint8_t *p, size_t n, ReadContext &context, int depth = 0);
Volume ParseVolume(const uint8_t *p, size_t n, int &nextIndex, int depth = 0);
// Parses one firmware file at p, n bytes available.
File ParseFile(const uint8_t *p, size_t n, bool erasePolarity1, ReadContext &context,
               int depth = 0);
File ParseFile(const uint8_t *p, size_t n, bool erasePolarity1, int &nextIndex, int depth = 0);
// A lone firmware file (an .ffs): exactly one file, trailing padding only.
// The File points into bytes, which must outlive it.
File ParseLoneFile(const Bytes &bytes, bool lenient = false);
File ParseLoneFile(Bytes &&bytes, bool lenient = false) = delete;

// Where a PE32 or TE image says it runs: ImageBase for PE32; for TE, the
// address of the TE header itself. Returns false if the section holds no
// readable image, the image is not linked to a fixed address (base 0), or
// the address does not fit the 32-bit address space.
bool ImageRunAddress(const Section &section, uint64_t &address);

// Whether moving the section within its file could break something linked
// to where it lies: a volume (its images may run in place), an image linked
// to a fixed address, or an encapsulation holding either.
bool PositionDependent(const Section &section);

// The CRC32 that a CRC32 GUID_DEFINED section stores for its data.
uint32_t Crc32(const uint8_t *p, size_t n);

}  // namespace fv

#endif  // TOOLS_FV_FV_TREE_H_

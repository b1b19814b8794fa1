// A firmware image read into a tree: volumes, their files, the files'
// sections, and what encapsulation sections hold (LZMA-compressed streams,
// nested volumes). Every node points into bytes that the Image owns.
#ifndef TOOLS_FV_FV_TREE_H_
#define TOOLS_FV_FV_TREE_H_

#include <memory>
#include <string>
#include <vector>

#include "ffs.h"

namespace fv {

struct Volume;

struct Section {
  const uint8_t *start = nullptr;  // first header byte
  size_t offset = 0;               // from the start of the enclosing section stream
  size_t size = 0;                 // header included
  size_t headerSize = 0;           // for GUID_DEFINED: up to the data offset
  uint8_t type = 0;
  Guid guid;                       // GUID_DEFINED only
  uint16_t guidAttributes = 0;
  bool lzma = false;
  std::shared_ptr<const Bytes> unpacked;  // decoded stream of an LZMA section
  std::vector<Section> sections;          // sections it encapsulates
  std::vector<Volume> volumes;            // the volume of an FV_IMAGE section

  const uint8_t *data() const { return start + headerSize; }
  size_t dataSize() const { return size - headerSize; }
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
  bool deleted = false;  // deleted or never completed: present but not part of the volume
  std::vector<Section> sections;

  const uint8_t *body() const { return start + headerSize; }
  size_t bodySize() const { return size - headerSize; }
  Bytes bytes() const { return Bytes(start, start + size); }
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
  bool hasFiles = false;  // a file system this tool reads
  std::vector<File> files;

  bool erasePolarity1() const { return attributes & kVolumeAttrErasePolarity; }
  uint8_t erasedByte() const { return erasePolarity1() ? 0xFF : 0x00; }
  uint64_t alignment() const { return 1ull << ((attributes >> 16) & 0x1F); }
  const File *FindFile(const Guid &name) const;
};

// A whole image: the volumes found in it, in order, and the bytes between
// them, which are kept as they are.
class Image {
 public:
  explicit Image(Bytes bytes);  // throws Error when no volume or a bad one is found
  Image(const Image &) = delete;
  Image &operator=(const Image &) = delete;

  const Bytes &bytes() const { return *bytes_; }
  const std::vector<Volume> &volumes() const { return volumes_; }
  // Every volume, nested ones included, in preorder.
  std::vector<const Volume *> AllVolumes() const;

 private:
  std::shared_ptr<const Bytes> bytes_;
  std::vector<Volume> volumes_;
};

// Parses one volume of at most n bytes at p; nextIndex numbers it and its
// nested volumes.
Volume ParseVolume(const uint8_t *p, size_t n, int &nextIndex, int depth = 0);
// Parses one firmware file at p, n bytes available.
File ParseFile(const uint8_t *p, size_t n, bool erasePolarity1, int &nextIndex, int depth = 0);
// A lone firmware file (an .ffs): exactly one file, trailing padding only.
// The File points into bytes, which must outlive it.
File ParseLoneFile(const Bytes &bytes);
File ParseLoneFile(Bytes &&bytes) = delete;

// Where a PE32 or TE image says it runs: ImageBase for PE32; for TE, the
// address of the TE header itself. Returns false if the section holds no
// readable image or the image is not linked to a fixed address (base 0).
bool ImageRunAddress(const Section &section, uint64_t &address);

}  // namespace fv

#endif  // TOOLS_FV_FV_TREE_H_

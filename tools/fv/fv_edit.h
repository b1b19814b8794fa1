// Building firmware files and volumes, and putting files into the PEI
// volume of an image, however deep it sits (inside LZMA-compressed sections
// and nested volumes), with every enclosing size and checksum rewritten.
#ifndef TOOLS_FV_FV_EDIT_H_
#define TOOLS_FV_FV_EDIT_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fv_tree.h"

namespace fv {

// A module's firmware file: a dependency expression section (PUSH each
// GUID, AND them, END; none when the list is empty), a RAW pad section so
// that the PE32 data is aligned to the image's section alignment, the PE32
// section and a UI section. The file's data-alignment attribute is set to
// cover that alignment, and its data checksum is kept.
struct ModuleFileParams {
  Guid name;
  std::string uiName;
  uint8_t type = kFilePeim;
  std::vector<Guid> depexPush;
};
Bytes BuildModuleFile(const ModuleFileParams &params, const Bytes &peImage);

// The files of one volume at fixed offsets. Files never move: the free
// space between them becomes pad files (the original ones where they still
// fit exactly), the space after the last one stays erased.
class VolumePlan {
 public:
  explicit VolumePlan(const Volume &volume);  // empty: no file placed yet
  void KeepPad(const File &pad);             // reused if a gap matches it
  bool Fits(size_t offset, size_t size) const;
  void Place(size_t offset, Bytes file);
  // Places make(offset) at the first offset that fits with the file's data
  // (after its 24-byte header) aligned to `alignment` within the volume.
  // Returns false if it fits nowhere.
  bool PlaceFirstFit(const std::function<Bytes(size_t)> &make, uint32_t alignment,
                     size_t *where = nullptr);
  // Bytes from offset to the next placed file or the end of the volume.
  size_t RoomAt(size_t offset) const;
  // Bytes after the last placed file.
  size_t FreeAtEnd() const;
  Bytes Build() const;

 private:
  Bytes header_;  // everything before the first file
  size_t filesStart_;
  size_t length_;
  bool erasePolarity1_;
  std::map<size_t, Bytes> placed_;
  std::map<size_t, Bytes> pads_;
};

// How a file's PE32 image is treated when the file is placed.
struct Rebase {
  bool enabled = false;
  uint64_t volumeBase = 0;    // address at which offset 0 of the volume runs
  bool mustRunInPlace = false;  // refuse images whose file and memory layouts differ
};
// The file's bytes when placed at `offset` of a volume: its first top-level
// PE32 image rebased to run where it lies and its data aligned by a RAW pad
// section (replacing a zero-filled RAW section right before it), the state
// set for the volume's erase polarity.
Bytes FileAt(const File &file, size_t offset, const Rebase &rebase, bool erasePolarity1);

// The address where offset 0 of the volume runs, from the images already in
// it that are linked to run in place. Throws if they do not tell.
uint64_t VolumeRunBase(const Volume &volume);

// The volume `index` (as `list` numbers them) or, for -1, the one holding
// the PEI core (or the only volume of the image).
const Volume &SelectPeiVolume(const Image &image, int index);

struct InsertRequest {
  std::vector<Bytes> files;  // whole .ffs files
  std::vector<std::string> labels;  // their names, for messages
  bool apriori = false;      // add them to the PEI apriori list (created if absent)
  bool haveBase = false;     // an explicit run address of the PEI volume
  uint64_t base = 0;
  int volumeIndex = -1;
};
// The new image; log receives one line per placement and rewritten level.
Bytes InsertFiles(const Image &image, const InsertRequest &request, std::vector<std::string> &log);

// A new volume holding the files, in order, each at the first place it
// fits; with rebase enabled their images are linked to run in place.
Bytes CreateVolume(const VolumeParams &params, const std::vector<Bytes> &files,
                   const std::vector<std::string> &labels, const Rebase &rebase,
                   std::vector<std::string> &log);

}  // namespace fv

#endif  // TOOLS_FV_FV_EDIT_H_

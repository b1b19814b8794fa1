// Building firmware files and volumes, and editing the volumes of an image,
// however deep they sit (inside LZMA-compressed or CRC32-guarded sections
// and nested volumes).
//
// An edit changes only what it must: the files it adds, replaces or removes,
// the pad files around them, and the headers, sizes and checksums of the
// files, sections and compressed streams that enclose them. Every other
// byte stays as it was. Nothing that may be linked to where it lies moves:
// files keep their offsets, volumes their size, and a section that grows is
// refused when a volume or an image linked to a fixed address follows it.
// A replaced file that outgrows its room moves the files after it only
// where each can move without harm (see ReplaceFile).
// The one exception is the volume top file, which is defined by ending at
// the end of its volume and is placed there whatever its size. Files go only
// where the PEI core's walk of the volume finds them.
#ifndef TOOLS_FV_FV_EDIT_H_
#define TOOLS_FV_FV_EDIT_H_

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fv_tree.h"

namespace fv {

// A module's firmware file: a dependency expression section (PUSH each
// GUID, AND them, END; none when the list is empty), a RAW pad section so
// that the PE32 data is aligned to the image's section alignment, the PE32
// section, a UI section and, where given, a VERSION section. The file's
// data-alignment attribute is set to cover that alignment, and its data
// checksum is kept.
struct ModuleFileParams {
  Guid name;
  std::string uiName;  // no UI section where empty (volume and free-form files)
  uint8_t type = kFilePeim;
  std::vector<Guid> depexPush;
  bool hasVersion = false;
  uint16_t buildNumber = 0;
  std::string version;
};
Bytes BuildModuleFile(const ModuleFileParams &params, const Bytes &peImage);
// An FV_IMAGE file (params.type kFileFvImage): the dependency expression,
// the volume in an FV_IMAGE section whose data lies on the volume's
// alignment, UI and VERSION as above.
Bytes BuildVolumeFile(const ModuleFileParams &params, const Bytes &volume);
// A FREEFORM file: the dependency expression, the data in a RAW section,
// UI and VERSION as above.
Bytes BuildFreeformFile(const ModuleFileParams &params, const Bytes &data);

// The largest section alignment of an image this tool places: the largest
// data alignment a firmware file header can state.
constexpr uint32_t kMaxImageAlignment = 0x10000;

// One volume's bytes under edit. The volume is a row of slots: files that
// stay as they are, free room (pad files holding only erased bytes, and the
// erased free space after the last file), and bytes it does not know (after
// the free space). Edits write only into the slots they change.
class VolumeEditor {
 public:
  explicit VolumeEditor(const Volume &volume);

  // Places make(offset) at the first offset in free room where the file's
  // data (after its 24-byte header) is aligned to `alignment` within the
  // volume. Returns false if it fits nowhere.
  bool PlaceFirstFit(const std::function<Bytes(size_t)> &make, uint32_t alignment,
                     size_t *where = nullptr);
  // Writes `file` where `old` is: the room it leaves becomes a pad file; it
  // may grow into free room right after it. Throws if it does not fit.
  void Replace(const File &old, const Bytes &file);
  // Writes make(offset) so that it ends at the end of the volume, as a
  // volume top file must, in the free room there (joined by the place of
  // `old`, the file it replaces, if given). Throws with the reason if it
  // cannot be placed so.
  size_t PlaceAtTop(const std::function<Bytes(size_t)> &make, uint32_t alignment,
                    const File *old, const std::string &what);
  // Turns `old` into a pad file of the same extent.
  void Remove(const File &old);
  // Whether the slot starting at `offset` is free room (an erased pad file
  // or the free space), and where it ends (0 where no slot starts there).
  bool IsRoom(size_t offset) const;
  size_t SlotEnd(size_t offset) const;
  // Lays `files` (each at its offset, in order, the first at `start`) over
  // [start, end), whatever was there: the gaps between them become pad
  // files, and what the last one leaves becomes free space where `end`
  // closes the free space, a pad file otherwise. Throws where a gap is
  // too small for a pad file.
  void Relay(size_t start, size_t end, const std::vector<std::pair<size_t, Bytes>> &files);
  // Bytes of free room after the last file.
  size_t FreeAtEnd() const;
  const Bytes &bytes() const { return bytes_; }

 private:
  enum class Kind { kKept, kPad, kFree, kUnknown };
  struct Slot {
    size_t end;
    Kind kind;
  };
  // Writes file at `at` inside the free room [start, end) of kind `kind`;
  // false (nothing written) if the room left before or after it cannot be
  // a pad file or free space.
  bool WriteInto(size_t start, size_t end, Kind kind, size_t at, const Bytes &file);
  void ErasedPad(size_t at, size_t size);

  Bytes bytes_;
  int index_;
  bool erasePolarity1_;
  std::map<size_t, Slot> slots_;  // by start offset
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

// What `list` flags in a volume that reads without fault but would not run
// as laid out: a file whose data is off the alignment its attributes ask,
// and, in a volume that runs in place, an image (the PEI core named as
// such) not linked to run where it lies, given where most of its images say
// the volume runs. Each finding with the file it is about.
struct Finding {
  const File *file;
  std::string text;
};
std::vector<Finding> PlacementFindings(const Volume &volume);

// The volume `index` (as `list` numbers them) or, for -1, the one holding
// the PEI core (or the only volume of the image).
const Volume &SelectPeiVolume(const Image &image, int index);

// Rebuilds the image with volume `target` replaced by what edit returns for
// it (the same number of bytes), every enclosing level rewritten. log
// receives one line per rewritten level.
Bytes EditVolume(const Image &image, int target, const std::function<Bytes(const Volume &)> &edit,
                 std::vector<std::string> &log);

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

// Replaces the file of the same name in volume `volumeIndex` (-1: the one
// volume holding a file of that name) in place; its image is rebased like an
// inserted one. A file that outgrows its place and the free room right
// after it moves the files after it later, as far as the free room they
// reach lets them: each keeps its data alignment, its image is rebased
// again where the volume runs in place, and pad files take up the rest.
// Refused, naming the file and why, where one of them cannot move: the
// volume top file, the SEC core, an image without relocations in a volume
// that runs in place, a volume that runs where it lies, an image linked to
// where it lies deeper in its sections, a RAW file, or bytes not known.
struct ReplaceRequest {
  Bytes file;
  std::string label;
  bool haveBase = false;
  uint64_t base = 0;
  int volumeIndex = -1;
};
Bytes ReplaceFile(const Image &image, const ReplaceRequest &request, std::vector<std::string> &log);

// Turns the named file into padding.
Bytes RemoveFile(const Image &image, const Guid &name, int volumeIndex,
                 std::vector<std::string> &log);

// The volume holding a file of that name (volumeIndex -1: the only one that
// does), and the file.
struct FoundFile {
  const Volume *volume = nullptr;
  const File *file = nullptr;
};
FoundFile FindFileInImage(const Image &image, const Guid &name, int volumeIndex);
// A file named on the command line: by its name GUID, or by its UI name,
// which must name one file (by its GUID) in the image or volume #volumeIndex
// (any, where negative); an ambiguous name is refused listing the
// candidates.
bool LooksLikeGuid(const std::string &text);
// The number of the volume named by a GUID: the name in its extended
// header, or the name of the FV_IMAGE file holding it. Refused where none
// or several volumes answer to it (those listed).
int ResolveVolume(const Image &image, const Guid &name);
Guid ResolveFileName(const Image &image, const std::string &text, int volumeIndex);

// What `extract` takes out of a file: the whole file, the data of its
// `index`th section of type `section` (a name such as "pe32" or "ui", or a
// number), searched depth first through encapsulations, or its PE32 or TE
// image.
struct ExtractRequest {
  std::string section;
  uint64_t index = 0;
  bool imageBody = false;
};
Bytes ExtractFromFile(const File &file, const ExtractRequest &request, std::string &what);

// A new volume holding the files, in order, each at the first place it
// fits; with rebase enabled their images are linked to run in place.
Bytes CreateVolume(const VolumeParams &params, const std::vector<Bytes> &files,
                   const std::vector<std::string> &labels, const Rebase &rebase,
                   std::vector<std::string> &log);

}  // namespace fv

#endif  // TOOLS_FV_FV_EDIT_H_

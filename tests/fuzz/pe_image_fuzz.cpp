// The PE and TE reader on arbitrary bytes, then everything the tools do with an
// image it accepts: lay it out, relocate the layout to a few bases, rebase
// the file itself. Whatever Parse accepts must go through all of that
// within bounds, and the two ways of moving an image (relocating its layout,
// rebasing its file and laying that out) must give the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pe_compact.h"
#include "pe_image.h"
#include "fuzz_check.h"

namespace {

using fuzzcheck::Check;

bool OneLine(const std::string &text) {
  return !text.empty() && text.find('\n') == std::string::npos;
}

void Put32(std::vector<uint8_t> &b, size_t o, uint32_t v) {
  for (int i = 0; i < 4; i++) b[o + i] = uint8_t(v >> (8 * i));
}

// The post-link writer on a PE32 image the reader accepts: when it writes a
// compact image, that image reads back, holds the same fixups moved, and
// loads the same code and data at the same addresses as the original; its TE
// image loads as it does.
void CheckCompact(const pe::Image &image, const std::vector<uint8_t> &layout) {
  std::vector<uint8_t> out;
  pe::CompactMove move;
  std::string error;
  if (!pe::WriteCompactImage(image, out, move, error)) {
    Check(OneLine(error) && out.empty());
    return;
  }
  pe::Image compact;
  Check(pe::Parse(out, compact, error));
  Check(compact.relocations.size() == image.relocations.size());
  for (size_t i = 0; i < image.relocations.size(); i++)
    Check(compact.relocations[i] == move.NewRva(image.relocations[i]));
  const uint32_t moved = move.oldStart - move.newStart;
  const uint32_t base = 0x00800000;
  std::vector<uint8_t> a = layout, b = pe::MemoryLayout(compact);
  if (!pe::RelocateLayout(image, a, base, error)) return;
  Check(pe::RelocateLayout(compact, b, base + moved, error));
  // A fixup holding the image base itself names the headers, which stay
  // where they are: its bytes differ by what the code moved.
  std::vector<bool> imageBaseBytes(a.size(), false);
  for (uint32_t rva : image.relocations) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v |= uint32_t(layout[rva + i]) << (8 * i);
    if (v == image.imageBase)
      for (int i = 0; i < 4; i++) imageBaseBytes[rva + i] = true;
  }
  for (uint32_t i = move.oldStart; i < move.oldEnd; i++)
    Check(imageBaseBytes[i] || a[i] == b[i - move.oldStart + move.newStart]);
  std::vector<uint8_t> te;
  if (!pe::WriteTeImage(compact, te, error)) {
    Check(OneLine(error));
    return;
  }
  pe::Image teImage;
  Check(pe::ParseTe(te, teImage, error));
  std::vector<uint8_t> c = pe::MemoryLayout(teImage);
  // An image without fixups gives a TE image without a relocation directory,
  // which a TE loader keeps at its base.
  if (teImage.directories[pe::kDirBaseReloc].size == 0) {
    Check(compact.relocations.empty());
    return;
  }
  Check(pe::RelocateLayout(teImage, c, base + moved, error));
  Check(c.size() <= b.size());
  Check(std::equal(c.begin() + teImage.sizeOfHeaders, c.end(), b.begin() + teImage.sizeOfHeaders));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  pe::Image image;
  std::string error;
  if (!pe::ParseAny(std::vector<uint8_t>(data, data + size), image, error)) {
    Check(OneLine(error));
    return 0;
  }
  Check(image.sizeOfImage >= 1 && image.sizeOfImage <= pe::kMaxSizeOfImage);
  const uint32_t top = uint32_t((uint64_t(1) << 32) - image.sizeOfImage);
  if (image.sizeOfImage > (1u << 20)) {
    // A large SizeOfImage from a small file: every layout would be megabytes
    // of zeros, which only slows the search. The refusals cost nothing.
    std::vector<uint8_t> none;
    Check(!pe::RelocateLayout(image, none, top + 1, error) || none.empty());
    pe::Image rebased = image;
    Check(!pe::RebaseFile(rebased, top + 1, error) && rebased.bytes == image.bytes);
    return 0;
  }
  const std::vector<uint8_t> layout = pe::MemoryLayout(image);
  Check(layout.size() == image.sizeOfImage);
  if (!image.IsTe()) CheckCompact(image, layout);
  for (uint32_t rva : image.relocations) Check(uint64_t(rva) + 4 <= layout.size());

  // The image's own base, the highest it fits at, the lowest it does not,
  // and a few ordinary ones.
  const uint32_t bases[] = {image.imageBase, top, top + 1, 0, 0x00820000, 0xFFFFFFFF};
  for (uint32_t base : bases) {
    // A TE image without a relocation directory, and a PE32 image marked
    // IMAGE_FILE_RELOCS_STRIPPED, run only at their own base.
    const bool fixedBase = image.IsTe() ? image.directories[pe::kDirBaseReloc].size == 0
                                        : (image.fileCharacteristics & 0x0001) != 0;
    const bool fits = uint64_t(base) + image.sizeOfImage <= (uint64_t(1) << 32) &&
                      (base == image.imageBase || !fixedBase);
    std::vector<uint8_t> relocated = layout;
    error.clear();
    const bool relocatedOk = pe::RelocateLayout(image, relocated, base, error);
    Check(relocatedOk == fits);  // Parse has placed every fixup inside the layout
    if (!relocatedOk) {
      Check(OneLine(error));
      Check(relocated == layout);
      continue;
    }
    if (base == image.imageBase) Check(relocated == layout);

    pe::Image rebased = image;
    error.clear();
    if (!pe::RebaseFile(rebased, base, error)) {
      // A fixup in a section's uninitialised tail has no file bytes.
      Check(OneLine(error));
      Check(rebased.bytes == image.bytes);
      continue;
    }
    Check(rebased.imageBase == base);
    // The ImageBase field lies in the headers, which a TE image's layout
    // holds from headerRva on.
    Put32(relocated, image.headerRva + image.ImageBaseFieldOffset(), base);
    Check(pe::MemoryLayout(rebased) == relocated);
    // The rebased file is still an image of the same kind, with the same
    // fixups.
    pe::Image again;
    Check(pe::ParseAny(rebased.bytes, again, error));
    Check(again.IsTe() == image.IsTe());
    Check(again.relocations == image.relocations);
  }
  return 0;
}

// fvtool's edits on arbitrary images: the input is read strictly (as the
// tool reads an image before editing it); then a small PEIM firmware file (a
// PE32 or a TE image) is inserted into its PEI volume, and the first file of
// the image is removed, replaced by a new file of the same name, and replaced
// by itself. Each edit may refuse with fv::Error; an "internal:" error is a
// broken promise of the editor and so a crash. An edit that succeeds must give
// an image of the same size that reads strictly again, with its volumes where
// they were and every byte outside them as it was.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "ffs.h"
#include "fv_edit.h"
#include "fv_tree.h"
#include "pe_compact.h"
#include "fuzz_check.h"

namespace {

using fuzzcheck::Check;

// Where the edited volume runs: near the top of the 32-bit space, where a
// PEI volume lies.
constexpr uint64_t kBase = 0xFFE00000;

fv::ReadLimits SmallLimits() {
  fv::ReadLimits limits;
  limits.maxUnpackedBytes = 2u << 20;  // each edit recompresses what it unpacks
  limits.maxRecords = 4096;
  return limits;
}

// A PE32 image of 0x1E0 bytes for IA-32 with one relocated instruction,
// laid out to run in place (every section at the same offset in the file
// as in memory), section and file alignment 0x10 or 0x20 (which a firmware
// file states as 16- or 128-byte data alignment):
//   headers 0..0x1A0, .text at 0x1A0 (mov eax, [ImageBase + 0x1A8]; ret),
//   .reloc at 0x1C0 (one HIGHLOW fixup at RVA 0x1A1).
fv::Bytes TinyPe(uint32_t alignment) {
  fv::Bytes b(0x1E0, 0);
  b[0] = 'M';
  b[1] = 'Z';
  fv::Put32(&b[0x3C], 0x40);
  std::memcpy(&b[0x40], "PE\0\0", 4);
  const size_t coff = 0x44, opt = 0x58, table = opt + 0xE0;
  fv::Put16(&b[coff + 0], 0x014C);   // IA-32
  fv::Put16(&b[coff + 2], 2);        // sections
  fv::Put16(&b[coff + 16], 0xE0);    // optional header size
  fv::Put16(&b[coff + 18], 0x0102);  // executable, 32-bit
  fv::Put16(&b[opt + 0], 0x010B);    // PE32
  fv::Put32(&b[opt + 16], 0x1A0);    // entry
  fv::Put32(&b[opt + 28], 0x10000);  // ImageBase
  fv::Put32(&b[opt + 32], alignment);  // SectionAlignment
  fv::Put32(&b[opt + 36], alignment);  // FileAlignment
  fv::Put32(&b[opt + 56], 0x1E0);    // SizeOfImage
  fv::Put32(&b[opt + 60], 0x1A0);    // SizeOfHeaders
  fv::Put16(&b[opt + 68], 11);       // boot service driver
  fv::Put32(&b[opt + 92], 16);       // data directories
  fv::Put32(&b[opt + 96 + 8 * 5], 0x1C0);  // base relocations
  fv::Put32(&b[opt + 100 + 8 * 5], 12);
  struct {
    const char *name;
    uint32_t at, size, characteristics;
  } sections[] = {{".text", 0x1A0, 0x20, 0x60000020}, {".reloc", 0x1C0, 0x20, 0x42000040}};
  for (size_t i = 0; i < 2; i++) {
    uint8_t *h = &b[table + 40 * i];
    std::memcpy(h, sections[i].name, std::strlen(sections[i].name));
    fv::Put32(h + 8, sections[i].size);
    fv::Put32(h + 12, sections[i].at);
    fv::Put32(h + 16, sections[i].size);
    fv::Put32(h + 20, sections[i].at);
    fv::Put32(h + 36, sections[i].characteristics);
  }
  const uint8_t code[] = {0xA1, 0xA8, 0x01, 0x01, 0x00, 0xC3};  // mov eax, [0x101A8]; ret
  std::memcpy(&b[0x1A0], code, sizeof code);
  fv::Put32(&b[0x1C0], 0);       // page RVA
  fv::Put32(&b[0x1C4], 12);      // block size
  fv::Put16(&b[0x1C8], 0x31A1);  // HIGHLOW at RVA 0x1A1
  return b;
}

// The same image as a TE image: its header 0x110 bytes above its base,
// which insert must put on the 0x20 bytes its sections' addresses share.
fv::Bytes TinyTe(uint32_t alignment) {
  pe::Image image;
  std::string error;
  fv::Bytes te;
  Check(pe::Parse(TinyPe(alignment), image, error) && pe::WriteTeImage(image, te, error));
  return te;
}

fv::Bytes ModuleFile(const fv::Guid &name, uint8_t type, uint32_t alignment, bool te = false) {
  fv::ModuleFileParams params;
  params.name = name;
  params.uiName = "FuzzModule";
  params.type = type;
  params.depexPush = {fv::kStallPpiGuid};
  return fv::BuildModuleFile(params, te ? TinyTe(alignment) : TinyPe(alignment));
}

const fv::Bytes &InsertedFile(bool te) {
  static const fv::Guid name = fv::Guid::Parse("5A3B2C1D-0E9F-4A8B-9C7D-6E5F4A3B2C1D");
  static const fv::Bytes pe32 = ModuleFile(name, fv::kFilePeim, 0x20);
  static const fv::Bytes teFile = ModuleFile(name, fv::kFilePeim, 0x20, true);
  return te ? teFile : pe32;
}

using EditFunction = std::function<fv::Bytes(std::vector<std::string> &log)>;

// Runs one edit and checks what it gives.
void Edit(const fv::Image &image, const EditFunction &edit) {
  std::vector<std::string> log;
  fv::Bytes out;
  try {
    out = edit(log);
  } catch (const fv::Error &e) {
    Check(std::strstr(e.what(), "internal:") == nullptr);
    return;
  }
  const fv::Bytes &in = image.bytes();
  Check(out.size() == in.size());
  // Edits add a few records; the limits only need to let the result be read.
  fv::ReadLimits limits = SmallLimits();
  limits.maxUnpackedBytes *= 2;
  limits.maxRecords *= 2;
  std::unique_ptr<fv::Image> again;
  try {
    again = std::make_unique<fv::Image>(out, false, limits);
  } catch (const fv::Error &) {
    Check(false);
  }
  Check(again->volumes().size() == image.volumes().size());
  size_t pos = 0;
  for (size_t i = 0; i < image.volumes().size(); i++) {
    const fv::Volume &before = image.volumes()[i], &after = again->volumes()[i];
    Check(after.offset == before.offset && after.length == before.length);
    Check(std::memcmp(in.data() + pos, out.data() + pos, before.offset - pos) == 0);
    pos = before.offset + before.length;
  }
  Check(std::memcmp(in.data() + pos, out.data() + pos, in.size() - pos) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::unique_ptr<fv::Image> image;
  try {
    image = std::make_unique<fv::Image>(fv::Bytes(data, data + size), false, SmallLimits());
  } catch (const fv::Error &) {
    return 0;
  }

  fv::InsertRequest insert;
  // One or two bytes more or less after the volumes pick the other forms:
  // apriori or not, a TE or a PE32 image.
  insert.files = {InsertedFile(size & 2)};
  insert.labels = {"FuzzModule.ffs"};
  insert.haveBase = true;
  insert.base = kBase;
  insert.apriori = size & 1;
  Edit(*image, [&](std::vector<std::string> &log) { return fv::InsertFiles(*image, insert, log); });

  const fv::Volume *volume = nullptr;
  const fv::File *first = nullptr;
  for (const fv::Volume *v : image->AllVolumes()) {
    for (const fv::File &f : v->files)
      if (!f.deleted && f.type != fv::kFilePad) {
        first = &f;
        break;
      }
    if (first) {
      volume = v;
      break;
    }
  }
  if (!first) return 0;

  Edit(*image, [&](std::vector<std::string> &log) {
    return fv::RemoveFile(*image, first->name, volume->index, log);
  });

  fv::ReplaceRequest replace;
  replace.label = "replacement";
  replace.haveBase = true;
  replace.base = kBase;
  replace.volumeIndex = volume->index;
  // 16-byte data alignment: it fits where most files lie.
  const uint8_t type = fv::FileTypeHasSections(first->type) ? first->type : fv::kFilePeim;
  replace.file = ModuleFile(first->name, type, 0x10);
  const EditFunction replaceIt = [&](std::vector<std::string> &log) {
    return fv::ReplaceFile(*image, replace, log);
  };
  Edit(*image, replaceIt);

  // A lone firmware file is read with erase polarity 1: the state byte of a
  // file from a polarity-0 volume is inverted to match.
  replace.label = "itself";
  replace.file = first->bytes();
  if (!volume->erasePolarity1()) replace.file[23] = uint8_t(~replace.file[23]);
  Edit(*image, replaceIt);
  return 0;
}

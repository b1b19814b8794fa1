#include "fv_edit.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <set>

#include "brotli_codec.h"
#include "lzma_codec.h"
#include "numbers.h"
#include "pe_image.h"

namespace fv {
namespace {

constexpr size_t kFileHeaderSize = 24;  // the files this tool writes

Bytes SectionBytes(const Section &s) { return Bytes(s.start, s.start + s.size); }

bool IsZeroRaw(const Section &s) {
  if (s.type != kSecRaw) return false;
  for (size_t i = 0; i < s.dataSize(); i++)
    if (s.data()[i] != 0) return false;
  return true;
}

// Reads a PE32 or TE image (by its signature) that this tool can place.
pe::Image ParseImage(const uint8_t *p, size_t n, const std::string &what) {
  pe::Image image;
  std::string error;
  if (!pe::ParseAny(Bytes(p, p + n), image, error)) Fail(what + ": " + error);
  if (image.IsTe()) return image;
  uint32_t a = image.sectionAlignment;
  if (a == 0 || (a & (a - 1)) != 0)
    Fail(what + ": section alignment " + Hex(a) + " is not a power of two");
  if (a > kMaxImageAlignment)
    Fail(what + ": section alignment " + Hex(a) + " is above the " + Hex(kMaxImageAlignment) +
         " bytes a firmware file can align its data to");
  return image;
}

// The alignment the image's base needs in memory. A PE32 image states it. A
// TE image does not: every section's address was a multiple of it, so the
// largest power of two dividing them all is safe (at least 8, at most what a
// firmware file can align its data to).
uint32_t ImageAlignment(const pe::Image &image) {
  if (!image.IsTe()) return image.sectionAlignment;
  uint32_t a = kMaxImageAlignment;
  for (const pe::Section &s : image.sections)
    while (a > 8 && s.virtualAddress % a) a >>= 1;
  return a;
}

uint8_t ImageSectionType(const pe::Image &image) { return image.IsTe() ? kSecTe : kSecPe32; }

// Whether the image can run where it lies: every section at the same place
// in the file as in memory, with no part of it existing only in memory.
bool RunsInPlace(const pe::Image &image) {
  for (const pe::Section &s : image.sections)
    if (s.rawPointer != s.virtualAddress || s.virtualSize > s.rawSize) return false;
  return true;
}

std::string Describe(const File &f) {
  std::string ui = f.UiName();
  return ui.empty() ? f.name.ToString() : ui + " " + f.name.ToString();
}

std::string VolumeName(int index) { return "volume #" + std::to_string(index); }

// The file with a new body: its own header (name, type, attributes, state,
// header form) with the size and both checksums brought up to date.
Bytes RewriteFile(const File &f, const Bytes &body) {
  Bytes out(f.start, f.start + f.headerSize);
  uint64_t size = f.headerSize + body.size();
  if (f.headerSize == 32) {
    Put64(out.data() + 24, size);
  } else {
    if (size > 0xFFFFFF) Fail("file " + f.name.ToString() + " would grow beyond 16 MiB");
    Put24(out.data() + 20, uint32_t(size));
  }
  uint8_t state = out[23];
  out[16] = out[17] = out[23] = 0;
  out[16] = uint8_t(-Sum8(out.data(), out.size()));
  out[17] = (f.attributes & kFileAttrChecksum) ? uint8_t(-Sum8(body.data(), body.size()))
                                               : kFileChecksumUnused;
  out[23] = state;
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// A section of the same type with new contents after its common header;
// the extended size form is kept, and taken when the size needs it.
Bytes Resized(const Section &s, const Bytes &afterCommonHeader) {
  bool longForm = s.commonHeaderSize == 8 || 4 + afterCommonHeader.size() >= 0xFFFFFF;
  uint64_t total = (longForm ? 8 : 4) + uint64_t(afterCommonHeader.size());
  if (total > 0xFFFFFFFFu) Fail("section too large");
  Bytes out(longForm ? 8 : 4);
  Put24(out.data(), longForm ? 0xFFFFFF : uint32_t(total));
  if (longForm) Put32(out.data() + 4, uint32_t(total));
  out[3] = s.type;
  out.insert(out.end(), afterCommonHeader.begin(), afterCommonHeader.end());
  return out;
}

// A GUID_DEFINED section with its own GUID header and new header bytes
// (`extra`, after the GUID header) and data.
Bytes GuidDefinedLike(const Section &s, const Bytes &extra, const Bytes &data) {
  bool longForm = s.commonHeaderSize == 8 || 4 + 20 + extra.size() + data.size() >= 0xFFFFFF;
  Bytes after(s.start + s.commonHeaderSize, s.start + s.commonHeaderSize + 20);
  Put16(after.data() + 16, uint32_t((longForm ? 8 : 4) + 20 + extra.size()));
  after.insert(after.end(), extra.begin(), extra.end());
  after.insert(after.end(), data.begin(), data.end());
  Section form = s;
  form.commonHeaderSize = longForm ? 8 : 4;
  return Resized(form, after);
}

// Rebuilds the levels above an edited volume. Each call returns the new
// bytes of its node, or nothing when the target is not below it.
class Rewriter {
 public:
  Rewriter(int target, const std::function<Bytes(const Volume &)> &edit,
           std::vector<std::string> &log)
      : target_(target), edit_(edit), log_(log) {}

  std::optional<Bytes> RewriteVolume(const Volume &v) {
    if (v.index == target_) {
      Bytes edited = edit_(v);
      if (edited.size() != v.length) Fail("internal: " + VolumeName(v.index) + " changed size");
      return edited;
    }
    for (const File &f : v.files) {
      if (f.deleted || !FileTypeHasSections(f.type)) continue;
      std::optional<Bytes> body;
      try {
        body = RewriteStream(f.sections, f.body(), f.bodySize());
      } catch (const Error &e) {
        Fail(VolumeName(v.index) + ": file " + f.name.ToString() + " at " + Hex(f.offset) + ": " +
             e.what());
      }
      if (!body) continue;
      Bytes file = RewriteFile(f, *body);
      VolumeEditor editor(v);
      editor.Replace(f, file);
      log_.push_back(VolumeName(v.index) + ": file " + f.name.ToString() + " rewritten in place, " +
                     Hex(file.size()) + " bytes (was " + Hex(f.size) + ")");
      return editor.bytes();
    }
    return std::nullopt;
  }

 private:
  // A section stream with one section rewritten. The sections after it keep
  // their offsets (a RAW section fills what the rewritten one gave up); if
  // it grew, they move only when none of them is linked to where it lies.
  std::optional<Bytes> RewriteStream(const std::vector<Section> &sections, const uint8_t *p,
                                     size_t n) {
    for (size_t i = 0; i < sections.size(); i++) {
      std::optional<Bytes> changed = RewriteSection(sections[i]);
      if (!changed) continue;
      Bytes out(p, p + sections[i].offset);
      out.insert(out.end(), changed->begin(), changed->end());
      if (i + 1 == sections.size()) return out;
      size_t next = sections[i + 1].offset, end = AlignUp(out.size(), 4);
      if (end <= next) {
        out.resize(end, 0);
        if (next > end) {
          Bytes pad = MakeSection(kSecRaw, Bytes(next - end - 4, 0));
          out.insert(out.end(), pad.begin(), pad.end());
        }
      } else {
        for (size_t j = i + 1; j < sections.size(); j++)
          if (PositionDependent(sections[j]))
            Fail("section " + std::to_string(j) + " (" + SectionTypeName(sections[j].type) +
                 ") at " + Hex(sections[j].offset) + " would move by " + Hex(end - next) +
                 " bytes, and it holds a volume or an image linked to where it lies");
        out.resize(end, 0);
      }
      out.insert(out.end(), p + next, p + n);
      return out;
    }
    return std::nullopt;
  }

  std::optional<Bytes> RewriteSection(const Section &s) {
    if (s.type == kSecFvImage) {
      if (s.volumes.empty()) return std::nullopt;
      std::optional<Bytes> volume = RewriteVolume(s.volumes[0]);
      if (!volume) return std::nullopt;
      Bytes out = SectionBytes(s);  // volumes keep their size
      std::memcpy(out.data() + s.headerSize, volume->data(), volume->size());
      return out;
    }
    if (s.opaque || s.sections.empty()) return std::nullopt;
    size_t streamSize = s.lzma || s.brotli ? s.unpacked->size() : s.dataSize();
    std::optional<Bytes> stream = RewriteStream(s.sections, s.stream(), streamSize);
    if (!stream) return std::nullopt;
    if (s.type == kSecCompression) {  // method 0: stored
      Bytes after(5, 0);
      Put32(after.data(), uint32_t(stream->size()));
      after.insert(after.end(), stream->begin(), stream->end());
      return Resized(s, after);
    }
    if (s.type != kSecGuidDefined) return std::nullopt;
    Bytes extra(s.start + s.commonHeaderSize + 20, s.start + s.headerSize);
    Bytes data = *stream;
    if (s.lzma) {
      uint64_t size = 0;
      // A large stream takes seconds: say so, and how far it has got.
      constexpr size_t kLarge = 1 << 20;
      std::string what = "packing LZMA section " + s.guid.ToString() + " (" + Hex(stream->size()) +
                         " bytes, " + LzmaEffort().Describe() + ")";
      int told = -1;
      LzmaProgress progress = [&](uint64_t done, uint64_t total) {
        int quarter = int(done * 4 / total);
        if (quarter == told) return;
        told = quarter;
        Progress(what + ": " + std::to_string(quarter * 25) + "%");
      };
      data = LzmaEncode(*stream, LzmaStreamProperties(s.data(), s.dataSize(), size), LzmaEffort(),
                        stream->size() >= kLarge ? progress : LzmaProgress());
      log_.push_back("LZMA section " + s.guid.ToString() + ": " + Hex(data.size()) +
                     " bytes compressed (was " + Hex(s.dataSize()) + "), " +
                     Hex(stream->size()) + " unpacked");
    } else if (s.brotli) {
      if (stream->size() >= (1u << 20))
        Progress("packing Brotli section " + s.guid.ToString() + " (" + Hex(stream->size()) + " bytes)");
      data = BrotliEncode(*stream, s.dataSize() >= 16 ? Get64(s.data() + 8) : 0);
      log_.push_back("Brotli section " + s.guid.ToString() + ": " + Hex(data.size()) +
                     " bytes compressed (was " + Hex(s.dataSize()) + "), " +
                     Hex(stream->size()) + " unpacked");
    } else if (s.crc32) {
      Put32(extra.data(), Crc32(data.data(), data.size()));
      log_.push_back("CRC32 section: CRC32 " + Hex(Get32(extra.data())) + " over " +
                     Hex(data.size()) + " bytes");
    } else {
      Fail("cannot rewrite the data of GUID_DEFINED section " + s.guid.ToString() +
           ": its header may hold a digest or signature of it that this tool cannot renew");
    }
    return GuidDefinedLike(s, extra, data);
  }

  int target_;
  const std::function<Bytes(const Volume &)> &edit_;
  std::vector<std::string> &log_;
};

std::vector<File> ParseInputs(const std::vector<Bytes> &files, const std::vector<std::string> &labels,
                              const Volume *into) {
  std::vector<File> out;
  std::set<Guid> names;
  for (size_t i = 0; i < files.size(); i++) {
    std::string label = i < labels.size() ? labels[i] : "file " + std::to_string(i + 1);
    File f;
    try {
      f = ParseLoneFile(files[i]);
    } catch (const Error &e) {
      Fail(label + ": not a valid firmware file: " + e.what());
    }
    if (f.type == kFilePad) Fail(label + ": a pad file cannot be inserted");
    if (!names.insert(f.name).second) Fail(label + ": file " + f.name.ToString() + " given twice");
    if (into && into->FindFile(f.name))
      Fail(label + ": " + VolumeName(into->index) + " already holds file " + f.name.ToString());
    out.push_back(std::move(f));
  }
  return out;
}

std::string PlacementLine(const Volume &v, const Bytes &placed, size_t at) {
  ReadContext context;
  File result = ParseFile(placed.data(), placed.size(), v.erasePolarity1(), context);
  std::string line = VolumeName(v.index) + ": " + Describe(result) + " at " + Hex(at);
  for (const Section &s : result.sections) {
    uint64_t run = 0;
    if ((s.type == kSecPe32 || s.type == kSecTe) && ImageRunAddress(s, run))
      line += ", " + SectionTypeName(s.type) + " data at " +
              Hex(at + result.headerSize + s.offset + s.headerSize) + " runs at " + Hex(run);
  }
  return line;
}

// Where the PEI core stops reading a volume before its free space: no file
// is placed after that, where the core would never find it.
std::string WalkEndText(const Volume &v) {
  if (v.walkEnd.empty()) return "";
  return "; the PEI core's walk of it ends at " + Hex(v.freeStart) + " (" + v.walkEnd +
         "), and a file placed after that would never be found";
}

void Place(VolumeEditor &editor, const Volume &v, const File &f, const Rebase &rebase,
           std::vector<std::string> &log) {
  size_t at = 0;
  Bytes placed;
  auto make = [&](size_t offset) {
    placed = FileAt(f, offset, rebase, v.erasePolarity1());
    return placed;
  };
  if (f.name == kVolumeTopFileGuid) {
    at = editor.PlaceAtTop(make, FileDataAlignment(f.attributes), nullptr, Describe(f));
    log.push_back(PlacementLine(v, placed, at) + " (the volume top file, at the volume's end)");
    return;
  }
  if (!editor.PlaceFirstFit(make, FileDataAlignment(f.attributes), &at))
    Fail(VolumeName(v.index) + " has no room for " + Describe(f) + " (" + Hex(f.size) + " bytes, " +
         Hex(editor.FreeAtEnd()) + " free after its last file)" + WalkEndText(v));
  log.push_back(PlacementLine(v, placed, at));
}

// Whether FileAt rebases an image of the file: a top-level PE32 or TE section.
bool PlacesImage(const File &f) {
  return std::any_of(f.sections.begin(), f.sections.end(),
                     [](const Section &s) { return s.type == kSecPe32 || s.type == kSecTe; });
}

// SEC, the PEI core and PEIMs run where they lie (or in a copy at a fixed
// address); DXE drivers and applications are loaded and relocated by their loader.
bool RunsWhereItLies(uint8_t type) {
  return type == kFileSecCore || type == kFilePeiCore || type == kFilePeim ||
         type == kFileCombinedPeimDriver;
}

bool ImagesRunInPlace(const Volume &v) {
  for (const File &f : v.files) {
    if (f.deleted) continue;
    if (RunsWhereItLies(f.type)) return true;
    for (const Section &s : f.sections) {
      uint64_t run = 0;
      if (ImageRunAddress(s, run)) return true;
    }
  }
  return false;
}

// How the images of `inputs` are placed in v: rebased to run where they lie
// when the volume runs in place (its run address from its images, or
// --pei-base), left as they are where they are loaded. The run address is
// asked for only when an image is placed.
Rebase RebaseFor(const Volume &v, const std::vector<File> &inputs, bool haveBase, uint64_t base,
                 std::vector<std::string> &log) {
  Rebase rebase;
  if (std::none_of(inputs.begin(), inputs.end(), PlacesImage)) return rebase;
  if (!ImagesRunInPlace(v) &&
      std::none_of(inputs.begin(), inputs.end(),
                   [](const File &f) { return PlacesImage(f) && RunsWhereItLies(f.type); })) {
    if (haveBase)
      Fail("--pei-base: the images of " + VolumeName(v.index) + " are loaded, not run in place "
           "(none is linked to a fixed address, and it holds no SEC, PEI core or PEIM); leave "
           "--pei-base out and they are placed as they are");
    log.push_back(VolumeName(v.index) + ": its images are loaded, not run in place; placed as "
                  "they are");
    return rebase;
  }
  rebase.enabled = true;
  rebase.volumeBase = haveBase ? base : VolumeRunBase(v);
  if (rebase.volumeBase + v.length > 0x100000000ull)
    Fail(VolumeName(v.index) + " would run at " + Hex(rebase.volumeBase) +
         ", and its end would lie above 4 GiB");
  log.push_back(VolumeName(v.index) + " runs at " + Hex(rebase.volumeBase));
  return rebase;
}

// Reads an edited image back as a reader would, before anyone writes it out.
void CheckResult(const Bytes &out, int index, const std::vector<Guid> &present,
                 const std::vector<Guid> &absent) {
  Image check(out);
  const Volume *written = nullptr;
  for (const Volume *v : check.AllVolumes())
    if (v->index == index) written = v;
  if (!written) Fail("internal: " + VolumeName(index) + " missing from the result");
  for (const Guid &g : present)
    if (!written->FindFile(g)) Fail("internal: file " + g.ToString() + " missing from the result");
  for (const Guid &g : absent)
    if (written->FindFile(g)) Fail("internal: file " + g.ToString() + " still in the result");
  const File *top = written->FindFile(kVolumeTopFileGuid);
  if (top && top->offset + top->size != written->length)
    Fail("internal: the volume top file does not end at the end of " + VolumeName(index));
}

}  // namespace

namespace {

// The sections every file `ffs` writes begins with: the dependency
// expression (PEI_DEPEX for what the PEI core dispatches, DXE_DEPEX for the
// rest).
Bytes LeadingSections(const ModuleFileParams &params) {
  Bytes body;
  if (!params.depexPush.empty()) {
    bool pei = params.type == kFilePeim || params.type == kFilePeiCore || params.type == kFileFvImage;
    AppendSection(body, MakeSection(pei ? kSecPeiDepex : kSecDxeDepex, MakeDepexAll(params.depexPush)));
  }
  return body;
}

// Appends `section` so that the byte `within` its data lies on a multiple
// of `alignment` from the file's data start (itself so aligned): a RAW
// section in front takes up the difference.
void AppendAligned(Bytes &body, const Bytes &section, size_t headerSize, size_t within,
                   uint32_t alignment, const std::string &what) {
  size_t data = AlignUp(body.size(), 4) + headerSize;
  size_t need = (alignment + within % alignment - data % alignment) % alignment;
  if (need % 4)
    Fail(what + " " + Hex(within) + " bytes into the section cannot lie at a section's 4-byte "
         "boundary with the base aligned to " + Hex(alignment) + " bytes");
  if (need) AppendSection(body, MakeSection(kSecRaw, Bytes(need - 4, 0)));
  AppendSection(body, section);
}

// The sections every file `ffs` writes ends with: UI (where named) and
// VERSION (where given), and the file around them.
Bytes FinishFile(const ModuleFileParams &params, uint8_t attributes, Bytes body) {
  if (!params.uiName.empty())
    AppendSection(body, MakeSection(kSecUserInterface, EncodeUiName(params.uiName)));
  if (params.hasVersion)
    AppendSection(body, MakeVersionSection(params.buildNumber, params.version));
  return MakeFile(params.name, params.type, attributes, body, true);
}

}  // namespace

Bytes BuildModuleFile(const ModuleFileParams &params, const Bytes &peImage) {
  pe::Image image = ParseImage(peImage.data(), peImage.size(), "image");
  if (params.uiName.empty()) Fail("the module needs a name");
  Bytes body = LeadingSections(params);
  // The file's data lands at a multiple of its data alignment; within it,
  // the image's base sits at a multiple of the image's alignment. A TE
  // image's data starts headerRva bytes above its base, so that far past
  // such a multiple.
  uint32_t alignment = std::max<uint32_t>(ImageAlignment(image), 8);
  uint8_t attributes = uint8_t(FileAlignmentAttribute(alignment) | kFileAttrChecksum);
  Bytes section = MakeSection(ImageSectionType(image), peImage);
  AppendAligned(body, section, section.size() - peImage.size(), image.headerRva, alignment,
                "image: a TE header");
  return FinishFile(params, attributes, std::move(body));
}

Bytes BuildVolumeFile(const ModuleFileParams &params, const Bytes &volume) {
  // The volume must read as one: its header and files, strictly.
  ReadContext context;
  Volume v = ParseVolume(volume.data(), volume.size(), context);
  if (v.length != volume.size())
    Fail("volume: its header gives " + Hex(v.length) + " bytes, the file holds " +
         Hex(volume.size()));
  // Its data lies on the volume's alignment (8 at least, 64 KiB at most:
  // what a file header can state), so that the PEI core need not copy it.
  uint32_t alignment = uint32_t(std::min<uint64_t>(std::max<uint64_t>(v.alignment(), 8), 0x10000));
  uint8_t attributes = uint8_t(FileAlignmentAttribute(alignment) | kFileAttrChecksum);
  Bytes body = LeadingSections(params);
  Bytes section = MakeSection(kSecFvImage, volume);
  AppendAligned(body, section, section.size() - volume.size(), 0, alignment, "volume");
  return FinishFile(params, attributes, std::move(body));
}

Bytes BuildFreeformFile(const ModuleFileParams &params, const Bytes &data) {
  Bytes body = LeadingSections(params);
  AppendSection(body, MakeSection(kSecRaw, data));
  return FinishFile(params, kFileAttrChecksum, std::move(body));
}

VolumeEditor::VolumeEditor(const Volume &v)
    : bytes_(v.start, v.start + v.length),
      index_(v.index),
      erasePolarity1_(v.erasePolarity1()) {
  const uint8_t erased = v.erasedByte();
  size_t cursor = v.filesStart;
  for (const File &f : v.files) {
    if (f.offset > cursor) slots_[cursor] = {f.offset, Kind::kUnknown};
    size_t end = std::min(f.offset + f.Extent(), v.length);
    Kind kind = Kind::kKept;
    if (f.type == kFilePad && !f.deleted && f.problems.empty() && f.headerSize == kFileHeaderSize &&
        std::all_of(bytes_.begin() + long(f.offset + f.headerSize), bytes_.begin() + long(end),
                    [erased](uint8_t b) { return b == erased; }))
      kind = Kind::kPad;
    slots_[f.offset] = {end, kind};
    cursor = end;
  }
  if (v.freeStart > cursor) slots_[cursor] = {v.freeStart, Kind::kUnknown};
  if (v.freeEnd > v.freeStart) slots_[v.freeStart] = {v.freeEnd, Kind::kFree};
  if (v.length > std::max(cursor, v.freeEnd)) slots_[std::max(cursor, v.freeEnd)] = {v.length, Kind::kUnknown};
}

void VolumeEditor::ErasedPad(size_t at, size_t size) {
  Bytes pad = MakePadFile(size, erasePolarity1_);
  std::memcpy(bytes_.data() + at, pad.data(), pad.size());
}

bool VolumeEditor::WriteInto(size_t start, size_t end, Kind kind, size_t at, const Bytes &file) {
  if (at < start || at % 8 || at > end) return false;
  size_t before = at - start;
  if (before != 0 && before < kFileHeaderSize) return false;
  if (file.size() > end - at) return false;
  size_t fileEnd = at + file.size(), alignedEnd = AlignUp(fileEnd, 8);
  if (alignedEnd > end) return false;
  size_t after = end - alignedEnd;
  bool freeTail = kind == Kind::kFree;
  if (!freeTail && after != 0 && after < kFileHeaderSize) return false;
  // Free space that ends before bytes it does not know keeps an erased
  // header's room, where the PEI core stops, in front of them.
  if (freeTail && end < bytes_.size() && after < kFileHeaderSize) return false;

  const uint8_t erased = erasePolarity1_ ? 0xFF : 0x00;
  if (before) ErasedPad(start, before);
  std::memcpy(bytes_.data() + at, file.data(), file.size());
  std::fill(bytes_.begin() + long(fileEnd), bytes_.begin() + long(alignedEnd), erased);
  if (freeTail) std::fill(bytes_.begin() + long(alignedEnd), bytes_.begin() + long(end), erased);
  else if (after) ErasedPad(alignedEnd, after);

  slots_.erase(slots_.lower_bound(start), slots_.lower_bound(end));
  if (before) slots_[start] = {at, Kind::kPad};
  slots_[at] = {alignedEnd, Kind::kKept};
  if (after) slots_[alignedEnd] = {end, freeTail ? Kind::kFree : Kind::kPad};
  return true;
}

bool VolumeEditor::PlaceFirstFit(const std::function<Bytes(size_t)> &make, uint32_t alignment,
                                 size_t *where) {
  for (auto it = slots_.begin(); it != slots_.end(); ++it) {
    if (it->second.kind != Kind::kPad && it->second.kind != Kind::kFree) continue;
    size_t start = it->first;
    // Free room right after it adds to it.
    size_t end = it->second.end;
    Kind kind = it->second.kind;
    for (auto next = std::next(it); next != slots_.end() && next->first == end &&
                                    (next->second.kind == Kind::kPad || next->second.kind == Kind::kFree);
         ++next) {
      end = next->second.end;
      kind = next->second.kind;
    }
    // Data right after the header at the alignment; a shift leaves room for a pad file.
    size_t at = AlignUp(start + kFileHeaderSize, alignment) - kFileHeaderSize;
    if (at != start && at - start < kFileHeaderSize)
      at = AlignUp(start + 2 * kFileHeaderSize, alignment) - kFileHeaderSize;
    if (at >= end) continue;
    Bytes file = make(at);
    if (!WriteInto(start, end, kind, at, file)) continue;
    if (where) *where = at;
    return true;
  }
  return false;
}

// The file grown to exactly `size` bytes by a RAW section of zeros at the
// end of its section stream, or nothing if it has no section stream or no
// room for a section header.
static std::optional<Bytes> FilledTo(const Bytes &file, size_t size, bool erasePolarity1) {
  ReadContext context;
  File f = ParseFile(file.data(), file.size(), erasePolarity1, context);
  if (!FileTypeHasSections(f.type) || f.headerSize != kFileHeaderSize) return std::nullopt;
  Bytes body(f.body(), f.body() + f.bodySize());
  body.resize(AlignUp(body.size(), 4), 0);
  if (size < kFileHeaderSize + body.size() + 4) return std::nullopt;
  AppendSection(body, MakeSection(kSecRaw, Bytes(size - kFileHeaderSize - body.size() - 4, 0)));
  return RewriteFile(f, body);
}

void VolumeEditor::Replace(const File &old, const Bytes &file) {
  auto it = slots_.find(old.offset);
  if (it == slots_.end()) Fail("internal: no file at " + Hex(old.offset));
  size_t end = it->second.end;
  if (WriteInto(old.offset, end, Kind::kPad, old.offset, file)) return;
  // Too little room left behind it for a pad file: the file fills its old
  // place with a RAW section instead.
  if (file.size() < end - old.offset) {
    std::optional<Bytes> filled = FilledTo(file, end - old.offset, erasePolarity1_);
    if (filled && WriteInto(old.offset, end, Kind::kPad, old.offset, *filled)) return;
  }
  for (auto next = std::next(it); next != slots_.end() && next->first == end &&
                                  (next->second.kind == Kind::kPad || next->second.kind == Kind::kFree);
       ++next) {
    end = next->second.end;
    if (WriteInto(old.offset, end, next->second.kind, old.offset, file)) return;
  }
  size_t place = it->second.end - old.offset, used = AlignUp(file.size(), 8);
  if (used < place) {
    ReadContext context;
    File f = ParseFile(file.data(), file.size(), erasePolarity1_, context);
    Fail(VolumeName(index_) + ": file " + old.name.ToString() + " of " + Hex(file.size()) +
         " bytes gives up " + Hex(place - used) + " of the " + Hex(place) + " bytes at " +
         Hex(old.offset) + " that the old one takes: too few for a pad file (" +
         Hex(kFileHeaderSize) + " at least), and " +
         (FileTypeHasSections(f.type) ? std::string("its section stream cannot take a RAW section of them")
                                      : "a " + FileTypeName(f.type) + " file has no sections, so no RAW "
                                        "section can fill them") +
         " (files never move)");
  }
  Fail(VolumeName(index_) + " is full: no room for file " + old.name.ToString() + " in place: " +
       Hex(file.size()) + " bytes at " + Hex(old.offset) + ", " + Hex(end - old.offset) +
       " bytes up to what follows it (files never move)");
}

size_t VolumeEditor::PlaceAtTop(const std::function<Bytes(size_t)> &make, uint32_t alignment,
                                const File *old, const std::string &what) {
  const size_t length = bytes_.size();
  std::string where = VolumeName(index_) + ": " + what + ", a volume top file, must end at the "
                      "volume's end (" + Hex(length) + ")";
  if (old) Remove(*old);
  auto room = [](const Slot &s) { return s.kind == Kind::kPad || s.kind == Kind::kFree; };
  if (slots_.empty() || slots_.rbegin()->second.end != length || !room(slots_.rbegin()->second))
    Fail(where + ", and the last bytes of the volume are not free room");
  // The run of free room that ends there.
  auto first = std::prev(slots_.end());
  while (first != slots_.begin() && std::prev(first)->second.end == first->first &&
         room(std::prev(first)->second))
    --first;
  size_t start = first->first;
  // Where it lies may change its size (an image rebased there): settle it.
  size_t at = start;
  Bytes file = make(at);
  for (int i = 0; i < 4 && file.size() <= length - start && length - file.size() != at; i++) {
    at = length - file.size();
    file = make(at);
  }
  if (file.size() > length - start)
    Fail(where + ": it has " + Hex(file.size()) + " bytes, the free room there " +
         Hex(length - start) + " from " + Hex(start));
  if (at != length - file.size()) Fail(where + ": its size changes with where it lies");
  if (at % 8)
    Fail(where + ": its size " + Hex(file.size()) + " puts its start at " + Hex(at) +
         ", off the 8-byte boundary where files start");
  if ((at + kFileHeaderSize) % alignment)
    Fail(where + ": at " + Hex(at) + " its data would not be aligned to the " + Hex(alignment) +
         " bytes it asks for");
  if (!WriteInto(start, length, Kind::kPad, at, file))
    Fail(where + ": at " + Hex(at) + " it leaves " + Hex(at - start) + " bytes of free room from " +
         Hex(start) + " before it, too few for a pad file (" + Hex(kFileHeaderSize) + ")");
  return at;
}

void VolumeEditor::Remove(const File &old) {
  auto it = slots_.find(old.offset);
  if (it == slots_.end()) Fail("internal: no file at " + Hex(old.offset));
  ErasedPad(old.offset, it->second.end - old.offset);
  it->second.kind = Kind::kPad;
}

bool VolumeEditor::IsRoom(size_t offset) const {
  auto it = slots_.find(offset);
  return it != slots_.end() && (it->second.kind == Kind::kPad || it->second.kind == Kind::kFree);
}

size_t VolumeEditor::SlotEnd(size_t offset) const {
  auto it = slots_.find(offset);
  return it == slots_.end() ? 0 : it->second.end;
}

void VolumeEditor::Relay(size_t start, size_t end,
                         const std::vector<std::pair<size_t, Bytes>> &files) {
  auto last = slots_.lower_bound(end);
  if (last == slots_.begin()) Fail("internal: no slot before " + Hex(end));
  --last;
  Kind kind = last->second.end == end && last->second.kind == Kind::kFree ? Kind::kFree : Kind::kPad;
  slots_.erase(slots_.lower_bound(start), slots_.lower_bound(end));
  slots_[start] = {end, kind};
  size_t room = start;
  for (const auto &file : files) {
    if (!WriteInto(room, end, kind, file.first, file.second))
      Fail(VolumeName(index_) + ": no room for a file of " + Hex(file.second.size()) +
           " bytes at " + Hex(file.first) + " between " + Hex(room) + " and " + Hex(end));
    room = AlignUp(file.first + file.second.size(), 8);
  }
}

size_t VolumeEditor::FreeAtEnd() const {
  for (auto it = slots_.rbegin(); it != slots_.rend(); ++it)
    if (it->second.kind == Kind::kFree) return it->second.end - it->first;
  return 0;
}

Bytes FileAt(const File &f, size_t offset, const Rebase &rebase, bool erasePolarity1) {
  const std::vector<Section> &secs = f.sections;
  size_t k = 0;
  while (k < secs.size() && secs[k].type != kSecPe32 && secs[k].type != kSecTe) k++;
  if (!rebase.enabled || k == secs.size())
    return MakeFile(f.name, f.type, f.attributes, Bytes(f.body(), f.body() + f.bodySize()),
                    erasePolarity1);

  Bytes body;
  for (size_t j = 0; j < k; j++)
    if (!(j + 1 == k && IsZeroRaw(secs[j]))) AppendSection(body, SectionBytes(secs[j]));
  pe::Image image = ParseImage(secs[k].data(), secs[k].dataSize(), Describe(f));
  if (image.IsTe() != (secs[k].type == kSecTe))
    Fail(Describe(f) + ": its " + SectionTypeName(secs[k].type) + " section holds a " +
         (image.IsTe() ? "TE" : "PE32") + " image");
  if (rebase.mustRunInPlace && !RunsInPlace(image))
    Fail(Describe(f) + ": the image cannot run in place (its memory layout differs from its file)");
  // Where the section data (the PE32 file, or the TE header) runs, and the
  // pad that puts the image's base, headerRva bytes below a TE header, on
  // the image's alignment.
  uint64_t alignment = ImageAlignment(image);
  size_t sectionHeader = image.bytes.size() + 4 < 0xFFFFFF ? 4 : 8;
  uint64_t data =
      rebase.volumeBase + offset + kFileHeaderSize + AlignUp(body.size(), 4) + sectionHeader;
  uint64_t need = (alignment + image.headerRva % alignment - data % alignment) % alignment;
  if (need % 4) {
    if (rebase.volumeBase % 4)
      Fail("the volume's run address " + Hex(rebase.volumeBase) + " is not 4-byte aligned");
    Fail(Describe(f) + ": a TE header " + Hex(image.headerRva) + " bytes above the image base "
         "cannot lie at a section's 4-byte boundary with the base aligned to " + Hex(alignment) +
         " bytes");
  }
  if (need) AppendSection(body, MakeSection(kSecRaw, Bytes(size_t(need) - 4, 0)));
  data += need;
  if (data < image.headerRva)
    Fail(Describe(f) + ": its TE header at " + Hex(data) + " would put the image base " +
         Hex(image.headerRva) + " bytes lower, below address 0");
  uint64_t run = data - image.headerRva;
  if (run + image.sizeOfImage > 0x100000000ull)
    Fail(Describe(f) + ": run address " + Hex(run) + " leaves no room for the image below 4 GiB");
  std::string error;
  if (!pe::RebaseFile(image, uint32_t(run), error)) Fail(Describe(f) + ": " + error);
  AppendSection(body, MakeSection(secs[k].type, image.bytes));
  for (size_t j = k + 1; j < secs.size(); j++) AppendSection(body, SectionBytes(secs[j]));
  return MakeFile(f.name, f.type, f.attributes, body, erasePolarity1);
}

uint64_t VolumeRunBase(const Volume &v) {
  // Each image's vote, and the votes for bases on the volume's alignment:
  // where images disagree and some say the volume runs on its alignment,
  // those that say otherwise are not linked where they lie and have no say.
  std::map<uint64_t, int> votes, aligned;
  int total = 0, alignedTotal = 0;
  for (const File &f : v.files)
    for (const Section &s : f.sections) {
      uint64_t run = 0;
      if (!ImageRunAddress(s, run)) continue;
      uint64_t base = (run - (f.offset + f.headerSize + s.offset + s.headerSize)) & 0xFFFFFFFFu;
      votes[base]++;
      total++;
      if (base % v.alignment() == 0) {
        aligned[base]++;
        alignedTotal++;
      }
    }
  if (votes.size() > 1 && !aligned.empty()) {
    votes = aligned;
    total = alignedTotal;
  }
  std::string where = VolumeName(v.index);
  if (votes.empty())
    Fail("cannot tell where " + where + " runs: no image in it is linked to a fixed address; "
         "give --pei-base");
  for (const auto &vote : votes)
    if (2 * vote.second > total) return vote.first;
  Fail("the images in " + where + " disagree on where it runs; give --pei-base");
}

std::vector<Finding> PlacementFindings(const Volume &v) {
  std::vector<Finding> out;
  if (!v.hasFiles) return out;
  for (const File &f : v.files) {
    if (f.deleted || f.type == kFilePad) continue;
    uint32_t alignment = FileDataAlignment(f.attributes);
    size_t data = f.offset + f.headerSize;
    if (data % alignment)
      out.push_back({&f, "its data at " + Hex(data) + " is off the " + Hex(alignment) +
                             "-byte alignment its attributes ask"});
  }
  if (!ImagesRunInPlace(v)) return out;
  uint64_t base = 0;
  try {
    base = VolumeRunBase(v);
  } catch (const Error &) {
    return out;  // its images do not tell where it runs: nothing to hold them to
  }
  for (const File &f : v.files) {
    if (f.deleted) continue;
    for (const Section &s : f.sections) {
      if (s.type != kSecPe32 && s.type != kSecTe) continue;
      uint64_t run = 0;
      uint64_t lies = (base + f.offset + f.headerSize + s.offset + s.headerSize) & 0xFFFFFFFFu;
      std::string what = f.type == kFilePeiCore ? "the PEI core" : "its " + SectionTypeName(s.type) + " image";
      if (ImageRunAddress(s, run)) {
        if (run != lies)
          out.push_back({&f, what + " is linked to run at " + Hex(run) + ", but lies at " +
                                 Hex(lies) + " where " + VolumeName(v.index) + " runs at " +
                                 Hex(base)});
      } else if (RunsWhereItLies(f.type)) {
        out.push_back({&f, what + " is not linked to a fixed address, but " + VolumeName(v.index) +
                               " runs in place at " + Hex(base) + " (it lies at " + Hex(lies) + ")"});
      }
    }
  }
  return out;
}

const Volume &SelectPeiVolume(const Image &image, int index) {
  std::vector<const Volume *> all = image.AllVolumes();
  const Volume *chosen = nullptr;
  if (index >= 0) {
    for (const Volume *v : all)
      if (v->index == index) chosen = v;
    if (!chosen)
      Fail("there is no volume #" + std::to_string(index) + " (the image has " +
           std::to_string(all.size()) + ", from #0)");
  } else {
    for (const Volume *v : all)
      for (const File &f : v->files)
        if (f.type == kFilePeiCore && !f.deleted) {
          if (chosen && chosen != v) Fail("several volumes hold a PEI core; choose one with --fv");
          chosen = v;
        }
    if (!chosen && all.size() == 1) chosen = all[0];
    if (!chosen) Fail("no volume holds a PEI core; choose one with --fv (see list)");
  }
  if (!chosen->hasFiles) Fail(VolumeName(chosen->index) + " holds no firmware files");
  return *chosen;
}

Bytes EditVolume(const Image &image, int target, const std::function<Bytes(const Volume &)> &edit,
                 std::vector<std::string> &log) {
  Rewriter rewriter(target, edit, log);
  Bytes out = image.bytes();
  for (const Volume &v : image.volumes()) {
    std::optional<Bytes> rewritten = rewriter.RewriteVolume(v);
    if (rewritten) std::memcpy(out.data() + v.offset, rewritten->data(), rewritten->size());
  }
  return out;
}

Bytes InsertFiles(const Image &image, const InsertRequest &request, std::vector<std::string> &log) {
  if (request.files.empty()) Fail("no file to insert");
  const Volume &target = SelectPeiVolume(image, request.volumeIndex);
  std::vector<File> inputs = ParseInputs(request.files, request.labels, &target);
  Rebase rebase = RebaseFor(target, inputs, request.haveBase, request.base, log);
  rebase.mustRunInPlace = request.apriori;

  auto edit = [&](const Volume &v) {
    VolumeEditor editor(v);
    if (request.apriori) {
      const File *apriori = v.FindFile(kPeiAprioriGuid);
      Bytes list, rest;
      if (apriori) {
        if (apriori->sections.empty() || apriori->sections[0].type != kSecRaw ||
            apriori->sections[0].dataSize() % 16)
          Fail("the apriori file of " + VolumeName(v.index) + " is malformed");
        const Section &raw = apriori->sections[0];
        list.assign(raw.data(), raw.data() + raw.dataSize());
        for (size_t j = 1; j < apriori->sections.size(); j++)
          AppendSection(rest, SectionBytes(apriori->sections[j]));
      }
      for (const File &f : inputs) list.insert(list.end(), f.name.bytes.begin(), f.name.bytes.end());
      Bytes body = MakeSection(kSecRaw, list);
      if (!rest.empty()) AppendSection(body, rest);
      size_t at = apriori ? apriori->offset : 0;
      bool placed = false;
      if (apriori) {
        try {
          editor.Replace(*apriori, RewriteFile(*apriori, body));
          placed = true;
        } catch (const Error &) {
          editor.Remove(*apriori);  // it moves to where it fits; its old place becomes padding
        }
      }
      if (!placed) {
        uint8_t attributes = apriori ? apriori->attributes : kFileAttrChecksum;
        Bytes file = MakeFile(kPeiAprioriGuid, kFileFreeform, attributes, body, v.erasePolarity1());
        if (!editor.PlaceFirstFit([&](size_t) { return file; }, FileDataAlignment(attributes), &at))
          Fail(VolumeName(v.index) + " has no room for its apriori file");
      }
      log.push_back(VolumeName(v.index) + ": apriori file at " + Hex(at) + " lists " +
                    std::to_string(list.size() / 16) + " file(s)");
    }
    for (size_t i = 0; i < inputs.size(); i++) {
      // A fault of the file's image names the file it came from.
      try {
        Place(editor, v, inputs[i], rebase, log);
      } catch (const Error &e) {
        if (i >= request.labels.size()) throw;
        Fail(request.labels[i] + ": " + e.what());
      }
    }
    return editor.bytes();
  };
  Bytes out = EditVolume(image, target.index, edit, log);
  std::vector<Guid> names;
  for (const File &f : inputs) names.push_back(f.name);
  CheckResult(out, target.index, names, {});
  return out;
}

FoundFile FindFileInImage(const Image &image, const Guid &name, int volumeIndex) {
  FoundFile found;
  bool volumeSeen = false;
  for (const Volume *v : image.AllVolumes()) {
    if (volumeIndex >= 0 && v->index != volumeIndex) continue;
    volumeSeen = true;
    const File *f = v->FindFile(name);
    if (!f) continue;
    // A second file of that name in the same volume: --fv cannot tell them
    // apart, and an edit of the first would leave the name in the volume.
    for (const File &other : v->files)
      if (&other != f && !other.deleted && other.type != kFilePad && other.name == name)
        Fail(VolumeName(v->index) + " holds file " + name.ToString() + " twice, at " +
             Hex(f->offset) + " and at " + Hex(other.offset));
    if (found.file)
      Fail("file " + name.ToString() + " is in " + VolumeName(found.volume->index) + " and in " +
           VolumeName(v->index) + "; choose one with --fv");
    found = {v, f};
  }
  if (volumeIndex >= 0 && !volumeSeen) Fail("there is no volume #" + std::to_string(volumeIndex));
  if (!found.file)
    Fail("no file " + name.ToString() +
         (volumeIndex >= 0 ? " in " + VolumeName(volumeIndex) : std::string(" in the image")));
  return found;
}

bool LooksLikeGuid(const std::string &text) {
  return text.size() == 36 && text[8] == '-' && text[13] == '-' && text[18] == '-' &&
         text[23] == '-';
}

namespace {

// Volumes held (at any depth of sections) in the given sections.
void HeldVolumes(const std::vector<Section> &sections, std::vector<const Volume *> &out) {
  for (const Section &s : sections) {
    for (const Volume &v : s.volumes) out.push_back(&v);
    HeldVolumes(s.sections, out);
  }
}

}  // namespace

int ResolveVolume(const Image &image, const Guid &name) {
  std::vector<int> found;
  std::string how;
  for (const Volume *v : image.AllVolumes()) {
    if (v->named && v->name == name) {
      found.push_back(v->index);
      how += (how.empty() ? "" : ", ") + VolumeName(v->index) + " (its name)";
    }
    for (const File &f : v->files) {
      if (f.deleted || f.name != name) continue;
      std::vector<const Volume *> held;
      HeldVolumes(f.sections, held);
      for (const Volume *h : held) {
        if (std::find(found.begin(), found.end(), h->index) != found.end()) continue;
        found.push_back(h->index);
        how += (how.empty() ? "" : ", ") + VolumeName(h->index) + " (in that file)";
      }
    }
  }
  if (found.empty())
    Fail("--fv " + name.ToString() + ": no volume has that name, and no file of that name holds "
         "one");
  if (found.size() > 1)
    Fail("--fv " + name.ToString() + " names " + std::to_string(found.size()) + " volumes: " +
         how + "; give the number");
  return found[0];
}

Guid ResolveFileName(const Image &image, const std::string &text, int volumeIndex) {
  if (LooksLikeGuid(text)) return Guid::Parse(text);
  std::vector<std::pair<Guid, int>> named;  // each GUID once, with the first volume holding it
  bool volumeSeen = false;
  for (const Volume *v : image.AllVolumes()) {
    if (volumeIndex >= 0 && v->index != volumeIndex) continue;
    volumeSeen = true;
    for (const File &f : v->files) {
      if (f.deleted || f.type == kFilePad || f.UiName() != text) continue;
      bool seen = false;
      for (const auto &n : named) seen = seen || n.first == f.name;
      if (!seen) named.push_back({f.name, v->index});
    }
  }
  if (!volumeSeen) Fail("there is no volume #" + std::to_string(volumeIndex));
  std::string where = volumeIndex >= 0 ? " in " + VolumeName(volumeIndex) : " in the image";
  if (named.empty())
    Fail("no file named '" + text + "'" + where + " (name a file by its GUID or its UI name)");
  if (named.size() > 1) {
    std::string candidates;
    for (const auto &n : named)
      candidates += (candidates.empty() ? "" : ", ") + n.first.ToString() + " in " +
                    VolumeName(n.second);
    Fail("'" + text + "' names " + std::to_string(named.size()) + " files" + where + ": " +
         candidates + "; give the GUID");
  }
  return named[0].first;
}

namespace {

// Why a file after a growing one cannot move, or "" where it can: what
// finds it by its address rather than its name, or an image that would not
// run at its new place.
std::string CannotMove(const File &f, bool runsInPlace) {
  if (f.walk != File::Walk::kRead) return "it is not part of the volume (" + f.stateText + ")";
  if (f.name == kVolumeTopFileGuid) return "it is the volume top file, which must end at the volume's end";
  if (f.type == kFileSecCore) return "the SEC core is entered at a fixed address";
  if (f.type == kFileRaw) return "a RAW file may be found by its address rather than its name";
  bool first = true;
  for (const Section &s : f.sections) {
    bool image = s.type == kSecPe32 || s.type == kSecTe;
    if (image && first && runsInPlace) {
      first = false;
      pe::Image parsed;
      std::string error;
      if (!pe::ParseAny(Bytes(s.data(), s.data() + s.dataSize()), parsed, error))
        return "its image does not read: " + error;
      bool stripped = parsed.IsTe() ? parsed.directories[pe::kDirBaseReloc].size == 0
                                    : (parsed.fileCharacteristics & pe::kFileRelocsStripped) != 0;
      if (stripped) return "its image has no relocations, and the volume runs in place";
      continue;
    }
    if (image) first = false;
    if (!PositionDependent(s)) continue;
    if (s.type == kSecFvImage || !image)
      return "it holds a volume that runs where it lies, whose base other firmware may record";
    return "it holds a second image linked to where it lies";
  }
  return "";
}

// Writes `file` over `old` where it outgrows its place and the free room
// right after it: the files after it move later, up to the first one that
// can stay (the room before it taking up the rest as a pad file) or the
// end of the free space.
void ReplaceMoving(VolumeEditor &editor, const Volume &v, const File &old, const Bytes &file,
                   const std::function<Rebase()> &rebaseForMoves, const std::string &label,
                   std::vector<std::string> &log) {
  std::vector<std::pair<size_t, Bytes>> layout = {{old.offset, file}};
  std::vector<std::string> moves;
  size_t cursor = old.offset + AlignUp(file.size(), 8);
  size_t next = editor.SlotEnd(old.offset), end = 0;
  std::optional<Rebase> rebase;
  const std::string growing = VolumeName(v.index) + ": " + label + " (" + Hex(file.size()) +
                              " bytes at " + Hex(old.offset) + ", was " + Hex(old.size) + ")";
  for (const File &f : v.files) {
    if (f.offset <= old.offset) continue;
    if (f.offset != next)
      Fail(growing + " would move what lies at " + Hex(next) + ", bytes this tool does not know");
    next = editor.SlotEnd(f.offset);
    if (editor.IsRoom(f.offset)) continue;
    if (cursor <= f.offset && (cursor == f.offset || f.offset - cursor >= kFileHeaderSize)) {
      end = f.offset;
      break;
    }
    if (!rebase) rebase = ImagesRunInPlace(v) ? rebaseForMoves() : Rebase();
    std::string why = CannotMove(f, rebase->enabled);
    if (!why.empty())
      Fail(growing + " would move " + Describe(f) + " at " + Hex(f.offset) + ", which cannot move: " + why);
    uint32_t alignment = FileDataAlignment(f.attributes);
    size_t at = AlignUp(cursor + f.headerSize, alignment) - f.headerSize;
    if (at != cursor && at - cursor < kFileHeaderSize)
      at = AlignUp(cursor + kFileHeaderSize + f.headerSize, alignment) - f.headerSize;
    Bytes moved;
    try {
      moved = rebase->enabled && PlacesImage(f) ? FileAt(f, at, *rebase, v.erasePolarity1()) : f.bytes();
    } catch (const Error &e) {
      Fail(growing + " would move " + Describe(f) + ", which cannot move: " + e.what());
    }
    moves.push_back(PlacementLine(v, moved, at) + " (moved from " + Hex(f.offset) + ", " +
                    Hex(at - f.offset) + " bytes later)");
    cursor = at + AlignUp(moved.size(), 8);
    layout.push_back({at, std::move(moved)});
  }
  if (!end) end = editor.IsRoom(next) ? editor.SlotEnd(next) : next;
  if (cursor > end)
    Fail(growing + " and the " + std::to_string(layout.size() - 1) + " file(s) after it need " +
         Hex(cursor - old.offset) + " bytes from " + Hex(old.offset) + "; the volume has " +
         Hex(end - old.offset) + " up to " + Hex(end) + WalkEndText(v));
  editor.Relay(old.offset, end, layout);
  log.insert(log.end(), moves.begin(), moves.end());
}

}  // namespace

Bytes ReplaceFile(const Image &image, const ReplaceRequest &request, std::vector<std::string> &log) {
  const std::vector<Bytes> files = {request.file};  // the parsed file points into these
  std::vector<File> inputs = ParseInputs(files, {request.label}, nullptr);
  const File &in = inputs[0];
  FoundFile found = FindFileInImage(image, in.name, request.volumeIndex);
  Rebase rebase = RebaseFor(*found.volume, inputs, request.haveBase, request.base, log);
  auto edit = [&](const Volume &v) {
    VolumeEditor editor(v);
    const File &old = *v.FindFile(in.name);
    uint32_t alignment = FileDataAlignment(in.attributes);
    if (in.name == kVolumeTopFileGuid) {
      Bytes placed;
      size_t at = editor.PlaceAtTop(
          [&](size_t offset) {
            try {
              return placed = FileAt(in, offset, rebase, v.erasePolarity1());
            } catch (const Error &e) {
              Fail(request.label + ": " + e.what());
            }
          },
          alignment, &old, request.label);
      log.push_back(PlacementLine(v, placed, at) + " (replaced the volume top file of " +
                    Hex(old.size) + " bytes at " + Hex(old.offset) + "; it ends at the volume's end)");
      return editor.bytes();
    }
    if ((old.offset + kFileHeaderSize) % alignment)
      Fail(request.label + ": its data must be aligned to " + Hex(alignment) +
           " bytes, which it would not be at the old file's offset " + Hex(old.offset));
    Bytes file;
    try {
      file = FileAt(in, old.offset, rebase, v.erasePolarity1());
    } catch (const Error &e) {
      Fail(request.label + ": " + e.what());
    }
    std::vector<std::string> moves;
    try {
      editor.Replace(old, file);
    } catch (const Error &) {
      if (AlignUp(file.size(), 8) <= editor.SlotEnd(old.offset) - old.offset) throw;
      ReplaceMoving(editor, v, old, file, [&] {
        Rebase r = rebase;
        if (!r.enabled) {
          r.enabled = true;
          r.volumeBase = request.haveBase ? request.base : VolumeRunBase(v);
        }
        return r;
      }, request.label, moves);
    }
    log.push_back(PlacementLine(v, file, old.offset) + " (replaced " + Hex(old.size) +
                  " bytes in place)");
    log.insert(log.end(), moves.begin(), moves.end());
    return editor.bytes();
  };
  Bytes out = EditVolume(image, found.volume->index, edit, log);
  CheckResult(out, found.volume->index, {in.name}, {});
  return out;
}

Bytes RemoveFile(const Image &image, const Guid &name, int volumeIndex,
                 std::vector<std::string> &log) {
  FoundFile found = FindFileInImage(image, name, volumeIndex);
  auto edit = [&](const Volume &v) {
    VolumeEditor editor(v);
    const File &old = *v.FindFile(name);
    editor.Remove(old);
    log.push_back(VolumeName(v.index) + ": " + Describe(old) + " at " + Hex(old.offset) +
                  " is now padding");
    const File *apriori = v.FindFile(kPeiAprioriGuid);
    if (apriori && !apriori->sections.empty()) {
      const Section &raw = apriori->sections[0];
      for (size_t i = 0; i + 16 <= raw.dataSize(); i += 16)
        if (Guid::At(raw.data() + i) == name)
          log.push_back(VolumeName(v.index) +
                        ": note: the apriori file still lists it; the PEI core skips what it "
                        "cannot find");
    }
    return editor.bytes();
  };
  Bytes out = EditVolume(image, found.volume->index, edit, log);
  CheckResult(out, found.volume->index, {}, {name});
  return out;
}

namespace {

uint8_t SectionTypeFromText(const std::string &text) {
  static const std::pair<const char *, uint8_t> kNames[] = {
      {"pe32", kSecPe32},       {"te", kSecTe},           {"pic", kSecPic},
      {"raw", kSecRaw},         {"ui", kSecUserInterface}, {"version", kSecVersion},
      {"pei-depex", kSecPeiDepex}, {"dxe-depex", kSecDxeDepex}, {"mm-depex", kSecMmDepex},
      {"fv-image", kSecFvImage}, {"freeform", kSecFreeformSubtypeGuid},
      {"compat16", kSecCompatibility16}, {"guid-defined", kSecGuidDefined},
      {"compression", kSecCompression},
  };
  for (const auto &n : kNames)
    if (text == n.first) return n.second;
  uint64_t value = 0;
  std::string error;
  if (!toolio::ParseUnsigned(text, 1, 0xFF, value, error))
    Fail("--section: unknown section type '" + text +
         "' (pe32, te, pic, raw, ui, version, pei-depex, dxe-depex, mm-depex, fv-image, freeform, "
         "compat16, guid-defined, compression, or a number)");
  return uint8_t(value);
}

void CollectSections(const std::vector<Section> &sections, std::vector<const Section *> &out) {
  for (const Section &s : sections) {
    out.push_back(&s);
    CollectSections(s.sections, out);
  }
}

}  // namespace

Bytes ExtractFromFile(const File &f, const ExtractRequest &request, std::string &what) {
  if (request.section.empty() && !request.imageBody) {
    what = "file " + Describe(f) + ", " + Hex(f.size) + " bytes";
    return f.bytes();
  }
  std::vector<const Section *> all;
  CollectSections(f.sections, all);
  uint8_t type = request.imageBody ? 0 : SectionTypeFromText(request.section);
  uint64_t seen = 0;
  for (const Section *s : all) {
    bool wanted = request.imageBody ? (s->type == kSecPe32 || s->type == kSecTe) : s->type == type;
    if (!wanted || seen++ != (request.imageBody ? 0 : request.index)) continue;
    what = SectionTypeName(s->type) + " section data of " + Describe(f) + ", " +
           Hex(s->dataSize()) + " bytes";
    return Bytes(s->data(), s->data() + s->dataSize());
  }
  if (request.imageBody) Fail("file " + Describe(f) + " holds no PE32 or TE image");
  Fail("file " + Describe(f) + " holds " + std::to_string(seen) + " " + SectionTypeName(type) +
       " section(s); there is no number " + std::to_string(request.index));
}

Bytes CreateVolume(const VolumeParams &params, const std::vector<Bytes> &files,
                   const std::vector<std::string> &labels, const Rebase &rebase,
                   std::vector<std::string> &log) {
  Bytes empty = MakeEmptyVolume(params);
  ReadContext context;
  Volume v = ParseVolume(empty.data(), empty.size(), context);
  VolumeEditor editor(v);
  for (const File &f : ParseInputs(files, labels, nullptr)) Place(editor, v, f, rebase, log);
  return editor.bytes();
}

}  // namespace fv

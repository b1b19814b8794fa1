#include "fv_edit.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <set>

#include "lzma_codec.h"
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

pe::Image ParsePe(const uint8_t *p, size_t n, const std::string &what) {
  pe::Image image;
  std::string error;
  if (!pe::Parse(Bytes(p, p + n), image, error)) Fail(what + ": " + error);
  uint32_t a = image.sectionAlignment;
  if (a == 0 || (a & (a - 1)) != 0)
    Fail(what + ": section alignment " + Hex(a) + " is not a power of two");
  return image;
}

// Whether the image can run where it lies: every section at the same place
// in the file as in memory, with no part of it existing only in memory.
bool RunsInPlace(const pe::Image &image) {
  for (const pe::Section &s : image.sections)
    if (s.rawPointer != s.virtualAddress || s.virtualSize > s.rawSize) return false;
  return true;
}

std::string Describe(const File &f) {
  for (const Section &s : f.sections)
    if (s.type == kSecUserInterface) return DecodeUiName(s.data(), s.dataSize()) + " " + f.name.ToString();
  return f.name.ToString();
}

// Rebuilds the levels above an edited volume. Each call returns the new
// bytes of its node, or nothing when the target is not below it.
class Rewriter {
 public:
  Rewriter(int target, std::function<Bytes(const Volume &)> edit, std::vector<std::string> &log)
      : target_(target), edit_(std::move(edit)), log_(log) {}

  std::optional<Bytes> RewriteVolume(const Volume &v) {
    if (v.index == target_) return edit_(v);
    for (const File &f : v.files) {
      if (f.deleted || !FileTypeHasSections(f.type)) continue;
      std::optional<Bytes> body = RewriteStream(f.sections, f.body());
      if (!body) continue;
      Bytes file = MakeFile(f.name, f.type, f.attributes, *body, v.erasePolarity1());
      VolumePlan plan(v);
      for (const File &other : v.files) {
        if (&other == &f) continue;
        if (other.type == kFilePad) plan.KeepPad(other);
        else plan.Place(other.offset, other.bytes());
      }
      if (!plan.Fits(f.offset, file.size()))
        Fail("volume #" + std::to_string(v.index) + " is full: file " + f.name.ToString() +
             " would grow to " + Hex(file.size()) + " bytes, there is room for " +
             Hex(plan.RoomAt(f.offset)));
      log_.push_back("volume #" + std::to_string(v.index) + ": file " + f.name.ToString() +
                     " rewritten, " + Hex(file.size()) + " bytes (was " + Hex(f.size) + ")");
      plan.Place(f.offset, std::move(file));
      return plan.Build();
    }
    return std::nullopt;
  }

 private:
  // A section stream with one section rewritten; the ones after it follow
  // at the next 4-byte boundary.
  std::optional<Bytes> RewriteStream(const std::vector<Section> &sections, const uint8_t *p) {
    for (size_t i = 0; i < sections.size(); i++) {
      std::optional<Bytes> changed = RewriteSection(sections[i]);
      if (!changed) continue;
      Bytes out(p, p + sections[i].offset);
      AppendSection(out, *changed);
      for (size_t j = i + 1; j < sections.size(); j++) AppendSection(out, SectionBytes(sections[j]));
      return out;
    }
    return std::nullopt;
  }

  std::optional<Bytes> RewriteSection(const Section &s) {
    if (s.type == kSecFvImage) {
      std::optional<Bytes> volume = RewriteVolume(s.volumes.at(0));
      if (!volume) return std::nullopt;
      Bytes data(s.data(), s.data() + s.dataSize());
      std::memcpy(data.data(), volume->data(), volume->size());  // volumes keep their size
      return MakeSection(kSecFvImage, data);
    }
    if (s.type == kSecGuidDefined) {
      const uint8_t *contents = s.lzma ? s.unpacked->data() : s.data();
      std::optional<Bytes> stream = RewriteStream(s.sections, contents);
      if (!stream) return std::nullopt;
      size_t fixed = (Get24(s.start) == 0xFFFFFF ? 8 : 4) + 20;
      Bytes extra(s.start + fixed, s.start + s.headerSize);
      Bytes data = *stream;
      if (s.lzma) {
        uint64_t size = 0;
        data = LzmaEncode(*stream, LzmaStreamProperties(s.data(), s.dataSize(), size));
        log_.push_back("LZMA section " + s.guid.ToString() + ": " + Hex(data.size()) +
                       " bytes compressed (was " + Hex(s.dataSize()) + "), " +
                       Hex(stream->size()) + " unpacked");
      }
      return MakeGuidDefinedSection(s.guid, s.guidAttributes, extra, data);
    }
    if (s.type == kSecCompression) {  // method 0: stored
      std::optional<Bytes> stream = RewriteStream(s.sections, s.data());
      if (!stream) return std::nullopt;
      Bytes data(5 + stream->size(), 0);
      Put32(data.data(), uint32_t(stream->size()));
      std::copy(stream->begin(), stream->end(), data.begin() + 5);
      return MakeSection(kSecCompression, data);
    }
    return std::nullopt;
  }

  int target_;
  std::function<Bytes(const Volume &)> edit_;
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
      Fail(label + ": volume #" + std::to_string(into->index) + " already holds file " +
           f.name.ToString());
    out.push_back(std::move(f));
  }
  return out;
}

void Place(VolumePlan &plan, const Volume &v, const File &f, const Rebase &rebase,
           std::vector<std::string> &log) {
  size_t at = 0;
  Bytes placed;
  auto make = [&](size_t offset) {
    placed = FileAt(f, offset, rebase, v.erasePolarity1());
    return placed;
  };
  if (!plan.PlaceFirstFit(make, FileDataAlignment(f.attributes), &at))
    Fail("volume #" + std::to_string(v.index) + " has no room for " + Describe(f) + " (" +
         Hex(f.size) + " bytes, " + Hex(plan.FreeAtEnd()) + " free after its last file)");
  std::string line = "volume #" + std::to_string(v.index) + ": " + Describe(f) + " at " + Hex(at);
  int index = 0;
  File result = ParseFile(placed.data(), placed.size(), v.erasePolarity1(), index);
  for (const Section &s : result.sections) {
    uint64_t run = 0;
    if (s.type == kSecPe32 && ImageRunAddress(s, run))
      line += ", PE32 data at " + Hex(at + result.headerSize + s.offset + s.headerSize) +
              " runs at " + Hex(run);
  }
  log.push_back(line);
}

}  // namespace

Bytes BuildModuleFile(const ModuleFileParams &params, const Bytes &peImage) {
  pe::Image image = ParsePe(peImage.data(), peImage.size(), "image");
  if (params.uiName.empty()) Fail("the module needs a name");
  Bytes body;
  if (!params.depexPush.empty()) {
    uint8_t depexType = params.type == kFilePeim || params.type == kFilePeiCore ? kSecPeiDepex : kSecDxeDepex;
    AppendSection(body, MakeSection(depexType, MakeDepexAll(params.depexPush)));
  }
  // The file's data lands at a multiple of its data alignment; within it,
  // the PE32 data sits at a multiple of the image's section alignment.
  uint32_t alignment = std::max<uint32_t>(image.sectionAlignment, 8);
  uint8_t attributes = uint8_t(FileAlignmentAttribute(alignment) | kFileAttrChecksum);
  size_t data = AlignUp(body.size(), 4) + 4;
  size_t need = (alignment - data % alignment) % alignment;
  if (need) AppendSection(body, MakeSection(kSecRaw, Bytes(need - 4, 0)));
  AppendSection(body, MakeSection(kSecPe32, peImage));
  AppendSection(body, MakeSection(kSecUserInterface, EncodeUiName(params.uiName)));
  return MakeFile(params.name, params.type, attributes, body, true);
}

VolumePlan::VolumePlan(const Volume &v)
    : header_(v.start, v.start + v.filesStart),
      filesStart_(v.filesStart),
      length_(v.length),
      erasePolarity1_(v.erasePolarity1()) {}

void VolumePlan::KeepPad(const File &pad) { pads_[pad.offset] = pad.bytes(); }

bool VolumePlan::Fits(size_t offset, size_t size) const {
  auto gapOk = [](size_t gap) { return gap == 0 || gap >= kFileHeaderSize; };
  if (offset < filesStart_ || offset % 8 || offset > length_ || size > length_ - offset) return false;
  size_t end = AlignUp(offset + size, 8);
  auto next = placed_.lower_bound(offset);
  if (next != placed_.end() && (next->first < end || !gapOk(next->first - end))) return false;
  size_t prevEnd = filesStart_;
  if (next != placed_.begin()) {
    auto prev = std::prev(next);
    prevEnd = AlignUp(prev->first + prev->second.size(), 8);
  }
  return prevEnd <= offset && gapOk(offset - prevEnd);
}

size_t VolumePlan::RoomAt(size_t offset) const {
  auto next = placed_.lower_bound(offset);
  size_t limit = next == placed_.end() ? length_ : next->first;
  return limit > offset ? limit - offset : 0;
}

size_t VolumePlan::FreeAtEnd() const {
  if (placed_.empty()) return length_ - filesStart_;
  auto last = std::prev(placed_.end());
  return length_ - std::min<size_t>(length_, AlignUp(last->first + last->second.size(), 8));
}

void VolumePlan::Place(size_t offset, Bytes file) { placed_[offset] = std::move(file); }

bool VolumePlan::PlaceFirstFit(const std::function<Bytes(size_t)> &make, uint32_t alignment,
                               size_t *where) {
  std::vector<size_t> starts = {filesStart_};
  for (const auto &entry : placed_) starts.push_back(AlignUp(entry.first + entry.second.size(), 8));
  for (size_t start : starts) {
    // Data right after the header at the alignment; a shift leaves room for a pad file.
    size_t at = AlignUp(start + kFileHeaderSize, alignment) - kFileHeaderSize;
    if (at != start && at - start < kFileHeaderSize)
      at = AlignUp(start + 2 * kFileHeaderSize, alignment) - kFileHeaderSize;
    if (at >= length_) continue;
    Bytes file = make(at);
    if (!Fits(at, file.size())) continue;
    if (where) *where = at;
    Place(at, std::move(file));
    return true;
  }
  return false;
}

Bytes VolumePlan::Build() const {
  Bytes out(length_, erasePolarity1_ ? 0xFF : 0x00);
  std::memcpy(out.data(), header_.data(), header_.size());
  size_t cursor = filesStart_;
  for (const auto &entry : placed_) {
    if (entry.first > cursor) {
      size_t gap = entry.first - cursor;
      auto pad = pads_.find(cursor);
      Bytes bytes = pad != pads_.end() && AlignUp(pad->second.size(), 8) == gap
                        ? pad->second
                        : MakePadFile(gap, erasePolarity1_);
      std::memcpy(out.data() + cursor, bytes.data(), bytes.size());
    }
    std::memcpy(out.data() + entry.first, entry.second.data(), entry.second.size());
    cursor = AlignUp(entry.first + entry.second.size(), 8);
  }
  return out;
}

Bytes FileAt(const File &f, size_t offset, const Rebase &rebase, bool erasePolarity1) {
  const std::vector<Section> &secs = f.sections;
  size_t k = 0;
  while (k < secs.size() && secs[k].type != kSecPe32) k++;
  if (rebase.enabled)
    for (const Section &s : secs)
      if (s.type == kSecTe) Fail(Describe(f) + ": TE images cannot be rebased by this tool");
  if (!rebase.enabled || k == secs.size())
    return MakeFile(f.name, f.type, f.attributes, Bytes(f.body(), f.body() + f.bodySize()),
                    erasePolarity1);

  Bytes body;
  for (size_t j = 0; j < k; j++)
    if (!(j + 1 == k && IsZeroRaw(secs[j]))) AppendSection(body, SectionBytes(secs[j]));
  pe::Image image = ParsePe(secs[k].data(), secs[k].dataSize(), Describe(f));
  if (rebase.mustRunInPlace && !RunsInPlace(image))
    Fail(Describe(f) + ": the image cannot run in place (its memory layout differs from its file)");
  uint32_t alignment = image.sectionAlignment;
  size_t sectionHeader = image.bytes.size() + 4 < 0xFFFFFF ? 4 : 8;
  uint64_t run = rebase.volumeBase + offset + kFileHeaderSize + AlignUp(body.size(), 4) + sectionHeader;
  uint64_t need = (alignment - run % alignment) % alignment;
  if (need % 4) Fail("the volume's run address " + Hex(rebase.volumeBase) + " is not 4-byte aligned");
  if (need) AppendSection(body, MakeSection(kSecRaw, Bytes(size_t(need) - 4, 0)));
  run += need;
  if (run > 0xFFFFFFFFu) Fail(Describe(f) + ": run address " + Hex(run) + " above 4 GiB");
  std::string error;
  if (!pe::RebaseFile(image, uint32_t(run), error)) Fail(Describe(f) + ": " + error);
  AppendSection(body, MakeSection(kSecPe32, image.bytes));
  for (size_t j = k + 1; j < secs.size(); j++) AppendSection(body, SectionBytes(secs[j]));
  return MakeFile(f.name, f.type, f.attributes, body, erasePolarity1);
}

uint64_t VolumeRunBase(const Volume &v) {
  std::map<uint64_t, int> votes;
  int total = 0;
  for (const File &f : v.files)
    for (const Section &s : f.sections) {
      uint64_t run = 0;
      if (!ImageRunAddress(s, run)) continue;
      votes[(run - (f.offset + f.headerSize + s.offset + s.headerSize)) & 0xFFFFFFFFu]++;
      total++;
    }
  std::string where = "volume #" + std::to_string(v.index);
  if (votes.empty())
    Fail("cannot tell where " + where + " runs: no image in it is linked to a fixed address; "
         "give --pei-base");
  for (const auto &vote : votes)
    if (2 * vote.second > total) return vote.first;
  Fail("the images in " + where + " disagree on where it runs; give --pei-base");
}

const Volume &SelectPeiVolume(const Image &image, int index) {
  std::vector<const Volume *> all = image.AllVolumes();
  const Volume *chosen = nullptr;
  if (index >= 0) {
    for (const Volume *v : all)
      if (v->index == index) chosen = v;
    if (!chosen) Fail("there is no volume #" + std::to_string(index));
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
  if (!chosen->hasFiles) Fail("volume #" + std::to_string(chosen->index) + " holds no firmware files");
  return *chosen;
}

Bytes InsertFiles(const Image &image, const InsertRequest &request, std::vector<std::string> &log) {
  if (request.files.empty()) Fail("no file to insert");
  const Volume &target = SelectPeiVolume(image, request.volumeIndex);
  std::vector<File> inputs = ParseInputs(request.files, request.labels, &target);
  Rebase rebase;
  rebase.enabled = true;
  rebase.volumeBase = request.haveBase ? request.base : VolumeRunBase(target);
  rebase.mustRunInPlace = request.apriori;
  log.push_back("volume #" + std::to_string(target.index) + " runs at " + Hex(rebase.volumeBase));

  auto edit = [&](const Volume &v) {
    VolumePlan plan(v);
    const File *apriori = request.apriori ? v.FindFile(kPeiAprioriGuid) : nullptr;
    for (const File &f : v.files) {
      if (f.type == kFilePad) plan.KeepPad(f);
      else if (&f != apriori) plan.Place(f.offset, f.bytes());
    }
    if (request.apriori) {
      Bytes list;
      if (apriori) {
        if (apriori->sections.empty() || apriori->sections[0].type != kSecRaw ||
            apriori->sections[0].dataSize() % 16)
          Fail("the apriori file of volume #" + std::to_string(v.index) + " is malformed");
        list.assign(apriori->sections[0].data(), apriori->sections[0].data() + apriori->sections[0].dataSize());
      }
      for (const File &f : inputs) list.insert(list.end(), f.name.bytes.begin(), f.name.bytes.end());
      Bytes body = MakeSection(kSecRaw, list);
      uint8_t attributes = apriori ? apriori->attributes : kFileAttrChecksum;
      Bytes file = MakeFile(kPeiAprioriGuid, kFileFreeform, attributes, body, v.erasePolarity1());
      size_t at = apriori ? apriori->offset : 0;
      if (apriori && plan.Fits(at, file.size())) {
        plan.Place(at, file);
      } else if (!plan.PlaceFirstFit([&](size_t) { return file; }, 8, &at)) {
        Fail("volume #" + std::to_string(v.index) + " has no room for its apriori file");
      }
      log.push_back("volume #" + std::to_string(v.index) + ": apriori file at " + Hex(at) +
                    " lists " + std::to_string(list.size() / 16) + " file(s)");
    }
    for (const File &f : inputs) Place(plan, v, f, rebase, log);
    return plan.Build();
  };

  Rewriter rewriter(target.index, edit, log);
  Bytes out = image.bytes();
  for (const Volume &v : image.volumes()) {
    std::optional<Bytes> rewritten = rewriter.RewriteVolume(v);
    if (rewritten) std::memcpy(out.data() + v.offset, rewritten->data(), rewritten->size());
  }
  // Read the result back as a reader would before anyone writes it out.
  Image check(out);
  const Volume &written = SelectPeiVolume(check, target.index);
  for (const File &f : inputs)
    if (!written.FindFile(f.name)) Fail("internal: " + Describe(f) + " missing from the result");
  return out;
}

Bytes CreateVolume(const VolumeParams &params, const std::vector<Bytes> &files,
                   const std::vector<std::string> &labels, const Rebase &rebase,
                   std::vector<std::string> &log) {
  Bytes empty = MakeEmptyVolume(params);
  int index = 0;
  Volume v = ParseVolume(empty.data(), empty.size(), index);
  VolumePlan plan(v);
  for (const File &f : ParseInputs(files, labels, nullptr)) Place(plan, v, f, rebase, log);
  return plan.Build();
}

}  // namespace fv

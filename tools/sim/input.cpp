#include "input.h"

#include <algorithm>
#include <exception>

#include "file_io.h"
#include "fv_tree.h"

namespace peimsim {
namespace {

constexpr uint8_t kSectionPe32 = 0x10;
constexpr uint8_t kSectionTe = 0x12;
constexpr uint8_t kSectionPeiDepex = 0x1B;

const fv::Section *FindSection(const std::vector<fv::Section> &sections, uint8_t type) {
  for (const fv::Section &s : sections) {
    if (s.type == type) return &s;
    if (const fv::Section *inner = FindSection(s.sections, type)) return inner;
  }
  return nullptr;
}

// The image and dependency expression of a firmware file.
bool TakeFile(const fv::File &file, const std::string &path, ModuleInput &input,
              std::string &error) {
  input.fromFile = true;
  input.fileName = file.name.bytes;
  input.uiName = file.UiName();
  std::string name = GuidText(input.fileName) +
                     (input.uiName.empty() ? "" : " \"" + pe::Printable(input.uiName) + "\"");
  if (file.type != 0x06 && file.type != 0x08) {  // PEIM, combined PEIM/driver
    error = path + ": file " + name + " at offset " + Hex(file.offset) + " is of type " +
            Hex(file.type, 2) + ", not a PEIM";
    return false;
  }
  const fv::Section *image = FindSection(file.sections, kSectionPe32);
  bool te = !image;
  if (te) image = FindSection(file.sections, kSectionTe);
  if (!image) {
    error = path + ": file " + name + " holds no PE32 or TE section";
    return false;
  }
  std::vector<uint8_t> bytes(image->data(), image->data() + image->dataSize());
  if (!pe::ParseAny(std::move(bytes), input.image, error)) {
    error = path + ": the " + (te ? "TE" : "PE32") + " section of file " + name + ": " + error;
    return false;
  }
  if (const fv::Section *depex = FindSection(file.sections, kSectionPeiDepex)) {
    input.hasDepex = true;
    input.depex.assign(depex->data(), depex->data() + depex->dataSize());
  }
  input.what = std::string(te ? "TE" : "PE32") + " image in firmware file " + name;
  return true;
}

FvFile Layout(const fv::File &f, uint32_t address) {
  FvFile out;
  out.address = address;
  out.size = uint32_t(f.size);
  out.headerSize = uint32_t(f.headerSize);
  out.name = f.name.bytes;
  out.type = f.type;
  out.attributes = f.attributes;
  for (const fv::Section &s : f.sections)
    out.sections.push_back({address + uint32_t(f.headerSize + s.offset), uint32_t(s.size),
                            uint32_t(s.headerSize), s.type});
  return out;
}

}  // namespace

bool ReadModule(const std::string &path, const std::string &fileGuid, ModuleInput &input,
                std::string &error) {
  std::vector<uint8_t> bytes;
  if (!toolio::ReadInput(path, bytes, error)) return false;
  bool pe = bytes.size() >= 2 &&
            ((bytes[0] == 'M' && bytes[1] == 'Z') || (bytes[0] == 'V' && bytes[1] == 'Z'));
  if (pe && fileGuid.empty()) {
    input.what = bytes[0] == 'M' ? "PE32 image" : "TE image";
    if (!pe::ParseAny(std::move(bytes), input.image, error)) {
      error = path + ": " + error;
      return false;
    }
    return true;
  }
  try {
    if (!fileGuid.empty()) {
      input.firmware = std::make_shared<fv::Image>(std::move(bytes));
      fv::Guid name = fv::Guid::Parse(fileGuid);
      for (const fv::Volume *v : input.firmware->AllVolumes())
        if (const fv::File *f = v->FindFile(name)) return TakeFile(*f, path, input, error);
      error = path + ": no file " + fileGuid + " in any of its volumes";
      return false;
    }
    input.fileBytes = std::move(bytes);
    fv::File file = fv::ParseLoneFile(input.fileBytes);
    return TakeFile(file, path, input, error);
  } catch (const std::exception &e) {
    error = path + ": " +
            (pe ? std::string("--file needs a firmware image, not a PE32 or TE one")
                : "not a PE image (no MZ or VZ signature), nor a firmware "
                  "file: " +
                      std::string(e.what()));
    return false;
  }
}

bool ReadVolumes(const std::string &path, ModuleInput &input, std::string &error) {
  std::vector<uint8_t> bytes;
  if (!toolio::ReadInput(path, bytes, error)) {
    error = "--volume: " + error;
    return false;
  }
  try {
    input.firmware = std::make_shared<fv::Image>(std::move(bytes));
  } catch (const std::exception &e) {
    error = "--volume: " + path + ": " + e.what();
    return false;
  }
  return true;
}

bool MapFirmware(Platform &platform, ModuleInput &input, std::string &error) {
  if (!input.fileBytes.empty()) {
    // A lone firmware file: mapped on its own, its handle the entry's.
    fv::File file = fv::ParseLoneFile(input.fileBytes);
    uint32_t at = platform.MapBytes(input.fileBytes.data(), input.fileBytes.size(), error);
    if (!at) return false;
    platform.AddLooseFile(Layout(file, at));
    platform.SetFileHandle(at);
  }
  if (!input.firmware) return true;
  // Volumes in preorder. One nested in a mapped volume's bytes is there
  // already; one that was compressed is copied on its own.
  struct Mapped {
    const uint8_t *start;
    size_t length;
    uint32_t address;
  };
  std::vector<Mapped> mapped;
  bool haveModule = !input.fromFile || !input.fileBytes.empty();
  for (const fv::Volume *v : input.firmware->AllVolumes()) {
    uint32_t address = 0;
    for (const Mapped &m : mapped)
      if (v->start >= m.start && v->start + v->length <= m.start + m.length)
        address = m.address + uint32_t(v->start - m.start);
    if (!address) {
      std::string why;
      address = platform.MapBytes(v->start, v->length, why);
      if (!address) {
        input.notes.push_back("volume #" + std::to_string(v->index) + " left out: " + why);
        continue;
      }
      mapped.push_back({v->start, v->length, address});
    }
    if (!v->hasFiles) continue;
    FvVolume volume;
    volume.address = address;
    volume.length = uint32_t(v->length);
    volume.attributes = v->attributes;
    volume.format = v->fileSystem.bytes;
    volume.name = v->name.bytes;
    for (const fv::File &f : v->files) {
      if (f.deleted) continue;
      volume.files.push_back(Layout(f, address + uint32_t(f.offset)));
      if (!haveModule && input.fromFile && f.name.bytes == input.fileName) {
        platform.SetFileHandle(volume.files.back().address);
        haveModule = true;
      }
    }
    platform.AddVolume(volume);
  }
  if (!haveModule) {
    error = "the volume holding file " + GuidText(input.fileName) +
            " does not fit in the platform's RAM";
    return false;
  }
  return true;
}

bool DispatchEarlierPeims(Platform &platform, ModuleInput &input, std::string &error) {
  if (!input.firmware || !input.fromFile || !input.fileBytes.empty()) return true;
  const fv::Volume *home = nullptr;
  fv::Guid target;
  target.bytes = input.fileName;
  for (const fv::Volume *v : input.firmware->AllVolumes())
    if (v->FindFile(target)) home = v;
  if (!home) return true;
  // Dispatch order: the apriori list's files, then the volume's, as EDK2's
  // DiscoverPeimsAndOrderWithApriori lays them out.
  std::vector<const fv::File *> order;
  fv::Guid apriori = fv::kPeiAprioriGuid;
  if (const fv::File *a = home->FindFile(apriori))
    if (const fv::Section *list = FindSection(a->sections, 0x19))
      for (size_t i = 0; i + 16 <= list->dataSize(); i += 16)
        if (const fv::File *f = home->FindFile(fv::Guid::At(list->data() + i)))
          if (std::find(order.begin(), order.end(), f) == order.end()) order.push_back(f);
  size_t aprioriCount = order.size();
  for (const fv::File &f : home->files)
    if (std::find(order.begin(), order.end(), &f) == order.end()) order.push_back(&f);
  auto handleOf = [&](const fv::File &f) -> uint32_t {
    for (const FvVolume &v : platform.Volumes())
      for (const FvFile &m : v.files)
        if (m.name == f.name.bytes && m.size == f.size) return m.address;
    return 0;
  };
  // PeiDispatcher: pass after pass over that order, each PEIM whose
  // dependency expression holds dispatched where the pass reaches it (an
  // apriori file without looking at it, DepexSatisfied), until the pass
  // reaches the module and finds it ready, or a pass dispatches nothing.
  std::vector<const fv::File *> done;
  auto ready = [&](size_t position, const fv::File *f) {
    if (position < aprioriCount) return true;
    const fv::Section *depex = FindSection(f->sections, kSectionPeiDepex);
    if (!depex) return true;
    return EvaluateDepex(depex->data(), depex->dataSize(), [&](const Guid &g) {
             for (const InstalledPpi &p : platform.Ppis())
               if (p.guid == g) return true;
             return false;
           }).satisfied;
  };
  for (bool dispatched = true; dispatched;) {
    dispatched = false;
    for (size_t position = 0; position < order.size(); position++) {
      const fv::File *f = order[position];
      if (f->name == target) {
        if (position < aprioriCount || CheckDepex(platform, input).satisfied || !input.hasDepex) {
          platform.KeepState();
          return true;
        }
        continue;
      }
      if (f->deleted || (f->type != 0x06 && f->type != 0x08) ||
          std::find(done.begin(), done.end(), f) != done.end() || !ready(position, f))
        continue;
      done.push_back(f);
      dispatched = true;
      const fv::Section *section = FindSection(f->sections, kSectionPe32);
      if (!section) section = FindSection(f->sections, kSectionTe);
      std::string name = f->UiName().empty() ? GuidText(f->name.bytes) : pe::Printable(f->UiName());
      pe::Image image;
      std::string why, outcome;
      if (!section || !pe::ParseAny(std::vector<uint8_t>(section->data(),
                                                         section->data() + section->dataSize()),
                                    image, why)) {
        input.notes.push_back("dispatched first: " + name + ": no image it can run" +
                              (why.empty() ? "" : " (" + why + ")"));
        continue;
      }
      if (!platform.Predispatch(image, name, handleOf(*f), outcome, error)) return false;
      input.notes.push_back("dispatched first: " + name + ": " + outcome);
    }
  }
  platform.KeepState();
  return true;
}

DepexResult CheckDepex(const Platform &platform, const ModuleInput &input) {
  return EvaluateDepex(input.depex.data(), input.depex.size(), [&](const Guid &g) {
    for (const InstalledPpi &p : platform.Ppis())
      if (p.guid == g) return true;
    return false;
  });
}

}  // namespace peimsim

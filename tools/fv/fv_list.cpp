#include "fv_list.h"

#include <map>

#include "pe_image.h"
#include "pi_guids.h"

namespace fv {
namespace {

std::string Indent(int level) { return std::string(2 * size_t(level), ' '); }

// Names of GUIDs: the PI ones this tool knows, and the files of the image
// by their UI names.
class Names {
 public:
  void Learn(const File &f) {
    std::string ui = f.UiName();
    if (!ui.empty() && !f.deleted) files_.emplace(f.name, ui);
  }
  // "GUID (name)", or the GUID alone.
  std::string Of(const Guid &g) const {
    std::string text = g.ToString();
    auto file = files_.find(g);
    std::string name = file != files_.end() ? file->second : toolio::KnownGuidName(text);
    return name.empty() ? text : text + " (" + name + ")";
  }

 private:
  std::map<Guid, std::string> files_;
};

void LearnSections(const std::vector<Section> &sections, Names &names);
void LearnVolume(const Volume &v, Names &names) {
  for (const File &f : v.files) {
    names.Learn(f);
    LearnSections(f.sections, names);
  }
}
void LearnSections(const std::vector<Section> &sections, Names &names) {
  for (const Section &s : sections) {
    for (const Volume &v : s.volumes) LearnVolume(v, names);
    LearnSections(s.sections, names);
  }
}

void PrintProblems(const std::vector<std::string> &problems, int level, std::ostream &out) {
  for (const std::string &p : problems) out << Indent(level) << "! " << p << "\n";
}

// A dependency expression with the PPIs it names.
std::string Depex(const uint8_t *p, size_t n, const Names &names) {
  std::string text = DescribeDepex(p, n);
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t space = text.find(' ', pos);
    std::string word = text.substr(pos, space == std::string::npos ? std::string::npos : space - pos);
    if (word.size() == 36 && word[8] == '-') {
      try {
        word = names.Of(Guid::Parse(word));
      } catch (const Error &) {
      }
    }
    out += (out.empty() ? "" : " ") + word;
    if (space == std::string::npos) break;
    pos = space + 1;
  }
  return out;
}

void PrintSections(const std::vector<Section> &sections, int level, const Names &names,
                   std::ostream &out);

void PrintVolume(const Volume &v, int level, const Names &names, std::ostream &out) {
  out << Indent(level) << "volume #" << v.index;
  if (level == 0) out << " at " << Hex(v.offset);
  out << " size " << Hex(v.length);
  if (v.named) out << " name " << v.name.ToString();
  out << " attributes " << Hex(v.attributes) << " alignment " << Hex(v.alignment());
  if (!v.hasFiles) {
    out << " file system " << v.fileSystem.ToString() << " (not a firmware file system)\n";
    PrintProblems(v.problems, level + 1, out);
    return;
  }
  out << (v.fileSystem == kFfs3FileSystemGuid ? " FFS3" : " FFS2") << " free "
      << Hex(v.freeEnd - v.freeStart) << " from " << Hex(v.freeStart) << "\n";
  PrintProblems(v.problems, level + 1, out);
  for (const std::string &note : v.notes) out << Indent(level + 1) << "note: " << note << "\n";
  for (const File &f : v.files) {
    out << Indent(level + 1) << "file " << f.name.ToString() << " " << FileTypeName(f.type)
        << " at " << Hex(f.offset) << " size " << Hex(f.size);
    if (f.attributes & kFileAttrAlignmentMask)
      out << " data-alignment " << Hex(FileDataAlignment(f.attributes));
    if (f.deleted) out << " (" << f.stateText << ")";
    if (f.walk == File::Walk::kHeaderOnly)
      out << ": the PEI core steps over its header only and reads on at "
          << Hex(f.offset + f.headerSize);
    std::string ui = f.UiName();
    if (!ui.empty()) out << " \"" << ui << "\"";
    else if (!toolio::KnownGuidName(f.name.ToString()).empty())
      out << " (" << toolio::KnownGuidName(f.name.ToString()) << ")";
    out << "\n";
    PrintProblems(f.problems, level + 2, out);
    if (f.name == kPeiAprioriGuid && !f.sections.empty() && f.sections[0].type == kSecRaw) {
      const Section &raw = f.sections[0];
      for (size_t i = 0; i + 16 <= raw.dataSize(); i += 16)
        out << Indent(level + 2) << "apriori " << names.Of(Guid::At(raw.data() + i)) << "\n";
    }
    PrintSections(f.sections, level + 2, names, out);
    // Where each image of the file sits within the volume.
    for (const Section &s : f.sections) {
      uint64_t run = 0;
      if (ImageRunAddress(s, run))
        out << Indent(level + 2) << "image data at "
            << Hex(f.offset + f.headerSize + s.offset + s.headerSize) << " runs at " << Hex(run)
            << "\n";
    }
  }
  for (const File &f : v.unreached) {
    out << Indent(level + 1) << "beyond the walk: file " << f.name.ToString() << " "
        << FileTypeName(f.type) << " at " << Hex(f.offset) << " size " << Hex(f.size);
    if (f.deleted) out << " (" << f.stateText << ")";
    out << ", never reached by the PEI core\n";
  }
}

void PrintSections(const std::vector<Section> &sections, int level, const Names &names,
                   std::ostream &out) {
  for (const Section &s : sections) {
    out << Indent(level) << "section " << SectionTypeName(s.type) << " at " << Hex(s.offset)
        << " size " << Hex(s.size);
    switch (s.type) {
      case kSecGuidDefined:
        out << " guid " << names.Of(s.guid);
        if (s.lzma && s.unpacked) out << " LZMA unpacked " << Hex(s.unpacked->size());
        if (s.crc32) out << " CRC32 " << Hex(Get32(s.start + s.commonHeaderSize + 20));
        break;
      case kSecUserInterface:
        out << " \"" << DecodeUiName(s.data(), s.dataSize()) << "\"";
        break;
      case kSecPeiDepex:
      case kSecDxeDepex:
      case kSecMmDepex:
        out << " " << Depex(s.data(), s.dataSize(), names);
        break;
      case kSecPe32: {
        pe::Image image;
        std::string error;
        if (pe::Parse(Bytes(s.data(), s.data() + s.dataSize()), image, error))
          out << " ImageBase " << Hex(image.imageBase) << " section-alignment "
              << Hex(image.sectionAlignment) << " entry " << Hex(image.entryRva);
        else
          out << " (unreadable image: " << error << ")";
        break;
      }
      case kSecTe: {
        pe::Image image;
        std::string error;
        if (pe::ParseTe(Bytes(s.data(), s.data() + s.dataSize()), image, error))
          out << " ImageBase " << Hex(image.imageBase) << " StrippedSize "
              << Hex(image.strippedSize) << " entry " << Hex(image.entryRva);
        else
          out << " (malformed TE header: " << error << ")";
        break;
      }
      default:
        break;
    }
    if (s.opaque) out << " (" << s.encoding << ")";
    out << "\n";
    PrintProblems(s.problems, level + 1, out);
    for (const Volume &v : s.volumes) PrintVolume(v, level + 1, names, out);
    PrintSections(s.sections, level + 1, names, out);
  }
}

}  // namespace

void PrintImage(const Image &image, std::ostream &out) {
  out << "image size " << Hex(image.bytes().size()) << ", " << image.volumes().size()
      << " top-level volume(s)\n";
  PrintProblems(image.problems(), 1, out);
  Names names;
  for (const Volume *v : image.AllVolumes()) LearnVolume(*v, names);
  for (const Volume &v : image.volumes()) PrintVolume(v, 0, names, out);
}

void PrintLoneFile(const File &f, std::ostream &out) {
  out << "file " << f.name.ToString() << " " << FileTypeName(f.type) << " size " << Hex(f.size)
      << " attributes " << Hex(f.attributes) << " state " << Hex(f.state) << "\n";
  PrintProblems(f.problems, 1, out);
  Names names;
  names.Learn(f);
  PrintSections(f.sections, 1, names, out);
}

}  // namespace fv

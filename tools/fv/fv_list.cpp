#include "fv_list.h"

#include <cstdio>
#include <map>

#include "fv_edit.h"
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
    std::string name = NameOf(g);
    return name.empty() ? g.ToString() : g.ToString() + " (" + name + ")";
  }
  // The name alone, or "".
  std::string NameOf(const Guid &g) const {
    auto file = files_.find(g);
    return file != files_.end() ? file->second : toolio::KnownGuidName(g.ToString());
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

// Findings (PlacementFindings) told so far; `list` exits 1 where there are any.
size_t flagged = 0;

void PrintVolume(const Volume &v, int level, const Names &names, std::ostream &out) {
  std::vector<Finding> findings = PlacementFindings(v);
  flagged += findings.size();
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
    for (const Finding &finding : findings)
      if (finding.file == &f) out << Indent(level + 2) << "! " << finding.text << "\n";
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
        if (s.brotli && s.unpacked) out << " Brotli unpacked " << Hex(s.unpacked->size());
        if (s.crc32) out << " CRC32 " << Hex(Get32(s.start + s.commonHeaderSize + 20));
        break;
      case kSecUserInterface:
        out << " \"" << DecodeUiName(s.data(), s.dataSize()) << "\"";
        break;
      case kSecVersion:
        out << " " << DescribeVersion(s.data(), s.dataSize());
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

size_t PrintImage(const Image &image, std::ostream &out) {
  flagged = 0;
  out << "image size " << Hex(image.bytes().size()) << ", " << image.volumes().size()
      << " top-level volume(s)\n";
  PrintProblems(image.problems(), 1, out);
  Names names;
  for (const Volume *v : image.AllVolumes()) LearnVolume(*v, names);
  for (const Volume &v : image.volumes()) PrintVolume(v, 0, names, out);
  return flagged;
}

void PrintLoneFile(const File &f, std::ostream &out) {
  out << "file " << f.name.ToString() << " " << FileTypeName(f.type) << " size " << Hex(f.size)
      << " attributes " << Hex(f.attributes) << " state " << Hex(f.state) << "\n";
  PrintProblems(f.problems, 1, out);
  Names names;
  names.Learn(f);
  PrintSections(f.sections, 1, names, out);
}

namespace {

// JSON text: strings escaped (UI names are UTF-8 already, control
// characters never reach them), numbers as decimal integers.
std::string Quote(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04X", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

// One JSON object, its members written in the order given.
class Object {
 public:
  Object &Str(const char *key, const std::string &value) { return Raw(key, Quote(value)); }
  Object &Num(const char *key, uint64_t value) { return Raw(key, std::to_string(value)); }
  Object &Bool(const char *key, bool value) { return Raw(key, value ? "true" : "false"); }
  Object &Raw(const char *key, const std::string &json) {
    text_ += (text_.empty() ? "" : ",") + Quote(key) + ":" + json;
    return *this;
  }
  // An array member, left out where empty.
  Object &List(const char *key, const std::vector<std::string> &items) {
    if (items.empty()) return *this;
    std::string array;
    for (const std::string &item : items) array += (array.empty() ? "" : ",") + item;
    return Raw(key, "[" + array + "]");
  }
  Object &Strings(const char *key, const std::vector<std::string> &items) {
    std::vector<std::string> quoted;
    for (const std::string &item : items) quoted.push_back(Quote(item));
    return List(key, quoted);
  }
  std::string Json() const { return "{" + text_ + "}"; }

 private:
  std::string text_;
};

// A GUID, with the name this tool knows it by where it knows one.
std::string GuidJson(const Guid &g, const Names &names) {
  Object o;
  o.Str("guid", g.ToString());
  std::string name = names.NameOf(g);
  if (!name.empty()) o.Str("name", name);
  return o.Json();
}

std::string VolumeJson(const Volume &v, const Names &names);

void SectionsJson(const std::vector<Section> &sections, const Names &names,
                  std::vector<std::string> &out) {
  for (const Section &s : sections) {
    Object o;
    o.Str("type", SectionTypeName(s.type)).Num("typeNumber", s.type).Num("offset", s.offset)
        .Num("size", s.size);
    switch (s.type) {
      case kSecGuidDefined:
        o.Raw("definition", GuidJson(s.guid, names));
        if (s.lzma && s.unpacked) o.Str("encoding", "LZMA").Num("unpacked", s.unpacked->size());
        if (s.brotli && s.unpacked) o.Str("encoding", "Brotli").Num("unpacked", s.unpacked->size());
        if (s.crc32) o.Str("encoding", "CRC32").Num("crc32", Get32(s.start + s.commonHeaderSize + 20));
        break;
      case kSecUserInterface:
        o.Str("ui", DecodeUiName(s.data(), s.dataSize()));
        break;
      case kSecVersion:
        if (s.dataSize() >= 2)
          o.Num("buildNumber", Get16(s.data())).Str("version", DecodeUiName(s.data() + 2, s.dataSize() - 2));
        break;
      case kSecPeiDepex:
      case kSecDxeDepex:
      case kSecMmDepex:
        o.Str("depex", Depex(s.data(), s.dataSize(), names));
        break;
      case kSecPe32:
      case kSecTe: {
        pe::Image image;
        std::string error;
        Bytes data(s.data(), s.data() + s.dataSize());
        if (s.type == kSecPe32 ? pe::Parse(data, image, error) : pe::ParseTe(data, image, error)) {
          o.Num("imageBase", image.imageBase).Num("entry", image.entryRva);
          if (s.type == kSecPe32) o.Num("sectionAlignment", image.sectionAlignment);
          else o.Num("strippedSize", image.strippedSize);
        } else {
          o.Str("imageError", error);
        }
        break;
      }
      default:
        break;
    }
    if (s.opaque) o.Str("opaque", s.encoding);
    o.Strings("problems", s.problems);
    std::vector<std::string> volumes, inner;
    for (const Volume &v : s.volumes) volumes.push_back(VolumeJson(v, names));
    o.List("volumes", volumes);
    SectionsJson(s.sections, names, inner);
    o.List("sections", inner);
    out.push_back(o.Json());
  }
}

std::string FileJson(const File &f, const Names &names, bool lone,
                     const std::vector<Finding> &findings = {}) {
  Object o;
  o.Str("guid", f.name.ToString());
  std::string ui = f.UiName();
  std::string known = toolio::KnownGuidName(f.name.ToString());
  if (!ui.empty()) o.Str("name", ui);
  else if (!known.empty()) o.Str("knownAs", known);
  o.Str("type", FileTypeName(f.type)).Num("typeNumber", f.type);
  if (!lone) o.Num("offset", f.offset);
  o.Num("size", f.size).Num("attributes", f.attributes).Num("state", f.state);
  if (f.attributes & kFileAttrAlignmentMask) o.Num("dataAlignment", FileDataAlignment(f.attributes));
  if (f.deleted) o.Str("stateText", f.stateText);
  if (f.walk == File::Walk::kHeaderOnly) o.Bool("headerOnly", true);
  o.Strings("problems", f.problems);
  std::vector<std::string> found;
  for (const Finding &finding : findings)
    if (finding.file == &f) found.push_back(finding.text);
  o.Strings("findings", found);
  std::vector<std::string> apriori;
  if (f.name == kPeiAprioriGuid && !f.sections.empty() && f.sections[0].type == kSecRaw) {
    const Section &raw = f.sections[0];
    for (size_t i = 0; i + 16 <= raw.dataSize(); i += 16)
      apriori.push_back(GuidJson(Guid::At(raw.data() + i), names));
  }
  o.List("apriori", apriori);
  std::vector<std::string> sections, images;
  SectionsJson(f.sections, names, sections);
  o.List("sections", sections);
  for (const Section &s : f.sections) {
    uint64_t run = 0;
    if (!lone && ImageRunAddress(s, run))
      images.push_back(Object()
                           .Num("dataOffset", f.offset + f.headerSize + s.offset + s.headerSize)
                           .Num("runsAt", run)
                           .Json());
  }
  o.List("images", images);
  return o.Json();
}

std::string VolumeJson(const Volume &v, const Names &names) {
  Object o;
  o.Num("index", v.index).Num("offset", v.offset).Num("size", v.length);
  if (v.named) o.Str("name", v.name.ToString());
  o.Num("attributes", v.attributes).Num("alignment", v.alignment());
  o.Raw("fileSystem", GuidJson(v.fileSystem, names));
  o.Bool("firmwareFileSystem", v.hasFiles);
  if (v.hasFiles) o.Num("freeStart", v.freeStart).Num("freeSize", v.freeEnd - v.freeStart);
  o.Strings("problems", v.problems).Strings("notes", v.notes);
  if (!v.walkEnd.empty()) o.Str("walkEnd", v.walkEnd);
  std::vector<std::string> files, unreached;
  std::vector<Finding> findings = PlacementFindings(v);
  flagged += findings.size();
  for (const File &f : v.files) files.push_back(FileJson(f, names, false, findings));
  for (const File &f : v.unreached)
    unreached.push_back(Object()
                            .Str("guid", f.name.ToString())
                            .Str("type", FileTypeName(f.type))
                            .Num("offset", f.offset)
                            .Num("size", f.size)
                            .Json());
  o.List("files", files).List("beyondWalk", unreached);
  return o.Json();
}

}  // namespace

size_t PrintImageJson(const Image &image, std::ostream &out) {
  flagged = 0;
  Names names;
  for (const Volume *v : image.AllVolumes()) LearnVolume(*v, names);
  std::vector<std::string> volumes;
  for (const Volume &v : image.volumes()) volumes.push_back(VolumeJson(v, names));
  out << Object()
             .Num("size", image.bytes().size())
             .Bool("damaged", image.Damaged())
             .Num("findings", flagged)
             .Strings("problems", image.problems())
             .List("volumes", volumes)
             .Json()
      << "\n";
  return flagged;
}

void PrintLoneFileJson(const File &f, std::ostream &out) {
  Names names;
  names.Learn(f);
  out << Object().Raw("file", FileJson(f, names, true)).Json() << "\n";
}

}  // namespace fv

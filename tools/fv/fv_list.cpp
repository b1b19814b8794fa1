#include "fv_list.h"

#include "pe_image.h"

namespace fv {
namespace {

std::string Indent(int level) { return std::string(2 * size_t(level), ' '); }

void PrintSections(const std::vector<Section> &sections, int level, std::ostream &out);

void PrintVolume(const Volume &v, int level, std::ostream &out) {
  out << Indent(level) << "volume #" << v.index;
  if (level == 0) out << " at " << Hex(v.offset);
  out << " size " << Hex(v.length);
  if (v.named) out << " name " << v.name.ToString();
  out << " attributes " << Hex(v.attributes) << " alignment " << Hex(v.alignment());
  if (!v.hasFiles) {
    out << " file system " << v.fileSystem.ToString() << " (not a firmware file system)\n";
    return;
  }
  out << (v.fileSystem == kFfs3FileSystemGuid ? " FFS3" : " FFS2") << " free "
      << Hex(v.length - v.freeStart) << " from " << Hex(v.freeStart) << "\n";
  for (const File &f : v.files) {
    out << Indent(level + 1) << "file " << f.name.ToString() << " " << FileTypeName(f.type)
        << " at " << Hex(f.offset) << " size " << Hex(f.size);
    if (f.attributes & kFileAttrAlignmentMask)
      out << " data-alignment " << Hex(FileDataAlignment(f.attributes));
    if (f.deleted) out << " (deleted)";
    for (const Section &s : f.sections)
      if (s.type == kSecUserInterface)
        out << " \"" << DecodeUiName(s.data(), s.dataSize()) << "\"";
    out << "\n";
    if (f.name == kPeiAprioriGuid && !f.sections.empty() && f.sections[0].type == kSecRaw) {
      const Section &raw = f.sections[0];
      for (size_t i = 0; i + 16 <= raw.dataSize(); i += 16)
        out << Indent(level + 2) << "apriori " << Guid::At(raw.data() + i).ToString() << "\n";
    }
    PrintSections(f.sections, level + 2, out);
    // Where each image of the file sits within the volume.
    for (const Section &s : f.sections) {
      uint64_t run = 0;
      if (ImageRunAddress(s, run))
        out << Indent(level + 2) << "image data at " << Hex(f.offset + f.headerSize + s.offset + s.headerSize)
            << " runs at " << Hex(run) << "\n";
    }
  }
}

void PrintSections(const std::vector<Section> &sections, int level, std::ostream &out) {
  for (const Section &s : sections) {
    out << Indent(level) << "section " << SectionTypeName(s.type) << " at " << Hex(s.offset)
        << " size " << Hex(s.size);
    switch (s.type) {
      case kSecGuidDefined:
        out << " guid " << s.guid.ToString();
        if (s.lzma) out << " LZMA unpacked " << Hex(s.unpacked->size());
        break;
      case kSecUserInterface:
        out << " \"" << DecodeUiName(s.data(), s.dataSize()) << "\"";
        break;
      case kSecPeiDepex:
      case kSecDxeDepex:
      case kSecMmDepex:
        out << " " << DescribeDepex(s.data(), s.dataSize());
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
      default:
        break;
    }
    out << "\n";
    for (const Volume &v : s.volumes) PrintVolume(v, level + 1, out);
    PrintSections(s.sections, level + 1, out);
  }
}

}  // namespace

void PrintImage(const Image &image, std::ostream &out) {
  out << "image size " << Hex(image.bytes().size()) << ", " << image.volumes().size()
      << " top-level volume(s)\n";
  for (const Volume &v : image.volumes()) PrintVolume(v, 0, out);
}

void PrintLoneFile(const File &f, std::ostream &out) {
  out << "file " << f.name.ToString() << " " << FileTypeName(f.type) << " size " << Hex(f.size)
      << " attributes " << Hex(f.attributes) << " state " << Hex(f.state) << "\n";
  PrintSections(f.sections, 1, out);
}

}  // namespace fv

// Shared helpers for the volume tool's tests: scratch directories, running
// commands, and test volumes built with the tool's own library.
#ifndef TESTS_FV_FV_TEST_UTIL_H_
#define TESTS_FV_FV_TEST_UTIL_H_

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ffs.h"
#include "fv_edit.h"
#include "fv_tree.h"
#include "lzma_codec.h"
#include "pe_image.h"

namespace fvtest {

// A scratch directory removed with everything in it at the end of a test.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/fvtest.XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string operator/(const std::string &file) const { return path_ + "/" + file; }

 private:
  std::string path_;
};

inline bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

inline std::string ReadText(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteBytes(const std::string &path, const fv::Bytes &bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                              std::streamsize(bytes.size()));
}

struct Run {
  int status = -1;
  std::string out, err;
};
// Runs a shell command line, capturing its output and exit status.
inline Run RunCommand(const std::string &command, const TempDir &dir) {
  Run r;
  std::string out = dir / "cmd.out", err = dir / "cmd.err";
  int raw = std::system((command + " >'" + out + "' 2>'" + err + "'").c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = ReadText(out);
  r.err = ReadText(err);
  return r;
}

inline fv::Bytes ModuleImage() { return fv::ReadFile(MODULE_EFI); }

// The module as a firmware file of the given name and type.
inline fv::Bytes ModuleFile(const std::string &guid, const std::string &name,
                            uint8_t type = fv::kFilePeim) {
  fv::ModuleFileParams params;
  params.name = fv::Guid::Parse(guid);
  params.uiName = name;
  params.type = type;
  params.depexPush = {fv::kStallPpiGuid};
  return fv::BuildModuleFile(params, ModuleImage());
}

// A firmware file of `size` data bytes that no compressor can shrink.
inline fv::Bytes NoiseFile(const std::string &guid, size_t size, uint32_t state = 1) {
  fv::Bytes noise(size);
  for (uint8_t &b : noise) {
    state = state * 1103515245u + 12345u;
    b = uint8_t(state >> 16);
  }
  return fv::MakeFile(fv::Guid::Parse(guid), fv::kFileFreeform, fv::kFileAttrChecksum,
                      fv::MakeSection(fv::kSecRaw, noise), true);
}

// A volume holding the files, their images linked to run at `base`.
inline fv::Bytes TestVolume(size_t size, const std::vector<fv::Bytes> &files, uint64_t base,
                            uint32_t alignment = 128) {
  fv::VolumeParams params;
  params.length = size;
  params.alignment = alignment;
  params.named = true;
  params.name = fv::Guid::Parse("0D1E2F30-4152-4637-8899-AABBCCDDEEFF");
  fv::Rebase rebase;
  rebase.enabled = base != 0;
  rebase.volumeBase = base;
  std::vector<std::string> log;
  return fv::CreateVolume(params, files, {}, rebase, log);
}

// The layout of the firmware image the tool edits: an outer volume whose one
// FV_IMAGE file holds an LZMA section with a RAW pad and the inner volume.
inline fv::Bytes CompressedImage(const fv::Bytes &inner, size_t outerSize) {
  fv::Bytes stream;
  fv::AppendSection(stream, fv::MakeSection(fv::kSecRaw, fv::Bytes(0x78, 0)));
  fv::AppendSection(stream, fv::MakeSection(fv::kSecFvImage, inner));
  fv::LzmaProperties props;
  fv::Bytes section = fv::MakeGuidDefinedSection(fv::kLzmaSectionGuid, 1, {},
                                                 fv::LzmaEncode(stream, props));
  fv::Bytes file = fv::MakeFile(fv::Guid::Parse("9E21FD93-9C72-4C15-8C4B-E77F1DB2D792"),
                                fv::kFileFvImage, 0, section, true);
  return TestVolume(outerSize, {file}, 0, 16);
}

// The image as the loader sees it after relocating it from its own base to `base`.
inline std::vector<uint8_t> RelocatedLayout(const fv::Bytes &peFile, uint32_t base) {
  pe::Image image;
  std::string error;
  EXPECT_TRUE(pe::Parse(peFile, image, error)) << error;
  std::vector<uint8_t> layout = pe::MemoryLayout(image);
  EXPECT_TRUE(pe::RelocateLayout(image, layout, base, error)) << error;
  fv::Put32(&layout[image.ImageBaseFieldOffset()], base);
  return layout;
}

// The promise of every edit: outside the files it meant to change (`changed`:
// added, replaced, removed or the apriori file), the pad files around them
// and the headers, sizes and checksums of what encloses them, every byte of
// the image is as it was. Enclosing files are followed down: their sections
// keep their offsets and bytes, but for the one holding the edited volume
// (an LZMA or CRC32 section, compared on what it unpacks to, or an FV_IMAGE
// section) and RAW sections that fill room a rewritten section gave up.
class ChangeChecker {
 public:
  explicit ChangeChecker(std::set<fv::Guid> changed) : changed_(std::move(changed)) {}

  void Images(const fv::Image &before, const fv::Image &after) {
    ASSERT_EQ(before.bytes().size(), after.bytes().size());
    ASSERT_EQ(before.volumes().size(), after.volumes().size());
    std::vector<bool> inVolume(before.bytes().size(), false);
    for (size_t i = 0; i < before.volumes().size(); i++) {
      const fv::Volume &b = before.volumes()[i], &a = after.volumes()[i];
      ASSERT_EQ(b.offset, a.offset);
      Volumes(b, a);
      std::fill(inVolume.begin() + long(b.offset), inVolume.begin() + long(b.offset + b.length), true);
    }
    for (size_t i = 0; i < inVolume.size(); i++)
      if (!inVolume[i]) {
        ASSERT_EQ(before.bytes()[i], after.bytes()[i]) << "outside volumes at " << i;
      }
  }

  void Volumes(const fv::Volume &b, const fv::Volume &a) {
    std::string where = "volume #" + std::to_string(b.index);
    ASSERT_EQ(b.length, a.length) << where;
    ASSERT_TRUE(std::equal(b.start, b.start + b.filesStart, a.start)) << where << ": header";
    // Files that were to stay: same place, same bytes, or an enclosing file.
    for (const fv::File &fb : b.files) {
      if (fb.type == fv::kFilePad || changed_.count(fb.name)) continue;
      const fv::File *fa = At(a, fb.offset);
      ASSERT_NE(fa, nullptr) << where << ": file " << fb.name.ToString() << " moved or vanished";
      ASSERT_EQ(fa->name, fb.name) << where << " at " << fb.offset;
      if (fa->bytes() == fb.bytes()) continue;
      ASSERT_EQ(fa->headerSize, fb.headerSize);
      ASSERT_TRUE(std::equal(fb.start, fb.start + 16, fa->start)) << where << ": name changed";
      ASSERT_EQ(fa->type, fb.type);
      ASSERT_EQ(fa->attributes, fb.attributes);
      ASSERT_EQ(fa->state, fb.state);
      Streams(fb.sections, fa->sections, where + ": file " + fb.name.ToString());
    }
    // Any other byte that differs lies in a changed file or a pad file, or in
    // the old place of one; never in the free space or after it.
    for (size_t i = b.filesStart; i < b.length; i++) {
      if (b.start[i] == a.start[i]) continue;
      const fv::File *was = Covering(b, i), *is = Covering(a, i);
      ASSERT_TRUE(is != nullptr) << where << ": byte " << i << " changed outside any file";
      bool allowed = Allowed(*is, b) && (was == nullptr ? i < b.freeEnd : Allowed(*was, a));
      ASSERT_TRUE(allowed) << where << ": byte " << i << " changed (" << is->name.ToString() << ")";
    }
  }

 private:
  bool Editable(const fv::File &f) const { return f.type == fv::kFilePad || changed_.count(f.name); }
  // A changed or pad file, or an enclosing one: the same file at the same
  // place in the other volume, its contents compared section by section.
  bool Allowed(const fv::File &f, const fv::Volume &other) const {
    const fv::File *there = At(other, f.offset);
    return Editable(f) || (there && there->name == f.name && there->type == f.type);
  }
  static const fv::File *At(const fv::Volume &v, size_t offset) {
    for (const fv::File &f : v.files)
      if (f.offset == offset) return &f;
    return nullptr;
  }
  static const fv::File *Covering(const fv::Volume &v, size_t i) {
    for (const fv::File &f : v.files)
      if (i >= f.offset && i < f.offset + f.Extent()) return &f;
    return nullptr;
  }

  void Streams(const std::vector<fv::Section> &b, const std::vector<fv::Section> &a,
               const std::string &where) {
    size_t j = 0;
    for (const fv::Section &sb : b) {
      while (j < a.size() && a[j].offset < sb.offset) {
        // Room a rewritten section gave up: a RAW section of zeros.
        EXPECT_EQ(a[j].type, fv::kSecRaw) << where << ": new section at " << a[j].offset;
        EXPECT_TRUE(std::all_of(a[j].data(), a[j].data() + a[j].dataSize(), [](uint8_t x) { return x == 0; }));
        j++;
      }
      ASSERT_LT(j, a.size()) << where << ": section at " << sb.offset << " vanished";
      const fv::Section &sa = a[j++];
      ASSERT_EQ(sa.offset, sb.offset) << where << ": section moved";
      ASSERT_EQ(sa.type, sb.type) << where;
      if (std::equal(sb.start, sb.start + sb.size, sa.start, sa.start + sa.size)) continue;
      std::string inner = where + ": section at " + std::to_string(sb.offset);
      if (sb.type == fv::kSecFvImage) {
        ASSERT_EQ(sa.size, sb.size) << inner;
        ASSERT_TRUE(std::equal(sb.start, sb.start + sb.headerSize, sa.start)) << inner;
        ASSERT_EQ(sa.volumes.size(), 1u);
        Volumes(sb.volumes.at(0), sa.volumes.at(0));
      } else if (sb.type == fv::kSecGuidDefined) {
        ASSERT_EQ(sa.guid, sb.guid) << inner;
        ASSERT_EQ(sa.guidAttributes, sb.guidAttributes) << inner;
        ASSERT_TRUE(sa.lzma || sa.crc32) << inner << ": an opaque section changed";
        if (sa.crc32) {
          EXPECT_EQ(fv::Get32(sa.start + sa.commonHeaderSize + 20), fv::Crc32(sa.data(), sa.dataSize()))
              << inner << ": stale CRC32";
        }
        if (sa.lzma) {
          uint64_t size = 0;
          fv::LzmaProperties pb = fv::LzmaStreamProperties(sb.data(), sb.dataSize(), size);
          fv::LzmaProperties pa = fv::LzmaStreamProperties(sa.data(), sa.dataSize(), size);
          EXPECT_EQ(pa.lc, pb.lc);
          EXPECT_EQ(pa.lp, pb.lp);
          EXPECT_EQ(pa.pb, pb.pb);
          EXPECT_GE(pa.dictionarySize, pb.dictionarySize);
        }
        Streams(sb.sections, sa.sections, inner);
      } else {
        FAIL() << inner << ": " << fv::SectionTypeName(sb.type) << " section changed";
      }
    }
    for (; j < a.size(); j++) {  // what fills the room a shrunk stream left
      EXPECT_EQ(a[j].type, fv::kSecRaw) << where << ": new section at " << a[j].offset;
      EXPECT_TRUE(std::all_of(a[j].data(), a[j].data() + a[j].dataSize(), [](uint8_t x) { return x == 0; }));
    }
  }

  std::set<fv::Guid> changed_;
};

inline void ExpectOnlyIntended(const fv::Bytes &before, const fv::Bytes &after,
                               std::set<fv::Guid> changed) {
  changed.insert(fv::kPeiAprioriGuid);
  fv::Image b(before), a(after);
  ChangeChecker(std::move(changed)).Images(b, a);
}

}  // namespace fvtest

#endif  // TESTS_FV_FV_TEST_UTIL_H_

// Shared helpers for the volume tool's tests: scratch directories, running
// commands, and test volumes built with the tool's own library.
#ifndef TESTS_FV_FV_TEST_UTIL_H_
#define TESTS_FV_FV_TEST_UTIL_H_

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ffs.h"
#include "fv_edit.h"
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

}  // namespace fvtest

#endif  // TESTS_FV_FV_TEST_UTIL_H_

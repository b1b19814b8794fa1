#include "fv_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_io.h"
#include "pi_guids.h"

namespace fv {

void Fail(const std::string &message) { throw Error(message); }

namespace {
std::function<void(const std::string &)> &Sink() {
  static std::function<void(const std::string &)> sink;
  return sink;
}
}  // namespace

void SetProgressSink(std::function<void(const std::string &)> sink) { Sink() = std::move(sink); }

void Progress(const std::string &line) {
  if (Sink()) Sink()(line);
}

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

Guid Guid::At(const uint8_t *p) {
  Guid g;
  std::memcpy(g.bytes.data(), p, 16);
  return g;
}

Guid Guid::Parse(const std::string &text) {
  Guid g;
  if (!toolio::ParseGuid(text, g.bytes)) Fail("malformed GUID '" + text + "'");
  return g;
}

std::string Guid::ToString() const { return toolio::GuidText(bytes); }

const Guid kFfs2FileSystemGuid = Guid::Parse("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
const Guid kFfs3FileSystemGuid = Guid::Parse("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A");
const Guid kLzmaSectionGuid = Guid::Parse("EE4E5898-3914-4259-9D6E-DC7BD79403CF");
const Guid kCrc32SectionGuid = Guid::Parse("FC1BCDB0-7D31-49AA-936A-A4600D9DD083");
const Guid kPeiAprioriGuid = Guid::Parse("1B45CC0A-156A-428A-AF62-49864DA0E6E6");
const Guid kVolumeTopFileGuid = Guid::Parse("1BA0062E-C779-4582-8566-336AE8F78F09");
const Guid kStallPpiGuid = Guid::Parse("1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56");

namespace {

// Standard input, read to its end within the inputs' bound.
Bytes ReadStdin() {
  Bytes bytes;
  uint8_t chunk[1 << 16];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(std::string("-: cannot read standard input: ") + std::strerror(errno));
    if (n == 0) break;
    if (bytes.size() + size_t(n) > toolio::kMaxInputBytes)
      Fail("-: standard input holds more than " + std::to_string(toolio::kMaxInputBytes) +
           " bytes");
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

void WriteStdout(const Bytes &bytes) {
  if (isatty(STDOUT_FILENO)) Fail("-o -: standard output is a terminal; redirect it to a file");
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail(std::string("-o -: cannot write standard output: ") + std::strerror(errno));
    done += size_t(n);
  }
}

}  // namespace

Bytes ReadFile(const std::string &path) {
  if (path == kStdio) return ReadStdin();
  Bytes bytes;
  std::string error;
  if (!toolio::ReadInput(path, bytes, error)) Fail(error);
  return bytes;
}

void WriteFileAtomic(const std::string &path, const Bytes &bytes) {
  if (path == kStdio) return WriteStdout(bytes);
  std::string error;
  if (!toolio::WriteOutput(path, bytes, error)) Fail(error);
}

}  // namespace fv

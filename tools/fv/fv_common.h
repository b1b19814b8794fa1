// Byte access, GUIDs and the error type shared by the volume tool's library.
#ifndef TOOLS_FV_FV_COMMON_H_
#define TOOLS_FV_FV_COMMON_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fv {

using Bytes = std::vector<uint8_t>;

// Any fault in the input or in a request: a one-line message for the user.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
[[noreturn]] void Fail(const std::string &message);

std::string Hex(uint64_t value);

inline uint16_t Get16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t Get24(const uint8_t *p) { return uint32_t(p[0] | p[1] << 8 | p[2] << 16); }
inline uint32_t Get32(const uint8_t *p) { return Get16(p) | uint32_t(Get16(p + 2)) << 16; }
inline uint64_t Get64(const uint8_t *p) { return Get32(p) | uint64_t(Get32(p + 4)) << 32; }
inline void Put16(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void Put24(uint8_t *p, uint32_t v) {
  Put16(p, v);
  p[2] = uint8_t(v >> 16);
}
inline void Put32(uint8_t *p, uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}
inline void Put64(uint8_t *p, uint64_t v) {
  Put32(p, uint32_t(v));
  Put32(p + 4, uint32_t(v >> 32));
}
// Rounds up to a multiple of a power of two.
inline uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

struct Guid {
  std::array<uint8_t, 16> bytes{};

  static Guid At(const uint8_t *p);
  // Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"; throws Error on anything else.
  static Guid Parse(const std::string &text);
  std::string ToString() const;
  bool operator==(const Guid &o) const { return bytes == o.bytes; }
  bool operator!=(const Guid &o) const { return bytes != o.bytes; }
  bool operator<(const Guid &o) const { return bytes < o.bytes; }
};

extern const Guid kFfs2FileSystemGuid;
extern const Guid kFfs3FileSystemGuid;
extern const Guid kLzmaSectionGuid;
extern const Guid kCrc32SectionGuid;
extern const Guid kPeiAprioriGuid;
// The volume top file: it ends at the end of its volume (the reset vector
// of a boot volume lies in its last 16 bytes).
extern const Guid kVolumeTopFileGuid;
extern const Guid kStallPpiGuid;

// Lines about work under way (a large section being packed), told as it
// happens: fvtool sends them to stderr; without a sink they go nowhere.
void SetProgressSink(std::function<void(const std::string &)> sink);
void Progress(const std::string &line);

// Whole-file I/O with the shared rules (file_io.h): bounded regular-file
// inputs; outputs replaced whole, never through a link or onto a device.
// The path "-" is standard input (read to its end, within the same bound)
// or standard output (never a terminal).
constexpr const char kStdio[] = "-";
Bytes ReadFile(const std::string &path);
void WriteFileAtomic(const std::string &path, const Bytes &bytes);

}  // namespace fv

#endif  // TOOLS_FV_FV_COMMON_H_

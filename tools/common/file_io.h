// File input and output shared by the project's tools.
//
// Inputs are regular files of bounded size: a directory, a device, a FIFO or
// an endless stream (/dev/zero) is refused with a one-line reason instead of
// being read until memory runs out.
//
// Outputs are replaced whole: the new contents go to an unnamed file in the
// output's folder, which gets a name only once it is complete and is then
// renamed over the output, so an interrupted run (a full disk, a file size
// limit, a signal) leaves the old output and no stray file behind. An
// existing output must be a plain file with one link: writing through a
// symbolic link, to a device or FIFO, or to one of several hard links would
// not do what the user expects, so it is refused. The new file keeps the
// old one's permission bits.
#ifndef TOOLS_COMMON_FILE_IO_H_
#define TOOLS_COMMON_FILE_IO_H_

#include <cstdint>
#include <string>
#include <vector>

namespace toolio {

// Inputs larger than this are refused unless a caller asks for another bound.
constexpr uint64_t kMaxInputBytes = 256ull << 20;

// Reads a whole regular file of at most maxBytes bytes. False with a one-line
// error ("PATH: is a directory", "PATH: larger than ... bytes", ...).
bool ReadInput(const std::string &path, std::vector<uint8_t> &bytes, std::string &error,
               uint64_t maxBytes = kMaxInputBytes);

// Whether two paths name the same existing file (same device and inode).
bool SameFile(const std::string &a, const std::string &b);

// Checks that path may be written as an output: absent, or a regular file
// with a single link, not a symbolic link. False with a one-line error.
bool CheckOutputPath(const std::string &path, std::string &error);

// Replaces path with bytes as described above. False with a one-line error;
// nothing is left behind on failure.
bool WriteOutput(const std::string &path, const std::vector<uint8_t> &bytes, std::string &error);

}  // namespace toolio

#endif  // TOOLS_COMMON_FILE_IO_H_

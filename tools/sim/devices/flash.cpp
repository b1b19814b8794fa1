#include "flash.h"

#include "file_io.h"

namespace peimsim {

bool Flash::Load(const std::string &codePath, const std::string &varsPath, std::string &error) {
  auto read = [&](const std::string &path, std::vector<uint8_t> &into) {
    if (!toolio::ReadInput(path, into, error, kMaxFlashBytes)) return false;
    if (into.empty() || into.size() % 0x1000 != 0) {
      error = path + ": a flash image is a whole number of 4 KiB blocks, not " +
              std::to_string(into.size()) + " bytes";
      return false;
    }
    return true;
  };
  if (!read(codePath, code)) return false;
  if (!varsPath.empty() && !read(varsPath, vars)) return false;
  if (code.size() + vars.size() > kMaxFlashBytes) {
    error = (varsPath.empty() ? codePath : varsPath) +
            ": the flash images together exceed 16 MiB, the space above the device window";
    return false;
  }
  return true;
}

}  // namespace peimsim

// The firmware flash of the q35 machine: the code image (CODE.fd) at the top
// of the 4 GiB space and the variable store (VARS.fd) right below it, as
// QEMU maps its two pflash devices, read-only to the processor.
#ifndef TOOLS_SIM_DEVICES_FLASH_H_
#define TOOLS_SIM_DEVICES_FLASH_H_

#include <cstdint>
#include <string>
#include <vector>

namespace peimsim {

// The flash must stay above the device window (0xFF000000).
constexpr uint64_t kMaxFlashBytes = 16u << 20;

struct Flash {
  std::vector<uint8_t> code, vars;
  uint32_t CodeBase() const { return uint32_t(0x100000000ull - code.size()); }
  uint32_t VarsBase() const { return uint32_t(CodeBase() - vars.size()); }
  uint32_t Base() const { return VarsBase(); }
  uint32_t Size() const { return uint32_t(code.size() + vars.size()); }
  // Reads the images; false with "FILE: problem" for one that is missing,
  // empty, not a multiple of 4 KiB, or too large together.
  bool Load(const std::string &codePath, const std::string &varsPath, std::string &error);
};

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_FLASH_H_

// What a run is checked for: violations, each with its cause in one line,
// and the bounds that keep a hostile image's cost fixed.
#ifndef TOOLS_SIM_CHECKS_H_
#define TOOLS_SIM_CHECKS_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace peimsim {

// Bounds that keep a hostile image's cost in memory and output fixed
// whatever the instruction budget: the trace keeps its first kEventLimit
// events (the rest are counted), the PPI database holds kPpiLimit entries,
// and a run stops at its kViolationLimit-th violation.
constexpr size_t kEventLimit = 50000;
constexpr size_t kPpiLimit = 256;
constexpr size_t kViolationLimit = 500;
// Blocks within kDeadLoopSpan bytes of each other, run this often with no
// write, access or call, are a dead loop.
constexpr uint64_t kDeadLoopRepeats = 100000;
constexpr uint32_t kDeadLoopSpan = 128;
constexpr uint64_t kMaxBudget = 1ull << 40;

struct Violation {
  std::string kind;     // short stable tag: "unclaimed-mmio", "write-outside", ...
  std::string message;  // one line
  uint32_t eip = 0;
  bool hasEip = false;
};

// "1 byte", "4 bytes", for messages.
inline std::string Bytes(int size) {
  return std::to_string(size) + (size == 1 ? " byte" : " bytes");
}

// EFLAGS.DF: clear on entry to and return from any EFIAPI function.
constexpr uint32_t kDirectionFlag = 0x400;

}  // namespace peimsim

#endif  // TOOLS_SIM_CHECKS_H_

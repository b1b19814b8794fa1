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
// write, access or call, that come back to a block with the registers they
// had there half as many rounds before, are a dead loop.
constexpr uint64_t kDeadLoopRepeats = 100000;
constexpr uint32_t kDeadLoopSpan = 128;
constexpr uint64_t kMaxBudget = 1ull << 40;

struct Violation {
  std::string kind;     // short stable tag: "unclaimed-mmio", "write-outside", ...
  std::string message;  // one line (the first time, for a repeated one)
  uint32_t eip = 0;
  bool hasEip = false;
  // The same kind made by the same instruction again (a REP STOSD, a loop)
  // is one violation, counted.
  uint64_t count = 1;
};

// An access to a PCI function that is not there: a read gives all ones, as
// on real hardware, and the code that made it took that for an answer.
// Under --any-peim each distinct one is listed with its count.
struct AbsentAccess {
  uint32_t configAddress = 0;  // CONFIG_ADDRESS's bus, device, function
  uint32_t offset = 0;         // the register
  uint8_t width = 0;           // bits
  bool write = false;
  uint32_t eip = 0;            // the first instruction that made it
  uint64_t count = 0;
};
constexpr size_t kAbsentAccessLimit = 256;  // distinct ones kept

// "1 byte", "4 bytes", for messages.
inline std::string Bytes(int size) {
  return std::to_string(size) + (size == 1 ? " byte" : " bytes");
}

// EFLAGS.DF: clear on entry to and return from any EFIAPI function.
constexpr uint32_t kDirectionFlag = 0x400;

}  // namespace peimsim

#endif  // TOOLS_SIM_CHECKS_H_

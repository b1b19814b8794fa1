// Names and bit fields of registers, as a platform file gives them
// (field statements): the trace says "Command[7:0] ... {MEM BM}" instead of
// a bare offset and value.
#ifndef TOOLS_SIM_REGISTER_LAYOUT_H_
#define TOOLS_SIM_REGISTER_LAYOUT_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace peimsim {

constexpr size_t kMaxRegisterLayouts = 1024;
constexpr size_t kMaxBitFields = 32;

struct BitField {
  std::string name;
  uint8_t lo = 0, hi = 0;  // bits lo..hi of the register
};

struct RegisterLayout {
  // A function's configuration space, its BAR0 register file, or a
  // register block at a fixed address.
  enum Space { kConfig, kRegs, kBlock } space = kConfig;
  bool everyFunction = false;  // "*": every PCI function (one naming its own wins)
  uint8_t bus = 0, device = 0, function = 0;
  uint32_t block = 0;  // kBlock: the block's base address
  uint32_t offset = 0, bytes = 0;
  std::string name;
  std::vector<BitField> fields;
  unsigned line = 0;  // in its file, for messages
};

// Which registers an access reached, named, and its value's fields.
struct RegisterText {
  std::string name;    // "Command", "Command[15:8]", "Command/Status"; "" for none
  std::string fields;  // "{MEM BM}", "{CLS=0x08 LT=0x40}"; "" where none are declared
  std::vector<std::pair<std::string, uint64_t>> values;  // every field held whole, set or not
};

// The layouts of one space of one function or block: layouts naming it
// first, then those for every function that it does not override.
std::vector<const RegisterLayout *> LayoutsFor(const std::vector<RegisterLayout> &all,
                                               RegisterLayout::Space space, uint8_t bus,
                                               uint8_t device, uint8_t function, uint32_t block);

// An access of width bits at offset with value, among the layouts of its
// space (LayoutsFor). The fields shown are those the access covers whole:
// a one-bit field by its name when set, a wider one as NAME=value.
RegisterText DescribeAccess(const std::vector<const RegisterLayout *> &layouts, uint32_t offset,
                            int width, uint64_t value);

}  // namespace peimsim

#endif  // TOOLS_SIM_REGISTER_LAYOUT_H_

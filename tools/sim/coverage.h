// The image's executed basic blocks, collected while --coverage is given,
// and written as a drcov file (version 2: a text header with one module,
// then the binary table of blocks) that coverage viewers for disassemblers
// load onto the image to show which paths a run took.
#ifndef TOOLS_SIM_COVERAGE_H_
#define TOOLS_SIM_COVERAGE_H_

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace peimsim {

// Distinct blocks kept; a hostile image that makes more gets the first ones
// (8 bytes each in the file) and the rest are counted.
constexpr size_t kCoverageBlockLimit = 1u << 20;

struct CoveredBlock {
  uint32_t offset = 0;  // from the module's load address (its RVA)
  uint16_t size = 0;    // bytes
  bool operator<(const CoveredBlock &o) const {
    return offset != o.offset ? offset < o.offset : size < o.size;
  }
  bool operator==(const CoveredBlock &o) const { return offset == o.offset && size == o.size; }
};

// The module as drcov's module table describes it.
struct CoverageModule {
  std::string path;      // shown by viewers; control characters are escaped
  uint32_t base = 0;     // load address
  uint32_t end = 0;      // load address + SizeOfImage
  uint32_t entry = 0;    // entry point address
  uint32_t checksum = 0;   // the PE header's
  uint32_t timestamp = 0;  // the PE header's
};

class Coverage {
 public:
  // A block of `size` bytes at `offset` ran (sizes above 0xFFFF are cut, as
  // the table's field is 16 bits; an emulator block is far shorter).
  void Add(uint32_t offset, uint32_t size);
  // The distinct blocks, by offset.
  std::vector<CoveredBlock> Blocks() const;
  uint64_t Dropped() const { return dropped_; }
  bool Empty() const { return seen_.empty(); }

 private:
  std::unordered_set<uint64_t> seen_;
  uint64_t dropped_ = 0;
};

// The drcov file: "DRCOV VERSION: 2", "DRCOV FLAVOR: drcov", the module
// table (version 2, one module, id 0), "BB Table: N bbs", then N records of
// {uint32 start offset, uint16 size, uint16 module id}, little-endian.
std::vector<uint8_t> DrcovFile(const CoverageModule &module,
                               const std::vector<CoveredBlock> &blocks);

}  // namespace peimsim

#endif  // TOOLS_SIM_COVERAGE_H_

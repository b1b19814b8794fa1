#include "coverage.h"

#include <algorithm>
#include <cstdio>

namespace peimsim {

void Coverage::Add(uint32_t offset, uint32_t size) {
  uint64_t key = uint64_t(offset) << 16 | std::min<uint32_t>(size, 0xFFFF);
  if (seen_.size() >= kCoverageBlockLimit && !seen_.count(key)) {
    dropped_++;
    return;
  }
  seen_.insert(key);
}

std::vector<CoveredBlock> Coverage::Blocks() const {
  std::vector<CoveredBlock> blocks;
  blocks.reserve(seen_.size());
  for (uint64_t key : seen_) blocks.push_back({uint32_t(key >> 16), uint16_t(key & 0xFFFF)});
  std::sort(blocks.begin(), blocks.end());
  return blocks;
}

namespace {

// The header is read line by line, so a path may not break its line; drcov
// has no quoting, so control characters become \xNN.
std::string HeaderText(const std::string &path) {
  std::string out;
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7F) {
      char b[8];
      snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    } else {
      out += char(c);
    }
  }
  return out;
}

}  // namespace

std::vector<uint8_t> DrcovFile(const CoverageModule &m, const std::vector<CoveredBlock> &blocks) {
  char line[256];
  std::string header = "DRCOV VERSION: 2\nDRCOV FLAVOR: drcov\n";
  header += "Module Table: version 2, count 1\n";
  header += "Columns: id, base, end, entry, checksum, timestamp, path\n";
  snprintf(line, sizeof line, " 0, 0x%08x, 0x%08x, 0x%08x, 0x%08x, 0x%08x, ", m.base, m.end,
           m.entry, m.checksum, m.timestamp);
  header += line + HeaderText(m.path) + "\n";
  snprintf(line, sizeof line, "BB Table: %zu bbs\n", blocks.size());
  header += line;
  std::vector<uint8_t> out(header.begin(), header.end());
  out.reserve(out.size() + 8 * blocks.size());
  for (const CoveredBlock &b : blocks) {
    const uint8_t record[8] = {uint8_t(b.offset),       uint8_t(b.offset >> 8),
                               uint8_t(b.offset >> 16), uint8_t(b.offset >> 24),
                               uint8_t(b.size),         uint8_t(b.size >> 8),
                               0,                       0};  // module id 0
    out.insert(out.end(), record, record + 8);
  }
  return out;
}

}  // namespace peimsim

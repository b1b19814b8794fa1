#include "register_layout.h"

#include <algorithm>

#include "pi_names.h"

namespace peimsim {
namespace {

bool Names(const RegisterLayout &l, RegisterLayout::Space space, uint8_t bus, uint8_t device,
           uint8_t function, uint32_t block) {
  if (l.space != space) return false;
  if (space == RegisterLayout::kBlock) return l.block == block;
  return !l.everyFunction && l.bus == bus && l.device == device && l.function == function;
}

bool Overlap(const RegisterLayout &a, const RegisterLayout &b) {
  return a.offset < b.offset + b.bytes && b.offset < a.offset + a.bytes;
}

}  // namespace

std::vector<const RegisterLayout *> LayoutsFor(const std::vector<RegisterLayout> &all,
                                               RegisterLayout::Space space, uint8_t bus,
                                               uint8_t device, uint8_t function, uint32_t block) {
  std::vector<const RegisterLayout *> own, out;
  for (const RegisterLayout &l : all)
    if (Names(l, space, bus, device, function, block)) own.push_back(&l);
  out = own;
  if (space != RegisterLayout::kBlock)
    for (const RegisterLayout &l : all) {
      if (l.space != space || !l.everyFunction) continue;
      bool overridden = false;
      for (const RegisterLayout *o : own) overridden |= Overlap(*o, l);
      if (!overridden) out.push_back(&l);
    }
  std::sort(out.begin(), out.end(),
            [](const RegisterLayout *a, const RegisterLayout *b) { return a->offset < b->offset; });
  return out;
}

RegisterText DescribeAccess(const std::vector<const RegisterLayout *> &layouts, uint32_t offset,
                            int width, uint64_t value) {
  RegisterText t;
  uint32_t end = offset + uint32_t(width / 8);
  std::string fields;
  bool anyFields = false;
  for (const RegisterLayout *l : layouts) {
    uint32_t first = std::max(offset, l->offset), last = std::min(end, l->offset + l->bytes);
    if (first >= last) continue;
    // The register's bits this access holds: lo..hi, at access bit shift + bit.
    unsigned lo = (first - l->offset) * 8, hi = (last - l->offset) * 8 - 1;
    int shift = int(l->offset) - int(offset);  // in bytes
    std::string name = l->name;
    if (lo != 0 || hi != l->bytes * 8 - 1)
      name += "[" + std::to_string(hi) + ":" + std::to_string(lo) + "]";
    t.name += (t.name.empty() ? "" : "/") + name;
    for (const BitField &f : l->fields) {
      anyFields = true;
      if (f.lo < lo || f.hi > hi) continue;
      unsigned at = unsigned(int(f.lo) + shift * 8);
      uint64_t bits = (value >> at) & ((uint64_t(1) << (f.hi - f.lo + 1)) - 1);
      t.values.emplace_back(f.name, bits);
      if (f.hi == f.lo) {
        if (bits) fields += (fields.empty() ? "" : " ") + f.name;
      } else {
        fields += (fields.empty() ? "" : " ") + f.name + "=" +
                  Hex(bits, int((f.hi - f.lo) / 4 + 1));
      }
    }
  }
  if (anyFields) t.fields = "{" + fields + "}";
  return t;
}

}  // namespace peimsim

#include "placement.h"

#include <cstdio>

#include "pe_image.h"

namespace testbed {
namespace {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", (unsigned long long)value);
  return text;
}

}  // namespace

bool CheckPlacement(const std::vector<uint8_t> &placed, const std::vector<uint8_t> &built,
                    uint32_t volumeOffset, Placement &out, std::string &error) {
  pe::Image p, b;
  if (!pe::ParseAny(placed, p, error)) {
    error = "the placed image: " + error;
    return false;
  }
  if (!pe::ParseAny(built, b, error)) {
    error = "the built image: " + error;
    return false;
  }
  if (p.IsTe() != b.IsTe()) {
    error = std::string("the placed image is ") + (p.IsTe() ? "TE" : "PE32") +
            ", the built one " + (b.IsTe() ? "TE" : "PE32");
    return false;
  }
  if (uint64_t(kPeiVolumeBase) + volumeOffset + placed.size() > kPeiVolumeEnd) {
    error = "offset " + Hex(volumeOffset) + " puts the image outside the PEI volume";
    return false;
  }
  out = Placement();
  const uint32_t where = kPeiVolumeBase + volumeOffset;
  out.extent = {where, uint32_t(where + placed.size())};
  auto check = [&](const std::string &what, bool ok, const std::string &detail) {
    out.checks.push_back({what, ok, ok ? "" : detail});
  };

  // A TE image's data (its header) lies headerRva bytes above its base.
  const uint64_t runs = uint64_t(p.imageBase) + p.headerRva;
  check("the module's image is linked to run where it lies in the PEI volume, " + Hex(where),
        runs == where,
        "ImageBase " + Hex(p.imageBase) + " puts its first byte at " + Hex(runs));

  // The built image moved to the placed one's base must give the placed
  // bytes: ImageBase and every fixup, and nothing else, changed.
  std::string why;
  pe::Image expected = b;
  bool rebased = pe::RebaseFile(expected, p.imageBase, why);
  size_t differ = 0, first = 0;
  if (rebased) {
    for (size_t i = 0; i < placed.size() && i < expected.bytes.size(); i++) {
      if (placed[i] != expected.bytes[i] && differ++ == 0) first = i;
    }
  }
  check("the placed image is the built one with ImageBase and all " +
            std::to_string(b.relocations.size()) + " fixups moved to " + Hex(p.imageBase),
        rebased && !b.relocations.empty() && placed.size() == expected.bytes.size() && differ == 0,
        !rebased                     ? "the built image cannot move there: " + why
        : b.relocations.empty()      ? "the built image has no fixups to show it"
        : placed.size() != b.bytes.size()
            ? std::to_string(placed.size()) + " bytes placed, " +
                  std::to_string(b.bytes.size()) + " built"
            : std::to_string(differ) + " bytes differ, the first at offset " + Hex(first));
  return true;
}

}  // namespace testbed

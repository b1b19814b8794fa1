// The functions and data of an image, from its linker map, for the trace:
// "+0x0350  PciUpdateAt<32>+0x0D" says which function made an access.
#ifndef TOOLS_SIM_SYMBOLS_H_
#define TOOLS_SIM_SYMBOLS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "link_map.h"
#include "pe_image.h"

namespace peimsim {

class ImageSymbols {
 public:
  // The symbols of map, checked against the image they are to name: the
  // same preferred base and entry point, and each output section of the map
  // at an image section's RVA with its contributions inside it. A map of
  // another build or another module fails with the first misfit in one line.
  bool Load(const pe::LinkMap &map, const pe::Image &image, std::string &error);

  // "PciUpdateAt<32>+0x0D" for an RVA inside a symbol (up to the next one
  // or the end of its section's contributions), "" elsewhere.
  std::string Name(uint32_t rva) const;
  bool Empty() const { return symbols_.empty(); }
  size_t Count() const { return symbols_.size(); }

 private:
  struct Symbol {
    uint32_t rva, end;
    std::string name;
  };
  std::vector<Symbol> symbols_;  // by RVA
};

// A linked name as a firmware engineer reads it: "_ZeroMem" is ZeroMem,
// "?GetEhciController@@YAI..." is GetEhciController, and a template
// instance "??$PciUpdateAt@$0CA@@@YGXIII@Z" is PciUpdateAt<32>.
std::string UndecoratedName(const std::string &linked);

// The map beside an image: its path with the extension replaced by .map
// (build/UsbControllerPeim.efi and .te: build/UsbControllerPeim.map).
std::string MapBeside(const std::string &imagePath);

}  // namespace peimsim

#endif  // TOOLS_SIM_SYMBOLS_H_

// What the text and JSON renderings of a run share: how an access's target
// is named, the entry's figures, and what the module left behind.
#ifndef TOOLS_SIM_REPORT_INTERNAL_H_
#define TOOLS_SIM_REPORT_INTERNAL_H_

#include <string>
#include <vector>

#include "platform.h"
#include "symbols.h"

namespace peimsim {

// The length of the well-formed UTF-8 sequence at s[i] (no overlong forms,
// no surrogates, nothing above U+10FFFF), or 0; its code point in cp.
size_t Utf8Sequence(const std::string &s, size_t i, uint32_t &cp);

// BB:DD.F of a CONFIG_ADDRESS value.
std::string Bdf(uint32_t configAddress);

// The register a configuration or memory-mapped access reached: the
// platform file's name and fields, else the built-in name; empty for others.
RegisterText NamedRegister(const Platform &platform, const Event &event);

// The function holding address, from the image's symbols ("" without them
// or outside the image): "PciUpdateAt<8>+0x10".
std::string FunctionAt(const Platform &platform, const ImageSymbols *symbols, uint32_t address);

// What an access touched, in a firmware engineer's words.
std::string TargetText(const Platform &platform, const Event &event);

// The entry's figures: every event, recorded in the trace or not.
const EventCounts &Count(const Platform &platform);

// What the module left behind in the Foundation, from the platform's state:
// the PPIs it installed, the HOBs it created and the pool it took (above
// the HOB list the earlier PEIMs left), the notifications it registered and
// whether their callbacks ran. Its real work may wait in one that did not.
struct ModuleWork {
  std::vector<std::string> installed, created, pool, pages, registered;
  std::vector<std::string> waiting;  // callbacks that never ran, shadowing not done
};

ModuleWork Work(const Platform &platform);

}  // namespace peimsim

#endif  // TOOLS_SIM_REPORT_INTERNAL_H_

// How peim-sim shows its trace: which events (--only), PCI configuration
// accesses as one line each (--trace pci), and the registers at the end of
// the run (--dump).
#ifndef TOOLS_SIM_TRACE_FORMAT_H_
#define TOOLS_SIM_TRACE_FORMAT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

namespace peimsim {

// One --only selection: KIND[:WHAT].
//   pci[:BB:DD.F]               configuration accesses (of one function)
//   io[:PORT[-PORT]]            port accesses (in a range of ports)
//   mmio[:ADDRESS[-ADDRESS]]    memory-mapped accesses (in an address range)
//   mmio:BB:DD.F                a function's register file
//   ram[:ADDRESS[-ADDRESS]]     writes to RAM the run watches
//   service[:NAME]              PEI service calls (of one service or PPI member)
//   console                     debug console lines
struct TraceFilter {
  enum Kind { kPci, kIo, kMmio, kRam, kService, kConsole } kind = kPci;
  bool function = false;  // a PCI function is named
  unsigned bus = 0, device = 0, fn = 0;
  bool range = false;  // a port or address range is named
  uint32_t first = 0, last = 0;
  std::string name;  // a service's name
};

struct TraceView {
  bool pci = false;                // --trace pci
  std::vector<TraceFilter> only;   // --only, any of them (none: every event)
  bool dump = false;               // --dump
  bool Filtered() const { return !only.empty(); }
};

// False with a one-line error naming the option for anything malformed.
bool ParseTraceFilter(const std::string &text, TraceFilter &filter, std::string &error);

// Whether the view shows the event: --only selects it, and --trace pci does
// not fold it into the configuration access that follows.
bool Shown(const TraceView &view, const Platform &platform, const Event &event);

// A PCI configuration-data access, as --trace pci shows it.
bool IsConfigAccess(const Event &event);

// The PCI configuration space and register file of each function the run
// touched, and each register block it touched: a hex dump of the 16-byte
// rows it read or wrote, at their values when the run ended.
std::string DumpText(const Platform &platform);

}  // namespace peimsim

#endif  // TOOLS_SIM_TRACE_FORMAT_H_

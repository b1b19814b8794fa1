// What a boot shows: the SEC hand-off, the trace (services, port and
// memory-mapped accesses, each with the image that made it), the PEIMs in
// dispatch order with what each did, the hand-off to the DXE core and its
// HOB list; as text or JSON; the coverage of every image in one drcov file.
#ifndef TOOLS_SIM_BOOT_BOOT_REPORT_H_
#define TOOLS_SIM_BOOT_BOOT_REPORT_H_

#include <string>
#include <vector>

#include "boot_machine.h"

namespace peimsim::boot {

struct BootReport {
  std::string firmwarePath, varsPath;
  const BootMachine *machine = nullptr;
  BootOutcome outcome;
  bool quiet = false;  // no trace
};

// One trace line's event text, without the number and the image column:
// "IN  16 PCI 00:00.0 +0x02 -> 0x29C0", "LocatePpi(...) -> EFI_SUCCESS".
std::string EventText(const BootMachine &m, const BootEvent &e);
// The PCI configuration accesses of the run, one a line, as
// "read 00:1f.0 @0x40 /4 -> 0x601" ("write ... <- VALUE"), in order.
std::vector<std::string> PciConfigLines(const BootMachine &m);
// The PEIMs (and other images) in the order they were first entered.
std::vector<const RunImage *> DispatchOrder(const BootMachine &m);

std::string RenderBootText(const BootReport &r);
std::string RenderBootJson(const BootReport &r);
// drcov version 2 with one module per image that ran.
std::vector<uint8_t> BootCoverageFile(const BootMachine &m);

}  // namespace peimsim::boot

#endif  // TOOLS_SIM_BOOT_BOOT_REPORT_H_

// Reads the debug-console log of a test-bed boot (the lines written by the
// Stall provider and the USB consumer PEIMs) and judges it: what the
// consumer saw of the module, and the order of installation and Stall.
#ifndef TESTS_QEMU_BOOT_LOG_H_
#define TESTS_QEMU_BOOT_LOG_H_

#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace testbed {

// Where the firmware keeps its PEI volume (SEC copies it there): modules
// run in place inside it.
constexpr uint32_t kPeiVolumeBase = 0x820000;
constexpr uint32_t kPeiVolumeEnd = 0x900000;

// "<source>: <event> key=value ...".
struct LogLine {
  size_t number = 0;  // 1-based line number in the log
  std::string source;
  std::string event;
  std::map<std::string, std::string> fields;

  bool Has(const std::string &key) const { return fields.count(key) != 0; }
  // A numeric field (0x-prefixed hexadecimal or decimal); nullopt if absent
  // or not a number.
  std::optional<uint32_t> Number(const std::string &key) const;
};

struct Controller {
  size_t line = 0;  // line of its "controller" event
  uint32_t id = 0, status = 0, type = 0, base = 0;
  // Capability registers read through the reported base (EHCI only).
  std::optional<uint32_t> capability;
};

struct PciFunction {
  size_t line = 0;  // line of its "pci" event
  uint32_t device = 0, function = 0;
  bool ohci = false;
  uint32_t ids = 0, command = 0, bar0 = 0;
  std::optional<uint32_t> hcRevision;
};

struct StallCall {
  size_t line = 0;  // line of its "begin"
  uint32_t microseconds = 0;
  uint32_t memory = 0;        // permanent memory installed at the call
  uint32_t usbPpi = 0;        // PEI_USB_CONTROLLER_PPI installed at the call
  std::optional<uint32_t> ticks;  // PM timer ticks waited, once it returned
};

// What a boot's log tells, event by event; a missing event stays empty.
struct BootReport {
  std::optional<size_t> stallProviderLine;
  uint32_t stallProviderMemory = 0;
  std::string acpiIo;
  std::optional<uint32_t> stallInstallStatus;

  std::optional<size_t> ppiInstalledLine;  // notification of PEI_USB_CONTROLLER_PPI
  uint32_t ppiInstalledMemory = 0;
  std::vector<StallCall> stalls;

  std::optional<size_t> consumerLine;
  uint32_t consumerMemory = 0;
  uint32_t locateStatus = 0;
  uint32_t ppi = 0;               // address of the PPI instance the consumer located
  uint32_t getUsbController = 0;  // address of the PPI's service
  std::vector<Controller> controllers;
  std::vector<PciFunction> functions;
  bool consumerDone = false;
  bool endOfPei = false;

  // Lines that could not be read, and events that cannot have happened in
  // one boot: an event given twice that happens once (an entry, a
  // controller id, a PCI function), a consumer event before its entry, or
  // anything after the consumer's "done" (it ends QEMU right after).
  std::vector<std::string> problems;
};

// Splits the log into lines "<source>: <event> key=value ..."; a line that
// does not read so (no source, no event, a word without '=', a key given
// twice) goes to malformed, named by its line number.
std::vector<LogLine> ParseLog(std::istream &in, std::vector<std::string> *malformed = nullptr);
BootReport Interpret(const std::vector<LogLine> &lines);
BootReport ReadBootLog(std::istream &in);

// How the module is expected to have been dispatched.
enum class Dispatch {
  kAfterMemory,  // found after memory; copied to RAM and relocated
  kInPlace,      // from the apriori list, in place in the volume, before memory
};

struct Check {
  std::string what;
  bool ok = false;
  std::string detail;  // what was seen, when it failed
};

// Where the module's image lies in memory as it was placed in the volume:
// [start, end). The PPI's service, code of the module, must lie inside it
// when the module runs in place.
struct ModuleExtent {
  uint32_t start = 0, end = 0;
};

// The checks of a boot. With `extent` (in-place boots whose placement is
// known), also that the PPI's service lies inside the module's image there,
// which a module that ran from a relocated copy cannot show.
std::vector<Check> CheckBoot(const BootReport &report, Dispatch dispatch,
                             const std::optional<ModuleExtent> &extent = std::nullopt);

// A readable account of what the consumer and the Stall provider saw. Lists
// at most kMaxPrintedProblems problems and kMaxPrintedEvents Stall calls,
// controllers and PCI functions (the consumer asks for at most 256 ids), so
// that a log of garbage or repetition does not give a report as long.
constexpr size_t kMaxPrintedProblems = 20;
constexpr size_t kMaxPrintedEvents = 300;
void PrintReport(std::ostream &out, const BootReport &report);

}  // namespace testbed

#endif  // TESTS_QEMU_BOOT_LOG_H_

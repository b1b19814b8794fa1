// testbed-report [--apriori] [--placed IMAGE --built IMAGE --volume-offset N] LOG:
// prints what the test-bed PEIMs saw during a QEMU boot (the debug-console
// log LOG) and checks it. --apriori expects the module to have run in place
// before memory, otherwise after memory. --placed gives the module's image as
// it was put into the PEI volume, N bytes into it, and --built the image as
// built: the placement is checked too (linked to where it lies, the fixups
// moved), and the PPI's service must lie inside it.
// Exit status: 0 every check passed, 1 a check failed, 2 bad usage or a log
// that cannot be read (one line on stderr).
#include <iostream>
#include <sstream>
#include <string>

#include "boot_log.h"
#include "file_io.h"
#include "numbers.h"
#include "placement.h"
#include "tool_version.h"

namespace {

// A boot's log is a few KiB; the firmware's own debug output, when a debug
// build writes it to the same port, a few MiB at most.
constexpr uint64_t kMaxLogBytes = 16u << 20;
// A module image is a few KiB; the PEI volume it lies in, under 1 MiB.
constexpr uint64_t kMaxImageBytes = 1u << 20;

const char kHelp[] =
    "usage: testbed-report [--apriori] [--placed IMAGE --built IMAGE --volume-offset N] LOG\n"
    "\n"
    "Prints what the test-bed PEIMs saw during a QEMU boot (LOG, the debug-console log\n"
    "testbed/run-qemu.sh keeps) and checks it.\n"
    "\n"
    "  --apriori             the module ran in place before memory (otherwise: it was\n"
    "                        dispatched after memory)\n"
    "  --placed IMAGE        the module's image as it was put into the PEI volume ...\n"
    "  --volume-offset N     ... N bytes into it, and\n"
    "  --built IMAGE         the image as built: the placement is checked too (linked\n"
    "                        to where it lies, the fixups moved, the PPI's service\n"
    "                        inside it); the three go together\n"
    "  -h, --help            this text\n"
    "  --version             the version\n"
    "\n"
    "Exit status: 0 every check passed, 1 a check failed, 2 bad usage or a log that\n"
    "cannot be read (one line on stderr).\n";

int Usage(const std::string &problem) {
  std::cerr << "testbed-report: " << problem
            << " (usage: testbed-report [--apriori] [--placed IMAGE --built IMAGE "
               "--volume-offset N] LOG)\n";
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  testbed::Dispatch dispatch = testbed::Dispatch::kAfterMemory;
  std::string path, placedPath, builtPath, offsetText;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << toolio::VersionLine("testbed-report") << "\n\n" << kHelp;
      return 0;
    } else if (arg == "--version") {
      std::cout << toolio::VersionLine("testbed-report") << "\n";
      return 0;
    } else if (arg == "--apriori") {
      dispatch = testbed::Dispatch::kInPlace;
    } else if (arg == "--placed" || arg == "--built" || arg == "--volume-offset") {
      if (i + 1 == argc) return Usage(arg + " wants a value");
      std::string &value = arg == "--placed"  ? placedPath
                           : arg == "--built" ? builtPath
                                              : offsetText;
      if (!value.empty()) return Usage(arg + " given twice");
      value = argv[++i];
      if (value.empty()) return Usage("empty value for " + arg);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option '" + arg + "'");
    } else if (!path.empty()) {
      return Usage("more than one log");
    } else if (arg.empty()) {
      return Usage("empty log path");
    } else {
      path = arg;
    }
  }
  if (path.empty()) {
    return Usage("no log given");
  }
  std::string error;
  std::optional<testbed::Placement> placement;
  if (!placedPath.empty() || !builtPath.empty() || !offsetText.empty()) {
    if (placedPath.empty() || builtPath.empty() || offsetText.empty()) {
      return Usage("--placed, --built and --volume-offset go together");
    }
    uint64_t offset = 0;
    if (!toolio::ParseUnsigned(offsetText, 0, testbed::kPeiVolumeEnd - testbed::kPeiVolumeBase - 1,
                               offset, error)) {
      std::cerr << "testbed-report: --volume-offset: " << error << "\n";
      return 2;
    }
    std::vector<uint8_t> placed, built;
    if (!toolio::ReadInput(placedPath, placed, error, kMaxImageBytes) ||
        !toolio::ReadInput(builtPath, built, error, kMaxImageBytes)) {
      std::cerr << "testbed-report: " << error << "\n";
      return 2;
    }
    placement.emplace();
    if (!testbed::CheckPlacement(placed, built, uint32_t(offset), *placement, error)) {
      std::cerr << "testbed-report: " << placedPath << ": " << error << "\n";
      return 2;
    }
  }
  std::vector<uint8_t> bytes;
  if (!toolio::ReadInput(path, bytes, error, kMaxLogBytes)) {
    std::cerr << "testbed-report: " << error << "\n";
    return 2;
  }
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  testbed::BootReport report = testbed::ReadBootLog(in);
  testbed::PrintReport(std::cout, report);

  int failed = 0;
  std::vector<testbed::Check> checks =
      testbed::CheckBoot(report, dispatch,
                         placement ? std::optional<testbed::ModuleExtent>(placement->extent)
                                   : std::nullopt);
  if (placement) checks.insert(checks.end(), placement->checks.begin(), placement->checks.end());
  std::cout << "\nChecks (" << (dispatch == testbed::Dispatch::kInPlace
                                     ? "apriori, in place before memory"
                                     : "dispatched after memory")
            << "):\n";
  for (const testbed::Check &c : checks) {
    std::cout << (c.ok ? "  ok    " : "  FAIL  ") << c.what;
    if (!c.ok) {
      std::cout << ": " << c.detail;
      failed++;
    }
    std::cout << "\n";
  }
  std::cout << checks.size() - failed << " of " << checks.size() << " checks passed\n";
  return failed == 0 ? 0 : 1;
}

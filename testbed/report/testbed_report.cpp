// testbed-report [--apriori] LOG: prints what the test-bed PEIMs saw during a
// QEMU boot (the debug-console log LOG) and checks it. --apriori expects the
// module to have run in place before memory, otherwise after memory.
// Exit status: 0 every check passed, 1 a check failed, 2 bad usage or a log
// that cannot be read (one line on stderr).
#include <iostream>
#include <sstream>
#include <string>

#include "boot_log.h"
#include "file_io.h"

namespace {

// A boot's log is a few KiB; the firmware's own debug output, when a debug
// build writes it to the same port, a few MiB at most.
constexpr uint64_t kMaxLogBytes = 16u << 20;

int Usage(const std::string &problem) {
  std::cerr << "testbed-report: " << problem << " (usage: testbed-report [--apriori] LOG)\n";
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  testbed::Dispatch dispatch = testbed::Dispatch::kAfterMemory;
  std::string path;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--apriori") {
      dispatch = testbed::Dispatch::kInPlace;
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
  std::vector<uint8_t> bytes;
  std::string error;
  if (!toolio::ReadInput(path, bytes, error, kMaxLogBytes)) {
    std::cerr << "testbed-report: " << error << "\n";
    return 2;
  }
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  testbed::BootReport report = testbed::ReadBootLog(in);
  testbed::PrintReport(std::cout, report);

  int failed = 0;
  std::vector<testbed::Check> checks = testbed::CheckBoot(report, dispatch);
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

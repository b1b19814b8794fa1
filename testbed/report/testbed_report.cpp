// testbed-report [--apriori] LOG: prints what the test-bed PEIMs saw during a
// QEMU boot (the debug-console log LOG) and checks it. --apriori expects the
// module to have run in place before memory, otherwise after memory.
// Exit status: 0 every check passed, 1 a check failed, 2 bad usage or no log.
#include <fstream>
#include <iostream>
#include <string>

#include "boot_log.h"

int main(int argc, char **argv) {
  testbed::Dispatch dispatch = testbed::Dispatch::kAfterMemory;
  std::string path;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--apriori") {
      dispatch = testbed::Dispatch::kInPlace;
    } else if (path.empty() && !arg.empty() && arg[0] != '-') {
      path = arg;
    } else {
      path.clear();
      break;
    }
  }
  if (path.empty()) {
    std::cerr << "usage: testbed-report [--apriori] LOG\n";
    return 2;
  }
  std::ifstream in(path);
  if (!in) {
    std::cerr << "testbed-report: cannot read " << path << "\n";
    return 2;
  }
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

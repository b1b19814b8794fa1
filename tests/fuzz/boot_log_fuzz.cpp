// The boot-log reader and checker on arbitrary text, as testbed-report runs
// them: parse, interpret, check for both dispatch paths, print. Nothing may
// throw or read out of bounds, every problem and failed check is one line
// naming a line of the log, and the printed report stays in proportion to
// the log.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "boot_log.h"
#include "fuzz_check.h"

namespace {

using fuzzcheck::Check;
using fuzzcheck::Printable;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::istringstream in(text);
  const testbed::BootReport report = testbed::ReadBootLog(in);
  for (const std::string &problem : report.problems) {
    Check(problem.rfind("line ", 0) == 0);
    Check(Printable(problem));
  }
  for (testbed::Dispatch dispatch : {testbed::Dispatch::kAfterMemory, testbed::Dispatch::kInPlace}) {
    const std::vector<testbed::Check> checks = testbed::CheckBoot(report, dispatch);
    Check(!checks.empty());
    // A log with problems never passes: the first check says so.
    Check(checks[0].ok == report.problems.empty());
    for (const testbed::Check &c : checks) {
      Check(c.ok == c.detail.empty());
      Check(c.detail.find('\n') == std::string::npos);
    }
  }
  std::ostringstream out;
  testbed::PrintReport(out, report);
  // Each line of the log gives at most one line of report, of bounded length.
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  Check(out.str().size() <= 1024 + 512 * lines);
  return 0;
}

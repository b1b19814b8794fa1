// The USB boot-log reader and checker on arbitrary text, as testbed-usb-report
// runs them: read, check against two setups, classify for a retry, print.
// Nothing may throw or read out of bounds; every problem is one printable
// line naming a line of the log; a log with problems never passes and is
// never retried; the printed report stays in proportion to the log.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "usb_log.h"
#include "fuzz_check.h"

namespace {

using fuzzcheck::Check;
using fuzzcheck::Printable;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  const testbed::UsbBootReport report = testbed::ReadUsbBootLog(text);
  for (const std::string &problem : report.problems) {
    Check(problem.rfind("line ", 0) == 0);
    Check(Printable(problem));
    Check(problem.size() <= 210);
  }
  Check(Printable(report.result));
  testbed::UsbExpectation x;
  x.controller = 1;
  x.device = 0x13;
  x.function = 2;
  x.blocks = 8192;
  x.tag = 0x12345678;
  for (bool busMaster : {false, true}) {
    x.busMaster = busMaster;
    const std::vector<testbed::UsbCheck> checks = testbed::CheckUsbBoot(report, x);
    Check(!checks.empty());
    Check(checks[0].ok == report.problems.empty());
    for (const testbed::UsbCheck &c : checks) {
      Check(Printable(c.what));
      Check(Printable(c.detail));
      Check(c.ok == c.detail.empty() || !c.ok);
    }
  }
  uint32_t k = 99;
  if (testbed::ScheduleStartMissed(report, &k)) {
    Check(report.problems.empty());
    Check(k < 3);
    Check(report.usb2HostControllers == k);
  }
  std::ostringstream out;
  testbed::PrintUsbReport(out, report);
  // Each printed line stands for a line of the log, at most a few hundred
  // characters each, plus a fixed head.
  Check(out.str().size() <= 1024 + 400 * size);
  return 0;
}

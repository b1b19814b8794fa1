// testbed-usb-report --controller ID --function DD.F --blocks N --tag T
//                    --bus-master on|off LOG:
// prints what the USB reader PEIM (and the bus-master PEIM) saw during a
// QEMU boot of testbed/run-qemu-usb.sh (the debug-console log LOG) and checks
// it against what the boot set up: the stick on EHCI controller ID at PCI
// function 00:DD.F, N blocks of 512 bytes, its image tagged T, the bus-master
// PEIM in the volume or not.
// Exit status: 0 every check passed; 1 a check failed; 3 a check failed in
// the one way the emulator's timing explains (EhciPei missed its 10 ms
// schedule-start wait), so one more boot is worth it; 2 bad usage or a log
// that cannot be read (one line on stderr).
#include <iostream>
#include <string>

#include "file_io.h"
#include "numbers.h"
#include "tool_version.h"
#include "usb_log.h"

namespace {

// The firmware's debug build writes EDK2's USB messages to the same port: a
// boot's log is some KiB.
constexpr uint64_t kMaxLogBytes = 16u << 20;

const char kHelp[] =
    "usage: testbed-usb-report --controller ID --function DD.F --blocks N --tag T\n"
    "                          --bus-master on|off LOG\n"
    "\n"
    "Prints what the USB reader PEIM (and the bus-master PEIM) saw during a QEMU boot\n"
    "of testbed/run-qemu-usb.sh (LOG, its debug-console log) and checks it against\n"
    "what the boot set up.\n"
    "\n"
    "  --controller ID       the EHCI controller id (0-2) the stick is on\n"
    "  --function DD.F       that controller's PCI function, bus 0\n"
    "  --blocks N            the stick's size in 512-byte blocks (at least 32)\n"
    "  --tag T               the tag its image carries\n"
    "  --bus-master on|off   whether the bus-master PEIM is in the volume\n"
    "  -h, --help            this text\n"
    "  --version             the version\n"
    "\n"
    "Exit status: 0 every check passed; 1 a check failed; 3 a check failed in the one\n"
    "way the emulator's timing explains (EhciPei missed its 10 ms schedule-start\n"
    "wait), so one more boot is worth it; 2 bad usage or a log that cannot be read\n"
    "(one line on stderr).\n";

int Usage(const std::string &problem) {
  std::cerr << "testbed-usb-report: " << problem
            << " (usage: testbed-usb-report --controller ID --function DD.F --blocks N --tag T "
               "--bus-master on|off LOG)\n";
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  std::string path, controller, function, blocks, tag, busMaster;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << toolio::VersionLine("testbed-usb-report") << "\n\n" << kHelp;
      return 0;
    }
    if (arg == "--version") {
      std::cout << toolio::VersionLine("testbed-usb-report") << "\n";
      return 0;
    }
    std::string *value = arg == "--controller" ? &controller
                         : arg == "--function" ? &function
                         : arg == "--blocks"   ? &blocks
                         : arg == "--tag"      ? &tag
                         : arg == "--bus-master" ? &busMaster
                                                 : nullptr;
    if (value) {
      if (i + 1 == argc) return Usage(arg + " wants a value");
      if (!value->empty()) return Usage(arg + " given twice");
      *value = argv[++i];
      if (value->empty()) return Usage("empty value for " + arg);
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
  if (path.empty()) return Usage("no log given");
  if (controller.empty() || function.empty() || blocks.empty() || tag.empty() || busMaster.empty())
    return Usage("--controller, --function, --blocks, --tag and --bus-master are all needed");

  testbed::UsbExpectation x;
  std::string error;
  uint64_t v = 0;
  if (!toolio::ParseUnsigned(controller, 0, 2, v, error)) return Usage("--controller: " + error);
  x.controller = uint32_t(v);
  size_t dot = function.find('.');
  if (dot == std::string::npos) return Usage("--function wants DD.F, not '" + function + "'");
  if (!toolio::ParseUnsigned(function.substr(0, dot), 0, 31, v, error))
    return Usage("--function device: " + error);
  x.device = uint32_t(v);
  if (!toolio::ParseUnsigned(function.substr(dot + 1), 0, 7, v, error))
    return Usage("--function function: " + error);
  x.function = uint32_t(v);
  // The reader reads a 16-block run in the middle: the stick has at least 32.
  if (!toolio::ParseUnsigned(blocks, 32, 0xFFFFFFFF, v, error)) return Usage("--blocks: " + error);
  x.blocks = uint32_t(v);
  if (!toolio::ParseUnsigned(tag, 0, 0xFFFFFFFF, v, error)) return Usage("--tag: " + error);
  x.tag = uint32_t(v);
  if (busMaster != "on" && busMaster != "off")
    return Usage("--bus-master wants on or off, not '" + busMaster + "'");
  x.busMaster = busMaster == "on";

  std::vector<uint8_t> bytes;
  if (!toolio::ReadInput(path, bytes, error, kMaxLogBytes)) {
    std::cerr << "testbed-usb-report: " << error << "\n";
    return 2;
  }
  testbed::UsbBootReport report = testbed::ReadUsbBootLog(std::string(bytes.begin(), bytes.end()));
  testbed::PrintUsbReport(std::cout, report);

  std::vector<testbed::UsbCheck> checks = testbed::CheckUsbBoot(report, x);
  size_t failed = 0;
  std::cout << "\nChecks:\n";
  for (const testbed::UsbCheck &c : checks) {
    std::cout << (c.ok ? "  ok    " : "  FAIL  ") << c.what;
    if (!c.ok) {
      std::cout << ": " << c.detail;
      failed++;
    }
    std::cout << "\n";
  }
  std::cout << checks.size() - failed << " of " << checks.size() << " checks passed\n";
  if (failed == 0) return 0;
  uint32_t missed = 0;
  if (testbed::ScheduleStartMissed(report, &missed)) {
    std::cout << "EhciPei left controller id " << missed
              << " running without finishing its start: it missed its 10 ms schedule-start wait\n";
    return 3;
  }
  return 1;
}

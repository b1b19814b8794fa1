// testbed/run-qemu.sh booting a firmware image of one's own (--firmware), as
// testbed/README.md tells an engineer to make it: Debian's OVMF with the
// test bed's Stall provider, the module and the consumer inserted by fvtool.
// The runner keeps the boot's logs (--keep), QEMU's PCI configuration trace
// in them (--trace pci), passes QEMU arguments through (--qemu-arg), and
// refuses what it cannot do with one line and exit status 2.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tool_run.h"

namespace {

using testtool::ReadText;
using testtool::RunTool;
using testtool::ToolRun;

const std::string kBuild = BUILD_DIR;
const std::string kScratch = SCRATCH_DIR;

ToolRun Runner(std::vector<std::string> args) {
  args.insert(args.begin(), kBuild);
  return RunTool(RUN_QEMU_SH, args, kScratch);
}

// OVMF with the given firmware files inserted into its PEI volume; "" when
// fvtool fails (the test then fails on its output).
std::string Firmware(const std::string &name, const std::vector<std::string> &files) {
  std::vector<std::string> args = {"insert", OVMF_CODE_FD};
  for (const std::string &f : files) args.push_back(kBuild + "/" + f);
  const std::string out = kScratch + "/" + name;
  args.insert(args.end(), {"-o", out});
  ToolRun r = RunTool(kBuild + "/fvtool", args, kScratch);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.status == 0 ? out : "";
}

bool IsFile(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

TEST(RunQemuFirmware, BootsAnImageOfOnesOwnKeepingItsLogsAndPciTrace) {
  const std::string fd = Firmware("own.fd", {"TestbedStallPeim.ffs", "UsbControllerPeim.ffs",
                                             "TestbedUsbConsumerPeim.ffs"});
  ASSERT_FALSE(fd.empty());
  const std::string keep = kScratch + "/kept";
  ToolRun r = Runner({"--firmware", fd, "--keep", keep, "--trace", "pci", "--timeout", "60"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("the firmware image " + fd + " as it is"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("checks passed"), std::string::npos) << r.out;
  for (const char *kept : {"debug.log", "qemu.out", "pci-trace.log"})
    EXPECT_TRUE(IsFile(keep + "/" + kept)) << kept;
  // The given image is not copied: it is the user's own.
  EXPECT_FALSE(IsFile(keep + "/firmware.fd"));
  EXPECT_NE(ReadText(keep + "/debug.log").find("consumer: "), std::string::npos);
  // QEMU's own record of the module's BAR0 writes, one line per access.
  const std::string trace = ReadText(keep + "/pci-trace.log");
  for (const char *write : {"pci_cfg_write usb-ehci 00:12.2 @0x10 <- 0xf0008000",
                            "pci_cfg_write usb-ehci 00:13.2 @0x10 <- 0xf0009000",
                            "pci_cfg_write usb-ehci 00:16.2 @0x10 <- 0xf000a000"})
    EXPECT_NE(trace.find(write), std::string::npos) << write;
  EXPECT_NE(r.out.find("PCI configuration trace: "), std::string::npos) << r.out;
}

// OVMF has no Stall PPI: the module inserted alone never runs, and the boot
// goes on to the timeout with nothing of the test bed in its log.
TEST(RunQemuFirmware, TheModuleWithoutAStallProviderNeverRuns) {
  const std::string fd = Firmware("alone.fd", {"UsbControllerPeim.ffs", "TestbedUsbConsumerPeim.ffs"});
  ASSERT_FALSE(fd.empty());
  const std::string keep = kScratch + "/alone";
  ToolRun r = Runner({"--firmware", fd, "--keep", keep, "--timeout", "15"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("no report within 15 s"), std::string::npos) << r.out;
  EXPECT_EQ(ReadText(keep + "/debug.log").find("consumer: "), std::string::npos);
}

// What follows --qemu-arg reaches QEMU's command line: an option it does not
// know ends it at once, and the runner shows what QEMU said.
TEST(RunQemuFirmware, QemuArgumentsArePassedThrough) {
  ToolRun r = Runner({"--qemu-arg", "-no-such-option", "--timeout", "30"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("QEMU exited with status"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("-no-such-option"), std::string::npos) << r.out;
}

TEST(RunQemuFirmware, RefusesWhatItCannotDoInOneLine) {
  const std::string file = kScratch + "/a-file";
  ASSERT_EQ(RunTool("/bin/touch", {file}, kScratch).status, 0);
  const struct {
    std::vector<std::string> args;
    const char *message;
  } rows[] = {
      {{"--trace", "usb", "--keep", kScratch}, "--trace knows only 'pci'"},
      {{"--trace", "pci"}, "--keep DIR"},
      {{"--firmware", kScratch + "/missing.fd"}, "missing.fd is not a file"},
      {{"--firmware", file, "--apriori"}, "--firmware FD is booted as it is"},
      {{"--firmware", file, "--te"}, "--firmware FD is booted as it is"},
      {{"--keep", file + "/sub"}, "--keep: cannot write into"},
      {{"--qemu-arg"}, "usage:"},
      {{"--firmware"}, "usage:"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.message);
    ToolRun r = Runner(row.args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace

// UsbControllerPeim inside the real PEI phase: inserted with the test bed's
// Stall provider into Debian's OVMF IA-32 image (fvtool insert), booted with
// peim-sim --boot on q35 plus the USB chipset. The firmware's own core
// finds, loads and dispatches it, and its hardware accesses are the 146 of
// its standalone run, access for access: the same instruction (offset in
// the image), direction, width, port or address and value.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <tuple>

#include "test_support.h"
#include "tool_run.h"

namespace {

const char kOvmf[] = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";

using Access = std::tuple<uint32_t, std::string, int, uint32_t, uint64_t>;  // rva, dir, bits, where, value

std::vector<Access> StandaloneAccesses(const std::string &out) {
  std::vector<Access> a;
  std::regex line(R"(^ +\d+  \+0x([0-9A-F]+)  (?:\S+ +)?(IO|MMIO) +(in|out|rd|wr)(\d+) +0x([0-9A-F]+) +0x([0-9A-F]+))");
  std::istringstream in(out);
  std::string l;
  while (std::getline(in, l)) {
    std::smatch m;
    if (!std::regex_search(l, m, line)) continue;
    bool write = m[3] == "out" || m[3] == "wr";
    a.emplace_back(std::stoul(m[1], nullptr, 16), write ? "w" : "r", std::stoi(m[4]),
                   std::stoul(m[5], nullptr, 16), std::stoull(m[6], nullptr, 16));
  }
  return a;
}

std::vector<Access> BootAccesses(const std::string &out, const std::string &image) {
  std::vector<Access> a;
  std::regex port("^ +\\d+  " + image +
                  R"(\+0x([0-9A-F]+) +(OUT|IN ) (\d+) (?:port 0x([0-9A-F]+)|PCI \S+ \+0x[0-9A-F]+) (?:<-|->) 0x([0-9A-F]+))");
  std::regex mmio("^ +\\d+  " + image +
                  R"(\+0x([0-9A-F]+) +MMIO (read |write) (\d+) 0x([0-9A-F]+) (?:<-|->) 0x([0-9A-F]+))");
  std::istringstream in(out);
  std::string l;
  while (std::getline(in, l)) {
    std::smatch m;
    if (std::regex_search(l, m, port)) {
      // Configuration data goes through 0xCFC-0xCFF: the standalone trace
      // names the port, the boot the register; the port follows from the
      // register's byte lane, which both make the same.
      bool data = m[4].length() == 0;
      uint32_t where = data ? 0xCFC : std::stoul(m[4], nullptr, 16);
      a.emplace_back(std::stoul(m[1], nullptr, 16), m[2] == "OUT" ? "w" : "r", std::stoi(m[3]),
                     where, std::stoull(m[5], nullptr, 16));
    } else if (std::regex_search(l, m, mmio)) {
      a.emplace_back(std::stoul(m[1], nullptr, 16), m[2] == "write" ? "w" : "r", std::stoi(m[3]),
                     std::stoul(m[4], nullptr, 16), std::stoull(m[5], nullptr, 16));
    }
  }
  return a;
}

TEST(BootModule, UsbControllerPeimInsideTheRealPhaseMakesItsStandaloneAccesses) {
  if (!std::ifstream(kOvmf).good()) GTEST_SKIP() << "no " << kOvmf;
  std::string image = simtest::ScratchFile("boot-ovmf-usb.fd", {});
  testtool::ToolRun ins = testtool::RunTool(
      FVTOOL, {"insert", kOvmf, STALL_FFS, USB_PEIM_FFS, "-o", image}, SIM_SCRATCH_DIR);
  ASSERT_EQ(ins.status, 0) << ins.err;
  simtest::ToolRun boot =
      simtest::RunTool({"--boot", image, "--vars", "/usr/share/OVMF/OVMF32_VARS_4M.fd",
                        "--platform", "q35", "--usb-chipset"});
  // The Stall provider ends the phase itself at the end of PEI (it halts
  // QEMU there): the run names that halt, after the module ran.
  EXPECT_NE(boot.err.find("HLT at "), std::string::npos) << boot.err;
  EXPECT_NE(boot.err.find("(TestbedStallPeim+"), std::string::npos) << boot.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(boot.out, m, std::regex(R"(\d+\. UsbControllerPeim at 0x[0-9A-F]{8} \(loaded\): (\d+) instructions, (\d+) device accesses)")))
      << "the module was not dispatched";
  simtest::ToolRun alone = simtest::RunTool({USB_PEIM_IMAGE});
  ASSERT_EQ(alone.status, 0) << alone.err;
  std::vector<Access> expected = StandaloneAccesses(alone.out);
  std::vector<Access> actual = BootAccesses(boot.out, "UsbControllerPeim");
  // The standalone trace names configuration data by its port too.
  for (Access &a : expected)
    if (std::get<3>(a) >= 0xCFC && std::get<3>(a) <= 0xCFF) std::get<3>(a) = 0xCFC;
  EXPECT_EQ(expected.size(), 146u);
  EXPECT_EQ(std::stoul(m[2]), 146u);
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); i++)
    EXPECT_EQ(actual[i], expected[i]) << "access " << i + 1;
  // The same instructions: the entry's count as the standalone run has it.
  std::smatch n;
  ASSERT_TRUE(std::regex_search(alone.out, n, std::regex(R"(instructions +(\d+) in the entry)")));
  EXPECT_EQ(m[1], n[1]);
}

}  // namespace

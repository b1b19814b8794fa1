// What the report says happened, run as a process on small images: no
// consumer where none ran, pool and HOBs by their bytes, reads of absent
// PCI functions listed, a PEIM whose work waits in a callback that never
// ran called "entry only", and a countdown that ends by itself not taken
// for a dead loop.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using simtest::RunTool;
using simtest::ToolRun;

// The summary line with this label ("  label   text"), or "".
std::string SummaryLine(const std::string &out, const std::string &label) {
  size_t at = out.rfind("Summary\n", 0) == 0 ? 0 : out.find("\nSummary\n");
  if (at == std::string::npos) return "";
  at = out.find("\n  " + label + " ", at);
  if (at == std::string::npos) return "";
  return out.substr(at + 1, out.find('\n', at + 1) - at - 1);
}

std::string Image(const std::string &name, const std::vector<uint8_t> &code,
                  const std::vector<uint32_t> &fixups = {}) {
  return simtest::ScratchFile(name, simtest::BuildImage(code, fixups));
}

// NotifyPpi(PeiServices, descriptor at +24: NOTIFY_CALLBACK | TERMINATE_LIST,
// the GUID at +36, the callback at +21); returns EFI_SUCCESS.
std::vector<uint8_t> NotifyCode(const char *guid) {
  std::vector<uint8_t> code = {
      0x68, 0x18, 0x02, 0x00, 0x00,  // +0  push descriptor
      0x8B, 0x44, 0x24, 0x0C, 0x50,  // +5  push PeiServices
      0x8B, 0x00, 0xFF, 0x50, 0x24,  // +10 call NotifyPpi
      0x83, 0xC4, 0x08,              // +15 add esp, 8
      0x31, 0xC0, 0xC3,              // +18 xor eax, eax; ret
      0x31, 0xC0, 0xC3,              // +21 the callback: return EFI_SUCCESS
      0x20, 0x00, 0x00, 0x80,        // +24 Flags
      0x24, 0x02, 0x00, 0x00,        // +28 Guid
      0x15, 0x02, 0x00, 0x00};       // +32 Notify
  toolio::GuidBytes g{};
  EXPECT_TRUE(toolio::ParseGuid(guid, g)) << guid;
  code.insert(code.end(), g.begin(), g.end());
  return code;
}

struct Registration {
  const char *name;
  const char *guid;
  const char *registered;  // in the summary's "registered" line
  bool entryOnly;
};
void PrintTo(const Registration &r, std::ostream *os) { *os << r.name; }

const Registration kRegistrations[] = {
    // The Stall PPI is installed: the callback runs at once.
    {"ForAnInstalledPpi", "1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56",
     "gEfiPeiStallPpiGuid (callback, ran)", false},
    // Nobody installs this one: the PEIM's work never happened.
    {"ForAPpiNobodyInstalls", "D0000000-0000-4000-8000-0000000000EE",
     "(callback, never ran)", true},
};

class RegistrationTest : public ::testing::TestWithParam<Registration> {};

TEST_P(RegistrationTest, SaysWhetherItsCallbackRan) {
  const Registration &c = GetParam();
  std::string image = Image(std::string("notify-") + c.name + ".efi", NotifyCode(c.guid), {1, 28, 32});
  ToolRun r = RunTool({"--any-peim", "-q", image});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(SummaryLine(r.out, "registered").find(c.registered), std::string::npos) << r.out;
  EXPECT_EQ(!SummaryLine(r.out, "entry only").empty(), c.entryOnly) << r.out;
  ToolRun json = RunTool({"--any-peim", "--format", "json", "-q", image});
  EXPECT_NE(json.out.find(std::string("\"entry_only\": ") + (c.entryOnly ? "true" : "false")),
            std::string::npos)
      << json.out;
}

INSTANTIATE_TEST_SUITE_P(NotifyPpi, RegistrationTest, ::testing::ValuesIn(kRegistrations),
                         [](const ::testing::TestParamInfo<Registration> &i) { return i.param.name; });

// CONFIG_ADDRESS 00:14.0, then a 32-bit CONFIG_DATA read, twice: all ones
// from a function that is not there. Listed in either mode; a violation
// only for UsbControllerPeim.
TEST(AbsentFunctionReads, AreListedInTheSummaryAndJson) {
  const std::vector<uint8_t> read = {0xB8, 0x00, 0xA0, 0x00, 0x80, 0x66, 0xBA, 0xF8,
                                     0x0C, 0xEF, 0xB2, 0xFC, 0xED};
  std::vector<uint8_t> code = read;
  code.insert(code.end(), read.begin(), read.end());
  code.insert(code.end(), {0x31, 0xC0, 0xC3});
  std::string image = Image("absent-read.efi", code);
  for (bool anyPeim : {true, false}) {
    SCOPED_TRACE(anyPeim ? "--any-peim" : "UsbControllerPeim");
    std::vector<std::string> args = {"-q", image};
    if (anyPeim) args.insert(args.begin(), "--any-peim");
    ToolRun r = RunTool(args);
    EXPECT_EQ(r.status, anyPeim ? 0 : 1) << r.err;
    EXPECT_NE(SummaryLine(r.out, "absent PCI").find("PCI 00:14.0 +0x00 32-bit read x2"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("[absent-function]") != std::string::npos, !anyPeim) << r.out;
    args.insert(args.begin(), {"--format", "json"});
    ToolRun json = RunTool(args);
    EXPECT_NE(json.out.find("\"absent_pci_accesses\": [{\"function\": \"00:14.0\", \"register\": 0, "
                            "\"width\": 32, \"op\": \"read\", \"count\": 2"),
              std::string::npos)
        << json.out;
  }
}

// Under --any-peim nothing asks for controllers: no Consumer part, no
// consumer line, a JSON consumer of null, even when the PEIM installs
// PEI_USB_CONTROLLER_PPI. Pool buffers show their size in bytes.
TEST(AnyPeimReport, HasNoConsumerAndShowsPoolInBytes) {
  ToolRun r = RunTool({"--any-peim", ROBUSTNESS2_DATA "/G7-installs-usb-ppi.efi"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("\nConsumer\n"), std::string::npos) << r.out;
  EXPECT_EQ(SummaryLine(r.out, "consumer"), "");
  EXPECT_NE(SummaryLine(r.out, "installed").find("gPeiUsbControllerPpiGuid"), std::string::npos)
      << r.out;
  ToolRun json = RunTool({"--any-peim", "--format", "json", ROBUSTNESS2_DATA "/G7-installs-usb-ppi.efi"});
  EXPECT_NE(json.out.find("\"consumer\": null"), std::string::npos) << json.out;

  ToolRun pool = RunTool({"--any-peim", "--mmio", "0xFED803EF=0x80", ROBUSTNESS2_DATA "/G3-copymem-mmio.efi"});
  EXPECT_EQ(SummaryLine(pool.out, "pool"), "  pool          16 bytes at 0x00100070") << pool.out;
  EXPECT_EQ(SummaryLine(pool.out, "pages"), "  pages         none allocated") << pool.out;
  // Without --any-peim the consumer is there as before.
  ToolRun module = RunTool({USB_PEIM_IMAGE});
  EXPECT_NE(module.out.find("\nConsumer\n"), std::string::npos);
  EXPECT_NE(SummaryLine(module.out, "consumer"), "");
}

// mov ecx, 150000; pause; loop: a delay that ends by itself after about
// 300000 instructions is no dead loop; a spin is one, named at its block.
TEST(DeadLoops, ACountdownEndsAndASpinIsNamedAtItsBlock) {
  ToolRun countdown = RunTool({"--any-peim", "-q", ROBUSTNESS2_DATA "/G8-countdown-delay.efi"});
  EXPECT_EQ(countdown.status, 0) << countdown.out << countdown.err;
  EXPECT_NE(SummaryLine(countdown.out, "entry").find("returned EFI_SUCCESS"), std::string::npos);

  // +0 mov ecx, 3; +5 spin: jmp spin
  std::string spin = Image("spin-after-setup.efi", {0xB9, 0x03, 0x00, 0x00, 0x00, 0xEB, 0xFE});
  ToolRun r = RunTool({"--any-peim", "-q", spin});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("[dead-loop] at +0x0205: the code at 0xFFFC0445 (image+0x205)"),
            std::string::npos)
      << r.err;
}

}  // namespace

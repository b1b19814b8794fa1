// The platform's checks, each provoked by a small image of our own whose
// entry makes exactly one mistake; and the repeatability that the
// benchmark's repeat mode relies on.
#include <gtest/gtest.h>

#include "test_support.h"

using namespace peimsim;

namespace {

struct Mistake {
  const char *name;
  std::vector<uint8_t> code;
  std::vector<uint32_t> fixups;  // offsets in code of 32-bit RVAs to relocate
  const char *violation;         // "" for none
  bool returns;
};
void PrintTo(const Mistake &m, std::ostream *os) { *os << m.name; }

// Entry: [esp+4] FileHandle, [esp+8] PeiServices. 31 C0 C3 = xor eax,eax; ret.
const Mistake kMistakes[] = {
    {"Clean", {0x31, 0xC0, 0xC3}, {}, "", true},
    {"WritesItsOwnCode", {0xA3, 0x00, 0x02, 0x00, 0x00, 0x31, 0xC0, 0xC3}, {1}, "write-image", false},
    {"ReadsEhciRegisterBeforeItsBarIsSet",
     {0xA1, 0xB4, 0x80, 0x00, 0xF0, 0x31, 0xC0, 0xC3}, {}, "unclaimed-mmio", true},
    {"ReadStraddlesAPage", {0xA1, 0xFE, 0xEF, 0x01, 0x00, 0x31, 0xC0, 0xC3}, {}, "straddles-page", true},
    {"WritesThePeiServicesTable", {0xA3, 0x10, 0x00, 0x02, 0x00, 0x31, 0xC0, 0xC3}, {}, "write-outside", true},
    {"WritesIntoTheCallersFrame", {0x89, 0x44, 0x24, 0x0C, 0x31, 0xC0, 0xC3}, {}, "write-outside", true},
    {"ClobbersEbx", {0xBB, 0x01, 0x00, 0x00, 0x00, 0x31, 0xC0, 0xC3}, {}, "callee-saved", true},
    {"ClobbersMm0", {0x0F, 0xEF, 0xC0, 0x0F, 0x77, 0x31, 0xC0, 0xC3}, {}, "mmx-register", true},
    {"LeavesMmxStateWithoutEmms", {0x0F, 0x6F, 0xC8, 0x31, 0xC0, 0xC3}, {}, "mmx-state", true},
    {"LeavesDirectionFlagSet", {0xFD, 0x31, 0xC0, 0xC3}, {}, "direction-flag", true},
    {"PopsItsArguments", {0x31, 0xC0, 0xC2, 0x04, 0x00}, {}, "stack-imbalance", true},
    {"NeverReturns", {0xEB, 0xFE}, {}, "budget", false},
    {"DereferencesNull", {0xA1, 0x00, 0x00, 0x00, 0x00, 0xC3}, {}, "unmapped", false},
    {"JumpsIntoRam", {0xB8, 0x00, 0x00, 0x03, 0x00, 0xFF, 0xE0}, {}, "execute-data", false},
    {"CallsSetBootMode",  // push PeiServices; call [table+0x2C]
     {0x8B, 0x44, 0x24, 0x08, 0x50, 0x8B, 0x00, 0xFF, 0x50, 0x2C, 0x83, 0xC4, 0x04, 0x31, 0xC0, 0xC3},
     {}, "unexpected-service", true},
    {"WritesAPortNobodyClaims", {0xB0, 0x55, 0xE6, 0x80, 0x31, 0xC0, 0xC3}, {}, "unclaimed-port", true},
    {"ReadsConfigDataWithEnableClear",
     {0x66, 0xBA, 0xFC, 0x0C, 0xED, 0x31, 0xC0, 0xC3}, {}, "config-disabled", true},
    {"ReadsAnAbsentFunction",  // CONFIG_ADDRESS 00:14.0, then CONFIG_DATA
     {0xB8, 0x00, 0xA0, 0x00, 0x80, 0x66, 0xBA, 0xF8, 0x0C, 0xEF, 0xB2, 0xFC, 0xED, 0x31, 0xC0, 0xC3},
     {}, "absent-function", true},
    {"WritesConfigAddressAsAByte",
     {0x66, 0xBA, 0xF8, 0x0C, 0xB0, 0x80, 0xEE, 0x31, 0xC0, 0xC3}, {}, "config-port-width", true},
    {"InstallsAPpiFromTheStack",
     {0x83, 0xEC, 0x0C,                                // sub esp, 12
      0xC7, 0x04, 0x24, 0x10, 0x00, 0x00, 0x80,        // Flags = PPI | TERMINATE_LIST
      0xC7, 0x44, 0x24, 0x04, 0x00, 0x02, 0x00, 0x00,  // Guid = the code's first 16 bytes
      0x89, 0x64, 0x24, 0x08,                          // Ppi = the descriptor itself
      0x8B, 0x44, 0x24, 0x14,                          // eax = PeiServices
      0x54, 0x50, 0x8B, 0x00, 0xFF, 0x50, 0x18,        // InstallPpi(PeiServices, esp)
      0x83, 0xC4, 0x14, 0x31, 0xC0, 0xC3},
     {14}, "ppi-on-stack", true},
};

class MistakeTest : public ::testing::TestWithParam<Mistake> {};

TEST_P(MistakeTest, IsReportedAsItsViolation) {
  const Mistake &m = GetParam();
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(simtest::BuildImage(m.code, m.fixups), image, error)) << error;
  PlatformOptions options;
  options.budget = 20000;
  Platform platform;
  ASSERT_TRUE(platform.Load(image, options, error)) << error;
  CallOutcome o = platform.RunEntry();
  EXPECT_EQ(o.returned, m.returns);
  std::string kinds;
  for (const Violation &v : platform.Violations()) kinds += v.kind + " ";
  if (std::string(m.violation).empty()) {
    EXPECT_EQ(kinds, "");
  } else {
    ASSERT_FALSE(platform.Violations().empty());
    EXPECT_EQ(platform.Violations()[0].kind, m.violation) << "all: " << kinds;
  }
}

INSTANTIATE_TEST_SUITE_P(Checks, MistakeTest, ::testing::ValuesIn(kMistakes),
                         [](const ::testing::TestParamInfo<Mistake> &i) { return i.param.name; });

// Port hooks do not see the instruction's address; the trace must still
// name the IN or OUT itself, also when a block holds several of them.
TEST(PlatformChecks, PortAccessesCarryTheirInstructionsOffset) {
  const std::vector<uint8_t> code = {
      0xB8, 0x10, 0x92, 0x00, 0x80,  // +0 mov eax, 0x80009210
      0x66, 0xBA, 0xF8, 0x0C,        // +5 mov dx, 0xCF8
      0xEF,                          // +9 out dx, eax
      0xB2, 0xFC,                    // +10 mov dl, 0xFC
      0xED,                          // +12 in eax, dx
      0x90, 0xB2, 0xF8,              // +13 nop; mov dl, 0xF8
      0xED,                          // +16 in eax, dx
      0x31, 0xC0, 0xC3};
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(simtest::BuildImage(code), image, error)) << error;
  Platform platform;
  ASSERT_TRUE(platform.Load(image, PlatformOptions(), error)) << error;
  ASSERT_TRUE(platform.RunEntry().returned);
  ASSERT_EQ(platform.Events().size(), 3u);
  const uint32_t at = platform.LoadAddress() + simtest::kCodeRva;
  EXPECT_EQ(platform.Events()[0].eip, at + 9);
  EXPECT_EQ(platform.Events()[1].eip, at + 12);
  EXPECT_EQ(platform.Events()[1].value, 0u);  // BAR0 of 00:12.2 before programming
  EXPECT_EQ(platform.Events()[2].eip, at + 16);
  EXPECT_EQ(platform.Events()[2].value, 0x80009210u);  // CONFIG_ADDRESS reads back
  EXPECT_TRUE(platform.Violations().empty());
}

// Reset puts everything back: a second dispatch sees the same platform and
// makes the same accesses, from the same instructions.
TEST(PlatformChecks, ResetGivesTheNextDispatchTheSamePlatform) {
  Platform platform;
  std::string error;
  ASSERT_TRUE(platform.Load(simtest::ModuleImage(), PlatformOptions(), error)) << error;
  platform.RunEntry();
  std::vector<Event> first = platform.Events();
  uint32_t firstPage = platform.Allocations().at(0).address;
  platform.Reset();
  EXPECT_TRUE(platform.Events().empty());
  EXPECT_EQ(platform.chipset().Function(0).Bar(), 0u);
  EXPECT_EQ(platform.Read32(firstPage), uint32_t(kUninitialisedByte) * 0x01010101u);
  platform.RunEntry();
  ASSERT_EQ(platform.Events().size(), first.size());
  for (size_t i = 0; i < first.size(); i++) {
    EXPECT_EQ(platform.Events()[i].value, first[i].value) << i;
    EXPECT_EQ(platform.Events()[i].eip, first[i].eip) << i;
  }
  EXPECT_EQ(platform.Allocations().at(0).address, firstPage);
  EXPECT_TRUE(platform.Violations().empty());
}

// A failed service writes no output and the module sees its status.
TEST(PlatformChecks, InjectedFailureReachesTheModuleOnTheChosenCallOnly) {
  PlatformOptions options;
  options.failures.push_back({"AllocatePages", kEfiOutOfResources, 1});
  Platform platform;
  std::string error;
  ASSERT_TRUE(platform.Load(simtest::ModuleImage(), options, error)) << error;
  CallOutcome o = platform.RunEntry();
  ASSERT_TRUE(o.returned);
  EXPECT_EQ(o.eax, kEfiOutOfResources);
  ASSERT_EQ(platform.Services().size(), 3u);
  EXPECT_TRUE(platform.Services()[2].injected);
  EXPECT_TRUE(platform.Allocations().empty());
  EXPECT_EQ(platform.HardwareAccesses(Phase::kEntry), 0u);

  options.failures[0].call = 2;  // the module allocates once: nothing fails
  Platform second;
  ASSERT_TRUE(second.Load(simtest::ModuleImage(), options, error)) << error;
  EXPECT_EQ(second.RunEntry().eax, kEfiSuccess);
  EXPECT_EQ(second.HardwareAccesses(Phase::kEntry), 146u);
}

}  // namespace

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
    // Paging, the descriptor tables and MSRs belong to the platform; the run
    // stops before the block that would change them.
    {"EnablesPaging",  // mov eax, cr0; or eax, 0x80000000; mov cr0, eax
     {0x0F, 0x20, 0xC0, 0x0D, 0x00, 0x00, 0x00, 0x80, 0x0F, 0x22, 0xC0, 0x31, 0xC0, 0xC3},
     {}, "processor-control", false},
    {"LoadsCr3WithIgnoredModBits", {0x0F, 0x22, 0x18, 0x31, 0xC0, 0xC3}, {}, "processor-control", false},
    {"LoadsAnIdt", {0x0F, 0x01, 0x18, 0x31, 0xC0, 0xC3}, {}, "processor-control", false},
    {"WritesAnMsr", {0xB9, 0x1B, 0x00, 0x00, 0x00, 0x0F, 0x30, 0x31, 0xC0, 0xC3}, {},
     "processor-control", false},
    {"Halts", {0xF4, 0x31, 0xC0, 0xC3}, {}, "processor-control", false},
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

// A PEIM other than UsbControllerPeim calls services the module never uses:
// the violation tells the user how to run such a PEIM, and with that option
// the same call is carried out instead.
TEST(PlatformChecks, UnexpectedServicePointsToAnyPeimWhichCarriesItOut) {
  // push PeiServices; call [table+0x2C] (SetBootMode); add esp, 4; xor eax, eax; ret
  const std::vector<uint8_t> code = {0x8B, 0x44, 0x24, 0x08, 0x50, 0x8B, 0x00, 0xFF,
                                     0x50, 0x2C, 0x83, 0xC4, 0x04, 0x31, 0xC0, 0xC3};
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(simtest::BuildImage(code), image, error)) << error;
  for (bool anyPeim : {false, true}) {
    SCOPED_TRACE(anyPeim ? "--any-peim" : "default");
    PlatformOptions options;
    options.anyPeim = anyPeim;
    Platform platform;
    ASSERT_TRUE(platform.Load(image, options, error)) << error;
    ASSERT_TRUE(platform.RunEntry().returned);
    std::string unexpected;
    for (const Violation &v : platform.Violations())
      if (v.kind == "unexpected-service") unexpected += v.message;
    if (anyPeim) {
      EXPECT_EQ(unexpected, "");
    } else {
      EXPECT_NE(unexpected.find("SetBootMode"), std::string::npos) << unexpected;
      EXPECT_NE(unexpected.find("--any-peim"), std::string::npos) << unexpected;
    }
  }
}

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
  // ... which is no test of what was asked for: it is reported.
  EXPECT_TRUE(second.Violations().empty());
  second.CheckInjectedFailures();
  ASSERT_EQ(second.Violations().size(), 1u);
  EXPECT_EQ(second.Violations()[0].kind, "fail-unused");
  EXPECT_NE(second.Violations()[0].message.find("AllocatePages was called once"), std::string::npos);
}

// A register preset outside its space is refused by Load itself (the
// command line checks first, but the platform is also used in-process):
// offsets near 4 GiB must not wrap around the bounds check.
TEST(PlatformChecks, PresetOutsideItsSpaceIsRefused) {
  const RegisterPreset kOutside[] = {
      {RegisterPreset::kConfig, "00:12.2", 0xFFFFFFFF, 8, 0x12},
      {RegisterPreset::kConfig, "00:12.2", 0xFFFFFFFD, 32, 0x12345678},
      {RegisterPreset::kConfig, "00:12.2", 0xFE, 32, 0},
      {RegisterPreset::kFunctionMemory, "00:12.2", 0xFFFFFFFF, 8, 1},
      {RegisterPreset::kFunctionMemory, "00:14.5", 0xFFFFFFFC, 32, 1},
      {RegisterPreset::kFunctionMemory, "00:14.5", 0xFFE, 32, 1},
      {RegisterPreset::kChipsetMemory, "", 0xFED803F0, 32, 1},
  };
  for (const RegisterPreset &p : kOutside) {
    PlatformOptions options;
    options.presets.push_back(p);
    Platform platform;
    std::string error;
    EXPECT_FALSE(platform.Load(simtest::ModuleImage(), options, error)) << Hex(p.address);
    EXPECT_NE(error.find("outside"), std::string::npos) << error;
  }
}

// A module that makes accesses without end: the trace keeps its first
// events, the figures count all of them, and memory stays where it was.
TEST(PlatformChecks, TraceKeepsItsFirstEventsAndCountsTheRest) {
  // mov dx, 0xCF8; again: out dx, eax (CONFIG_ADDRESS); jmp again
  const std::vector<uint8_t> code = {0x66, 0xBA, 0xF8, 0x0C, 0xEF, 0xEB, 0xFD};
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(simtest::BuildImage(code), image, error)) << error;
  PlatformOptions options;
  options.eventLimit = 100;
  options.budget = 20000;
  Platform platform;
  ASSERT_TRUE(platform.Load(image, options, error)) << error;
  for (int run = 0; run < 2; run++) {  // Reset starts the count afresh
    platform.Reset();
    EXPECT_FALSE(platform.RunEntry().returned);
    const EventCounts &counts = platform.Counts(Phase::kEntry);
    EXPECT_EQ(platform.Events().size(), 100u);
    EXPECT_GT(counts.ports, 9000u);
    EXPECT_EQ(platform.DroppedEvents(), counts.ports - 100);
    EXPECT_EQ(platform.HardwareAccesses(Phase::kEntry), counts.ports);
  }
  ASSERT_EQ(platform.Violations().size(), 1u);
  EXPECT_EQ(platform.Violations()[0].kind, "budget");
}

// Services called through the table as the module would, from the host.
uint32_t CallService(Platform &platform, int slot, std::vector<uint32_t> args,
                     const std::vector<std::pair<uint32_t, uint32_t>> &outputs = {}) {
  args.insert(args.begin(), kPeiServicesCell);
  CallOutcome o = platform.Call(platform.Read32(kPeiServicesTable + 24 + 4 * slot), args, outputs);
  EXPECT_TRUE(o.returned);
  return o.eax;
}

// The PPI database has a fixed size, as a Foundation's has: once full,
// InstallPpi says so instead of growing without bound.
TEST(PlatformChecks, PpiDatabaseIsBounded) {
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(simtest::BuildImage({0x31, 0xC0, 0xC3}), image, error)) << error;
  Platform platform;
  ASSERT_TRUE(platform.Load(image, PlatformOptions(), error)) << error;
  const int kInstallPpi = 0, kAllocatePages = 12;
  const uint32_t out = kCallerData + 0x40;
  ASSERT_EQ(CallService(platform, kAllocatePages, {4, 1, out}, {{out, 8}}), kEfiSuccess);
  const uint32_t page = platform.Read32(out);
  // One descriptor: PPI|TERMINATE_LIST, a GUID and an (empty) PPI in the page.
  const uint32_t descriptor[3] = {0x80000010, page + 0x10, page + 0x20};
  ASSERT_TRUE(platform.Write(page, descriptor, sizeof descriptor));
  ASSERT_TRUE(platform.Write(page + 0x10, kUsbControllerPpiGuid.data(), 16));
  size_t installed = platform.Ppis().size();
  uint32_t status = kEfiSuccess;
  for (int i = 0; i < 300 && status == kEfiSuccess; i++) {
    status = CallService(platform, kInstallPpi, {page});
    if (status == kEfiSuccess) installed++;
  }
  EXPECT_EQ(status, kEfiOutOfResources);
  EXPECT_EQ(installed, kPpiLimit);
  EXPECT_EQ(platform.Ppis().size(), kPpiLimit);
  EXPECT_TRUE(platform.Violations().empty());
}

// A PPI whose GetUsbController hands back what the consumer cannot use:
// the entry of a small module that installs one (from the hostile image
// H-slow-consumer-256-calls), followed by the function under test.
const std::vector<uint8_t> kInstallsAPpi = {
    0x53, 0x57, 0xE8, 0x00, 0x00, 0x00, 0x00, 0x5B, 0x8B, 0x44, 0x24, 0x10, 0x50, 0x83, 0xEC,
    0x08, 0x89, 0xE1, 0x51, 0x6A, 0x01, 0x6A, 0x04, 0x50, 0x8B, 0x00, 0xFF, 0x50, 0x48, 0x83,
    0xC4, 0x10, 0x8B, 0x3C, 0x24, 0x83, 0xC4, 0x08, 0x58, 0xC7, 0x07, 0x10, 0x00, 0x00, 0x80,
    0x8D, 0x4F, 0x10, 0x89, 0x4F, 0x04, 0x8D, 0x4F, 0x20, 0x89, 0x4F, 0x08, 0xC7, 0x47, 0x10,
    0xDE, 0xF6, 0xC1, 0x3B, 0xC7, 0x47, 0x14, 0x3E, 0x69, 0x47, 0x45, 0xC7, 0x47, 0x18, 0xA3,
    0x00, 0x21, 0x82, 0xC7, 0x47, 0x1C, 0x3C, 0xA4, 0x20, 0xB2, 0x89, 0xD9, 0x83, 0xC1, 0x65,
    0x89, 0x4F, 0x20, 0x57, 0x50, 0x8B, 0x00, 0xFF, 0x50, 0x18, 0x83, 0xC4, 0x08, 0x5F, 0x5B,
    0x31, 0xC0, 0xC3};  // the function follows at +0x6C

struct ConsumerCase {
  const char *name;
  std::vector<uint8_t> function;
  const char *violation;
  size_t queries;  // calls the consumer made
};
void PrintTo(const ConsumerCase &c, std::ostream *os) { *os << c.name; }

const ConsumerCase kConsumerCases[] = {
    {"SucceedsWithoutOutputs", {0x31, 0xC0, 0xC3}, "consumer-outputs", 1},
    {"SucceedsWritingTypeOnly",  // *Type = 3
     {0x8B, 0x44, 0x24, 0x10, 0xC7, 0x00, 0x03, 0x00, 0x00, 0x00, 0x31, 0xC0, 0xC3},
     "consumer-outputs", 1},
    {"ReportsEveryId",  // *Type = 3, *Base = 0xF0008000, for any id
     {0x8B, 0x44, 0x24, 0x10, 0xC7, 0x00, 0x03, 0x00, 0x00, 0x00, 0x8B, 0x44, 0x24, 0x14, 0xC7,
      0x00, 0x00, 0x80, 0x00, 0xF0, 0x31, 0xC0, 0xC3},
     "consumer-count", 4},
};

class ConsumerTest : public ::testing::TestWithParam<ConsumerCase> {};

TEST_P(ConsumerTest, StopsAtTheFirstAnswerItCannotUse) {
  std::vector<uint8_t> code = kInstallsAPpi;
  ASSERT_EQ(code.size(), 0x6Cu);
  code.insert(code.end(), GetParam().function.begin(), GetParam().function.end());
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(simtest::BuildImage(code), image, error)) << error;
  Platform platform;
  ASSERT_TRUE(platform.Load(image, PlatformOptions(), error)) << error;
  ASSERT_TRUE(platform.RunEntry().returned);
  ASSERT_TRUE(platform.Violations().empty());
  ConsumerView view = platform.QueryConsumer();
  ASSERT_TRUE(view.found);
  EXPECT_EQ(view.queries.size(), GetParam().queries);
  ASSERT_EQ(platform.Violations().size(), 1u);
  EXPECT_EQ(platform.Violations()[0].kind, GetParam().violation);
}

INSTANTIATE_TEST_SUITE_P(Checks, ConsumerTest, ::testing::ValuesIn(kConsumerCases),
                         [](const ::testing::TestParamInfo<ConsumerCase> &i) { return i.param.name; });

}  // namespace

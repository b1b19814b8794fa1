// The entry's answer to each service that fails it, on the real image: which
// services it still calls and in what order, whether the controllers are
// programmed, the wait made and the PPI published, and the status it returns.
#include <gtest/gtest.h>

#include "test_support.h"

using namespace peimsim;

namespace {

constexpr uint32_t kEfiNotFound = 0x8000000E, kEfiOutOfResources = 0x80000009,
                   kEfiInvalidParameter = 0x80000002, kEfiDeviceError = 0x80000007;
constexpr uint32_t kBootOnS3Resume = 0x11;

const std::vector<std::string> kFullSequence = {"GetBootMode", "LocatePpi", "AllocatePages",
                                                "InstallPpi", "Stall"};
const std::vector<std::string> kWithoutWait = {"GetBootMode", "LocatePpi", "AllocatePages",
                                               "InstallPpi"};

struct FailureCase {
  const char *name;
  std::vector<Failure> failures;
  bool stallPpi;
  uint32_t bootMode;
  std::vector<std::string> services;  // in call order
  size_t hardwareAccesses;            // 146: every controller programmed
  bool waited;                        // one Stall of one second
  bool published;                     // a consumer finds PEI_USB_CONTROLLER_PPI
  uint32_t status;                    // what the entry returns
};

void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }

class FailurePathTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailurePathTest, CallsReturnsAndLeavesBehindWhatItShould) {
  const FailureCase &c = GetParam();
  PlatformOptions options;
  options.failures = c.failures;
  options.stallPpi = c.stallPpi;
  options.bootMode = c.bootMode;
  Platform platform;
  std::string error;
  ASSERT_TRUE(platform.Load(simtest::ModuleImage(), options, error)) << error;
  CallOutcome entry = platform.RunEntry();
  ASSERT_TRUE(entry.returned);
  EXPECT_EQ(entry.eax, c.status) << Hex(entry.eax);
  EXPECT_TRUE(platform.Violations().empty()) << platform.Violations().front().message;

  std::vector<std::string> services;
  for (const ServiceCall &s : platform.Services()) services.push_back(s.name);
  EXPECT_EQ(services, c.services);

  size_t accesses = 0;
  for (const Event &e : platform.Events())
    if (e.kind == EventKind::kPort || e.kind == EventKind::kMemory) accesses++;
  EXPECT_EQ(accesses, c.hardwareAccesses);
  // InstallPpi, the fourth service, comes after the last register access.
  if (c.hardwareAccesses != 0) {
    const std::vector<Event> &events = platform.Events();
    size_t lastAccess = 0, install = 0, serviceCount = 0;
    for (size_t i = 0; i < events.size(); i++) {
      if (events[i].kind == EventKind::kPort || events[i].kind == EventKind::kMemory)
        lastAccess = i;
      if (events[i].kind == EventKind::kService && ++serviceCount == 4) install = i;
    }
    EXPECT_GT(install, lastAccess);
  }

  EXPECT_EQ(platform.StallRequests(),
            c.waited ? std::vector<uint32_t>{1000000} : std::vector<uint32_t>{});
  EXPECT_EQ(platform.QueryConsumer().found, c.published);
}

INSTANTIATE_TEST_SUITE_P(
    Each, FailurePathTest,
    ::testing::Values(
        FailureCase{"NothingFails", {}, true, 0, kFullSequence, 146, true, true, kEfiSuccess},
        // An unknown boot mode is not S3 resume: the full sequence.
        FailureCase{"GetBootModeFails", {{"GetBootMode", kEfiDeviceError, 0}}, true, 0,
                    kFullSequence, 146, true, true, kEfiSuccess},
        FailureCase{"GetBootModeFailsInS3", {{"GetBootMode", kEfiDeviceError, 0}}, true,
                    kBootOnS3Resume, kFullSequence, 146, true, true, kEfiSuccess},
        FailureCase{"S3Resume", {}, true, kBootOnS3Resume, {"GetBootMode"}, 0, false, false,
                    kEfiSuccess},
        // No Stall PPI: programmed and published, no wait, and said so.
        FailureCase{"LocatePpiFails", {{"LocatePpi", kEfiNotFound, 0}}, true, 0, kWithoutWait,
                    146, false, true, kEfiNotFound},
        FailureCase{"NoStallPpiInstalled", {}, false, 0, kWithoutWait, 146, false, true,
                    kEfiNotFound},
        // No page for the record: nothing is touched.
        FailureCase{"AllocatePagesFails", {{"AllocatePages", kEfiOutOfResources, 0}}, true, 0,
                    {"GetBootMode", "LocatePpi", "AllocatePages"}, 0, false, false,
                    kEfiOutOfResources},
        // A failed install: still programmed, still the wait, and the
        // install's own status returned.
        FailureCase{"InstallPpiFails", {{"InstallPpi", kEfiOutOfResources, 0}}, true, 0,
                    kFullSequence, 146, true, false, kEfiOutOfResources},
        FailureCase{"InstallPpiFailsWithItsOwnStatus", {{"InstallPpi", kEfiInvalidParameter, 0}},
                    true, 0, kFullSequence, 146, true, false, kEfiInvalidParameter},
        // Both at once: the install's status, which matters more.
        FailureCase{"InstallPpiFailsWithoutStallPpi", {{"InstallPpi", kEfiOutOfResources, 0}},
                    false, 0, kWithoutWait, 146, false, false, kEfiOutOfResources},
        FailureCase{"InstallAndLocateFail",
                    {{"LocatePpi", kEfiNotFound, 0}, {"InstallPpi", kEfiInvalidParameter, 0}},
                    true, 0, kWithoutWait, 146, false, false, kEfiInvalidParameter},
        // The wait's own status is not the module's concern (a failed Stall
        // waits for nothing, so no wait is recorded).
        FailureCase{"StallFails", {{"Stall", kEfiDeviceError, 0}}, true, 0, kFullSequence, 146,
                    false, true, kEfiSuccess}),
    [](const ::testing::TestParamInfo<FailureCase> &info) { return std::string(info.param.name); });

// The same through the command line, as a user sees it: the summary names
// the install's status as the entry's, and the run is still clean.
TEST(FailurePaths, CommandLineReportsTheFailedInstall) {
  simtest::ToolRun r = simtest::RunTool({"--quiet", "--fail", "InstallPpi", USB_PEIM_IMAGE});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("returned EFI_OUT_OF_RESOURCES (0x80000009)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("PEI services  5: GetBootMode, LocatePpi, AllocatePages, InstallPpi, Stall"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("stalls        1000000 us"), std::string::npos) << r.out;
}

}  // namespace

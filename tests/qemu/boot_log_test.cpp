// The checker of the QEMU boot log decides whether both boot cases pass, so
// it must catch every fault the test bed can show. Each case here starts
// from a log recorded in a real boot, plants one fault, and expects exactly
// the checks that describe it to fail.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "boot_log.h"
#include "pe_image.h"
#include "placement.h"
#include "te_test_image.h"
#include "tool_run.h"

namespace testbed {
namespace {

// Recorded from a boot with the module dispatched after memory.
const char kAfterMemoryLog[] =
    R"(stall-provider: entry code=0x1EF3F200 memory=1 pmtimer-port=0x0608 acpi-io=already-on
stall-provider: installed status=0x00000000 notify-status=0x00000000
stall-provider: usb-controller-ppi-installed ppi=0x1EF3D000 memory=1 pmtimer=0x7937FA
stall: begin us=1000000 memory=1 usb-ppi=1 pmtimer=0x7939EC
stall: end us=1000000 ticks=3579545 pmtimer=0xAFD885
usb-consumer: entry code=0x1EF3C200 memory=1 locate-status=0x00000000 ppi=0x1EF3D000 get-usb-controller=0x1EF3E34F
usb-consumer: controller id=0 status=0x00000000 type=0x00000003 base=0xF0008000
usb-consumer: ehci-capability id=0 base=0xF0008000 dword=0x01000020 caplength=0x20 hciversion=0x0100
usb-consumer: controller id=1 status=0x00000000 type=0x00000003 base=0xF0009000
usb-consumer: ehci-capability id=1 base=0xF0009000 dword=0x01000020 caplength=0x20 hciversion=0x0100
usb-consumer: controller id=2 status=0x00000000 type=0x00000003 base=0xF000A000
usb-consumer: ehci-capability id=2 base=0xF000A000 dword=0x01000020 caplength=0x20 hciversion=0x0100
usb-consumer: controller id=3 status=0x80000002 type=0xA5A5A5A5 base=0xA5A5A5A5
usb-consumer: pci device=0x12 function=2 kind=ehci id=0x24CD8086 command=0x0002 bar0=0xF0008000
usb-consumer: pci device=0x13 function=2 kind=ehci id=0x24CD8086 command=0x0002 bar0=0xF0009000
usb-consumer: pci device=0x16 function=2 kind=ehci id=0x24CD8086 command=0x0002 bar0=0xF000A000
usb-consumer: pci device=0x12 function=0 kind=ohci id=0x003F106B command=0x0006 bar0=0xC0000000 hcrevision=0x00000010
usb-consumer: pci device=0x13 function=0 kind=ohci id=0x003F106B command=0x0006 bar0=0xC0001000 hcrevision=0x00000010
usb-consumer: pci device=0x16 function=0 kind=ohci id=0x003F106B command=0x0006 bar0=0xC0002000 hcrevision=0x00000010
usb-consumer: pci device=0x14 function=5 kind=ohci id=0x003F106B command=0x0006 bar0=0xC0003000 hcrevision=0x00000010
usb-consumer: done
)";

// Replaces the one occurrence of `from`; fails the test if there is none,
// so that a planted fault can never silently miss.
std::string Replace(std::string text, const std::string &from, const std::string &to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "not in the log: " << from;
  EXPECT_EQ(text.find(from, at + 1), std::string::npos) << "more than once: " << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The recorded boot as it reads with the module run in place before memory:
// every event before the consumer happens without memory, and the PPI's
// service lies in the PEI volume.
std::string InPlaceLog() {
  std::string log = kAfterMemoryLog;
  log = Replace(log, "code=0x1EF3F200 memory=1", "code=0x00847460 memory=0");
  log = Replace(log, "ppi=0x1EF3D000 memory=1", "ppi=0x00817000 memory=0");
  log = Replace(log, "begin us=1000000 memory=1", "begin us=1000000 memory=0");
  return Replace(log, "get-usb-controller=0x1EF3E34F", "get-usb-controller=0x00847E2F");
}

// The checks that fail, each named by the start of its description.
std::set<std::string> Failures(const std::string &log, Dispatch dispatch) {
  std::istringstream in(log);
  std::set<std::string> failed;
  for (const Check &c : CheckBoot(ReadBootLog(in), dispatch)) {
    if (!c.ok) {
      EXPECT_FALSE(c.detail.empty()) << c.what;
      failed.insert(c.what.substr(0, c.what.find(": ")));
    }
  }
  return failed;
}

using Names = std::set<std::string>;
const char kDispatchedAfterMemory[] = "the module ran after memory, from a relocated copy in RAM";
const char kRanInPlace[] = "the module ran in place in the PEI volume, before memory";

TEST(BootLogCheck, RecordedBootsPassOnlyForTheirOwnDispatchPath) {
  EXPECT_EQ(Failures(kAfterMemoryLog, Dispatch::kAfterMemory), Names{});
  EXPECT_EQ(Failures(kAfterMemoryLog, Dispatch::kInPlace), Names{kRanInPlace});
  EXPECT_EQ(Failures(InPlaceLog(), Dispatch::kInPlace), Names{});
  EXPECT_EQ(Failures(InPlaceLog(), Dispatch::kAfterMemory), Names{kDispatchedAfterMemory});
  // Relocated, yet still before memory: neither path.
  std::string early = Replace(InPlaceLog(), "0x00847E2F", "0x1EF3E34F");
  EXPECT_EQ(Failures(early, Dispatch::kInPlace), Names{kRanInPlace});
  EXPECT_EQ(Failures(early, Dispatch::kAfterMemory), Names{kDispatchedAfterMemory});
}

// In place, the PPI's service must lie inside the module's image where it
// was placed: GetUsbController is at 0x00847E2F in the in-place log.
TEST(BootLogCheck, ServiceOutsideThePlacedImageFailsTheExtentCheck) {
  const char kInImage[] = "GetUsbController lies in the module's image as placed";
  auto failures = [&](const std::string &log, ModuleExtent extent) {
    std::istringstream in(log);
    std::set<std::string> failed;
    size_t extentChecks = 0;
    for (const Check &c : CheckBoot(ReadBootLog(in), Dispatch::kInPlace, extent)) {
      if (c.what.rfind(kInImage, 0) == 0) extentChecks++;
      if (!c.ok) failed.insert(c.what.substr(0, c.what.find(",")));
    }
    EXPECT_EQ(extentChecks, 1u);
    return failed;
  };
  EXPECT_EQ(failures(InPlaceLog(), {0x847C00, 0x848180}), Names{});
  EXPECT_EQ(failures(InPlaceLog(), {0x847E2F, 0x847E30}), Names{});
  // Another image's extent in the same volume, ending right at the service.
  EXPECT_EQ(failures(InPlaceLog(), {0x847000, 0x847E2F}), Names{kInImage});
  EXPECT_EQ(failures(InPlaceLog(), {0x847E30, 0x848000}), Names{kInImage});
  // No service to look at: the PPI was not found.
  std::string missing =
      Replace(InPlaceLog(), "locate-status=0x00000000", "locate-status=0x8000000E");
  EXPECT_EQ(failures(missing, {0x847C00, 0x848180}).count(kInImage), 1u);
  // Without an extent, the check is not made.
  std::istringstream in(InPlaceLog());
  for (const Check &c : CheckBoot(ReadBootLog(in), Dispatch::kInPlace)) {
    EXPECT_NE(c.what.rfind(kInImage, 0), 0u);
  }
}

// The placement check on the module as built, PE32 and TE: placed as fvtool
// places it, it passes; each planted fault fails exactly the check about it.
std::vector<uint8_t> Built(bool te) {
  std::vector<uint8_t> efi;
  std::string error;
  EXPECT_TRUE(pe::ReadFile(MODULE_EFI, efi, error)) << error;
  return te ? tetest::TeFromPe(efi) : efi;
}

// The built image linked so that its first byte runs at `address`.
std::vector<uint8_t> PlacedAt(const std::vector<uint8_t> &built, uint32_t address) {
  pe::Image image;
  std::string error;
  EXPECT_TRUE(pe::ParseAny(built, image, error)) << error;
  EXPECT_TRUE(pe::RebaseFile(image, address - image.headerRva, error)) << error;
  return image.bytes;
}

TEST(Placement, EachPlantedFaultFailsItsCheck) {
  const char kLinked[] = "the module's image is linked to run where it lies in the PEI volume";
  const char kRebased[] = "the placed image is the built one with ImageBase and all";
  constexpr uint32_t kOffset = 0x27C00;
  const uint32_t where = kPeiVolumeBase + kOffset;
  struct Case {
    const char *name;
    std::function<void(std::vector<uint8_t> &placed, const pe::Image &built)> plant;
    Names failing;
  };
  auto fixupOffset = [](const pe::Image &image, size_t i) {
    return size_t(image.FileOffsetOf(image.relocations.at(i), 4));
  };
  const std::vector<Case> cases = {
      {"as placed", [](std::vector<uint8_t> &, const pe::Image &) {}, {}},
      {"one fixup left as built",
       [&](std::vector<uint8_t> &placed, const pe::Image &built) {
         size_t at = fixupOffset(built, built.relocations.size() - 1);
         std::copy(built.bytes.begin() + long(at), built.bytes.begin() + long(at + 4),
                   placed.begin() + long(at));
       },
       {kRebased}},
      {"a byte that no fixup covers changed",
       [&](std::vector<uint8_t> &placed, const pe::Image &built) {
         placed[size_t(built.FileOffsetOf(built.entryRva))] ^= 0x01;
       },
       {kRebased}},
      {"linked 8 bytes higher than it lies",
       [&](std::vector<uint8_t> &placed, const pe::Image &built) {
         placed = PlacedAt(built.bytes, where + 8);
       },
       {kLinked}},
      {"not linked at all",
       [&](std::vector<uint8_t> &placed, const pe::Image &built) { placed = built.bytes; },
       {kLinked}},
  };
  for (bool te : {false, true}) {
    std::vector<uint8_t> built = Built(te);
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::ParseAny(built, image, error)) << error;
    ASSERT_FALSE(image.relocations.empty());
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(te ? "TE: " : "PE32: ") + c.name);
      std::vector<uint8_t> placed = PlacedAt(built, where);
      c.plant(placed, image);
      Placement p;
      ASSERT_TRUE(CheckPlacement(placed, built, kOffset, p, error)) << error;
      EXPECT_EQ(p.extent.start, where);
      EXPECT_EQ(p.extent.end, where + placed.size());
      Names failed;
      for (const Check &check : p.checks) {
        bool named = false;
        for (const char *name : {kLinked, kRebased})
          if (check.what.rfind(name, 0) == 0) named = true;
        EXPECT_TRUE(named) << check.what;
        if (!check.ok) failed.insert(check.what.rfind(kLinked, 0) == 0 ? kLinked : kRebased);
      }
      EXPECT_EQ(p.checks.size(), 2u);
      EXPECT_EQ(failed, c.failing);
    }
  }
  // What cannot be compared at all is refused.
  Placement p;
  std::string error;
  EXPECT_FALSE(CheckPlacement(Built(true), Built(false), kOffset, p, error));
  EXPECT_NE(error.find("the placed image is TE, the built one PE32"), std::string::npos) << error;
  EXPECT_FALSE(CheckPlacement({'M', 'Z'}, Built(false), kOffset, p, error));
  EXPECT_NE(error.find("the placed image: "), std::string::npos) << error;
  EXPECT_FALSE(CheckPlacement(Built(false), Built(false), kPeiVolumeEnd - kPeiVolumeBase - 8, p,
                              error));
  EXPECT_NE(error.find("outside the PEI volume"), std::string::npos) << error;
}

struct Fault {
  const char *name;
  const char *from;
  const char *to;
  Names failing;
};

const Fault kFaults[] = {
    {"id 3 accepted", "id=3 status=0x80000002 type=0xA5A5A5A5 base=0xA5A5A5A5",
     "id=3 status=0x00000000 type=0x00000003 base=0xF000B000",
     {"id 3"}},
    {"id 3 rejected but Base written", "id=3 status=0x80000002 type=0xA5A5A5A5 base=0xA5A5A5A5",
     "id=3 status=0x80000002 type=0xA5A5A5A5 base=0x00000000",
     {"id 3"}},
    {"id 1 with a wrong base", "type=0x00000003 base=0xF0009000",
     "type=0x00000003 base=0xF0019000",
     {"id 1"}},
    {"id 0 of another type", "id=0 status=0x00000000 type=0x00000003",
     "id=0 status=0x00000000 type=0x00000002",
     {"id 0"}},
    {"EHCI registers not decoded", "id=2 base=0xF000A000 dword=0x01000020",
     "id=2 base=0xF000A000 dword=0xFFFFFFFF",
     {"EHCI at 0xF000A000"}},
    {"EHCI memory decoding off", "device=0x13 function=2 kind=ehci id=0x24CD8086 command=0x0002",
     "device=0x13 function=2 kind=ehci id=0x24CD8086 command=0x0000",
     {"00:13.2 EHCI"}},
    {"EHCI BAR0 not the reported base", "command=0x0002 bar0=0xF000A000",
     "command=0x0002 bar0=0xF000B000",
     {"00:16.2 EHCI"}},
    {"OHCI bus mastering off", "device=0x14 function=5 kind=ohci id=0x003F106B command=0x0006",
     "device=0x14 function=5 kind=ohci id=0x003F106B command=0x0002",
     {"00:14.5 OHCI"}},
    {"OHCI BAR0 moved", "bar0=0xC0001000", "bar0=0xC0011000", {"00:13.0 OHCI"}},
    {"OHCI registers not decoded", "bar0=0xC0000000 hcrevision=0x00000010",
     "bar0=0xC0000000 hcrevision=0xFFFFFFFF",
     {"00:12.0 OHCI"}},
    {"function absent", "device=0x16 function=0 kind=ohci id=0x003F106B",
     "device=0x16 function=0 kind=ohci id=0xFFFFFFFF",
     {"00:16.0 OHCI"}},
    {"shorter Stall", "begin us=1000000", "begin us=100000",
     {"Stall(1000000 us) asked after PEI_USB_CONTROLLER_PPI was installed",
      "the module stalled once, and the Stall returned before the consumer ran",
      kDispatchedAfterMemory}},
    {"Stall before the PPI was installed", "begin us=1000000 memory=1 usb-ppi=1",
     "begin us=1000000 memory=1 usb-ppi=0",
     {"Stall(1000000 us) asked after PEI_USB_CONTROLLER_PPI was installed"}},
    {"Stall never returned", "stall: end us=1000000 ticks=3579545 pmtimer=0xAFD885\n", "",
     {"the module stalled once, and the Stall returned before the consumer ran"}},
    {"two Stalls", "stall: end us=1000000 ticks=3579545 pmtimer=0xAFD885\n",
     "stall: end us=1000000 ticks=3579545 pmtimer=0xAFD885\n"
     "stall: begin us=1000000 memory=1 usb-ppi=1 pmtimer=0xAFD900\n"
     "stall: end us=1000000 ticks=3579545 pmtimer=0xE7C000\n",
     {"the module stalled once, and the Stall returned before the consumer ran"}},
    {"PPI never located", "locate-status=0x00000000", "locate-status=0x8000000E",
     {"the consumer located PEI_USB_CONTROLLER_PPI"}},
    {"report cut short", "usb-consumer: done\n", "",
     {"the consumer ran and completed its report"}},
    {"unreadable line", "usb-consumer: done\n", "usb-consumer: done\nstray output\n",
     {"the log is well formed"}},
    {"number garbled", "ticks=3579545", "ticks=35x9545",
     {"the log is well formed"}},
};

TEST(BootLogCheck, EachPlantedFaultFailsExactlyItsChecks) {
  for (const Fault &fault : kFaults) {
    SCOPED_TRACE(fault.name);
    std::string log = Replace(kAfterMemoryLog, fault.from, fault.to);
    EXPECT_EQ(Failures(log, Dispatch::kAfterMemory), fault.failing);
  }
}

TEST(BootLogCheck, PeiEndingWithoutTheConsumerFailsTheReport) {
  std::string log = kAfterMemoryLog;
  log = log.substr(0, log.find("usb-consumer: entry")) + "stall-provider: end-of-pei\n";
  std::set<std::string> failed = Failures(log, Dispatch::kAfterMemory);
  EXPECT_EQ(failed.count("the consumer ran and completed its report"), 1u);
  EXPECT_EQ(failed.count("id 0"), 1u);
  EXPECT_EQ(failed.count("00:12.0 OHCI"), 1u);
  EXPECT_EQ(failed.count("the module stalled once, and the Stall returned before the consumer ran"),
            1u);
  EXPECT_TRUE(Failures("", Dispatch::kInPlace).count(kRanInPlace));
}

// Events a single boot cannot produce: each is a problem naming its line, so
// "the log is well formed" fails with it.
struct Impossible {
  const char *name;
  const char *from;  // replaced once in the recorded log
  const char *to;
  const char *problem;  // the first problem the log shows
};

const Impossible kImpossible[] = {
    {"key given twice", "id=3 status=0x80000002", "id=3 status=0x00000000 status=0x80000002",
     "line 13: key 'status' given twice: usb-consumer: controller id=3"},
    {"event after the consumer's done", "usb-consumer: done\n",
     "usb-consumer: done\nusb-consumer: controller id=0 status=0x80000007 type=0x0 base=0x0\n",
     "line 22: usb-consumer controller after the log's last event (line 21), which ends QEMU"},
    {"event after the end of PEI", "usb-consumer: done\n",
     "usb-consumer: done\nstall-provider: end-of-pei\n",
     "line 22: stall-provider end-of-pei after the log's last event (line 21)"},
    {"controller reported twice",
     "usb-consumer: controller id=0 status=0x00000000 type=0x00000003 base=0xF0008000\n",
     "usb-consumer: controller id=0 status=0x00000000 type=0x00000003 base=0xF0008000\n"
     "usb-consumer: controller id=0 status=0x80000007 type=0x00000000 base=0x00000000\n",
     "line 8: controller id 0 reported again (first on line 7)"},
    {"PCI function reported twice",
     "usb-consumer: pci device=0x14 function=5",
     "usb-consumer: pci device=0x13 function=2 kind=ehci id=0x24CD8086 command=0x0000 "
     "bar0=0x00000000\nusb-consumer: pci device=0x14 function=5",
     "line 20: PCI function 00:13.2 reported again (first on line 15)"},
    {"capability read twice",
     "usb-consumer: controller id=1 ",
     "usb-consumer: ehci-capability id=0 base=0xF0008000 dword=0x00000000\n"
     "usb-consumer: controller id=1 ",
     "line 9: capability of id 0 reported again"},
    {"consumer entered twice", "usb-consumer: done\n",
     "usb-consumer: entry code=0x1EF3C200 memory=1 locate-status=0x00000000 ppi=0x1EF3D000 "
     "get-usb-controller=0x1EF3E34F\nusb-consumer: done\n",
     "line 21: usb-consumer entry again (first on line 6)"},
    {"Stall provider entered twice", "stall-provider: installed",
     "stall-provider: entry code=0x1EF3F200 memory=1 pmtimer-port=0x0608 acpi-io=already-on\n"
     "stall-provider: installed",
     "line 2: stall-provider entry again (first on line 1)"},
    {"consumer report before its entry", "usb-consumer: entry",
     "usb-consumer: controller id=9 status=0x80000002 type=0xA5A5A5A5 base=0xA5A5A5A5\n"
     "usb-consumer: entry",
     "line 6: usb-consumer controller before the consumer's entry"},
    {"Stall begun inside another", "stall: end us=1000000",
     "stall: begin us=10 memory=1 usb-ppi=1 pmtimer=0x7939F0\nstall: end us=1000000",
     "line 5: Stall begins while the one begun on line 4 has not ended"},
};

TEST(BootLogCheck, EventsOneBootCannotProduceAreProblemsNamingTheirLine) {
  for (const Impossible &fault : kImpossible) {
    SCOPED_TRACE(fault.name);
    std::istringstream in(Replace(kAfterMemoryLog, fault.from, fault.to));
    std::vector<Check> checks = CheckBoot(ReadBootLog(in), Dispatch::kAfterMemory);
    ASSERT_FALSE(checks.empty());
    EXPECT_EQ(checks[0].what, "the log is well formed");
    EXPECT_FALSE(checks[0].ok);
    EXPECT_EQ(checks[0].detail.rfind(fault.problem, 0), 0u) << checks[0].detail;
  }
}

// A log of repetition and garbage, as a firmware gone wrong could write
// until QEMU is stopped: the report stays short and says what it left out.
TEST(BootLogReport, LongLogGivesABoundedReport) {
  std::string log = kAfterMemoryLog;
  for (int i = 0; i < 10000; i++) {
    log += "usb-consumer: pci device=0x" + std::to_string(i) + " function=1 kind=ehci id=0x1 "
           "command=0x2 bar0=0x0\n\x1b[2J noise " + std::string(200, 'x') + "\n";
  }
  std::istringstream in(log);
  BootReport report = ReadBootLog(in);
  EXPECT_EQ(report.functions.size(), 7u);  // the rest come after "done"
  EXPECT_EQ(report.problems.size(), 20000u);
  std::ostringstream out;
  PrintReport(out, report);
  EXPECT_LT(out.str().size(), 16000u);
  EXPECT_NE(out.str().find("log: ... and 19980 more problems"), std::string::npos);
  EXPECT_EQ(out.str().find('\x1b'), std::string::npos);

  // Before "done": every controller kept, the listing cut.
  std::string many = kAfterMemoryLog;
  std::string controllers;
  for (int i = 4; i < 1004; i++) {
    controllers += "usb-consumer: controller id=" + std::to_string(i) +
                   " status=0x80000002 type=0xA5A5A5A5 base=0xA5A5A5A5\n";
  }
  many = Replace(many, "usb-consumer: pci device=0x12 function=2",
                 controllers + "usb-consumer: pci device=0x12 function=2");
  std::istringstream in2(many);
  BootReport long2 = ReadBootLog(in2);
  EXPECT_EQ(long2.controllers.size(), 1004u);
  std::ostringstream out2;
  PrintReport(out2, long2);
  EXPECT_NE(out2.str().find("  ... and 704 more controllers"), std::string::npos);
  EXPECT_LT(out2.str().size(), 32000u);
}

// testbed-report as run-qemu.sh runs it, on logs as files: the recorded boot,
// the shared logs of impossible boots, and inputs it must refuse.
using ReportRun = testtool::ToolRun;
using testtool::ReadText;

std::string Scratch(const std::string &name) {
  mkdir(REPORT_SCRATCH_DIR, 0755);
  return std::string(REPORT_SCRATCH_DIR) + "/" + name;
}

ReportRun RunReport(const std::vector<std::string> &args) {
  return testtool::RunTool(TESTBED_REPORT, args, REPORT_SCRATCH_DIR);
}

struct ReportCase {
  const char *name;
  std::vector<std::string> args;  // "RECORDED", "DIR", "MISSING" or a file of the shared data
  int status;
  // Exit 0: the last line of stdout; exit 1: the start of the first failing
  // check; exit 2: part of the one stderr line.
  const char *expected;
};

const ReportCase kReportCases[] = {
    {"recorded boot", {"RECORDED"}, 0, "20 of 20 checks passed"},
    {"recorded boot, judged as in place", {"--apriori", "RECORDED"}, 1,
     "  FAIL  the module ran in place in the PEI volume, before memory: "},
    {"key given twice", {"F15-duplicate-key.log"}, 1,
     "  FAIL  the log is well formed: line 13: key 'status' given twice: "},
    {"event after done", {"F15-event-after-done.log"}, 1,
     "  FAIL  the log is well formed: line 22: usb-consumer controller after the log's last "
     "event (line 21), which ends QEMU"},
    {"controller reported twice", {"F15-duplicate-controller.log"}, 1,
     "  FAIL  the log is well formed: line 8: controller id 0 reported again (first on line 7)"},
    {"log is a directory", {"DIR"}, 2, "a-directory: is a directory"},
    {"log is an endless device", {"/dev/zero"}, 2, "/dev/zero: is a character device"},
    {"log missing", {"MISSING"}, 2, "no-such.log: cannot open"},
    {"no log", {}, 2, "no log given"},
    {"two logs", {"RECORDED", "RECORDED"}, 2, "more than one log"},
    {"unknown option", {"--in-place", "RECORDED"}, 2, "unknown option '--in-place'"},
};

// Both report tools explain themselves and state the project's version.
TEST(TestbedReportCli, HelpAndVersion) {
  for (const std::string tool : {TESTBED_REPORT, TESTBED_USB_REPORT}) {
    const std::string name = tool.substr(tool.rfind('/') + 1);
    SCOPED_TRACE(name);
    for (const char *help : {"-h", "--help"}) {
      const ReportRun r = testtool::RunTool(tool, {help}, REPORT_SCRATCH_DIR);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out.rfind(name + " " USB_PEIM_VERSION "\n\nusage: " + name + " ", 0), 0u)
          << r.out;
      EXPECT_NE(r.out.find("Exit status: 0 every check passed"), std::string::npos) << r.out;
    }
    const ReportRun v = testtool::RunTool(tool, {"--version"}, REPORT_SCRATCH_DIR);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, name + " " USB_PEIM_VERSION "\n");
  }
}

TEST(TestbedReportCli, EachLogGetsItsStatusAndFailingCheck) {
  const std::string recorded = Scratch("recorded.log");
  std::ofstream(recorded, std::ios::binary | std::ios::trunc) << kAfterMemoryLog;
  mkdir(Scratch("a-directory").c_str(), 0755);
  for (const ReportCase &c : kReportCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args;
    for (const std::string &a : c.args) {
      if (a == "RECORDED") args.push_back(recorded);
      else if (a == "DIR") args.push_back(Scratch("a-directory"));
      else if (a == "MISSING") args.push_back(Scratch("no-such.log"));
      else if (a[0] == '-' || a[0] == '/') args.push_back(a);
      else args.push_back(std::string(ROBUSTNESS_DATA_DIR) + "/" + a);
    }
    const ReportRun r = RunReport(args);
    ASSERT_EQ(r.status, c.status) << "stdout:\n" << r.out << "stderr:\n" << r.err;
    if (c.status == 2) {
      EXPECT_EQ(r.out, "");
      ASSERT_FALSE(r.err.empty());
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "more than one line: " << r.err;
      EXPECT_EQ(r.err.rfind("testbed-report: ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.err, "");
      std::istringstream lines(r.out);
      std::string firstFailure, last;
      for (std::string line; std::getline(lines, line); last = line) {
        if (firstFailure.empty() && line.rfind("  FAIL  ", 0) == 0) firstFailure = line;
      }
      if (c.status == 0) {
        EXPECT_EQ(last, c.expected) << r.out;
      } else {
        EXPECT_EQ(firstFailure.rfind(c.expected, 0), 0u) << r.out;
      }
    }
  }
}

// The placement options as run-qemu.sh gives them for an in-place boot:
// the module's image as placed, the image as built, its offset in the PEI
// volume.
TEST(TestbedReportCli, PlacementIsCheckedWithTheLog) {
  const std::string log = Scratch("in-place.log"), built = Scratch("built.efi"),
                    placed = Scratch("placed.efi");
  std::ofstream(log, std::ios::binary | std::ios::trunc) << InPlaceLog();
  std::vector<uint8_t> efi = Built(false), image = PlacedAt(efi, kPeiVolumeBase + 0x27C00);
  std::ofstream(built, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char *>(efi.data()), std::streamsize(efi.size()));
  std::ofstream(placed, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char *>(image.data()), std::streamsize(image.size()));
  struct Case {
    const char *name;
    std::vector<std::string> args;
    int status;
    const char *expected;  // last line (0), first failure (1), in the stderr line (2)
  };
  const std::vector<Case> cases = {
      {"placed where the log shows the service",
       {"--apriori", "--placed", placed, "--built", built, "--volume-offset", "0x27C00", log}, 0,
       "23 of 23 checks passed"},
      {"the listing names another offset",
       {"--apriori", "--placed", placed, "--built", built, "--volume-offset", "0x27000", log}, 1,
       "  FAIL  GetUsbController lies in the module's image as placed, 0x00847000-"},
      {"--placed alone", {"--apriori", "--placed", placed, log}, 2, "go together"},
      {"offset beyond the volume",
       {"--placed", placed, "--built", built, "--volume-offset", "0xE0000", log}, 2,
       "--volume-offset: '0xE0000' is out of range"},
      {"placed image missing",
       {"--placed", placed + ".none", "--built", built, "--volume-offset", "0", log}, 2,
       "cannot open"},
      {"a log for an image", {"--placed", log, "--built", built, "--volume-offset", "0", log}, 2,
       "in-place.log: the placed image: "},
      {"option given twice",
       {"--placed", placed, "--placed", placed, "--built", built, "--volume-offset", "0", log}, 2,
       "--placed given twice"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const ReportRun r = RunReport(c.args);
    ASSERT_EQ(r.status, c.status) << "stdout:\n" << r.out << "stderr:\n" << r.err;
    if (c.status == 2) {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
      EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
      continue;
    }
    std::istringstream lines(r.out);
    std::string firstFailure, last;
    for (std::string line; std::getline(lines, line); last = line) {
      if (firstFailure.empty() && line.rfind("  FAIL  ", 0) == 0) firstFailure = line;
    }
    EXPECT_EQ(c.status == 0 ? last.rfind(c.expected, 0) : firstFailure.rfind(c.expected, 0), 0u)
        << r.out;
  }
}

TEST(BootLogParse, ReadsFieldsNumbersAndLineNumbers) {
  std::istringstream in("a: first n=0x1F d=42 s=text\r\n\nbroken line\nb: second x= y=0x\n");
  std::vector<std::string> malformed;
  std::vector<LogLine> lines = ParseLog(in, &malformed);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].number, 1u);
  EXPECT_EQ(lines[0].source, "a");
  EXPECT_EQ(lines[0].event, "first");
  EXPECT_EQ(lines[0].Number("n"), 0x1Fu);
  EXPECT_EQ(lines[0].Number("d"), 42u);
  EXPECT_EQ(lines[0].Number("s"), std::nullopt);
  EXPECT_EQ(lines[0].fields.at("s"), "text");
  EXPECT_EQ(lines[0].Number("missing"), std::nullopt);
  EXPECT_EQ(lines[1].number, 4u);
  EXPECT_EQ(lines[1].Number("x"), std::nullopt);
  EXPECT_EQ(lines[1].Number("y"), std::nullopt);
  ASSERT_EQ(malformed.size(), 1u);
  EXPECT_NE(malformed[0].find("line 3"), std::string::npos);

  std::istringstream big("a: b v=0x100000000\n");
  EXPECT_EQ(ParseLog(big)[0].Number("v"), std::nullopt);
}

}  // namespace
}  // namespace testbed

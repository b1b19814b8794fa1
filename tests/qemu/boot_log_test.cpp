// The checker of the QEMU boot log decides whether both boot cases pass, so
// it must catch every fault the test bed can show. Each case here starts
// from a log recorded in a real boot, plants one fault, and expects exactly
// the checks that describe it to fail.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "boot_log.h"

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

// The checker of the USB boots' log decides whether the real PEI USB stack
// read the stick through the module, so it must catch each fault the module
// can have: a wrong base, a dropped BAR write, a wrong type, an accepted id 3,
// and what the stack then shows. Each case starts from a log recorded in a
// real boot (the stick on EHCI controller 1, the bus-master PEIM in), plants
// one fault, and expects exactly the checks that describe it to fail. The
// retry rule for EhciPei's missed schedule-start wait is tested the same way:
// it must hold for that signature only.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "usb_log.h"

namespace testbed {
namespace {

// Recorded from a boot of testbed/run-qemu-usb.sh --controller 1 --bus-master
// (tag 0x12345678, 8192 blocks); EDK2's own lines shortened to a few.
const char kGoodLog[] = R"(usb-reader: entry code=0x1EF3F1C0 memory=1 notify-status=0x00000000
stall-provider: entry code=0x1EF3E1C0 memory=1 pmtimer-port=0x0608 acpi-io=already-on
stall-provider: installed status=0x00000000 notify-status=0x00000000
bus-master: entry notify-status=0x00000000
stall-provider: usb-controller-ppi-installed ppi=0x1EF2D000 memory=1 pmtimer=0x6568E1
bus-master: enabled id=0 base=0xF0008000 device=0x12 function=2 command-before=0x0002 command-after=0x0006
bus-master: enabled id=1 base=0xF0009000 device=0x13 function=2 command-before=0x0002 command-after=0x0006
bus-master: enabled id=2 base=0xF000A000 device=0x16 function=2 command-before=0x0002 command-after=0x0006
bus-master: done controllers=3
stall: begin us=1000000 memory=1 usb-ppi=1 pmtimer=0x661C43
stall: end us=1000000 ticks=3589123 pmtimer=0x9CE046
PeiUsbEnumeration: NumOfRootPort: 6
PeiUsbEnumeration: NumOfRootPort: 6
Device Speed =2
PeiUsbEnumeration: PeiConfigureUsbDevice Success
PeiUsbEnumeration: NumOfRootPort: 6
PeiUsbBulkTransfer: Success
PeiUsbBulkTransfer: Success
usb-reader: block-io block-io-status=0x00000000 block-io2-status=0x00000000 usb2-host-controllers=3
usb-reader: media interface=block-io count-status=0x00000000 devices=1 media-status=0x00000000 device-type=3 present=1 block-size=512 last-block=8191
usb-reader: read interface=block-io lba=0 blocks=1 status=0x00000000 tag=0x12345678 mismatches=0 first-mismatch=0xFFFFFFFF
usb-reader: read interface=block-io lba=4087 blocks=16 status=0x00000000 tag=0x12345678 mismatches=0 first-mismatch=0xFFFFFFFF
usb-reader: read interface=block-io lba=8191 blocks=1 status=0x00000000 tag=0x12345678 mismatches=0 first-mismatch=0xFFFFFFFF
usb-reader: media interface=block-io2 count-status=0x00000000 devices=1 media-status=0x00000000 interface-type=5 removable=1 present=1 read-only=0 block-size=512 last-block=8191 last-block-high=0
usb-reader: read interface=block-io2 lba=0 blocks=1 status=0x00000000 tag=0x12345678 mismatches=0 first-mismatch=0xFFFFFFFF
usb-reader: read interface=block-io2 lba=4087 blocks=16 status=0x00000000 tag=0x12345678 mismatches=0 first-mismatch=0xFFFFFFFF
usb-reader: read interface=block-io2 lba=8191 blocks=1 status=0x00000000 tag=0x12345678 mismatches=0 first-mismatch=0xFFFFFFFF
usb-reader: usb-controller-ppi status=0x00000000
usb-reader: controller id=0 status=0x00000000 type=0x00000003 base=0xF0008000 caplength=0x20 ports=6 enabled-ports=0x0000 usbcmd=0x00080031 usbsts=0x0000C000
usb-reader: controller id=1 status=0x00000000 type=0x00000003 base=0xF0009000 caplength=0x20 ports=6 enabled-ports=0x0001 usbcmd=0x00080031 usbsts=0x0000C000
usb-reader: controller id=2 status=0x00000000 type=0x00000003 base=0xF000A000 caplength=0x20 ports=6 enabled-ports=0x0000 usbcmd=0x00080031 usbsts=0x0000C000
usb-reader: controller id=3 status=0x80000002 type=0xA5A5A5A5 base=0xA5A5A5A5
usb-reader: pci device=0x12 function=2 id=0x24CD8086 command=0x0006 bar0=0xF0008000
usb-reader: pci device=0x13 function=2 id=0x24CD8086 command=0x0006 bar0=0xF0009000
usb-reader: pci device=0x16 function=2 id=0x24CD8086 command=0x0006 bar0=0xF000A000
usb-reader: done result=read
)";

// Replaces the one occurrence of `from`; fails the test if there is none, so
// that a planted fault can never silently miss.
std::string Replace(std::string text, const std::string &from, const std::string &to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "not in the log: " << from;
  EXPECT_EQ(text.find(from, at + 1), std::string::npos) << "more than once: " << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Every line holding `part` removed.
std::string Drop(const std::string &text, const std::string &part) {
  std::string out, line;
  for (char c : text) {
    line += c;
    if (c == '\n') {
      if (line.find(part) == std::string::npos) out += line;
      line.clear();
    }
  }
  return out + line;
}

UsbExpectation Expected() {
  UsbExpectation x;
  x.controller = 1;
  x.device = 0x13;
  x.function = 2;
  x.blocks = 8192;
  x.tag = 0x12345678;
  x.busMaster = true;
  return x;
}

// The log of a boot where the bus-master PEIM was left out.
std::string WithoutBusMaster() {
  std::string log = Drop(kGoodLog, "bus-master: ");
  for (const char *d : {"0x12", "0x13", "0x16"}) {
    log = Replace(log, std::string("device=") + d + " function=2 id=0x24CD8086 command=0x0006",
                  std::string("device=") + d + " function=2 id=0x24CD8086 command=0x0002");
  }
  return log;
}

// EhciPei gave up on controller 2 after starting its run (USBCMD run and
// periodic schedule enable, no asynchronous one): two host controller PPIs.
std::string ScheduleMissLog() {
  std::string log = Replace(kGoodLog, "usb2-host-controllers=3", "usb2-host-controllers=2");
  return Replace(log, "base=0xF000A000 caplength=0x20 ports=6 enabled-ports=0x0000 usbcmd=0x00080031",
                 "base=0xF000A000 caplength=0x20 ports=6 enabled-ports=0x0000 usbcmd=0x00080011");
}

// The failing checks; each must say what was seen.
std::set<std::string> Failed(const std::string &log, const UsbExpectation &x) {
  std::set<std::string> failed;
  for (const UsbCheck &c : CheckUsbBoot(ReadUsbBootLog(log), x)) {
    if (c.ok) continue;
    failed.insert(c.what);
    EXPECT_FALSE(c.detail.empty()) << c.what;
  }
  return failed;
}

// Each expected part names one failing check (a part of its text), and every
// failing check is named.
void ExpectExactly(const std::set<std::string> &failed, const std::vector<std::string> &parts) {
  std::set<std::string> matched;
  for (const std::string &part : parts) {
    bool found = false;
    for (const std::string &f : failed) {
      if (f.find(part) != std::string::npos) {
        matched.insert(f);
        found = true;
      }
    }
    EXPECT_TRUE(found) << "no failing check about: " << part;
  }
  for (const std::string &f : failed) EXPECT_TRUE(matched.count(f)) << "also failed: " << f;
}

TEST(UsbLog, RecordedBootsPass) {
  EXPECT_TRUE(Failed(kGoodLog, Expected()).empty());
  UsbExpectation x = Expected();
  x.busMaster = false;
  EXPECT_TRUE(Failed(WithoutBusMaster(), x).empty());
  UsbBootReport r = ReadUsbBootLog(kGoodLog);
  EXPECT_EQ(r.reads.size(), 6u);
  EXPECT_EQ(r.controllers.size(), 4u);
  EXPECT_EQ(r.busMaster.size(), 3u);
}

struct Fault {
  const char *name;
  std::function<std::string()> log;
  std::function<void(UsbExpectation &)> expect;
  std::vector<std::string> failing;
};

const char kIds[] = "ids 0-2: EHCI";

TEST(UsbLog, PlantedFaultsFailTheirChecks) {
  auto none = [](UsbExpectation &) {};
  const std::vector<Fault> faults = {
      // The module's faults, as the reader sees them through the PPI.
      {"wrong base", [] { return Replace(kGoodLog, "base=0xF0009000 caplength=0x20",
                                         "base=0xF0009100 caplength=0x20"); },
       none, {kIds, "controller id 1 is 00:13.2"}},
      {"dropped BAR write", [] { return Replace(kGoodLog, "command=0x0006 bar0=0xF0009000",
                                                "command=0x0006 bar0=0x00000000"); },
       none, {kIds, "controller id 1 is 00:13.2"}},
      {"wrong type", [] { return Replace(kGoodLog, "id=1 status=0x00000000 type=0x00000003",
                                         "id=1 status=0x00000000 type=0x00000002"); },
       none, {kIds}},
      // The reader asks ids until one is refused: after an accepted id 3 it asks id 4.
      {"id 3 accepted", [] { return Replace(kGoodLog,
                                            "id=3 status=0x80000002 type=0xA5A5A5A5 base=0xA5A5A5A5",
                                            "id=3 status=0x00000000 type=0x00000001 base=0xF000B000\n"
                                            "usb-reader: controller id=4 status=0x80000002 type=0xA5A5A5A5 "
                                            "base=0xA5A5A5A5"); },
       none, {kIds}},
      // ... and stops at the first refused one.
      {"id 1 refused", [] {
         std::string log = Replace(kGoodLog, "id=1 status=0x00000000 type=0x00000003 base=0xF0009000 "
                                             "caplength=0x20 ports=6 enabled-ports=0x0001 usbcmd=0x00080031 "
                                             "usbsts=0x0000C000",
                                   "id=1 status=0x80000002 type=0xA5A5A5A5 base=0xA5A5A5A5");
         return Drop(Drop(log, "controller id=2 "), "controller id=3 ");
       },
       none, {kIds, "controller id 1 is 00:13.2", "found on controller id 1"}},
      {"no capability registers at the base", [] { return Replace(kGoodLog,
                                            "base=0xF0008000 caplength=0x20", "base=0xF0008000 caplength=0x00"); },
       none, {kIds}},
      {"stack saw the wrong base: PEI ended without a block device",
       [] {
         std::string log = Drop(kGoodLog, "usb-reader: read ");
         log = Drop(log, "usb-reader: media ");
         log = Replace(log, "usb-reader: block-io block-io-status=0x00000000 block-io2-status=0x00000000 "
                            "usb2-host-controllers=3",
                       "usb-reader: end-of-pei usb2-host-controllers=1");
         log = Replace(log, "base=0xF0009000 caplength=0x20 ports=6 enabled-ports=0x0001 usbcmd=0x00080031",
                       "base=0xF0009800 caplength=0x00 ports=0 enabled-ports=0x0000 usbcmd=0x00000000");
         return Replace(log, "done result=read", "done result=no-block-device");
       },
       none,
       {"installed the block I/O PPIs", "both block I/O PPIs", "started all three",
        "block-io: one stick", "block-io2: one stick", "block-io: LBA 0 ", "block-io: LBA 4087",
        "block-io: LBA 8191", "block-io2: LBA 0 ", "block-io2: LBA 4087", "block-io2: LBA 8191",
        kIds, "found on controller id 1", "controller id 1 is 00:13.2", "finished its report"}},
      // The stick as read.
      {"a byte differs in the run", [] { return Replace(kGoodLog,
                                           "interface=block-io2 lba=4087 blocks=16 status=0x00000000 tag=0x12345678 mismatches=0 first-mismatch=0xFFFFFFFF",
                                           "interface=block-io2 lba=4087 blocks=16 status=0x00000000 tag=0x12345678 mismatches=1 first-mismatch=0x00000A00"); },
       none, {"block-io2: LBA 4087-4102"}},
      {"another stick's tag", [] { return Replace(kGoodLog,
                                     "interface=block-io lba=0 blocks=1 status=0x00000000 tag=0x12345678",
                                     "interface=block-io lba=0 blocks=1 status=0x00000000 tag=0x12345679"); },
       none, {"block-io: LBA 0 "}},
      {"a read failed", [] { return Replace(kGoodLog,
                               "interface=block-io lba=8191 blocks=1 status=0x00000000",
                               "interface=block-io lba=8191 blocks=1 status=0x80000007"); },
       none, {"block-io: LBA 8191"}},
      {"a read missing", [] { return Drop(kGoodLog, "interface=block-io2 lba=0 "); },
       none, {"block-io2: LBA 0 "}},
      {"one block short", [] { return Replace(kGoodLog, "block-size=512 last-block=8191\n",
                                              "block-size=512 last-block=8190\n"); },
       none, {"block-io: one stick"}},
      {"block I/O 2 missing", [] { return Replace(kGoodLog, "block-io2-status=0x00000000",
                                                  "block-io2-status=0x8000000E"); },
       none, {"both block I/O PPIs"}},
      {"the stick on another controller", [] {
         std::string log = Replace(kGoodLog, "base=0xF0008000 caplength=0x20 ports=6 enabled-ports=0x0000",
                                   "base=0xF0008000 caplength=0x20 ports=6 enabled-ports=0x0001");
         return Replace(log, "base=0xF0009000 caplength=0x20 ports=6 enabled-ports=0x0001",
                        "base=0xF0009000 caplength=0x20 ports=6 enabled-ports=0x0000");
       },
       none, {"found on controller id 1"}},
      {"the stick expected on controller 2", [] { return std::string(kGoodLog); },
       [](UsbExpectation &x) {
         x.controller = 2;
         x.device = 0x16;
       },
       {"found on controller id 2"}},
      // PCI command registers.
      {"bus mastering on without the platform PEIM", [] { return Drop(kGoodLog, "bus-master: "); },
       [](UsbExpectation &x) { x.busMaster = false; },
       {"00:12.2: memory decoding on, bus mastering off", "00:13.2: memory decoding on",
        "00:16.2: memory decoding on"}},
      {"bus-master PEIM missed a controller", [] { return Drop(kGoodLog, "bus-master: enabled id=2"); },
       none, {"turned bus mastering on"}},
      {"memory decoding off", [] { return Replace(kGoodLog, "command=0x0006 bar0=0xF000A000",
                                                  "command=0x0004 bar0=0xF000A000"); },
       none, {"00:16.2: memory decoding on"}},
      // EhciPei, the reader, the log.
      {"EhciPei started two controllers", ScheduleMissLog, none, {"started all three"}},
      {"the reader never ran", [] { return Drop(kGoodLog, "usb-reader: "); }, none,
       {"ran after memory", "installed the block I/O PPIs", "both block I/O PPIs", "started all three",
        "block-io: one stick", "block-io2: one stick", "block-io: LBA 0 ", "block-io: LBA 4087",
        "block-io: LBA 8191", "block-io2: LBA 0 ", "block-io2: LBA 4087", "block-io2: LBA 8191",
        "PEI_USB_CONTROLLER_PPI located", kIds, "found on controller id 1",
        "controller id 1 is 00:13.2", "00:12.2", "00:13.2: memory", "00:16.2", "finished its report"}},
      {"a read given twice", [] { return Replace(kGoodLog, "usb-reader: usb-controller-ppi status=0x00000000\n",
                                                 "usb-reader: read interface=block-io lba=0 blocks=1 status=0x00000000 "
                                                 "tag=0x12345678 mismatches=0 first-mismatch=0xFFFFFFFF\n"
                                                 "usb-reader: usb-controller-ppi status=0x00000000\n"); },
       none, {"reads cleanly"}},
      {"a line after done", [] { return std::string(kGoodLog) + "usb-reader: done result=read\n"; },
       none, {"reads cleanly"}},
      {"a controller twice", [] { return Replace(kGoodLog, "usb-reader: usb-controller-ppi status=0x00000000\n",
                                                 "usb-reader: usb-controller-ppi status=0x00000000\n"
                                                 "usb-reader: controller id=0 status=0x00000000 type=0x00000003 base=0xF0008000\n"); },
       none, {"reads cleanly", kIds}},
      {"a garbled line", [] { return Replace(kGoodLog, "usb-reader: usb-controller-ppi status=0x00000000",
                                             "usb-reader: usb-controller-ppi status=0x0000000G"); },
       none, {"reads cleanly", "PEI_USB_CONTROLLER_PPI located"}},
      {"the reader ran before memory", [] { return Replace(kGoodLog, "code=0x1EF3F1C0 memory=1",
                                                           "code=0x1EF3F1C0 memory=0"); },
       none, {"ran after memory"}},
  };
  for (const Fault &f : faults) {
    SCOPED_TRACE(f.name);
    UsbExpectation x = Expected();
    f.expect(x);
    ExpectExactly(Failed(f.log(), x), f.failing);
  }
}

// One more boot only for EhciPei's missed schedule-start wait with a faultless
// module; never for the module's own faults, even when they look alike.
TEST(UsbLog, ScheduleStartMissedOnlyForItsSignature) {
  uint32_t k = 99;
  EXPECT_TRUE(ScheduleStartMissed(ReadUsbBootLog(ScheduleMissLog()), &k));
  EXPECT_EQ(k, 2u);
  const struct {
    const char *name;
    std::function<std::string()> log;
  } notRetried[] = {
      {"a good boot", [] { return std::string(kGoodLog); }},
      {"wrong base of the stopped controller",
       [] { return Replace(ScheduleMissLog(), "base=0xF000A000 caplength=0x20",
                           "base=0xF000A100 caplength=0x20"); }},
      {"BAR write dropped",
       [] { return Replace(ScheduleMissLog(), "bar0=0xF000A000", "bar0=0x00000000"); }},
      {"id 3 accepted",
       [] { return Replace(ScheduleMissLog(), "id=3 status=0x80000002 type=0xA5A5A5A5 base=0xA5A5A5A5",
                           "id=3 status=0x00000000 type=0x00000003 base=0xF000B000"); }},
      {"wrong type", [] { return Replace(ScheduleMissLog(), "id=2 status=0x00000000 type=0x00000003",
                                         "id=2 status=0x00000000 type=0x00000001"); }},
      {"the stopped controller not running",
       [] { return Replace(ScheduleMissLog(), "usbcmd=0x00080011", "usbcmd=0x00080010"); }},
      {"a later controller touched",
       [] {
         std::string log = Replace(ScheduleMissLog(), "usb2-host-controllers=2", "usb2-host-controllers=1");
         return Replace(log, "base=0xF0009000 caplength=0x20 ports=6 enabled-ports=0x0001 usbcmd=0x00080031",
                        "base=0xF0009000 caplength=0x20 ports=6 enabled-ports=0x0001 usbcmd=0x00080011");
       }},
      {"a damaged log", [] { return ScheduleMissLog() + "usb-reader: entry memory=1 notify-status=0x0\n"; }},
      {"no report", [] { return Drop(ScheduleMissLog(), "usb-reader: done"); }},
  };
  for (const auto &row : notRetried) {
    SCOPED_TRACE(row.name);
    EXPECT_FALSE(ScheduleStartMissed(ReadUsbBootLog(row.log())));
  }
}

// The reader writes its report in one order, and one boot ends it one way:
// a log that no boot can write fails "the log reads cleanly", whatever the
// other checks make of it, and the problem says what is out of place.
TEST(UsbLog, LogsNoBootWritesAreProblems) {
  const std::string refused = "usb-reader: controller id=3 status=0x80000002 type=0xA5A5A5A5 base=0xA5A5A5A5\n";
  const std::string id4 = "usb-reader: controller id=4 status=0x00000000 type=0x00000003 base=0xF000B000 "
                          "caplength=0x20 ports=6 enabled-ports=0x0000 usbcmd=0x00080031 usbsts=0x0000C000\n";
  const std::string ppi = "usb-reader: usb-controller-ppi status=0x00000000\n";
  const std::string pci12 = "usb-reader: pci device=0x12 function=2 id=0x24CD8086 command=0x0006 bar0=0xF0008000\n";
  const std::string pci13 = "usb-reader: pci device=0x13 function=2 id=0x24CD8086 command=0x0006 bar0=0xF0009000\n";
  const std::string lastRead = "usb-reader: read interface=block-io2 lba=8191 blocks=1 status=0x00000000 "
                               "tag=0x12345678 mismatches=0 first-mismatch=0xFFFFFFFF\n";
  const struct {
    const char *name;
    std::function<std::string()> log;
    const char *problem;  // a part of the first problem
  } rows[] = {
      {"both endings", [] { return Replace(kGoodLog, "usb-reader: done result=read\n",
                                           "usb-reader: end-of-pei usb2-host-controllers=3\n"
                                           "usb-reader: done result=read\n"); },
       "ends one way per boot"},
      {"end-of-pei first, then block-io",
       [] { return "usb-reader: end-of-pei usb2-host-controllers=3\n" + std::string(kGoodLog); },
       "ends one way per boot"},
      {"a controller after the refused id",
       [&] { return Replace(kGoodLog, refused, refused + id4); }, "after the reader stopped at the refused id 3"},
      {"ids out of order", [&] {
         return Replace(kGoodLog, "usb-reader: controller id=0 ", "usb-reader: controller id=1 ");
       },
       "id 1 where the reader asks id 0 next"},
      {"an id skipped", [] { return Drop(kGoodLog, "controller id=1 "); }, "id 2 where the reader asks id 1 next"},
      {"the list of controllers not ended", [&] { return Drop(kGoodLog, "controller id=3 "); },
       "still asks for controllers (id 3 next)"},
      {"controllers without the PPI located",
       [] { return Replace(kGoodLog, "usb-controller-ppi status=0x00000000", "usb-controller-ppi status=0x8000000E"); },
       "did not locate the PPI"},
      {"controllers before the PPI's lookup", [&] {
         std::string log = Replace(kGoodLog, ppi, "");
         return Replace(log, pci12, ppi + pci12);
       },
       "outside the reader's list of controllers"},
      {"the PPI looked up before the ending", [&] {
         std::string log = Replace(kGoodLog, ppi, "");
         return Replace(log, "usb-reader: block-io ", ppi + "usb-reader: block-io ");
       },
       "before the reader's block-io or end-of-pei line"},
      {"a read after the PPI's lookup", [&] {
         std::string log = Replace(kGoodLog, lastRead, "");
         return Replace(log, pci12, lastRead + pci12);
       },
       "outside the reader's block I/O part"},
      {"a medium after end-of-pei", [] {
         return Replace(kGoodLog, "usb-reader: block-io block-io-status=0x00000000 block-io2-status=0x00000000 "
                                  "usb2-host-controllers=3",
                        "usb-reader: end-of-pei usb2-host-controllers=3");
       },
       "outside the reader's block I/O part"},
      {"functions out of order", [&] {
         std::string log = Replace(kGoodLog, pci12, "");
         return Replace(log, pci13, pci13 + pci12);
       },
       "0x13.2 where the reader reports 0x12.2 next"},
      {"a function missing", [&] { return Replace(kGoodLog, pci13, ""); }, "0x16.2 where the reader reports 0x13.2"},
      {"done before the functions", [] { return Drop(kGoodLog, "usb-reader: pci device=0x16"); },
       "before the reader reported the three EHCI functions"},
      {"done with the other ending's result",
       [] { return Replace(kGoodLog, "done result=read", "done result=no-block-device"); },
       "where the reader writes read"},
      {"done without an ending", [] { return "usb-reader: done result=read\n" + std::string(kGoodLog); },
       "before the reader's block-io or end-of-pei line"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    UsbBootReport r = ReadUsbBootLog(row.log());
    ASSERT_FALSE(r.problems.empty());
    EXPECT_NE(r.problems.front().find(row.problem), std::string::npos) << r.problems.front();
    EXPECT_TRUE(Failed(row.log(), Expected()).count("the log reads cleanly"));
  }
}

// Lines of other sources, however odd, are not the reader's business; the
// reader's own lines that do not read are problems, and a log of repeated
// lines keeps a bounded list of them.
TEST(UsbLog, OtherLinesSkippedOwnLinesJudged) {
  UsbBootReport r = ReadUsbBootLog(std::string("USB Status --- Port: 0 x\n\xff\xfe garbage\n") + kGoodLog);
  EXPECT_TRUE(r.problems.empty());
  const char *bad[] = {
      "usb-reader: \n", "usb-reader: read interface=floppy lba=0 blocks=1 status=0 tag=0 mismatches=0 first-mismatch=0\n",
      "usb-reader: entry memory=1 memory=1 notify-status=0\n", "usb-reader: entry memory=1 stray notify-status=0\n",
      "usb-reader: controller id=99999999999 status=0 type=0 base=0\n", "usb-reader: something\n",
      "bus-master: enabled id=0\n",
  };
  for (const char *line : bad) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(ReadUsbBootLog(line).problems.empty());
  }
  std::string repeated;
  for (int i = 0; i < 5000; i++) repeated += "usb-reader: bogus\n";
  EXPECT_LE(ReadUsbBootLog(repeated).problems.size(), 1000u);
}

// testbed-usb-report as a process: its exit status and one-line errors.
int RunReport(const std::string &args, std::string *err = nullptr) {
  std::string errFile = std::string(USB_REPORT_SCRATCH_DIR) + "/stderr";
  int raw = std::system((std::string(TESTBED_USB_REPORT) + " " + args + " >/dev/null 2>" + errFile).c_str());
  if (err) {
    std::ifstream in(errFile);
    *err = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(UsbReport, ExitStatusAndErrors) {
  std::system(("mkdir -p " + std::string(USB_REPORT_SCRATCH_DIR)).c_str());
  std::string dir = USB_REPORT_SCRATCH_DIR;
  auto write = [&](const std::string &name, const std::string &text) {
    std::ofstream(dir + "/" + name) << text;
    return dir + "/" + name;
  };
  const std::string expect = "--controller 1 --function 0x13.2 --blocks 8192 --tag 0x12345678 ";
  EXPECT_EQ(RunReport(expect + "--bus-master on " + write("good.log", kGoodLog)), 0);
  EXPECT_EQ(RunReport(expect + "--bus-master off " + write("good.log", kGoodLog)), 1);
  EXPECT_EQ(RunReport(expect + "--bus-master on " + write("miss.log", ScheduleMissLog())), 3);
  // The recorded boot passes; with one line added that no boot writes, it fails.
  const std::string data = std::string(ROBUSTNESS2_DATA_DIR) + "/";
  EXPECT_EQ(RunReport(expect + "--bus-master on " + data + "G16-good.log"), 0);
  for (const char *log : {"G16-both-endings.log", "G16-id4-after-refusal.log"}) {
    SCOPED_TRACE(log);
    EXPECT_EQ(RunReport(expect + "--bus-master on " + data + log), 1);
  }
  const struct {
    std::string args, message;
  } bad[] = {
      {expect + "--bus-master on " + dir + "/missing.log", "missing.log"},
      {expect + "--bus-master maybe " + dir + "/good.log", "--bus-master"},
      {"--controller 3 --function 0x13.2 --blocks 8192 --tag 1 --bus-master on " + dir + "/good.log", "--controller"},
      {"--controller 1 --function 13 --blocks 8192 --tag 1 --bus-master on " + dir + "/good.log", "--function"},
      {"--controller 1 --function 0x13.2 --blocks 8 --tag 1 --bus-master on " + dir + "/good.log", "--blocks"},
      {expect + dir + "/good.log", "--bus-master"},
      {expect + "--bus-master on", "no log"},
      {expect + "--bus-master on --bogus " + dir + "/good.log", "--bogus"},
      {expect + "--bus-master on " + dir, "testbed-usb-report"},
  };
  for (const auto &row : bad) {
    SCOPED_TRACE(row.args);
    std::string err;
    EXPECT_EQ(RunReport(row.args, &err), 2);
    EXPECT_NE(err.find(row.message), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

}  // namespace
}  // namespace testbed

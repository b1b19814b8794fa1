// Reads the debug-console log of a USB test-bed boot (testbed/run-qemu-usb.sh)
// and judges it: the lines of the USB reader PEIM ("usb-reader: ...") and of
// the bus-master platform PEIM ("bus-master: ..."), among everything else the
// firmware and EDK2's USB PEIMs write to the same port, which is skipped.
#ifndef TESTBED_REPORT_USB_LOG_H_
#define TESTBED_REPORT_USB_LOG_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace testbed {

// One "<source>: <event> key=value ..." line of the two PEIMs.
struct UsbLogLine {
  size_t number = 0;  // 1-based line number in the log
  std::string source, event;
  std::map<std::string, std::string> fields;
};

struct UsbMedia {
  size_t line = 0;
  uint32_t countStatus = 0, devices = 0, mediaStatus = 0, present = 0, blockSize = 0;
  uint32_t lastBlock = 0, lastBlockHigh = 0;
};

struct UsbRead {
  size_t line = 0;
  std::string interface;
  uint32_t lba = 0, blocks = 0, status = 0, tag = 0, mismatches = 0, firstMismatch = 0;
};

struct UsbController {
  size_t line = 0;
  uint32_t id = 0, status = 0, type = 0, base = 0;
  // EHCI only: read through the reported base.
  std::optional<uint32_t> capLength, ports, enabledPorts, usbCmd, usbSts;
};

struct UsbPciFunction {
  size_t line = 0;
  uint32_t device = 0, function = 0, ids = 0, command = 0, bar0 = 0;
};

struct BusMasterChange {
  size_t line = 0;
  uint32_t id = 0, base = 0, device = 0, function = 0, before = 0, after = 0;
};

struct UsbBootReport {
  std::optional<size_t> entryLine;
  uint32_t entryMemory = 0, notifyStatus = 0;
  // "block-io" (the PPIs came) or "end-of-pei" (PEI ended first).
  std::optional<size_t> blockIoLine, endOfPeiLine;
  uint32_t blockIoStatus = 0, blockIo2Status = 0;
  std::optional<uint32_t> usb2HostControllers;
  std::optional<UsbMedia> media, media2;  // block-io, block-io2
  std::vector<UsbRead> reads;
  std::optional<uint32_t> controllerPpiStatus;
  std::vector<UsbController> controllers;
  std::vector<UsbPciFunction> functions;
  std::vector<BusMasterChange> busMaster;
  std::optional<uint32_t> busMasterControllers;  // "bus-master: done"
  std::string result;  // of "usb-reader: done": read, no-block-device
  // Lines of the two PEIMs that could not be read, and events that cannot
  // have happened in one boot (given twice, or after "done").
  std::vector<std::string> problems;
};

// Reads the log; lines of other sources are skipped.
UsbBootReport ReadUsbBootLog(const std::string &log);

// What the test bed set up for the boot.
struct UsbExpectation {
  uint32_t controller = 0;         // the id the stick's EHCI controller should have
  uint32_t device = 0, function = 0;  // its PCI function
  uint32_t blocks = 0;             // the stick's 512-byte blocks
  uint32_t tag = 0;                // the tag its image carries
  bool busMaster = false;          // the bus-master platform PEIM was put in
};

struct UsbCheck {
  std::string what;
  bool ok = false;
  std::string detail;  // what was seen, when it failed
};

// The EHCI functions of the chipset, in the order of the ids the module gives them.
struct EhciAddress {
  uint32_t device, function;
};
extern const EhciAddress kEhciFunctions[3];

std::vector<UsbCheck> CheckUsbBoot(const UsbBootReport &report, const UsbExpectation &expect);

// True when the boot went wrong the one way the emulator's timing can make
// it with a faultless module: the module reported all three controllers right
// (EHCI, bases equal to the functions' BAR0, capability registers there, id 3
// refused), and EDK2's EhciPei started the first k controllers, left
// controller k running (it set the run bit, then gave up waiting 10 ms for a
// schedule to start, and so stopped) and never touched the later ones. The
// stick may still have been read (it was on a controller before k) or not.
// A boot that failed its checks so is worth one more try.
bool ScheduleStartMissed(const UsbBootReport &report, uint32_t *controller = nullptr);

// A readable account of what the reader saw; lists at most kMaxPrintedEvents
// of each kind of event and kMaxPrintedProblems problems.
constexpr size_t kMaxUsbPrintedEvents = 64;
constexpr size_t kMaxUsbPrintedProblems = 20;
void PrintUsbReport(std::ostream &out, const UsbBootReport &report);

}  // namespace testbed

#endif  // TESTBED_REPORT_USB_LOG_H_

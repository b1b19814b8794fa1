// Shared by the two test-bed PEIMs (the Stall provider and the USB consumer):
// the PI types they need beyond the module's own headers, port and PCI
// access, and a line logger on the debug console port.
//
// Both PEIMs may run in place from the firmware volume before memory exists,
// so nothing here keeps writable static data: state lives on the stack.
#ifndef TESTBED_TESTBED_H_
#define TESTBED_TESTBED_H_

#include "pi_pei.h"
#include "usb_controller_ppi.h"
#include "pci.h"

namespace testbed {

// --- PI: notification and the PPIs the test bed names -----------------------

struct EFI_PEI_NOTIFY_DESCRIPTOR;
typedef EFI_STATUS(EFIAPI *EFI_PEIM_NOTIFY_ENTRY_POINT)(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, VOID *Ppi);
struct EFI_PEI_NOTIFY_DESCRIPTOR {
  UINTN Flags;
  const EFI_GUID *Guid;
  EFI_PEIM_NOTIFY_ENTRY_POINT Notify;
};
typedef EFI_STATUS(EFIAPI *EFI_PEI_NOTIFY_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                               const EFI_PEI_NOTIFY_DESCRIPTOR *NotifyList);
static_assert(sizeof(EFI_PEI_NOTIFY_DESCRIPTOR) == 12, "notify descriptor layout");

// 1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56
constexpr EFI_GUID kStallPpiGuid = {
    0x1F4C6F90, 0xB06B, 0x48D8, {0xA2, 0x01, 0xBA, 0xE5, 0xF1, 0xCD, 0x7D, 0x56}};
// 3BC1F6DE-693E-4547-A300-21823CA420B2
constexpr EFI_GUID kUsbControllerPpiGuid = {
    0x3BC1F6DE, 0x693E, 0x4547, {0xA3, 0x00, 0x21, 0x82, 0x3C, 0xA4, 0x20, 0xB2}};
// F894643D-C449-42D1-8EA8-85BDD8C65BDE: installed once permanent memory is.
constexpr EFI_GUID kMemoryDiscoveredPpiGuid = {
    0xF894643D, 0xC449, 0x42D1, {0x8E, 0xA8, 0x85, 0xBD, 0xD8, 0xC6, 0x5B, 0xDE}};
// 605EA650-C65C-42E1-BA80-91A52AB618C6: installed when PEI hands over to DXE.
constexpr EFI_GUID kEndOfPeiPpiGuid = {
    0x605EA650, 0xC65C, 0x42E1, {0xBA, 0x80, 0x91, 0xA5, 0x2A, 0xB6, 0x18, 0xC6}};

static inline EFI_PEI_NOTIFY_PPI NotifyPpiService(const EFI_PEI_SERVICES **PeiServices) {
  return (EFI_PEI_NOTIFY_PPI)(*PeiServices)->NotifyPpi;
}

// 1 once the PEI Foundation has permanent memory, else 0.
static inline UINT32 MemoryDiscovered(const EFI_PEI_SERVICES **PeiServices) {
  VOID *Ppi;
  return EFI_ERROR((*PeiServices)->LocatePpi(PeiServices, &kMemoryDiscoveredPpiGuid, 0, nullptr,
                                             &Ppi))
             ? 0
             : 1;
}

// --- Ports and PCI configuration (mechanism #1) ------------------------------

// The aligned dword holding Register of a function on bus 0.
static inline UINT32 PciRead32(UINT32 Device, UINT32 Function, UINT32 Register) {
  return ::PciRead32(PciCf8Address(0, Device, Function, Register & 0xFC));
}
static inline VOID PciWrite32(UINT32 Device, UINT32 Function, UINT32 Register, UINT32 Value) {
  ::PciWrite32(PciCf8Address(0, Device, Function, Register & 0xFC), Value);
}

// --- QEMU's isa-debug-exit at 0xF4: QEMU exits with status 2 * Value + 1 ------

[[noreturn]] static inline VOID ExitQemu(UINT32 Value) {
  IoWrite32(0xF4, Value);
  for (;;) {
    __asm__ __volatile__("cli; hlt");
  }
}
// The consumer's report is complete (QEMU status 65).
constexpr UINT32 kExitReportDone = 0x20;
// PEI ended and no consumer ran (QEMU status 67).
constexpr UINT32 kExitEndOfPei = 0x21;

// --- Log lines on the debug console (port 0x402) -----------------------------
// One line per event: "<source>: <event> key=value key=value ...", numbers in
// hexadecimal with 0x and fixed width, or in decimal.

class LogLine {
 public:
  LogLine(const char *Source, const char *Event) {
    Text(Source);
    Text(": ");
    Text(Event);
  }
  ~LogLine() { IoWrite8(kPort, '\n'); }
  LogLine &Hex(const char *Key, UINT32 Value, UINT32 Digits = 8) {
    Key_(Key);
    Text("0x");
    for (UINT32 Shift = Digits * 4; Shift != 0;) {
      Shift -= 4;
      IoWrite8(kPort, "0123456789ABCDEF"[(Value >> Shift) & 0xF]);
    }
    return *this;
  }
  LogLine &Dec(const char *Key, UINT32 Value) {
    Key_(Key);
    char Digits[10];
    UINT32 Count = 0;
    do {
      Digits[Count++] = (char)('0' + Value % 10);
      Value /= 10;
    } while (Value != 0);
    while (Count != 0) {
      IoWrite8(kPort, (UINT8)Digits[--Count]);
    }
    return *this;
  }
  LogLine &Str(const char *Key, const char *Value) {
    Key_(Key);
    Text(Value);
    return *this;
  }

 private:
  static constexpr UINT16 kPort = 0x402;
  static VOID Text(const char *S) {
    while (*S != '\0') {
      IoWrite8(kPort, (UINT8)*S++);
    }
  }
  static VOID Key_(const char *Key) {
    IoWrite8(kPort, ' ');
    Text(Key);
    IoWrite8(kPort, '=');
  }
};

}  // namespace testbed

#endif  // TESTBED_TESTBED_H_

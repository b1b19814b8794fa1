// Test-bed Stall provider: installs EFI_PEI_STALL_PPI with a real wait on the
// ACPI PM timer, and logs every call on the debug console.
//
// It may run in place before memory, ahead of the platform PEIM that sets up
// the chipset's ACPI I/O space, so it enables that space itself when it is
// still off: PMBASE (LPC 00:1F.0 register 0x40) gets 0x600, the base the
// firmware itself uses, and ACPI_CNTL (register 0x44) its enable bit. The
// platform PEIM later finds the space on and leaves it as it is.
//
// It also watches, through notifications, for PEI_USB_CONTROLLER_PPI (so the
// log shows when it was installed relative to each Stall) and for the end of
// PEI: if PEI ends, the consumer never ran, and it stops QEMU at once with
// its own status instead of letting the firmware boot on.
#include "testbed.h"

using namespace testbed;

namespace {

constexpr UINT32 kLpcDevice = 0x1F;
constexpr UINT32 kLpcFunction = 0;
constexpr UINT32 kLpcVendorDevice = 0x29188086;  // ICH9 LPC bridge
constexpr UINT32 kPmBaseRegister = 0x40;
constexpr UINT32 kPmBaseMask = 0xFF80;
constexpr UINT32 kAcpiControlRegister = 0x44;
constexpr UINT32 kAcpiEnable = 0x80;
constexpr UINT32 kPmBase = 0x600;
constexpr UINT16 kPmTimerOffset = 8;
constexpr UINT32 kPmTimerMask = 0xFFFFFF;   // 24-bit counter
constexpr UINT32 kPmTimerHz = 3579545;

const char kSource[] = "stall-provider";

// The PM timer's port, enabling the ACPI I/O space first if it is off;
// 0 if this is not the expected chipset. *EnabledHere tells who enabled it.
UINT16 PmTimerPort(bool *EnabledHere) {
  *EnabledHere = false;
  if (PciRead32(kLpcDevice, kLpcFunction, 0) != kLpcVendorDevice) {
    return 0;
  }
  UINT32 Control = PciRead32(kLpcDevice, kLpcFunction, kAcpiControlRegister);
  if ((Control & kAcpiEnable) == 0) {
    UINT32 PmBase = PciRead32(kLpcDevice, kLpcFunction, kPmBaseRegister);
    PciWrite32(kLpcDevice, kLpcFunction, kPmBaseRegister, (PmBase & ~kPmBaseMask) | kPmBase);
    PciWrite32(kLpcDevice, kLpcFunction, kAcpiControlRegister, Control | kAcpiEnable);
    *EnabledHere = true;
  }
  return (UINT16)((PciRead32(kLpcDevice, kLpcFunction, kPmBaseRegister) & kPmBaseMask) +
                  kPmTimerOffset);
}

UINT32 ReadPmTimer(UINT16 Port) { return IoRead32(Port) & kPmTimerMask; }

UINT32 UsbControllerPpiInstalled(const EFI_PEI_SERVICES **PeiServices) {
  VOID *Ppi;
  return EFI_ERROR((*PeiServices)->LocatePpi(PeiServices, &kUsbControllerPpiGuid, 0, nullptr,
                                             &Ppi))
             ? 0
             : 1;
}

// Waits at least Microseconds. Progress is kept in units of tick-microseconds
// (ticks * 10^6) against Microseconds * kPmTimerHz, so no division is needed
// and the 24-bit counter may wrap any number of times.
EFI_STATUS EFIAPI Stall(const EFI_PEI_SERVICES **PeiServices, const EFI_PEI_STALL_PPI *This,
                        UINTN Microseconds) {
  (VOID)This;
  bool EnabledHere;
  UINT16 Port = PmTimerPort(&EnabledHere);
  if (Port == 0) {
    LogLine(kSource, "no-pm-timer");
    return EFI_UNSUPPORTED;
  }
  UINT32 Start = ReadPmTimer(Port);
  LogLine("stall", "begin")
      .Dec("us", Microseconds)
      .Dec("memory", MemoryDiscovered(PeiServices))
      .Dec("usb-ppi", UsbControllerPpiInstalled(PeiServices))
      .Hex("pmtimer", Start, 6);

  const UINT64 Target = (UINT64)Microseconds * kPmTimerHz;
  UINT64 Done = 0;
  UINT32 Previous = Start;
  UINT32 Ticks = 0;
  while (Done < Target) {
    __asm__ __volatile__("pause");
    UINT32 Now = ReadPmTimer(Port);
    UINT32 Delta = (Now - Previous) & kPmTimerMask;
    Done += (UINT64)Delta * 1000000u;
    Ticks += Delta;
    Previous = Now;
  }
  LogLine("stall", "end").Dec("us", Microseconds).Dec("ticks", Ticks).Hex("pmtimer", Previous, 6);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI OnUsbControllerPpi(EFI_PEI_SERVICES **PeiServices,
                                     EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, VOID *Ppi) {
  (VOID)NotifyDescriptor;
  bool EnabledHere;
  UINT16 Port = PmTimerPort(&EnabledHere);
  LogLine(kSource, "usb-controller-ppi-installed")
      .Hex("ppi", (UINT32)(UINTN)Ppi)
      .Dec("memory", MemoryDiscovered((const EFI_PEI_SERVICES **)PeiServices))
      .Hex("pmtimer", Port != 0 ? ReadPmTimer(Port) : 0, 6);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI OnEndOfPei(EFI_PEI_SERVICES **PeiServices,
                             EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, VOID *Ppi) {
  (VOID)PeiServices;
  (VOID)NotifyDescriptor;
  (VOID)Ppi;
  LogLine(kSource, "end-of-pei");
  ExitQemu(kExitEndOfPei);
}

const EFI_PEI_STALL_PPI mStallPpi = {1, Stall};

const EFI_PEI_PPI_DESCRIPTOR mStallPpiList = {
    EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, &kStallPpiGuid,
    (VOID *)&mStallPpi};

const EFI_PEI_NOTIFY_DESCRIPTOR mNotifyList[] = {
    {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK, &kUsbControllerPpiGuid, OnUsbControllerPpi},
    {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
     &kEndOfPeiPpiGuid, OnEndOfPei},
};

}  // namespace

extern "C" EFI_STATUS EFIAPI StallProviderEntry(EFI_PEI_FILE_HANDLE FileHandle,
                                                const EFI_PEI_SERVICES **PeiServices) {
  (VOID)FileHandle;
  bool EnabledHere;
  UINT16 Port = PmTimerPort(&EnabledHere);
  LogLine(kSource, "entry")
      .Hex("code", (UINT32)(UINTN)&StallProviderEntry)
      .Dec("memory", MemoryDiscovered(PeiServices))
      .Hex("pmtimer-port", Port, 4)
      .Str("acpi-io", Port == 0 ? "missing" : EnabledHere ? "enabled-here" : "already-on");
  if (Port == 0) {
    return EFI_UNSUPPORTED;
  }
  EFI_STATUS Status = (*PeiServices)->InstallPpi(PeiServices, &mStallPpiList);
  EFI_STATUS NotifyStatus = NotifyPpiService(PeiServices)(PeiServices, mNotifyList);
  LogLine(kSource, "installed").Hex("status", Status).Hex("notify-status", NotifyStatus);
  return Status;
}

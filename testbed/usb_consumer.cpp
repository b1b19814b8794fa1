// Test-bed consumer of PEI_USB_CONTROLLER_PPI. Dispatched once the PPI is
// installed (its dependency expression names it), it reports on the debug
// console everything a PEI USB stack would rely on, then ends QEMU:
//   - each id from 0 up to the first one rejected: status, type and base
//     (Type and Base start as a marker, so a rejected id that still writes
//     them shows);
//   - for each EHCI controller reported, its capability registers read
//     through the reported base (CAPLENGTH, HCIVERSION);
//   - for all seven host-controller functions, their PCI ids, command
//     register and BAR0, and for the OHCI ones HcRevision through BAR0.
#include "testbed.h"

using namespace testbed;

namespace {

const char kSource[] = "usb-consumer";
constexpr UINTN kUnwritten = 0xA5A5A5A5;
// Ids are one byte wide: at most 256 can be asked for.
constexpr UINT32 kIdLimit = 256;

struct HostFunction {
  UINT8 Device;
  UINT8 Function;
  bool Ohci;
};
const HostFunction kHostFunctions[] = {
    {0x12, 2, false}, {0x13, 2, false}, {0x16, 2, false}, {0x12, 0, true},
    {0x13, 0, true},  {0x16, 0, true},  {0x14, 5, true},
};

constexpr UINT32 kBarMemoryMask = 0xFFFFFFF0;
constexpr UINT32 kBarIoSpace = 0x1;

}  // namespace

extern "C" EFI_STATUS EFIAPI UsbConsumerEntry(EFI_PEI_FILE_HANDLE FileHandle,
                                              const EFI_PEI_SERVICES **PeiServices) {
  (VOID)FileHandle;
  PEI_USB_CONTROLLER_PPI *Ppi = nullptr;
  EFI_STATUS Status = (*PeiServices)->LocatePpi(PeiServices, &kUsbControllerPpiGuid, 0, nullptr,
                                                (VOID **)&Ppi);
  LogLine(kSource, "entry")
      .Hex("code", (UINT32)(UINTN)&UsbConsumerEntry)
      .Dec("memory", MemoryDiscovered(PeiServices))
      .Hex("locate-status", Status)
      .Hex("ppi", (UINT32)(UINTN)Ppi)
      .Hex("get-usb-controller", EFI_ERROR(Status) ? 0 : (UINT32)(UINTN)Ppi->GetUsbController);

  if (!EFI_ERROR(Status)) {
    for (UINT32 Id = 0; Id < kIdLimit; Id++) {
      UINTN Type = kUnwritten;
      UINTN Base = kUnwritten;
      EFI_STATUS IdStatus = Ppi->GetUsbController((EFI_PEI_SERVICES **)PeiServices, Ppi,
                                                  (UINT8)Id, &Type, &Base);
      LogLine(kSource, "controller")
          .Dec("id", Id)
          .Hex("status", IdStatus)
          .Hex("type", Type)
          .Hex("base", Base);
      if (EFI_ERROR(IdStatus)) {
        break;
      }
      if (Type == PEI_EHCI_CONTROLLER) {
        UINT32 Capability = MmioRead32(Base);
        LogLine(kSource, "ehci-capability")
            .Dec("id", Id)
            .Hex("base", Base)
            .Hex("dword", Capability)
            .Hex("caplength", Capability & 0xFF, 2)
            .Hex("hciversion", Capability >> 16, 4);
      }
    }
  }

  for (const HostFunction &F : kHostFunctions) {
    UINT32 Bar0 = PciRead32(F.Device, F.Function, 0x10);
    LogLine Line(kSource, "pci");
    Line.Hex("device", F.Device, 2)
        .Dec("function", F.Function)
        .Str("kind", F.Ohci ? "ohci" : "ehci")
        .Hex("id", PciRead32(F.Device, F.Function, 0))
        .Hex("command", PciRead32(F.Device, F.Function, 0x04) & 0xFFFF, 4)
        .Hex("bar0", Bar0);
    if (F.Ohci && (Bar0 & kBarIoSpace) == 0) {
      Line.Hex("hcrevision", MmioRead32(Bar0 & kBarMemoryMask));
    }
  }

  LogLine(kSource, "done");
  ExitQemu(kExitReportDone);
}

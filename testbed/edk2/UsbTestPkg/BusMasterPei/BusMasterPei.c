/** @file
  Platform piece for UsbControllerPeim on real hardware: the module turns on
  memory decoding of the EHCI functions and leaves bus mastering as it finds
  it, and EDK2's EhciPei has no PCI access of its own, so the platform turns
  it on. This PEIM registers for the module's PEI_USB_CONTROLLER_PPI; the PEI
  Foundation calls it back inside the module's InstallPpi, before any
  consumer of the PPI can run, and it sets the bus-master bit of each EHCI
  controller's PCI function.

  The function of a reported controller is found by its memory base (BAR0,
  class 0C/03/20 on bus 0); a platform that knows its device numbers would
  name them instead. Each change is logged on the debug console as
  "bus-master: enabled id=N base=0x.. device=0x.. function=N
  command-before=0x.... command-after=0x....".

  Built as C after MdePkg's types with the kit's header, which this also
  checks.
**/
#include <PiPei.h>
#include <Library/DebugLib.h>
#include <Library/PciLib.h>
#include <Library/PeiServicesLib.h>

#include "UsbControllerPpi.h"

#define PCI_COMMAND_OFFSET      0x04
#define PCI_CLASS_OFFSET        0x08
#define PCI_BAR0_OFFSET         0x10
#define PCI_COMMAND_BUS_MASTER  0x0004
#define PCI_CLASS_EHCI          0x0C0320
#define PCI_BAR_MEMORY_MASK     0xFFFFFFF0u
// Ids are one byte wide.
#define USB_CONTROLLER_ID_LIMIT  256

STATIC EFI_GUID  mUsbControllerPpiGuid = USB_CONTROLLER_PEIM_PPI_GUID;

/**
  Sets bus mastering on the EHCI function on bus 0 whose BAR0 is Base.
  Returns FALSE if no such function is there.
**/
STATIC
BOOLEAN
EnableBusMaster (
  IN UINT8  Id,
  IN UINTN  Base
  )
{
  UINT8   Device;
  UINT8   Function;
  UINT16  Before;
  UINT16  After;

  for (Device = 0; Device < 32; Device++) {
    for (Function = 0; Function < 8; Function++) {
      if (PciRead16 (PCI_LIB_ADDRESS (0, Device, Function, 0)) == 0xFFFF) {
        continue;
      }

      if (((PciRead32 (PCI_LIB_ADDRESS (0, Device, Function, PCI_CLASS_OFFSET)) >> 8) != PCI_CLASS_EHCI) ||
          ((PciRead32 (PCI_LIB_ADDRESS (0, Device, Function, PCI_BAR0_OFFSET)) & PCI_BAR_MEMORY_MASK) != Base))
      {
        continue;
      }

      Before = PciRead16 (PCI_LIB_ADDRESS (0, Device, Function, PCI_COMMAND_OFFSET));
      After  = PciOr16 (PCI_LIB_ADDRESS (0, Device, Function, PCI_COMMAND_OFFSET), PCI_COMMAND_BUS_MASTER);
      DEBUG ((
        DEBUG_INFO,
        "bus-master: enabled id=%d base=0x%08x device=0x%02x function=%d command-before=0x%04x command-after=0x%04x\n",
        Id,
        (UINT32)Base,
        Device,
        Function,
        Before,
        After
        ));
      return TRUE;
    }
  }

  return FALSE;
}

STATIC
EFI_STATUS
EFIAPI
OnUsbControllerPpi (
  IN EFI_PEI_SERVICES           **PeiServices,
  IN EFI_PEI_NOTIFY_DESCRIPTOR  *NotifyDescriptor,
  IN VOID                       *Ppi
  )
{
  PEI_USB_CONTROLLER_PPI  *Controllers;
  UINTN                   Id;
  UINTN                   Type;
  UINTN                   Base;

  Controllers = (PEI_USB_CONTROLLER_PPI *)Ppi;
  for (Id = 0; Id < USB_CONTROLLER_ID_LIMIT; Id++) {
    if (EFI_ERROR (Controllers->GetUsbController (PeiServices, Controllers, (UINT8)Id, &Type, &Base))) {
      break;
    }

    if ((Type == PEI_EHCI_CONTROLLER) && !EnableBusMaster ((UINT8)Id, Base)) {
      DEBUG ((DEBUG_ERROR, "bus-master: no-function id=%d base=0x%08x\n", (UINT32)Id, (UINT32)Base));
    }
  }

  DEBUG ((DEBUG_INFO, "bus-master: done controllers=%d\n", (UINT32)Id));
  return EFI_SUCCESS;
}

STATIC EFI_PEI_NOTIFY_DESCRIPTOR  mNotifyList = {
  EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
  &mUsbControllerPpiGuid,
  OnUsbControllerPpi
};

EFI_STATUS
EFIAPI
BusMasterPeiEntry (
  IN EFI_PEI_FILE_HANDLE     FileHandle,
  IN CONST EFI_PEI_SERVICES  **PeiServices
  )
{
  EFI_STATUS  Status;

  Status = PeiServicesNotifyPpi (&mNotifyList);
  DEBUG ((DEBUG_INFO, "bus-master: entry notify-status=0x%08x\n", (UINT32)Status));
  return Status;
}

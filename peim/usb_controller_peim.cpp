// Module entry: on every boot but S3 resume, bring up the chipset's EHCI and
// OHCI host controllers, publish PEI_USB_CONTROLLER_PPI for the EHCI ones and
// give the controllers one second before returning.
#include "usb_controller_private.h"
#include "usb_init.h"

extern const EFI_GUID gEfiPeiStallPpiGuid = {
    0x1F4C6F90, 0xB06B, 0x48D8, {0xA2, 0x01, 0xBA, 0xE5, 0xF1, 0xCD, 0x7D, 0x56}};

extern "C" EFI_STATUS EFIAPI UsbControllerPeimEntry(EFI_PEI_FILE_HANDLE FileHandle,
                                                    const EFI_PEI_SERVICES **PeiServices) {
  (VOID)FileHandle;
  const EFI_PEI_SERVICES *Services = *PeiServices;

  // A failed GetBootMode leaves the mode unknown: run the full sequence. The
  // mode is read only after a successful call has written it, so it needs no
  // start value.
  EFI_BOOT_MODE BootMode;
  EFI_STATUS Status = Services->GetBootMode(PeiServices, &BootMode);
  if (!EFI_ERROR(Status) && BootMode == BOOT_ON_S3_RESUME) {
    return EFI_SUCCESS;
  }

  EFI_PEI_STALL_PPI *StallPpi;
  EFI_STATUS StallStatus =
      Services->LocatePpi(PeiServices, &gEfiPeiStallPpiGuid, 0, nullptr, (VOID **)&StallPpi);

  EFI_PHYSICAL_ADDRESS_ALIGN4 Page;
  Status = Services->AllocatePages(PeiServices, EfiBootServicesData, 1,
                                   (EFI_PHYSICAL_ADDRESS *)(VOID *)&Page);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // PEI addressing is flat 32-bit: the page's low 32 bits are its address.
  PEI_USB_CONTROLLER_PRIVATE *Private = (PEI_USB_CONTROLLER_PRIVATE *)(UINTN)Page;
  InitUsbControllerPrivate(Private);

  ProgramUsbChipsetRegisters();
  // Controllers 0, 1, 2 in order; each base is in the record before its
  // controller is programmed. (A bottom-tested loop: there is always one.)
  UINT8 Index = 0;
  do {
    Private->EhciMmioBase[Index] = EHCI_MMIO_BASE + Index * USB_MMIO_BASE_STRIDE;
    InitEhciController(Index, Private);
  } while (++Index < EHCI_CONTROLLER_COUNT);
  InitOhciControllers();

  // A failed install leaves the module's work unpublished: the controllers
  // stay programmed and the wait still follows, but the entry reports the
  // install's status, which matters more than a missing Stall PPI.
  Status = Services->InstallPpi(PeiServices, &Private->PpiList);

  if (EFI_ERROR(StallStatus)) {
    // No Stall PPI: the controllers are programmed (and published, unless
    // the install failed), but the wait cannot be made; say so.
    return EFI_ERROR(Status) ? Status : StallStatus;
  }
  StallPpi->Stall(PeiServices, StallPpi, USB_POST_INSTALL_STALL_US);
  return Status;
}

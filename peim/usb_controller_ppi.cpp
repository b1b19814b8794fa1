// The installed interface: its read-only templates, the record set-up and
// the GetUsbController service.
#include "usb_controller_private.h"
#include "zero_mem.h"

extern const EFI_GUID gPeiUsbControllerPpiGuid = {
    0x3BC1F6DE, 0x693E, 0x4547, {0xA3, 0x00, 0x21, 0x82, 0x3C, 0xA4, 0x20, 0xB2}};

constexpr PEI_USB_CONTROLLER_PPI mUsbControllerPpiTemplate = {GetEhciController};

constexpr EFI_PEI_PPI_DESCRIPTOR mUsbControllerPpiListTemplate = {
    EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &gPeiUsbControllerPpiGuid,
    nullptr,
};

VOID InitUsbControllerPrivate(PEI_USB_CONTROLLER_PRIVATE *Private) {
  ZeroMem(Private, sizeof(*Private));
  // The templates are compile-time constants: copied field by field, they go
  // into the record as immediates. The descriptor's Ppi is the record's own
  // interface, not the template's.
  Private->PpiList.Flags = mUsbControllerPpiListTemplate.Flags;
  Private->PpiList.Guid = mUsbControllerPpiListTemplate.Guid;
  Private->UsbControllerPpi = mUsbControllerPpiTemplate;
  Private->PpiList.Ppi = &Private->UsbControllerPpi;
}

EFI_STATUS EFIAPI GetEhciController(EFI_PEI_SERVICES **PeiServices,
                                    PEI_USB_CONTROLLER_PPI *This, UINT8 UsbControllerId,
                                    UINTN *ControllerType, UINTN *BaseAddress) {
  (VOID)PeiServices;
  // Widened once and kept whole: compared and used as an index in one
  // register, instead of a byte compare and a second widening.
  UINTN Id = UsbControllerId;
  __asm__("" : "+r"(Id));
  if (Id >= EHCI_CONTROLLER_COUNT || ControllerType == nullptr || BaseAddress == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *ControllerType = PEI_EHCI_CONTROLLER;
  *BaseAddress = USB_CONTROLLER_PRIVATE_FROM_PPI(This)->EhciMmioBase[Id];
  return EFI_SUCCESS;
}

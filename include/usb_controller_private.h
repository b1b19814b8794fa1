// The module's one instance record: the installed interface, its descriptor
// and the EHCI memory bases that the interface reports. It lives at the
// start of a page of boot-services data that is never released.
#ifndef USB_PEIM_USB_CONTROLLER_PRIVATE_H_
#define USB_PEIM_USB_CONTROLLER_PRIVATE_H_

#include "pi_pei.h"
#include "usb_controller_ppi.h"

#define EHCI_CONTROLLER_COUNT 3
#define OHCI_CONTROLLER_COUNT 4
#define EHCI_MMIO_BASE 0xF0008000u
#define OHCI_MMIO_BASE 0xC0000000u
#define USB_MMIO_BASE_STRIDE 0x1000u
#define USB_POST_INSTALL_STALL_US 1000000u

struct PEI_USB_CONTROLLER_PRIVATE {
  PEI_USB_CONTROLLER_PPI UsbControllerPpi;
  EFI_PEI_PPI_DESCRIPTOR PpiList;
  UINTN EhciMmioBase[EHCI_CONTROLLER_COUNT];
};

// The record that holds a given interface: the interface is its first field.
#define USB_CONTROLLER_PRIVATE_FROM_PPI(Ppi)                                      \
  ((PEI_USB_CONTROLLER_PRIVATE *)((UINT8 *)(Ppi) -                                \
                                  __builtin_offsetof(PEI_USB_CONTROLLER_PRIVATE,  \
                                                     UsbControllerPpi)))

#if defined(__i386__)
static_assert(sizeof(PEI_USB_CONTROLLER_PRIVATE) == 28, "record layout");
static_assert(__builtin_offsetof(PEI_USB_CONTROLLER_PRIVATE, PpiList) == 4, "record layout");
static_assert(__builtin_offsetof(PEI_USB_CONTROLLER_PRIVATE, EhciMmioBase) == 16,
              "record layout");
#endif

// Zeroes the record, fills it from the read-only templates and points the
// descriptor at the record's own interface. The bases stay zero.
VOID InitUsbControllerPrivate(PEI_USB_CONTROLLER_PRIVATE *Private);

EFI_STATUS EFIAPI GetEhciController(EFI_PEI_SERVICES **PeiServices,
                                    PEI_USB_CONTROLLER_PPI *This, UINT8 UsbControllerId,
                                    UINTN *ControllerType, UINTN *BaseAddress);

#endif  // USB_PEIM_USB_CONTROLLER_PRIVATE_H_

// PEI_USB_CONTROLLER_PPI: lets a PEI module find the USB host controllers
// that have been brought up, by id, with their type and memory base.
#ifndef USB_PEIM_USB_CONTROLLER_PPI_H_
#define USB_PEIM_USB_CONTROLLER_PPI_H_

#include "pi_pei.h"

// Controller types reported through the PPI.
#define PEI_EHCI_CONTROLLER 3

struct PEI_USB_CONTROLLER_PPI;

// Reports controller UsbControllerId: EFI_SUCCESS with its type and memory
// base, or EFI_INVALID_PARAMETER past the last controller (the interface has
// no count; the first rejected id is it).
typedef EFI_STATUS(EFIAPI *PEI_GET_USB_CONTROLLER)(EFI_PEI_SERVICES **PeiServices,
                                                   PEI_USB_CONTROLLER_PPI *This,
                                                   UINT8 UsbControllerId,
                                                   UINTN *ControllerType,
                                                   UINTN *BaseAddress);

struct PEI_USB_CONTROLLER_PPI {
  PEI_GET_USB_CONTROLLER GetUsbController;
};

// 3BC1F6DE-693E-4547-A300-21823CA420B2
extern const EFI_GUID gPeiUsbControllerPpiGuid;
// 1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56
extern const EFI_GUID gEfiPeiStallPpiGuid;

#endif  // USB_PEIM_USB_CONTROLLER_PPI_H_

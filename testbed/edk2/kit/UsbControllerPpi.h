/** @file
  PEI_USB_CONTROLLER_PPI as UsbControllerPeim produces it, for C and C++ PEI
  modules that consume it.

  Included after an EDK2 platform's base types (PiPei.h), it uses them;
  included alone it declares the few it needs itself, each under a guard, so
  it never redefines a type or macro that is already there.

  The PPI itself is declared under the include guard and with the names of
  MdeModulePkg's Ppi/UsbController.h (the same interface): whichever of the
  two a module includes first declares it, and the other then adds nothing,
  in either order. Only USB_CONTROLLER_PEIM_PPI_GUID is this header's own.
**/
#ifndef USB_CONTROLLER_PEIM_KIT_USB_CONTROLLER_PPI_H_
#define USB_CONTROLLER_PEIM_KIT_USB_CONTROLLER_PPI_H_

/* The base types, when no EDK2 or other base header came first. */
#if !defined (EFIAPI)
  #if defined (__GNUC__) && defined (__i386__)
#define EFIAPI  __attribute__((cdecl))
  #else
#define EFIAPI
  #endif
#endif

#if !defined (MAX_BIT) && !defined (USB_CONTROLLER_PEIM_KIT_BASE_TYPES)
#define USB_CONTROLLER_PEIM_KIT_BASE_TYPES
  #if defined (__cplusplus)
#include <cstdint>
  #else
#include <stdint.h>
  #endif
typedef uint8_t    UINT8;
typedef uint16_t   UINT16;
typedef uint32_t   UINT32;
typedef uintptr_t  UINTN;
typedef void       VOID;
typedef UINTN      EFI_STATUS;
typedef struct {
  UINT32    Data1;
  UINT16    Data2;
  UINT16    Data3;
  UINT8     Data4[8];
} EFI_GUID;
/* Only ever used through a pointer here. */
typedef struct _EFI_PEI_SERVICES EFI_PEI_SERVICES;
#endif

/* 3BC1F6DE-693E-4547-A300-21823CA420B2 */
#define USB_CONTROLLER_PEIM_PPI_GUID \
  { 0x3BC1F6DE, 0x693E, 0x4547, { 0xA3, 0x00, 0x21, 0x82, 0x3C, 0xA4, 0x20, 0xB2 } }

/* MdeModulePkg's guard: declared here or there, once. */
#ifndef _PEI_USB_CONTROLLER_PPI_H_
#define _PEI_USB_CONTROLLER_PPI_H_

#ifdef __cplusplus
extern "C" {
#endif

#define PEI_USB_CONTROLLER_PPI_GUID  USB_CONTROLLER_PEIM_PPI_GUID

typedef struct _PEI_USB_CONTROLLER_PPI PEI_USB_CONTROLLER_PPI;

/* Controller types of GetUsbController; the module reports EHCI only. */
#define PEI_UHCI_CONTROLLER  0x01
#define PEI_OHCI_CONTROLLER  0x02
#define PEI_EHCI_CONTROLLER  0x03
#define PEI_XHCI_CONTROLLER  0x04

/**
  Reports controller UsbControllerId: EFI_SUCCESS with its type and the base
  of its memory-mapped registers, or EFI_INVALID_PARAMETER past the last
  controller. The ids run from 0 without gaps; the first rejected id is the
  number of controllers.
**/
typedef EFI_STATUS (EFIAPI *PEI_GET_USB_CONTROLLER)(
  EFI_PEI_SERVICES        **PeiServices,
  PEI_USB_CONTROLLER_PPI  *This,
  UINT8                   UsbControllerId,
  UINTN                   *ControllerType,
  UINTN                   *BaseAddress
  );

struct _PEI_USB_CONTROLLER_PPI {
  PEI_GET_USB_CONTROLLER    GetUsbController;
};

/* Defined by an EDK2 module's AutoGen when its INF lists the PPI. */
extern EFI_GUID  gPeiUsbControllerPpiGuid;

#ifdef __cplusplus
}
#endif

#endif /* _PEI_USB_CONTROLLER_PPI_H_ */

#endif

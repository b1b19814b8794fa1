// USB host controller bring-up: the chipset register sequence, the three
// EHCI functions and the four OHCI functions.
#ifndef USB_PEIM_USB_INIT_USB_INIT_H_
#define USB_PEIM_USB_INIT_USB_INIT_H_

#include "usb_controller_private.h"

// Clears bits 0-6 of the chipset byte at 0xFED803EF, sets bits 2, 7, 8 and 9
// of the word at 0xFED803F0, then sets bits 0-6 again. Runs before any
// controller's configuration space is touched.
VOID ProgramUsbChipsetRegisters();

// Programs EHCI function Index (0-2) with the memory base that the caller has
// already stored in Private->EhciMmioBase[Index].
VOID InitEhciController(UINT8 Index, PEI_USB_CONTROLLER_PRIVATE *Private);

// Gives the four OHCI functions their memory bases and turns on memory
// decoding and bus mastering.
VOID InitOhciControllers();

#endif  // USB_PEIM_USB_INIT_USB_INIT_H_

// USB host controller bring-up: the chipset register sequence, the three
// EHCI functions and the four OHCI functions.
#ifndef USB_PEIM_USB_INIT_USB_INIT_H_
#define USB_PEIM_USB_INIT_USB_INIT_H_

#include "pci.h"
#include "usb_controller_private.h"

// OHCI functions, as CONFIG_ADDRESS words (enable bit set); function j
// decodes at OHCI_MMIO_BASE + j * stride. The EHCI functions share the
// first three devices (see ehci_init.cpp), so this one table serves both.
inline constexpr PCI_CONFIG_WORD mOhciPciAddress[OHCI_CONTROLLER_COUNT] = {
    PciConfigWord(PciCf8Address(0, 0x12, 0, 0)),
    PciConfigWord(PciCf8Address(0, 0x13, 0, 0)),
    PciConfigWord(PciCf8Address(0, 0x16, 0, 0)),
    PciConfigWord(PciCf8Address(0, 0x14, 5, 0)),
};
static_assert(mOhciPciAddress[3] == 0x8000A500, "device 0x14 function 5");

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

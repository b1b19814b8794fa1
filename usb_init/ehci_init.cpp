#include "register_table.h"
#include "usb_init.h"

// EHCI function Index, for the controller id that the PPI reports, as a
// CONFIG_ADDRESS word: function 2 of the device whose function 0 is OHCI
// controller Index (devices 0x12, 0x13 and 0x16), so that the EHCI functions
// need no table of their own.
#define EHCI_PCI_FUNCTION PciCf8Address(0, 0, 2, 0)
constexpr PCI_CONFIG_WORD EhciPciAddress(UINT32 Index) {
  return mOhciPciAddress[Index] + EHCI_PCI_FUNCTION;
}
static_assert(EhciPciAddress(0) == PciConfigWord(PciCf8Address(0, 0x12, 2, 0)), "device 0x12");
static_assert(EhciPciAddress(1) == PciConfigWord(PciCf8Address(0, 0x13, 2, 0)), "device 0x13");
static_assert(EhciPciAddress(2) == PciConfigWord(PciCf8Address(0, 0x16, 2, 0)), "device 0x16");

// Per-function programming, in order. B is the function's memory base.
constexpr REG_UPDATE mEhciInitTable[] = {
    // kind                      reg   AND mask    OR value
    {PCI_32 | REG_OR_MMIO_BASE,  0x10, 0x00000000, 0x00000000},  // BAR0 = B
    {PCI_8,                      0x04, 0x000000FF, 0x00000002},  // memory space enable
    {PCI_16,                     0x0C, 0x00000000, 0x00004008},  // cache line 32 B, latency 0x40
    {CHIPSET_32,                 0xED, 0xFFFFFFFF, 0x00000002},  // 0xFED803ED bit 1 (one dword)
    {MMIO_32,                    0xC0, 0x00000000, 0x00020F00},
    {MMIO_32,                    0xA4, 0xFF40FF40, 0x00400040},  // bytes 0 and 2 = 0x40
    {MMIO_32,                    0xBC, 0xFFFFEFFF, 0x00000000},  // clear bit 12
    {MMIO_32,                    0xB4, 0xFFFFEF7F, 0x00000040},  // clear 7 and 12, set 6
    {MMIO_32,                    0xB4, 0xFFFFFFFF, 0x00001000},  // then set 12
    {PCI_32,                     0x50, 0xFFFFFFFF, 0x20800140},
    {PCI_16,                     0x52, 0x0000FFFF, 0x00008000},
    {PCI_32,                     0x54, 0xFFFFFFFF, 0x00000001},
};

VOID InitEhciController(UINT8 Index, PEI_USB_CONTROLLER_PRIVATE *Private) {
  PCI_CONFIG_WORD Function = EhciPciAddress(Index);
  __asm__("" : "+r"(Function));  // one add here, not one per row's register offset
  RunRegisterTable<mEhciInitTable>(Function, Private->EhciMmioBase[Index]);
}

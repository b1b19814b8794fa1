#include "register_table.h"
#include "usb_init.h"

// Bits 0-6 of 0xFED803EF are cleared around the update of the word at
// 0xFED803F0 and set again after it; bit 7 is kept. The byte is read afresh
// for the second update.
constexpr REG_UPDATE mUsbChipsetTable[] = {
    // kind       reg   AND mask    OR value
    {CHIPSET_8,   0xEF, 0x00000080, 0x00000000},
    {CHIPSET_16,  0xF0, 0x0000FFFF, 0x00000384},
    {CHIPSET_8,   0xEF, 0x000000FF, 0x0000007F},
};

constexpr REG_UPDATE mOhciInitTable[] = {
    // kind                      reg   AND mask    OR value
    {PCI_32 | REG_OR_MMIO_BASE,  0x10, 0x00000000, 0x00000000},  // BAR0 = base
    {PCI_8,                      0x04, 0x000000FF, 0x00000006},  // memory space + bus master
};

VOID ProgramUsbChipsetRegisters() {
  RunRegisterTable<mUsbChipsetTable>(0, 0);
}

VOID InitOhciControllers() {
  UINT8 Index = 0;
  MMIO_ADDRESS Base = OHCI_MMIO_BASE;
  do {
    RunRegisterTable<mOhciInitTable>(mOhciPciAddress[Index], Base);
    Base += USB_MMIO_BASE_STRIDE;
  } while (++Index < OHCI_CONTROLLER_COUNT);
}

// Register programming as data: a table of read-modify-write updates, each
// row as the hardware documentation gives it (space, width, register, AND
// mask, OR value), and the one routine that carries a table out.
#ifndef USB_PEIM_USB_INIT_REGISTER_TABLE_H_
#define USB_PEIM_USB_INIT_REGISTER_TABLE_H_

#include "pci.h"

// Row kind: the register access (space and width) and where the register's
// offset counts from.
enum : UINT8 {
  REG_AT_FUNCTION = 0x00,   // PCI rows: the function's configuration space
  REG_AT_MMIO_BASE = 0x00,  // memory rows: the controller's memory base
  REG_AT_CHIPSET = 0x40,    // memory rows: CHIPSET_MMIO_BASE
  REG_OR_MMIO_BASE = 0x80,  // the controller's memory base is added to OrValue
  REG_ACCESS_MASK = RegSpacePci | RegWidthMask,
};

// Chipset register block holding the byte registers at 0xFED803ED-0xFED803F1.
#define CHIPSET_MMIO_BASE 0xFED80300u

struct __attribute__((packed)) REG_UPDATE {
  UINT8 Kind;
  UINT8 Register;  // offset in the space
  UINT32 AndMask;
  UINT32 OrValue;
};

// Spellings for tables.
#define PCI_8 (RegSpacePci | RegWidth8 | REG_AT_FUNCTION)
#define PCI_16 (RegSpacePci | RegWidth16 | REG_AT_FUNCTION)
#define PCI_32 (RegSpacePci | RegWidth32 | REG_AT_FUNCTION)
#define MMIO_32 (RegSpaceMmio | RegWidth32 | REG_AT_MMIO_BASE)
#define CHIPSET_8 (RegSpaceMmio | RegWidth8 | REG_AT_CHIPSET)
#define CHIPSET_16 (RegSpaceMmio | RegWidth16 | REG_AT_CHIPSET)
#define CHIPSET_32 (RegSpaceMmio | RegWidth32 | REG_AT_CHIPSET)

// Applies Count rows in order for one function: PCI rows at PciFunction plus
// the register, MMIO rows at MmioBase plus the register.
VOID RunRegisterTable(const REG_UPDATE *Rows, UINTN Count, PCI_CF8_ADDRESS PciFunction,
                      MMIO_ADDRESS MmioBase);

template <UINTN N>
static inline VOID RunRegisterTable(const REG_UPDATE (&Rows)[N], PCI_CF8_ADDRESS PciFunction,
                                    MMIO_ADDRESS MmioBase) {
  RunRegisterTable(Rows, N, PciFunction, MmioBase);
}

#endif  // USB_PEIM_USB_INIT_REGISTER_TABLE_H_

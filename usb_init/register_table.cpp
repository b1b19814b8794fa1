#include "register_table.h"

VOID RunRegisterTable(const REG_UPDATE *Rows, UINTN Count, PCI_CF8_ADDRESS PciFunction,
                      MMIO_ADDRESS MmioBase) {
  for (const REG_UPDATE *Row = Rows; Row != Rows + Count; Row++) {
    UINT8 Kind = Row->Kind;
    UINT32 OrValue = Row->OrValue;
    if (Kind & REG_OR_MMIO_BASE) {
      OrValue += (UINT32)MmioBase;
    }
    UINTN Base = (Kind & RegSpacePci) ? PciFunction
                 : (Kind & REG_AT_CHIPSET) ? CHIPSET_MMIO_BASE
                                           : MmioBase;
    RegisterUpdate(Kind & REG_ACCESS_MASK, Base + Row->Register, Row->AndMask,
                   OrValue);
  }
}

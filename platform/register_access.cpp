#include "io.h"
#include "pci.h"

UINT32 RegisterAccess(REG_ACCESS Access, UINTN Address, UINT32 Value) {
  REG_WIDTH Width = (REG_WIDTH)(Access & RegWidthMask);
  if (Access & RegSpacePci) {
    IoWrite32(PCI_CONFIG_ADDRESS_PORT, (UINT32)Address | PCI_CONFIG_ENABLE);
    IO_PORT Port = PciDataPort(Width, (PCI_CF8_ADDRESS)Address);
    if (Access & RegWrite) {
      if (Width == RegWidth8) IoWrite8(Port, (UINT8)Value);
      else if (Width == RegWidth16) IoWrite16(Port, (UINT16)Value);
      else IoWrite32(Port, Value);
      return 0;
    }
    if (Width == RegWidth8) return IoRead8(Port);
    if (Width == RegWidth16) return IoRead16(Port);
    return IoRead32(Port);
  }
  if (Access & RegWrite) {
    if (Width == RegWidth8) MmioWrite8(Address, (UINT8)Value);
    else if (Width == RegWidth16) MmioWrite16(Address, (UINT16)Value);
    else MmioWrite32(Address, Value);
    return 0;
  }
  if (Width == RegWidth8) return MmioRead8(Address);
  if (Width == RegWidth16) return MmioRead16(Address);
  return MmioRead32(Address);
}

VOID RegisterUpdate(REG_ACCESS Access, UINTN Address, UINT32 AndMask, UINT32 OrValue) {
  UINT32 Value = RegisterAccess(Access | RegRead, Address, 0);
  RegisterAccess(Access | RegWrite, Address, (Value & AndMask) | OrValue);
}

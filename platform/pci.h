// PCI configuration access through configuration mechanism #1: the address
// port 0xCF8 and the data ports 0xCFC-0xCFF.
#ifndef USB_PEIM_PLATFORM_PCI_H_
#define USB_PEIM_PLATFORM_PCI_H_

#include "io.h"

// Bus << 16 | Device << 11 | Function << 8 | Register.
typedef UINT32 PCI_CF8_ADDRESS;

constexpr PCI_CF8_ADDRESS PciCf8Address(UINT32 Bus, UINT32 Device, UINT32 Function,
                                        UINT32 Register) {
  return Bus << 16 | Device << 11 | Function << 8 | Register;
}

#define PCI_CONFIG_ADDRESS_PORT ((IO_PORT)0xCF8)
#define PCI_CONFIG_DATA_PORT ((IO_PORT)0xCFC)
#define PCI_CONFIG_ENABLE 0x80000000u

// The word written to CONFIG_ADDRESS: the address with the enable bit. The
// controller tables hold their functions in this form, computed at compile
// time, so that no update has to set the bit at run time.
typedef UINT32 PCI_CONFIG_WORD;

constexpr PCI_CONFIG_WORD PciConfigWord(PCI_CF8_ADDRESS Address) {
  return Address | PCI_CONFIG_ENABLE;
}

// A configuration access is two port accesses: CONFIG_ADDRESS gets Address
// with the enable bit (its two low bits kept), then one data transfer at the
// access width. 8- and 16-bit data use the register's byte lane, 0xCFC +
// (Address & 3); 32-bit data always 0xCFC.
static inline VOID PciSelectWord(PCI_CONFIG_WORD Word) {
  IoWrite32(PCI_CONFIG_ADDRESS_PORT, Word);
}
static inline VOID PciSelect(PCI_CF8_ADDRESS Address) { PciSelectWord(PciConfigWord(Address)); }
static inline IO_PORT PciDataPort(REG_WIDTH Width, PCI_CF8_ADDRESS Address) {
  return (IO_PORT)(PCI_CONFIG_DATA_PORT + (Width == RegWidth32 ? 0 : (Address & 3)));
}
template <REG_WIDTH Width>
static inline UINT32 PciReadAt(PCI_CF8_ADDRESS Address) {
  PciSelect(Address);
  return IoReadAt<Width>(PciDataPort(Width, Address));
}
template <REG_WIDTH Width>
static inline VOID PciWriteAt(PCI_CF8_ADDRESS Address, UINT32 Value) {
  PciSelect(Address);
  IoWriteAt<Width>(PciDataPort(Width, Address), Value);
}

static inline UINT8 PciRead8(PCI_CF8_ADDRESS Address) {
  return (UINT8)PciReadAt<RegWidth8>(Address);
}
static inline UINT16 PciRead16(PCI_CF8_ADDRESS Address) {
  return (UINT16)PciReadAt<RegWidth16>(Address);
}
static inline UINT32 PciRead32(PCI_CF8_ADDRESS Address) { return PciReadAt<RegWidth32>(Address); }
static inline VOID PciWrite8(PCI_CF8_ADDRESS Address, UINT8 Value) {
  PciWriteAt<RegWidth8>(Address, Value);
}
static inline VOID PciWrite16(PCI_CF8_ADDRESS Address, UINT16 Value) {
  PciWriteAt<RegWidth16>(Address, Value);
}
static inline VOID PciWrite32(PCI_CF8_ADDRESS Address, UINT32 Value) {
  PciWriteAt<RegWidth32>(Address, Value);
}

#endif  // USB_PEIM_PLATFORM_PCI_H_

// Register programming as data: tables of read-modify-write updates, each
// row as the hardware documentation gives it (space, width, register, AND
// mask, OR value), and the one mechanism that carries them out.
//
// An update reads the register at the row's width, ANDs the value with the
// mask, ORs in the value and writes the result back at the same width: one
// read and one write, the read even when the mask is 0. A PCI update is two
// complete configuration accesses, so CONFIG_ADDRESS is written twice.
//
// Tables are constexpr and are unrolled at compile time: each row becomes the
// update of its own space and width, with its mask and value as immediates,
// so nothing is decoded at run time.
#ifndef USB_PEIM_PLATFORM_REGISTER_TABLE_H_
#define USB_PEIM_PLATFORM_REGISTER_TABLE_H_

#include "io.h"
#include "pci.h"

// Row kind: space | width (RegWidth8/16/32, bits 3-5) | where the register's
// offset counts from | flags.
enum : UINT8 {
  REG_SPACE_MMIO = 0x00,
  REG_SPACE_PCI = 0x01,
  REG_WIDTH_MASK = RegWidth8 | RegWidth16 | RegWidth32,
  REG_AT_BASE = 0x00,       // PCI rows: the function; memory rows: the memory base
  REG_AT_CHIPSET = 0x40,    // memory rows: CHIPSET_MMIO_BASE
  REG_OR_MMIO_BASE = 0x80,  // the memory base is added to OrValue
};

// The chipset register block holding the byte registers at
// 0xFED803ED-0xFED803F1.
#define CHIPSET_MMIO_BASE 0xFED80300u

struct REG_UPDATE {
  UINT8 Kind;
  UINT8 Register;  // offset from the row's base
  UINT32 AndMask;
  UINT32 OrValue;
};

// Spellings for tables.
#define PCI_8 (REG_SPACE_PCI | RegWidth8)
#define PCI_16 (REG_SPACE_PCI | RegWidth16)
#define PCI_32 (REG_SPACE_PCI | RegWidth32)
#define MMIO_32 (REG_SPACE_MMIO | RegWidth32)
#define CHIPSET_8 (REG_SPACE_MMIO | RegWidth8 | REG_AT_CHIPSET)
#define CHIPSET_16 (REG_SPACE_MMIO | RegWidth16 | REG_AT_CHIPSET)
#define CHIPSET_32 (REG_SPACE_MMIO | RegWidth32 | REG_AT_CHIPSET)

// The update, per space, at a width known at compile time.
template <REG_WIDTH Width>
static inline VOID MmioUpdateAt(MMIO_ADDRESS Address, UINT32 AndMask, UINT32 OrValue) {
  MmioWriteAt<Width>(Address, (MmioReadAt<Width>(Address) & AndMask) | OrValue);
}
// Out of line: it is the bulk of the bring-up, and its callers differ only
// in the three arguments. It takes the CONFIG_ADDRESS word as it is written
// (enable bit included): the tables hold their functions in that form.
// In the image the word comes in EAX, where both OUTs to CONFIG_ADDRESS
// take it, and the mask and value on the stack, which the update's own RET
// removes, not every caller.
#if defined(__i386__)
#define PCI_UPDATE_CALL __attribute__((noinline, regparm(1), stdcall))
#else
#define PCI_UPDATE_CALL __attribute__((noinline))
#endif
template <REG_WIDTH Width>
PCI_UPDATE_CALL VOID PciUpdateAt(PCI_CONFIG_WORD Word, UINT32 AndMask, UINT32 OrValue) {
#if defined(__i386__) && !defined(USB_PEIM_RECORDING_PLATFORM)
  // The four port accesses of the update, with the ports in DX: DH is 0x0C
  // for both, so that after the first only DL changes (2 bytes, not 4). The
  // word and the value trade places in EAX, the one register OUT and IN
  // transfer, with one-byte exchanges. A narrow data port is 0xCFC plus the
  // byte lane: DL = the word's low byte | 0xFC (the lane is its two low bits).
  UINT32 Other;
  UINT32 Port;
  if constexpr (Width == RegWidth32) {
    __asm__ __volatile__(
        "movw $0xCF8, %w[port]\n\t"
        "outl %%eax, %w[port]\n\t"        // CONFIG_ADDRESS <- word
        "movl %%eax, %[other]\n\t"
        "movb $0xFC, %b[port]\n\t"
        "inl %w[port], %%eax\n\t"         // value
        "xchgl %%eax, %[other]\n\t"
        "movb $0xF8, %b[port]\n\t"
        "outl %%eax, %w[port]\n\t"        // CONFIG_ADDRESS <- word
        "andl %[mask], %[other]\n\t"
        "orl %[value], %[other]\n\t"
        "xchgl %%eax, %[other]\n\t"
        "movb $0xFC, %b[port]\n\t"
        "outl %%eax, %w[port]"              // the updated value
        : "+a"(Word), [other] "=&c"(Other), [port] "=&d"(Port)
        : [mask] "im"(AndMask), [value] "im"(OrValue)
        : "memory");
  } else {
#define PCI_NARROW_UPDATE(in, out, reg)                                     \
    __asm__ __volatile__(                                                   \
        "movw $0xCF8, %w[port]\n\t"                                        \
        "outl %%eax, %w[port]\n\t"                                         \
        "xchgl %%eax, %[other]\n\t"                                        \
        "movb %b[other], %b[port]\n\t"                                     \
        "orb $0xFC, %b[port]\n\t"                                          \
        in " %w[port], " reg "\n\t"                                        \
        "xchgl %%eax, %[other]\n\t"                                        \
        "movb $0xF8, %b[port]\n\t"                                         \
        "outl %%eax, %w[port]\n\t"                                         \
        "andl %[mask], %[other]\n\t"                                       \
        "orl %[value], %[other]\n\t"                                       \
        "xchgl %%eax, %[other]\n\t"                                        \
        "movb %b[other], %b[port]\n\t"                                     \
        "orb $0xFC, %b[port]\n\t"                                          \
        out " " reg ", %w[port]"                                            \
        : "+a"(Word), [other] "=&c"(Other), [port] "=&d"(Port)              \
        : [mask] "im"(AndMask), [value] "im"(OrValue)                         \
        : "memory")
    if constexpr (Width == RegWidth8) {
      PCI_NARROW_UPDATE("inb", "outb", "%%al");
    } else {
      PCI_NARROW_UPDATE("inw", "outw", "%%ax");
    }
#undef PCI_NARROW_UPDATE
  }
#else
  UINT32 Lane = Width == RegWidth32 ? 0 : (Word & 3);
  IO_PORT Port = (IO_PORT)(PCI_CONFIG_DATA_PORT + Lane);
  PciSelectWord(Word);
  UINT32 Value = IoReadAt<Width>(Port);
  PciSelectWord(Word);
  IoWriteAt<Width>(Port, (Value & AndMask) | OrValue);
#endif
}

// The same, at a width taken at run time.
static inline VOID MmioUpdate(REG_WIDTH Width, MMIO_ADDRESS Address, UINT32 AndMask,
                              UINT32 OrValue) {
  if (Width == RegWidth8) MmioUpdateAt<RegWidth8>(Address, AndMask, OrValue);
  else if (Width == RegWidth16) MmioUpdateAt<RegWidth16>(Address, AndMask, OrValue);
  else MmioUpdateAt<RegWidth32>(Address, AndMask, OrValue);
}
static inline VOID PciUpdate(REG_WIDTH Width, PCI_CF8_ADDRESS Address, UINT32 AndMask,
                             UINT32 OrValue) {
  PCI_CONFIG_WORD Word = PciConfigWord(Address);
  if (Width == RegWidth8) PciUpdateAt<RegWidth8>(Word, AndMask, OrValue);
  else if (Width == RegWidth16) PciUpdateAt<RegWidth16>(Word, AndMask, OrValue);
  else PciUpdateAt<RegWidth32>(Word, AndMask, OrValue);
}

// Row Index of Table and the rows after it. Memory rows are addressed from
// Window, the middle of the controller's 256-byte register block, so that
// every offset fits a signed byte displacement; chipset rows likewise from
// ChipsetWindow, the middle of the chipset block.
template <const auto &Table, UINTN Index>
static inline __attribute__((always_inline)) VOID RunRegisterRows(PCI_CONFIG_WORD PciFunction,
                                                                  MMIO_ADDRESS MmioBase,
                                                                  MMIO_ADDRESS Window,
                                                                  MMIO_ADDRESS ChipsetWindow) {
  if constexpr (Index < sizeof(Table) / sizeof(Table[0])) {
    constexpr REG_UPDATE Row = Table[Index];
    constexpr REG_WIDTH Width = (REG_WIDTH)(Row.Kind & REG_WIDTH_MASK);
    static_assert(Width == RegWidth8 || Width == RegWidth16 || Width == RegWidth32,
                  "row without a width");
    UINT32 OrValue = Row.OrValue;
    if constexpr ((Row.Kind & REG_OR_MMIO_BASE) != 0) {
      OrValue += (UINT32)MmioBase;
    }
    if constexpr ((Row.Kind & REG_SPACE_PCI) != 0) {
      // A narrow row that keeps every bit of its register passes the mask as
      // all ones: the same update (the value read is zero-extended and the
      // write is truncated to the width), and the constant ~0 is shorter.
      constexpr UINT32 WidthMask = Width == RegWidth32 ? ~0u : (1u << Width) - 1;
      constexpr UINT32 AndMask = (Row.AndMask & WidthMask) == WidthMask ? ~0u : Row.AndMask;
      PciUpdateAt<Width>(PciFunction + Row.Register, AndMask, OrValue);
    } else if constexpr ((Row.Kind & REG_AT_CHIPSET) != 0) {
      MmioUpdateAt<Width>(ChipsetWindow + (Row.Register - 0x80), Row.AndMask, OrValue);
    } else {
      MmioUpdateAt<Width>(Window + (Row.Register - 0x80), Row.AndMask, OrValue);
    }
    RunRegisterRows<Table, Index + 1>(PciFunction, MmioBase, Window, ChipsetWindow);
  }
}

// Carries out the rows of Table in order for one function: PCI rows at
// PciFunction (its CONFIG_ADDRESS word) plus the register, memory rows at
// MmioBase (or the chipset block) plus the register.
template <const auto &Table>
constexpr UINTN ChipsetRowCount() {
  UINTN Count = 0;
  for (const REG_UPDATE &Row : Table) {
    if ((Row.Kind & REG_SPACE_PCI) == 0 && (Row.Kind & REG_AT_CHIPSET) != 0) {
      Count++;
    }
  }
  return Count;
}

template <const auto &Table>
static inline __attribute__((always_inline)) VOID RunRegisterTable(PCI_CONFIG_WORD PciFunction,
                                                                   MMIO_ADDRESS MmioBase) {
  MMIO_ADDRESS Window = MmioBase + 0x80;
  __asm__("" : "+r"(Window));  // keep it a base register: no folding back
  // A single chipset row is shorter with its absolute address than with a
  // base register loaded for it; several share one.
  MMIO_ADDRESS ChipsetWindow = CHIPSET_MMIO_BASE + 0x80;
  if constexpr (ChipsetRowCount<Table>() > 1) {
    __asm__("" : "+r"(ChipsetWindow));
  }
  RunRegisterRows<Table, 0>(PciFunction, MmioBase, Window, ChipsetWindow);
}

#endif  // USB_PEIM_PLATFORM_REGISTER_TABLE_H_

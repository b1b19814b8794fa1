// Processor I/O-port and memory-mapped register access, and the one
// read-modify-write update built on it.
//
// Every primitive here is exactly one bus access of the stated width. In the
// image they are single IN/OUT/MOV instructions, so the compiler can neither
// split an unaligned access (0xFED803ED is read and written as one 32-bit
// access) nor merge, reorder or drop one. Host builds of the module's sources
// define USB_PEIM_RECORDING_PLATFORM and link a recording backend instead.
#ifndef USB_PEIM_PLATFORM_IO_H_
#define USB_PEIM_PLATFORM_IO_H_

#include "pi_pei.h"

// Access width in bits; the value is the width.
enum REG_WIDTH : UINT8 {
  RegWidth8 = 8,
  RegWidth16 = 16,
  RegWidth32 = 32,
};

typedef UINT16 IO_PORT;
// Flat 32-bit physical address (PEI runs with paging off).
typedef UINTN MMIO_ADDRESS;

#if defined(USB_PEIM_RECORDING_PLATFORM)

UINT8 IoRead8(IO_PORT Port);
UINT16 IoRead16(IO_PORT Port);
UINT32 IoRead32(IO_PORT Port);
VOID IoWrite8(IO_PORT Port, UINT8 Value);
VOID IoWrite16(IO_PORT Port, UINT16 Value);
VOID IoWrite32(IO_PORT Port, UINT32 Value);
UINT8 MmioRead8(MMIO_ADDRESS Address);
UINT16 MmioRead16(MMIO_ADDRESS Address);
UINT32 MmioRead32(MMIO_ADDRESS Address);
VOID MmioWrite8(MMIO_ADDRESS Address, UINT8 Value);
VOID MmioWrite16(MMIO_ADDRESS Address, UINT16 Value);
VOID MmioWrite32(MMIO_ADDRESS Address, UINT32 Value);

#else

static inline UINT8 IoRead8(IO_PORT Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}
static inline UINT16 IoRead16(IO_PORT Port) {
  UINT16 Value;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(Value) : "Nd"(Port));
  return Value;
}
static inline UINT32 IoRead32(IO_PORT Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}
static inline VOID IoWrite8(IO_PORT Port, UINT8 Value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port));
}
static inline VOID IoWrite16(IO_PORT Port, UINT16 Value) {
  __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port));
}
static inline VOID IoWrite32(IO_PORT Port, UINT32 Value) {
  __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port));
}
// Memory operands let the compiler address a register as base + offset or
// as an absolute address; each is still exactly one MOV. Reads land in the
// accumulator, where the AND and OR of an update have their short forms.
static inline UINT8 MmioRead8(MMIO_ADDRESS Address) {
  UINT8 Value;
  __asm__ __volatile__("movb %1, %0" : "=a"(Value) : "m"(*(volatile UINT8 *)Address) : "memory");
  return Value;
}
static inline UINT16 MmioRead16(MMIO_ADDRESS Address) {
  UINT16 Value;
  __asm__ __volatile__("movw %1, %0" : "=a"(Value) : "m"(*(volatile UINT16 *)Address) : "memory");
  return Value;
}
static inline UINT32 MmioRead32(MMIO_ADDRESS Address) {
  UINT32 Value;
  __asm__ __volatile__("movl %1, %0" : "=a"(Value) : "m"(*(volatile UINT32 *)Address) : "memory");
  return Value;
}
static inline VOID MmioWrite8(MMIO_ADDRESS Address, UINT8 Value) {
  __asm__ __volatile__("movb %1, %0" : "=m"(*(volatile UINT8 *)Address) : "q"(Value) : "memory");
}
static inline VOID MmioWrite16(MMIO_ADDRESS Address, UINT16 Value) {
  __asm__ __volatile__("movw %1, %0" : "=m"(*(volatile UINT16 *)Address) : "r"(Value) : "memory");
}
static inline VOID MmioWrite32(MMIO_ADDRESS Address, UINT32 Value) {
  __asm__ __volatile__("movl %1, %0" : "=m"(*(volatile UINT32 *)Address) : "r"(Value) : "memory");
}

#endif

// Accesses at a width known at compile time: one access of that width.
template <REG_WIDTH Width>
static inline UINT32 IoReadAt(IO_PORT Port) {
  if constexpr (Width == RegWidth8) return IoRead8(Port);
  else if constexpr (Width == RegWidth16) return IoRead16(Port);
  else return IoRead32(Port);
}
template <REG_WIDTH Width>
static inline VOID IoWriteAt(IO_PORT Port, UINT32 Value) {
  if constexpr (Width == RegWidth8) IoWrite8(Port, (UINT8)Value);
  else if constexpr (Width == RegWidth16) IoWrite16(Port, (UINT16)Value);
  else IoWrite32(Port, Value);
}
template <REG_WIDTH Width>
static inline UINT32 MmioReadAt(MMIO_ADDRESS Address) {
  if constexpr (Width == RegWidth8) return MmioRead8(Address);
  else if constexpr (Width == RegWidth16) return MmioRead16(Address);
  else return MmioRead32(Address);
}
template <REG_WIDTH Width>
static inline VOID MmioWriteAt(MMIO_ADDRESS Address, UINT32 Value) {
  if constexpr (Width == RegWidth8) MmioWrite8(Address, (UINT8)Value);
  else if constexpr (Width == RegWidth16) MmioWrite16(Address, (UINT16)Value);
  else MmioWrite32(Address, Value);
}

#endif  // USB_PEIM_PLATFORM_IO_H_

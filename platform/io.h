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
static inline UINT8 MmioRead8(MMIO_ADDRESS Address) {
  UINT8 Value;
  __asm__ __volatile__("movb (%1), %0" : "=q"(Value) : "r"(Address) : "memory");
  return Value;
}
static inline UINT16 MmioRead16(MMIO_ADDRESS Address) {
  UINT16 Value;
  __asm__ __volatile__("movw (%1), %0" : "=r"(Value) : "r"(Address) : "memory");
  return Value;
}
static inline UINT32 MmioRead32(MMIO_ADDRESS Address) {
  UINT32 Value;
  __asm__ __volatile__("movl (%1), %0" : "=r"(Value) : "r"(Address) : "memory");
  return Value;
}
static inline VOID MmioWrite8(MMIO_ADDRESS Address, UINT8 Value) {
  __asm__ __volatile__("movb %0, (%1)" : : "q"(Value), "r"(Address) : "memory");
}
static inline VOID MmioWrite16(MMIO_ADDRESS Address, UINT16 Value) {
  __asm__ __volatile__("movw %0, (%1)" : : "r"(Value), "r"(Address) : "memory");
}
static inline VOID MmioWrite32(MMIO_ADDRESS Address, UINT32 Value) {
  __asm__ __volatile__("movl %0, (%1)" : : "r"(Value), "r"(Address) : "memory");
}

#endif

// Register accesses at a width taken from data. An access names its space
// and direction with its width; it is one MOV of that width for memory, and
// one complete configuration access (CONFIG_ADDRESS, then the data port) for
// PCI configuration space.
// Space | direction | width (RegWidth8, RegWidth16 or RegWidth32, bits 3-5).
typedef UINT32 REG_ACCESS;
#define RegSpaceMmio 0x00u
#define RegSpacePci 0x01u
#define RegRead 0x00u
#define RegWrite 0x02u
#define RegWidthMask ((UINT32)RegWidth8 | RegWidth16 | RegWidth32)

// Reads return the value read (zero-extended); writes return 0.
UINT32 RegisterAccess(REG_ACCESS Access, UINTN Address, UINT32 Value);

// The read-modify-write update: one read, then one write of (read AND
// AndMask) OR OrValue, both at the access's width and address. The read
// happens even when AndMask is 0.
VOID RegisterUpdate(REG_ACCESS Access, UINTN Address, UINT32 AndMask, UINT32 OrValue);

static inline VOID MmioUpdate(REG_WIDTH Width, MMIO_ADDRESS Address, UINT32 AndMask,
                              UINT32 OrValue) {
  RegisterUpdate(RegSpaceMmio | Width, Address, AndMask, OrValue);
}

#endif  // USB_PEIM_PLATFORM_IO_H_

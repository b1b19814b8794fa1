// Zero fill: byte stores up to a 4-byte boundary, 64-byte blocks of 8-byte
// MMX stores, then dwords and at most 3 trailing bytes.
#ifndef USB_PEIM_PLATFORM_ZERO_MEM_H_
#define USB_PEIM_PLATFORM_ZERO_MEM_H_

#include "pi_pei.h"

extern "C" VOID ZeroMem(VOID *Buffer, UINTN Length);

// Store primitives; each returns the address after its last store.
//   ZeroStoreBytes:  Count byte stores, ascending.
//   ZeroStoreDwords: Count dword stores, ascending.
//   ZeroStoreBlocks: for Blocks of at least 1, saves MMX register 0 in the
//     caller's frame, clears it, stores it eight times per 64-byte block,
//     restores it and leaves MMX state with EMMS. For 0 it stores nothing
//     and leaves MMX alone.
// Zero is 0, held by the caller in one register for all the string stores
// instead of being cleared again for each.
#if defined(USB_PEIM_RECORDING_PLATFORM)
UINT8 *ZeroStoreBytes(UINT8 *Address, UINTN Count, UINTN Zero);
UINT8 *ZeroStoreDwords(UINT8 *Address, UINTN Count, UINTN Zero);
UINT8 *ZeroStoreBlocks(UINT8 *Address, UINTN Blocks);
#else
// The string stores run upwards: the PI calling convention guarantees a
// clear direction flag on entry.
static inline UINT8 *ZeroStoreBytes(UINT8 *Address, UINTN Count, UINTN Zero) {
  __asm__ __volatile__("rep stosb" : "+D"(Address), "+c"(Count) : "a"(Zero) : "memory");
  return Address;
}
static inline UINT8 *ZeroStoreDwords(UINT8 *Address, UINTN Count, UINTN Zero) {
  __asm__ __volatile__("rep stosl" : "+D"(Address), "+c"(Count) : "a"(Zero) : "memory");
  return Address;
}
// The count lives in ECX, so that JECXZ tests it and LOOP counts it down.
static inline UINT8 *ZeroStoreBlocks(UINT8 *Address, UINTN Blocks) {
  UINT32 SavedMm0[2];
  __asm__ __volatile__(
      "jecxz 2f\n\t"
      "movq %%mm0, %[saved]\n\t"
      "pxor %%mm0, %%mm0\n"
      "1:\n\t"
      "movq %%mm0, (%[p])\n\t"
      "movq %%mm0, 8(%[p])\n\t"
      "movq %%mm0, 16(%[p])\n\t"
      "movq %%mm0, 24(%[p])\n\t"
      "movq %%mm0, 32(%[p])\n\t"
      "movq %%mm0, 40(%[p])\n\t"
      "movq %%mm0, 48(%[p])\n\t"
      "movq %%mm0, 56(%[p])\n\t"
      "addl $64, %[p]\n\t"
      "loop 1b\n\t"
      "movq %[saved], %%mm0\n\t"
      "emms\n"
      "2:"
      : [p] "+r"(Address), [n] "+c"(Blocks), [saved] "=m"(SavedMm0)
      :
      : "memory", "cc");
  return Address;
}
#endif

#endif  // USB_PEIM_PLATFORM_ZERO_MEM_H_

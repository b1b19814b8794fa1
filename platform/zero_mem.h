// Zero fill: byte stores up to a 4-byte boundary, 64-byte blocks of 8-byte
// MMX stores, then dwords and at most 3 trailing bytes.
#ifndef USB_PEIM_PLATFORM_ZERO_MEM_H_
#define USB_PEIM_PLATFORM_ZERO_MEM_H_

#include "pi_pei.h"

extern "C" VOID ZeroMem(VOID *Buffer, UINTN Length);

// Store primitives; each returns the address after its last store.
//   ZeroStoreBytes:  Count byte stores, ascending.
//   ZeroStoreDwords: Count dword stores, ascending.
//   ZeroStoreBlocks: saves MMX register 0 in the caller's frame, clears it,
//     stores it eight times per 64-byte block, restores it and leaves MMX
//     state with EMMS. Blocks is at least 1.
#if defined(USB_PEIM_RECORDING_PLATFORM)
UINT8 *ZeroStoreBytes(UINT8 *Address, UINTN Count);
UINT8 *ZeroStoreDwords(UINT8 *Address, UINTN Count);
UINT8 *ZeroStoreBlocks(UINT8 *Address, UINTN Blocks);
#else
// The string stores run upwards: the PI calling convention guarantees a
// clear direction flag on entry.
static inline UINT8 *ZeroStoreBytes(UINT8 *Address, UINTN Count) {
  __asm__ __volatile__("rep stosb" : "+D"(Address), "+c"(Count) : "a"(0) : "memory");
  return Address;
}
static inline UINT8 *ZeroStoreDwords(UINT8 *Address, UINTN Count) {
  __asm__ __volatile__("rep stosl" : "+D"(Address), "+c"(Count) : "a"(0) : "memory");
  return Address;
}
static inline UINT8 *ZeroStoreBlocks(UINT8 *Address, UINTN Blocks) {
  UINT32 SavedMm0[2];
  __asm__ __volatile__(
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
      "decl %[n]\n\t"
      "jnz 1b\n\t"
      "movq %[saved], %%mm0\n\t"
      "emms"
      : [p] "+r"(Address), [n] "+r"(Blocks), [saved] "=m"(SavedMm0)
      :
      : "memory", "cc");
  return Address;
}
#endif

#endif  // USB_PEIM_PLATFORM_ZERO_MEM_H_

#include "zero_mem.h"

// Kept out of line with its own frame (MMX register 0 is saved there) and
// the C calling convention.
extern "C" __attribute__((noinline)) VOID ZeroMem(VOID *Buffer, UINTN Length) {
  UINT8 *Pointer = (UINT8 *)Buffer;
  // One cleared EAX for every string store: hidden from the optimiser, the
  // 0 is kept in its register instead of being cleared again for each.
  UINTN Zero = 0;
  __asm__("" : "+a"(Zero));

  // Head: bytes up to a 4-byte boundary, or all of a shorter range.
  UINTN Head = (0 - (UINTN)Pointer) & 3;
  if (Head > Length) {
    Head = Length;
  }
  Length -= Head;
  Pointer = ZeroStoreBytes(Pointer, Head, Zero);

  Pointer = ZeroStoreBlocks(Pointer, Length / 64);  // tests for no block itself
  Pointer = ZeroStoreDwords(Pointer, (Length % 64) / 4, Zero);
  ZeroStoreBytes(Pointer, Length & 3, Zero);
}

#include "zero_mem.h"

// Kept out of line with its own frame (MMX register 0 is saved there) and
// the C calling convention.
extern "C" __attribute__((noinline)) VOID ZeroMem(VOID *Buffer, UINTN Length) {
  UINT8 *Pointer = (UINT8 *)Buffer;

  // Head: bytes up to a 4-byte boundary, or all of a shorter range.
  UINTN Head = (0 - (UINTN)Pointer) & 3;
  if (Head > Length) {
    Head = Length;
  }
  Pointer = ZeroStoreBytes(Pointer, Head);
  Length -= Head;

  if (Length >= 64) {
    Pointer = ZeroStoreBlocks(Pointer, Length / 64);
  }
  Pointer = ZeroStoreDwords(Pointer, (Length % 64) / 4);
  ZeroStoreBytes(Pointer, Length & 3);
}

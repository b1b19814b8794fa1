// What EDK2's build generates for BrotliCustomDecompressLib (forced in with
// -include, as the build does): the base types and the library's GUID.
#ifndef EDK2_BROTLI_AUTOGEN_H_
#define EDK2_BROTLI_AUTOGEN_H_
#include <Base.h>
#include <Uefi/UefiBaseType.h>
extern EFI_GUID gBrotliCustomDecompressGuid;
#endif

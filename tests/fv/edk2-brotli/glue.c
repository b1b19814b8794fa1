// The MdePkg library functions EDK2's Brotli decoder library calls
// (BaseLib, BaseMemoryLib, DebugLib, ExtractGuidedSectionLib), built on the
// host with MdePkg's own headers, and the one entry the checker calls: a
// GUID-defined section handed to whatever handler the library's constructor
// registered for its GUID, the way PEI and DXE decode one (get the sizes,
// allocate the output and exactly the scratch size stated, decode).
#include <PiPei.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/ExtractGuidedSectionLib.h>

#include "glue.h"

EFI_GUID gBrotliCustomDecompressGuid = {
    0x3D532050, 0x5CDA, 0x4FD0, {0x87, 0x9E, 0x0F, 0x7F, 0x63, 0x0D, 0x5A, 0xFB}};

EFI_STATUS EFIAPI BrotliDecompressLibConstructor(VOID);

VOID *EFIAPI CopyMem(OUT VOID *Destination, IN CONST VOID *Source, IN UINTN Length) {
  UINT8 *D = Destination;
  CONST UINT8 *S = Source;
  if (D < S) {
    while (Length-- > 0) *D++ = *S++;
  } else if (D > S) {
    while (Length-- > 0) D[Length] = S[Length];
  }
  return Destination;
}

VOID *EFIAPI SetMem(OUT VOID *Buffer, IN UINTN Length, IN UINT8 Value) {
  UINT8 *D = Buffer;
  while (Length-- > 0) *D++ = Value;
  return Buffer;
}

BOOLEAN EFIAPI CompareGuid(IN CONST GUID *Guid1, IN CONST GUID *Guid2) {
  CONST UINT8 *A = (CONST UINT8 *)Guid1, *B = (CONST UINT8 *)Guid2;
  for (UINTN I = 0; I < sizeof(GUID); I++)
    if (A[I] != B[I]) return FALSE;
  return TRUE;
}

UINT64 EFIAPI LShiftU64(IN UINT64 Operand, IN UINTN Count) { return Operand << Count; }

BOOLEAN EFIAPI DebugAssertEnabled(VOID) { return TRUE; }
BOOLEAN EFIAPI DebugPrintEnabled(VOID) { return FALSE; }
BOOLEAN EFIAPI DebugPrintLevelEnabled(IN CONST UINTN ErrorLevel) { return FALSE; }
VOID EFIAPI DebugPrint(IN UINTN ErrorLevel, IN CONST CHAR8 *Format, ...) {}
VOID EFIAPI DebugAssert(IN CONST CHAR8 *FileName, IN UINTN LineNumber, IN CONST CHAR8 *Description) {
  HostAssert(FileName, (unsigned long)LineNumber, Description);
}

static struct {
  GUID Guid;
  EXTRACT_GUIDED_SECTION_GET_INFO_HANDLER GetInfo;
  EXTRACT_GUIDED_SECTION_DECODE_HANDLER Decode;
} Handler;
static BOOLEAN HandlerSet;

RETURN_STATUS EFIAPI ExtractGuidedSectionRegisterHandlers(IN CONST GUID *SectionGuid,
                                                          IN EXTRACT_GUIDED_SECTION_GET_INFO_HANDLER GetInfoHandler,
                                                          IN EXTRACT_GUIDED_SECTION_DECODE_HANDLER DecodeHandler) {
  if (HandlerSet) return RETURN_OUT_OF_RESOURCES;
  CopyMem(&Handler.Guid, SectionGuid, sizeof(GUID));
  Handler.GetInfo = GetInfoHandler;
  Handler.Decode = DecodeHandler;
  HandlerSet = TRUE;
  return RETURN_SUCCESS;
}

int Edk2ExtractSection(const void *Section, struct Edk2Extracted *Out) {
  if (!HandlerSet && BrotliDecompressLibConstructor() != EFI_SUCCESS) return -1;
  CONST EFI_GUID_DEFINED_SECTION *Header = Section;
  if (Header->CommonHeader.Type != EFI_SECTION_GUID_DEFINED) return -2;
  CONST GUID *Guid = IS_SECTION2(Section) ? &((CONST EFI_GUID_DEFINED_SECTION2 *)Section)->SectionDefinitionGuid
                                          : &Header->SectionDefinitionGuid;
  if (!CompareGuid(Guid, &Handler.Guid)) return -3;
  UINT32 OutputSize = 0, ScratchSize = 0;
  UINT16 Attributes = 0;
  if (Handler.GetInfo(Section, &OutputSize, &ScratchSize, &Attributes) != RETURN_SUCCESS) return -4;
  Out->attributes = Attributes;
  Out->dataOffset = IS_SECTION2(Section) ? ((CONST EFI_GUID_DEFINED_SECTION2 *)Section)->DataOffset
                                         : Header->DataOffset;
  Out->size = OutputSize;
  Out->scratchSize = ScratchSize;
  Out->data = HostAllocate(OutputSize, OUTPUT_GUARD);
  VOID *Scratch = HostAllocate(ScratchSize, 0);
  VOID *Output = Out->data;
  UINT32 AuthenticationStatus = 0;
  Out->status = (unsigned long)Handler.Decode(Section, &Output, Scratch, &AuthenticationStatus);
  HostFree(Scratch);
  return 0;
}

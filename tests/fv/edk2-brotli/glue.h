// Between the checker (host C library) and the EDK2 side (MdePkg types):
// plain C types only.
#ifndef EDK2_BROTLI_GLUE_H_
#define EDK2_BROTLI_GLUE_H_

// Bytes past the output buffer, filled with a pattern: the decoder writes
// output 64 KiB at a time and takes the size from the header, so a stream
// longer than its header says would run past the buffer.
#define OUTPUT_GUARD 0x10000

struct Edk2Extracted {
  unsigned attributes, dataOffset;
  unsigned size, scratchSize;  // from the handler's GetInfo
  unsigned char *data;         // size bytes, then OUTPUT_GUARD guard bytes
  unsigned long status;        // the decode handler's RETURN_STATUS
};

// Decodes the GUID-defined section at Section (whole, header included);
// 0, or negative where no handler took it.
int Edk2ExtractSection(const void *Section, struct Edk2Extracted *Out);

// Host side: an ASSERT of the library fails (reported, exits 1); an
// allocation (of size bytes plus guard bytes of the guard pattern) and its
// release.
void HostAssert(const char *file, unsigned long line, const char *description);
void *HostAllocate(unsigned long size, unsigned long guard);
void HostFree(void *p);

#endif

// Brotli sections as EDK2 keeps them (GUID_DEFINED 3D532050-5CDA-4FD0-
// 879E-0F7F630D5AFB, BaseTools' BrotliCompress): an 8-byte header with the
// unpacked size, an 8-byte one with the scratch memory the decoder needs,
// then the Brotli stream.
#ifndef TOOLS_FV_BROTLI_CODEC_H_
#define TOOLS_FV_BROTLI_CODEC_H_

#include "fv_common.h"

namespace fv {

extern const Guid kBrotliSectionGuid;

// The unpacked size from the header; throws Error on a short or
// implausible header.
uint64_t BrotliUnpackedSize(const uint8_t *p, size_t n);
// Decodes the whole stream; throws Error on corrupt data or a size that
// does not match the header.
Bytes BrotliDecode(const uint8_t *p, size_t n);
// Encodes as BrotliCompress does (quality 9, the smallest window that
// covers the data), the scratch size measured as it measures it (what the
// decoder allocates for this stream, one 4 KiB gap and two 512 KiB
// buffers), at least minScratch (the size the replaced stream stated).
Bytes BrotliEncode(const Bytes &data, uint64_t minScratch = 0);

}  // namespace fv

#endif  // TOOLS_FV_BROTLI_CODEC_H_

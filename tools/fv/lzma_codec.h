// LZMA "alone" streams as firmware keeps them: 5 property bytes (lc/lp/pb,
// dictionary size), the 8-byte real uncompressed size, then the data.
#ifndef TOOLS_FV_LZMA_CODEC_H_
#define TOOLS_FV_LZMA_CODEC_H_

#include "fv_common.h"

namespace fv {

struct LzmaProperties {
  uint8_t lc = 3, lp = 0, pb = 2;
  uint32_t dictionarySize = 1u << 24;
};

// Reads the stream header; throws Error on a malformed or unsized stream.
LzmaProperties LzmaStreamProperties(const uint8_t *p, size_t n, uint64_t &uncompressedSize);

// Decodes a whole stream (an end marker after the data is accepted);
// throws Error on corrupt data or a size that does not match the header.
Bytes LzmaDecode(const uint8_t *p, size_t n);

// Encodes with the given properties at the strongest setting, without an
// end marker, the real size in the header.
Bytes LzmaEncode(const Bytes &data, const LzmaProperties &properties);

}  // namespace fv

#endif  // TOOLS_FV_LZMA_CODEC_H_

// LZMA "alone" streams as firmware keeps them: 5 property bytes (lc/lp/pb,
// dictionary size), the 8-byte real uncompressed size, then the data.
#ifndef TOOLS_FV_LZMA_CODEC_H_
#define TOOLS_FV_LZMA_CODEC_H_

#include <functional>

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

// How hard the encoder searches: a liblzma preset (0-9, optionally
// extreme) and its match finder. The default was chosen by measurement on
// OVMF's main volume (README: recompression): preset 6 with the bt3 match
// finder packs it smaller than preset 9 extreme, in well under half the
// time.
struct LzmaEffort {
  enum class MatchFinder { kPreset, kHc3, kHc4, kBt2, kBt3, kBt4 };
  uint32_t preset = 6;
  bool extreme = false;
  MatchFinder matchFinder = MatchFinder::kBt3;  // kPreset: the preset's own
  std::string Describe() const;                 // "6 bt3", "9e"
};

// Called now and then while a stream is encoded: bytes read so far, of all.
using LzmaProgress = std::function<void(uint64_t done, uint64_t total)>;

// Encodes with the given properties (lc, lp, pb; the header keeps the
// stream's dictionary size), without an end marker, the real size in the
// header.
Bytes LzmaEncode(const Bytes &data, const LzmaProperties &properties,
                 const LzmaEffort &effort = LzmaEffort(), const LzmaProgress &progress = {});

}  // namespace fv

#endif  // TOOLS_FV_LZMA_CODEC_H_

// fvtool's LZMA codec, both ways.
//
// Decoding: the input as a stream (header, then data). Whatever the header
// claims, LzmaDecode either fails with fv::Error or returns exactly the
// claimed number of bytes. Streams claiming more than a few MiB are only
// read for their header, to keep each input cheap.
//
// Encoding: the input as data, with properties taken from its first bytes
// (every lc/lp/pb the codec accepts, dictionary sizes from tiny to 4 GiB).
// Encoding must succeed, the header must state the properties and the size,
// and decoding must give the data back, byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lzma_codec.h"
#include "fuzz_check.h"

namespace {

constexpr uint64_t kMaxDecoded = 4u << 20;
// Encoding is done at the strongest setting, which is slow; larger inputs
// say nothing the smaller ones do not.
constexpr size_t kMaxEncoded = 64u << 10;

using fuzzcheck::Check;

void Decode(const uint8_t *data, size_t size) {
  uint64_t claimed = 0;
  try {
    fv::LzmaStreamProperties(data, size, claimed);
  } catch (const fv::Error &) {
    return;
  }
  if (claimed > kMaxDecoded) return;
  try {
    fv::Bytes out = fv::LzmaDecode(data, size);
    Check(out.size() == claimed);
  } catch (const fv::Error &) {
  }
}

void RoundTrip(const uint8_t *data, size_t size) {
  if (size < 4 || size > kMaxEncoded) return;
  // lc + lp at most 4, pb at most 4: what the stream format allows.
  fv::LzmaProperties props;
  props.pb = uint8_t(data[0] % 5);
  props.lp = uint8_t(data[1] % 5);
  props.lc = uint8_t(data[2] % (5 - props.lp));
  static const uint32_t kDictionaries[] = {0, 1, 4096, 1u << 16, 1u << 24, 0x80000000u,
                                           0xFFFFFFFFu, 3000};
  props.dictionarySize = kDictionaries[data[3] % 8];
  const fv::Bytes input(data + 4, data + size);

  fv::Bytes packed = fv::LzmaEncode(input, props);  // must not throw
  uint64_t stated = 0;
  fv::LzmaProperties read = fv::LzmaStreamProperties(packed.data(), packed.size(), stated);
  Check(stated == input.size());
  Check(read.lc == props.lc && read.lp == props.lp && read.pb == props.pb);
  // The header keeps at least the asked-for dictionary (a decoder may size
  // its buffer from it).
  Check(read.dictionarySize >= props.dictionarySize);
  fv::Bytes unpacked = fv::LzmaDecode(packed.data(), packed.size());  // must not throw
  Check(unpacked == input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Decode(data, size);
  RoundTrip(data, size);
  return 0;
}

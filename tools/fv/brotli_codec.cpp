#include "brotli_codec.h"

#include <algorithm>
#include <cstdlib>

#include <brotli/decode.h>
#include <brotli/encode.h>

namespace fv {

const Guid kBrotliSectionGuid = Guid::Parse("3D532050-5CDA-4FD0-879E-0F7F630D5AFB");

namespace {

constexpr size_t kHeaderSize = 16;
constexpr uint64_t kMaxUnpacked = 256ull << 20;

// The decoder's allocations counted as BrotliCompress counts them: every
// byte asked for, freed or not.
void *CountingAlloc(void *opaque, size_t size) {
  *static_cast<uint64_t *>(opaque) += size;
  return std::malloc(size);
}
void CountingFree(void *, void *address) { std::free(address); }

// Decodes the stream after the header into out (sized to the header's
// size); returns what the decoder allocated.
uint64_t DecodeInto(const uint8_t *p, size_t n, Bytes &out) {
  uint64_t allocated = 0;
  BrotliDecoderState *state = BrotliDecoderCreateInstance(CountingAlloc, CountingFree, &allocated);
  if (!state) Fail("out of memory for the Brotli decoder");
  BrotliDecoderSetParameter(state, BROTLI_DECODER_PARAM_LARGE_WINDOW, 1u);
  size_t availableIn = n - kHeaderSize, availableOut = out.size();
  const uint8_t *nextIn = p + kHeaderSize;
  uint8_t *nextOut = out.data();
  BrotliDecoderResult result =
      BrotliDecoderDecompressStream(state, &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
  size_t written = out.size() - availableOut;
  BrotliDecoderDestroyInstance(state);
  if (result == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT)
    Fail("Brotli data unpacks to more than the " + Hex(out.size()) + " bytes its header gives");
  if (result != BROTLI_DECODER_RESULT_SUCCESS) Fail("corrupt Brotli data");
  if (written != out.size())
    Fail("Brotli data ends after " + Hex(written) + " of " + Hex(out.size()) + " bytes");
  return allocated;
}

}  // namespace

uint64_t BrotliUnpackedSize(const uint8_t *p, size_t n) {
  if (n < kHeaderSize) Fail("Brotli section shorter than its 16-byte header");
  uint64_t size = Get64(p);
  if (size > kMaxUnpacked)
    Fail("Brotli section claims an implausible size of " + Hex(size) + " bytes");
  return size;
}

Bytes BrotliDecode(const uint8_t *p, size_t n) {
  Bytes out(BrotliUnpackedSize(p, n));
  DecodeInto(p, n, out);
  return out;
}

Bytes BrotliEncode(const Bytes &data, uint64_t minScratch) {
  int window = BROTLI_MIN_WINDOW_BITS;
  // The largest distance a window of W bits reaches: 2^W - 16 bytes.
  while (window < BROTLI_MAX_WINDOW_BITS && (size_t(1) << window) - 16 < data.size()) window++;
  size_t size = BrotliEncoderMaxCompressedSize(data.size());
  if (size == 0) Fail("Brotli cannot bound the packed size of " + Hex(data.size()) + " bytes");
  Bytes out(kHeaderSize + size);
  if (!BrotliEncoderCompress(9, window, BROTLI_MODE_GENERIC, data.size(), data.data(), &size,
                             out.data() + kHeaderSize))
    Fail("Brotli compression failed");
  out.resize(kHeaderSize + size);
  Put64(out.data(), data.size());
  Bytes check(data.size());
  uint64_t scratch = DecodeInto(out.data(), out.size(), check) + 0x1000 + 2 * (512u << 10);
  if (check != data) Fail("internal: Brotli data does not unpack to what was packed");
  Put64(out.data() + 8, std::max(scratch, minScratch));
  return out;
}

}  // namespace fv

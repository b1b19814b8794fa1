#include "lzma_codec.h"

#include <algorithm>
#include <cstring>

#include <lzma.h>

namespace fv {
namespace {

constexpr size_t kHeaderSize = 13;
// Firmware volumes are at most a few tens of MiB; anything claiming more is
// corrupt, and is refused before memory is committed to it.
constexpr uint64_t kMaxUncompressed = 256ull << 20;
constexpr uint64_t kMaxEncoderDictionary = 64ull << 20;

struct Stream {
  lzma_stream s = LZMA_STREAM_INIT;
  ~Stream() { lzma_end(&s); }
};

}  // namespace

LzmaProperties LzmaStreamProperties(const uint8_t *p, size_t n, uint64_t &uncompressedSize) {
  if (n < kHeaderSize) Fail("LZMA stream shorter than its header");
  uint8_t d = p[0];
  if (d >= 9 * 5 * 5) Fail("LZMA stream with invalid properties byte " + Hex(d));
  LzmaProperties props;
  props.lc = d % 9;
  props.lp = (d / 9) % 5;
  props.pb = uint8_t(d / 45);
  props.dictionarySize = Get32(p + 1);
  uncompressedSize = Get64(p + 5);
  if (uncompressedSize == ~0ull) Fail("LZMA stream without its uncompressed size");
  if (uncompressedSize > kMaxUncompressed)
    Fail("LZMA stream claims an implausible size of " + Hex(uncompressedSize) + " bytes");
  return props;
}

Bytes LzmaDecode(const uint8_t *p, size_t n) {
  uint64_t size = 0;
  LzmaProperties props = LzmaStreamProperties(p, n, size);
  lzma_options_lzma opt{};
  opt.lc = props.lc;
  opt.lp = props.lp;
  opt.pb = props.pb;
  // No match reaches further back than the data decoded so far, so a
  // dictionary larger than the output is never needed.
  opt.dict_size = uint32_t(std::max<uint64_t>(LZMA_DICT_SIZE_MIN,
                                              std::min<uint64_t>(props.dictionarySize, size)));
  opt.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  lzma_set_ext_size(opt, size);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  Stream st;
  if (lzma_raw_decoder(&st.s, filters) != LZMA_OK) Fail("unsupported LZMA properties");
  Bytes out(size);
  st.s.next_in = p + kHeaderSize;
  st.s.avail_in = n - kHeaderSize;
  st.s.next_out = out.data();
  st.s.avail_out = out.size();
  lzma_ret ret = lzma_code(&st.s, LZMA_FINISH);
  if (ret != LZMA_STREAM_END && ret != LZMA_OK) Fail("corrupt LZMA data");
  if (st.s.total_out != size)
    Fail("LZMA data ends after " + Hex(st.s.total_out) + " of " + Hex(size) + " bytes");
  return out;
}

std::string LzmaEffort::Describe() const {
  static const char *const kNames[] = {"", " hc3", " hc4", " bt2", " bt3", " bt4"};
  return std::to_string(preset) + (extreme ? "e" : "") + kNames[int(matchFinder)];
}

Bytes LzmaEncode(const Bytes &data, const LzmaProperties &properties, const LzmaEffort &effort,
                 const LzmaProgress &progress) {
  lzma_options_lzma opt{};
  if (lzma_lzma_preset(&opt, std::min<uint32_t>(effort.preset, 9) |
                                 (effort.extreme ? LZMA_PRESET_EXTREME : 0)))
    Fail("unsupported LZMA preset");
  static const lzma_match_finder kFinders[] = {LZMA_MF_HC3, LZMA_MF_HC3, LZMA_MF_HC4,
                                               LZMA_MF_BT2, LZMA_MF_BT3, LZMA_MF_BT4};
  if (effort.matchFinder != LzmaEffort::MatchFinder::kPreset)
    opt.mf = kFinders[int(effort.matchFinder)];
  opt.lc = properties.lc;
  opt.lp = properties.lp;
  opt.pb = properties.pb;
  // The encoder never needs a dictionary larger than the data, and a huge
  // one from a stream header (up to 4 GiB) would only cost memory or be
  // refused; the header keeps the original size, which any decoder may use.
  uint64_t enough = LZMA_DICT_SIZE_MIN;
  while (enough < data.size() && enough < kMaxEncoderDictionary) enough <<= 1;
  opt.dict_size = uint32_t(std::max<uint64_t>(LZMA_DICT_SIZE_MIN,
                                              std::min<uint64_t>(properties.dictionarySize, enough)));
  opt.ext_flags = 0;  // no end marker: the header carries the size
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  Stream st;
  if (lzma_raw_encoder(&st.s, filters) != LZMA_OK) Fail("unsupported LZMA properties");
  Bytes out(kHeaderSize + data.size() + data.size() / 2 + 4096);
  out[0] = uint8_t((properties.pb * 5 + properties.lp) * 9 + properties.lc);
  Put32(out.data() + 1, std::max<uint32_t>(properties.dictionarySize, opt.dict_size));
  Put64(out.data() + 5, data.size());
  st.s.next_out = out.data() + kHeaderSize;
  st.s.avail_out = out.size() - kHeaderSize;
  // Fed a piece at a time, so that progress can be told.
  constexpr size_t kPiece = 1 << 20;
  size_t fed = 0;
  lzma_ret ret = LZMA_OK;
  while (ret == LZMA_OK) {
    if (st.s.avail_in == 0 && fed < data.size()) {
      size_t n = std::min(kPiece, data.size() - fed);
      st.s.next_in = data.data() + fed;
      st.s.avail_in = n;
      fed += n;
      if (progress) progress(fed - n, data.size());
    }
    ret = lzma_code(&st.s, fed == data.size() ? LZMA_FINISH : LZMA_RUN);
  }
  if (ret != LZMA_STREAM_END) Fail("LZMA compression failed (" + std::to_string(ret) + ")");
  out.resize(kHeaderSize + st.s.total_out);
  return out;
}

}  // namespace fv

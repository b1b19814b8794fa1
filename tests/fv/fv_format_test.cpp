// Firmware file, section and LZMA stream layouts as the tool writes and reads them.
#include <lzma.h>

#include "fv_test_util.h"
#include "fv_tree.h"
#include "lzma_codec.h"

using namespace fv;

// Both checksums and the state, then a reader that notices any flipped byte.
TEST(FirmwareFile, ChecksumsStateAndCorruption) {
  Bytes body = MakeSection(kSecRaw, {1, 2, 3, 4, 5});
  Guid name = Guid::Parse("58759340-0A30-4DFD-88F9-3E9274720402");
  for (uint8_t attributes : {uint8_t(0), kFileAttrChecksum}) {
    Bytes f = MakeFile(name, kFilePeim, attributes, body, true);
    ASSERT_EQ(f.size(), 24 + body.size());
    EXPECT_EQ(Get24(&f[20]), f.size());
    EXPECT_EQ(f[23], 0xF8);
    EXPECT_EQ(uint8_t(Sum8(f.data(), 24) - f[17] - f[23]), 0);
    if (attributes) {
      EXPECT_EQ(uint8_t(Sum8(f.data() + 24, body.size()) + f[17]), 0);
    } else {
      EXPECT_EQ(f[17], 0xAA);
    }
    EXPECT_NO_THROW(ParseLoneFile(f));

    Bytes badHeader = f;
    badHeader[18] ^= 0x01;
    EXPECT_THROW(ParseLoneFile(badHeader), Error);
    Bytes badData = f;
    badData[28] ^= 0x40;
    if (attributes) {
      EXPECT_THROW(ParseLoneFile(badData), Error);
    }
    Bytes truncated(f.begin(), f.end() - 1);
    EXPECT_THROW(ParseLoneFile(truncated), Error);
  }
  EXPECT_EQ(MakeFile(name, kFilePeim, 0, body, false)[23], 0x07);
}

TEST(Sections, LongFormDepexAndName) {
  Bytes big(0x1000000);
  Bytes s = MakeSection(kSecRaw, big);
  EXPECT_EQ(Get24(s.data()), 0xFFFFFFu);
  EXPECT_EQ(Get32(s.data() + 4), big.size() + 8);

  Guid a = kStallPpiGuid, b = kPeiAprioriGuid;
  Bytes one = MakeDepexAll({a});
  ASSERT_EQ(one.size(), 18u);
  EXPECT_EQ(one[0], kDepexPush);
  EXPECT_EQ(Guid::At(&one[1]), a);
  EXPECT_EQ(one[17], kDepexEnd);
  EXPECT_EQ(DescribeDepex(one.data(), one.size()), "PUSH " + a.ToString() + " END");
  Bytes two = MakeDepexAll({a, b});
  EXPECT_EQ(DescribeDepex(two.data(), two.size()),
            "PUSH " + a.ToString() + " PUSH " + b.ToString() + " AND END");

  std::string wide = "Gr\xC3\xBC\xC3\x9F \xF0\x9F\x94\x8C";  // U+00FC U+00DF U+1F50C
  Bytes ui = EncodeUiName(wide);
  EXPECT_EQ(ui.size(), 2 * (4 + 1 + 2 + 1u));  // a surrogate pair and the NUL
  EXPECT_EQ(DecodeUiName(ui.data(), ui.size()), wide);
  EXPECT_THROW(EncodeUiName("bad \xC3"), Error);
}

TEST(Lzma, RoundTripHeaderAndDamage) {
  Bytes data;
  for (int i = 0; i < 200000; i++) data.push_back(uint8_t(i * 7 / 13));
  Bytes packed = LzmaEncode(data, LzmaProperties());
  EXPECT_EQ(packed[0], 0x5D);  // lc 3, lp 0, pb 2
  EXPECT_EQ(Get32(&packed[1]), 1u << 24);
  EXPECT_EQ(Get64(&packed[5]), data.size());
  EXPECT_LT(packed.size(), data.size() / 4);
  EXPECT_EQ(LzmaDecode(packed.data(), packed.size()), data);

  Bytes shortened(packed.begin(), packed.end() - 8);
  EXPECT_THROW(LzmaDecode(shortened.data(), shortened.size()), Error);
  Bytes unsized = packed;
  Put64(&unsized[5], ~0ull);
  EXPECT_THROW(LzmaDecode(unsized.data(), unsized.size()), Error);
  Bytes oversized = packed;
  Put64(&oversized[5], data.size() + 100);
  EXPECT_THROW(LzmaDecode(oversized.data(), oversized.size()), Error);
}

// Streams from other encoders may end with an end marker after the sized data.
TEST(Lzma, AcceptsEndMarker) {
  Bytes data(50000, 0x5A);
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, 6);
  lzma_stream s = LZMA_STREAM_INIT;
  ASSERT_EQ(lzma_alone_encoder(&s, &opt), LZMA_OK);
  Bytes out(data.size() + 1024);
  s.next_in = data.data();
  s.avail_in = data.size();
  s.next_out = out.data();
  s.avail_out = out.size();
  ASSERT_EQ(lzma_code(&s, LZMA_FINISH), LZMA_STREAM_END);
  out.resize(s.total_out);
  lzma_end(&s);
  Put64(&out[5], data.size());  // the real size, as firmware requires
  EXPECT_EQ(LzmaDecode(out.data(), out.size()), data);
}

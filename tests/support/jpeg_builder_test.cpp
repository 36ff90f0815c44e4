// The builder makes what it claims: its standard tables are those a reference encoder writes,
// and its pictures are valid files that a reference decoder and ours read at their size.

#include "support/jpeg_builder.h"

#include <gtest/gtest.h>

#include <map>

#include "hardening/checked_conversion.h"
#include "support/reference_codec.h"

namespace {

// Payloads of the DHT segments of a file, by class and identifier byte.
std::map<uint8_t, Bytes> huffman_tables_of(const Bytes& jpeg) {
  std::map<uint8_t, Bytes> tables;
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at + 1] != 0xDA) {
    const size_t end = at + 2 + (size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]);
    size_t p = at + 4;
    while (jpeg[at + 1] == 0xC4 && p + 17 <= end) {
      size_t symbols = 0;
      for (size_t i = 1; i <= 16; ++i) symbols += jpeg[p + i];
      tables[jpeg[p]] = Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(p),
                              jpeg.begin() + static_cast<std::ptrdiff_t>(p + 17 + symbols));
      p += 17 + symbols;
    }
    at = end;
  }
  return tables;
}

TEST(JpegBuilder, StandardTablesMatchTheReferenceEncoder) {
  EncodeOptions options;
  const Bytes jpeg = encode_jpeg(make_test_pixels(16, 16, 3, 1), 16, 16, options);
  std::map<uint8_t, Bytes> tables = huffman_tables_of(jpeg);
  EXPECT_EQ(tables[0x00], dht_payload(0, 0, standard_dc_luminance()));
  EXPECT_EQ(tables[0x10], dht_payload(1, 0, standard_ac_luminance()));
  EXPECT_EQ(tables[0x01], dht_payload(0, 1, standard_dc_chrominance()));
  EXPECT_EQ(tables[0x11], dht_payload(1, 1, standard_ac_chrominance()));
}

TEST(JpegBuilder, SamplePicturesDecodeAtTheirSize) {
  TempDir dir;
  for (const NamedPicture& picture : sample_pictures()) {
    SCOPED_TRACE(picture.name);
    const Bytes jpeg = make_jpeg(picture.recipe);
    bool reference_takes_it = true;  // it takes sampling factors up to 4
    for (const FrameComponent& c : picture.recipe.components) {
      reference_takes_it = reference_takes_it && c.h_samp <= 4 && c.v_samp <= 4;
    }
    DecodedImage reference;
    if (reference_takes_it) {
      ASSERT_TRUE(reference_decode(jpeg, &reference));
      EXPECT_EQ(reference.width, picture.recipe.width);
      EXPECT_EQ(reference.height, picture.recipe.height);
    }
    const CheckedConversion outcome = convert_and_check(jpeg, dir);
    EXPECT_EQ(outcome.result, 999);
    EXPECT_EQ(outcome.problem, "");
  }
}

TEST(JpegBuilder, BitWriterStuffsAndPads) {
  BitWriter bits;
  bits.put(0xFF, 8);
  bits.put(0x2, 2);
  bits.align();
  bits.marker(0xD3);
  EXPECT_EQ(bits.bytes(), (Bytes{0xFF, 0x00, 0xBF, 0xFF, 0xD3}));
}

}  // namespace

// The bit reader: stuffing, markers inside the data, the end of input, and Huffman decoding.

#include "jpeg/bit_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "jpeg/decoder.h"
#include "jpeg/huffman.h"
#include "support/decoded_picture.h"
#include "support/jpeg_builder.h"

namespace {

using Bits = std::vector<uint8_t>;

BitReader over(const Bits& bytes) {
  return bit_reader_over(bytes.data(), static_cast<int32_t>(bytes.size()));
}

uint32_t show(BitReader& r, int32_t n) {
  need_bits(r, n);
  return peek_bits(r, n);
}

TEST(BitReader, PeekingDoesNotConsume) {
  const Bits bytes = {0xA5, 0x3C};
  BitReader r = over(bytes);
  EXPECT_EQ(show(r, 12), 0xA53u);
  EXPECT_EQ(show(r, 12), 0xA53u);
  EXPECT_EQ(get_bits(r, 4), 0xAu);
  EXPECT_EQ(get_bits(r, 12), 0x53Cu);
}

TEST(BitReader, BytesAfterFfAreInterpreted) {
  const struct {
    const char* name;
    Bits bytes;
    uint32_t want16;
    Fault fault;
  } cases[] = {
      {"stuffed zero is dropped", {0xFF, 0x00, 0x12}, 0xFF12, Fault::none},
      {"restart marker is data", {0xFF, 0xD3}, 0xFFD3, Fault::none},
      {"end of image gives ones", {0xFF, 0xD9, 0x12}, 0xFFFF, Fault::none},
      {"any other marker gives ones", {0xFF, 0xC4, 0x12}, 0xFFFF, Fault::none},
      {"a fill byte gives ones", {0xFF, 0xFF, 0xD9}, 0xFFFF, Fault::none},
      {"lone last FF fails", {0xFF}, 0xFFFF, Fault::bad_marker_in_data},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BitReader r = over(c.bytes);
    EXPECT_EQ(show(r, 16), c.want16);
    EXPECT_EQ(r.fault, c.fault);
  }
}

// The reader stops on a marker without consuming it, so that the marker loop reads it next.
TEST(BitReader, MarkersEndTheDataWhereTheyStand) {
  for (const uint8_t marker : {uint8_t{0xD9}, uint8_t{0xE1}, uint8_t{0xC4}, uint8_t{0xFF}}) {
    SCOPED_TRACE(static_cast<int>(marker));
    const Bits bytes = {0x12, 0xFF, marker, 0x34};
    BitReader r = over(bytes);
    EXPECT_EQ(get_bits(r, 16), 0x12FFu);
    EXPECT_EQ(get_bits(r, 16), 0xFFFFu);
    EXPECT_EQ(r.cursor, bytes.data() + 1);
    EXPECT_EQ(r.bytes_left, 0);
    EXPECT_EQ(r.fault, Fault::none);
  }
}

TEST(BitReader, SuppliesOnesPastTheEndWithoutMoving) {
  const Bits bytes = {0x00};
  BitReader r = over(bytes);
  EXPECT_EQ(get_bits(r, 8), 0u);
  const uint8_t* end = r.cursor;
  EXPECT_EQ(get_bits(r, 16), 0xFFFFu);
  EXPECT_EQ(get_bits(r, 3), 7u);
  EXPECT_EQ(r.cursor, end);
  EXPECT_EQ(r.fault, Fault::none);
}

// The first fault stays, whatever follows.
TEST(BitReader, KeepsItsFirstFault) {
  const Bits bytes = {0x00, 0xFF, 0xD3};
  BitReader r = over(bytes);
  read_restart_marker(r, 3);
  EXPECT_EQ(r.fault, Fault::restart_out_of_order);
  reader_fail(r, Fault::bad_code);
  EXPECT_EQ(r.fault, Fault::restart_out_of_order);
}

// A table where the 2-bit code 00 stands for symbol `symbol`, and nothing else is coded.
std::vector<HuffmanEntry> one_code_table(uint8_t symbol) {
  std::vector<HuffmanEntry> table(65536, HuffmanEntry{0, 0});
  for (int i = 0; i < 16384; ++i) table[i] = HuffmanEntry{2, symbol};
  return table;
}

TEST(DecodeHuffman, ExtendsExtraBitsToSignedValues) {
  const struct {
    uint8_t symbol;
    uint8_t byte;  // the code 00, then the extra bits, then ones
    int32_t want;
  } cases[] = {
      {0x03, 0b00101111, 5}, {0x03, 0b00010111, -5}, {0x01, 0b00011111, -1},
      {0x01, 0b00111111, 1}, {0x03, 0b00000111, -7}, {0x03, 0b00011111, -4},
      {0x03, 0b00100111, 4}, {0x03, 0b00111111, 7},  {0x00, 0b00111111, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.byte));
    const Bits bytes = {c.byte};
    const std::vector<HuffmanEntry> table = one_code_table(c.symbol);
    std::vector<FastEntry> fast(1 << fast_bits);
    build_fast_table(table.data(), fast.data());
    BitReader r = over(bytes);
    const HuffmanValue v = decode_huffman(r, fast.data(), table.data());
    EXPECT_EQ(v.value, c.want);
    EXPECT_EQ(v.symbol, c.symbol);
    // The code's two bits and its s extra bits are consumed, nothing more.
    EXPECT_EQ(r.count, 8 + 8 - 2 - (c.symbol & 0x0F));
  }
}

TEST(DecodeHuffman, PrefixWithoutCodeFailsAndConsumesNothing) {
  const Bits bytes = {0xC0, 0x00};
  const std::vector<HuffmanEntry> table = one_code_table(0x03);
  std::vector<FastEntry> fast(1 << fast_bits);
  build_fast_table(table.data(), fast.data());
  BitReader r = over(bytes);
  const HuffmanValue v = decode_huffman(r, fast.data(), table.data());
  EXPECT_FALSE(v.found);
  EXPECT_EQ(r.fault, Fault::bad_code);
  EXPECT_EQ(r.count, 16);
}

// The short-code table gives what the full table gives: the same symbols, values and bits
// consumed over random data, against a short-code table that sends every code to the full one.
TEST_F(DecoderTest, ShortCodesDecodeAsTheFullTable) {
  const HuffmanSpec& codes = standard_ac_luminance();
  ASSERT_TRUE(build_huffman_table(d, 1, 0, codes.counts, codes.symbols.data()));
  const HuffmanEntry* full = d.huffman_lookup[1][0];
  std::vector<FastEntry> fast(1 << fast_bits);
  build_fast_table(full, fast.data());
  const std::vector<FastEntry> none(1 << fast_bits, FastEntry{0, 0, 0});
  std::mt19937 random(5);
  Bits bytes(4096);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random() % 255);  // no 0xFF
  BitReader quick = over(bytes);
  BitReader slow = over(bytes);
  for (int32_t i = 0; i < 4000 && quick.bytes_left > 0; ++i) {
    SCOPED_TRACE(i);
    const HuffmanValue a = decode_huffman(quick, fast.data(), full);
    const HuffmanValue b = decode_huffman(slow, none.data(), full);
    ASSERT_EQ(a.found, b.found);
    ASSERT_EQ(a.symbol, b.symbol);
    ASSERT_EQ(a.value, b.value);
    ASSERT_EQ(quick.bytes_left * 8 + quick.count, slow.bytes_left * 8 + slow.count);
    if (!a.found) get_bits(quick, 1), get_bits(slow, 1);
  }
}

}  // namespace

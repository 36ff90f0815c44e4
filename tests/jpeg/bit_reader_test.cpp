// The bit reader: stuffing, markers inside the data, the end of input, and Huffman decoding.

#include "jpeg/bit_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "jpeg/decoder.h"

namespace {

// Points a cleared decoder at `bytes` as scan data.
void start(const std::vector<uint8_t>& bytes) {
  reset_decoder();
  decoder.cursor = bytes.data();
  decoder.bytes_left = static_cast<int32_t>(bytes.size());
}

TEST(BitReader, ShowZeroBitsTouchesNothing) {
  const std::vector<uint8_t> bytes = {0xA5};
  start(bytes);
  EXPECT_EQ(show_bits(0), 0);
  EXPECT_EQ(decoder.cursor, bytes.data());
  EXPECT_EQ(decoder.bytes_left, 1);
  EXPECT_EQ(decoder.bit_count, 0);
}

TEST(BitReader, ShowDoesNotConsume) {
  const std::vector<uint8_t> bytes = {0xA5, 0x3C};
  start(bytes);
  EXPECT_EQ(show_bits(12), 0xA53);
  EXPECT_EQ(show_bits(12), 0xA53);
  EXPECT_EQ(get_bits(4), 0xA);
  EXPECT_EQ(get_bits(12), 0x53C);
}

TEST(BitReader, BytesAfterFfAreInterpreted) {
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    int32_t want16;
    int32_t status;
  } cases[] = {
      {"stuffed zero is dropped", {0xFF, 0x00, 0x12}, 0xFF12, status_running},
      {"restart marker is data", {0xFF, 0xD3}, 0xFFD3, status_running},
      {"end of image gives ones", {0xFF, 0xD9, 0x12}, 0xFFFF, status_running},
      {"other marker fails", {0xFF, 0xC4, 0x12}, 0xFF12, status_failed},
      {"fill byte fails", {0xFF, 0xFF, 0x12}, 0xFF12, status_failed},
      {"lone last FF fails", {0xFF}, 0xFFFF, status_failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start(c.bytes);
    EXPECT_EQ(show_bits(16), c.want16);
    EXPECT_EQ(decoder.status, c.status);
  }
}

TEST(BitReader, EndOfImageStopsTheInput) {
  const std::vector<uint8_t> bytes = {0xFF, 0xD9, 0x12, 0x34};
  start(bytes);
  EXPECT_EQ(get_bits(16), 0xFFFF);
  EXPECT_EQ(decoder.bytes_left, 0);
  EXPECT_EQ(get_bits(16), 0xFFFF);
}

TEST(BitReader, SuppliesOnesPastTheEndWithoutMoving) {
  const std::vector<uint8_t> bytes = {0x00};
  start(bytes);
  EXPECT_EQ(get_bits(8), 0);
  const uint8_t* end = decoder.cursor;
  EXPECT_EQ(get_bits(16), 0xFFFF);
  EXPECT_EQ(get_bits(3), 7);
  EXPECT_EQ(decoder.cursor, end);
  EXPECT_EQ(decoder.status, status_running);
}

// A table where the 2-bit code 00 stands for symbol `symbol`, and nothing else is coded.
void one_code_table(HuffmanEntry* table, uint8_t symbol) {
  for (int i = 0; i < 65536; ++i) table[i] = HuffmanEntry{0, 0};
  for (int i = 0; i < 16384; ++i) table[i] = HuffmanEntry{2, symbol};
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
    const std::vector<uint8_t> bytes = {c.byte};
    start(bytes);
    one_code_table(decoder.huffman_lookup[2], c.symbol);
    uint8_t symbol = 0xEE;
    EXPECT_EQ(decode_huffman(decoder.huffman_lookup[2], &symbol), c.want);
    EXPECT_EQ(symbol, c.symbol);
    // The code's two bits and its s extra bits are consumed, nothing more.
    EXPECT_EQ(decoder.bit_count, 8 + 8 - 2 - (c.symbol & 0x0F));
  }
}

TEST(DecodeHuffman, PrefixWithoutCodeFailsAndConsumesNothing) {
  const std::vector<uint8_t> bytes = {0xC0, 0x00};
  start(bytes);
  one_code_table(decoder.huffman_lookup[2], 0x03);
  uint8_t symbol = 0x42;
  EXPECT_EQ(decode_huffman(decoder.huffman_lookup[2], &symbol), 0);
  EXPECT_EQ(decoder.status, status_failed);
  EXPECT_EQ(symbol, 0x42);
  EXPECT_EQ(decoder.bit_count, 16);
}

}  // namespace

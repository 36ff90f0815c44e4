// The bit reader: stuffing, markers inside the data, the end of input, and Huffman decoding.

#include "jpeg/bit_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "jpeg/decoder.h"
#include "support/decoded_picture.h"

namespace {

using BitReaderTest = DecoderTest;
using DecodeHuffman = DecoderTest;

// Points a cleared decoder at `bytes` as scan data.
void start(DecoderState& d, const std::vector<uint8_t>& bytes) {
  release_decoder(d);
  d.cursor = bytes.data();
  d.bytes_left = static_cast<int32_t>(bytes.size());
}

TEST_F(BitReaderTest, ShowZeroBitsTouchesNothing) {
  const std::vector<uint8_t> bytes = {0xA5};
  start(d, bytes);
  EXPECT_EQ(show_bits(d, 0), 0);
  EXPECT_EQ(d.cursor, bytes.data());
  EXPECT_EQ(d.bytes_left, 1);
  EXPECT_EQ(d.bit_count, 0);
}

TEST_F(BitReaderTest, ShowDoesNotConsume) {
  const std::vector<uint8_t> bytes = {0xA5, 0x3C};
  start(d, bytes);
  EXPECT_EQ(show_bits(d, 12), 0xA53);
  EXPECT_EQ(show_bits(d, 12), 0xA53);
  EXPECT_EQ(get_bits(d, 4), 0xA);
  EXPECT_EQ(get_bits(d, 12), 0x53C);
}

TEST_F(BitReaderTest, BytesAfterFfAreInterpreted) {
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    int32_t want16;
    int32_t status;
  } cases[] = {
      {"stuffed zero is dropped", {0xFF, 0x00, 0x12}, 0xFF12, status_running},
      {"restart marker is data", {0xFF, 0xD3}, 0xFFD3, status_running},
      {"end of image gives ones", {0xFF, 0xD9, 0x12}, 0xFFFF, status_running},
      {"any other marker gives ones", {0xFF, 0xC4, 0x12}, 0xFFFF, status_running},
      {"a fill byte gives ones", {0xFF, 0xFF, 0xD9}, 0xFFFF, status_running},
      {"lone last FF fails", {0xFF}, 0xFFFF, status_failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start(d, c.bytes);
    EXPECT_EQ(show_bits(d, 16), c.want16);
    EXPECT_EQ(d.status, c.status);
  }
}

// The reader stops on a marker without consuming it, so that the marker loop reads it next.
TEST_F(BitReaderTest, MarkersEndTheDataWhereTheyStand) {
  for (const uint8_t marker : {uint8_t{0xD9}, uint8_t{0xE1}, uint8_t{0xC4}, uint8_t{0xFF}}) {
    SCOPED_TRACE(static_cast<int>(marker));
    const std::vector<uint8_t> bytes = {0x12, 0xFF, marker, 0x34};
    start(d, bytes);
    EXPECT_EQ(get_bits(d, 16), 0x12FF);
    EXPECT_EQ(get_bits(d, 16), 0xFFFF);
    EXPECT_EQ(d.cursor, bytes.data() + 1);
    EXPECT_EQ(d.bytes_left, 0);
    EXPECT_EQ(d.status, status_running);
  }
}

TEST_F(BitReaderTest, SuppliesOnesPastTheEndWithoutMoving) {
  const std::vector<uint8_t> bytes = {0x00};
  start(d, bytes);
  EXPECT_EQ(get_bits(d, 8), 0);
  const uint8_t* end = d.cursor;
  EXPECT_EQ(get_bits(d, 16), 0xFFFF);
  EXPECT_EQ(get_bits(d, 3), 7);
  EXPECT_EQ(d.cursor, end);
  EXPECT_EQ(d.status, status_running);
}

// A table where the 2-bit code 00 stands for symbol `symbol`, and nothing else is coded.
std::vector<HuffmanEntry> one_code_table(uint8_t symbol) {
  std::vector<HuffmanEntry> table(65536, HuffmanEntry{0, 0});
  for (int i = 0; i < 16384; ++i) table[i] = HuffmanEntry{2, symbol};
  return table;
}

TEST_F(DecodeHuffman, ExtendsExtraBitsToSignedValues) {
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
    start(d, bytes);
    const std::vector<HuffmanEntry> table = one_code_table(c.symbol);
    uint8_t symbol = 0xEE;
    EXPECT_EQ(decode_huffman(d, table.data(), &symbol), c.want);
    EXPECT_EQ(symbol, c.symbol);
    // The code's two bits and its s extra bits are consumed, nothing more.
    EXPECT_EQ(d.bit_count, 8 + 8 - 2 - (c.symbol & 0x0F));
  }
}

TEST_F(DecodeHuffman, PrefixWithoutCodeFailsAndConsumesNothing) {
  const std::vector<uint8_t> bytes = {0xC0, 0x00};
  start(d, bytes);
  const std::vector<HuffmanEntry> table = one_code_table(0x03);
  uint8_t symbol = 0x42;
  EXPECT_EQ(decode_huffman(d, table.data(), &symbol), 0);
  EXPECT_EQ(d.status, status_failed);
  EXPECT_EQ(symbol, 0x42);
  EXPECT_EQ(d.bit_count, 16);
}

}  // namespace

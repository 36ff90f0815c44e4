// Quantisation and Huffman table segments, and the expansion into lookup tables.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "jpeg/decoder.h"

namespace {

using Segment = std::vector<uint8_t>;

// Starts the decoder on a segment: a big-endian length field that counts itself, then content.
Segment segment(const Segment& content) {
  const size_t length = content.size() + 2;
  Segment bytes = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  bytes.insert(bytes.end(), content.begin(), content.end());
  return bytes;
}

void start(const Segment& bytes) {
  reset_decoder();
  decoder.cursor = bytes.data();
  decoder.bytes_left = static_cast<int32_t>(bytes.size());
}

Segment huffman_table(uint8_t id, const std::vector<uint8_t>& counts,
                      const std::vector<uint8_t>& symbols) {
  Segment t = {id};
  t.insert(t.end(), counts.begin(), counts.end());
  t.insert(t.end(), symbols.begin(), symbols.end());
  return t;
}

const std::vector<uint8_t> dc_luma_counts = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> dc_luma_symbols = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const std::vector<uint8_t> ac_luma_counts = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};

std::vector<uint8_t> ac_luma_symbols() {
  std::vector<uint8_t> symbols;
  for (uint8_t s = 0; symbols.size() < 162; ++s) symbols.push_back(s);  // values do not matter
  return symbols;
}

TEST(HuffmanTables, StandardLuminanceDcTableFill) {
  const Segment bytes = segment(huffman_table(0x00, dc_luma_counts, dc_luma_symbols));
  start(bytes);
  parse_huffman_tables();
  ASSERT_EQ(decoder.status, status_running);
  const HuffmanEntry* t = decoder.huffman_lookup[0];
  EXPECT_EQ(t[0].code_length, 2);
  EXPECT_EQ(t[16383].code_length, 2);
  EXPECT_EQ(t[16383].symbol, 0);
  EXPECT_EQ(t[16384].code_length, 3);
  EXPECT_EQ(t[16384].symbol, 1);
  EXPECT_EQ(t[24575].symbol, 1);
  EXPECT_EQ(t[65535 - 128].code_length, 9);
  for (int i = 65536 - 128; i < 65536; ++i) EXPECT_EQ(t[i].code_length, 0) << i;
  EXPECT_EQ(decoder.bytes_left, 0);
}

TEST(HuffmanTables, StandardLuminanceAcTableLeavesOnlyTheLastEntry) {
  const Segment bytes = segment(huffman_table(0x10, ac_luma_counts, ac_luma_symbols()));
  start(bytes);
  parse_huffman_tables();
  ASSERT_EQ(decoder.status, status_running);
  const HuffmanEntry* t = decoder.huffman_lookup[2];
  EXPECT_EQ(t[65534].code_length, 16);
  EXPECT_EQ(t[65535].code_length, 0);
}

TEST(HuffmanTables, IdentifierBytesSelectTables) {
  const struct {
    uint8_t id;
    int32_t table;  // -1: refused
  } cases[] = {{0x00, 0},  {0x01, 1},  {0x10, 2},  {0x11, 3},  {0x02, -1},
               {0x03, -1}, {0x12, -1}, {0x13, -1}, {0x20, -1}, {0xF0, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.id));
    const Segment bytes = segment(huffman_table(c.id, dc_luma_counts, dc_luma_symbols));
    start(bytes);
    parse_huffman_tables();
    if (c.table < 0) {
      EXPECT_EQ(decoder.status, status_failed);
    } else {
      EXPECT_EQ(decoder.status, status_running);
      EXPECT_EQ(decoder.huffman_lookup[c.table][0].code_length, 2);
    }
  }
}

TEST(HuffmanTables, CodeSpaceLimits) {
  std::vector<uint8_t> two_ones(16, 0);
  two_ones[0] = 2;  // codes 0 and 1: exactly fills the space
  std::vector<uint8_t> three_ones(16, 0);
  three_ones[0] = 3;
  std::vector<uint8_t> empty(16, 0);
  const struct {
    const char* name;
    Segment content;
    int32_t status;
  } cases[] = {
      {"exact fill", huffman_table(0x00, two_ones, {7, 9}), status_running},
      {"one code too many", huffman_table(0x00, three_ones, {7, 9, 11}), status_failed},
      {"count beyond the segment", huffman_table(0x00, three_ones, {7}), status_failed},
      {"no codes at all", huffman_table(0x00, empty, {}), status_running},
      {"trailing bytes",
       [] {
         Segment t = huffman_table(0x00, std::vector<uint8_t>(16, 0), {});
         t.push_back(0);
         return t;
       }(),
       status_failed},
      {"empty segment", {}, status_running},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Segment bytes = segment(c.content);
    start(bytes);
    for (auto& entry : decoder.huffman_lookup[0]) entry = HuffmanEntry{5, 0x77};
    parse_huffman_tables();
    EXPECT_EQ(decoder.status, c.status);
    if (c.status == status_failed) continue;
    const HuffmanEntry* t = decoder.huffman_lookup[0];
    if (c.content.empty()) {
      EXPECT_EQ(t[0].code_length, 5);
    } else if (c.content[1] == 0) {
      EXPECT_EQ(t[0].code_length, 0);
      EXPECT_EQ(t[0].symbol, 0x77);  // symbols of uncoded entries are left as they were
    } else {
      EXPECT_EQ(t[0].symbol, 7);
      EXPECT_EQ(t[65535].symbol, 9);
    }
  }
}

TEST(QuantTables, RecordsAreStoredAsRead) {
  Segment content;
  for (uint8_t id : {uint8_t{1}, uint8_t{3}}) {
    content.push_back(id);
    for (int k = 0; k < 64; ++k) content.push_back(static_cast<uint8_t>(id * 10 + k));
  }
  const Segment bytes = segment(content);
  start(bytes);
  parse_quant_tables();
  ASSERT_EQ(decoder.status, status_running);
  EXPECT_EQ(decoder.quant_defined_mask, 0b1010);
  EXPECT_EQ(decoder.quant_tables[1][0], 10);
  EXPECT_EQ(decoder.quant_tables[3][63], 93);
  EXPECT_EQ(decoder.quant_tables[0][5], 0);
}

TEST(QuantTables, RefusesWideValuesHighIdentifiersAndLeftovers) {
  const struct {
    const char* name;
    uint8_t id;
    size_t extra;
  } cases[] = {
      {"16-bit precision", 0x10, 0}, {"identifier 4", 0x04, 0}, {"one byte over", 0x00, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Segment content(65 + c.extra, 1);
    content[0] = c.id;
    const Segment bytes = segment(content);
    start(bytes);
    parse_quant_tables();
    EXPECT_EQ(decoder.status, status_failed);
  }
}

}  // namespace

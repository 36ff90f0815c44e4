// Quantisation and Huffman table segments, and the expansion into lookup tables.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "jpeg/decoder.h"
#include "support/decoded_picture.h"
#include "support/jpeg_builder.h"

namespace {

using Segment = std::vector<uint8_t>;

// A table segment, its marker included.
Segment segment(const Segment& content) { return JpegBuilder().segment(0xC4, content).bytes(); }

// Starts the decoder on the segment's length field, as the marker loop leaves it.
void start(DecoderState& d, const Segment& bytes) {
  release_decoder(d);
  begin_input(d, bytes.data() + 2, static_cast<int32_t>(bytes.size()) - 2);
}

using HuffmanTables = DecoderTest;
using QuantTables = DecoderTest;

Segment huffman_table(uint8_t id, const std::vector<uint8_t>& counts,
                      const std::vector<uint8_t>& symbols) {
  Segment t = {id};
  t.insert(t.end(), counts.begin(), counts.end());
  t.insert(t.end(), symbols.begin(), symbols.end());
  return t;
}

// T.81 K.3's tables, as the tests read them from the data file.
const std::vector<uint8_t> dc_luma_counts(standard_dc_luminance().counts,
                                          standard_dc_luminance().counts + 16);
const std::vector<uint8_t> dc_luma_symbols = standard_dc_luminance().symbols;
const std::vector<uint8_t> ac_luma_counts(standard_ac_luminance().counts,
                                          standard_ac_luminance().counts + 16);
std::vector<uint8_t> ac_luma_symbols() { return standard_ac_luminance().symbols; }

TEST_F(HuffmanTables, StandardLuminanceDcTableFill) {
  const Segment bytes = segment(huffman_table(0x00, dc_luma_counts, dc_luma_symbols));
  start(d, bytes);
  parse_huffman_tables(d);
  ASSERT_FALSE(failed(d));
  const HuffmanEntry* t = d.huffman_lookup[0][0];
  EXPECT_EQ(t[0].code_length, 2);
  EXPECT_EQ(t[16383].code_length, 2);
  EXPECT_EQ(t[16383].symbol, 0);
  EXPECT_EQ(t[16384].code_length, 3);
  EXPECT_EQ(t[16384].symbol, 1);
  EXPECT_EQ(t[24575].symbol, 1);
  EXPECT_EQ(t[65535 - 128].code_length, 9);
  for (int i = 65536 - 128; i < 65536; ++i) EXPECT_EQ(t[i].code_length, 0) << i;
  EXPECT_EQ(d.bytes_left, 0);
}

TEST_F(HuffmanTables, StandardLuminanceAcTableLeavesOnlyTheLastEntry) {
  const Segment bytes = segment(huffman_table(0x10, ac_luma_counts, ac_luma_symbols()));
  start(d, bytes);
  parse_huffman_tables(d);
  ASSERT_FALSE(failed(d));
  const HuffmanEntry* t = d.huffman_lookup[1][0];
  EXPECT_EQ(t[65534].code_length, 16);
  EXPECT_EQ(t[65535].code_length, 0);
}

TEST_F(HuffmanTables, IdentifierBytesSelectTables) {
  const struct {
    uint8_t id;
    int32_t table_class, slot;  // -1: refused
  } cases[] = {{0x00, 0, 0},   {0x01, 0, 1},   {0x03, 0, 3},   {0x10, 1, 0},  {0x13, 1, 3},
               {0x04, -1, -1}, {0x14, -1, -1}, {0x20, -1, -1}, {0xF0, -1, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.id));
    const Segment bytes = segment(huffman_table(c.id, dc_luma_counts, dc_luma_symbols));
    start(d, bytes);
    parse_huffman_tables(d);
    if (c.slot < 0) {
      EXPECT_TRUE(failed(d));
    } else {
      EXPECT_FALSE(failed(d));
      EXPECT_EQ(d.huffman_defined_mask, 1 << (4 * c.table_class + c.slot));
      EXPECT_EQ(d.huffman_lookup[c.table_class][c.slot][0].code_length, 2);
    }
  }
}

// Slots 0 and 1 fall back on the typical tables of T.81 K.3 (luminance, chrominance), as a
// motion-JPEG frame without tables needs; slots 2 and 3 have none. Each of the decoder's own
// copies expands as the table of the data file does when a segment carries it.
TEST_F(HuffmanTables, StandardTablesStandInForSlotsZeroAndOne) {
  const struct {
    int32_t table_class, slot;
    const HuffmanSpec& codes;
  } tables[] = {{0, 0, standard_dc_luminance()},
                {1, 0, standard_ac_luminance()},
                {0, 1, standard_dc_chrominance()},
                {1, 1, standard_ac_chrominance()}};
  for (const auto& t : tables) {
    SCOPED_TRACE(4 * t.table_class + t.slot);
    const std::vector<uint8_t> counts(t.codes.counts, t.codes.counts + 16);
    const Segment bytes = segment(
        huffman_table(static_cast<uint8_t>(t.table_class << 4 | t.slot), counts, t.codes.symbols));
    start(d, bytes);
    parse_huffman_tables(d);
    ASSERT_FALSE(failed(d));
    const HuffmanEntry* table = d.huffman_lookup[t.table_class][t.slot];
    const std::vector<HuffmanEntry> parsed(table, table + 65536);
    ASSERT_TRUE(install_standard_huffman_table(d, t.table_class, t.slot));
    for (int32_t v = 0; v < 65536; ++v) {
      ASSERT_EQ(table[v].code_length, parsed[v].code_length) << v;
      if (parsed[v].code_length != 0) {
        ASSERT_EQ(table[v].symbol, parsed[v].symbol) << v;
      }
    }
  }
  EXPECT_FALSE(install_standard_huffman_table(d, 0, 2));
  EXPECT_FALSE(install_standard_huffman_table(d, 1, 3));
}

TEST_F(HuffmanTables, CodeSpaceLimits) {
  std::vector<uint8_t> two_ones(16, 0);
  two_ones[0] = 2;  // codes 0 and 1: exactly fills the space
  std::vector<uint8_t> three_ones(16, 0);
  three_ones[0] = 3;
  std::vector<uint8_t> empty(16, 0);
  const struct {
    const char* name;
    Segment content;
    bool refused;
  } cases[] = {
      {"exact fill", huffman_table(0x00, two_ones, {7, 9}), false},
      {"one code too many", huffman_table(0x00, three_ones, {7, 9, 11}), true},
      {"count beyond the segment", huffman_table(0x00, three_ones, {7}), true},
      {"no codes at all", huffman_table(0x00, empty, {}), false},
      {"trailing bytes",
       [] {
         Segment t = huffman_table(0x00, std::vector<uint8_t>(16, 0), {});
         t.push_back(0);
         return t;
       }(),
       true},
      {"empty segment", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Segment bytes = segment(c.content);
    start(d, bytes);
    // An earlier table in the slot, whose symbols the new one leaves where it codes nothing.
    uint8_t all_fives[16] = {};
    all_fives[4] = 32;
    const std::vector<uint8_t> sevens(32, 0x77);
    ASSERT_TRUE(build_huffman_table(d, 0, 0, all_fives, sevens.data()));
    parse_huffman_tables(d);
    EXPECT_EQ(failed(d), c.refused);
    if (c.refused) continue;
    const HuffmanEntry* t = d.huffman_lookup[0][0];
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

TEST_F(QuantTables, RecordsAreStoredAsRead) {
  Segment content;
  for (uint8_t id : {uint8_t{1}, uint8_t{3}}) {
    content.push_back(id);
    for (int k = 0; k < 64; ++k) content.push_back(static_cast<uint8_t>(id * 10 + k));
  }
  const Segment bytes = segment(content);
  start(d, bytes);
  parse_quant_tables(d);
  ASSERT_FALSE(failed(d));
  EXPECT_EQ(d.quant_defined_mask, 0b1010);
  EXPECT_EQ(d.quant_tables[1][0], 10);
  EXPECT_EQ(d.quant_tables[3][63], 93);
  EXPECT_EQ(d.quant_tables[0][5], 0);
}

TEST_F(QuantTables, SixteenBitValuesAreBigEndian) {
  Segment content = {0x12};  // 16-bit values, identifier 2
  for (int k = 0; k < 64; ++k) content.insert(content.end(), {static_cast<uint8_t>(k), 0x01});
  content.push_back(0x00);  // then an 8-bit table 0
  content.insert(content.end(), 64, 7);
  const Segment bytes = segment(content);
  start(d, bytes);
  parse_quant_tables(d);
  ASSERT_FALSE(failed(d));
  EXPECT_EQ(d.quant_defined_mask, 0b101);
  EXPECT_EQ(d.quant_tables[2][0], 0x0001);
  EXPECT_EQ(d.quant_tables[2][63], 0x3F01);
  EXPECT_EQ(d.quant_tables[0][63], 7);
}

TEST_F(QuantTables, RefusesOtherPrecisionsHighIdentifiersAndLeftovers) {
  const struct {
    const char* name;
    uint8_t id;
    size_t bytes;
  } cases[] = {{"precision 2", 0x20, 65},
               {"identifier 4", 0x04, 65},
               {"one byte over", 0x00, 66},
               {"16-bit table cut short", 0x10, 65}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Segment content(c.bytes, 1);
    content[0] = c.id;
    const Segment bytes = segment(content);
    start(d, bytes);
    parse_quant_tables(d);
    EXPECT_TRUE(failed(d));
  }
}

}  // namespace

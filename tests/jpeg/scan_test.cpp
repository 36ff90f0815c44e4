// Block decoding: DC prediction, AC runs, dequantisation at the zig-zag position, and the
// faults of run/size symbols.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "jpeg/decoder.h"
#include "jpeg/huffman.h"
#include "jpeg/sequential.h"
#include "kernels/idct.h"
#include "support/decoded_picture.h"
#include "support/jpeg_builder.h"

namespace {

// A code of these tests' tables: every symbol is its own 8-bit code.
void code(BitWriter& w, uint8_t symbol) { w.put(symbol, 8); }

// DC and AC tables code every symbol as its own byte; quantiser k is k + 1.
class DecodeBlock : public DecoderTest {
 protected:
  DecodeBlock() {
    uint8_t counts[16] = {};
    counts[7] = 255;  // 255 codes of 8 bits: every byte but 0xFF is its own code
    uint8_t symbols[255];
    for (int s = 0; s < 255; ++s) symbols[s] = static_cast<uint8_t>(s);
    for (int t : {0, 1}) {
      EXPECT_TRUE(build_huffman_table(d, t, 0, counts, symbols));
      build_fast_table(d.huffman_lookup[t][0], fast[t].data());
    }
    build_ac_table(d.huffman_lookup[1][0], ac.data());
    for (int k = 0; k < 64; ++k) quant[k] = static_cast<uint16_t>(k + 1);
    tables = block_tables_of(fast[0].data(), d.huffman_lookup[0][0], ac.data(),
                             d.huffman_lookup[1][0], quant);
  }

  // Decodes one block at the reader into `samples`.
  void decode(BitReader& r, std::vector<uint8_t>* samples) {
    samples->resize(64);
    decode_block(r, tables, kernels(), predictor, coefficients, samples->data(), 8);
  }

  std::vector<FastEntry> fast[2] = {std::vector<FastEntry>(1 << fast_bits),
                                    std::vector<FastEntry>(1 << fast_bits)};
  std::vector<AcEntry> ac = std::vector<AcEntry>(1 << fast_bits);
  uint16_t quant[64];
  BlockTables tables;
  int32_t predictor = 0;
  alignas(32) int32_t coefficients[64] = {};
};

// The samples the inverse DCT makes of natural-order coefficients.
std::vector<uint8_t> samples_of(const std::vector<std::pair<int, int32_t>>& coefficients) {
  int32_t c[64] = {};
  for (const auto& [index, value] : coefficients) c[index] = value;
  for (int r = 0; r < 8; ++r) idct_row(c + 8 * r);
  std::vector<uint8_t> out(64);
  for (int j = 0; j < 8; ++j) idct_column(c + j, out.data() + j, 8);
  return out;
}

TEST_F(DecodeBlock, DequantisesAtTheZigzagPositionAndPredictsDc) {
  BitWriter w;
  code(w, 0x03), w.put(0b101, 3);  // DC difference 5
  code(w, 0x12), w.put(0b10, 2);   // skip 1, then zig-zag position 2 gets 2
  code(w, 0x00);                   // end of block
  code(w, 0x02), w.put(0b01, 2);   // next block: DC difference -2
  code(w, 0x00);
  w.align();
  BitReader r = bit_reader_over(w.bytes().data(), static_cast<int32_t>(w.bytes().size()));
  std::vector<uint8_t> samples;
  decode(r, &samples);
  ASSERT_EQ(r.fault, Fault::none);
  // Zig-zag position 2 is natural index 8 (row 1, column 0); its quantiser is entry 2, i.e. 3.
  EXPECT_EQ(samples, samples_of({{0, 5 * 1}, {8, 2 * 3}}));
  decode(r, &samples);
  EXPECT_EQ(predictor, 3);
  EXPECT_EQ(samples, samples_of({{0, 3}}));
  EXPECT_EQ(std::vector<int32_t>(coefficients, coefficients + 64), std::vector<int32_t>(64, 0));
}

TEST_F(DecodeBlock, RunSymbols) {
  const struct {
    const char* name;
    std::vector<uint8_t> ac;  // AC codes after a zero DC; size-1 symbols get extra bit 1
    Fault fault;
    int32_t bits_used;
  } cases[] = {
      {"zero run of sixteen then end", {0xF0, 0x00}, Fault::none, 24},
      {"run landing on 63 ends without end code", {0xF0, 0xF0, 0xF0, 0xE1}, Fault::none, 41},
      {"run past 63", {0xF0, 0xF0, 0xF0, 0xF1}, Fault::bad_coefficients, -1},
      {"sixteen zeros past 63", {0xF0, 0xF0, 0xF0, 0xF0}, Fault::bad_coefficients, -1},
      {"size 0 with a run other than 15", {0x10}, Fault::bad_coefficients, -1},
      {"size 0 with run 14", {0xE0}, Fault::bad_coefficients, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BitWriter w;
    code(w, 0x00);
    for (uint8_t s : c.ac) {
      code(w, s);
      if ((s & 0x0F) == 1) w.put(1, 1);
    }
    w.put(0x1234, 16);
    w.align();
    const Bytes& bytes = w.bytes();
    BitReader r = bit_reader_over(bytes.data(), static_cast<int32_t>(bytes.size()));
    std::vector<uint8_t> samples;
    decode(r, &samples);
    EXPECT_EQ(r.fault, c.fault);
    if (c.bits_used >= 0) {
      EXPECT_EQ(8 * (static_cast<int32_t>(bytes.size()) - r.bytes_left) - r.count, c.bits_used);
    }
    // A fault leaves the coefficients clear for whatever comes next.
    EXPECT_EQ(std::vector<int32_t>(coefficients, coefficients + 64), std::vector<int32_t>(64, 0));
  }
}

// The AC short table, with its steps for runs and ends of block, gives each block's
// coefficients, rows, faults and bits exactly as the full table alone, over random data:
// random codes meet runs past the last position, bad symbols and long codes often.
TEST_F(DecoderTest, AcShortTableDecodesBlocksAsTheFullTable) {
  for (int t : {0, 1}) {
    const HuffmanSpec& codes = t == 0 ? standard_dc_luminance() : standard_ac_luminance();
    ASSERT_TRUE(build_huffman_table(d, t, 0, codes.counts, codes.symbols.data()));
  }
  std::vector<FastEntry> dc(1 << fast_bits);
  build_fast_table(d.huffman_lookup[0][0], dc.data());
  std::vector<AcEntry> ac(1 << fast_bits);
  build_ac_table(d.huffman_lookup[1][0], ac.data());
  const std::vector<AcEntry> none(1 << fast_bits, AcEntry{0, 0, 0});
  uint16_t quant[64];
  for (int k = 0; k < 64; ++k) quant[k] = static_cast<uint16_t>(k + 1);
  const BlockTables tables[2] = {
      block_tables_of(dc.data(), d.huffman_lookup[0][0], ac.data(), d.huffman_lookup[1][0], quant),
      block_tables_of(dc.data(), d.huffman_lookup[0][0], none.data(), d.huffman_lookup[1][0],
                      quant)};
  std::mt19937 random(19);
  std::vector<uint8_t> bytes(1 << 16);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random() % 255);  // no 0xFF
  int32_t outcomes[2] = {};                                           // blocks decoded, faults met
  for (int32_t start = 0; start < 40000; start += 20) {
    BitReader r[2];
    r[0] = r[1] = bit_reader_over(bytes.data() + start, 256);
    int32_t predictors[2] = {};
    for (int32_t n = 0; n < 4 && r[0].fault == Fault::none; ++n) {
      int32_t c[2][64] = {};
      ASSERT_EQ(read_coefficients(c[0], r[0], tables[0], predictors[0]),
                read_coefficients(c[1], r[1], tables[1], predictors[1]));
      ASSERT_EQ(std::vector<int32_t>(c[0], c[0] + 64), std::vector<int32_t>(c[1], c[1] + 64));
      ASSERT_EQ(r[0].fault, r[1].fault);
      ASSERT_EQ(r[0].bytes_left * 8 + r[0].count, r[1].bytes_left * 8 + r[1].count);
      ++outcomes[r[0].fault != Fault::none];
    }
  }
  EXPECT_GT(outcomes[0], 1000);
  EXPECT_GT(outcomes[1], 100);
}

}  // namespace

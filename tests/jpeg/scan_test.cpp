// Block decoding: DC prediction, AC runs, dequantisation at the zig-zag position, and the
// faults of run/size symbols; and the scan's restart markers.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "jpeg/decoder.h"
#include "support/decoded_picture.h"

namespace {

class BitWriter {
 public:
  void put(uint32_t bits, int count) {
    for (int i = count - 1; i >= 0; --i) {
      current_ = static_cast<uint8_t>(current_ << 1 | (bits >> i & 1));
      if (++filled_ == 8) flush_byte();
    }
  }
  // A code of these tests' tables: every symbol is its own 8-bit code.
  void code(uint8_t symbol) { put(symbol, 8); }
  std::vector<uint8_t> finish() {
    while (filled_ != 0) put(1, 1);
    return bytes_;
  }

 private:
  void flush_byte() {
    bytes_.push_back(current_);
    if (current_ == 0xFF) bytes_.push_back(0x00);
    current_ = 0;
    filled_ = 0;
  }
  std::vector<uint8_t> bytes_;
  uint8_t current_ = 0;
  int filled_ = 0;
};

// DC and AC tables 0 code every symbol as its own byte; quantiser k is k + 1.
ComponentPlane* start(DecoderState& d, const std::vector<uint8_t>& bytes, uint8_t* plane) {
  d.components[0].samples = nullptr;  // the tests' planes are their own
  release_decoder(d);
  d.cursor = bytes.data();
  d.bytes_left = static_cast<int32_t>(bytes.size());
  uint8_t counts[16] = {};
  counts[7] = 255;  // 255 codes of 8 bits: every byte but 0xFF is its own code
  uint8_t symbols[255];
  for (int s = 0; s < 255; ++s) symbols[s] = static_cast<uint8_t>(s);
  for (int t : {0, 1}) EXPECT_TRUE(build_huffman_table(d, t, 0, counts, symbols));
  for (int k = 0; k < 64; ++k) d.quant_tables[0][k] = static_cast<uint8_t>(k + 1);
  ComponentPlane* c = &d.components[0];
  c->dc_table = 0;
  c->ac_table = 0;
  c->stride = 8;
  c->samples = plane;
  return c;
}

// The samples the inverse DCT makes of natural-order coefficients.
std::vector<uint8_t> samples_of(const std::vector<std::pair<int, int32_t>>& coefficients) {
  int32_t c[64] = {};
  for (const auto& [index, value] : coefficients) c[index] = value;
  for (int r = 0; r < 8; ++r) idct_row(c + 8 * r);
  std::vector<uint8_t> out(64);
  for (int j = 0; j < 8; ++j) idct_column(c + j, out.data() + j, 8);
  return out;
}

// The blocks of these tests live on the stack: forget them before anything releases the record.
class DecodeBlock : public DecoderTest {
 protected:
  void TearDown() override { d.components[0].samples = nullptr; }
};

TEST_F(DecodeBlock, DequantisesAtTheZigzagPositionAndPredictsDc) {
  BitWriter w;
  w.code(0x03), w.put(0b101, 3);  // DC difference 5
  w.code(0x12), w.put(0b10, 2);   // skip 1, then zig-zag position 2 gets 2
  w.code(0x00);                   // end of block
  w.code(0x02), w.put(0b01, 2);   // next block: DC difference -2
  w.code(0x00);
  const std::vector<uint8_t> bytes = w.finish();
  uint8_t plane[64];
  ComponentPlane* c = start(d, bytes, plane);
  decode_block(d, c, plane);
  ASSERT_EQ(d.status, status_running);
  // Zig-zag position 2 is natural index 8 (row 1, column 0); its quantiser is entry 2, i.e. 3.
  EXPECT_EQ(std::vector<uint8_t>(plane, plane + 64), samples_of({{0, 5 * 1}, {8, 2 * 3}}));
  decode_block(d, c, plane);
  EXPECT_EQ(c->dc_predictor, 3);
  EXPECT_EQ(std::vector<uint8_t>(plane, plane + 64), samples_of({{0, 3}}));
}

TEST_F(DecodeBlock, RunSymbols) {
  const struct {
    const char* name;
    std::vector<uint8_t> ac;  // AC codes after a zero DC; size-1 symbols get extra bit 1
    int32_t status;
    int32_t bits_used;
  } cases[] = {
      {"zero run of sixteen then end", {0xF0, 0x00}, status_running, 24},
      {"run landing on 63 ends without end code", {0xF0, 0xF0, 0xF0, 0xE1}, status_running, 41},
      {"run past 63", {0xF0, 0xF0, 0xF0, 0xF1}, status_failed, -1},
      {"size 0 with a run other than 15", {0x10}, status_failed, -1},
      {"size 0 with run 14", {0xE0}, status_failed, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BitWriter w;
    w.code(0x00);
    for (uint8_t s : c.ac) {
      w.code(s);
      if ((s & 0x0F) == 1) w.put(1, 1);
    }
    w.put(0x1234, 16);
    const std::vector<uint8_t> bytes = w.finish();
    uint8_t plane[64];
    ComponentPlane* component = start(d, bytes, plane);
    decode_block(d, component, plane);
    EXPECT_EQ(d.status, c.status);
    if (c.bits_used >= 0) {
      const int32_t consumed =
          8 * (static_cast<int32_t>(bytes.size()) - d.bytes_left) - d.bit_count;
      EXPECT_EQ(consumed, c.bits_used);
    }
  }
}

TEST_F(DecodeBlock, UndefinedHuffmanTableFailsAtTheFirstCode) {
  const std::vector<uint8_t> bytes = {0x00, 0x00, 0x00};
  uint8_t plane[64];
  ComponentPlane* c = start(d, bytes, plane);
  c->dc_table = 1;  // never defined: every entry has code length 0
  decode_block(d, c, plane);
  EXPECT_EQ(d.status, status_failed);
}

}  // namespace

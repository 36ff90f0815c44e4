// The table segments: quantisation tables (DQT), Huffman tables (DHT, expanded in huffman.cpp)
// and arithmetic conditioning (DAC). Each names its table by a byte of two nibbles: a class or
// precision, 0 or 1, and a slot, 0 to 3.

#include <cstdint>
#include <cstring>

#include "jpeg/decoder.h"

namespace {

bool is_table_selector(uint8_t b) { return (b & 0xEC) == 0; }  // high nibble 0..1, low 0..3

}  // namespace

void parse_quant_tables(DecoderState& d) {
  read_segment_length(d);
  if (failed(d)) return;
  while (d.segment_left > 0) {
    const uint8_t b = d.cursor[0];
    if (!is_table_selector(b)) {  // precision 0 or 1: 8- or 16-bit values
      fail(d, Fault::bad_segment);
      return;
    }
    const int32_t id = b & 3;
    const bool wide = (b >> 4) != 0;
    if (d.segment_left < (wide ? 129 : 65)) break;
    uint16_t* table = d.quant_tables[id];
    for (int32_t k = 0; k < 64; ++k) {
      table[k] = wide ? static_cast<uint16_t>(d.cursor[1 + 2 * k] << 8 | d.cursor[2 + 2 * k])
                      : d.cursor[1 + k];
    }
    d.quant_defined_mask |= 1 << id;
    skip_bytes(d, wide ? 129 : 65);
  }
  if (d.segment_left != 0) fail(d, Fault::bad_segment);
}

void parse_huffman_tables(DecoderState& d) {
  read_segment_length(d);
  if (failed(d)) return;
  while (d.segment_left >= 17) {
    const uint8_t b = d.cursor[0];
    if (!is_table_selector(b)) {  // class 0 (DC) or 1 (AC)
      fail(d, Fault::bad_segment);
      return;
    }
    uint8_t counts[16];
    memcpy(counts, d.cursor + 1, sizeof counts);
    skip_bytes(d, 17);
    int32_t symbols = 0;
    for (const uint8_t n : counts) symbols += n;
    if (d.segment_left < symbols) {
      fail(d, Fault::bad_segment);
      return;
    }
    if (!build_huffman_table(d, b >> 4, b & 3, counts, d.cursor)) {
      fail(d, Fault::bad_segment);
      return;
    }
    skip_bytes(d, symbols);
  }
  if (d.segment_left != 0) fail(d, Fault::bad_segment);
}

// T.81 B.2.4.3: conditioning of the arithmetic coder, two bytes a table: the class (0 DC,
// 1 AC) and slot, then L and U (low and high nibble) for DC or Kx for AC.
void parse_arithmetic_conditioning(DecoderState& d) {
  read_segment_length(d);
  if (failed(d)) return;
  while (d.segment_left >= 2) {
    const uint8_t table = d.cursor[0];
    const uint8_t value = d.cursor[1];
    const int32_t slot = table & 3;
    if (!is_table_selector(table)) {
      fail(d, Fault::bad_segment);
      return;
    }
    if ((table >> 4) == 0) {
      if ((value & 0x0F) > (value >> 4)) {  // L above U
        fail(d, Fault::bad_segment);
        return;
      }
      d.dc_lower[slot] = value & 0x0F;
      d.dc_upper[slot] = value >> 4;
    } else {
      if (value < 1 || value > 63) {
        fail(d, Fault::bad_segment);
        return;
      }
      d.ac_kx[slot] = value;
    }
    skip_bytes(d, 2);
  }
  if (d.segment_left != 0) fail(d, Fault::bad_segment);
}

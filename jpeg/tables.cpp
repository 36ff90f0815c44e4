// Quantisation and Huffman table segments. Each Huffman table is expanded into a lookup table
// indexed by the next 16 bits of the stream, so that decoding a code is one load.

#include <cstdint>
#include <cstring>

#include "jpeg/decoder.h"
#include "platform/platform.h"

namespace {

// The typical tables of T.81 K.3, which motion-JPEG frames leave out and decoders supply.
struct StandardTable {
  int32_t table_class;
  int32_t slot;
  uint8_t counts[16];
  uint8_t symbols[162];
};

constexpr StandardTable standard_tables[] = {
    // luminance DC
    {0,
     0,
     {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0},
     {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B}},
    // luminance AC
    {1,
     0,
     {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 125},
     {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
      0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52,
      0xD1, 0xF0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25,
      0x26, 0x27, 0x28, 0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45,
      0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64,
      0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83,
      0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
      0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6,
      0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3,
      0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8,
      0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA}},
    // chrominance DC
    {0,
     1,
     {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0},
     {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B}},
    // chrominance AC
    {1,
     1,
     {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 119},
     {0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
      0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33,
      0x52, 0xF0, 0x15, 0x62, 0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18,
      0x19, 0x1A, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44,
      0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63,
      0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A,
      0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
      0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4,
      0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA,
      0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7,
      0xE8, 0xE9, 0xEA, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA}},
};

}  // namespace

void parse_quant_tables(DecoderState& d) {
  read_segment_length(d);
  if (d.status != status_running) return;
  while (d.segment_left > 0) {
    const uint8_t b = d.cursor[0];
    if ((b & 0xEC) != 0) {  // precision 0 or 1 (8- or 16-bit values), identifier 0..3
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

bool build_huffman_table(DecoderState& d, int32_t table_class, int32_t slot,
                         const uint8_t counts[16], const uint8_t* symbols) {
  HuffmanEntry*& table = d.huffman_lookup[table_class][slot];
  if (table == nullptr) {
    table = static_cast<HuffmanEntry*>(platform_allocate(65536 * sizeof(HuffmanEntry)));
    if (table == nullptr) {
      fail(d, Fault::out_of_memory);
      return false;
    }
  }
  HuffmanEntry* fill = table;
  int32_t remaining = 65536;
  for (int32_t length = 1; length <= 16; ++length) {
    const int32_t n = counts[length - 1];
    const int32_t run = 1 << (16 - length);  // entries that share a code of this length
    remaining -= n * run;
    if (remaining < 0) return false;
    for (int32_t i = 0; i < n; ++i) {
      const HuffmanEntry entry{static_cast<uint8_t>(length), *symbols++};
      for (const HuffmanEntry* end = fill + run; fill != end; ++fill) *fill = entry;
    }
  }
  // The entries where no code begins keep their symbol bytes; only the length is cleared.
  for (const HuffmanEntry* end = fill + remaining; fill != end; ++fill) fill->code_length = 0;
  d.huffman_defined_mask |= 1 << (4 * table_class + slot);
  return true;
}

bool install_standard_huffman_table(DecoderState& d, int32_t table_class, int32_t slot) {
  for (const StandardTable& t : standard_tables) {
    if (t.table_class == table_class && t.slot == slot) {
      return build_huffman_table(d, table_class, slot, t.counts, t.symbols);
    }
  }
  return false;
}

void parse_huffman_tables(DecoderState& d) {
  read_segment_length(d);
  if (d.status != status_running) return;
  while (d.segment_left >= 17) {
    const uint8_t b = d.cursor[0];
    if ((b & 0xEC) != 0) {  // class 0 or 1, identifier 0..3
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
  if (d.status != status_running) return;
  while (d.segment_left >= 2) {
    const uint8_t table = d.cursor[0];
    const uint8_t value = d.cursor[1];
    const int32_t slot = table & 3;
    if ((table & 0xEC) != 0) {
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

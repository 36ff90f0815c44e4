// Quantisation and Huffman table segments. Each Huffman table is expanded into a lookup table
// indexed by the next 16 bits of the stream, so that decoding a code is one load.

#include <cstdint>
#include <cstring>

#include "jpeg/decoder.h"

void parse_quant_tables() {
  read_segment_length();
  if (decoder.status != status_running) return;
  while (decoder.segment_left >= 65) {
    const uint8_t id = decoder.cursor[0];
    if ((id & 0xFC) != 0) {  // 16-bit precision, or an identifier above 3
      fail();
      return;
    }
    decoder.quant_defined_mask |= 1 << id;
    memcpy(decoder.quant_tables[id], decoder.cursor + 1, 64);
    skip_bytes(65);
  }
  if (decoder.segment_left != 0) fail();
}

void parse_huffman_tables() {
  read_segment_length();
  if (decoder.status != status_running) return;
  uint8_t code_counts[17];
  while (decoder.segment_left >= 17) {
    const uint8_t b = decoder.cursor[0];
    if ((b & 0xEC) != 0 || (b & 0x02) != 0) {  // only classes 0, 1 and identifiers 0, 1
      fail();
      return;
    }
    HuffmanEntry* fill = decoder.huffman_lookup[((b >> 3) & 3) | (b & 3)];
    for (int32_t length = 1; length <= 16; ++length) code_counts[length] = decoder.cursor[length];
    skip_bytes(17);
    int32_t remaining = 65536;
    for (int32_t length = 1; length <= 16; ++length) {
      const int32_t n = code_counts[length];
      if (n == 0) continue;
      if (decoder.segment_left < n) {
        fail();
        return;
      }
      const int32_t run = 1 << (16 - length);  // entries that share a code of this length
      remaining -= n * run;
      if (remaining < 0) {
        fail();
        return;
      }
      for (int32_t i = 0; i < n; ++i) {
        const HuffmanEntry entry{static_cast<uint8_t>(length), decoder.cursor[i]};
        for (const HuffmanEntry* end = fill + run; fill != end; ++fill) *fill = entry;
      }
      skip_bytes(n);
    }
    // The entries where no code begins keep their symbol bytes; only the length is cleared.
    for (const HuffmanEntry* end = fill + remaining; fill != end; ++fill) fill->code_length = 0;
  }
  if (decoder.segment_left != 0) fail();
}

#pragma once
// The entropy-coded data as a stream of bits, most significant first: byte stuffing removed,
// restart markers passed up as data, and 1-bits for ever once the input (or an end-of-image
// marker) is reached. Inline, as the scan calls these for every code.

#include <cstdint>

#include "jpeg/decoder.h"

// Appends one input byte (two for a marker) to the bit buffer.
inline void refill_step() {
  DecoderState& d = decoder;
  if (d.bytes_left <= 0) {
    d.bit_buffer = d.bit_buffer << 8 | 0xFF;
    d.bit_count += 8;
    return;
  }
  const uint8_t b = *d.cursor++;
  --d.bytes_left;
  d.bit_buffer = d.bit_buffer << 8 | b;
  d.bit_count += 8;
  if (b != 0xFF) return;
  if (d.bytes_left == 0) {
    fail();
    return;
  }
  const uint8_t m = *d.cursor++;
  --d.bytes_left;
  if (m == 0x00) return;  // stuffing
  if (m == 0xD9) {
    d.bytes_left = 0;
  } else if ((m & 0xF8) == 0xD0) {
    d.bit_buffer = d.bit_buffer << 8 | m;
    d.bit_count += 8;
  } else {
    fail();
  }
}

// n is 0..16. A refill step adds at most 16 bits and runs only while fewer than n are held, so
// `bit_count` stays at most 31 and the 32-bit buffer holds every meaningful bit.
inline int32_t show_bits(int32_t n) {
  if (n == 0) return 0;
  while (decoder.bit_count < n) refill_step();
  return static_cast<int32_t>((decoder.bit_buffer >> (decoder.bit_count - n)) & ((1u << n) - 1));
}

inline void skip_bits(int32_t n) {
  if (decoder.bit_count < n) show_bits(n);
  decoder.bit_count -= n;
}

inline int32_t get_bits(int32_t n) {
  const int32_t v = show_bits(n);
  skip_bits(n);
  return v;
}

// Decodes one code and its extra bits into a signed value (EXTEND: extra bits that start with 0
// stand for negative values). The symbol goes to `symbol` when it is given.
inline int32_t decode_huffman(const HuffmanEntry* table, uint8_t* symbol) {
  const HuffmanEntry entry = table[show_bits(16)];
  if (entry.code_length == 0) {
    fail();
    return 0;
  }
  skip_bits(entry.code_length);
  if (symbol != nullptr) *symbol = entry.symbol;
  const int32_t s = entry.symbol & 0x0F;
  if (s == 0) return 0;
  const int32_t v = get_bits(s);
  return v < (1 << (s - 1)) ? v - (1 << s) + 1 : v;
}

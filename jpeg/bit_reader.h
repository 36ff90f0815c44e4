#pragma once
// The entropy-coded data as a stream of bits, most significant first: byte stuffing removed,
// restart markers passed up as data, and 1-bits for ever once the input or any other marker is
// reached. The reader stops on such a marker without consuming it, so that the marker loop
// reads it next: whatever follows a scan (another scan, a segment, the end of the image, fill
// bytes) is no concern of the scan's, however far the last code's look-ahead reaches.
//
// The scan keeps a BitReader in locals for its hot loop. Plain bytes are fetched ahead freely,
// but a 0xFF byte is interpreted only when its bits are needed, exactly as a reader that takes
// one byte at a time would: so a marker is met, and a failure recorded, at the same point of
// the stream, whatever was fetched ahead.

#include <bit>
#include <cstdint>
#include <cstring>

#include "jpeg/decoder.h"

struct BitReader {
  const uint8_t* cursor;
  int32_t bytes_left;
  // The next bits highest, so that a table index is one shift away; the bits below the top
  // `count` are zero.
  uint64_t buffer;
  int32_t count;
  bool failed;
  Fault why;  // the first failure's kind
};

// A failure ends the scan after the block in which it happens.
inline void reader_fail(BitReader& r, Fault why) {
  r.why = why;
  r.failed = true;
}

// Appends one byte below the bits held; `count` must be at most 56.
inline void append_byte(BitReader& r, uint8_t b) {
  r.buffer |= uint64_t{b} << (56 - r.count);
  r.count += 8;
}

inline void consume_bits(BitReader& r, int32_t n) {
  r.buffer <<= n;
  r.count -= n;
}

inline BitReader load_bit_reader(const DecoderState& d) {
  return BitReader{d.cursor, d.bytes_left, d.bit_buffer, d.bit_count, false, Fault::none};
}

inline void store_bit_reader(DecoderState& d, const BitReader& r) {
  d.cursor = r.cursor;
  d.bytes_left = r.bytes_left;
  d.bit_buffer = r.buffer;
  d.bit_count = r.count;
  if (r.failed) fail(d, r.why, d.scan_count);
}

// One byte, or a marker's two, as the byte-at-a-time reader takes them.
inline void refill_step(BitReader& r) {
  if (r.bytes_left <= 0) {
    append_byte(r, 0xFF);
    return;
  }
  const uint8_t b = *r.cursor++;
  --r.bytes_left;
  append_byte(r, b);
  if (b != 0xFF) return;
  if (r.bytes_left == 0) {
    reader_fail(r, Fault::bad_marker_in_data);
    return;
  }
  const uint8_t m = *r.cursor++;
  --r.bytes_left;
  if (m == 0x00) return;  // stuffing
  if ((m & 0xF8) == 0xD0) {
    append_byte(r, m);
    return;
  }
  // Any other marker, a fill byte included, ends the data: its 0xFF went in as eight 1-bits,
  // as every later byte will, and the cursor goes back onto it.
  r.cursor -= 2;
  r.bytes_left = 0;
}

// Makes at least n (at most 16) bits available. Plain bytes are fetched while they fit; a step
// adds at most 16 bits and runs only while fewer than n are held, so `count` stays within 64.
inline void need_bits(BitReader& r, int32_t n) {
  if (r.count >= n) return;
  if (r.bytes_left >= 8) {
    uint64_t word;
    memcpy(&word, r.cursor, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    // Seven bytes at most, so that no shift reaches 64; none of the eight may be 0xFF.
    const uint64_t ones = 0x0101010101010101u;
    const uint64_t inverted = ~word;
    if (((inverted - ones) & ~inverted & (ones << 7)) == 0) {
      const int32_t take = r.count > 8 ? (64 - r.count) >> 3 : 7;
      r.buffer |= (word & ~uint64_t{0} << (64 - 8 * take)) >> r.count;
      r.cursor += take;
      r.bytes_left -= take;
      r.count += 8 * take;
      return;
    }
  }
  while (r.count <= 56 && r.bytes_left > 0 && *r.cursor != 0xFF) {
    append_byte(r, *r.cursor++);
    --r.bytes_left;
  }
  while (r.count < n) refill_step(r);
}

// The next n bits (0 to 16), once need_bits(n) has run.
inline uint32_t peek_bits(const BitReader& r, int32_t n) {
  return static_cast<uint32_t>(r.buffer >> 1 >> (63 - n));  // no shift by 64 when n is 0
}

// A code and its extra bits that together take at most this many bits are found, value and
// all, in a small table that stays in the first-level cache; anything longer goes through the
// full 16-bit table. Both give the same symbol, value and bit count for the same bits.
constexpr int32_t fast_bits = 10;

struct FastEntry {
  uint8_t bits;  // code and extra bits together; 0: look in the full table
  uint8_t symbol;
  int16_t value;
};

// EXTEND: s extra bits v that start with 0 stand for v - 2^s + 1, without a branch on the
// sign: the mask is all ones exactly then.
inline int32_t extend(int32_t v, int32_t s) {
  const int32_t negative = (v >> (s - 1)) - 1;
  return v + (negative & (1 - (1 << s)));
}

inline void build_fast_table(const HuffmanEntry* full, FastEntry* fast) {
  for (int32_t i = 0; i < (1 << fast_bits); ++i) {
    const HuffmanEntry e = full[i << (16 - fast_bits)];
    const int32_t s = e.symbol & 0x0F;
    fast[i] = FastEntry{0, 0, 0};
    if (e.code_length == 0 || e.code_length + s > fast_bits) continue;
    const int32_t extra = (i >> (fast_bits - e.code_length - s)) & ((1 << s) - 1);
    fast[i] = FastEntry{static_cast<uint8_t>(e.code_length + s), e.symbol,
                        static_cast<int16_t>(s == 0 ? 0 : extend(extra, s))};
  }
}

struct HuffmanValue {
  int32_t value;
  uint8_t symbol;
  bool found;  // false: no code begins with these bits; nothing was consumed
};

// Decodes one code and its extra bits into a signed value. The 16 bits a code may need are
// asked for first, then the extra bits, as a byte-at-a-time reader would.
inline HuffmanValue read_huffman(BitReader& r, const FastEntry* fast, const HuffmanEntry* full) {
  need_bits(r, 16);
  const FastEntry quick = fast[r.buffer >> (64 - fast_bits)];
  if (quick.bits != 0) {
    consume_bits(r, quick.bits);
    return HuffmanValue{quick.value, quick.symbol, true};
  }
  const HuffmanEntry entry = full[peek_bits(r, 16)];
  if (entry.code_length == 0) {
    reader_fail(r, Fault::bad_code);
    return HuffmanValue{0, 0, false};
  }
  consume_bits(r, entry.code_length);
  const int32_t s = entry.symbol & 0x0F;
  if (s == 0) return HuffmanValue{0, entry.symbol, true};
  need_bits(r, s);
  const auto v = static_cast<int32_t>(peek_bits(r, s));
  consume_bits(r, s);
  return HuffmanValue{extend(v, s), entry.symbol, true};
}

// The reader's operations on a decoder's record, one call at a time.

inline int32_t show_bits(DecoderState& d, int32_t n) {
  if (n == 0) return 0;
  BitReader r = load_bit_reader(d);
  need_bits(r, n);
  store_bit_reader(d, r);
  return static_cast<int32_t>(peek_bits(r, n));
}

inline void skip_bits(DecoderState& d, int32_t n) {
  BitReader r = load_bit_reader(d);
  need_bits(r, n);
  consume_bits(r, n);
  store_bit_reader(d, r);
}

inline int32_t get_bits(DecoderState& d, int32_t n) {
  const int32_t v = show_bits(d, n);
  skip_bits(d, n);
  return v;
}

inline int32_t decode_huffman(DecoderState& d, const HuffmanEntry* table, uint8_t* symbol) {
  FastEntry fast[1 << fast_bits];
  build_fast_table(table, fast);
  BitReader r = load_bit_reader(d);
  const HuffmanValue v = read_huffman(r, fast, table);
  store_bit_reader(d, r);
  if (v.found && symbol != nullptr) *symbol = v.symbol;
  return v.value;
}

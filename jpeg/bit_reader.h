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
#include "jpeg/marker_codes.h"

struct BitReader {
  const uint8_t* cursor;
  int32_t bytes_left;
  // The next bits highest, so that a table index is one shift away; the bits below the top
  // `count` are zero.
  uint64_t buffer;
  int32_t count;
  Fault fault;  // the first met, handed to the record with the reader's state
};

// A fault ends the scan after the block in which it happens; the first one is kept.
inline void reader_fail(BitReader& r, Fault fault) {
  if (r.fault == Fault::none) r.fault = fault;
}

// Appends one byte below the bits held; `count` must be at most 56. Shifted up, then down by
// `count`: no constant 56 kept in a register the decoding loop needs.
inline void append_byte(BitReader& r, uint8_t b) {
  r.buffer |= uint64_t{b} << 56 >> r.count;
  r.count += 8;
}

inline void consume_bits(BitReader& r, int32_t n) {
  r.buffer <<= n;
  r.count -= n;
}

// A reader over `bytes` bytes from `cursor`, holding no bits yet.
inline BitReader bit_reader_over(const uint8_t* cursor, int32_t bytes) {
  return BitReader{cursor, bytes, 0, 0, Fault::none};
}

inline BitReader load_bit_reader(const DecoderState& d) {
  return BitReader{d.cursor, d.bytes_left, d.bit_buffer, d.bit_count, Fault::none};
}

// Hands the reader's state, and its fault, back to the record.
inline void store_bit_reader(DecoderState& d, const BitReader& r) {
  d.cursor = r.cursor;
  d.bytes_left = r.bytes_left;
  d.bit_buffer = r.buffer;
  d.bit_count = r.count;
  if (r.fault != Fault::none) fail(d, r.fault, d.scan_count);
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
  if (b != marker::fill) return;
  if (r.bytes_left == 0) {
    reader_fail(r, Fault::bad_marker_in_data);
    return;
  }
  const uint8_t m = *r.cursor++;
  --r.bytes_left;
  if (m == marker::stuffed) return;
  if (marker::is_restart(m)) {
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
  while (r.count <= 56 && r.bytes_left > 0 && *r.cursor != marker::fill) {
    append_byte(r, *r.cursor++);
    --r.bytes_left;
  }
  while (r.count < n) refill_step(r);
}

// The next n bits (0 to 16), once need_bits(n) has run.
inline uint32_t peek_bits(const BitReader& r, int32_t n) {
  return static_cast<uint32_t>(r.buffer >> 1 >> (63 - n));  // no shift by 64 when n is 0
}

// The next n bits (1 to 16), consumed.
inline uint32_t get_bits(BitReader& r, int32_t n) {
  need_bits(r, n);
  const uint32_t v = peek_bits(r, n);
  consume_bits(r, n);
  return v;
}

// Between restart intervals the next restart marker must stand, byte-aligned; the reader passes
// it up as 16 bits of data.
inline void read_restart_marker(BitReader& r, int32_t index) {
  consume_bits(r, r.count & 7);  // the rest of a partly read byte
  need_bits(r, 16);
  if (peek_bits(r, 16) != (0xFF00u | marker::rst0 | static_cast<uint32_t>(index))) {
    reader_fail(r, Fault::restart_out_of_order);
  }
  consume_bits(r, 16);
}

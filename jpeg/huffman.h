#pragma once
// Huffman decoding over the bit reader: a table's codes expanded for lookups of the next bits,
// one code and its extra bits decoded into a signed value, and the tables a scan needs made
// ready before its first code.

#include <cstdint>

#include "jpeg/bit_reader.h"
#include "jpeg/decoder.h"

// A code of at most this many bits is found in a small table, indexed by the next bits, that
// stays in the first-level cache: with its value when its extra bits fit in those bits too,
// else with its length and symbol. Only longer codes go through the full 16-bit table. Every
// way gives the same symbol, value and bit count for the same bits.
constexpr int32_t fast_bits = 10;

struct FastEntry {
  int16_t value;  // the code's value when `bits`; else the code's length when it fits, or 0
  uint8_t bits;   // code and extra bits together, when both fit; else 0
  uint8_t symbol;
};

// EXTEND: s extra bits v that start with 0 stand for v - 2^s + 1, without a branch on the
// sign: the mask is all ones exactly then.
inline int32_t extend(int32_t v, int32_t s) {
  const int32_t negative = (v >> (s - 1)) - 1;
  return v + (negative & (1 - (1 << s)));
}

// The value of the extra bits that follow a code of `length` bits in table index i, when both
// fit in the index.
inline int32_t value_in_index(int32_t i, int32_t length, int32_t s) {
  if (s == 0) return 0;
  return extend((i >> (fast_bits - length - s)) & ((1 << s) - 1), s);
}

inline void build_fast_table(const HuffmanEntry* full, FastEntry* fast) {
  for (int32_t i = 0; i < (1 << fast_bits); ++i) {
    const HuffmanEntry e = full[i << (16 - fast_bits)];
    const int32_t s = e.symbol & 0x0F;
    fast[i] = FastEntry{0, 0, 0};
    if (e.code_length == 0 || e.code_length > fast_bits) continue;
    fast[i] = FastEntry{e.code_length, 0, e.symbol};
    if (e.code_length + s > fast_bits) continue;
    fast[i].bits = static_cast<uint8_t>(e.code_length + s);
    fast[i].value = static_cast<int16_t>(value_in_index(i, e.code_length, s));
  }
}

// A sequential scan's AC codes looked up by the next bits, as what the block loop does with
// them: `step` moves the zig-zag position on past the run (run + 1), an end of block steps past
// any position a run can reach, and 0 sends the code the slow way. Sixteen zeros go the slow
// way, which stores nothing: a zero stored would mark its row as used.
constexpr int32_t end_of_block_step = 128;

struct AcEntry {
  int16_t value;  // the coefficient when `step`; else the symbol
  uint8_t bits;   // code and extra bits when `step`; else the code's length when it fits, or 0
  uint8_t step;
};

inline void build_ac_table(const HuffmanEntry* full, AcEntry* ac) {
  for (int32_t i = 0; i < (1 << fast_bits); ++i) {
    const HuffmanEntry e = full[i << (16 - fast_bits)];
    const int32_t s = e.symbol & 0x0F;
    const bool fits = e.code_length != 0 && e.code_length <= fast_bits;
    ac[i] = AcEntry{e.symbol, fits ? e.code_length : uint8_t{0}, 0};
    if (!fits) continue;
    if (s == 0) {
      if (e.symbol == 0x00) ac[i] = AcEntry{0, e.code_length, end_of_block_step};
      continue;
    }
    if (e.code_length + s > fast_bits) continue;
    ac[i] =
        AcEntry{static_cast<int16_t>(value_in_index(i, e.code_length, s)),
                static_cast<uint8_t>(e.code_length + s), static_cast<uint8_t>((e.symbol >> 4) + 1)};
  }
}

struct HuffmanValue {
  int32_t value;
  uint8_t symbol;
  bool found;  // false: no code begins with these bits; nothing was consumed
};

// The extra bits of a code just read, as a signed value.
inline HuffmanValue extra_bits(BitReader& r, uint8_t symbol) {
  const int32_t s = symbol & 0x0F;
  if (s == 0) return HuffmanValue{0, symbol, true};
  need_bits(r, s);
  const auto v = static_cast<int32_t>(peek_bits(r, s));
  consume_bits(r, s);
  return HuffmanValue{extend(v, s), symbol, true};
}

// Decodes one code and its extra bits into a signed value. The 16 bits a code may need are
// asked for first, then the extra bits, as a byte-at-a-time reader would.
inline HuffmanValue decode_huffman(BitReader& r, const FastEntry* fast, const HuffmanEntry* full) {
  need_bits(r, 16);
  const FastEntry quick = fast[r.buffer >> (64 - fast_bits)];
  if (quick.bits != 0) {
    consume_bits(r, quick.bits);
    return HuffmanValue{quick.value, quick.symbol, true};
  }
  if (quick.value != 0) {  // the code alone fits
    consume_bits(r, quick.value);
    return extra_bits(r, quick.symbol);
  }
  const HuffmanEntry entry = full[peek_bits(r, 16)];
  if (entry.code_length == 0) {
    reader_fail(r, Fault::bad_code);
    return HuffmanValue{0, 0, false};
  }
  consume_bits(r, entry.code_length);
  return extra_bits(r, entry.symbol);
}

// An AC code the short table sends the slow way, once its 16 bits are held: found in the full
// table where it is longer, its extra bits read. Its value is 0 only where nothing is stored:
// sixteen zeros, an end of block, or a fault (a code not found, or a symbol with no extra bits
// that is neither of those), which fails the reader and ends the block.
inline AcEntry decode_ac_slowly(BitReader& r, AcEntry quick, const HuffmanEntry* full) {
  int32_t length = quick.bits;
  auto symbol = static_cast<uint8_t>(quick.value);
  if (length == 0) {
    const HuffmanEntry entry = full[peek_bits(r, 16)];
    if (entry.code_length == 0) {
      reader_fail(r, Fault::bad_code);
      return AcEntry{0, 0, end_of_block_step};
    }
    length = entry.code_length;
    symbol = entry.symbol;
  }
  consume_bits(r, length);
  if (symbol == 0x00) return AcEntry{0, 0, end_of_block_step};
  if (symbol == 0xF0) return AcEntry{0, 0, 16};
  if ((symbol & 0x0F) == 0) {
    reader_fail(r, Fault::bad_coefficients);
    return AcEntry{0, 0, end_of_block_step};
  }
  const HuffmanValue v = extra_bits(r, symbol);
  return AcEntry{static_cast<int16_t>(v.value), 0, static_cast<uint8_t>((symbol >> 4) + 1)};
}

// The short-code tables of a scan's Huffman tables, by slot: the DC tables, and the AC tables
// as a sequential scan's block loop takes them or as a progressive scan's does. The two kinds
// share their room: a scan is one or the other, and the tables stay on the stack.
struct ScanTables {
  FastEntry dc[table_slots][1 << fast_bits];
  union {
    AcEntry ac[table_slots][1 << fast_bits];
    FastEntry progressive_ac[table_slots][1 << fast_bits];
  };
};

struct ScanHeader;

// Makes ready the Huffman tables a scan decodes with (its components' DC tables when `dc`, AC
// tables when `ac`; a slot no segment defined takes the standard table where there is one) and
// starts the scan's predictions and bits afresh. False (with the decode failed) where a table
// is missing.
bool start_huffman_scan(DecoderState& d, const ScanHeader& scan, bool dc, bool ac,
                        ScanTables& tables);

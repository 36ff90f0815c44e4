#pragma once
// The sequential processes (T.81 F.2): each block decoded straight into its component's plane,
// from Huffman codes or arithmetic-coded decisions.

#include <cstdint>
#include <cstring>

#include "common/integer.h"
#include "common/zigzag.h"
#include "jpeg/bit_reader.h"
#include "jpeg/decoder.h"
#include "jpeg/huffman.h"
#include "jpeg/scan_header.h"
#include "kernels/kernel_set.h"

// Where zig-zag position k's coefficient goes and its quantiser, in one load.
struct CoefficientSlot {
  uint16_t quant;
  uint8_t at;  // see ColumnPlace
  uint8_t row_bit;
};

// What one component's blocks are decoded with in a scan, looked up once for the scan.
struct BlockTables {
  const FastEntry* dc_fast;
  const HuffmanEntry* dc_full;
  const AcEntry* ac_fast;
  const HuffmanEntry* ac_full;
  CoefficientSlot slots[64];
};

inline BlockTables block_tables_of(const FastEntry* dc_fast, const HuffmanEntry* dc_full,
                                   const AcEntry* ac_fast, const HuffmanEntry* ac_full,
                                   const uint16_t* quant) {
  BlockTables t{dc_fast, dc_full, ac_fast, ac_full, {}};
  for (size_t k = 0; k < 64; ++k) {
    t.slots[k] = CoefficientSlot{quant[k], column_places[k].at, column_places[k].row_bit};
  }
  return t;
}

// Reads one block's codes into `coefficients` (all zero on entry), dequantised, column by
// column as the inverse DCT takes them. Returns the rows that may hold a non-zero coefficient
// (bit v for row v).
inline uint32_t read_coefficients(int32_t* coefficients, BitReader& r, const BlockTables& t,
                                  int32_t& dc_predictor) {
  const HuffmanValue dc = decode_huffman(r, t.dc_fast, t.dc_full);
  dc_predictor = wrap_add(dc_predictor, dc.value);
  coefficients[0] = wrap_mul(dc_predictor, t.slots[0].quant);
  const AcEntry* ac_fast = t.ac_fast;
  uint32_t rows_used = 1;
  // At most 15 extra bits and 16-bit quantisers: the product stays below 2^31.
  const auto put = [&](int32_t k, int32_t value) {
    const CoefficientSlot slot = t.slots[k];
    coefficients[slot.at] = value * slot.quant;
    rows_used |= slot.row_bit;
  };
  // One exit for the end of block, the last position and a run past it alike; a fault ends the
  // scan after this block, so the loop need not ask about it.
  for (int32_t k = 0;;) {
    need_bits(r, 16);
    AcEntry ac = ac_fast[r.buffer >> (64 - fast_bits)];
    if (ac.step != 0) [[likely]] {
      consume_bits(r, ac.bits);
    } else {
      ac = decode_ac_slowly(r, ac, t.ac_full);
      if (ac.value == 0) {
        k += ac.step;
        if (k < 63) continue;
        if (k > 63 && k < end_of_block_step) reader_fail(r, Fault::bad_coefficients);
        break;
      }
    }
    k += ac.step;
    if (k >= 63) [[unlikely]] {
      if (k == 63) {
        put(k, ac.value);
      } else if (k < end_of_block_step) {
        reader_fail(r, Fault::bad_coefficients);
      }
      break;
    }
    put(k, ac.value);
  }
  return rows_used;
}

// T.81 F.2.2: one block of a Huffman-coded scan decoded, dequantised and transformed by `k`
// into the 8x8 samples at `dest`. `coefficients` (32-byte aligned) is all zero on entry and
// left so. After a fault the samples are not written: the scan stops, and they no longer matter.
inline void decode_block(BitReader& r, const BlockTables& t, const KernelSet& k,
                         int32_t& dc_predictor, int32_t* coefficients, uint8_t* dest,
                         int32_t stride) {
  const uint32_t rows_used = read_coefficients(coefficients, r, t, dc_predictor);
  if (r.fault == Fault::none) {
    k.transform(coefficients, rows_used, dest, stride);
  } else {
    memset(coefficients, 0, 64 * sizeof(int32_t));
  }
}

// A sequential scan whose header has passed its checks; `final` when it completes the picture.
void decode_sequential_scan(DecoderState& d, const ScanHeader& scan, bool final);

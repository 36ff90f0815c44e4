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

// What one component's blocks are decoded with in a scan, looked up once for the scan.
struct BlockTables {
  const FastEntry* dc_fast;
  const HuffmanEntry* dc_full;
  const FastEntry* ac_fast;
  const HuffmanEntry* ac_full;
  const uint16_t* quant;  // zig-zag order
};

// Reads one block's codes into `coefficients` (all zero on entry), dequantised, column by
// column as the inverse DCT takes them. Returns the rows that may hold a non-zero coefficient
// (bit v for row v).
inline uint32_t read_coefficients(int32_t* coefficients, BitReader& r, const BlockTables& t,
                                  int32_t& dc_predictor) {
  const uint16_t* quant = t.quant;
  const HuffmanValue dc = decode_huffman(r, t.dc_fast, t.dc_full);
  dc_predictor = wrap_add(dc_predictor, dc.value);
  coefficients[0] = wrap_mul(dc_predictor, quant[0]);
  const FastEntry* ac_fast = t.ac_fast;
  const HuffmanEntry* ac_full = t.ac_full;
  uint32_t rows_used = 1;
  // A fault ends the scan after this block, so the loop need not ask about it: a code that is
  // not found gives symbol 0 and ends the block, and every pass moves k on.
  for (int32_t k = 0; k < 63;) {
    const HuffmanValue ac = decode_huffman(r, ac_fast, ac_full);
    if ((ac.symbol & 0x0F) == 0) {  // no extra bits: end of block, or sixteen zeros
      if (ac.symbol == 0) break;
      if (ac.symbol != 0xF0) {
        reader_fail(r, Fault::bad_coefficients);
        break;
      }
    }
    k += (ac.symbol >> 4) + 1;
    if (k > 63) {
      reader_fail(r, Fault::bad_coefficients);
      break;
    }
    const ColumnPlace place = column_places[static_cast<size_t>(k)];
    // At most 15 extra bits and 16-bit quantisers: the product stays below 2^31.
    coefficients[place.at] = ac.value * quant[k];
    rows_used |= place.row_bit;
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

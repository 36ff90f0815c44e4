#pragma once
// Kernels over a progressive frame's coefficient store, whose blocks keep 64 quantised values
// each in zig-zag order, 16 bits a value.

#include <bit>
#include <cstdint>
#include <cstring>

#include "common/zigzag.h"
#include "kernels/lanes.h"

// Bit k set where block[k] is not zero. Eight lanes at a time are compared in vectors, narrowed
// to bytes of 0 or 1 and gathered into eight bits by one multiplication: byte i of the product's
// top byte is lane i, as no two lanes' bits meet below it.
KERNEL_INLINE uint64_t nonzero_mask(const int16_t* block) {
  uint64_t mask = 0;
  for (int32_t first = 0; first < 64; first += 8) {
    Int16x8 values;
    memcpy(&values, block + first, sizeof values);
    const Int8x8 nonzero = __builtin_convertvector(values != 0, Int8x8);
    uint64_t lanes;
    memcpy(&lanes, &nonzero, sizeof lanes);
    mask |= ((lanes & 0x0101010101010101u) * 0x0102040810204080u) >> 56 << first;
  }
  return mask;
}

// Dequantises a stored block into natural order: `coefficients` is all zero on entry, so only
// the values there are need writing. Returns the rows that got a value (bit r for row r; row 0
// always, for the DC). 16-bit values times 16-bit quantisers stay within 32 bits.
KERNEL_INLINE uint32_t dequantise_block(const int16_t* block, const uint16_t quant[64],
                                        int32_t* coefficients) {
  uint32_t rows_used = 1;
  for (uint64_t values = nonzero_mask(block); values != 0; values &= values - 1) {
    const int32_t k = std::countr_zero(values);
    const int32_t natural = zigzag_order[k];
    coefficients[natural] = block[k] * quant[k];
    rows_used |= 1u << (natural >> 3);
  }
  return rows_used;
}

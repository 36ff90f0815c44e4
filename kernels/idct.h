#pragma once
// The 8x8 inverse DCT: dequantised coefficients in natural order to clamped samples, in two
// separable passes of 32-bit fixed-point arithmetic (derivation in idct.cpp).

#include <cstdint>
#include <cstring>

#include "common/integer.h"
#include "kernels/lanes.h"

// One row of eight coefficients, in place.
void idct_row(int32_t* row);
// One column (elements 0, 8, ..., 56 from `column`) of row-pass results into eight samples at
// dest, dest + stride, ..., dest + 7 x stride.
void idct_column(const int32_t* column, uint8_t* dest, int32_t stride);
// The row pass of all eight rows, and the column pass of all eight columns, with the results
// of the one-at-a-time passes. Both take blocks aligned to 32 bytes.
void idct_rows(int32_t* coefficients);
void idct_columns(const int32_t* coefficients, uint8_t* dest, int32_t stride);

// The sample of a column whose row-pass results are c0 and seven zeros. (c0 + 32) wraps as the
// column pass's arithmetic does.
inline uint8_t column_shortcut_value(int32_t c0) {
  const auto rounded = static_cast<int32_t>(static_cast<uint32_t>(c0) + 32);
  return static_cast<uint8_t>(clip_byte((rounded >> 6) + 128));
}

// The inverse DCT of a block whose rows outside `rows_used` (bit r for row r) hold only zeros,
// into the 8x8 samples at `dest`; leaves the coefficients all zero for the next block.
inline void transform_block(int32_t* coefficients, uint32_t rows_used, uint8_t* dest,
                            int32_t stride) {
  const auto clear_rows = [coefficients, rows_used] {
    for (int32_t row = 0; row < 8; ++row) {
      if ((rows_used >> row & 1) != 0) memset(coefficients + 8 * row, 0, 8 * sizeof(int32_t));
    }
  };
  if (rows_used == 1) {
    // Row 0 alone: every other row pass sees zeros and gives zeros, so every column pass takes
    // its shortcut on the first row's value. With the DC alone that is one value.
    idct_row(coefficients);
    bool flat = true;
    for (int32_t j = 1; j < 8; ++j) flat = flat && coefficients[j] == coefficients[0];
    if (flat) {
      const uint8_t value = column_shortcut_value(coefficients[0]);
      for (int32_t y = 0; y < 8; ++y) memset(dest + y * stride, value, 8);
    } else {
      uint8_t row[8];
      for (int32_t j = 0; j < 8; ++j) row[j] = column_shortcut_value(coefficients[j]);
      for (int32_t y = 0; y < 8; ++y) memcpy(dest + y * stride, row, 8);
    }
    clear_rows();
    return;
  }
  if constexpr (vector_units) {
    // With two rows or more in use, all eight row passes at once cost less than two alone.
    idct_rows(coefficients);
    idct_columns(coefficients, dest, stride);
  } else {
    // Rows that hold only zeros would come out as zeros.
    for (int32_t row = 0; row < 8; ++row) {
      if ((rows_used >> row & 1) != 0) idct_row(coefficients + 8 * row);
    }
    for (int32_t column = 0; column < 8; ++column) {
      idct_column(coefficients + column, dest + column, stride);
    }
  }
  clear_rows();
}

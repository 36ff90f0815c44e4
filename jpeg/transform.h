#pragma once
// The inverse DCT of one block of dequantised coefficients into its samples, inline where the
// scan loops call it for every block.

#include <cstdint>
#include <cstring>

#include "common/vector_units.h"
#include "jpeg/decoder.h"
#include "platform/platform.h"

// The inverse DCT of a block whose rows outside `rows_used` (bit r for row r) hold only zeros,
// into the 8x8 samples at `dest`; leaves the coefficients all zero for the next block.
inline void transform_block(int32_t* coefficients, uint32_t rows_used, uint8_t* dest,
                            int32_t stride) {
  const auto clear_rows = [coefficients, rows_used] {
    for (int32_t row = 0; row < 8; ++row) {
      if ((rows_used >> row & 1) != 0) platform_fill(coefficients + 8 * row, 8 * sizeof(int32_t));
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

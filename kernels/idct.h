#pragma once
// The inverse DCT's two passes, as the plain kernels run them (kernels/idct_body.h): every path's
// block transform gives what these give a row and a column at a time.

#include <cstdint>

// One row of eight coefficients, in place.
void idct_row(int32_t* row);
// One column (elements 0, 8, ..., 56 from `column`) of row-pass results into eight samples at
// dest, dest + stride, ..., dest + 7 x stride.
void idct_column(const int32_t* column, uint8_t* dest, int32_t stride);

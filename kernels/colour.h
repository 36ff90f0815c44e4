#pragma once
// Row kernels: one picture row of each plane in, `width` pixels of blue, green, red out, toned
// sepia or in their plain colour. Each may write one byte past the pixels, which `out` must
// have room for. For a picture of YCbCr or RGB whose chroma planes are read at half width
// (`half_chroma`), planes 1 and 2 are read at x >> 1, as replication across by two would have
// copied them; otherwise every row covers the picture's width.

#include <cstdint>

using RowKernel = void (*)(const uint8_t* const rows[4], int32_t width, uint8_t* out);

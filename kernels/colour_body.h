// The row kernels, written once for every kernel path: colour conversion (YCbCr in 8.8 fixed
// point, or ink values) and the sepia tone of each pixel's mean. Included inside a path's
// namespace by the path's file, after what it uses (kernels/path.h), with KERNEL_TARGET and
// `use_vectors` as for the inverse DCT.
//
// The fixed-point formulas are evaluated through tables that give the same integers: with
// yy = Y * 256, (yy + t) >> 8 equals Y + (t >> 8) for any t, since the shift rounds down and
// Y * 256 is a whole multiple of 256.
//
// The toned YCbCr rows go sixteen pixels at a time where the processor has vector units, with
// the colour offsets rewritten so that every product fits in 16 bits: with c = Cr - 128,
// (359 c + 128) >> 8 equals c + ((103 c + 128) >> 8), since 256 c is a whole multiple of 256;
// likewise 454 = 256 + 198 for blue, and -183 = 73 - 256 for green's Cr term.

constexpr const ColourTables& tables = colour_tables;

// One pixel into `out` as blue, green, red, toned or not.
template <bool tone>
KERNEL_TARGET KERNEL_INLINE void put_pixel(uint8_t* out, int32_t red, int32_t green, int32_t blue) {
  if constexpr (tone) {
    memcpy(out, &tables.tone_bgr[red + green + blue], 4);
    return;
  }
  out[0] = static_cast<uint8_t>(blue);
  out[1] = static_cast<uint8_t>(green);
  out[2] = static_cast<uint8_t>(red);
}

// The colour offsets of one chroma pair: red, green and blue are Y plus these, clipped.
struct ChromaOffsets {
  int32_t red;
  int32_t green;
  int32_t blue;
};

KERNEL_TARGET KERNEL_INLINE ChromaOffsets chroma_offsets(int32_t cb, int32_t cr) {
  return ChromaOffsets{tables.cr_red[cr], (tables.cb_green[cb] + tables.cr_green[cr]) >> 8,
                       tables.cb_blue[cb]};
}

template <bool tone>
KERNEL_TARGET KERNEL_INLINE void put_ycbcr(uint8_t* out, int32_t y, const ChromaOffsets& o) {
  put_pixel<tone>(out, tables.clip[y + o.red + clip_offset], tables.clip[y + o.green + clip_offset],
                  tables.clip[y + o.blue + clip_offset]);
}

KERNEL_TARGET KERNEL_INLINE Int16x16 widen(Uint8x16 v) {
  return __builtin_convertvector(v, Int16x16);
}

// Sixteen chroma samples for sixteen pixels: in place, or eight each used twice.
template <int32_t xs>
KERNEL_TARGET KERNEL_INLINE Int16x16 chroma(const uint8_t* row, int32_t x) {
  Uint8x16 v;
  if constexpr (xs == 0) {
    memcpy(&v, row + x, sizeof v);
  } else {
    Uint8x8 half;
    memcpy(&half, row + (x >> 1), sizeof half);
    v = __builtin_shufflevector(half, half, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
  }
  return widen(v) - 128;
}

// A third of each lane, for 0..765: (v x 21846) >> 16, which a path may do in one multiply
// that keeps the high halves.
KERNEL_TARGET KERNEL_INLINE Uint16x16 third_of(Uint16x16 v) {
#ifdef KERNEL_MUL_HIGH_U16
  return KERNEL_MUL_HIGH_U16(v, Uint16x16{} + 21846);
#else
  const Uint32x16 wide = __builtin_convertvector(v, Uint32x16);
  return __builtin_convertvector((wide * 21846u) >> 16, Uint16x16);
#endif
}

// Sixteen sepia pixels from their channel sums (0..765): grey = sum / 3, exactly as above, then
// blue, green, red = grey - 46, grey, grey + 46 held to 0..255, interleaved into 48 bytes by
// byte shuffles.
KERNEL_TARGET KERNEL_INLINE void store_toned(Int16x16 sum, uint8_t* out) {
  const Uint8x16 g = __builtin_convertvector(third_of((Uint16x16)sum), Uint8x16);
  const Uint8x16 b = (g < 46 ? 46 : g) - 46;
  const Uint8x16 r = (g > 209 ? 209 : g) + 46;
  const Uint8x16 bg0 =
      __builtin_shufflevector(b, g, 0, 16, 0, 1, 17, 1, 2, 18, 2, 3, 19, 3, 4, 20, 4, 5);
  const Uint8x16 out0 =
      __builtin_shufflevector(bg0, r, 0, 1, 16, 3, 4, 17, 6, 7, 18, 9, 10, 19, 12, 13, 20, 15);
  const Uint8x16 bg1 =
      __builtin_shufflevector(b, g, 21, 5, 6, 22, 6, 7, 23, 7, 8, 24, 8, 9, 25, 9, 10, 26);
  const Uint8x16 out1 =
      __builtin_shufflevector(bg1, r, 0, 21, 2, 3, 22, 5, 6, 23, 8, 9, 24, 11, 12, 25, 14, 15);
  const Uint8x16 bg2 =
      __builtin_shufflevector(b, g, 0, 11, 27, 0, 12, 28, 0, 13, 29, 0, 14, 30, 0, 15, 31, 0);
  const Uint8x16 out2 =
      __builtin_shufflevector(bg2, r, 26, 1, 2, 27, 4, 5, 28, 7, 8, 29, 10, 11, 30, 13, 14, 31);
  memcpy(out, &out0, sizeof out0);
  memcpy(out + 16, &out1, sizeof out1);
  memcpy(out + 32, &out2, sizeof out2);
}

// The colour offsets of sixteen chroma pairs: red, green and blue are Y plus these, clipped.
struct OffsetLanes {
  Int16x16 red, green, blue;
};

KERNEL_TARGET KERNEL_INLINE OffsetLanes offset_lanes(Int16x16 cb, Int16x16 cr) {
  return OffsetLanes{cr + ((cr * 103 + 128) >> 8), ((cr * 73 - cb * 88 + 128) >> 8) - cr,
                     cb + ((cb * 198 + 128) >> 8)};
}

// Each of the first (half 0) or last (half 1) eight lanes twice, for chroma read at x >> 1.
template <int32_t half>
KERNEL_TARGET KERNEL_INLINE Int16x16 doubled(Int16x16 v) {
  constexpr int32_t h = 8 * half;
  return __builtin_shufflevector(v, v, h, h, h + 1, h + 1, h + 2, h + 2, h + 3, h + 3, h + 4, h + 4,
                                 h + 5, h + 5, h + 6, h + 6, h + 7, h + 7);
}

template <int32_t half>
KERNEL_TARGET KERNEL_INLINE OffsetLanes doubled(const OffsetLanes& o) {
  return OffsetLanes{doubled<half>(o.red), doubled<half>(o.green), doubled<half>(o.blue)};
}

// Sixteen toned pixels of luma from `luma` with their colour offsets.
KERNEL_TARGET KERNEL_INLINE void toned_ycbcr_pixels(const uint8_t* luma, const OffsetLanes& o,
                                                    uint8_t* out) {
  Uint8x16 y_bytes;
  memcpy(&y_bytes, luma, sizeof y_bytes);
  const Int16x16 y = widen(y_bytes);
  const Int16x16 sum = clip_lanes(y + o.red) + clip_lanes(y + o.green) + clip_lanes(y + o.blue);
  if constexpr (use_byte_shuffles) {
    store_toned(sum, out);
    return;
  }
  // Without byte shuffles the tone goes out one word per pixel from the table by channel
  // sum. Each word's spare byte is covered by the next, the last one's by what follows.
  int16_t sums[16];
  memcpy(sums, &sum, sizeof sums);
  for (int32_t i = 0; i < 16; ++i) memcpy(out + 3 * i, &tables.tone_bgr[sums[i]], 4);
}

// The toned YCbCr pixels of `count` (a multiple of 16) from the start of the row. Chroma read
// at x >> 1 has its offsets worked out once for the two pixels that share them.
template <int32_t xs>
KERNEL_TARGET KERNEL_INLINE void toned_ycbcr_span(const uint8_t* luma, const uint8_t* cb_row,
                                                  const uint8_t* cr_row, int32_t count,
                                                  uint8_t* out) {
  int32_t x = 0;
  if constexpr (xs == 1) {
    for (; x + 32 <= count; x += 32, out += 96) {
      const OffsetLanes o = offset_lanes(chroma<0>(cb_row, x >> 1), chroma<0>(cr_row, x >> 1));
      toned_ycbcr_pixels(luma + x, doubled<0>(o), out);
      toned_ycbcr_pixels(luma + x + 16, doubled<1>(o), out + 48);
    }
  }
  for (; x < count; x += 16, out += 48) {
    toned_ycbcr_pixels(luma + x, offset_lanes(chroma<xs>(cb_row, x), chroma<xs>(cr_row, x)), out);
  }
}

// Three components; the rows of planes 1 and 2 are read at x >> xs.
template <ColourModel model, bool tone, int32_t xs>
KERNEL_TARGET void colour_row(const uint8_t* const rows[4], int32_t width, uint8_t* out) {
  // In locals, as in ink_row.
  const uint8_t* row0 = rows[0];
  const uint8_t* row1 = rows[1];
  const uint8_t* row2 = rows[2];
  int32_t x = 0;
  if constexpr (model == ColourModel::ycbcr && tone && use_vectors) {
    x = width & ~15;
    toned_ycbcr_span<xs>(row0, row1, row2, x, out);
    out += 3 * x;
  }
  for (; x < width; x += 1 << xs) {
    const int32_t c1 = row1[x >> xs];
    const int32_t c2 = row2[x >> xs];
    if constexpr (model == ColourModel::rgb) {
      put_pixel<tone>(out, row0[x], c1, c2);
      out += 3;
      if constexpr (xs == 1) {
        if (x + 1 == width) break;
        put_pixel<tone>(out, row0[x + 1], c1, c2);
        out += 3;
      }
    } else {
      const ChromaOffsets offsets = chroma_offsets(c1, c2);
      put_ycbcr<tone>(out, row0[x], offsets);
      out += 3;
      if constexpr (xs == 1) {
        if (x + 1 == width) break;
        put_ycbcr<tone>(out, row0[x + 1], offsets);
        out += 3;
      }
    }
  }
}

template <bool tone>
KERNEL_TARGET void grey_row(const uint8_t* const rows[4], int32_t width, uint8_t* out) {
  for (const uint8_t *row = rows[0], *end = row + width; row != end; ++row, out += 3) {
    put_pixel<tone>(out, *row, *row, *row);
  }
}

// Four components: cyan, magenta, yellow (or YCbCr standing for their complements) and black,
// stored as most writers store them, 255 for no ink.
template <ColourModel model, bool tone>
KERNEL_TARGET void ink_row(const uint8_t* const rows[4], int32_t width, uint8_t* out) {
  // In locals: the byte stores below may alias the array, which would be read again after each.
  const uint8_t* row0 = rows[0];
  const uint8_t* row1 = rows[1];
  const uint8_t* row2 = rows[2];
  const uint8_t* row3 = rows[3];
  for (int32_t x = 0; x < width; ++x, out += 3) {
    int32_t c = row0[x];
    int32_t m = row1[x];
    int32_t y = row2[x];
    if constexpr (model == ColourModel::ycck) {
      const ChromaOffsets o = chroma_offsets(m, y);
      m = 255 - tables.clip[c + o.green + clip_offset];
      y = 255 - tables.clip[c + o.blue + clip_offset];
      c = 255 - tables.clip[c + o.red + clip_offset];
    }
    const int32_t k = row3[x];
    put_pixel<tone>(out, ink_product(c, k), ink_product(m, k), ink_product(y, k));
  }
}

template <bool tone>
RowKernel row_kernel_of(ColourModel model, bool half_chroma) {
  switch (model) {
    case ColourModel::grey:
      return grey_row<tone>;
    case ColourModel::ycbcr:
      return half_chroma ? colour_row<ColourModel::ycbcr, tone, 1>
                         : colour_row<ColourModel::ycbcr, tone, 0>;
    case ColourModel::rgb:
      return half_chroma ? colour_row<ColourModel::rgb, tone, 1>
                         : colour_row<ColourModel::rgb, tone, 0>;
    case ColourModel::cmyk:
      return ink_row<ColourModel::cmyk, tone>;
    case ColourModel::ycck:
      return ink_row<ColourModel::ycck, tone>;
  }
  return grey_row<tone>;
}

KERNEL_TARGET RowKernel row_kernel(ColourModel model, bool tone, bool half_chroma) {
  return tone ? row_kernel_of<true>(model, half_chroma) : row_kernel_of<false>(model, half_chroma);
}

// The 8x8 inverse DCT in two separable passes of 32-bit fixed-point arithmetic, written once for
// every kernel path. Included inside a path's namespace by the path's file, after what it uses
// (kernels/path.h), with KERNEL_TARGET
// naming the path's processor and `use_vectors` saying whether it has vector units.
//
// Constants: 2841, 2676, 2408, 1609, 1108 and 565 are round(2048 x sqrt(2) x cos(k x pi / 16))
// for k = 1, 2, 3, 5, 6, 7, the butterfly's rotations scaled by 2^11; 181 = round(256 / sqrt 2)
// scales the last odd rotation by 2^8. Each rotation x cos a + y sin a, y cos a - x sin a is
// computed with three products from a shared one: 2276 = 2841 - 565, 3406 = 2841 + 565 (k = 1,
// 7), 799 = 2408 - 1609, 4017 = 2408 + 1609 (k = 3, 5), 1568 = 2676 - 1108, 3784 = 2676 + 1108
// (k = 2, 6). The row pass keeps the 2^11 scale (the DC term is c0 << 11) and drops 8 bits with
// rounding; the column pass works at 2^8 (c0 << 8), rounds each rotation by 3 bits, and drops
// the last 14 bits, 8192 of rounding coming from the 32 added to c0, before the +128 level shift
// and the clip to 0..255.
//
// Ranges: for the coefficients of any block of 8-bit samples (T.81 A.3.3's DCT of values in
// -128..127), the row pass's sums stay below 2^22 in magnitude and its products below 2^29;
// the column pass's sums below 2^25 and its products below 2^29. Dequantised coefficients
// differ from those by at most half a quantiser, within the margin. Beyond (damaged or
// contrived coefficients) every sum, product and left shift wraps modulo 2^32: it is computed
// on uint32_t, where that is the defined result, never signed overflow; right shifts are
// arithmetic on the signed value the wrapped one stands for, and the clip takes what comes.
//
// Shortcuts: when c1, c2, c3, c5, c6 and c7 are zero, c4 enters only through c4 << 11 in the
// row pass (c4 << 8 in the column pass). When that product is 0 modulo 2^32 as well (c4 = 0,
// or a multiple of 2^21 that no valid file gives), every output is the DC term alone, and the
// shortcut writes c0 << 3 for a row and clip_byte(((c0 + 32) >> 6) + 128) for a column. That is
// what the full pass gives unless c0 << 11 (or (c0 + 32) << 8) wraps; then the shortcut's value
// is the defined result.
//
// The butterfly is written once for a scalar and for a vector of eight lanes: the vector form
// runs the eight passes of a block at once, lane j being column j (row j after a transpose),
// with the same integer operations as the scalar form, so it gives the same bits everywhere.

using u32 = uint32_t;
using Lanes = Uint32x8;
using SignedLanes = Int32x8;
// A row of a block's coefficients in memory, read as what it is. Blocks are 32-byte aligned,
// which spares unaligned vector moves.
typedef uint32_t StoredLanes __attribute__((vector_size(32), aligned(32), may_alias));

KERNEL_TARGET KERNEL_INLINE Lanes load_lanes(const int32_t* from) {
  return *reinterpret_cast<const StoredLanes*>(from);
}
KERNEL_TARGET KERNEL_INLINE void store_lanes(int32_t* to, Lanes v) {
  *reinterpret_cast<StoredLanes*>(to) = v;
}

// The eight rows of a block, each moved as one vector: a loop of moves may become a block copy
// through memory, done in halves, which vector reads then wait for.
struct Rows {
  Lanes c[8];
};
KERNEL_TARGET KERNEL_INLINE Rows load_rows(const int32_t* block) {
  return Rows{{load_lanes(block), load_lanes(block + 8), load_lanes(block + 16),
               load_lanes(block + 24), load_lanes(block + 32), load_lanes(block + 40),
               load_lanes(block + 48), load_lanes(block + 56)}};
}
KERNEL_TARGET KERNEL_INLINE void store_rows(int32_t* block, const Lanes rows[8]) {
  store_lanes(block, rows[0]);
  store_lanes(block + 8, rows[1]);
  store_lanes(block + 16, rows[2]);
  store_lanes(block + 24, rows[3]);
  store_lanes(block + 32, rows[4]);
  store_lanes(block + 40, rows[5]);
  store_lanes(block + 48, rows[6]);
  store_lanes(block + 56, rows[7]);
}

// Arithmetic shift right of the two's-complement value that a wrapped result stands for.
KERNEL_TARGET KERNEL_INLINE u32 shr(u32 v, int32_t bits) {
  return static_cast<u32>(static_cast<int32_t>(v) >> bits);
}
KERNEL_TARGET KERNEL_INLINE Lanes shr(Lanes v, int32_t bits) {
  return (Lanes)((SignedLanes)v >> bits);
}

template <typename T>
struct Butterfly {
  T e0, e1, e2, e3, o_sum, q_sum, m1, m2;
};

// The shared butterfly. `round` is added to each rotation's shared product and `shift` applied
// to each rotation result (0 and 0 for rows, 4 and 3 for columns); s0, s4 are the DC terms.
template <typename T>
KERNEL_TARGET KERNEL_INLINE Butterfly<T> butterfly(const T c[8], T s0, T s4, u32 round,
                                                   int32_t shift) {
  const T t17 = 565 * (c[1] + c[7]) + round;
  const T odd1 = shr(t17 + 2276 * c[1], shift);
  const T odd7 = shr(t17 - 3406 * c[7], shift);
  const T t35 = 2408 * (c[3] + c[5]) + round;
  const T odd3 = shr(t35 - 799 * c[5], shift);
  const T odd5 = shr(t35 - 4017 * c[3], shift);
  const T t26 = 1108 * (c[2] + c[6]) + round;
  const T even2 = shr(t26 + 1568 * c[2], shift);
  const T even6 = shr(t26 - 3784 * c[6], shift);
  const T o_diff = odd1 - odd3;
  const T q_diff = odd7 - odd5;
  return Butterfly<T>{s0 + even2,
                      s4 + even6,
                      s4 - even6,
                      s0 - even2,
                      odd1 + odd3,
                      odd7 + odd5,
                      shr(181 * (o_diff + q_diff) + 128, 8),
                      shr(181 * (o_diff - q_diff) + 128, 8)};
}

// The column pass's eight unshifted results, value_0 to value_7.
template <typename T>
KERNEL_TARGET KERNEL_INLINE void column_values(const T c[8], T values[8]) {
  const T dc = (c[0] + 32) << 8;  // the 32 becomes 8192, the rounding of the final shift by 14
  const Butterfly<T> b = butterfly(c, dc + (c[4] << 8), dc - (c[4] << 8), 4, 3);
  values[0] = b.e0 + b.o_sum;
  values[1] = b.e1 + b.m1;
  values[2] = b.e2 + b.m2;
  values[3] = b.e3 + b.q_sum;
  values[4] = b.e3 - b.q_sum;
  values[5] = b.e2 - b.m2;
  values[6] = b.e1 - b.m1;
  values[7] = b.e0 - b.o_sum;
}

// Transposes an 8 x 8 matrix held as eight rows of eight lanes, with the interleaving shuffles
// that processors provide (unpack low and high, then halves exchanged).
KERNEL_TARGET KERNEL_INLINE void transpose(Lanes m[8]) {
  Lanes a[8], b[8];
  KERNEL_UNROLLED
  for (int32_t i = 0; i < 8; i += 2) {
    a[i] = SHUFFLE_LANES(m[i], m[i + 1], 0, 8, 1, 9, 4, 12, 5, 13);
    a[i + 1] = SHUFFLE_LANES(m[i], m[i + 1], 2, 10, 3, 11, 6, 14, 7, 15);
  }
  KERNEL_UNROLLED
  for (int32_t i = 0; i < 8; i += 4) {
    b[i] = SHUFFLE_LANES(a[i], a[i + 2], 0, 1, 8, 9, 4, 5, 12, 13);
    b[i + 1] = SHUFFLE_LANES(a[i], a[i + 2], 2, 3, 10, 11, 6, 7, 14, 15);
    b[i + 2] = SHUFFLE_LANES(a[i + 1], a[i + 3], 0, 1, 8, 9, 4, 5, 12, 13);
    b[i + 3] = SHUFFLE_LANES(a[i + 1], a[i + 3], 2, 3, 10, 11, 6, 7, 14, 15);
  }
  KERNEL_UNROLLED
  for (int32_t i = 0; i < 4; ++i) {
    m[i] = SHUFFLE_LANES(b[i], b[i + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    m[i + 4] = SHUFFLE_LANES(b[i], b[i + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

// T.81 A.3.3 with the shortcut above: one row of eight coefficients, in place.
KERNEL_TARGET KERNEL_INLINE void row_pass(int32_t* row) {
  u32 c[8];
  for (int32_t i = 0; i < 8; ++i) c[i] = static_cast<u32>(row[i]);
  if ((c[1] | c[2] | c[3] | c[5] | c[6] | c[7]) == 0 && (c[4] << 11) == 0) {
    const auto dc = static_cast<int32_t>(c[0] << 3);
    for (int32_t i = 0; i < 8; ++i) row[i] = dc;
    return;
  }
  const u32 dc = (c[0] << 11) + 128;  // 128 rounds the final shift by 8
  const Butterfly<u32> b = butterfly(c, dc + (c[4] << 11), dc - (c[4] << 11), 0, 0);
  const u32 values[8] = {b.e0 + b.o_sum, b.e1 + b.m1, b.e2 + b.m2, b.e3 + b.q_sum,
                         b.e3 - b.q_sum, b.e2 - b.m2, b.e1 - b.m1, b.e0 - b.o_sum};
  for (int32_t i = 0; i < 8; ++i) row[i] = static_cast<int32_t>(shr(values[i], 8));
}

// The sample of a column whose row-pass results are c0 and seven zeros. (c0 + 32) wraps as the
// column pass's arithmetic does.
KERNEL_TARGET KERNEL_INLINE uint8_t shortcut_sample(int32_t c0) {
  const auto rounded = static_cast<int32_t>(static_cast<uint32_t>(c0) + 32);
  return static_cast<uint8_t>(clip_byte((rounded >> 6) + 128));
}

// One column (elements 0, 8, ..., 56) of row-pass results into eight samples, `stride` apart.
KERNEL_TARGET KERNEL_INLINE void column_pass(const int32_t* column, uint8_t* dest, int32_t stride) {
  u32 c[8];
  for (int32_t i = 0; i < 8; ++i) c[i] = static_cast<u32>(column[8 * i]);
  if ((c[1] | c[2] | c[3] | c[5] | c[6] | c[7]) == 0 && (c[4] << 8) == 0) {
    const uint8_t value = shortcut_sample(static_cast<int32_t>(c[0]));
    for (int32_t k = 0; k < 8; ++k) dest[k * stride] = value;
    return;
  }
  u32 values[8];
  column_values(c, values);
  for (int32_t k = 0; k < 8; ++k) {
    dest[k * stride] =
        static_cast<uint8_t>(clip_byte(static_cast<int32_t>(shr(values[k], 14)) + 128));
  }
}

// All eight column passes at once, lane j being column j, with the results of the one at a time.
KERNEL_TARGET KERNEL_INLINE void column_passes(const int32_t* coefficients, uint8_t* dest,
                                               int32_t stride) {
  const Rows rows = load_rows(coefficients);
  const Lanes* c = rows.c;
  // Lanes whose column holds only c0 and a c4 that vanishes when scaled take the shortcut.
  const Lanes zero = {};
  const SignedLanes shortcut =
      ((c[1] | c[2] | c[3] | c[5] | c[6] | c[7]) == zero) & ((c[4] << 8) == zero);
  const SignedLanes flat = clip_lanes((SignedLanes)shr(c[0] + 32, 6) + 128);
  Lanes values[8];
  column_values(c, values);
#ifdef KERNEL_STORE_SAMPLES
  SignedLanes shifted[8];
  KERNEL_UNROLLED
  for (int32_t k = 0; k < 8; ++k) shifted[k] = (SignedLanes)shr(values[k], 14);
  KERNEL_STORE_SAMPLES(shifted, shortcut, flat, dest, stride);
  return;
#endif
  KERNEL_UNROLLED
  for (int32_t k = 0; k < 8; ++k) {
    SignedLanes v = clip_lanes((SignedLanes)shr(values[k], 14) + 128);
    v = shortcut != 0 ? flat : v;
    // Narrowed in two steps, which vector units do in a few instructions rather than a lane
    // at a time; the values are 0..255 already.
    const Uint8x8 bytes = __builtin_convertvector(__builtin_convertvector(v, Int16x8), Uint8x8);
    memcpy(dest + k * stride, &bytes, sizeof bytes);
  }
}

// All eight row passes at once over a block held column by column, so that lane i is row i and
// c[k] the rows' k-th values, with the results of the one at a time; stored row by row.
KERNEL_TARGET KERNEL_INLINE void row_passes(int32_t* coefficients) {
  Rows rows = load_rows(coefficients);
  Lanes* c = rows.c;
  const Lanes zero = {};
  const SignedLanes shortcut =
      ((c[1] | c[2] | c[3] | c[5] | c[6] | c[7]) == zero) & ((c[4] << 11) == zero);
  const Lanes flat = c[0] << 3;
  const Lanes dc = (c[0] << 11) + 128;  // 128 rounds the final shift by 8
  const Butterfly<Lanes> b = butterfly(c, dc + (c[4] << 11), dc - (c[4] << 11), 0, 0);
  Lanes out[8] = {b.e0 + b.o_sum, b.e1 + b.m1, b.e2 + b.m2, b.e3 + b.q_sum,
                  b.e3 - b.q_sum, b.e2 - b.m2, b.e1 - b.m1, b.e0 - b.o_sum};
  KERNEL_UNROLLED
  for (int32_t k = 0; k < 8; ++k) out[k] = shortcut != 0 ? flat : shr(out[k], 8);
  transpose(out);
  store_rows(coefficients, out);
}

// The inverse DCT of a block held column by column (row v, column u at 8u + v) whose rows
// outside `rows_used` (bit v for row v) hold only zeros, into the 8x8 samples at `dest`; leaves
// the coefficients all zero for the next block.
KERNEL_TARGET KERNEL_INLINE void transform_block(int32_t* coefficients, uint32_t rows_used,
                                                 uint8_t* dest, int32_t stride) {
  if (rows_used == 1) {
    // Row 0 alone: every other row pass sees zeros and gives zeros, so every column pass takes
    // its shortcut on the first row's value. With the DC alone that is one value.
    int32_t row[8];
    for (int32_t u = 0; u < 8; ++u) {
      row[u] = coefficients[8 * u];
      coefficients[8 * u] = 0;
    }
    row_pass(row);
    bool flat = true;
    for (int32_t j = 1; j < 8; ++j) flat = flat && row[j] == row[0];
    if (flat) {
      const uint8_t value = shortcut_sample(row[0]);
      for (int32_t y = 0; y < 8; ++y) memset(dest + y * stride, value, 8);
    } else {
      uint8_t samples[8];
      for (int32_t j = 0; j < 8; ++j) samples[j] = shortcut_sample(row[j]);
      for (int32_t y = 0; y < 8; ++y) memcpy(dest + y * stride, samples, 8);
    }
    return;
  }
  if constexpr (use_vectors) {
    // With two rows or more in use, all eight row passes at once cost less than two alone. The
    // row pass leaves the block row by row, zero in the rows it did not use.
    // Cleared whole: eight vector stores cost less than a branch on each row.
    row_passes(coefficients);
    column_passes(coefficients, dest, stride);
    const Lanes zero = {};
    const Lanes zeros[8] = {zero, zero, zero, zero, zero, zero, zero, zero};
    store_rows(coefficients, zeros);
  } else {
    int32_t rows[64];
    for (int32_t i = 0; i < 64; ++i) rows[i] = coefficients[(i & 7) * 8 + (i >> 3)];
    memset(coefficients, 0, 64 * sizeof(int32_t));
    // Rows that hold only zeros would come out as zeros.
    for (int32_t v = 0; v < 8; ++v) {
      if ((rows_used >> v & 1) != 0) row_pass(rows + 8 * v);
    }
    for (int32_t u = 0; u < 8; ++u) column_pass(rows + u, dest + u, stride);
  }
}

// The kernels of this path, as the kernel set holds them.
KERNEL_TARGET void transform(int32_t* coefficients, uint32_t rows_used, uint8_t* dest,
                             int32_t stride) {
  transform_block(coefficients, rows_used, dest, stride);
}

// A stored block (zig-zag order, quantised) dequantised into place and transformed:
// `coefficients` is all zero on entry, so only the values there are need writing. 16-bit
// values times 16-bit quantisers stay within 32 bits.
KERNEL_TARGET void transform_stored(const int16_t* block, const uint16_t* quant,
                                    int32_t* coefficients, uint8_t* dest, int32_t stride) {
  uint32_t rows_used = 1;
  for (uint64_t values = nonzero_mask(block); values != 0; values &= values - 1) {
    const int32_t k = std::countr_zero(values);
    const ColumnPlace place = column_places[static_cast<size_t>(k)];
    coefficients[place.at] = block[k] * quant[k];
    rows_used |= place.row_bit;
  }
  transform_block(coefficients, rows_used, dest, stride);
}

// The 8x8 inverse DCT in two separable passes of 32-bit fixed-point arithmetic. Sums, products
// and left shifts wrap modulo 2^32 by design, so they are done on uint32_t; right shifts are
// arithmetic, done on the int32_t that the wrapped value stands for.

#include <cstdint>

#include "common/integer.h"
#include "jpeg/decoder.h"

namespace {

using u32 = uint32_t;

// The 32-bit two's-complement value of a wrapped result, shifted right with rounding down.
inline int32_t sar(u32 v, int32_t bits) { return static_cast<int32_t>(v) >> bits; }

// Constants: round(2048 * sqrt(2) * cos(k * pi / 16)) for k = 1, 2, 3, 5, 6, 7 are 2841, 2676,
// 2408, 1609, 1108, 565; the rotations use their sums and differences. 181 = round(256/sqrt 2).
struct Butterfly {
  u32 e0, e1, e2, e3, o_sum, q_sum, m1, m2;
};

// The shared butterfly. `round` is added to each rotation's shared product and `shift` applied
// to each rotation result (0 and 0 for rows, 4 and 3 for columns); s0, s4 are the DC terms.
inline Butterfly butterfly(const u32 c[8], u32 s0, u32 s4, u32 round, int32_t shift) {
  const u32 t17 = 565 * (c[1] + c[7]) + round;
  const u32 odd1 = static_cast<u32>(sar(t17 + 2276 * c[1], shift));
  const u32 odd7 = static_cast<u32>(sar(t17 - 3406 * c[7], shift));
  const u32 t35 = 2408 * (c[3] + c[5]) + round;
  const u32 odd3 = static_cast<u32>(sar(t35 - 799 * c[5], shift));
  const u32 odd5 = static_cast<u32>(sar(t35 - 4017 * c[3], shift));
  const u32 t26 = 1108 * (c[2] + c[6]) + round;
  const u32 even2 = static_cast<u32>(sar(t26 + 1568 * c[2], shift));
  const u32 even6 = static_cast<u32>(sar(t26 - 3784 * c[6], shift));
  const u32 o_diff = odd1 - odd3;
  const u32 q_diff = odd7 - odd5;
  return Butterfly{s0 + even2,
                   s4 + even6,
                   s4 - even6,
                   s0 - even2,
                   odd1 + odd3,
                   odd7 + odd5,
                   static_cast<u32>(sar(181 * (o_diff + q_diff) + 128, 8)),
                   static_cast<u32>(sar(181 * (o_diff - q_diff) + 128, 8))};
}

inline void load(const int32_t* values, int32_t step, u32 c[8]) {
  for (int32_t i = 0; i < 8; ++i) c[i] = static_cast<u32>(values[i * step]);
}

}  // namespace

void idct_row(int32_t* row) {
  u32 c[8];
  load(row, 1, c);
  if ((c[1] | c[2] | c[3] | c[5] | c[6] | c[7]) == 0 && (c[4] << 11) == 0) {
    const int32_t dc = static_cast<int32_t>(c[0] << 3);
    for (int32_t i = 0; i < 8; ++i) row[i] = dc;
    return;
  }
  const u32 dc = (c[0] << 11) + 128;  // 128 rounds the final shift by 8
  const Butterfly b = butterfly(c, dc + (c[4] << 11), dc - (c[4] << 11), 0, 0);
  row[0] = sar(b.e0 + b.o_sum, 8);
  row[1] = sar(b.e1 + b.m1, 8);
  row[2] = sar(b.e2 + b.m2, 8);
  row[3] = sar(b.e3 + b.q_sum, 8);
  row[4] = sar(b.e3 - b.q_sum, 8);
  row[5] = sar(b.e2 - b.m2, 8);
  row[6] = sar(b.e1 - b.m1, 8);
  row[7] = sar(b.e0 - b.o_sum, 8);
}

void idct_column(const int32_t* column, uint8_t* dest, int32_t stride) {
  u32 c[8];
  load(column, 8, c);
  if ((c[1] | c[2] | c[3] | c[5] | c[6] | c[7]) == 0 && (c[4] << 8) == 0) {
    const uint8_t value = column_shortcut_value(static_cast<int32_t>(c[0]));
    for (int32_t k = 0; k < 8; ++k) dest[k * stride] = value;
    return;
  }
  const u32 dc = (c[0] + 32) << 8;  // the 32 becomes 8192, the rounding of the final shift by 14
  const Butterfly b = butterfly(c, dc + (c[4] << 8), dc - (c[4] << 8), 4, 3);
  const u32 values[8] = {b.e0 + b.o_sum, b.e1 + b.m1, b.e2 + b.m2, b.e3 + b.q_sum,
                         b.e3 - b.q_sum, b.e2 - b.m2, b.e1 - b.m1, b.e0 - b.o_sum};
  for (int32_t k = 0; k < 8; ++k) {
    dest[k * stride] = static_cast<uint8_t>(clip_byte(sar(values[k], 14) + 128));
  }
}

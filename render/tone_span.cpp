// The toned YCbCr row, sixteen pixels at a time, in the same integers as the per-pixel path.
//
// The colour offsets are rewritten so that every product fits in 16 bits: with c = Cr - 128,
// (359 c + 128) >> 8 equals c + ((103 c + 128) >> 8), since 256 c is a whole multiple of 256;
// likewise 454 = 256 + 198 for blue, and -183 = 73 - 256 for green's Cr term.

#include <cstdint>
#include <cstring>

#include "render/colour_tables.h"
#include "render/render.h"

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
#define SPAN_INLINE inline __attribute__((always_inline))

namespace {

typedef int16_t Words __attribute__((vector_size(32)));
typedef uint8_t Bytes __attribute__((vector_size(16)));
typedef uint8_t HalfBytes __attribute__((vector_size(8)));

SPAN_INLINE Words widen(Bytes v) { return __builtin_convertvector(v, Words); }

// Sixteen chroma samples for sixteen pixels: in place, or eight each used twice.
template <int32_t xs>
SPAN_INLINE Words chroma(const uint8_t* row, int32_t x) {
  Bytes v;
  if constexpr (xs == 0) {
    memcpy(&v, row + x, sizeof v);
  } else {
    HalfBytes half;
    memcpy(&half, row + (x >> 1), sizeof half);
    v = __builtin_shufflevector(half, half, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
  }
  return widen(v) - 128;
}

SPAN_INLINE Words clip(Words v) {
  const Words zero = {};
  const Words top = zero + 255;
  v = v < zero ? zero : v;
  return v > top ? top : v;
}

template <ChannelOrder order, int32_t xs>
SPAN_INLINE void span(const uint8_t* luma, const uint8_t* cb_row, const uint8_t* cr_row,
                      int32_t count, uint8_t* out) {
  const uint32_t* toned = colour_tables.tone_packed[order == ChannelOrder::rgb ? 0 : 1];
  for (int32_t x = 0; x < count; x += 16, out += 48) {
    Bytes y_bytes;
    memcpy(&y_bytes, luma + x, sizeof y_bytes);
    const Words y = widen(y_bytes);
    const Words cb = chroma<xs>(cb_row, x);
    const Words cr = chroma<xs>(cr_row, x);
    const Words red = clip(y + cr + ((cr * 103 + 128) >> 8));
    const Words green = clip(y - cr + ((cr * 73 - cb * 88 + 128) >> 8));
    const Words blue = clip(y + cb + ((cb * 198 + 128) >> 8));
    const Words sum = red + green + blue;
    // The tone goes out one word per pixel from the table by channel sum: faster than
    // dividing and interleaving in vectors, and the same on every processor. Each word's
    // spare byte is covered by the next, the last one's by what follows the span.
    int16_t sums[16];
    memcpy(sums, &sum, sizeof sums);
    for (int32_t i = 0; i < 16; ++i) memcpy(out + 3 * i, &toned[sums[i]], 4);
  }
}

}  // namespace

void tone_span(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, bool half_chroma,
               ChannelOrder order, int32_t count, uint8_t* out) {
  if (order == ChannelOrder::rgb) {
    half_chroma ? span<ChannelOrder::rgb, 1>(luma, cb, cr, count, out)
                : span<ChannelOrder::rgb, 0>(luma, cb, cr, count, out);
  } else {
    half_chroma ? span<ChannelOrder::bgr, 1>(luma, cb, cr, count, out)
                : span<ChannelOrder::bgr, 0>(luma, cb, cr, count, out);
  }
}

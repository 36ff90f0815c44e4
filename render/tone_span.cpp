// The toned YCbCr row, sixteen pixels at a time, in the same integers as the per-pixel path.
//
// The colour offsets are rewritten so that every product fits in 16 bits: with c = Cr - 128,
// (359 c + 128) >> 8 equals c + ((103 c + 128) >> 8), since 256 c is a whole multiple of 256;
// likewise 454 = 256 + 198 for blue, and -183 = 73 - 256 for green's Cr term.

#include <cstdint>
#include <cstring>

#include "render/render.h"

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
#define SPAN_INLINE inline __attribute__((always_inline))

namespace {

typedef int16_t Words __attribute__((vector_size(32)));
typedef uint16_t UnsignedWords __attribute__((vector_size(32)));
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

// floor(sum / 3) for sums up to 765: 85/256 falls short of a third by less than one in that
// range, and the remainder tells when it did.
SPAN_INLINE Words third(Words sum) {
  const auto s = (UnsignedWords)sum;
  UnsignedWords q = (s * 85) >> 8;
  q -= (UnsignedWords)(s - q * 3 > 2);  // a true comparison is -1
  return (Words)q;
}

// Sixteen pixels of three bytes, taken from the three byte planes in turn.
SPAN_INLINE void interleave(Bytes a, Bytes b, Bytes c, uint8_t* out) {
  Bytes v = __builtin_shufflevector(a, b, 0, 16, 0, 1, 17, 1, 2, 18, 2, 3, 19, 3, 4, 20, 4, 5);
  v = __builtin_shufflevector(v, c, 0, 1, 16, 3, 4, 17, 6, 7, 18, 9, 10, 19, 12, 13, 20, 15);
  memcpy(out, &v, sizeof v);
  v = __builtin_shufflevector(a, b, 21, 5, 6, 22, 6, 7, 23, 7, 8, 24, 8, 9, 25, 9, 10, 26);
  v = __builtin_shufflevector(v, c, 0, 21, 2, 3, 22, 5, 6, 23, 8, 9, 24, 11, 12, 25, 14, 15);
  memcpy(out + 16, &v, sizeof v);
  v = __builtin_shufflevector(a, b, 10, 11, 27, 11, 12, 28, 12, 13, 29, 13, 14, 30, 14, 15, 31, 15);
  v = __builtin_shufflevector(v, c, 26, 1, 2, 27, 4, 5, 28, 7, 8, 29, 10, 11, 30, 13, 14, 31);
  memcpy(out + 32, &v, sizeof v);
}

template <ChannelOrder order, int32_t xs>
SPAN_INLINE void span(const uint8_t* luma, const uint8_t* cb_row, const uint8_t* cr_row,
                      int32_t count, uint8_t* out) {
  for (int32_t x = 0; x < count; x += 16, out += 48) {
    Bytes y_bytes;
    memcpy(&y_bytes, luma + x, sizeof y_bytes);
    const Words y = widen(y_bytes);
    const Words cb = chroma<xs>(cb_row, x);
    const Words cr = chroma<xs>(cr_row, x);
    const Words red = clip(y + cr + ((cr * 103 + 128) >> 8));
    const Words green = clip(y - cr + ((cr * 73 - cb * 88 + 128) >> 8));
    const Words blue = clip(y + cb + ((cb * 198 + 128) >> 8));
    const Words grey = third(red + green + blue);
    const Bytes warm = __builtin_convertvector(clip(grey + 46), Bytes);
    const Bytes mid = __builtin_convertvector(grey, Bytes);
    const Bytes cool = __builtin_convertvector(clip(grey - 46), Bytes);
    if constexpr (order == ChannelOrder::rgb) {
      interleave(warm, mid, cool, out);
    } else {
      interleave(cool, mid, warm, out);
    }
  }
}

}  // namespace

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
__attribute__((target_clones("avx2", "default")))
#endif
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

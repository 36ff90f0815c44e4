// The AVX2 kernels: the vector forms in 256-bit registers. Not on Windows, whose compilers do
// not align the stack for 32-byte spills.

#include "kernels/path.h"

#if defined(__x86_64__) && !defined(_WIN32)
#include <immintrin.h>

namespace avx2_path {
#define KERNEL_TARGET __attribute__((target("avx2")))
#define KERNEL_MUL_HIGH_U16(a, b) ((Uint16x16)_mm256_mulhi_epu16((__m256i)(a), (__m256i)(b)))

// Packs leave each 128-bit half holding its own rows' lanes 0..3 or 4..7; this order puts every
// row's eight bytes together, four rows to a register.
KERNEL_TARGET KERNEL_INLINE __m256i rows_together(__m256i bytes) {
  return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// Four rows of 32-bit values into clip(v + 128) bytes: saturating packs to 16 bits, the 128
// added with saturation, and a saturating pack to bytes give that for every 32-bit v.
KERNEL_TARGET KERNEL_INLINE __m256i level_shifted(Int32x8 a, Int32x8 b, Int32x8 c, Int32x8 d) {
  const __m256i level = _mm256_set1_epi16(128);
  const __m256i ab = _mm256_adds_epi16(_mm256_packs_epi32((__m256i)a, (__m256i)b), level);
  const __m256i cd = _mm256_adds_epi16(_mm256_packs_epi32((__m256i)c, (__m256i)d), level);
  return rows_together(_mm256_packus_epi16(ab, cd));
}

// Eight rows of a column pass's results (before the level shift) into samples `stride` apart;
// lanes where `shortcut` is set take `flat` (0..255) instead.
KERNEL_TARGET KERNEL_INLINE void store_samples(const Int32x8 v[8], Int32x8 shortcut, Int32x8 flat,
                                               uint8_t* dest, int32_t stride) {
  const __m256i flat16 = _mm256_packs_epi32((__m256i)flat, (__m256i)flat);
  const __m256i flat_bytes = rows_together(_mm256_packus_epi16(flat16, flat16));
  const __m256i mask16 = _mm256_packs_epi32((__m256i)shortcut, (__m256i)shortcut);
  const __m256i mask = rows_together(_mm256_packs_epi16(mask16, mask16));
  const __m256i top = _mm256_blendv_epi8(level_shifted(v[0], v[1], v[2], v[3]), flat_bytes, mask);
  const __m256i bottom =
      _mm256_blendv_epi8(level_shifted(v[4], v[5], v[6], v[7]), flat_bytes, mask);
  const __m128i halves[4] = {_mm256_castsi256_si128(top), _mm256_extracti128_si256(top, 1),
                             _mm256_castsi256_si128(bottom), _mm256_extracti128_si256(bottom, 1)};
  for (int32_t i = 0; i < 4; ++i) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dest + 2 * i * stride), halves[i]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dest + (2 * i + 1) * stride),
                     _mm_unpackhi_epi64(halves[i], halves[i]));
  }
}
#define KERNEL_STORE_SAMPLES store_samples
constexpr bool use_vectors = true;
constexpr bool use_byte_shuffles = true;
#include "kernels/base_body.h"
#include "kernels/colour_body.h"
#include "kernels/idct_body.h"
#undef KERNEL_MUL_HIGH_U16
#undef KERNEL_STORE_SAMPLES
#undef KERNEL_TARGET
}  // namespace avx2_path

const KernelSet* avx2_kernels() {
  static constexpr KernelSet set = KERNEL_SET_OF(avx2_path, KernelPath::avx2);
  return &set;
}
#else
const KernelSet* avx2_kernels() { return nullptr; }
#endif

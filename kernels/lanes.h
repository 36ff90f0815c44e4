#pragma once
// What every kernel shares: vector types named by lane and count, in GCC and Clang vector
// extensions, which map onto the processor's vector units (SSE2 on x86-64, NEON on ARM) and
// are spelt out lane by lane elsewhere; inlining and unrolling; and shuffles. Kernels include
// this and nothing else of the kind; the functions over lanes are in base_body.h, built per path.

#include <cstdint>

// Kernel helpers are always inlined, so no vector crosses a call and the ABI note on passing
// vectors does not apply.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#define KERNEL_INLINE inline __attribute__((always_inline))
// Loops over the eight vectors of a block run unrolled, so that they stay in registers.
#define KERNEL_UNROLLED _Pragma("GCC unroll 8")

// Whether the processor has vector units for the lanes to map onto. Without them the compiler
// spells every lane out, and the plain per-value loops are quicker.
#if defined(__SSE2__) || defined(__ARM_NEON)
inline constexpr bool vector_units = true;
#else
inline constexpr bool vector_units = false;
#endif

typedef uint32_t Uint32x8 __attribute__((vector_size(32)));
typedef int32_t Int32x8 __attribute__((vector_size(32)));
typedef int16_t Int16x8 __attribute__((vector_size(16)));
typedef int16_t Int16x16 __attribute__((vector_size(32)));
typedef uint16_t Uint16x16 __attribute__((vector_size(32)));
typedef uint32_t Uint32x16 __attribute__((vector_size(64)));
typedef int8_t Int8x8 __attribute__((vector_size(8)));
typedef uint8_t Uint8x8 __attribute__((vector_size(8)));
typedef uint8_t Uint8x16 __attribute__((vector_size(16)));

// Eight lanes of two vectors picked by index (0..7 the first, 8..15 the second), in the
// spelling each compiler understands.
#if defined(__clang__)
#define SHUFFLE_LANES(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
  __builtin_shufflevector(a, b, i0, i1, i2, i3, i4, i5, i6, i7)
#else
#define SHUFFLE_LANES(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
  __builtin_shuffle(a, b, Int32x8{i0, i1, i2, i3, i4, i5, i6, i7})
#endif

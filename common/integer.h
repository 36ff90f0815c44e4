#pragma once
// Integer helpers shared by the decoder and the renderer: clamping, and arithmetic that wraps
// modulo 2^32 where the transforms want it, computed where the language defines it.

#include <cstdint>

constexpr int32_t clip_byte(int32_t v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

constexpr int32_t wrap_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t wrap_sub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
constexpr int32_t wrap_mul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

static_assert(wrap_mul(0x10000, 0x10000) == 0);
static_assert(wrap_add(INT32_MAX, 1) == INT32_MIN);
static_assert((-7 >> 1) == -4);  // C++20: right shift of a negative value rounds down

#pragma once
// The colour conversion and the sepia tone as constant tables, shared by the per-pixel and the
// vector row kernels.

#include <bit>
#include <cstdint>

#include "common/integer.h"

// Recolours one red, green, blue pixel in place: green becomes the mean of the three, red the
// mean raised by 46 and blue the mean lowered by 46, each held to 0..255.
constexpr uint8_t* sepia_tone(uint8_t* pixel) {
  const int32_t grey = (pixel[0] + pixel[1] + pixel[2]) / 3;
  pixel[0] = static_cast<uint8_t>(clip_byte(grey + 46));
  pixel[1] = static_cast<uint8_t>(clip_byte(grey));
  pixel[2] = static_cast<uint8_t>(clip_byte(grey - 46));
  return pixel;
}

// Channel values before clamping lie in -256..511 (Y plus an offset within -227..225).
constexpr int32_t clip_offset = 256;

struct ColourTables {
  int32_t cr_red[256];    // (359 cr + 128) >> 8, with cr = Cr - 128
  int32_t cb_blue[256];   // (454 cb + 128) >> 8
  int32_t cb_green[256];  // -88 cb
  int32_t cr_green[256];  // -183 cr + 128; the green offset is (cb_green + cr_green) >> 8
  uint8_t clip[768];      // clip_byte(v - clip_offset)
  // The sepia pixel of a channel sum as four bytes in memory order blue, green, red, 0: one
  // store writes a pixel, and the next pixel's store covers the spare byte.
  uint32_t tone_bgr[766];
};

constexpr ColourTables make_tables() {
  ColourTables t{};
  for (int32_t i = 0; i < 256; ++i) {
    const int32_t c = i - 128;
    t.cr_red[i] = (359 * c + 128) >> 8;
    t.cb_blue[i] = (454 * c + 128) >> 8;
    t.cb_green[i] = -88 * c;
    t.cr_green[i] = -183 * c + 128;
  }
  for (int32_t v = 0; v < 768; ++v) t.clip[v] = static_cast<uint8_t>(clip_byte(v - clip_offset));
  for (int32_t sum = 0; sum < 766; ++sum) {
    // Any three bytes with this sum: the tone depends on nothing else.
    const int32_t red = sum < 255 ? sum : 255;
    const int32_t green = sum - red < 255 ? sum - red : 255;
    uint8_t pixel[3] = {static_cast<uint8_t>(red), static_cast<uint8_t>(green),
                        static_cast<uint8_t>(sum - red - green)};
    sepia_tone(pixel);
    const uint32_t bgr = uint32_t{pixel[2]} | uint32_t{pixel[1]} << 8 | uint32_t{pixel[0]} << 16;
    t.tone_bgr[sum] = std::endian::native == std::endian::little ? bgr : __builtin_bswap32(bgr);
  }
  return t;
}

inline constexpr ColourTables colour_tables = make_tables();

// (a x b + 127) / 255, the rounded product of two ink values, without a division: for
// x = a x b + 128 up to 65153, (x + (x >> 8)) >> 8 is that quotient.
constexpr int32_t ink_product(int32_t a, int32_t b) {
  const int32_t x = a * b + 128;
  return (x + (x >> 8)) >> 8;
}

constexpr bool ink_product_is_exact() {
  for (int32_t a = 0; a < 256; ++a) {
    for (int32_t b = 0; b < 256; ++b) {
      if (ink_product(a, b) != (a * b + 127) / 255) return false;
    }
  }
  return true;
}
static_assert(ink_product_is_exact());

static_assert(colour_tables.cr_red[0] == -179 && colour_tables.cr_red[255] == 178);
static_assert(colour_tables.cb_blue[0] == -227 && colour_tables.cb_blue[255] == 225);

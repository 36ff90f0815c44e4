#pragma once
// Sepia rendering, one picture row at a time: subsampled planes enlarged by replication, the
// components turned into red, green, blue (YCbCr in 8.8 fixed point, or ink values), and every
// pixel replaced by the sepia tone of its mean.

#include <cstdint>

#include "common/integer.h"
#include "jpeg/decoder.h"

// Enlarges one plane row by 2^xs across: output sample x is row[x >> xs], for x below `width`.
void upsample_row(const uint8_t* row, int32_t xs, int32_t width, uint8_t* out);

// Decides, once every component is decoded, what the planes stand for and how each is read
// at picture coordinates. Sets `status` on failure (no memory for the rows it enlarges).
void prepare_planes(DecoderState& d);

enum class ChannelOrder { rgb, bgr };

// Renders picture row y (0 the top) of the prepared planes as `width` pixels of 3 bytes. It may
// write one byte past them, which `out` must have room for.
void render_row(DecoderState& d, int32_t y, ChannelOrder order, uint8_t* out);

// The toned YCbCr pixels of one row, `count` (a multiple of tone_span_pixels) from the start:
// chroma read in place, or at x >> 1 when `half_chroma`. The same bytes as render_row, which
// may write one byte past them. Used where the processor has vector units.
constexpr int32_t tone_span_pixels = 16;
void tone_span(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, bool half_chroma,
               ChannelOrder order, int32_t count, uint8_t* out);

// Recolours one red, green, blue pixel in place: green becomes the mean of the three, red the
// mean raised by 46 and blue the mean lowered by 46, each held to 0..255.
constexpr uint8_t* sepia_tone(uint8_t* pixel) {
  const int32_t grey = (pixel[0] + pixel[1] + pixel[2]) / 3;
  pixel[0] = static_cast<uint8_t>(clip_byte(grey + 46));
  pixel[1] = static_cast<uint8_t>(clip_byte(grey));
  pixel[2] = static_cast<uint8_t>(clip_byte(grey - 46));
  return pixel;
}

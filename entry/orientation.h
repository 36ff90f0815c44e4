#pragma once
// A decoded picture's rows as the BMP writer asks for them, rendered, and turned upright as its
// EXIF orientation says when asked: 2 mirrors left-right, 3 turns 180 degrees, 4 mirrors
// top-bottom, 5 transposes, 6 turns 90 degrees clockwise, 7 transverses and 8 turns 90 degrees
// counter-clockwise. The pixels are those of the plain output, moved.

#include <cstdint>

#include "jpeg/decoder.h"
#include "render/render.h"

// Values 5 to 8 swap width and height.
constexpr bool turns_a_quarter(int32_t orientation) { return orientation >= 5; }

struct PictureRows {
  const DecoderState* decoder;
  Renderer renderer;
  StripPlanes planes;  // a progressive frame's rows, made here
  Strip strip;         // the MCU row last loaded, or mcu_row -1
  int32_t mcu_height;
  int32_t orientation;  // applied: 1 when the picture is written as stored
  int32_t width;        // of the picture as written
  int32_t height;
  // Quarter turns read the picture by columns: a band of them at a time, rendered from every
  // stored row (3 bytes a pixel, row by row, band_columns to a row).
  uint8_t* band;       // owned
  int32_t band_first;  // the stored column the band starts at, or -1
  int32_t band_columns;
};

// Starts rendering the picture `d` decoded, upright or as stored. False, with nothing held,
// when there is no memory for it. Several threads may render rows of one picture at once, each
// with rows of its own.
bool begin_rows(const DecoderState& d, bool upright, const RenderOptions& options,
                PictureRows* rows);
void end_rows(PictureRows* rows);
// Row y (0 the top) of the picture as written, as blue, green, red; a BmpRowSource over a
// PictureRows. It may write one byte past the row.
void render_picture_row(void* rows, int32_t y, uint8_t* bgr);

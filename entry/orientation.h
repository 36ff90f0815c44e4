#pragma once
// The EXIF orientation of a JPEG file and the upright picture it asks for: each row of the
// turned picture made from the rows that render_row gives, so its pixels are those of the
// plain output, moved.

#include <cstdint>

#include "jpeg/decoder.h"

// The Orientation tag (0x0112) of IFD0 in the first APP1 "Exif" segment before the first scan,
// in either byte order: 1 to 8, or 1 when there is none or it is damaged or out of range.
// Reads nothing outside `size` bytes from `data`, nor past the segment's end.
int32_t read_exif_orientation(const uint8_t* data, int32_t size);

// Values 5 to 8 swap width and height.
constexpr bool turns_a_quarter(int32_t orientation) { return orientation >= 5; }

// A decoded picture as the orientation shows it upright. Quarter turns read columns, so they
// hold the whole picture as rendered (3 bytes a pixel); the others render row by row.
struct TurnedPicture {
  DecoderState* decoder;
  int32_t orientation;
  int32_t width;  // of the upright picture
  int32_t height;
  uint8_t* pixels;  // owned: the rendered picture, top row first, for quarter turns
};

// False (and nothing held) when there is no memory for the pixels of a quarter turn.
bool begin_turn(DecoderState& d, int32_t orientation, TurnedPicture* turned);
void end_turn(TurnedPicture* turned);
// Row y (0 the top) of the upright picture, as blue, green, red; a BmpRowSource over a
// TurnedPicture. It may write one byte past the row.
void render_turned_row(void* turned, int32_t y, uint8_t* bgr);

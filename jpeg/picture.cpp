// The decoded picture as rendering reads it: the record's geometry and what its segments said,
// and the planes of each MCU row.

#include "jpeg/picture.h"

#include <cstdint>

#include "jpeg/decoder.h"
#include "jpeg/progressive.h"

Picture picture_of(const DecoderState& d) {
  Picture p{};
  p.width = d.width;
  p.height = d.height;
  p.model = d.colour_model;
  p.orientation = d.orientation;
  p.component_count = d.component_count;
  for (int32_t i = 0; i < d.component_count; ++i) {
    const ComponentPlane& c = d.components[i];
    p.planes[i] = PicturePlane{c.plane_width, c.plane_height, c.stride, c.v_samp};
  }
  p.mcu_height = d.mcu_height;
  p.mcus_down = d.mcus_down;
  return p;
}

int32_t mcu_rows_ready(const DecoderState& d) { return d.rows_ready; }

Strip load_strip(DecoderState& d, int32_t row) {
  Strip strip{};
  strip.mcu_row = row;
  // A sequential frame's planes hold every row, or the last few MCU rows in turn; a progressive
  // one's the MCU row they were last filled with.
  if (d.progressive && row != d.strip_row) fill_progressive_strip(d, row);
  for (int32_t i = 0; i < d.component_count; ++i) {
    const ComponentPlane& c = d.components[i];
    const int32_t first_block_row = row * c.v_samp;
    const bool whole = !d.progressive && d.ring_rows == 0;
    strip.first_row[i] = whole ? 0 : 8 * first_block_row;
    strip.rows[i] =
        c.samples +
        (whole || d.progressive ? 0 : 8 * int64_t{first_block_row & c.ring_mask} * c.stride);
  }
  return strip;
}

// The decoded picture as rendering reads it: the record's geometry and what its segments said,
// and the planes of each MCU row.

#include "jpeg/picture.h"

#include <cstdint>
#include <cstring>

#include "jpeg/decoder.h"
#include "jpeg/progressive.h"
#include "platform/platform.h"

Picture picture_of(const DecoderState& d) {
  Picture p{};
  p.width = d.width;
  p.height = d.height;
  p.model = d.colour_model;
  p.orientation = d.orientation;
  p.component_count = d.component_count;
  // The MCU's size is set once every factor has passed; a header refused before that leaves
  // factors that may be 0, and no ratios.
  const int32_t h_max = d.mcu_width / 8;
  const int32_t v_max = d.mcu_height / 8;
  for (int32_t i = 0; i < d.component_count; ++i) {
    const ComponentPlane& c = d.components[i];
    const int32_t across = h_max != 0 ? h_max / c.h_samp : 0;
    const int32_t down = v_max != 0 ? v_max / c.v_samp : 0;
    p.planes[i] = PicturePlane{c.plane_width, c.plane_height, c.stride, c.v_samp, across, down};
  }
  p.mcu_height = d.mcu_height;
  p.mcus_down = d.mcus_down;
  return p;
}

int32_t mcu_rows_ready(const DecoderState& d) { return d.rows_ready; }

Strip load_strip(const DecoderState& d, int32_t row, StripPlanes* planes, int32_t first_x,
                 int32_t end_x) {
  Strip strip{};
  strip.mcu_row = row;
  if (d.progressive) {
    if (end_x > d.width) end_x = d.width;
    if (row != planes->row || first_x < planes->first_x || end_x > planes->end_x) {
      fill_progressive_strip(d, row, first_x, end_x, planes);
    }
    for (int32_t i = 0; i < d.component_count; ++i) {
      strip.first_row[i] = row * 8 * d.components[i].v_samp;
      strip.rows[i] = planes->samples[i];
    }
    return strip;
  }
  // The planes hold every row, or the last few MCU rows in turn.
  for (int32_t i = 0; i < d.component_count; ++i) {
    const ComponentPlane& c = d.components[i];
    const int32_t first_block_row = row * c.v_samp;
    const bool whole = d.ring_rows == 0;
    strip.first_row[i] = whole ? 0 : 8 * first_block_row;
    strip.rows[i] = c.samples + (whole ? 0 : 8 * int64_t{first_block_row & c.ring_mask} * c.stride);
  }
  return strip;
}

bool make_strip_planes(const DecoderState& d, StripPlanes* planes) {
  *planes = StripPlanes{};
  planes->row = -1;
  if (!d.progressive) return true;
  // Over-allocated for the alignment the transform's vector moves ask for.
  planes->block = platform_allocate(64 * sizeof(int32_t) + 32);
  if (planes->block == nullptr) return false;
  const auto address = reinterpret_cast<uintptr_t>(planes->block);
  planes->coefficients = reinterpret_cast<int32_t*>((address + 31) & ~uintptr_t{31});
  memset(planes->coefficients, 0, 64 * sizeof(int32_t));
  for (int32_t i = 0; i < d.component_count; ++i) {
    const ComponentPlane& c = d.components[i];
    planes->samples[i] = static_cast<uint8_t*>(
        platform_allocate(static_cast<size_t>(c.stride) * 8 * static_cast<size_t>(c.v_samp)));
    if (planes->samples[i] == nullptr) {
      free_strip_planes(planes);
      return false;
    }
  }
  return true;
}

void free_strip_planes(StripPlanes* planes) {
  for (uint8_t*& samples : planes->samples) {
    platform_release(samples);
    samples = nullptr;
  }
  platform_release(planes->block);
  planes->block = nullptr;
  planes->coefficients = nullptr;
}

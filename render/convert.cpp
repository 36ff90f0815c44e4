// Colour conversion and sepia toning of the decoded planes into `rgb_image`.

#include <cstdint>

#include "render/render.h"

namespace {

// Three-component frames hold red, green, blue rather than YCbCr when an Adobe segment says
// so (transform 0), or when no JFIF or Adobe segment says anything and the components are
// named 'R', 'G', 'B'.
bool frame_is_rgb() {
  if (decoder.jfif_seen) return false;
  if (decoder.adobe_seen) return decoder.adobe_transform == 0;
  return decoder.components[0].id == 'R' && decoder.components[1].id == 'G' &&
         decoder.components[2].id == 'B';
}

inline void store(uint8_t* out, int32_t red, int32_t green, int32_t blue, bool tone) {
  out[0] = static_cast<uint8_t>(red);
  out[1] = static_cast<uint8_t>(green);
  out[2] = static_cast<uint8_t>(blue);
  if (tone) sepia_tone(out);
}

void convert_grey(bool tone) {
  const ComponentPlane& y_plane = decoder.components[0];
  const uint8_t* y_row = y_plane.samples;
  uint8_t* out = decoder.rgb_image;
  for (int32_t y = 0; y < decoder.height; ++y) {
    for (int32_t x = 0; x < decoder.width; ++x, out += 3) {
      store(out, y_row[x], y_row[x], y_row[x], tone);
    }
    y_row += y_plane.stride;
  }
}

void convert_colour(bool rgb, bool tone) {
  const ComponentPlane* planes = decoder.components;
  const uint8_t* row0 = planes[0].samples;
  const uint8_t* row1 = planes[1].samples;
  const uint8_t* row2 = planes[2].samples;
  uint8_t* out = decoder.rgb_image;
  for (int32_t y = 0; y < decoder.height; ++y) {
    for (int32_t x = 0; x < decoder.width; ++x, out += 3) {
      if (rgb) {
        store(out, row0[x], row1[x], row2[x], tone);
        continue;
      }
      const int32_t yy = row0[x] << 8;
      const int32_t cb = row1[x] - 128;
      const int32_t cr = row2[x] - 128;
      store(out, clip_byte((yy + 359 * cr + 128) >> 8),
            clip_byte((yy - 88 * cb - 183 * cr + 128) >> 8), clip_byte((yy + 454 * cb + 128) >> 8),
            tone);
    }
    row0 += planes[0].stride;
    row1 += planes[1].stride;
    row2 += planes[2].stride;
  }
}

}  // namespace

void convert_image() {
  for (int32_t i = 0; i < decoder.component_count; ++i) {
    ComponentPlane* plane = &decoder.components[i];
    if (plane->plane_width < decoder.width || plane->plane_height < decoder.height) {
      upsample_plane(plane);
    }
    if (plane->plane_width < decoder.width || plane->plane_height < decoder.height) {
      fail();
      return;
    }
  }
  const bool tone = !decoder.plain_colour;
  if (decoder.component_count == 1) {
    convert_grey(tone);
  } else if (decoder.component_count == max_components) {
    convert_colour(frame_is_rgb(), tone);
  }
}

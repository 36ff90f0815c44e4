// Colour conversion and sepia toning of the decoded planes into `rgb_image`.
//
// The fixed-point formulas are evaluated through tables that give the same integers: with
// yy = Y * 256, (yy + t) >> 8 equals Y + (t >> 8) for any t, since the shift rounds down and
// Y * 256 is a whole multiple of 256. Chroma planes subsampled by two are read in place
// (x >> 1, y >> 1), which is what replication would have copied; other layouts are enlarged
// first.

#include <cstdint>
#include <cstring>

#include "common/vector_units.h"
#include "platform/platform.h"
#include "render/colour_tables.h"
#include "render/render.h"

namespace {

constexpr const ColourTables& tables = colour_tables;

enum class Colour { ycbcr, rgb };

// One pixel into `out`: red, green, blue (or blue, green, red), toned or not.
template <Colour colour, bool tone, ChannelOrder order>
inline void put_pixel(uint8_t* out, int32_t c0, int32_t red_offset, int32_t green_offset,
                      int32_t blue_offset, int32_t c1, int32_t c2) {
  int32_t red, green, blue;
  if constexpr (colour == Colour::ycbcr) {
    red = tables.clip[c0 + red_offset + clip_offset];
    green = tables.clip[c0 + green_offset + clip_offset];
    blue = tables.clip[c0 + blue_offset + clip_offset];
  } else {
    red = c0;
    green = c1;
    blue = c2;
  }
  if constexpr (tone) {
    const uint32_t packed =
        tables.tone_packed[order == ChannelOrder::rgb ? 0 : 1][red + green + blue];
    memcpy(out, &packed, sizeof packed);
    return;
  }
  constexpr int32_t first = order == ChannelOrder::rgb ? 0 : 2;
  out[first] = static_cast<uint8_t>(red);
  out[1] = static_cast<uint8_t>(green);
  out[2 - first] = static_cast<uint8_t>(blue);
}

// One row; the chroma planes (1 and 2) are read at (x >> xs, y >> ys).
template <Colour colour, bool tone, ChannelOrder order, int32_t xs, int32_t ys>
void colour_row(int32_t y, uint8_t* out) {
  const ComponentPlane* planes = decoder.components;
  const int32_t width = decoder.width;
  const uint8_t* row0 = planes[0].samples + y * planes[0].stride;
  const uint8_t* row1 = planes[1].samples + (y >> ys) * planes[1].stride;
  const uint8_t* row2 = planes[2].samples + (y >> ys) * planes[2].stride;
  int32_t x = 0;
  if constexpr (colour == Colour::ycbcr && tone && vector_units) {
    x = width & ~(tone_span_pixels - 1);
    tone_span(row0, row1, row2, xs == 1, order, x, out);
    out += 3 * x;
  }
  for (; x < width; x += 1 << xs) {
    const int32_t c1 = row1[x >> xs];
    const int32_t c2 = row2[x >> xs];
    int32_t red_offset = 0, green_offset = 0, blue_offset = 0;
    if constexpr (colour == Colour::ycbcr) {
      red_offset = tables.cr_red[c2];
      green_offset = (tables.cb_green[c1] + tables.cr_green[c2]) >> 8;
      blue_offset = tables.cb_blue[c1];
    }
    put_pixel<colour, tone, order>(out, row0[x], red_offset, green_offset, blue_offset, c1, c2);
    out += 3;
    if constexpr (xs == 1) {
      if (x + 1 == width) break;
      put_pixel<colour, tone, order>(out, row0[x + 1], red_offset, green_offset, blue_offset, c1,
                                     c2);
      out += 3;
    }
  }
}

template <bool tone, ChannelOrder order>
void grey_row(int32_t y, uint8_t* out) {
  const ComponentPlane& plane = decoder.components[0];
  const uint8_t* row = plane.samples + y * plane.stride;
  for (const uint8_t* end = row + decoder.width; row != end; ++row, out += 3) {
    put_pixel<Colour::rgb, tone, order>(out, *row, 0, 0, 0, *row, *row);
  }
}

template <Colour colour, bool tone, ChannelOrder order>
void colour_row(int32_t y, uint8_t* out) {
  const RenderPlan& plan = decoder.render_plan;
  if (plan.chroma_xs == 0 && plan.chroma_ys == 0) colour_row<colour, tone, order, 0, 0>(y, out);
  if (plan.chroma_xs == 1 && plan.chroma_ys == 0) colour_row<colour, tone, order, 1, 0>(y, out);
  if (plan.chroma_xs == 0 && plan.chroma_ys == 1) colour_row<colour, tone, order, 0, 1>(y, out);
  if (plan.chroma_xs == 1 && plan.chroma_ys == 1) colour_row<colour, tone, order, 1, 1>(y, out);
}

template <bool tone, ChannelOrder order>
void any_row(int32_t y, uint8_t* out) {
  if (decoder.component_count == 1) {
    grey_row<tone, order>(y, out);
  } else if (decoder.render_plan.rgb_samples) {
    colour_row<Colour::rgb, tone, order>(y, out);
  } else {
    colour_row<Colour::ycbcr, tone, order>(y, out);
  }
}

// Three-component frames hold red, green, blue rather than YCbCr when an Adobe segment says
// so (transform 0), or when no JFIF or Adobe segment says anything and the components are
// named 'R', 'G', 'B'.
bool frame_is_rgb() {
  if (decoder.jfif_seen) return false;
  if (decoder.adobe_seen) return decoder.adobe_transform == 0;
  return decoder.components[0].id == 'R' && decoder.components[1].id == 'G' &&
         decoder.components[2].id == 'B';
}

// The power of two by which a plane falls short of the image across (or down).
int32_t shortfall(int32_t plane_size, int32_t image_size) {
  int32_t shift = 0;
  for (int32_t size = plane_size; size < image_size; size *= 2) ++shift;
  return shift;
}

bool covers_image(const ComponentPlane& plane) {
  return plane.plane_width >= decoder.width && plane.plane_height >= decoder.height;
}

}  // namespace

void prepare_planes() {
  const int32_t count = decoder.component_count;
  RenderPlan& plan = decoder.render_plan;
  plan = RenderPlan{0, 0, count == max_components && frame_is_rgb()};
  // Chroma planes that share a shortfall of at most two each way are read in place; any other
  // plane that falls short is enlarged.
  if (count == max_components) {
    const ComponentPlane* p = decoder.components;
    const int32_t xs = shortfall(p[1].plane_width, decoder.width);
    const int32_t ys = shortfall(p[1].plane_height, decoder.height);
    if (covers_image(p[0]) && xs <= 1 && ys <= 1 &&
        xs == shortfall(p[2].plane_width, decoder.width) &&
        ys == shortfall(p[2].plane_height, decoder.height)) {
      plan.chroma_xs = xs;
      plan.chroma_ys = ys;
    }
  }
  for (int32_t i = 0; i < count; ++i) {
    ComponentPlane* plane = &decoder.components[i];
    if (i > 0 && (plan.chroma_xs | plan.chroma_ys) != 0) continue;
    if (!covers_image(*plane)) upsample_plane(plane);
    if (!covers_image(*plane)) {
      fail();
      return;
    }
  }
}

void render_row(int32_t y, ChannelOrder order, uint8_t* out) {
  const bool tone = !decoder.plain_colour;
  if (order == ChannelOrder::rgb) {
    tone ? any_row<true, ChannelOrder::rgb>(y, out) : any_row<false, ChannelOrder::rgb>(y, out);
  } else {
    tone ? any_row<true, ChannelOrder::bgr>(y, out) : any_row<false, ChannelOrder::bgr>(y, out);
  }
}

void convert_image() {
  prepare_planes();
  if (decoder.status != status_running) return;
  // The frame header bounded width x height x 3 by INT32_MAX.
  const size_t row_bytes = size_t{static_cast<uint32_t>(decoder.width)} * 3;
  if (decoder.rgb_image == nullptr) {
    // One spare byte: rendering may write one past a row's end.
    decoder.rgb_image = static_cast<uint8_t*>(
        platform_allocate(row_bytes * static_cast<size_t>(decoder.height) + 1));
    if (decoder.rgb_image == nullptr) {
      fail();
      return;
    }
  }
  for (int32_t y = 0; y < decoder.height; ++y) {
    render_row(y, ChannelOrder::rgb, decoder.rgb_image + static_cast<size_t>(y) * row_bytes);
  }
}

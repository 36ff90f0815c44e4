// Colour conversion and sepia toning of the decoded planes into `rgb_image`.
//
// The fixed-point formulas are evaluated through tables that give the same integers: with
// yy = Y * 256, (yy + t) >> 8 equals Y + (t >> 8) for any t, since the shift rounds down and
// Y * 256 is a whole multiple of 256. Chroma planes subsampled by two are read in place
// (x >> 1, y >> 1), which is what replication would have copied; other layouts are enlarged
// first.

#include <cstdint>
#include <cstring>

#include "render/render.h"

namespace {

// Channel values before clamping lie in -256..511 (Y plus an offset within -227..225).
constexpr int32_t clip_offset = 256;

struct ColourTables {
  int32_t cr_red[256];    // (359 cr + 128) >> 8, with cr = Cr - 128
  int32_t cb_blue[256];   // (454 cb + 128) >> 8
  int32_t cb_green[256];  // -88 cb
  int32_t cr_green[256];  // -183 cr + 128; the green offset is (cb_green + cr_green) >> 8
  uint8_t clip[768];      // clip_byte(v - clip_offset)
  uint8_t tone[766][3];   // the sepia pixel of a channel sum
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
    for (int32_t k = 0; k < 3; ++k) t.tone[sum][k] = pixel[k];
  }
  return t;
}

constexpr ColourTables tables = make_tables();

static_assert(tables.cr_red[0] == -179 && tables.cr_red[255] == 178);
static_assert(tables.cb_blue[0] == -227 && tables.cb_blue[255] == 225);

enum class Colour { ycbcr, rgb };

// One pixel into `out`: red, green, blue, toned or not.
template <Colour colour, bool tone>
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
    memcpy(out, tables.tone[red + green + blue], 3);
  } else {
    out[0] = static_cast<uint8_t>(red);
    out[1] = static_cast<uint8_t>(green);
    out[2] = static_cast<uint8_t>(blue);
  }
}

// Converts every row; the chroma planes (1 and 2) are read at (x >> xs, y >> ys).
template <Colour colour, bool tone, int32_t xs, int32_t ys>
void convert_rows() {
  const ComponentPlane* planes = decoder.components;
  const int32_t width = decoder.width;
  uint8_t* out = decoder.rgb_image;
  for (int32_t y = 0; y < decoder.height; ++y) {
    const uint8_t* row0 = planes[0].samples + y * planes[0].stride;
    const uint8_t* row1 = planes[1].samples + (y >> ys) * planes[1].stride;
    const uint8_t* row2 = planes[2].samples + (y >> ys) * planes[2].stride;
    for (int32_t x = 0; x < width; x += 1 << xs) {
      const int32_t c1 = row1[x >> xs];
      const int32_t c2 = row2[x >> xs];
      int32_t red_offset = 0, green_offset = 0, blue_offset = 0;
      if constexpr (colour == Colour::ycbcr) {
        red_offset = tables.cr_red[c2];
        green_offset = (tables.cb_green[c1] + tables.cr_green[c2]) >> 8;
        blue_offset = tables.cb_blue[c1];
      }
      put_pixel<colour, tone>(out, row0[x], red_offset, green_offset, blue_offset, c1, c2);
      out += 3;
      if constexpr (xs == 1) {
        if (x + 1 == width) break;
        put_pixel<colour, tone>(out, row0[x + 1], red_offset, green_offset, blue_offset, c1, c2);
        out += 3;
      }
    }
  }
}

template <Colour colour, bool tone>
void convert_colour(int32_t xs, int32_t ys) {
  if (xs == 0 && ys == 0) convert_rows<colour, tone, 0, 0>();
  if (xs == 1 && ys == 0) convert_rows<colour, tone, 1, 0>();
  if (xs == 0 && ys == 1) convert_rows<colour, tone, 0, 1>();
  if (xs == 1 && ys == 1) convert_rows<colour, tone, 1, 1>();
}

template <bool tone>
void convert_grey() {
  const ComponentPlane& plane = decoder.components[0];
  uint8_t* out = decoder.rgb_image;
  for (int32_t y = 0; y < decoder.height; ++y) {
    const uint8_t* row = plane.samples + y * plane.stride;
    for (const uint8_t* end = row + decoder.width; row != end; ++row, out += 3) {
      if constexpr (tone) {
        memcpy(out, tables.tone[3 * *row], 3);
      } else {
        out[0] = out[1] = out[2] = *row;
      }
    }
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

void convert_image() {
  const int32_t count = decoder.component_count;
  // Chroma planes that share a shortfall of at most two each way are read in place; any other
  // plane that falls short is enlarged.
  int32_t xs = 0;
  int32_t ys = 0;
  if (count == max_components) {
    const ComponentPlane* p = decoder.components;
    xs = shortfall(p[1].plane_width, decoder.width);
    ys = shortfall(p[1].plane_height, decoder.height);
    const bool in_place = covers_image(p[0]) && xs <= 1 && ys <= 1 &&
                          xs == shortfall(p[2].plane_width, decoder.width) &&
                          ys == shortfall(p[2].plane_height, decoder.height);
    if (!in_place) xs = ys = 0;
  }
  for (int32_t i = 0; i < count; ++i) {
    ComponentPlane* plane = &decoder.components[i];
    if (i > 0 && (xs | ys) != 0) continue;
    if (!covers_image(*plane)) upsample_plane(plane);
    if (!covers_image(*plane)) {
      fail();
      return;
    }
  }
  const bool tone = !decoder.plain_colour;
  if (count == 1) {
    tone ? convert_grey<true>() : convert_grey<false>();
  } else if (count == max_components) {
    if (frame_is_rgb()) {
      tone ? convert_colour<Colour::rgb, true>(xs, ys) : convert_colour<Colour::rgb, false>(xs, ys);
    } else {
      tone ? convert_colour<Colour::ycbcr, true>(xs, ys)
           : convert_colour<Colour::ycbcr, false>(xs, ys);
    }
  }
}

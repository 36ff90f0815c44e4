// Colour conversion and sepia toning of the decoded planes, one picture row at a time.
//
// The fixed-point formulas are evaluated through tables that give the same integers: with
// yy = Y * 256, (yy + t) >> 8 equals Y + (t >> 8) for any t, since the shift rounds down and
// Y * 256 is a whole multiple of 256. Chroma planes subsampled by two beside a full luma plane
// are read in place (x >> 1, y >> 1), which is what replication would have copied; any other
// plane that falls short across is enlarged a row at a time.

#include <cstdint>
#include <cstring>

#include "common/vector_units.h"
#include "platform/platform.h"
#include "render/colour_tables.h"
#include "render/render.h"

namespace {

constexpr const ColourTables& tables = colour_tables;

// One pixel into `out`: red, green, blue (or blue, green, red), toned or not.
template <bool tone, ChannelOrder order>
inline void put_rgb(uint8_t* out, int32_t red, int32_t green, int32_t blue) {
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

// The colour offsets of one chroma pair: red, green and blue are Y plus these, clipped.
struct ChromaOffsets {
  int32_t red;
  int32_t green;
  int32_t blue;
};

inline ChromaOffsets chroma_offsets(int32_t cb, int32_t cr) {
  return ChromaOffsets{tables.cr_red[cr], (tables.cb_green[cb] + tables.cr_green[cr]) >> 8,
                       tables.cb_blue[cb]};
}

template <bool tone, ChannelOrder order>
inline void put_ycbcr(uint8_t* out, int32_t y, const ChromaOffsets& o) {
  put_rgb<tone, order>(out, tables.clip[y + o.red + clip_offset],
                       tables.clip[y + o.green + clip_offset],
                       tables.clip[y + o.blue + clip_offset]);
}

// One row of three components; the rows of planes 1 and 2 are read at x >> xs.
template <ColourModel model, bool tone, ChannelOrder order, int32_t xs>
void colour_row(const uint8_t* row0, const uint8_t* row1, const uint8_t* row2, int32_t width,
                uint8_t* out) {
  int32_t x = 0;
  if constexpr (model == ColourModel::ycbcr && tone && vector_units) {
    x = width & ~(tone_span_pixels - 1);
    tone_span(row0, row1, row2, xs == 1, order, x, out);
    out += 3 * x;
  }
  for (; x < width; x += 1 << xs) {
    const int32_t c1 = row1[x >> xs];
    const int32_t c2 = row2[x >> xs];
    if constexpr (model == ColourModel::rgb) {
      put_rgb<tone, order>(out, row0[x], c1, c2);
      out += 3;
      if constexpr (xs == 1) {
        if (x + 1 == width) break;
        put_rgb<tone, order>(out, row0[x + 1], c1, c2);
        out += 3;
      }
    } else {
      const ChromaOffsets offsets = chroma_offsets(c1, c2);
      put_ycbcr<tone, order>(out, row0[x], offsets);
      out += 3;
      if constexpr (xs == 1) {
        if (x + 1 == width) break;
        put_ycbcr<tone, order>(out, row0[x + 1], offsets);
        out += 3;
      }
    }
  }
}

template <bool tone, ChannelOrder order>
void grey_row(const uint8_t* row, int32_t width, uint8_t* out) {
  for (const uint8_t* end = row + width; row != end; ++row, out += 3) {
    put_rgb<tone, order>(out, *row, *row, *row);
  }
}

// Four components: cyan, magenta, yellow (or YCbCr standing for their complements) and black,
// stored as most writers store them, 255 for no ink.
template <ColourModel model, bool tone, ChannelOrder order>
void ink_row(const uint8_t* const rows[4], int32_t width, uint8_t* out) {
  for (int32_t x = 0; x < width; ++x, out += 3) {
    int32_t c = rows[0][x];
    int32_t m = rows[1][x];
    int32_t y = rows[2][x];
    if constexpr (model == ColourModel::ycck) {
      const ChromaOffsets o = chroma_offsets(m, y);
      m = 255 - tables.clip[c + o.green + clip_offset];
      y = 255 - tables.clip[c + o.blue + clip_offset];
      c = 255 - tables.clip[c + o.red + clip_offset];
    }
    const int32_t k = rows[3][x];
    put_rgb<tone, order>(out, ink_product(c, k), ink_product(m, k), ink_product(y, k));
  }
}

template <ColourModel model, bool tone, ChannelOrder order>
void model_row(const RenderPlan& plan, const uint8_t* const rows[4], int32_t width, uint8_t* out) {
  if constexpr (model == ColourModel::grey) {
    grey_row<tone, order>(rows[0], width, out);
  } else if constexpr (model == ColourModel::cmyk || model == ColourModel::ycck) {
    ink_row<model, tone, order>(rows, width, out);
  } else if (plan.chroma_in_place && plan.xs[1] == 1) {
    colour_row<model, tone, order, 1>(rows[0], rows[1], rows[2], width, out);
  } else {
    colour_row<model, tone, order, 0>(rows[0], rows[1], rows[2], width, out);
  }
}

template <bool tone, ChannelOrder order>
void toned_row(const RenderPlan& plan, const uint8_t* const rows[4], int32_t width, uint8_t* out) {
  switch (plan.model) {
    case ColourModel::grey:
      return model_row<ColourModel::grey, tone, order>(plan, rows, width, out);
    case ColourModel::ycbcr:
      return model_row<ColourModel::ycbcr, tone, order>(plan, rows, width, out);
    case ColourModel::rgb:
      return model_row<ColourModel::rgb, tone, order>(plan, rows, width, out);
    case ColourModel::cmyk:
      return model_row<ColourModel::cmyk, tone, order>(plan, rows, width, out);
    case ColourModel::ycck:
      return model_row<ColourModel::ycck, tone, order>(plan, rows, width, out);
  }
}

// Three-component frames hold red, green, blue rather than YCbCr when an Adobe segment says
// so (transform 0), or when no JFIF or Adobe segment says anything and the components are
// named 'R', 'G', 'B'. Four components are YCCK when an Adobe segment says so (transform 2).
ColourModel colour_model(const DecoderState& d) {
  if (d.component_count == 1) return ColourModel::grey;
  if (d.component_count == 4) {
    return d.adobe_seen && d.adobe_transform == 2 ? ColourModel::ycck : ColourModel::cmyk;
  }
  if (d.jfif_seen) return ColourModel::ycbcr;
  if (d.adobe_seen) return d.adobe_transform == 0 ? ColourModel::rgb : ColourModel::ycbcr;
  const ComponentPlane* c = d.components;
  return c[0].id == 'R' && c[1].id == 'G' && c[2].id == 'B' ? ColourModel::rgb : ColourModel::ycbcr;
}

// The power of two by which a plane falls short of the picture across (or down).
int32_t shortfall(int32_t plane_size, int32_t image_size) {
  int32_t shift = 0;
  for (int32_t size = plane_size; size < image_size; size *= 2) ++shift;
  return shift;
}

// Room for one enlarged row of each plane, each starting on a 32-byte boundary.
int32_t scratch_stride(int32_t width) { return (width + 31) & ~31; }

}  // namespace

void upsample_row(const uint8_t* row, int32_t xs, int32_t width, uint8_t* out) {
  for (int32_t x = 0; x < width; ++x) out[x] = row[x >> xs];
}

void prepare_planes(DecoderState& d) {
  RenderPlan& plan = d.render_plan;
  plan.model = colour_model(d);
  bool enlarged = false;
  for (int32_t i = 0; i < d.component_count; ++i) {
    plan.xs[i] = shortfall(d.components[i].plane_width, d.width);
    plan.ys[i] = shortfall(d.components[i].plane_height, d.height);
    enlarged = enlarged || plan.xs[i] != 0;
  }
  plan.chroma_in_place = d.component_count == 3 && plan.xs[0] == 0 && plan.ys[0] == 0 &&
                         plan.xs[1] <= 1 && plan.xs[1] == plan.xs[2] && plan.ys[1] == plan.ys[2];
  if (!enlarged || plan.chroma_in_place) return;
  const size_t bytes = size_t{max_components} * static_cast<size_t>(scratch_stride(d.width));
  d.row_scratch = static_cast<uint8_t*>(platform_allocate(bytes));
  if (d.row_scratch == nullptr) fail(d, Fault::out_of_memory);
}

void render_row(DecoderState& d, int32_t y, ChannelOrder order, uint8_t* out) {
  const RenderPlan& plan = d.render_plan;
  // A progressive frame's planes hold one MCU row, made from the store when first needed; a
  // plane's rows for the picture rows of an MCU row lie in that MCU row too.
  int32_t strip_row = 0;
  if (d.progressive) {
    strip_row = y / d.mcu_height;
    if (strip_row != d.strip_row) fill_strip(d, strip_row);
  }
  const uint8_t* rows[max_components] = {};
  for (int32_t i = 0; i < d.component_count; ++i) {
    const ComponentPlane& plane = d.components[i];
    const int32_t first_row = strip_row * 8 * plane.v_samp;
    rows[i] = plane.samples + ((y >> plan.ys[i]) - first_row) * plane.stride;
    if (plan.xs[i] != 0 && !plan.chroma_in_place) {
      uint8_t* enlarged = d.row_scratch + i * scratch_stride(d.width);
      upsample_row(rows[i], plan.xs[i], d.width, enlarged);
      rows[i] = enlarged;
    }
  }
  const bool tone = !d.plain_colour;
  if (order == ChannelOrder::rgb) {
    tone ? toned_row<true, ChannelOrder::rgb>(plan, rows, d.width, out)
         : toned_row<false, ChannelOrder::rgb>(plan, rows, d.width, out);
  } else {
    tone ? toned_row<true, ChannelOrder::bgr>(plan, rows, d.width, out)
         : toned_row<false, ChannelOrder::bgr>(plan, rows, d.width, out);
  }
}

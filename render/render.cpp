// Rendering a decoded picture row by row. Chroma planes subsampled by two beside a full luma
// plane are read in place (x >> 1, y >> 1), which is what replication would have copied; any
// other plane that falls short across is enlarged a row at a time, by shifts where its ratio to
// the picture is a power of two and by runs of copies where it is 3.

#include "render/render.h"

#include <cstddef>
#include <cstdint>

#include "kernels/kernel_set.h"
#include "platform/platform.h"

namespace {

// The shift that divides by `ratio` (1 to 8), or -1 where it is not a power of two.
int32_t shift_of(int32_t ratio) {
  int32_t shift = 0;
  while ((1 << shift) < ratio) ++shift;
  return (1 << shift) == ratio ? shift : -1;
}

// Room for one enlarged row of each plane, each starting on a 32-byte boundary.
int32_t scratch_stride(int32_t width) { return (width + 31) & ~31; }

}  // namespace

void upsample_row(const uint8_t* row, int32_t xs, int32_t width, uint8_t* out) {
  for (int32_t x = 0; x < width; ++x) out[x] = row[x >> xs];
}

void replicate_row(const uint8_t* row, int32_t ratio, int32_t width, uint8_t* out) {
  int32_t x = 0;
  // The one ratio that rendering brings here, with its run written out: three stores a sample.
  for (; ratio == 3 && x + 3 <= width; x += 3, ++row) out[x] = out[x + 1] = out[x + 2] = *row;
  for (; x + ratio <= width; ++row) {
    for (int32_t k = 0; k < ratio; ++k) out[x++] = *row;
  }
  for (; x < width; ++x) out[x] = *row;  // the part of a run the picture's edge leaves
}

bool begin_render(Renderer& r, const Picture& picture, const RenderOptions& options) {
  r = Renderer{};
  r.width = picture.width;
  r.component_count = picture.component_count;
  bool enlarged = false;
  for (int32_t i = 0; i < picture.component_count; ++i) {
    const PicturePlane& plane = picture.planes[i];
    r.across[i] = plane.across;
    r.down[i] = plane.down;
    r.xs[i] = shift_of(plane.across);
    r.ys[i] = shift_of(plane.down);
    r.strides[i] = plane.stride;
    enlarged = enlarged || plane.across != 1;
  }
  const bool chroma_in_place = picture.component_count == 3 && r.across[0] == 1 && r.down[0] == 1 &&
                               r.across[1] <= 2 && r.across[1] == r.across[2] &&
                               r.down[1] == r.down[2];
  r.kernel = kernels().row_kernel(picture.model, options.tone, chroma_in_place && r.across[1] == 2);
  r.enlarge = enlarged && !chroma_in_place;
  if (!r.enlarge) return true;
  const size_t bytes = size_t{max_components} * static_cast<size_t>(scratch_stride(r.width));
  r.scratch = static_cast<uint8_t*>(platform_allocate(bytes));
  return r.scratch != nullptr;
}

void end_render(Renderer& r) {
  platform_release(r.scratch);
  r.scratch = nullptr;
}

void render_span(const Renderer& r, const Strip& strip, int32_t y, int32_t x0, int32_t count,
                 uint8_t* out) {
  // A plane's rows for the picture rows of an MCU row lie in that MCU row too.
  const uint8_t* rows[max_components] = {};
  for (int32_t i = 0; i < r.component_count; ++i) {
    const int32_t plane_y = r.ys[i] >= 0 ? y >> r.ys[i] : y / r.down[i];
    // x0 is a multiple of every ratio: the span starts on a plane sample.
    rows[i] = strip.rows[i] + (plane_y - strip.first_row[i]) * r.strides[i] + x0 / r.across[i];
    if (r.enlarge && r.across[i] != 1) {
      uint8_t* enlarged = r.scratch + i * scratch_stride(r.width);
      if (r.xs[i] >= 0) {
        upsample_row(rows[i], r.xs[i], count, enlarged);
      } else {
        replicate_row(rows[i], r.across[i], count, enlarged);
      }
      rows[i] = enlarged;
    }
  }
  r.kernel(rows, count, out);
}

void render_row(const Renderer& r, const Strip& strip, int32_t y, uint8_t* out) {
  render_span(r, strip, y, 0, r.width, out);
}

// Rendering a decoded picture row by row. Chroma planes subsampled by two beside a full luma
// plane are read in place (x >> 1, y >> 1), which is what replication would have copied; any
// other plane that falls short across is enlarged a row at a time.

#include "render/render.h"

#include <cstddef>
#include <cstdint>

#include "kernels/kernel_set.h"
#include "platform/platform.h"

namespace {

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

bool begin_render(Renderer& r, const Picture& picture, const RenderOptions& options) {
  r = Renderer{};
  r.width = picture.width;
  r.component_count = picture.component_count;
  bool enlarged = false;
  for (int32_t i = 0; i < picture.component_count; ++i) {
    const PicturePlane& plane = picture.planes[i];
    r.xs[i] = shortfall(plane.plane_width, picture.width);
    r.ys[i] = shortfall(plane.plane_height, picture.height);
    r.strides[i] = plane.stride;
    enlarged = enlarged || r.xs[i] != 0;
  }
  const bool chroma_in_place = picture.component_count == 3 && r.xs[0] == 0 && r.ys[0] == 0 &&
                               r.xs[1] <= 1 && r.xs[1] == r.xs[2] && r.ys[1] == r.ys[2];
  r.kernel = kernels().row_kernel(picture.model, options.tone, chroma_in_place && r.xs[1] == 1);
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

void render_row(const Renderer& r, const Strip& strip, int32_t y, uint8_t* out) {
  // A plane's rows for the picture rows of an MCU row lie in that MCU row too.
  const uint8_t* rows[max_components] = {};
  for (int32_t i = 0; i < r.component_count; ++i) {
    rows[i] = strip.rows[i] + ((y >> r.ys[i]) - strip.first_row[i]) * r.strides[i];
    if (r.enlarge && r.xs[i] != 0) {
      uint8_t* enlarged = r.scratch + i * scratch_stride(r.width);
      upsample_row(rows[i], r.xs[i], r.width, enlarged);
      rows[i] = enlarged;
    }
  }
  r.kernel(rows, r.width, out);
}

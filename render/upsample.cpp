// Enlarges a subsampled plane by a power of two in each direction by plain replication.

#include <cstdint>

#include "platform/platform.h"
#include "render/render.h"

void upsample_plane(ComponentPlane* plane) {
  int32_t w = plane->plane_width;
  int32_t xs = 0;
  while (w < decoder.width) {
    w *= 2;
    ++xs;
  }
  int32_t h = plane->plane_height;
  int32_t ys = 0;
  while (h < decoder.height) {
    h *= 2;
    ++ys;
  }
  // The frame header bounds width x height x 3 by INT32_MAX and each enlarged side stays below
  // the image side plus the subsampling factor, so w x h fits in 32 bits.
  auto* enlarged = static_cast<uint8_t*>(
      platform_allocate(size_t{static_cast<uint32_t>(w)} * static_cast<uint32_t>(h)));
  if (enlarged == nullptr) {
    fail();
    return;
  }
  uint8_t* out = enlarged;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* source = plane->samples + (y >> ys) * plane->stride;
    if (xs == 0) {
      for (int32_t x = 0; x < w; ++x) out[x] = source[x];
    } else {
      for (int32_t x = 0; x < w; ++x) out[x] = source[x >> xs];
    }
    out += w;
  }
  platform_release(plane->samples);
  plane->samples = enlarged;
  plane->stride = w;
  plane->plane_width = w;
  plane->plane_height = h;
}

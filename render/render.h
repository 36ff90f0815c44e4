#pragma once
// Sepia rendering of a decoded picture, one picture row at a time: subsampled planes enlarged
// by replication, then the picture's row kernel (colour conversion and the tone), chosen once.

#include <cstdint>

#include "jpeg/picture.h"
#include "kernels/colour.h"

struct RenderOptions {
  bool tone = true;  // false: the plain colour, for comparing it with other decoders
};

// How a picture's planes are read, settled once per picture.
struct Renderer {
  int32_t width;
  int32_t component_count;
  // Plane i is read at (x / across[i], y / down[i]): by the shifts xs[i] and ys[i] where the
  // ratio is a power of two, -1 where it is not (3).
  int32_t across[max_components];
  int32_t down[max_components];
  int32_t xs[max_components];
  int32_t ys[max_components];
  int32_t strides[max_components];
  // Planes read at reduced width are enlarged a row at a time into `scratch`, except where the
  // kernel reads chroma at half width in place.
  bool enlarge;
  RowKernel kernel;
  uint8_t* scratch;  // owned
};

// False, with nothing held, when there is no memory for the enlarged rows.
bool begin_render(Renderer& r, const Picture& picture, const RenderOptions& options);
void end_render(Renderer& r);

// Renders picture row y (0 the top), whose MCU row `strip` holds, as `width` pixels of blue,
// green, red. It may write one byte past them, which `out` must have room for.
void render_row(const Renderer& r, const Strip& strip, int32_t y, uint8_t* out);

// Picture columns where a span may start: a multiple of every whole ratio (1, 2, 3, 4, 8).
constexpr int32_t span_alignment = 24;

// Renders `count` pixels of picture row y from column x0, a multiple of span_alignment, as
// render_row renders them in the whole row; it may write one byte past them.
void render_span(const Renderer& r, const Strip& strip, int32_t y, int32_t x0, int32_t count,
                 uint8_t* out);

// Enlarges one plane row by 2^xs across: output sample x is row[x >> xs], for x below `width`.
void upsample_row(const uint8_t* row, int32_t xs, int32_t width, uint8_t* out);
// The same by any whole ratio: output sample x is row[x / ratio].
void replicate_row(const uint8_t* row, int32_t ratio, int32_t width, uint8_t* out);

// The rows of a decoded picture, rendered from the MCU row that holds each and turned upright
// as its orientation asks.

#include "entry/orientation.h"

#include <cstdint>

#include "jpeg/decoder.h"
#include "platform/platform.h"
#include "render/render.h"

namespace {

// Renders stored row y, loading the MCU row that holds it when it is not the one loaded.
void render_stored_row(PictureRows& p, int32_t y, uint8_t* bgr) {
  const int32_t mcu_row = y / p.mcu_height;
  if (mcu_row != p.strip.mcu_row) p.strip = load_strip(*p.decoder, mcu_row, &p.planes);
  render_row(p.renderer, p.strip, y, bgr);
}

// Reverses the order of `count` pixels of 3 bytes.
void mirror_row(uint8_t* row, int32_t count) {
  uint8_t* left = row;
  uint8_t* right = row + 3 * (int64_t{count} - 1);
  for (; left < right; left += 3, right -= 3) {
    for (int32_t k = 0; k < 3; ++k) {
      const uint8_t byte = left[k];
      left[k] = right[k];
      right[k] = byte;
    }
  }
}

}  // namespace

bool begin_rows(const DecoderState& d, bool upright, const RenderOptions& options,
                PictureRows* rows) {
  const Picture picture = picture_of(d);
  const int32_t orientation = upright ? picture.orientation : 1;
  const bool quarter = turns_a_quarter(orientation);
  *rows = PictureRows{&d,
                      Renderer{},
                      StripPlanes{},
                      Strip{},
                      picture.mcu_height,
                      orientation,
                      quarter ? picture.height : picture.width,
                      quarter ? picture.width : picture.height,
                      nullptr};
  rows->strip.mcu_row = -1;
  if (!make_strip_planes(d, &rows->planes)) return false;
  if (!begin_render(rows->renderer, picture, options)) {
    free_strip_planes(&rows->planes);
    return false;
  }
  if (!quarter) return true;
  // The frame header bounds width x height x 3 by INT32_MAX; one more byte for the last row's
  // spare byte, which render_row may write.
  const int64_t row_bytes = int64_t{picture.width} * 3;
  rows->pixels =
      static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(row_bytes * picture.height + 1)));
  if (rows->pixels == nullptr) {
    end_rows(rows);
    return false;
  }
  uint8_t* row = rows->pixels;
  for (int32_t y = 0; y < picture.height; ++y, row += row_bytes) render_stored_row(*rows, y, row);
  return true;
}

void end_rows(PictureRows* rows) {
  platform_release(rows->pixels);
  rows->pixels = nullptr;
  end_render(rows->renderer);
  free_strip_planes(&rows->planes);
}

void render_picture_row(void* context, int32_t y, uint8_t* bgr) {
  auto& p = *static_cast<PictureRows*>(context);
  // The stored picture's size: the written one's, swapped back for quarter turns.
  const int32_t width = turns_a_quarter(p.orientation) ? p.height : p.width;
  const int32_t height = turns_a_quarter(p.orientation) ? p.width : p.height;
  switch (p.orientation) {
    case 2:
      render_stored_row(p, y, bgr);
      mirror_row(bgr, width);
      return;
    case 3:
      render_stored_row(p, height - 1 - y, bgr);
      mirror_row(bgr, width);
      return;
    case 4:
      render_stored_row(p, height - 1 - y, bgr);
      return;
    case 5:
    case 6:
    case 7:
    case 8: {
      // Upright row y is a column of the stored picture: column y for 5 and 6, counted from the
      // right for 7 and 8; read downwards for 5 and 8, upwards for 6 and 7.
      const int64_t stride = int64_t{width} * 3;
      const int32_t column = p.orientation <= 6 ? y : width - 1 - y;
      const bool downwards = p.orientation == 5 || p.orientation == 8;
      const int64_t step = downwards ? stride : -stride;
      int64_t at = int64_t{column} * 3 + (downwards ? 0 : stride * (height - 1));
      for (const uint8_t* end = bgr + int64_t{p.width} * 3; bgr != end; bgr += 3, at += step) {
        bgr[0] = p.pixels[at];
        bgr[1] = p.pixels[at + 1];
        bgr[2] = p.pixels[at + 2];
      }
      return;
    }
    default:
      render_stored_row(p, y, bgr);
  }
}

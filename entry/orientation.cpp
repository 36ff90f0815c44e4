// The rows of a decoded picture, rendered from the MCU row that holds each and turned upright
// as its orientation asks.

#include "entry/orientation.h"

#include <algorithm>
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

// Stored columns a quarter turn renders at a time: the band holds them for every stored row,
// so that its memory is in proportion to the picture's height alone.
constexpr int32_t band_columns = 4 * span_alignment;

// Renders the band of stored columns that holds `column`, from every stored row.
void fill_band(PictureRows& p, int32_t column, int32_t stored_width, int32_t stored_height) {
  const int32_t first = column / p.band_columns * p.band_columns;
  const int32_t count = std::min(p.band_columns, stored_width - first);
  uint8_t* row = p.band;
  const int64_t row_bytes = int64_t{p.band_columns} * 3;
  for (int32_t y = 0; y < stored_height; ++y, row += row_bytes) {
    const int32_t mcu_row = y / p.mcu_height;
    if (mcu_row != p.strip.mcu_row || first != p.band_first) {
      p.strip = load_strip(*p.decoder, mcu_row, &p.planes, first, first + count);
    }
    p.band_first = first;
    render_span(p.renderer, p.strip, y, first, count, row);
  }
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
                      nullptr,
                      -1,
                      0};
  rows->strip.mcu_row = -1;
  if (!make_strip_planes(d, &rows->planes)) return false;
  if (!begin_render(rows->renderer, picture, options)) {
    free_strip_planes(&rows->planes);
    return false;
  }
  if (!quarter) return true;
  // One spare byte after the last row, which render_span may write.
  rows->band_columns = band_columns;
  const int64_t band_bytes = int64_t{band_columns} * 3 * picture.height + 1;
  rows->band = static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(band_bytes)));
  if (rows->band == nullptr) {
    end_rows(rows);
    return false;
  }
  return true;
}

void end_rows(PictureRows* rows) {
  platform_release(rows->band);
  rows->band = nullptr;
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
      const int32_t column = p.orientation <= 6 ? y : width - 1 - y;
      if (p.band_first < 0 || column < p.band_first || column >= p.band_first + p.band_columns) {
        fill_band(p, column, width, height);
      }
      const bool downwards = p.orientation == 5 || p.orientation == 8;
      const int64_t stride = int64_t{p.band_columns} * 3;
      const int64_t step = downwards ? stride : -stride;
      int64_t at = int64_t{column - p.band_first} * 3 + (downwards ? 0 : stride * (height - 1));
      for (const uint8_t* end = bgr + int64_t{p.width} * 3; bgr != end; bgr += 3, at += step) {
        bgr[0] = p.band[at];
        bgr[1] = p.band[at + 1];
        bgr[2] = p.band[at + 2];
      }
      return;
    }
    default:
      render_stored_row(p, y, bgr);
  }
}

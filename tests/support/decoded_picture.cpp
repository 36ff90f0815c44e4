#include "support/decoded_picture.h"

#include <utility>

#include "entry/orientation.h"
#include "render/render.h"

DecodedPicture decode_picture(const Bytes& jpeg, bool tone, bool salvage, int64_t max_pixels) {
  DecodedPicture picture;
  DecoderState* d = new_decoder();
  if (d == nullptr) return picture;
  d->salvage = salvage;
  d->max_pixels = max_pixels;
  picture.result = decode_jpeg(*d, jpeg.data(), static_cast<int32_t>(jpeg.size()));
  picture.fault = d->fault;
  picture.fault_detail = d->fault_detail;
  picture.damage = d->damage;
  RenderOptions options;
  options.tone = tone;
  PictureRows rows;
  if (picture.result == 0 && begin_rows(*d, false, options, &rows)) {
    picture.width = rows.width;
    picture.height = rows.height;
    picture.orientation = picture_of(*d).orientation;
    const size_t row_bytes = static_cast<size_t>(rows.width) * 3;
    // One spare byte: a row may be written one byte past its end.
    picture.pixels.resize(row_bytes * static_cast<size_t>(rows.height) + 1);
    for (int32_t y = 0; y < rows.height; ++y) {
      uint8_t* row = picture.pixels.data() + row_bytes * static_cast<size_t>(y);
      render_picture_row(&rows, y, row);
      for (int32_t x = 0; x < rows.width; ++x) std::swap(row[3 * x], row[3 * x + 2]);
    }
    picture.pixels.pop_back();
    end_rows(&rows);
  }
  delete_decoder(d);
  return picture;
}

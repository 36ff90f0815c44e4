#include "support/decoded_picture.h"

#include "render/render.h"

DecodedPicture decode_picture(const Bytes& jpeg, bool plain_colour) {
  DecodedPicture picture;
  DecoderState* d = new_decoder();
  if (d == nullptr) return picture;
  d->plain_colour = plain_colour;
  picture.status = decode_jpeg(*d, jpeg.data(), static_cast<int32_t>(jpeg.size()));
  picture.fault = d->fault;
  picture.fault_detail = d->fault_detail;
  if (picture.status == status_running) {
    picture.width = d->width;
    picture.height = d->height;
    const size_t row_bytes = static_cast<size_t>(d->width) * 3;
    // One spare byte: a row may be written one byte past its end.
    picture.pixels.resize(row_bytes * static_cast<size_t>(d->height) + 1);
    for (int32_t y = 0; y < d->height; ++y) {
      render_row(*d, y, ChannelOrder::rgb, picture.pixels.data() + row_bytes * y);
    }
    picture.pixels.pop_back();
  }
  delete_decoder(d);
  return picture;
}

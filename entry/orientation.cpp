// The EXIF Orientation tag, and the picture turned upright as it says: 2 mirrors left-right,
// 3 turns 180 degrees, 4 mirrors top-bottom, 5 transposes, 6 turns 90 degrees clockwise,
// 7 transverses and 8 turns 90 degrees counter-clockwise.

#include "entry/orientation.h"

#include <cstdint>
#include <cstring>

#include "common/byte_order.h"
#include "platform/platform.h"
#include "render/render.h"

namespace {

constexpr int32_t tag_orientation = 0x0112;
constexpr int32_t type_short = 3;
constexpr int32_t ifd_entry_bytes = 12;

// A TIFF structure of `size` bytes in either byte order. Every read asks for its place first:
// offsets come from the file, so they are compared with what is left, never added to.
struct TiffReader {
  const uint8_t* start;
  int64_t size;
  bool little_endian;

  bool holds(int64_t at, int64_t bytes) const { return at >= 0 && at <= size - bytes; }
  uint32_t u16(int64_t at) const {
    const uint8_t* p = start + at;
    return little_endian ? uint32_t{p[0]} | uint32_t{p[1]} << 8 : uint32_t{p[0]} << 8 | p[1];
  }
  uint32_t u32(int64_t at) const {
    return little_endian ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  }
};

// The orientation in IFD0 of the TIFF structure after "Exif\0\0".
int32_t tiff_orientation(const uint8_t* tiff, int32_t size) {
  if (size < 8) return 1;
  TiffReader r{tiff, size, tiff[0] == 'I'};
  const bool ordered = (tiff[0] == 'I' && tiff[1] == 'I') || (tiff[0] == 'M' && tiff[1] == 'M');
  if (!ordered || r.u16(2) != 42) return 1;
  const int64_t ifd = r.u32(4);
  if (!r.holds(ifd, 2)) return 1;
  // An IFD that claims more entries than the segment holds is damaged as a whole.
  const int64_t entries = r.u16(ifd);
  if (!r.holds(ifd + 2, entries * ifd_entry_bytes)) return 1;
  for (int64_t i = 0; i < entries; ++i) {
    const int64_t entry = ifd + 2 + i * ifd_entry_bytes;
    if (r.u16(entry) != tag_orientation) continue;
    // A SHORT of count 1 sits in the first two bytes of the value field.
    if (r.u16(entry + 2) != type_short || r.u32(entry + 4) != 1) return 1;
    const uint32_t value = r.u16(entry + 8);
    return value >= 1 && value <= 8 ? static_cast<int32_t>(value) : 1;
  }
  return 1;
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

int32_t read_exif_orientation(const uint8_t* data, int32_t size) {
  if (data == nullptr || size < 4 || data[0] != 0xFF || data[1] != 0xD8) return 1;
  int64_t at = 2;
  // The markers before the first scan, read as the decoder reads them: fill bytes skipped, and
  // the marker's first byte not examined.
  while (at <= int64_t{size} - 2) {
    if (data[at] == 0xFF) {
      while (at < int64_t{size} - 2 && data[at + 1] == 0xFF) ++at;
    }
    const uint8_t code = data[at + 1];
    at += 2;
    if (code == 0xDA || code == 0xD9) return 1;
    if ((code & 0xF8) == 0xD0 || code == 0x01) continue;  // markers without a segment
    if (at > int64_t{size} - 2) return 1;
    const int32_t length = read_be16(data + at);
    if (length < 2 || length > int64_t{size} - at) return 1;
    const uint8_t* content = data + at + 2;
    const int32_t content_bytes = length - 2;
    if (code == 0xE1 && content_bytes >= 6 && memcmp(content, "Exif\0\0", 6) == 0) {
      return tiff_orientation(content + 6, content_bytes - 6);
    }
    at += length;
  }
  return 1;
}

bool begin_turn(DecoderState& d, int32_t orientation, TurnedPicture* turned) {
  const bool quarter = turns_a_quarter(orientation);
  *turned = TurnedPicture{&d, orientation, quarter ? d.height : d.width,
                          quarter ? d.width : d.height, nullptr};
  if (!quarter) return true;
  // The frame header bounds width x height x 3 by INT32_MAX; one more byte for the last row's
  // spare byte, which render_row may write.
  const int64_t row_bytes = int64_t{d.width} * 3;
  turned->pixels =
      static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(row_bytes * d.height + 1)));
  if (turned->pixels == nullptr) return false;
  uint8_t* row = turned->pixels;
  for (int32_t y = 0; y < d.height; ++y, row += row_bytes) render_row(d, y, ChannelOrder::bgr, row);
  return true;
}

void end_turn(TurnedPicture* turned) {
  platform_release(turned->pixels);
  turned->pixels = nullptr;
}

void render_turned_row(void* context, int32_t y, uint8_t* bgr) {
  const auto& t = *static_cast<const TurnedPicture*>(context);
  DecoderState& d = *t.decoder;
  switch (t.orientation) {
    case 2:
      render_row(d, y, ChannelOrder::bgr, bgr);
      mirror_row(bgr, d.width);
      return;
    case 3:
      render_row(d, d.height - 1 - y, ChannelOrder::bgr, bgr);
      mirror_row(bgr, d.width);
      return;
    case 4:
      render_row(d, d.height - 1 - y, ChannelOrder::bgr, bgr);
      return;
    case 5:
    case 6:
    case 7:
    case 8: {
      // Upright row y is a column of the stored picture: column y for 5 and 6, counted from the
      // right for 7 and 8; read downwards for 5 and 8, upwards for 6 and 7.
      const int64_t stride = int64_t{d.width} * 3;
      const int32_t column = t.orientation <= 6 ? y : d.width - 1 - y;
      const bool downwards = t.orientation == 5 || t.orientation == 8;
      const int64_t step = downwards ? stride : -stride;
      int64_t at = int64_t{column} * 3 + (downwards ? 0 : stride * (d.height - 1));
      for (const uint8_t* end = bgr + int64_t{t.width} * 3; bgr != end; bgr += 3, at += step) {
        bgr[0] = t.pixels[at];
        bgr[1] = t.pixels[at + 1];
        bgr[2] = t.pixels[at + 2];
      }
      return;
    }
    default:
      render_row(d, y, ChannelOrder::bgr, bgr);
  }
}

// The 24-bit BMP writer: a 54-byte header, then the rows bottom-up, each pixel blue, green, red,
// each row filled out with zeros to a multiple of four bytes.

#include "bmp/bmp_writer.h"

#include <cstdint>

#include "common/byte_order.h"
#include "platform/platform.h"

namespace {

int32_t row_padding(int32_t width) { return (4 - (width * 3) % 4) % 4; }

// Writes the rows through a small buffer, so that no row or picture copy is allocated.
bool write_rows(PlatformFile* file, int32_t width, int32_t height, const uint8_t* pixels) {
  constexpr int32_t chunk_pixels = 4096;
  uint8_t chunk[chunk_pixels * 3 + 3];
  const int32_t pad = row_padding(width);
  const int64_t row_bytes = int64_t{width} * 3;
  for (int32_t k = 0; k < height; ++k) {
    const uint8_t* source = pixels + (height - 1 - k) * row_bytes;
    for (int32_t x = 0; x < width;) {
      const int32_t count = width - x < chunk_pixels ? width - x : chunk_pixels;
      uint8_t* out = chunk;
      for (const uint8_t* end = source + 3 * count; source != end; source += 3, out += 3) {
        out[0] = source[2];
        out[1] = source[1];
        out[2] = source[0];
      }
      x += count;
      if (x == width) {
        for (int32_t i = 0; i < pad; ++i) *out++ = 0;
      }
      if (!platform_write(chunk, static_cast<size_t>(out - chunk), file)) return false;
    }
  }
  return true;
}

}  // namespace

void build_bmp_header(int32_t width, int32_t height, uint8_t header[bmp_header_bytes]) {
  platform_fill(header, bmp_header_bytes);
  // Sizes in 32-bit unsigned arithmetic: the frame header bounds width x height x 3 by
  // INT32_MAX, so with padding and header the file size stays below 2^32.
  const uint32_t row_bytes = static_cast<uint32_t>(width) * 3 + row_padding(width);
  header[0] = 'B';
  header[1] = 'M';
  write_le32(header + 2, bmp_header_bytes + row_bytes * static_cast<uint32_t>(height));
  write_le32(header + 10, bmp_header_bytes);
  write_le32(header + 14, 40);
  write_le32(header + 18, static_cast<uint32_t>(width));
  write_le32(header + 22, static_cast<uint32_t>(height));
  write_le16(header + 26, 1);
  write_le16(header + 28, 24);
}

bool write_bmp(const char* path, int32_t width, int32_t height, const uint8_t* pixels) {
  uint8_t header[bmp_header_bytes];
  build_bmp_header(width, height, header);
  PendingFile pending;
  if (!platform_begin_replace(path, &pending)) {
    emit_message("Error opening the output file.");
    return false;
  }
  const bool written = platform_write(header, bmp_header_bytes, pending.stream) &&
                       write_rows(pending.stream, width, height, pixels);
  if (!written) {
    platform_abort_replace(&pending);
    emit_message("Error writing the output file.");
    return false;
  }
  if (!platform_commit_replace(&pending)) {
    emit_message("Error writing the output file.");
    return false;
  }
  return true;
}

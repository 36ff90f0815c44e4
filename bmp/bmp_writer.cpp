// The 24-bit BMP writer: a 54-byte header, then the rows bottom-up, each pixel blue, green, red,
// each row filled out with zeros to a multiple of four bytes.

#include "bmp/bmp_writer.h"

#include <cstdint>

#include "common/byte_order.h"
#include "platform/platform.h"

namespace {

int32_t row_padding(int32_t width) { return (4 - (width * 3) % 4) % 4; }

// Rows are gathered into batches of about this many bytes, so that each write is large.
constexpr int64_t batch_bytes = 256 * 1024;

bool write_rows(BmpByteSink sink, void* sink_context, int32_t width, int32_t height,
                BmpRowSource source, void* context, uint8_t* batch, int32_t batch_rows) {
  const int32_t pad = row_padding(width);
  const int64_t row_bytes = int64_t{width} * 3 + pad;
  for (int32_t k = 0; k < height;) {
    uint8_t* out = batch;
    for (const int32_t end = k + batch_rows < height ? k + batch_rows : height; k < end; ++k) {
      source(context, height - 1 - k, out);
      out += row_bytes;
      for (int32_t i = 0; i < pad; ++i) out[i - pad] = 0;
    }
    if (!sink(sink_context, batch, static_cast<size_t>(out - batch))) return false;
  }
  return true;
}

}  // namespace

void build_bmp_header(int32_t width, int32_t height, uint8_t header[bmp_header_bytes]) {
  platform_fill(header, bmp_header_bytes);
  // Sizes in 32-bit unsigned arithmetic: the frame header bounds width x height x 3 by
  // INT32_MAX, so with padding and header the file size stays below 2^32.
  const uint32_t row_bytes =
      static_cast<uint32_t>(width) * 3 + static_cast<uint32_t>(row_padding(width));
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

namespace {

// The batch buffer: rows fitting in about batch_bytes, and one spare byte after the last row,
// which a row source may write. Null when there is no memory for it.
uint8_t* allocate_batch(int32_t width, int32_t* batch_rows) {
  const int64_t row_bytes = int64_t{width} * 3 + row_padding(width);
  const int64_t fitting = row_bytes == 0 ? 1 : batch_bytes / row_bytes;
  *batch_rows = static_cast<int32_t>(fitting < 1 ? 1 : fitting);
  return static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(row_bytes * *batch_rows + 1)));
}

bool write_picture(BmpByteSink sink, void* sink_context, int32_t width, int32_t height,
                   BmpRowSource source, void* context, uint8_t* batch, int32_t batch_rows) {
  uint8_t header[bmp_header_bytes];
  build_bmp_header(width, height, header);
  return sink(sink_context, header, bmp_header_bytes) &&
         write_rows(sink, sink_context, width, height, source, context, batch, batch_rows);
}

bool file_sink(void* file, const uint8_t* bytes, size_t count) {
  return platform_write(bytes, count, static_cast<PlatformFile*>(file));
}

}  // namespace

BmpWriteResult write_bmp_rows(const char* path, int32_t width, int32_t height, BmpRowSource source,
                              void* context, bool durable) {
  int32_t batch_rows = 0;
  uint8_t* batch = allocate_batch(width, &batch_rows);
  if (batch == nullptr) return BmpWriteResult::cannot_write;
  PendingFile pending;
  if (!platform_begin_replace(path, &pending, durable)) {
    platform_release(batch);
    return BmpWriteResult::cannot_open;
  }
  const bool written =
      write_picture(file_sink, pending.stream, width, height, source, context, batch, batch_rows);
  platform_release(batch);
  if (!written) {
    platform_abort_replace(&pending);
    return BmpWriteResult::cannot_write;
  }
  return platform_commit_replace(&pending) ? BmpWriteResult::written : BmpWriteResult::cannot_write;
}

bool write_bmp_to(BmpByteSink sink, void* sink_context, int32_t width, int32_t height,
                  BmpRowSource source, void* context) {
  int32_t batch_rows = 0;
  uint8_t* batch = allocate_batch(width, &batch_rows);
  if (batch == nullptr) return false;
  const bool written =
      write_picture(sink, sink_context, width, height, source, context, batch, batch_rows);
  platform_release(batch);
  return written;
}

void render_bmp_into(uint8_t* bmp, int32_t width, int32_t height, BmpRowSource source,
                     void* context) {
  build_bmp_header(width, height, bmp);
  const int32_t pad = row_padding(width);
  const int64_t row_bytes = int64_t{width} * 3 + pad;
  uint8_t* out = bmp + bmp_header_bytes;
  for (int32_t k = 0; k < height; ++k, out += row_bytes) {
    source(context, height - 1 - k, out);
    for (int32_t i = 0; i < pad; ++i) out[width * 3 + i] = 0;
  }
}

int64_t bmp_row_bytes(int32_t width) { return int64_t{width} * 3 + row_padding(width); }

BmpWriteResult begin_bmp_file(const char* path, int32_t width, int32_t height, bool durable,
                              BmpFile* file) {
  *file = BmpFile{};
  file->width = width;
  file->height = height;
  file->row_bytes = bmp_row_bytes(width);
  if (!platform_begin_replace(path, &file->pending, durable)) return BmpWriteResult::cannot_open;
  uint8_t header[bmp_header_bytes];
  build_bmp_header(width, height, header);
  if (!platform_write_at(header, bmp_header_bytes, 0, file->pending.stream)) {
    platform_abort_replace(&file->pending);
    return BmpWriteResult::cannot_write;
  }
  return BmpWriteResult::written;
}

bool write_bmp_band(BmpFile* file, int32_t top_y, int32_t rows, const uint8_t* band) {
  // The band's lowest row, top_y + rows - 1, is file row height - top_y - rows.
  const int64_t first_file_row = int64_t{file->height} - top_y - rows;
  return platform_write_at(band, static_cast<size_t>(file->row_bytes * rows),
                           bmp_header_bytes + first_file_row * file->row_bytes,
                           file->pending.stream);
}

BmpWriteResult finish_bmp_file(BmpFile* file) {
  return platform_commit_replace(&file->pending) ? BmpWriteResult::written
                                                 : BmpWriteResult::cannot_write;
}

void abandon_bmp_file(BmpFile* file) { platform_abort_replace(&file->pending); }

int64_t bmp_file_size(int32_t width, int32_t height) {
  return bmp_header_bytes + bmp_row_bytes(width) * height;
}

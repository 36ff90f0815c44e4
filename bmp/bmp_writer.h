#pragma once
// The 24-bit BMP writer.

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr int32_t bmp_header_bytes = 54;

// Fills the 54-byte header of a width x height picture.
void build_bmp_header(int32_t width, int32_t height, uint8_t header[bmp_header_bytes]);

// Produces picture row y (0 the top) as `width` pixels of blue, green, red; it may write one
// byte past them.
using BmpRowSource = void (*)(void* context, int32_t y, uint8_t* bgr);

// How a write ended. The writer prints nothing: its caller tells the user.
enum class BmpWriteResult : uint8_t { written, cannot_open, cannot_write };

// Writes a width x height picture as a BMP file at `path`: bottom row first, blue, green, red,
// rows padded to four bytes. On failure it leaves whatever was at `path` as it was. A `durable`
// file reaches the disk before it counts as written.
BmpWriteResult write_bmp_rows(const char* path, int32_t width, int32_t height, BmpRowSource source,
                              void* context, bool durable);

// A BMP file written a band of rows at a time, in any order, with positioned writes, and moved
// into place only when complete, under the same rules as write_bmp_rows.
struct BmpFile {
  PendingFile pending;
  int32_t width;
  int32_t height;
  int64_t row_bytes;  // padded to four bytes
};

// Pads a row of `width` pixels in a band with zeros up to its four-byte boundary.
int64_t bmp_row_bytes(int32_t width);
// The size of a width x height BMP file.
int64_t bmp_file_size(int32_t width, int32_t height);

// Creates the file beside `path` and writes its header; cannot_open leaves nothing behind.
BmpWriteResult begin_bmp_file(const char* path, int32_t width, int32_t height, bool durable,
                              BmpFile* file);
// Writes picture rows `top_y` to `top_y + rows - 1` from `band`, which holds them as the file
// does: the lowest row first, each bmp_row_bytes long and padded. False when the write failed.
bool write_bmp_band(BmpFile* file, int32_t top_y, int32_t rows, const uint8_t* band);
// Moves the complete file into place: written, or cannot_write with nothing left behind.
BmpWriteResult finish_bmp_file(BmpFile* file);
void abandon_bmp_file(BmpFile* file);

// Takes the next `count` bytes of a BMP file; false when they could not be taken.
using BmpByteSink = bool (*)(void* context, const uint8_t* bytes, size_t count);

// The same bytes handed to `sink` in large pieces, in order; false when the sink failed, or
// there was no memory for a piece.
bool write_bmp_to(BmpByteSink sink, void* sink_context, int32_t width, int32_t height,
                  BmpRowSource source, void* context);

// The same bytes rendered in place into `bmp`, which holds bmp_file_size(width, height) and
// one spare byte after them, which a row source may write.
void render_bmp_into(uint8_t* bmp, int32_t width, int32_t height, BmpRowSource source,
                     void* context);

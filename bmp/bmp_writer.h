#pragma once
// The 24-bit BMP writer.

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
// rows padded to four bytes. On failure it leaves whatever was at `path` as it was.
BmpWriteResult write_bmp_rows(const char* path, int32_t width, int32_t height, BmpRowSource source,
                              void* context);

// The same bytes onto an open stream (standard output), flushed but not closed. A stream has
// nothing to replace: a write that fails part way leaves what went before where it went.
BmpWriteResult write_bmp_stream(PlatformFile* stream, int32_t width, int32_t height,
                                BmpRowSource source, void* context);

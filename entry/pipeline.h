#pragma once
// A picture written into its BMP file as the decoder makes its rows: each MCU row rendered and
// placed (the file is bottom-up, so rows go where they belong, not in order) as soon as it is
// final, on the calling thread between rows or on a second thread beside the decoder.

#include <cstdint>

#include "bmp/bmp_writer.h"
#include "jpeg/decoder.h"

struct PipelineOutcome {
  bool used;  // false: the rows were not written as they came; the caller writes the picture
  BmpWriteResult written;
};

// Decodes `size` bytes at `data` with `d`, writing the picture to `path` as it comes unless
// `upright` asks for a turn (the caller then writes it once decoded). `threads` 1 keeps all on
// the calling thread, 2 or more lets the rows be written on a second one, and 0 leaves it to
// the picture: a second thread for a large one, when no other conversion of this process is
// under way to keep the processors busy. After a decode that fails, nothing is left behind. A
// `durable` file reaches the disk before it counts as written.
PipelineOutcome decode_into_file(DecoderState& d, const uint8_t* data, int32_t size,
                                 const char* path, bool upright, int32_t threads, bool durable);

// Pictures from this many pixels on take a second thread when `threads` is 0.
constexpr int64_t threaded_pixels = 1 << 20;

#pragma once
// Runs BMPSepia on bytes and checks everything a caller can see, whatever the bytes were.

#include <cstdint>
#include <string>

#include "support/files.h"

// Runs BMPSepia with UTF-8 paths and returns its result and messages. The messages are caught by
// swapping the C stream `stderr` for one in memory, so that a sanitizer's report, which goes
// straight to descriptor 2, still reaches the console when a test dies of it.
Conversion convert_catching_messages(const std::string& jpeg_path, const std::string& bmp_path);

struct CheckedConversion {
  int result;
  std::string problem;      // empty when the outcome is sound
  bool damaged = false;     // salvaging: damage was passed over
  uint64_t pixel_hash = 0;  // of the decoded picture's pixels
};

// Writes `jpeg` into `dir` and converts it there. A sound outcome is either 999, no message and
// a complete BMP of the declared frame size, or 1, the one line "Error decoding jpg. Please try
// again..." and no output; in both cases no heap block is held afterwards and no other file
// (such as a half-written temporary) is left in `dir`. The output is removed afterwards.
CheckedConversion convert_and_check(const Bytes& jpeg, const TempDir& dir);

// The same through the decoder alone, in memory, as the fuzz target does: decode_jpeg, render
// every row, build the BMP header, free the record. 999 stands for a decoded picture of the
// declared size; a failure must name its fault. Salvaging, passed-over bytes may hide the frame
// header from the check's walk, so the picture's size is checked only when the walk finds it.
CheckedConversion decode_and_check(const Bytes& jpeg, bool salvage = false, int64_t max_pixels = 0);

#pragma once
// Pictures decoded from bytes in memory through the path BMPSepia runs on a loaded file: a
// record of its own, decode_jpeg, then every row rendered (red, green, blue, top first).

#include <gtest/gtest.h>

#include <cstdint>

#include "jpeg/decoder.h"
#include "support/files.h"

struct DecodedPicture {
  int32_t result = 1;  // decode_jpeg's
  Fault fault = Fault::none;
  int32_t fault_detail = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t orientation = 1;
  Fault damage = Fault::none;  // salvaging: the first damage passed over
  Bytes pixels;                // width x height x 3
};

// `tone` false renders the plain colour, for comparing it with other decoders; `salvage` writes
// what can be recovered of a damaged file.
// `max_pixels` (0: none) refuses larger frames as too large.
DecodedPicture decode_picture(const Bytes& jpeg, bool tone = true, bool salvage = false,
                              int64_t max_pixels = 0);

// A cleared record for each test, freed with whatever it holds at the end. Give each suite its
// own name for it: `using FrameHeader = DecoderTest;`.
class DecoderTest : public testing::Test {
 protected:
  DecoderTest() : d(*new_decoder()) {}
  ~DecoderTest() override { delete_decoder(&d); }
  DecoderState& d;
};

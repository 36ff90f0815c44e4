#pragma once
// The decoded picture, read out of the decoder's state after a successful decode and until
// release_decoder.

#include <cstdint>

const uint8_t* image_pixels();  // width x height red, green, blue pixels, top row first
int32_t image_width();
int32_t image_height();

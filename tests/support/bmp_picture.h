#pragma once
// The pixels of a 24-bit BMP file, and the eight EXIF orientations built from two turns a
// person can check by eye: a quarter turn clockwise and a left-right mirror.

#include <cstdint>
#include <string>

#include "support/files.h"

struct BmpPicture {
  int32_t width = 0;
  int32_t height = 0;
  Bytes bgr;  // top row first, 3 bytes a pixel, no padding
  bool operator==(const BmpPicture&) const = default;
};

// False when `file` is not a complete 24-bit bottom-up BMP.
bool read_bmp(const Bytes& file, BmpPicture* picture);

// The top row becomes the right column.
BmpPicture turn_clockwise(const BmpPicture& picture);
// The left column becomes the right column.
BmpPicture mirror_left_right(const BmpPicture& picture);
// The picture that EXIF orientation 1 to 8 asks to show, made from the two above.
BmpPicture upright(const BmpPicture& stored, int32_t orientation);

// Empty when equal; otherwise the size, or the first differing pixel with have and want.
std::string picture_difference(const BmpPicture& have, const BmpPicture& want);

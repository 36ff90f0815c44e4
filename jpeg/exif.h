#pragma once
// The EXIF Orientation tag, read from an APP1 "Exif" segment as the marker loop meets it.

#include <cstdint>

// The Orientation tag (0x0112) of IFD0 in the TIFF structure of `size` bytes at `tiff` (the
// segment's content after "Exif\0\0"), in either byte order: 1 to 8, or 1 when there is none or
// it is damaged or out of range. Reads nothing outside the structure.
int32_t tiff_orientation(const uint8_t* tiff, int32_t size);

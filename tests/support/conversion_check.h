#pragma once
// Checks of a conversion's outcome seen from outside, for any input: the frame size a JPEG file
// declares, and whether a BMP file is complete for that size. Standard library only, so that
// the fuzz targets use the same checks as the tests.

#include <cstdint>
#include <string>
#include <vector>

// The width and height of the first frame header, found by walking the segments as the decoder
// does (fill bytes passed over, the marker's first byte unexamined, each segment skipped by its
// length). False when the walk meets the scan, the end, or a marker the decoder refuses before
// any frame.
bool declared_frame_size(const std::vector<uint8_t>& jpeg, int32_t* width, int32_t* height);

// Whether a fuzz target should pass over this input: a frame of more than a few megapixels,
// which an arithmetic-coded file of a few bytes may declare, would take a fuzzer's memory and
// time without finding more than smaller ones do.
bool too_large_to_fuzz(const std::vector<uint8_t>& jpeg);

// The bytes a 24-bit BMP of width x height takes: 54 bytes of header, rows padded to 4 bytes.
int64_t bmp_file_bytes(int32_t width, int32_t height);

// Empty when `header` (the first 54 bytes or more of a file of `file_bytes` bytes) is the
// header of a complete 24-bit BMP of width x height; otherwise what is wrong with it.
std::string bmp_problem(const std::vector<uint8_t>& header, int64_t file_bytes, int32_t width,
                        int32_t height);

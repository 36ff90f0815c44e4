#pragma once
// The zig-zag sequence of T.81 (Figure A.6): entry k is the natural row-major index of zig-zag
// position k, the order in which a block's coefficients are coded.

#include <array>
#include <cstdint>

inline constexpr uint8_t zigzag_order[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Where zig-zag position k goes in a block held column by column, as the inverse DCT takes it:
// the coefficient of row v, column u at 8u + v. Its row is the index's low three bits.
inline constexpr uint8_t zigzag_by_columns[64] = {
    0,  8,  1,  2,  9,  16, 24, 17, 10, 3,  4,  11, 18, 25, 32, 40, 33, 26, 19, 12, 5,  6,
    13, 20, 27, 34, 41, 48, 56, 49, 42, 35, 28, 21, 14, 7,  15, 22, 29, 36, 43, 50, 57, 58,
    51, 44, 37, 30, 23, 31, 38, 45, 52, 59, 60, 53, 46, 39, 47, 54, 61, 62, 55, 63};

constexpr bool columns_match_zigzag() {
  for (int32_t k = 0; k < 64; ++k) {
    const int32_t natural = zigzag_order[k];
    if (zigzag_by_columns[k] != (natural & 7) * 8 + (natural >> 3)) return false;
  }
  return true;
}
static_assert(columns_match_zigzag());

// Zig-zag position k's place in a block held column by column, with the bit of its row, for
// the decoders' record of the rows in use: one load for both.
struct ColumnPlace {
  uint8_t at;
  uint8_t row_bit;
};

inline constexpr std::array<ColumnPlace, 64> column_places = [] {
  std::array<ColumnPlace, 64> places{};
  for (int32_t k = 0; k < 64; ++k) {
    const uint8_t at = zigzag_by_columns[k];
    places[static_cast<size_t>(k)] = {at, static_cast<uint8_t>(1u << (at & 7))};
  }
  return places;
}();

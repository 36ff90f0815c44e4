// The inverse DCT against worked vectors, its shortcuts and its wrap-around.

#include "kernels/idct.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/kernel_set.h"

namespace {

struct Block {
  uint8_t samples[8][8];
};

Block transform(const std::vector<std::pair<int, int32_t>>& coefficients) {
  int32_t c[64] = {};
  for (const auto& [index, value] : coefficients) c[index] = value;
  for (int r = 0; r < 8; ++r) idct_row(c + 8 * r);
  Block block{};
  for (int j = 0; j < 8; ++j) idct_column(c + j, &block.samples[0][j], 8);
  return block;
}

std::vector<int> row_of(const Block& b, int y) { return {b.samples[y], b.samples[y] + 8}; }

std::vector<int> column_of(const Block& b, int x) {
  std::vector<int> column;
  for (int y = 0; y < 8; ++y) column.push_back(b.samples[y][x]);
  return column;
}

TEST(Idct, DcOnlyBlocksAreFlat) {
  const struct {
    int32_t dc, want;
  } cases[] = {{0, 128},  {3, 128},  {4, 129},    {-4, 128},
               {-5, 127}, {80, 138}, {1016, 255}, {-1024, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dc);
    const Block b = transform({{0, c.dc}});
    for (int y = 0; y < 8; ++y) EXPECT_EQ(row_of(b, y), std::vector<int>(8, c.want));
  }
}

TEST(Idct, SingleAcCoefficientsGiveTheWorkedValues) {
  const std::vector<int> ramp = {145, 143, 138, 131, 125, 118, 113, 111};
  const Block horizontal = transform({{1, 100}});
  const Block vertical = transform({{8, 100}});
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(row_of(horizontal, i), ramp);
    EXPECT_EQ(column_of(vertical, i), ramp);
  }
  const Block diagonal = transform({{9, 100}});
  const std::vector<int> first = {152, 148, 142, 133, 123, 114, 108, 104};
  EXPECT_EQ(row_of(diagonal, 0), first);
  EXPECT_EQ(column_of(diagonal, 0), first);
  EXPECT_EQ(row_of(diagonal, 7), std::vector<int>(first.rbegin(), first.rend()));
}

TEST(Idct, FullComputationInBothPasses) {
  const Block b = transform({{0, -200}, {1, 60}, {2, 30}, {4, -20}, {8, -45}});
  EXPECT_EQ(row_of(b, 0), (std::vector<int>{108, 109, 102, 90, 86, 90, 91, 87}));
  EXPECT_EQ(row_of(b, 7), (std::vector<int>{124, 124, 117, 105, 101, 105, 107, 103}));
}

TEST(Idct, RowWithOnlyC4SetTakesTheFullPath) {
  int32_t row[8] = {0, 0, 0, 0, 10, 0, 0, 0};
  idct_row(row);
  // The shortcut would give eight zeros; the butterfly spreads c4 as +, -, -, +, +, -, -, +.
  EXPECT_EQ(row[0], 80);
  EXPECT_EQ(row[1], -80);
  EXPECT_EQ(row[2], -80);
  EXPECT_EQ(row[3], 80);
}

TEST(Idct, RowShortcutCopiesEightTimesDc) {
  int32_t row[8] = {-7, 0, 0, 0, 0, 0, 0, 0};
  idct_row(row);
  for (int32_t v : row) EXPECT_EQ(v, -56);
}

TEST(Idct, ColumnTouchesOnlyItsEightBytes) {
  int32_t column[64] = {};
  column[0] = 80;
  column[8] = 100;
  uint8_t plane[8 * 13];
  for (uint8_t& b : plane) b = 0xAB;
  idct_column(column, plane, 13);
  for (int i = 0; i < 8 * 13; ++i) {
    SCOPED_TRACE(i);
    if (i % 13 == 0) {
      EXPECT_NE(plane[i], 0xAB);
    } else {
      EXPECT_EQ(plane[i], 0xAB);
    }
  }
}

TEST(Idct, ExtremeCoefficientsWrapAndClampWithoutFailing) {
  const int32_t extremes[] = {INT32_MAX, INT32_MIN, INT32_MAX - 31, 0x40000000, -0x40000000};
  for (int32_t e : extremes) {
    SCOPED_TRACE(e);
    int32_t c[64];
    for (int i = 0; i < 64; ++i) c[i] = (i % 3 == 0) ? e : e / -2;
    for (int r = 0; r < 8; ++r) idct_row(c + 8 * r);
    uint8_t out[64];
    for (int j = 0; j < 8; ++j) idct_column(c + j, out + j, 8);
  }
  // A DC so large that the column's (c0 + 32) wraps to a negative value clamps to 0.
  int32_t column[64] = {};
  column[0] = INT32_MAX - 16;
  uint8_t out[8 * 8];
  idct_column(column, out, 8);
  EXPECT_EQ(out[0], 0);
}

}  // namespace

namespace {

// Random blocks: mostly zeros and small values, now and then anything at all, and now and
// then a c4 that vanishes when scaled, where a shortcut and the full butterfly part ways.
void random_block(uint32_t& state, int trial, int32_t c[64]) {
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state;
  };
  for (int i = 0; i < 64; ++i) {
    const uint32_t r = next();
    c[i] = (r & 3) != 0      ? 0
           : (r & 0x30) != 0 ? static_cast<int32_t>(r >> 20) - 2048
                             : static_cast<int32_t>(next());
  }
  if (trial % 3 == 0) {
    for (int i = 0; i < 64; ++i) {
      if (i % 8 != 0) c[i] = (i % 8 == 4 && trial % 2 == 0) ? 0x200000 : 0;
    }
  }
}

// Every path's block transform gives the bits of the passes one row and one column at a time,
// shortcuts and wrap-around included, whichever rows the block uses; and leaves the block zero.
TEST(Idct, EveryPathMatchesThePassesOneAtATime) {
  for (const KernelPath path :
       {KernelPath::none, KernelPath::sse2, KernelPath::avx2, KernelPath::neon}) {
    const KernelSet* k = kernels_for(path);
    if (k == nullptr) continue;
    SCOPED_TRACE(kernel_path_name(path));
    uint32_t state = 54321;
    for (int trial = 0; trial < 3000; ++trial) {
      SCOPED_TRACE(trial);
      int32_t c[64];
      random_block(state, trial, c);
      if (trial % 5 == 1) {
        for (int i = 8; i < 64; ++i) c[i] = 0;  // row 0 alone
      }
      uint32_t rows_used = 1;
      for (int i = 0; i < 64; ++i) rows_used |= c[i] != 0 ? 1u << (i / 8) : 0;
      uint8_t want[8 * 11];
      uint8_t have[8 * 11];
      memset(want, 0x5A, sizeof want);
      memset(have, 0x5A, sizeof have);
      alignas(32) int32_t block[64];
      for (int i = 0; i < 64; ++i) block[(i & 7) * 8 + (i >> 3)] = c[i];  // column by column
      for (int r = 0; r < 8; ++r) idct_row(c + 8 * r);
      for (int j = 0; j < 8; ++j) idct_column(c + j, want + j, 11);
      k->transform(block, rows_used, have, 11);
      ASSERT_EQ(0, memcmp(want, have, sizeof want));
      ASSERT_EQ(std::vector<int32_t>(block, block + 64), std::vector<int32_t>(64, 0));
    }
  }
}

}  // namespace

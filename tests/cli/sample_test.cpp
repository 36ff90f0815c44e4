// `make run`: the bundled photograph converts, and the result reads as a valid 24-bit BMP to a
// reader of our own that knows only the file format, checked against libjpeg-turbo's decode.

#include <gtest/gtest.h>

#include <cstdlib>

#include "cli/run_tool.h"
#include "support/files.h"
#include "support/reference_codec.h"

namespace {

uint32_t le32(const Bytes& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}
uint32_t le16(const Bytes& b, size_t at) { return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8; }

TEST(Sample, MakeRunConvertsTheSampleIntoAValidBmp) {
  const std::string sample = std::string(BMPSEPIA_SOURCE_DIR) + "/samples/retina.jpg";
  DecodedImage reference;
  ASSERT_TRUE(reference_decode(read_file(sample), &reference)) << sample;
  EXPECT_GE(int64_t{reference.width} * reference.height, 1000000);

  TempDir dir;
  const std::string out = dir.path("retina-sepia.bmp");
  const ProgramRun run =
      run_program({"/bin/bash", std::string(BMPSEPIA_SOURCE_DIR) + "/scripts/run-sample.sh",
                   BMPSEPIA_BUILD_DIR, out},
                  in_folder(BMPSEPIA_SOURCE_DIR));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("input:  samples/retina.jpg"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("output: " + out + " (1411 x 1411 pixels"), std::string::npos) << run.out;

  const Bytes bmp = read_file(out);
  ASSERT_GE(bmp.size(), 54u);
  const auto width = static_cast<int32_t>(le32(bmp, 18));
  const auto height = static_cast<int32_t>(le32(bmp, 22));
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(le32(bmp, 2), bmp.size());  // file size
  EXPECT_EQ(le32(bmp, 10), 54u);        // pixel data offset
  EXPECT_EQ(le32(bmp, 14), 40u);        // info header size
  EXPECT_EQ(width, reference.width);
  EXPECT_EQ(height, reference.height);  // positive: bottom row first
  EXPECT_EQ(le16(bmp, 26), 1u);         // planes
  EXPECT_EQ(le16(bmp, 28), 24u);        // bits per pixel
  EXPECT_EQ(le32(bmp, 30), 0u);         // no compression
  ASSERT_EQ(bmp.size(), 54 + stride * static_cast<size_t>(height));

  // Sepia: green is the grey level, red 46 above it and blue 46 below, held to 0..255; the
  // grey level follows the picture as libjpeg-turbo decodes it.
  int64_t grey_error = 0;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = bmp.data() + 54 + stride * static_cast<size_t>(height - 1 - y);
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* bgr = row + 3 * x;
      const int g = bgr[1];
      if (bgr[2] != std::min(g + 46, 255) || bgr[0] != std::max(g - 46, 0)) {
        FAIL() << "pixel x=" << x << " y=" << y << " is not sepia: BGR " << int{bgr[0]} << "," << g
               << "," << int{bgr[2]};
      }
      const uint8_t* rgb = reference.pixels.data() + 3 * (static_cast<size_t>(y) * width + x);
      grey_error += std::abs(g - (rgb[0] + rgb[1] + rgb[2]) / 3);
    }
  }
  EXPECT_LT(grey_error, int64_t{width} * height);  // under one level on average
}

}  // namespace

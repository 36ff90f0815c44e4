// Our colour decode against a mature reference decoder (integer inverse DCT, replication
// upsampling, factor 3 too) over generated and real pictures: every channel within a small
// difference.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/decoded_picture.h"
#include "support/files.h"
#include "support/reference_codec.h"

namespace {

// The two decoders round their inverse DCTs and colour conversions differently; a difference
// beyond this would mean a wrong coefficient, block or sample position, not rounding.
constexpr int32_t tolerance = 4;

struct Comparison {
  bool decoded = false;
  int32_t largest_difference = 0;
};

Comparison compare(const Bytes& jpeg) {
  Comparison result;
  DecodedImage want;
  if (!reference_decode(jpeg, &want)) return result;
  const DecodedPicture ours = decode_picture(jpeg, false);
  result.decoded = ours.result == 0 && ours.width == want.width && ours.height == want.height;
  const size_t pixels = static_cast<size_t>(want.width) * static_cast<size_t>(want.height);
  for (size_t i = 0; result.decoded && i < pixels; ++i) {
    for (int32_t c = 0; c < 3; ++c) {
      const int32_t reference = want.components == 1 ? want.pixels[i] : want.pixels[3 * i + c];
      const int32_t difference = std::abs(ours.pixels[3 * i + c] - reference);
      if (difference > result.largest_difference) result.largest_difference = difference;
    }
  }
  return result;
}

struct Layout {
  const char* name;
  int32_t components;
  int32_t h[3], v[3];
};

const Layout layouts[] = {
    {"grey", 1, {1, 1, 1}, {1, 1, 1}},     {"4:4:4", 3, {1, 1, 1}, {1, 1, 1}},
    {"4:2:2", 3, {2, 1, 1}, {1, 1, 1}},    {"4:4:0", 3, {1, 1, 1}, {2, 1, 1}},
    {"4:2:0", 3, {2, 1, 1}, {2, 1, 1}},    {"4:1:1", 3, {4, 1, 1}, {1, 1, 1}},
    {"grey 2x2", 1, {2, 1, 1}, {2, 1, 1}}, {"asymmetric", 3, {2, 2, 1}, {2, 1, 2}},
    {"3x1", 3, {3, 1, 1}, {1, 1, 1}},      {"1x3", 3, {1, 1, 1}, {3, 1, 1}},
    {"3x2", 3, {3, 1, 1}, {2, 1, 1}},      {"1x3 1x1 1x3", 3, {1, 1, 1}, {3, 1, 3}},
};

TEST(Oracle, GeneratedPicturesMatchTheReferenceDecoder) {
  const struct { int32_t width, height; } sizes[] = {{1, 1}, {7, 5}, {16, 16}, {33, 17}, {61, 47}};
  int32_t largest = 0;
  int32_t compared = 0;
  for (const Layout& layout : layouts) {
    for (const auto& size : sizes) {
      for (int32_t quality : {10, 50, 90, 100}) {
        for (int32_t restart : {0, 1, 3}) {
          SCOPED_TRACE(::testing::Message() << layout.name << " " << size.width << "x"
                                            << size.height << " q" << quality << " r" << restart);
          EncodeOptions options;
          options.components = layout.components;
          for (int32_t i = 0; i < 3; ++i)
            options.h_samp[i] = layout.h[i], options.v_samp[i] = layout.v[i];
          options.quality = quality;
          options.restart_interval = restart;
          const Bytes pixels = make_test_pixels(size.width, size.height, layout.components,
                                                static_cast<uint32_t>(quality + restart));
          const Bytes jpeg = encode_jpeg(pixels, size.width, size.height, options);
          ASSERT_FALSE(jpeg.empty());
          const Comparison c = compare(jpeg);
          ASSERT_TRUE(c.decoded);
          EXPECT_LE(c.largest_difference, tolerance);
          if (c.largest_difference > largest) largest = c.largest_difference;
          ++compared;
        }
      }
    }
  }
  RecordProperty("largest_difference", largest);
  std::printf("compared %d generated pictures; largest channel difference %d\n", compared, largest);
}

TEST(Oracle, RealPhotographsMatchTheReferenceDecoder) {
  const char* files[] = {"cimg_dsc6099_400x600_444_dri50.jpg",
                         "cimg_f028c_591x400_444.jpg",
                         "cimg_gel_508x349_grey_2x2_dri32.jpg",
                         "gofuzz_video001_150x103_422.jpg",
                         "gofuzz_video001_150x103_440.jpg",
                         "jxl_bicycles_1024x631_420_dri192.jpg",
                         "jxl_flower_2268x1512_asym_22_21_12.jpg",
                         "jxl_flower_2268x1512_lumasub_11_22_22.jpg",
                         "lepton_trailingrst_255x2448_420_dri16.jpg",
                         "suite_13x13_grey.jpg",
                         "suite_32x32_rgb_adobe0.jpg"};
  for (const char* name : files) {
    SCOPED_TRACE(name);
    const Bytes jpeg = read_file(corpus_dir() + "/" + name);
    ASSERT_FALSE(jpeg.empty());
    const Comparison c = compare(jpeg);
    ASSERT_TRUE(c.decoded);
    EXPECT_LE(c.largest_difference, tolerance);
    std::printf("%s: largest channel difference %d\n", name, c.largest_difference);
  }
}

}  // namespace

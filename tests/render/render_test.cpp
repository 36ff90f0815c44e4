// Colour conversion, sepia toning and plane upsampling.

#include "render/render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "jpeg/decoder.h"
#include "platform/platform.h"

namespace {

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rgb& p) {
  return out << "(" << p.r << ", " << p.g << ", " << p.b << ")";
}

// Converts one pixel of a 1 x 1 frame through convert_image.
Rgb convert_pixel(uint8_t c0, uint8_t c1, uint8_t c2, bool plain = false) {
  reset_decoder();
  uint8_t planes[3] = {c0, c1, c2};
  uint8_t out[4] = {};  // rendering may write one spare byte
  decoder.width = decoder.height = 1;
  decoder.component_count = 3;
  decoder.plain_colour = plain;
  decoder.jfif_seen = true;
  for (int i = 0; i < 3; ++i) {
    decoder.components[i] = ComponentPlane{i + 1, 1, 1, 1, 1, 8, 0, 2, 0, 0, &planes[i]};
  }
  decoder.rgb_image = out;
  convert_image();
  EXPECT_EQ(decoder.status, status_running);
  reset_decoder();
  return Rgb{out[0], out[1], out[2]};
}

TEST(ConvertImage, YCbCrToSepia) {
  const struct {
    uint8_t y, cb, cr;
    Rgb want;
  } cases[] =
      {
          {128, 128, 128, {174, 128, 82}},  {255, 128, 128, {255, 255, 209}},
          {0, 128, 128, {46, 0, 0}},        {100, 128, 128, {146, 100, 54}},
          {255, 128, 255, {255, 224, 178}},  // red clamps before the mean
          {0, 128, 0, {76, 30, 0}},          // negative red clamps to 0
      };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << int{c.y} << "," << int{c.cb} << "," << int{c.cr});
    EXPECT_EQ(convert_pixel(c.y, c.cb, c.cr), c.want);
  }
}

TEST(ConvertImage, PlainColourMatchesTheFixedPointFormulas) {
  EXPECT_EQ(convert_pixel(255, 128, 255, true), (Rgb{255, 164, 255}));
  EXPECT_EQ(convert_pixel(0, 128, 0, true), (Rgb{0, 92, 0}));
  EXPECT_EQ(convert_pixel(76, 85, 255, true), (Rgb{254, 0, 0}));
}

TEST(SepiaTone, TruncatesTheMean) {
  const struct {
    Rgb in, want;
  } cases[] = {{{100, 100, 56}, {131, 85, 39}},
               {{100, 100, 54}, {130, 84, 38}},
               {{0, 0, 0}, {46, 0, 0}},
               {{255, 255, 255}, {255, 255, 209}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    uint8_t p[3] = {static_cast<uint8_t>(c.in.r), static_cast<uint8_t>(c.in.g),
                    static_cast<uint8_t>(c.in.b)};
    EXPECT_EQ(sepia_tone(p), p);
    EXPECT_EQ((Rgb{p[0], p[1], p[2]}), c.want);
  }
}

TEST(ClipByte, ClampsToByteRange) {
  const struct {
    int32_t in, want;
  } cases[] = {{-1, 0}, {0, 0}, {255, 255}, {256, 255}, {INT32_MIN, 0}, {INT32_MAX, 255}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(clip_byte(c.in), c.want);
  }
}

// A plane of `w` x `h` samples with `stride`, sample (x, y) = 16 y + x, in a platform block.
ComponentPlane make_plane(int32_t w, int32_t h, int32_t stride) {
  auto* samples = static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(stride * h)));
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < stride; ++x) samples[y * stride + x] = static_cast<uint8_t>(16 * y + x);
  }
  return ComponentPlane{1, 1, 1, w, h, stride, 0, 2, 0, 0, samples};
}

TEST(UpsamplePlane, ReplicatesByPowersOfTwo) {
  const struct {
    const char* name;
    int32_t width, height;  // image
    int32_t w, h, stride;   // plane before
    int32_t new_w, new_h;
    int32_t xs, ys;
  } cases[] = {
      {"5 x 5 for 9 x 9", 9, 9, 5, 5, 8, 10, 10, 1, 1},
      {"four to one across", 16, 4, 4, 4, 8, 16, 4, 2, 0},
      {"rows only, stride compacted", 8, 8, 8, 4, 16, 8, 8, 0, 1},
      {"3 rows for 5", 4, 5, 4, 3, 8, 4, 6, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_decoder();
    decoder.width = c.width;
    decoder.height = c.height;
    ComponentPlane plane = make_plane(c.w, c.h, c.stride);
    upsample_plane(&plane);
    ASSERT_EQ(decoder.status, status_running);
    EXPECT_EQ(plane.plane_width, c.new_w);
    EXPECT_EQ(plane.plane_height, c.new_h);
    EXPECT_EQ(plane.stride, c.new_w);
    for (int32_t y = 0; y < c.new_h; ++y) {
      for (int32_t x = 0; x < c.new_w; ++x) {
        ASSERT_EQ(plane.samples[y * c.new_w + x], 16 * (y >> c.ys) + (x >> c.xs)) << x << "," << y;
      }
    }
    platform_release(plane.samples);
  }
}

TEST(UpsamplePlane, AllocationFailureLeavesThePlaneAsItWas) {
  reset_decoder();
  decoder.width = decoder.height = 16;
  ComponentPlane plane = make_plane(8, 8, 8);
  const ComponentPlane before = plane;
  platform_fail_allocation(1);
  upsample_plane(&plane);
  platform_fail_allocation(0);
  EXPECT_EQ(decoder.status, status_failed);
  EXPECT_EQ(plane.samples, before.samples);
  EXPECT_EQ(plane.plane_width, 8);
  EXPECT_EQ(plane.stride, 8);
  platform_release(plane.samples);
}

TEST(ConvertImage, PlanesAreWalkedWithTheirOwnStrides) {
  // Y at full size with a padded stride; Cb and Cr subsampled 2 x 2 and enlarged.
  reset_decoder();
  decoder.width = decoder.height = 6;
  decoder.component_count = 3;
  decoder.jfif_seen = true;
  decoder.plain_colour = true;
  decoder.components[0] = make_plane(6, 6, 16);
  decoder.components[1] = make_plane(3, 3, 8);
  decoder.components[2] = make_plane(3, 3, 8);
  decoder.rgb_image = static_cast<uint8_t*>(platform_allocate(6 * 6 * 3 + 1));
  convert_image();
  ASSERT_EQ(decoder.status, status_running);
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 6; ++x) {
      const int32_t yy = (16 * y + x) << 8;
      const int32_t chroma = 16 * (y / 2) + x / 2 - 128;
      const uint8_t* p = decoder.rgb_image + (y * 6 + x) * 3;
      ASSERT_EQ(p[0], clip_byte((yy + 359 * chroma + 128) >> 8)) << x << "," << y;
      ASSERT_EQ(p[2], clip_byte((yy + 454 * chroma + 128) >> 8)) << x << "," << y;
    }
  }
  release_decoder();
}

TEST(ConvertImage, RgbFramesAreTakenAsTheyAre) {
  const struct {
    const char* name;
    bool jfif, adobe;
    int32_t transform;
    int32_t ids[3];
    bool rgb;
  } cases[] = {
      {"adobe transform 0", false, true, 0, {1, 2, 3}, true},
      {"adobe transform 1", false, true, 1, {'R', 'G', 'B'}, false},
      {"ids R G B alone", false, false, 0, {'R', 'G', 'B'}, true},
      {"jfif wins", true, true, 0, {'R', 'G', 'B'}, false},
      {"plain ids", false, false, 0, {1, 2, 3}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_decoder();
    uint8_t planes[3] = {200, 10, 20};
    uint8_t out[4];
    decoder.width = decoder.height = 1;
    decoder.component_count = 3;
    decoder.plain_colour = true;
    decoder.jfif_seen = c.jfif;
    decoder.adobe_seen = c.adobe;
    decoder.adobe_transform = c.transform;
    for (int i = 0; i < 3; ++i) {
      decoder.components[i] = ComponentPlane{c.ids[i], 1, 1, 1, 1, 8, 0, 2, 0, 0, &planes[i]};
    }
    decoder.rgb_image = out;
    convert_image();
    EXPECT_EQ(out[0] == 200 && out[1] == 10 && out[2] == 20, c.rgb);
    reset_decoder();
  }
}

TEST(ConvertImage, GreyBecomesSepiaOfEqualChannels) {
  reset_decoder();
  uint8_t grey[8 * 2] = {0, 30, 46, 128, 209, 210, 255, 1};
  uint8_t out[4 * 3 + 1];
  decoder.width = 4;
  decoder.height = 1;
  decoder.component_count = 1;
  decoder.components[0] = ComponentPlane{1, 1, 1, 4, 1, 8, 0, 2, 0, 0, grey};
  decoder.rgb_image = out;
  convert_image();
  const uint8_t want[12] = {46, 0, 0, 76, 30, 0, 92, 46, 0, 174, 128, 82};
  EXPECT_EQ(std::vector<uint8_t>(out, out + 12), std::vector<uint8_t>(want, want + 12));
  reset_decoder();
}

}  // namespace

namespace {

// Every channel sum an RGB frame can have gives the tone of sepia_tone.
TEST(ConvertImage, ToneOfEveryChannelSum) {
  reset_decoder();
  constexpr int32_t width = 766;
  std::vector<uint8_t> planes[3];
  for (auto& plane : planes) plane.resize(width);
  for (int32_t sum = 0; sum < width; ++sum) {
    const int32_t red = sum < 255 ? sum : 255;
    const int32_t green = sum - red < 255 ? sum - red : 255;
    planes[0][sum] = static_cast<uint8_t>(red);
    planes[1][sum] = static_cast<uint8_t>(green);
    planes[2][sum] = static_cast<uint8_t>(sum - red - green);
  }
  std::vector<uint8_t> out(width * 3 + 1);
  decoder.width = width;
  decoder.height = 1;
  decoder.component_count = 3;
  decoder.adobe_seen = true;  // transform 0: red, green, blue
  for (int i = 0; i < 3; ++i) {
    decoder.components[i] = ComponentPlane{i, 1, 1, width, 1, width, 0, 2, 0, 0, planes[i].data()};
  }
  decoder.rgb_image = out.data();
  convert_image();
  for (int32_t sum = 0; sum < width; ++sum) {
    SCOPED_TRACE(sum);
    uint8_t want[3] = {planes[0][sum], planes[1][sum], planes[2][sum]};
    sepia_tone(want);
    ASSERT_EQ((Rgb{out[3 * sum], out[3 * sum + 1], out[3 * sum + 2]}),
              (Rgb{want[0], want[1], want[2]}));
  }
  reset_decoder();
}

}  // namespace

namespace {

// The toned row is the sepia tone of the plain colour, in both channel orders, with chroma read
// in place and at half width. Along a row Y = x, Cb = y + 37x and Cr = c + 91x (mod 256): with
// chroma in place that reaches every Y, Cb, Cr triple once.
TEST(RenderRow, TonesEveryYCbCrAsItsPlainColour) {
  constexpr int32_t width = 256 + 7;  // a tail after the last whole span
  constexpr int32_t height = 256;
  for (const int32_t xs : {0, 1}) {
    SCOPED_TRACE(xs == 0 ? "chroma in place" : "chroma at half width");
    const int32_t chroma_width = (width + xs) >> xs;
    std::vector<uint8_t> planes[3] = {std::vector<uint8_t>(width * height),
                                      std::vector<uint8_t>(chroma_width * height),
                                      std::vector<uint8_t>(chroma_width * height)};
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) planes[0][y * width + x] = static_cast<uint8_t>(x);
      for (int32_t x = 0; x < chroma_width; ++x) {
        planes[1][y * chroma_width + x] = static_cast<uint8_t>(y + 37 * x);
      }
    }
    reset_decoder();
    decoder.width = width;
    decoder.height = height;
    decoder.component_count = 3;
    decoder.jfif_seen = true;
    const int32_t widths[3] = {width, chroma_width, chroma_width};
    for (int i = 0; i < 3; ++i) {
      decoder.components[i] =
          ComponentPlane{i + 1, 1, 1, widths[i], height, widths[i], 0, 2, 0, 0, planes[i].data()};
    }
    prepare_planes();
    ASSERT_EQ(decoder.render_plan.chroma_xs, xs);
    std::vector<uint8_t> plain(3 * width + 1), rgb(3 * width + 1), bgr(3 * width + 1);
    std::vector<uint8_t> want(3 * width);
    for (int32_t c = 0; c < 256; c += xs == 0 ? 1 : 5) {
      for (int32_t x = 0; x < chroma_width; ++x) {
        for (int32_t y = 0; y < height; ++y) {
          planes[2][y * chroma_width + x] = static_cast<uint8_t>(c + 91 * x);
        }
      }
      for (int32_t y = 0; y < height; ++y) {
        decoder.plain_colour = true;
        render_row(y, ChannelOrder::rgb, plain.data());
        decoder.plain_colour = false;
        render_row(y, ChannelOrder::rgb, rgb.data());
        render_row(y, ChannelOrder::bgr, bgr.data());
        for (int32_t x = 0; x < width; ++x) sepia_tone(&plain[3 * x]);
        for (int32_t x = 0; x < 3 * width; ++x) want[x] = plain[x - x % 3 + 2 - x % 3];
        ASSERT_TRUE(std::equal(want.begin(), want.end(), bgr.begin())) << c << ", row " << y;
        ASSERT_TRUE(std::equal(plain.begin(), plain.end() - 1, rgb.begin())) << c << ", row " << y;
      }
    }
    reset_decoder();
  }
}

}  // namespace

// Colour conversion, sepia toning, and the reading of subsampled planes.

#include "render/render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "jpeg/decoder.h"
#include "support/decoded_picture.h"

namespace {

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rgb& p) {
  return out << "(" << p.r << ", " << p.g << ", " << p.b << ")";
}

ComponentPlane plane(int32_t id, int32_t width, int32_t height, int32_t stride, uint8_t* samples) {
  ComponentPlane p{};
  p.id = id;
  p.h_samp = p.v_samp = 1;
  p.plane_width = width;
  p.plane_height = height;
  p.stride = stride;
  p.samples = samples;
  return p;
}

// Renders every row of a width x height frame of `planes` (whose samples the caller owns), as
// the decoder renders a decoded one: red, green, blue, top row first.
std::vector<uint8_t> render(DecoderState& d, int32_t width, int32_t height,
                            const std::vector<ComponentPlane>& planes) {
  d.width = width;
  d.height = height;
  d.component_count = static_cast<int32_t>(planes.size());
  std::copy(planes.begin(), planes.end(), d.components);
  prepare_planes(d);
  EXPECT_EQ(d.status, status_running);
  std::vector<uint8_t> out(static_cast<size_t>(width) * height * 3 + 1);
  for (int32_t y = 0; y < height; ++y) render_row(d, y, ChannelOrder::rgb, &out[3 * width * y]);
  out.pop_back();
  for (ComponentPlane& c : d.components) c.samples = nullptr;
  release_decoder(d);
  return out;
}

class Render : public DecoderTest {
 protected:
  // One pixel of a 1 x 1 frame of three components.
  Rgb pixel(uint8_t c0, uint8_t c1, uint8_t c2, bool plain = false) {
    d.plain_colour = plain;
    d.jfif_seen = true;
    uint8_t samples[3] = {c0, c1, c2};
    const std::vector<uint8_t> out =
        render(d, 1, 1,
               {plane(1, 1, 1, 8, &samples[0]), plane(2, 1, 1, 8, &samples[1]),
                plane(3, 1, 1, 8, &samples[2])});
    return Rgb{out[0], out[1], out[2]};
  }
  // One pixel of a 1 x 1 frame of four components, with an Adobe transform or none (-1).
  Rgb ink_pixel(uint8_t c0, uint8_t c1, uint8_t c2, uint8_t k, int32_t transform,
                bool plain = true) {
    d.plain_colour = plain;
    d.adobe_seen = transform >= 0;
    d.adobe_transform = transform;
    uint8_t samples[4] = {c0, c1, c2, k};
    const std::vector<uint8_t> out =
        render(d, 1, 1,
               {plane(1, 1, 1, 8, &samples[0]), plane(2, 1, 1, 8, &samples[1]),
                plane(3, 1, 1, 8, &samples[2]), plane(4, 1, 1, 8, &samples[3])});
    return Rgb{out[0], out[1], out[2]};
  }
};

TEST_F(Render, YCbCrToSepia) {
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
    EXPECT_EQ(pixel(c.y, c.cb, c.cr), c.want);
  }
}

TEST_F(Render, PlainColourMatchesTheFixedPointFormulas) {
  EXPECT_EQ(pixel(255, 128, 255, true), (Rgb{255, 164, 255}));
  EXPECT_EQ(pixel(0, 128, 0, true), (Rgb{0, 92, 0}));
  EXPECT_EQ(pixel(76, 85, 255, true), (Rgb{254, 0, 0}));
}

// Ink values as most writers store them, 255 for none: red = (c x k + 127) / 255 and so on.
TEST_F(Render, FourComponentsAreInkValues) {
  const struct {
    const char* name;
    uint8_t c0, c1, c2, k;
    int32_t transform;
    Rgb want;
  } cases[] = {
      {"no ink at all", 255, 255, 255, 255, -1, {255, 255, 255}},
      {"full black", 255, 255, 255, 0, 0, {0, 0, 0}},
      {"full cyan", 0, 255, 255, 255, -1, {0, 255, 255}},
      {"halves round to nearest", 128, 64, 200, 128, 0, {64, 32, 100}},
      {"YCCK white", 255, 128, 128, 255, 2, {0, 0, 0}},
      {"YCCK black takes the black plane", 0, 128, 128, 200, 2, {200, 200, 200}},
      {"YCCK clamps before inverting", 0, 128, 0, 255, 2, {255, 163, 255}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ink_pixel(c.c0, c.c1, c.c2, c.k, c.transform), c.want);
  }
  EXPECT_EQ(ink_pixel(255, 255, 255, 0, 0, false), (Rgb{46, 0, 0}));  // toned like any black
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

TEST(UpsampleRow, ReplicatesByPowersOfTwo) {
  const uint8_t row[5] = {10, 20, 30, 40, 50};
  const struct {
    int32_t xs, width;
    std::vector<uint8_t> want;
  } cases[] = {{0, 5, {10, 20, 30, 40, 50}},
               {1, 9, {10, 10, 20, 20, 30, 30, 40, 40, 50}},
               {2, 6, {10, 10, 10, 10, 20, 20}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xs);
    std::vector<uint8_t> out(c.width);
    upsample_row(row, c.xs, c.width, out.data());
    EXPECT_EQ(out, c.want);
  }
}

// Planes that fall short of the picture by powers of two, each with a padded stride: every
// pixel is the colour of the samples at (x >> xs, y >> ys) of each plane, as a 1 x 1 frame of
// those samples gives it, whether the planes are read in place or enlarged row by row.
TEST_F(Render, SubsampledPlanesReadAsReplicated) {
  const struct {
    const char* name;
    int32_t xs[3], ys[3];
  } layouts[] = {
      {"4:4:4", {0, 0, 0}, {0, 0, 0}},           {"4:2:0", {0, 1, 1}, {0, 1, 1}},
      {"4:2:2", {0, 1, 1}, {0, 0, 0}},           {"4:4:0", {0, 0, 0}, {0, 1, 1}},
      {"4:1:1", {0, 2, 2}, {0, 0, 0}},           {"mixed chroma", {0, 1, 0}, {0, 0, 1}},
      {"luma subsampled", {1, 0, 0}, {1, 0, 0}},
  };
  constexpr int32_t width = 37;  // two vector spans and a tail
  constexpr int32_t height = 7;
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.name);
    std::vector<uint8_t> samples[3];
    std::vector<ComponentPlane> planes;
    for (int32_t i = 0; i < 3; ++i) {
      const int32_t w = (width + (1 << layout.xs[i]) - 1) >> layout.xs[i];
      const int32_t h = (height + (1 << layout.ys[i]) - 1) >> layout.ys[i];
      const int32_t stride = w + 8;
      samples[i].resize(static_cast<size_t>(stride) * h);
      for (size_t k = 0; k < samples[i].size(); ++k) {
        samples[i][k] = static_cast<uint8_t>(k * (31 + 14 * i) + 7 * i);
      }
      planes.push_back(plane(i + 1, w, h, stride, samples[i].data()));
    }
    d.jfif_seen = true;
    const std::vector<uint8_t> out = render(d, width, height, planes);
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        uint8_t s[3];
        for (int32_t i = 0; i < 3; ++i) {
          s[i] = samples[i][(y >> layout.ys[i]) * planes[i].stride + (x >> layout.xs[i])];
        }
        const uint8_t* have = &out[3 * (width * y + x)];
        d.jfif_seen = true;
        ASSERT_EQ((Rgb{have[0], have[1], have[2]}), pixel(s[0], s[1], s[2])) << x << "," << y;
      }
    }
  }
}

TEST_F(Render, ColourModelFromTheSegmentsBeforeTheScan) {
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
    uint8_t samples[3] = {200, 10, 20};
    d.plain_colour = true;
    d.jfif_seen = c.jfif;
    d.adobe_seen = c.adobe;
    d.adobe_transform = c.transform;
    const std::vector<uint8_t> out =
        render(d, 1, 1,
               {plane(c.ids[0], 1, 1, 8, &samples[0]), plane(c.ids[1], 1, 1, 8, &samples[1]),
                plane(c.ids[2], 1, 1, 8, &samples[2])});
    EXPECT_EQ(out[0] == 200 && out[1] == 10 && out[2] == 20, c.rgb);
  }
}

TEST_F(Render, GreyBecomesSepiaOfEqualChannels) {
  uint8_t grey[8] = {0, 30, 46, 128, 209, 210, 255, 1};
  const std::vector<uint8_t> out = render(d, 4, 1, {plane(1, 4, 1, 8, grey)});
  EXPECT_EQ(out, (std::vector<uint8_t>{46, 0, 0, 76, 30, 0, 92, 46, 0, 174, 128, 82}));
}

// Every channel sum an RGB frame can have gives the tone of sepia_tone.
TEST_F(Render, ToneOfEveryChannelSum) {
  constexpr int32_t width = 766;
  std::vector<uint8_t> planes[3];
  for (auto& p : planes) p.resize(width);
  for (int32_t sum = 0; sum < width; ++sum) {
    const int32_t red = sum < 255 ? sum : 255;
    const int32_t green = sum - red < 255 ? sum - red : 255;
    planes[0][sum] = static_cast<uint8_t>(red);
    planes[1][sum] = static_cast<uint8_t>(green);
    planes[2][sum] = static_cast<uint8_t>(sum - red - green);
  }
  d.adobe_seen = true;  // transform 0: red, green, blue
  const std::vector<uint8_t> out = render(
      d, width, 1,
      {plane(1, width, 1, width, planes[0].data()), plane(2, width, 1, width, planes[1].data()),
       plane(3, width, 1, width, planes[2].data())});
  for (int32_t sum = 0; sum < width; ++sum) {
    SCOPED_TRACE(sum);
    uint8_t want[3] = {planes[0][sum], planes[1][sum], planes[2][sum]};
    sepia_tone(want);
    ASSERT_EQ((Rgb{out[3 * sum], out[3 * sum + 1], out[3 * sum + 2]}),
              (Rgb{want[0], want[1], want[2]}));
  }
}

// The toned row is the sepia tone of the plain colour, in both channel orders, with chroma read
// in place and at half width. Along a row Y = x, Cb = y + 37x and Cr = c + 91x (mod 256): with
// chroma in place that reaches every Y, Cb, Cr triple once.
TEST_F(Render, TonesEveryYCbCrAsItsPlainColour) {
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
    release_decoder(d);
    d.width = width;
    d.height = height;
    d.component_count = 3;
    d.jfif_seen = true;
    const int32_t widths[3] = {width, chroma_width, chroma_width};
    for (int i = 0; i < 3; ++i) {
      d.components[i] = plane(i + 1, widths[i], height, widths[i], planes[i].data());
    }
    prepare_planes(d);
    ASSERT_TRUE(d.render_plan.chroma_in_place);
    ASSERT_EQ(d.render_plan.xs[1], xs);
    std::vector<uint8_t> plain(3 * width + 1), rgb(3 * width + 1), bgr(3 * width + 1);
    std::vector<uint8_t> want(3 * width);
    for (int32_t c = 0; c < 256; c += xs == 0 ? 1 : 5) {
      for (int32_t x = 0; x < chroma_width; ++x) {
        for (int32_t y = 0; y < height; ++y) {
          planes[2][y * chroma_width + x] = static_cast<uint8_t>(c + 91 * x);
        }
      }
      for (int32_t y = 0; y < height; ++y) {
        d.plain_colour = true;
        render_row(d, y, ChannelOrder::rgb, plain.data());
        d.plain_colour = false;
        render_row(d, y, ChannelOrder::rgb, rgb.data());
        render_row(d, y, ChannelOrder::bgr, bgr.data());
        for (int32_t x = 0; x < width; ++x) sepia_tone(&plain[3 * x]);
        for (int32_t x = 0; x < 3 * width; ++x) want[x] = plain[x - x % 3 + 2 - x % 3];
        ASSERT_TRUE(std::equal(want.begin(), want.end(), bgr.begin())) << c << ", row " << y;
        ASSERT_TRUE(std::equal(plain.begin(), plain.end() - 1, rgb.begin())) << c << ", row " << y;
      }
    }
    for (ComponentPlane& p : d.components) p.samples = nullptr;
    release_decoder(d);
  }
}

}  // namespace

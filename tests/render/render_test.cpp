// Colour conversion, sepia toning, and the reading of subsampled planes.

#include "render/render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/integer.h"
#include "jpeg/picture.h"
#include "kernels/colour_tables.h"
#include "support/decoded_picture.h"
#include "support/jpeg_builder.h"

namespace {

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rgb& p) {
  return out << "(" << p.r << ", " << p.g << ", " << p.b << ")";
}

// A plane of the caller's samples, as a decoded picture describes it.
struct TestPlane {
  int32_t width, height, stride;
  const uint8_t* samples;
  int32_t across = 1, down = 1;  // picture samples to a plane sample
};

// Renders every row of a width x height picture of `planes`, as the conversion renders a
// decoded one, and gives it as red, green, blue, top row first.
std::vector<uint8_t> render(ColourModel model, int32_t width, int32_t height,
                            const std::vector<TestPlane>& planes, bool tone = true) {
  Picture picture{};
  picture.width = width;
  picture.height = height;
  picture.model = model;
  picture.component_count = static_cast<int32_t>(planes.size());
  picture.mcu_height = height;
  picture.mcus_down = 1;
  Strip strip{};
  for (size_t i = 0; i < planes.size(); ++i) {
    const TestPlane& p = planes[i];
    picture.planes[i] = PicturePlane{p.width, p.height, p.stride, 1, p.across, p.down};
    strip.rows[i] = planes[i].samples;
  }
  Renderer r;
  RenderOptions options;
  options.tone = tone;
  EXPECT_TRUE(begin_render(r, picture, options));
  std::vector<uint8_t> out(static_cast<size_t>(width) * height * 3 + 1);
  for (int32_t y = 0; y < height; ++y) render_row(r, strip, y, &out[3 * width * y]);
  end_render(r);
  out.pop_back();
  for (size_t i = 0; i < out.size(); i += 3) std::swap(out[i], out[i + 2]);
  return out;
}

// One pixel of a 1 x 1 picture of three or four components.
Rgb pixel(ColourModel model, std::vector<uint8_t> samples, bool tone) {
  std::vector<TestPlane> planes;
  for (const uint8_t& s : samples) planes.push_back({1, 1, 1, &s});
  const std::vector<uint8_t> out = render(model, 1, 1, planes, tone);
  return Rgb{out[0], out[1], out[2]};
}

Rgb ycbcr(uint8_t y, uint8_t cb, uint8_t cr, bool tone = true) {
  return pixel(ColourModel::ycbcr, {y, cb, cr}, tone);
}

TEST(Render, YCbCrToSepia) {
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
    EXPECT_EQ(ycbcr(c.y, c.cb, c.cr), c.want);
  }
}

TEST(Render, PlainColourMatchesTheFixedPointFormulas) {
  EXPECT_EQ(ycbcr(255, 128, 255, false), (Rgb{255, 164, 255}));
  EXPECT_EQ(ycbcr(0, 128, 0, false), (Rgb{0, 92, 0}));
  EXPECT_EQ(ycbcr(76, 85, 255, false), (Rgb{254, 0, 0}));
}

// Ink values as most writers store them, 255 for none: red = (c x k + 127) / 255 and so on.
TEST(Render, FourComponentsAreInkValues) {
  const struct {
    const char* name;
    uint8_t c0, c1, c2, k;
    ColourModel model;
    Rgb want;
  } cases[] = {
      {"no ink at all", 255, 255, 255, 255, ColourModel::cmyk, {255, 255, 255}},
      {"full black", 255, 255, 255, 0, ColourModel::cmyk, {0, 0, 0}},
      {"full cyan", 0, 255, 255, 255, ColourModel::cmyk, {0, 255, 255}},
      {"halves round to nearest", 128, 64, 200, 128, ColourModel::cmyk, {64, 32, 100}},
      {"YCCK white", 255, 128, 128, 255, ColourModel::ycck, {0, 0, 0}},
      {"YCCK black takes the black plane", 0, 128, 128, 200, ColourModel::ycck, {200, 200, 200}},
      {"YCCK clamps before inverting", 0, 128, 0, 255, ColourModel::ycck, {255, 163, 255}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(pixel(c.model, {c.c0, c.c1, c.c2, c.k}, false), c.want);
  }
  // Toned like any black.
  EXPECT_EQ(pixel(ColourModel::cmyk, {255, 255, 255, 0}, true), (Rgb{46, 0, 0}));
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

// Every whole ratio a row may be enlarged by gives sample x / ratio, and nothing past `width`.
TEST(ReplicateRow, CopiesEachSampleRatioTimes) {
  uint8_t row[40];
  for (int32_t k = 0; k < 40; ++k) row[k] = static_cast<uint8_t>(10 * k + 1);
  for (int32_t ratio = 1; ratio <= 8; ++ratio) {
    for (int32_t width = 1; width <= 40; ++width) {
      SCOPED_TRACE(::testing::Message() << "ratio " << ratio << ", width " << width);
      std::vector<uint8_t> out(static_cast<size_t>(width) + 1, 0);
      replicate_row(row, ratio, width, out.data());
      for (int32_t x = 0; x < width; ++x) ASSERT_EQ(out[x], row[x / ratio]) << x;
      EXPECT_EQ(out[width], 0);
    }
  }
}

// Planes that fall short of the picture by whole ratios, each with a padded stride: every pixel
// is the colour of the samples at (x / across, y / down) of each plane, as a 1 x 1 picture of
// those samples gives it, whether the planes are read in place or enlarged row by row.
TEST(Render, SubsampledPlanesReadAsReplicated) {
  const struct {
    const char* name;
    int32_t across[3], down[3];
  } layouts[] = {
      {"4:4:4", {1, 1, 1}, {1, 1, 1}},           {"4:2:0", {1, 2, 2}, {1, 2, 2}},
      {"4:2:2", {1, 2, 2}, {1, 1, 1}},           {"4:4:0", {1, 1, 1}, {1, 2, 2}},
      {"4:1:1", {1, 4, 4}, {1, 1, 1}},           {"mixed chroma", {1, 2, 1}, {1, 1, 2}},
      {"luma subsampled", {2, 1, 1}, {2, 1, 1}}, {"chroma 3 across", {1, 3, 3}, {1, 1, 1}},
      {"chroma 3 down", {1, 1, 1}, {1, 3, 3}},   {"chroma 3 x 2", {1, 3, 3}, {1, 2, 2}},
      {"chroma 8 x 3", {1, 8, 8}, {1, 3, 3}},    {"luma 3 x 3", {3, 1, 1}, {3, 1, 1}},
  };
  constexpr int32_t width = 37;  // two vector spans and a tail
  constexpr int32_t height = 7;
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.name);
    std::vector<uint8_t> samples[3];
    std::vector<TestPlane> planes;
    for (int32_t i = 0; i < 3; ++i) {
      const int32_t w = (width + layout.across[i] - 1) / layout.across[i];
      const int32_t h = (height + layout.down[i] - 1) / layout.down[i];
      const int32_t stride = w + 8;
      samples[i].resize(static_cast<size_t>(stride) * h);
      for (size_t k = 0; k < samples[i].size(); ++k) {
        samples[i][k] = static_cast<uint8_t>(k * (31 + 14 * i) + 7 * i);
      }
      planes.push_back({w, h, stride, samples[i].data(), layout.across[i], layout.down[i]});
    }
    const std::vector<uint8_t> out = render(ColourModel::ycbcr, width, height, planes);
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        uint8_t s[3];
        for (int32_t i = 0; i < 3; ++i) {
          s[i] = samples[i][(y / layout.down[i]) * planes[i].stride + x / layout.across[i]];
        }
        const uint8_t* have = &out[3 * (width * y + x)];
        ASSERT_EQ((Rgb{have[0], have[1], have[2]}), ycbcr(s[0], s[1], s[2])) << x << "," << y;
      }
    }
  }
}

// What a three-component picture stands for comes from the segments before its first scan and
// from its component ids.
TEST(ColourModel, FromTheSegmentsBeforeTheScan) {
  const struct {
    const char* name;
    bool jfif;
    int32_t adobe_transform;  // -1: no Adobe segment
    uint8_t ids[3];
    ColourModel want;
  } cases[] = {
      {"adobe transform 0", false, 0, {1, 2, 3}, ColourModel::rgb},
      {"adobe transform 1", false, 1, {'R', 'G', 'B'}, ColourModel::ycbcr},
      {"ids R G B alone", false, -1, {'R', 'G', 'B'}, ColourModel::rgb},
      {"jfif wins", true, 0, {'R', 'G', 'B'}, ColourModel::ycbcr},
      {"plain ids", false, -1, {1, 2, 3}, ColourModel::ycbcr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PictureRecipe recipe;
    recipe.jfif = c.jfif;
    recipe.adobe_transform = c.adobe_transform;
    for (int32_t i = 0; i < 3; ++i) recipe.components[i].id = c.ids[i];
    DecoderState* d = new_decoder();
    const Bytes jpeg = make_jpeg(recipe);
    ASSERT_EQ(decode_jpeg(*d, jpeg.data(), static_cast<int32_t>(jpeg.size())), 0);
    EXPECT_EQ(picture_of(*d).model, c.want);
    delete_decoder(d);
  }
}

TEST(Render, GreyBecomesSepiaOfEqualChannels) {
  const uint8_t grey[8] = {0, 30, 46, 128, 209, 210, 255, 1};
  const std::vector<uint8_t> out = render(ColourModel::grey, 4, 1, {{4, 1, 8, grey}});
  EXPECT_EQ(out, (std::vector<uint8_t>{46, 0, 0, 76, 30, 0, 92, 46, 0, 174, 128, 82}));
}

// Every channel sum an RGB picture can have gives the tone of sepia_tone.
TEST(Render, ToneOfEveryChannelSum) {
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
  const std::vector<uint8_t> out = render(ColourModel::rgb, width, 1,
                                          {{width, 1, width, planes[0].data()},
                                           {width, 1, width, planes[1].data()},
                                           {width, 1, width, planes[2].data()}});
  for (int32_t sum = 0; sum < width; ++sum) {
    SCOPED_TRACE(sum);
    uint8_t want[3] = {planes[0][sum], planes[1][sum], planes[2][sum]};
    sepia_tone(want);
    ASSERT_EQ((Rgb{out[3 * sum], out[3 * sum + 1], out[3 * sum + 2]}),
              (Rgb{want[0], want[1], want[2]}));
  }
}

// The toned row is the sepia tone of the plain colour, with chroma read in place and at half
// width. Along a row Y = x, Cb = y + 37x and Cr = c + 91x (mod 256): with chroma in place that
// reaches every Y, Cb, Cr triple once.
TEST(Render, TonesEveryYCbCrAsItsPlainColour) {
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
    const std::vector<TestPlane> described = {
        {width, height, width, planes[0].data()},
        {chroma_width, height, chroma_width, planes[1].data(), 1 << xs},
        {chroma_width, height, chroma_width, planes[2].data(), 1 << xs}};
    for (int32_t c = 0; c < 256; c += xs == 0 ? 1 : 5) {
      for (int32_t x = 0; x < chroma_width; ++x) {
        for (int32_t y = 0; y < height; ++y) {
          planes[2][y * chroma_width + x] = static_cast<uint8_t>(c + 91 * x);
        }
      }
      std::vector<uint8_t> want = render(ColourModel::ycbcr, width, height, described, false);
      for (size_t p = 0; p < want.size(); p += 3) sepia_tone(&want[p]);
      ASSERT_EQ(render(ColourModel::ycbcr, width, height, described), want) << c;
    }
  }
}

}  // namespace

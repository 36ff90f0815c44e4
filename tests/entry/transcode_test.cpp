// Files that code the same quantised coefficients in another layout (several scans in any
// order, restart intervals, extended tables, four components, the smallest sizes) give exactly
// the picture of their recoding as one optimised interleaved scan, `jpegtran -optimize -copy
// none`, which the decoder's common path reads.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/decoded_picture.h"
#include "support/files.h"
#include "support/reference_codec.h"

namespace {

// Runs jpegtran on `input` with `options` (which may name files in `dir`).
Bytes jpegtran(const std::string& options, const Bytes& input, const TempDir& dir) {
  write_file(dir.path("in.jpg"), input);
  const std::string out = dir.path("out.jpg");
  const std::string command =
      "jpegtran " + options + " -outfile '" + out + "' '" + dir.path("in.jpg") + "'";
  if (system(command.c_str()) != 0) return {};
  return read_file(out);
}

int32_t scans_in(const Bytes& jpeg) {
  int32_t scans = 0;
  for (size_t i = 0; i + 1 < jpeg.size(); ++i) scans += jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA;
  return scans;
}

struct Source {
  const char* name;
  int32_t width, height;
  EncodeOptions options;
};

EncodeOptions layout(int32_t components, std::vector<int32_t> h, std::vector<int32_t> v) {
  EncodeOptions o;
  o.components = components;
  for (size_t i = 0; i < h.size(); ++i) o.h_samp[i] = h[i], o.v_samp[i] = v[i];
  return o;
}

std::vector<Source> sources() {
  EncodeOptions extended = layout(3, {2, 1, 1}, {2, 1, 1});
  extended.extended = true;
  extended.quality = 3;
  EncodeOptions ycck = layout(4, {2, 1, 1, 2}, {2, 1, 1, 1});
  ycck.ycck = true;
  return {
      {"grey", 13, 7, layout(1, {1}, {1})},
      {"4:2:0", 35, 21, layout(3, {2, 1, 1}, {2, 1, 1})},
      {"4:2:2", 33, 17, layout(3, {2, 1, 1}, {1, 1, 1})},
      {"4:4:4", 16, 16, layout(3, {1, 1, 1}, {1, 1, 1})},
      {"4:1:1", 40, 9, layout(3, {4, 1, 1}, {1, 1, 1})},
      {"4:2:0, 1 x 1", 1, 1, layout(3, {2, 1, 1}, {2, 1, 1})},
      {"4:1:1, 3 x 3", 3, 3, layout(3, {4, 1, 1}, {1, 1, 1})},
      {"extended, 16-bit tables", 24, 24, extended},
      {"CMYK", 17, 9, layout(4, {1, 1, 1, 1}, {1, 1, 1, 1})},
      {"YCCK 2x2 1x1 1x1 2x1", 37, 19, ycck},
  };
}

// Scan scripts: each line a scan of the components it lists.
const struct {
  const char* name;
  const char* script[4];  // by component count - 1; null where the script does not apply
} scripts[] = {
    {"a scan per component", {"0;", nullptr, "0;1;2;", "0;1;2;3;"}},
    {"scans last component first", {nullptr, nullptr, "2;1;0;", "3;1;2;0;"}},
    {"luma, then the rest together", {nullptr, nullptr, "0;1 2;", "0 3;1 2;"}},
};

TEST(Transcoded, GivesThePictureOfTheBaselineRecoding) {
  TempDir dir;
  int32_t compared = 0;
  for (const Source& source : sources()) {
    const Bytes pixels = make_test_pixels(source.width, source.height, source.options.components,
                                          static_cast<uint32_t>(source.width));
    const Bytes original = encode_jpeg(pixels, source.width, source.height, source.options);
    ASSERT_FALSE(original.empty()) << source.name;
    struct Variant {
      std::string name;
      std::string options;
      int32_t least_scans;
    };
    std::vector<Variant> variants = {{"restart every MCU", "-restart 1", 1},
                                     {"restart every 3 blocks", "-restart 3B", 1}};
    for (const auto& s : scripts) {
      const char* script = s.script[source.options.components - 1];
      if (script == nullptr) continue;
      const std::string file = dir.path(std::string("script") + std::to_string(variants.size()));
      write_file(file, Bytes(script, script + strlen(script)));
      const int32_t scans = source.options.components == 1 ? 1 : 2;
      variants.push_back({s.name, "-scans " + file, scans});
      variants.push_back({std::string(s.name) + ", restart every 2 MCUs",
                          "-scans " + file + " -restart 2", scans});
    }
    for (const Variant& variant : variants) {
      SCOPED_TRACE(std::string(source.name) + ", " + variant.name);
      const Bytes coded = jpegtran(variant.options, original, dir);
      ASSERT_GE(scans_in(coded), variant.least_scans);
      const Bytes baseline = jpegtran("-optimize -copy none", coded, dir);
      ASSERT_EQ(scans_in(baseline), 1);
      const DecodedPicture have = decode_picture(coded);
      const DecodedPicture want = decode_picture(baseline);
      ASSERT_EQ(want.status, status_running);
      ASSERT_EQ(have.status, status_running) << static_cast<int>(have.fault);
      EXPECT_EQ(have.pixels, want.pixels);
      ++compared;
    }
  }
  EXPECT_GE(compared, 50);
}

}  // namespace

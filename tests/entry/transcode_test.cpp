// Files that code the same quantised coefficients in another way (several scans in any order,
// progressive scripts, arithmetic coding, restart intervals, extended tables, four components,
// factor 3, the smallest sizes) give exactly the picture of their recoding as one optimised
// interleaved Huffman scan, `jpegtran -optimize -copy none`, which the decoder's common path
// reads, and of the file they were made from.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/decoded_picture.h"
#include "support/files.h"
#include "support/reference_codec.h"

namespace {

Bytes jpegtran(const std::string& options, const Bytes& input, const TempDir& dir) {
  return transcode(options, input, dir);
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
      {"3x1 1x1 1x1", 29, 11, layout(3, {3, 1, 1}, {1, 1, 1})},
      {"1x3 1x1 1x1", 11, 29, layout(3, {1, 1, 1}, {3, 1, 1})},
      {"3x2 1x1 1x1", 50, 37, layout(3, {3, 1, 1}, {2, 1, 1})},
  };
}

// Scan scripts, by component count - 1 (null where one does not apply): each line a scan of
// the components it lists, with its band and bit positions when it is progressive.
struct Script {
  const char* name;
  const char* by_components[4];
};

const Script sequential_scripts[] = {
    {"a scan per component", {"0;", nullptr, "0;1;2;", "0;1;2;3;"}},
    {"scans last component first", {nullptr, nullptr, "2;1;0;", "3;1;2;0;"}},
    {"luma, then the rest together", {nullptr, nullptr, "0;1 2;", "0 3;1 2;"}},
};

// Bands split and refined over several scans, in an order a progressive encoder would not
// choose: DC in steps, AC bands first coded with two or three low bits left out.
const Script refinement_script = {
    "refinement-heavy script",
    {"0: 0-0, 0, 2; 0: 1-5, 0, 3; 0: 6-63, 0, 2; 0: 1-5, 3, 2; 0: 0-0, 2, 1;"
     "0: 1-63, 2, 1; 0: 0-0, 1, 0; 0: 1-63, 1, 0;",
     nullptr,
     "0: 0-0, 0, 2; 1 2: 0-0, 0, 2; 0: 1-5, 0, 3; 2: 1-63, 0, 2; 1: 1-63, 0, 2;"
     "0: 6-63, 0, 2; 0: 1-5, 3, 2; 0 1 2: 0-0, 2, 1; 0: 1-63, 2, 1; 1: 1-63, 2, 1;"
     "2: 1-63, 2, 1; 0 1 2: 0-0, 1, 0; 2: 1-63, 1, 0; 1: 1-63, 1, 0; 0: 1-63, 1, 0;",
     "0 1 2 3: 0-0, 0, 1; 0: 1-63, 0, 1; 1: 1-63, 0, 1; 2: 1-63, 0, 1; 3: 1-63, 0, 1;"
     "0 1 2 3: 0-0, 1, 0; 3: 1-63, 1, 0; 2: 1-63, 1, 0; 1: 1-63, 1, 0; 0: 1-63, 1, 0;"}};

struct Variant {
  std::string name;
  std::string options;
  int32_t least_scans;
};

// Every way of coding a source that the relation is checked over.
std::vector<Variant> variants_of(const Source& source, const TempDir& dir) {
  const int32_t components = source.options.components;
  std::vector<Variant> variants = {
      {"restart every MCU", "-restart 1B", 1},
      {"restart every 3 MCUs", "-restart 3B", 1},
      {"progressive", "-progressive", 2},
      {"progressive, restart every MCU", "-progressive -restart 1B", 2},
      {"progressive, restart every 3 MCUs", "-progressive -restart 3B", 2},
      {"arithmetic", "-arithmetic", 1},
      {"arithmetic, restart every 3 MCUs", "-arithmetic -restart 3B", 1},
      {"arithmetic progressive", "-arithmetic -progressive", 2},
      {"arithmetic progressive, restart every MCU", "-arithmetic -progressive -restart 1B", 2},
  };
  auto with_script = [&](const Script& s, const std::string& more, int32_t least) {
    const char* script = s.by_components[components - 1];
    if (script == nullptr) return;
    const std::string file = dir.path("script" + std::to_string(variants.size()));
    write_file(file, Bytes(script, script + strlen(script)));
    variants.push_back({std::string(s.name) + (more.empty() ? "" : ", " + more),
                        "-scans " + file + " " + more, least});
  };
  for (const Script& s : sequential_scripts) {
    const int32_t scans = components == 1 ? 1 : 2;
    with_script(s, "", scans);
    with_script(s, "-restart 2B", scans);
  }
  with_script(refinement_script, "", 8);
  with_script(refinement_script, "-restart 3B", 8);
  with_script(refinement_script, "-arithmetic", 8);
  with_script(refinement_script, "-arithmetic -restart 1B", 8);
  return variants;
}

TEST(Transcoded, GivesThePictureOfTheBaselineRecoding) {
  TempDir dir;
  int32_t compared = 0;
  for (const Source& source : sources()) {
    const Bytes pixels = make_test_pixels(source.width, source.height, source.options.components,
                                          static_cast<uint32_t>(source.width));
    const Bytes original = encode_jpeg(pixels, source.width, source.height, source.options);
    ASSERT_FALSE(original.empty()) << source.name;
    const DecodedPicture as_encoded = decode_picture(original);
    ASSERT_EQ(as_encoded.result, 0) << source.name;
    for (const Variant& variant : variants_of(source, dir)) {
      SCOPED_TRACE(std::string(source.name) + ", " + variant.name);
      const Bytes coded = jpegtran(variant.options, original, dir);
      ASSERT_GE(scans_in(coded), variant.least_scans);
      const Bytes baseline = jpegtran("-optimize -copy none", coded, dir);
      ASSERT_EQ(scans_in(baseline), 1);
      const DecodedPicture have = decode_picture(coded);
      const DecodedPicture want = decode_picture(baseline);
      ASSERT_EQ(want.result, 0);
      ASSERT_EQ(have.result, 0) << static_cast<int>(have.fault);
      EXPECT_EQ(have.pixels, want.pixels);
      EXPECT_EQ(have.pixels, as_encoded.pixels);  // the same coefficients as the source's
      ++compared;
    }
  }
  EXPECT_GE(compared, 150);
}

// A script of a first scan for each coefficient alone (64 scans, each block visited 64 times,
// the most a clean script needs) decodes like any other.
TEST(Transcoded, OneScanPerCoefficient) {
  TempDir dir;
  std::string script = "0: 0-0, 0, 0;";
  for (int32_t k = 1; k < 64; ++k) {
    script += " 0: " + std::to_string(k) + "-" + std::to_string(k) + ", 0, 0;";
  }
  write_file(dir.path("script"), Bytes(script.begin(), script.end()));
  const Bytes original = encode_jpeg(make_test_pixels(40, 24, 1, 3), 40, 24, sources()[0].options);
  const Bytes coded = jpegtran("-scans " + dir.path("script"), original, dir);
  ASSERT_EQ(scans_in(coded), 64);
  const DecodedPicture have = decode_picture(coded);
  ASSERT_EQ(have.result, 0);
  EXPECT_EQ(have.pixels, decode_picture(jpegtran("-optimize -copy none", coded, dir)).pixels);
}

}  // namespace

// The cursor operations, the marker loop and the frame header.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "jpeg/decoder.h"
#include "platform/platform.h"
#include "support/reference_codec.h"

namespace {

using Bytes8 = std::vector<uint8_t>;

Bytes8 segment(uint8_t marker, const Bytes8& content) {
  const size_t length = content.size() + 2;
  Bytes8 bytes = {0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  bytes.insert(bytes.end(), content.begin(), content.end());
  return bytes;
}

struct FrameComponent {
  uint8_t id, factors, quant;
};

Bytes8 frame(int32_t width, int32_t height, const std::vector<FrameComponent>& components,
             uint8_t precision = 8) {
  Bytes8 content = {precision,
                    static_cast<uint8_t>(height >> 8),
                    static_cast<uint8_t>(height),
                    static_cast<uint8_t>(width >> 8),
                    static_cast<uint8_t>(width),
                    static_cast<uint8_t>(components.size())};
  for (const FrameComponent& c : components)
    content.insert(content.end(), {c.id, c.factors, c.quant});
  return segment(0xC0, content);
}

Bytes8 file(const std::vector<Bytes8>& segments) {
  Bytes8 bytes = {0xFF, 0xD8};
  for (const Bytes8& s : segments) bytes.insert(bytes.end(), s.begin(), s.end());
  return bytes;
}

int32_t decode(const Bytes8& bytes) {
  return decode_jpeg(bytes.data(), static_cast<int32_t>(bytes.size()));
}

const std::vector<FrameComponent> colour_420 = {{1, 0x22, 0}, {2, 0x11, 1}, {3, 0x11, 1}};

TEST(SegmentLength, AcceptsASegmentEndingAtTheEndOfInput) {
  const Bytes8 bytes = {0x00, 0x04, 0xAA, 0xBB};
  reset_decoder();
  decoder.cursor = bytes.data();
  decoder.bytes_left = 4;
  read_segment_length();
  EXPECT_EQ(decoder.status, status_running);
  EXPECT_EQ(decoder.segment_left, 2);
  EXPECT_EQ(decoder.bytes_left, 2);

  reset_decoder();
  decoder.cursor = bytes.data();
  decoder.bytes_left = 3;  // one byte short
  read_segment_length();
  EXPECT_EQ(decoder.status, status_failed);
  EXPECT_EQ(decoder.cursor, bytes.data());
}

TEST(SegmentLength, OneByteLeftFailsAndKeepsSegmentLeft) {
  const Bytes8 bytes = {0x00};
  reset_decoder();
  decoder.cursor = bytes.data();
  decoder.bytes_left = 1;
  decoder.segment_left = 17;
  read_segment_length();
  EXPECT_EQ(decoder.status, status_failed);
  EXPECT_EQ(decoder.segment_left, 17);
}

TEST(SkipBytes, ExactlyTheRestIsFineOneMoreFails) {
  const Bytes8 bytes = {1, 2, 3};
  reset_decoder();
  decoder.cursor = bytes.data();
  decoder.bytes_left = 3;
  skip_bytes(3);
  EXPECT_EQ(decoder.bytes_left, 0);
  EXPECT_EQ(decoder.status, status_running);
  skip_bytes(1);
  EXPECT_EQ(decoder.status, status_failed);
}

TEST(MarkerLoop, RefusesWhatIsNotABaselineFile) {
  const struct {
    const char* name;
    Bytes8 bytes;
  } cases[] = {
      {"empty", {}},
      {"one byte", {0xFF}},
      {"start of image only", {0xFF, 0xD8}},
      {"not a start of image", {0xFF, 0xD9, 0xFF, 0xD8}},
      {"fill byte before a marker", {0xFF, 0xD8, 0xFF, 0xFF, 0xC0}},
      {"progressive frame", file({segment(0xC2, {8, 0, 8, 0, 8, 1, 1, 0x11, 0})})},
      {"extended frame", file({segment(0xC1, {8, 0, 8, 0, 8, 1, 1, 0x11, 0})})},
      {"arithmetic frame", file({segment(0xC9, {8, 0, 8, 0, 8, 1, 1, 0x11, 0})})},
      {"second start of image", {0xFF, 0xD8, 0xFF, 0xD8}},
      {"end of image before a scan", {0xFF, 0xD8, 0xFF, 0xD9}},
      {"comment past the end", {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x09, 'a'}},
      {"comment length 0", {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x00, 0xFF, 0xD9}},
      {"application length 1", {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x01, 0xFF, 0xD9}},
      {"restart interval of 3 bytes", file({segment(0xDD, {0, 1, 0})})},
      {"restart interval of 1 byte", file({segment(0xDD, {1})})},
      {"scan before any frame", file({segment(0xDA, {0, 0, 63, 0})})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode(c.bytes), status_failed);
    release_decoder();
  }
}

TEST(MarkerLoop, FirstMarkerByteIsNotExamined) {
  Bytes8 bytes = file({frame(8, 8, {{1, 0x11, 0}})});
  bytes[2] = 0x00;                          // 00 C0 still reads as a frame header
  EXPECT_EQ(decode(bytes), status_failed);  // no scan follows
  EXPECT_EQ(decoder.width, 8);
  release_decoder();
}

TEST(MarkerLoop, ReadsRestartIntervalAndPassesOverOtherSegments) {
  const Bytes8 bytes =
      file({segment(0xE5, {1, 2, 3}), segment(0xFE, {}), segment(0xDD, {0x01, 0x02})});
  EXPECT_EQ(decode(bytes), status_failed);  // the input ends where a marker is expected
  EXPECT_EQ(decoder.restart_interval, 0x0102);
  release_decoder();
}

TEST(FrameHeader, Refusals) {
  const struct {
    const char* name;
    Bytes8 segment;
  } cases[] = {
      {"precision 12", frame(8, 8, {{1, 0x11, 0}}, 12)},
      {"factor 3", frame(8, 8, {{1, 0x31, 0}})},
      {"factor 0", frame(8, 8, {{1, 0x10, 0}})},
      {"horizontal factor 0", frame(8, 8, {{1, 0x01, 0}})},
      {"quantisation selector 4", frame(8, 8, {{1, 0x11, 4}})},
      {"subsampled planes of 2 x 2", frame(4, 4, colour_420)},
      {"no components", frame(8, 8, {})},
      {"two components", frame(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}})},
      {"four components", frame(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x11, 0}})},
      {"width 0", frame(0, 8, {{1, 0x11, 0}})},
      {"height 0", frame(8, 0, {{1, 0x11, 0}})},
      {"picture over 2 GiB", frame(65535, 65535, colour_420)},
      {"grey picture over 2 GiB", frame(65535, 11000, {{1, 0x11, 0}})},
      {"segment of 8 bytes", segment(0xC0, {8, 0, 8, 0, 8, 1, 1, 0x11})},
      {"fewer than 3 bytes a component", segment(0xC0, {8, 0, 8, 0, 8, 3, 1, 0x11, 0, 2})},
      {"second frame",
       [] {
         Bytes8 two = frame(8, 8, {{1, 0x11, 0}});
         const Bytes8 again = frame(16, 16, {{1, 0x11, 0}});
         two.insert(two.end(), again.begin(), again.end());
         return two;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode(file({c.segment})), status_failed);
    EXPECT_EQ(decoder.status, status_failed);
    release_decoder();
    EXPECT_EQ(platform_live_allocations(), 0);
  }
}

TEST(FrameHeader, Geometry) {
  const struct {
    const char* name;
    Bytes8 segment;
    int32_t mcus_across, mcus_down;
    std::vector<int32_t> plane_widths, plane_heights, strides;
  } cases[] = {
      {"worked example",
       frame(100, 75, colour_420),
       7,
       5,
       {100, 50, 50},
       {75, 38, 38},
       {112, 56, 56}},
      {"smallest subsampled planes",
       frame(5, 5, colour_420),
       1,
       1,
       {5, 3, 3},
       {5, 3, 3},
       {16, 8, 8}},
      {"one sample", frame(1, 1, {{1, 0x11, 0}}), 1, 1, {1}, {1}, {8}},
      {"factor 8",
       frame(64, 8, {{1, 0x81, 0}, {2, 0x11, 0}, {3, 0x11, 0}}),
       1,
       1,
       {64, 8, 8},
       {8, 8, 8},
       {64, 8, 8}},
      {"bytes after the components",
       [] {
         Bytes8 s = frame(8, 8, {{1, 0x11, 0}});
         s[3] += 2;
         s.insert(s.end(), {0xAA, 0xBB});
         return s;
       }(),
       1,
       1,
       {8},
       {8},
       {8}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Fails later, as the input ends before a scan; the comment stands for the scan data that
    // a frame must leave room for.
    decode(file({c.segment, segment(0xFE, Bytes8(4096, 0))}));
    EXPECT_EQ(decoder.mcus_across, c.mcus_across);
    EXPECT_EQ(decoder.mcus_down, c.mcus_down);
    for (size_t i = 0; i < c.strides.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(decoder.components[i].plane_width, c.plane_widths[i]);
      EXPECT_EQ(decoder.components[i].plane_height, c.plane_heights[i]);
      EXPECT_EQ(decoder.components[i].stride, c.strides[i]);
      EXPECT_NE(decoder.components[i].samples, nullptr);
    }
    release_decoder();
  }
}

TEST(DecodeJpeg, SecondDecodeFreesWhatTheFirstLeft) {
  const Bytes8 bytes = file({frame(64, 64, colour_420), segment(0xFE, Bytes8(4096, 0))});
  decode(bytes);
  EXPECT_EQ(platform_live_allocations(), 3);  // three planes; no picture until it is rendered
  decode(bytes);
  EXPECT_EQ(platform_live_allocations(), 3);  // three planes; no picture until it is rendered
  release_decoder();
  EXPECT_EQ(platform_live_allocations(), 0);
}

TEST(DecodeJpeg, FileWithoutEndOfImageDecodes) {
  const Bytes pixels = make_test_pixels(24, 16, 3, 1);
  Bytes jpeg = encode_jpeg(pixels, 24, 16, EncodeOptions{});
  ASSERT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  jpeg.resize(jpeg.size() - 2);
  EXPECT_EQ(decode_jpeg(jpeg.data(), static_cast<int32_t>(jpeg.size())), 0);
  release_decoder();
}

// Offset of the start-of-scan marker in a file made by the reference encoder.
size_t find_scan(const Bytes& jpeg) {
  size_t at = 2;
  while (!(jpeg[at] == 0xFF && jpeg[at + 1] == 0xDA)) at += 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
  return at;
}

TEST(DecodeJpeg, ScanHeaderChecks) {
  EncodeOptions options;
  options.h_samp[0] = options.v_samp[0] = 1;
  const Bytes jpeg = encode_jpeg(make_test_pixels(16, 16, 3, 2), 16, 16, options);
  const size_t sos = find_scan(jpeg);
  const size_t first = sos + 5;  // the first component selector
  const struct {
    const char* name;
    size_t offset;
    uint8_t value;
  } cases[] = {
      {"component count", sos + 4, 1},
      {"unknown component", first, 9},
      {"components swapped", first + 2, 1},
      {"table selector 0x12", first + 1, 0x12},
      {"table selector 0x20", first + 1, 0x20},
      {"spectral start 1", first + 6, 1},
      {"progressive spectral end", first + 7, 0},
      {"successive approximation", first + 8, 0x10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes mutated = jpeg;
    mutated[c.offset] = c.value;
    EXPECT_EQ(decode_jpeg(mutated.data(), static_cast<int32_t>(mutated.size())), status_failed);
    release_decoder();
  }
  EncodeOptions grey;
  grey.components = 1;
  grey.h_samp[0] = grey.v_samp[0] = 1;
  Bytes selectors = encode_jpeg(make_test_pixels(16, 16, 1, 2), 16, 16, grey);
  selectors[find_scan(selectors) + 6] = 0x11;  // tables 1 and 3, which this file never defines
  EXPECT_EQ(decode_jpeg(selectors.data(), static_cast<int32_t>(selectors.size())), status_failed);
  EXPECT_EQ(decoder.components[0].dc_table, 1);
  EXPECT_EQ(decoder.components[0].ac_table, 3);
  release_decoder();
}

}  // namespace

// The cursor operations, the marker loop and the frame header.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "jpeg/decoder.h"
#include "platform/platform.h"
#include "support/decoded_picture.h"
#include "support/jpeg_builder.h"
#include "support/reference_codec.h"

namespace {

using Bytes8 = std::vector<uint8_t>;

Bytes8 segment(uint8_t marker, const Bytes8& content) {
  return JpegBuilder().segment(marker, content).bytes();
}

// A component of a frame, its factors as the header's byte holds them (0x21: 2 across, 1 down).
struct Component {
  uint8_t id, factors, quant;
};

Bytes8 frame(int32_t width, int32_t height, const std::vector<Component>& components,
             uint8_t precision = 8) {
  std::vector<FrameComponent> in_frame;
  for (const Component& c : components) {
    in_frame.push_back({c.id, static_cast<uint8_t>(c.factors >> 4),
                        static_cast<uint8_t>(c.factors & 0x0F), c.quant});
  }
  Bytes8 content =
      sof0_payload(static_cast<uint16_t>(width), static_cast<uint16_t>(height), in_frame);
  content[0] = precision;
  return segment(0xC0, content);
}

Bytes8 file(const std::vector<Bytes8>& segments) {
  JpegBuilder jpeg;
  jpeg.soi();
  for (const Bytes8& s : segments) jpeg.raw(s);
  return jpeg.bytes();
}

int32_t decode(DecoderState& d, const Bytes8& bytes) {
  release_decoder(d);
  return decode_jpeg(d, bytes.data(), static_cast<int32_t>(bytes.size()));
}

using SegmentLength = DecoderTest;
using SkipBytes = DecoderTest;
using MarkerLoop = DecoderTest;
using FrameHeader = DecoderTest;
using DecodeJpeg = DecoderTest;

const std::vector<Component> colour_420 = {{1, 0x22, 0}, {2, 0x11, 1}, {3, 0x11, 1}};

TEST_F(SegmentLength, AcceptsASegmentEndingAtTheEndOfInput) {
  const Bytes8 bytes = {0x00, 0x04, 0xAA, 0xBB};
  release_decoder(d);
  begin_input(d, bytes.data(), 4);
  read_segment_length(d);
  EXPECT_FALSE(failed(d));
  EXPECT_EQ(d.segment_left, 2);
  EXPECT_EQ(d.bytes_left, 2);

  release_decoder(d);
  begin_input(d, bytes.data(), 3);  // one byte short
  read_segment_length(d);
  EXPECT_EQ(d.fault, Fault::segment_past_end);
  EXPECT_EQ(d.cursor, bytes.data());
}

TEST_F(SegmentLength, OneByteLeftFailsAndKeepsSegmentLeft) {
  const Bytes8 bytes = {0x00, 0x03, 0xAA, 0x00};
  release_decoder(d);
  begin_input(d, bytes.data(), 4);
  read_segment_length(d);
  skip_bytes(d, 1);
  ASSERT_EQ(d.segment_left, 0);
  read_segment_length(d);  // one byte left
  EXPECT_EQ(d.fault, Fault::truncated);
  EXPECT_EQ(d.segment_left, 0);
}

TEST_F(SkipBytes, ExactlyTheRestIsFineOneMoreFails) {
  const Bytes8 bytes = {1, 2, 3};
  release_decoder(d);
  begin_input(d, bytes.data(), 3);
  skip_bytes(d, 3);
  EXPECT_EQ(d.bytes_left, 0);
  EXPECT_FALSE(failed(d));
  skip_bytes(d, 1);
  EXPECT_EQ(d.fault, Fault::truncated);
}

TEST_F(MarkerLoop, RefusesWhatItDoesNotTakeAndSaysWhy) {
  const Bytes8 frame_content = {8, 0, 8, 0, 8, 1, 1, 0x11, 0};
  const struct {
    const char* name;
    Bytes8 bytes;
    Fault fault;
    int32_t detail;
  } cases[] = {
      {"empty", {}, Fault::not_jpeg, 0},
      {"one byte", {0xFF}, Fault::not_jpeg, 0},
      {"start of image only", {0xFF, 0xD8}, Fault::truncated, 0},
      {"not a start of image", {0xFF, 0xD9, 0xFF, 0xD8}, Fault::not_jpeg, 0},
      {"fill bytes and nothing after", {0xFF, 0xD8, 0xFF, 0xFF, 0xFF}, Fault::unknown_marker, 0xFF},
      {"lossless frame", file({segment(0xC3, frame_content)}), Fault::lossless, 0},
      {"arithmetic lossless frame", file({segment(0xCB, frame_content)}), Fault::lossless, 0},
      {"hierarchical frame", file({segment(0xC5, frame_content)}), Fault::hierarchical, 0},
      {"expansion marker", file({segment(0xDF, {0})}), Fault::hierarchical, 0},
      {"number of lines", file({segment(0xDC, {0, 8})}), Fault::dnl, 0},
      {"second start of image", {0xFF, 0xD8, 0xFF, 0xD8}, Fault::unknown_marker, 0xD8},
      {"end of image before a scan", {0xFF, 0xD8, 0xFF, 0xD9}, Fault::early_end_of_image, 0},
      {"comment past the end",
       {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x09, 'a'},
       Fault::segment_past_end,
       0},
      {"comment length 0", {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x00, 0xFF, 0xD9}, Fault::bad_segment, 0},
      {"application length 1",
       {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x01, 0xFF, 0xD9},
       Fault::bad_segment,
       0},
      {"restart interval of 3 bytes", file({segment(0xDD, {0, 1, 0})}), Fault::bad_segment, 0},
      {"restart interval of 1 byte", file({segment(0xDD, {1})}), Fault::bad_segment, 0},
      {"scan before any frame", file({segment(0xDA, {0, 0, 63, 0})}), Fault::no_frame, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode(d, c.bytes), 1);
    EXPECT_EQ(d.fault, c.fault);
    EXPECT_EQ(d.fault_detail, c.detail);
  }
}

// Fill bytes may stand before any marker; after them the code of an extended frame reads as
// well as a baseline one.
TEST_F(MarkerLoop, PassesOverFillBytes) {
  Bytes8 bytes = {0xFF, 0xD8, 0xFF, 0xFF, 0xFF};
  const Bytes8 extended = segment(0xC1, {8, 0, 8, 0, 8, 1, 1, 0x11, 0});
  bytes.insert(bytes.end(), extended.begin() + 1, extended.end());
  const Bytes8 room = segment(0xFE, Bytes8(16, 0));  // room for the frame's scan data
  bytes.insert(bytes.end(), room.begin(), room.end());
  EXPECT_EQ(decode(d, bytes), 1);  // no scan follows
  EXPECT_EQ(d.fault, Fault::truncated);
  EXPECT_EQ(d.width, 8);
}

TEST_F(MarkerLoop, FirstMarkerByteIsNotExamined) {
  Bytes8 bytes = file({frame(8, 8, {{1, 0x11, 0}})});
  bytes[2] = 0x00;                 // 00 C0 still reads as a frame header
  EXPECT_EQ(decode(d, bytes), 1);  // no scan follows
  EXPECT_EQ(d.width, 8);
  release_decoder(d);
}

TEST_F(MarkerLoop, ReadsRestartIntervalAndPassesOverOtherSegments) {
  const Bytes8 bytes =
      file({segment(0xE5, {1, 2, 3}), segment(0xFE, {}), segment(0xDD, {0x01, 0x02})});
  EXPECT_EQ(decode(d, bytes), 1);  // the input ends where a marker is expected
  EXPECT_EQ(d.restart_interval, 0x0102);
  release_decoder(d);
}

TEST_F(FrameHeader, Refusals) {
  const struct {
    const char* name;
    Bytes8 segment;
  } cases[] = {
      {"precision 12", frame(8, 8, {{1, 0x11, 0}}, 12)},
      {"factor 5", frame(8, 8, {{1, 0x51, 0}})},
      {"factor 0", frame(8, 8, {{1, 0x10, 0}})},
      {"horizontal factor 0", frame(8, 8, {{1, 0x01, 0}})},
      {"quantisation selector 4", frame(8, 8, {{1, 0x11, 4}})},
      {"no components", frame(8, 8, {})},
      {"two components", frame(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}})},
      {"five components",
       frame(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x11, 0}, {5, 0x11, 0}})},
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
    const int32_t before = platform_live_allocations();
    EXPECT_EQ(decode(d, file({c.segment})), 1);
    EXPECT_TRUE(failed(d));
    release_decoder(d);
    EXPECT_EQ(platform_live_allocations(), before);
  }
}

TEST_F(FrameHeader, Geometry) {
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
      {"one-sample chroma planes", frame(1, 1, colour_420), 1, 1, {1, 1, 1}, {1, 1, 1}, {16, 8, 8}},
      {"four components",
       frame(17, 9, {{1, 0x22, 0}, {2, 0x11, 1}, {3, 0x11, 1}, {4, 0x21, 0}}),
       2,
       1,
       {17, 9, 9, 17},
       {9, 5, 5, 5},
       {32, 16, 16, 32}},
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
    decode(d, file({c.segment, segment(0xFE, Bytes8(4096, 0))}));
    EXPECT_EQ(d.mcus_across, c.mcus_across);
    EXPECT_EQ(d.mcus_down, c.mcus_down);
    for (size_t i = 0; i < c.strides.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(d.components[i].plane_width, c.plane_widths[i]);
      EXPECT_EQ(d.components[i].plane_height, c.plane_heights[i]);
      EXPECT_EQ(d.components[i].stride, c.strides[i]);
    }
    release_decoder(d);
  }
}

// Factors 1 to 4 and 8 are taken where the largest in each direction is a whole multiple of
// each component's; a factor outside them is the one refused, and 3 where they do not divide.
TEST_F(FrameHeader, SamplingFactorsThatDivideTheLargest) {
  const auto allowed = [](int32_t f) { return (f >= 1 && f <= 4) || f == 8; };
  for (const bool across : {true, false}) {
    for (int32_t luma = 0; luma < 16; ++luma) {
      for (int32_t chroma = 0; chroma < 16; ++chroma) {
        SCOPED_TRACE(::testing::Message()
                     << (across ? "across " : "down ") << luma << " beside " << chroma);
        const auto factors = [&](int32_t f) {
          return static_cast<uint8_t>(across ? f << 4 | 1 : 0x10 | f);
        };
        decode(d, file({frame(24, 24,
                              {{1, factors(luma), 0}, {2, factors(chroma), 1}, {3, factors(1), 1}}),
                        segment(0xFE, Bytes8(4096, 0))}));
        const int32_t largest = luma > chroma ? luma : chroma;
        int32_t refused = !allowed(luma) ? luma : !allowed(chroma) ? chroma : -1;
        if (refused == -1 && (largest % luma != 0 || largest % chroma != 0)) refused = 3;
        if (refused == -1) {
          EXPECT_NE(d.fault, Fault::sampling_factor);  // the input ends where a scan should be
        } else {
          EXPECT_EQ(d.fault, Fault::sampling_factor);
          EXPECT_EQ(d.fault_detail, refused);
        }
      }
    }
  }
  release_decoder(d);
}

// A progressive frame holds its planes and coefficient stores from its header on.
TEST_F(DecodeJpeg, SecondDecodeFreesWhatTheFirstLeft) {
  Bytes8 progressive = frame(64, 64, colour_420);
  progressive[1] = 0xC2;
  const Bytes8 bytes = file({progressive, segment(0xFE, Bytes8(4096, 0))});
  decode(d, bytes);
  const int32_t record = platform_live_allocations() - 6;  // a plane and a store per component
  decode(d, bytes);
  EXPECT_EQ(platform_live_allocations(), record + 6);
  release_decoder(d);
  EXPECT_EQ(platform_live_allocations(), record);
}

TEST_F(DecodeJpeg, RefusesANegativeSize) {
  const Bytes8 bytes = {0xFF, 0xD8, 0xFF, 0xD9};
  EXPECT_EQ(decode_jpeg(d, bytes.data(), -4), 1);
  EXPECT_EQ(d.fault, Fault::not_jpeg);
  EXPECT_EQ(d.bytes_left, 0);
}

TEST_F(DecodeJpeg, FileWithoutEndOfImageDecodes) {
  const Bytes pixels = make_test_pixels(24, 16, 3, 1);
  Bytes jpeg = encode_jpeg(pixels, 24, 16, EncodeOptions{});
  ASSERT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  jpeg.resize(jpeg.size() - 2);
  EXPECT_EQ(decode_jpeg(d, jpeg.data(), static_cast<int32_t>(jpeg.size())), 0);
  release_decoder(d);
}

// Offset of the start-of-scan marker in a file made by the reference encoder.
size_t find_scan(const Bytes& jpeg) {
  size_t at = 2;
  while (!(jpeg[at] == 0xFF && jpeg[at + 1] == 0xDA)) at += 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
  return at;
}

TEST_F(DecodeJpeg, ScanHeaderChecks) {
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
      {"table selector 0x14", first + 1, 0x14},
      {"table selector 0x40", first + 1, 0x40},
      {"a table slot no segment defined", first + 1, 0x02},
      {"spectral start 1", first + 6, 1},
      {"progressive spectral end", first + 7, 0},
      {"successive approximation", first + 8, 0x10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes mutated = jpeg;
    mutated[c.offset] = c.value;
    EXPECT_EQ(decode_jpeg(d, mutated.data(), static_cast<int32_t>(mutated.size())), 1);
    release_decoder(d);
  }
  EncodeOptions grey;
  grey.components = 1;
  grey.h_samp[0] = grey.v_samp[0] = 1;
  Bytes selectors = encode_jpeg(make_test_pixels(16, 16, 1, 2), 16, 16, grey);
  selectors[find_scan(selectors) + 6] = 0x23;  // slots without a table or a standard one
  EXPECT_EQ(decode_jpeg(d, selectors.data(), static_cast<int32_t>(selectors.size())), 1);
  EXPECT_EQ(d.fault, Fault::missing_table);
  EXPECT_EQ(d.components[0].dc_table, 2);
  EXPECT_EQ(d.components[0].ac_table, 3);
  release_decoder(d);
}

}  // namespace

// The classic faults of JPEG decoders, each a small file built here: wrong counts, sizes and
// factors, tables that lie, codes that run off the block, segments that lie about their length,
// markers and ends in the wrong places. Every one must give its result with one message, no
// sanitizer report, no heap held and no stray file.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "hardening/checked_conversion.h"
#include "support/decoded_picture.h"
#include "support/files.h"
#include "support/jpeg_builder.h"

namespace {

constexpr int any_result = 0;  // either result is right, as long as the outcome is sound

struct Case {
  std::string name;
  Bytes jpeg;
  int want;  // 999, 1 or any_result
};

const std::vector<FrameComponent> grey = {{1, 1, 1, 0}};
const std::vector<ScanComponent> grey_scan = {{1, 0, 0}};
const std::vector<FrameComponent> colour = {{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}};
const std::vector<ScanComponent> colour_scan = {{1, 0, 0}, {2, 1, 1}, {3, 1, 1}};

// SOI and the tables that every case shares.
JpegBuilder tables() { return JpegBuilder().soi().dqt(0, 4).dqt(1, 6).standard_dht(); }

Bytes scan_data(uint16_t width, uint16_t height, const std::vector<FrameComponent>& frame,
                uint16_t restart_interval = 0) {
  PictureRecipe recipe;
  recipe.width = width;
  recipe.height = height;
  recipe.components = frame;
  recipe.restart_interval = restart_interval;
  return encode_scan(recipe);
}

// A whole file of the given frame whose data codes a picture of that geometry.
Bytes picture(uint16_t width, uint16_t height, const std::vector<FrameComponent>& frame,
              const std::vector<ScanComponent>& scan) {
  return tables()
      .sof0(width, height, frame)
      .sos(scan)
      .raw(scan_data(width, height, frame))
      .eoi()
      .bytes();
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes first(const Bytes& bytes, size_t count) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

// About the first half of entropy-coded data, not ending inside a stuffed 0xFF 0x00.
Bytes first_half(const Bytes& data) {
  size_t count = data.size() / 2;
  while (count > 0 && data[count - 1] == 0xFF) --count;
  return first(data, count);
}

// Index of the first byte of a two-byte sequence, which the test expects to be there.
size_t find_pair(const Bytes& bytes, uint8_t a, uint8_t b) {
  for (size_t i = 0; i + 1 < bytes.size(); ++i) {
    if (bytes[i] == a && bytes[i + 1] == b) return i;
  }
  ADD_FAILURE() << "no " << int{a} << " " << int{b} << " in the data";
  return 0;
}

void expect_cases(const std::vector<Case>& cases) {
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CheckedConversion outcome = convert_and_check(c.jpeg, dir);
    EXPECT_EQ(outcome.problem, "");
    if (c.want != any_result) {
      EXPECT_EQ(outcome.result, c.want);
    }
  }
}

TEST(CraftedFaults, ComponentCounts) {
  const Bytes data = scan_data(16, 16, colour);
  Bytes padded_empty_frame = sof0_payload(16, 16, {});
  padded_empty_frame.insert(padded_empty_frame.end(), {0, 0, 0});
  Bytes short_frame = sof0_payload(16, 16, grey);
  short_frame[5] = 3;  // three components declared, one given
  expect_cases({
      {"four components",
       tables()
           .sof0(16, 16, {{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}, {4, 1, 1, 1}})
           .sos({{1, 0, 0}, {2, 1, 1}, {3, 1, 1}, {4, 1, 1}})
           .raw(data)
           .eoi()
           .bytes(),
       1},
      {"255 components",
       tables()
           .segment(0xC0,
                    [] {
                      Bytes p = sof0_payload(16, 16, {});
                      p[5] = 255;
                      p.resize(p.size() + 3 * 255, 0x11);
                      return p;
                    }())
           .sos(colour_scan)
           .raw(data)
           .eoi()
           .bytes(),
       1},
      {"no components", tables().sof0(16, 16, {}).sos({}).raw(data).eoi().bytes(), 1},
      {"no components in a padded segment",
       tables().segment(0xC0, padded_empty_frame).sos({}).raw(data).eoi().bytes(), 1},
      {"two components",
       tables()
           .sof0(16, 16, {{1, 1, 1, 0}, {2, 1, 1, 1}})
           .sos({{1, 0, 0}, {2, 1, 1}})
           .raw(data)
           .eoi()
           .bytes(),
       1},
      {"more components than the segment holds",
       tables().segment(0xC0, short_frame).sos(grey_scan).raw(data).eoi().bytes(), 1},
      {"three components, a valid control", picture(16, 16, colour, colour_scan), 999},
  });
}

TEST(CraftedFaults, FrameSizes) {
  const Bytes data = scan_data(16, 16, colour);
  const std::vector<FrameComponent> plain_colour = {{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}};
  expect_cases({
      {"width 0", tables().sof0(0, 16, grey).sos(grey_scan).raw(data).eoi().bytes(), 1},
      {"height 0", tables().sof0(16, 0, grey).sos(grey_scan).raw(data).eoi().bytes(), 1},
      {"width and height 0", tables().sof0(0, 0, colour).sos(colour_scan).raw(data).eoi().bytes(),
       1},
      {"width 65535, one row of MCUs", picture(65535, 8, colour, colour_scan), 999},
      {"height 65535, one column of blocks", picture(8, 65535, grey, grey_scan), 999},
      {"65535 x 65535 grey",
       tables().sof0(65535, 65535, grey).sos(grey_scan).raw(data).eoi().bytes(), 1},
      {"65535 x 65535 colour",
       tables().sof0(65535, 65535, colour).sos(colour_scan).raw(data).eoi().bytes(), 1},
      // 65535 x 10923 x 3 is the first height whose picture passes 2^31 - 1 bytes.
      {"65535 x 10923 colour",
       tables().sof0(65535, 10923, plain_colour).sos(colour_scan).raw(data).eoi().bytes(), 1},
      {"65535 x 10923 grey, 8 x 8 sampled",
       tables().sof0(65535, 10923, {{1, 8, 8, 0}}).sos(grey_scan).raw(data).eoi().bytes(), 1},
  });
}

TEST(CraftedFaults, SamplingFactors) {
  const Bytes data = scan_data(32, 32, colour);
  auto with_factors = [&](uint8_t h, uint8_t v) {
    return tables()
        .sof0(32, 32, {{1, h, v, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}})
        .sos(colour_scan)
        .raw(data)
        .eoi()
        .bytes();
  };
  // A factor of 16 has no nibble to hold it; 0 and 15 are the nibble's ends.
  expect_cases({
      {"horizontal 0", with_factors(0, 1), 1},
      {"vertical 0", with_factors(1, 0), 1},
      {"both 0", with_factors(0, 0), 1},
      {"horizontal 5", with_factors(5, 1), 1},
      {"vertical 5", with_factors(1, 5), 1},
      {"horizontal 15", with_factors(15, 1), 1},
      {"vertical 15", with_factors(1, 15), 1},
      {"chroma 3 beside luma 2",
       tables()
           .sof0(32, 32, {{1, 2, 2, 0}, {2, 3, 1, 1}, {3, 1, 1, 1}})
           .sos(colour_scan)
           .raw(data)
           .eoi()
           .bytes(),
       1},
      {"8 x 8 grey", picture(24, 24, {{1, 8, 8, 0}}, grey_scan), 999},
      {"8 x 8 luma", picture(24, 24, {{1, 8, 8, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, colour_scan), 999},
      {"8 x 8 luma, chroma planes of 2 samples",
       picture(16, 16, {{1, 8, 8, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, colour_scan), 999},
      {"1 x 1 at 4:2:0", picture(1, 1, colour, colour_scan), 999},
      {"4 x 4 at 4:2:0", picture(4, 4, colour, colour_scan), 999},
      {"3 x 3 at 4:1:1", picture(3, 3, {{1, 4, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, colour_scan),
       999},
  });
}

TEST(CraftedFaults, QuantisationSelectors) {
  const Bytes data = scan_data(16, 16, grey);
  Bytes dqt_id4(65, 4);
  dqt_id4[0] = 4;
  Bytes dqt_16bit(129, 4);
  dqt_16bit[0] = 0x10;
  Bytes dqt_16bit_short(128, 4);
  dqt_16bit_short[0] = 0x10;
  Bytes dqt_short(64, 4);
  dqt_short[0] = 0;
  expect_cases({
      {"frame selects table 4",
       tables().sof0(16, 16, {{1, 1, 1, 4}}).sos(grey_scan).raw(data).eoi().bytes(), 1},
      {"frame selects table 255",
       tables().sof0(16, 16, {{1, 1, 1, 255}}).sos(grey_scan).raw(data).eoi().bytes(), 1},
      {"table 4 defined",
       tables().segment(0xDB, dqt_id4).sof0(16, 16, grey).sos(grey_scan).raw(data).eoi().bytes(),
       1},
      {"16-bit table",
       tables().segment(0xDB, dqt_16bit).sof0(16, 16, grey).sos(grey_scan).raw(data).eoi().bytes(),
       999},
      {"16-bit table one byte short",
       tables()
           .segment(0xDB, dqt_16bit_short)
           .sof0(16, 16, grey)
           .sos(grey_scan)
           .raw(data)
           .eoi()
           .bytes(),
       1},
      {"table one byte short",
       tables().segment(0xDB, dqt_short).sof0(16, 16, grey).sos(grey_scan).raw(data).eoi().bytes(),
       1},
  });
}

TEST(CraftedFaults, HuffmanTables) {
  const Bytes data = scan_data(16, 16, grey);
  auto with_dht = [&](const Bytes& payload) {
    return tables()
        .segment(0xC4, payload)
        .sof0(16, 16, grey)
        .sos(grey_scan)
        .raw(data)
        .eoi()
        .bytes();
  };
  const HuffmanSpec overfull{{3}, {0, 1, 2}};
  const HuffmanSpec overfull_late{{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 3},
                                  {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}};
  const HuffmanSpec too_many_symbols{{0, 0, 0, 0, 0, 0, 0, 100}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}};
  const HuffmanSpec counts_only{
      {255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255}, {}};
  Bytes trailing = dht_payload(0, 0, standard_dc_luminance());
  trailing.insert(trailing.end(), {1, 2, 3, 4, 5});
  expect_cases({
      {"three codes of length 1", with_dht(dht_payload(0, 0, overfull)), 1},
      {"codes overfill at length 16", with_dht(dht_payload(0, 0, overfull_late)), 1},
      {"counts past the segment", with_dht(dht_payload(1, 0, too_many_symbols)), 1},
      {"counts of 255 and no symbols", with_dht(dht_payload(1, 0, counts_only)), 1},
      {"class 2", with_dht(dht_payload(2, 0, standard_dc_luminance())), 1},
      {"identifier 4", with_dht(dht_payload(0, 4, standard_dc_luminance())), 1},
      {"identifier 3, never used", with_dht(dht_payload(0, 3, standard_dc_luminance())), 999},
      {"bytes after the last table", with_dht(trailing), 1},
      // Slots 0 and 1 without a table take the standard ones, as motion-JPEG frames need.
      {"no tables at all",
       JpegBuilder().soi().dqt(0, 4).sof0(16, 16, grey).sos(grey_scan).raw(data).eoi().bytes(),
       999},
      {"a table redefined the same", with_dht(dht_payload(0, 0, standard_dc_luminance())), 999},
  });
}

// One 8x8 grey block per entry of `blocks`, coded with `dc` and `ac` as tables 0 by `code`.
Bytes grey_blocks(uint16_t width, uint16_t height, const HuffmanSpec& dc, const HuffmanSpec& ac,
                  uint8_t quant, const std::function<void(EntropyCoder*)>& code) {
  EntropyCoder coder(dc, ac, dc, ac);
  code(&coder);
  coder.bits.align();
  return JpegBuilder()
      .soi()
      .dqt(0, quant)
      .dht(0, 0, dc)
      .dht(1, 0, ac)
      .sof0(width, height, grey)
      .sos(grey_scan)
      .raw(coder.bits.bytes())
      .eoi()
      .bytes();
}

TEST(CraftedFaults, SizeCategoriesBeyondBaseline) {
  // Tables whose symbols ask for 12 to 15 extra bits: values up to 32767 times quantiser 255,
  // DC predictions that pass 2^31, all of it must stay defined arithmetic.
  const HuffmanSpec dc15{{1}, {15}};
  const HuffmanSpec dc12{{1}, {12}};
  const HuffmanSpec eob{{1}, {0x00}};
  const HuffmanSpec ac_wide{{0, 4}, {0x00, 0x0F, 0x0B, 0xEF}};
  const uint16_t side = 2056;  // 66049 blocks: 32767 added to the prediction each time
  expect_cases({
      {"DC category 15 until the prediction wraps",
       grey_blocks(side, side, dc15, eob, 255,
                   [](EntropyCoder* c) {
                     for (int32_t i = 0; i < 257 * 257; ++i) {
                       c->dc_symbol(0, 15);
                       c->bits.put(0x7FFF, 15);
                       c->ac_symbol(0, 0x00);
                     }
                   }),
       999},
      {"DC category 12, negative",
       grey_blocks(8, 8, dc12, eob, 255,
                   [](EntropyCoder* c) {
                     c->dc_symbol(0, 12);
                     c->bits.put(0, 12);
                     c->ac_symbol(0, 0x00);
                   }),
       999},
      {"AC sizes 15 and 11",
       grey_blocks(16, 8, dc12, ac_wide, 255,
                   [](EntropyCoder* c) {
                     for (int32_t block = 0; block < 2; ++block) {
                       c->dc_symbol(0, 12);
                       c->bits.put(block == 0 ? 0xFFF : 0, 12);
                       c->ac_symbol(0, 0x0F);
                       c->bits.put(block == 0 ? 0x7FFF : 0, 15);
                       c->ac_symbol(0, 0x0B);
                       c->bits.put(0x400, 11);
                       c->ac_symbol(0, 0xEF);  // run 14: position 17
                       c->bits.put(0x7FFF, 15);
                       c->ac_symbol(0, 0x00);
                     }
                   }),
       999},
  });
}

TEST(CraftedFaults, RunsPastTheLastPosition) {
  const HuffmanSpec dc{{1}, {0}};
  const HuffmanSpec ac{{0, 0, 8}, {0x00, 0xF0, 0xE1, 0xF1, 0x10, 0x01, 0x0F, 0xE0}};
  auto block = [&](std::vector<uint8_t> symbols) {
    return grey_blocks(8, 8, dc, ac, 2, [symbols](EntropyCoder* c) {
      c->dc_symbol(0, 0);
      for (const uint8_t s : symbols) {
        c->ac_symbol(0, s);
        c->bits.put(1, s & 0x0F);
      }
    });
  };
  expect_cases({
      {"four runs of 16 zeros", block({0xF0, 0xF0, 0xF0, 0xF0}), 1},
      {"runs to 48, then 15 more", block({0xF0, 0xF0, 0xF0, 0xF1}), 1},
      {"runs to 48, then 14 more and a value at 63", block({0xF0, 0xF0, 0xF0, 0xE1}), 999},
      // A block ends at position 63 with no end of block; what follows is the next block's.
      {"a value at 63, then one more", block({0xF0, 0xF0, 0xF0, 0xE1, 0x01}), 999},
      {"63 single values", block(std::vector<uint8_t>(63, 0x01)), 999},
      {"64 single values", block(std::vector<uint8_t>(64, 0x01)), 999},
      {"a run of 1 with no value", block({0x10, 0x00}), 1},
      {"a run of 14 with no value", block({0xE0, 0x00}), 1},
  });
}

TEST(CraftedFaults, ScanHeaders) {
  const Bytes data = scan_data(16, 16, colour);
  auto with_scan = [&](const Bytes& payload) {
    return tables().sof0(16, 16, colour).segment(0xDA, payload).raw(data).eoi().bytes();
  };
  Bytes selector_2 = sos_payload(colour_scan);
  selector_2[2] = 0x20;
  Bytes selector_ac_2 = sos_payload(colour_scan);
  selector_ac_2[2] = 0x02;
  Bytes progressive = sos_payload(colour_scan);
  progressive[8] = 0;
  Bytes approximation = sos_payload(colour_scan);
  approximation[9] = 0x10;
  Bytes longer = sos_payload(colour_scan);
  longer.insert(longer.end(), {9, 9, 9});
  expect_cases({
      {"an unknown component", with_scan(sos_payload({{1, 0, 0}, {2, 1, 1}, {4, 1, 1}})), 1},
      {"only the first component, then the end", with_scan(sos_payload({{1, 0, 0}})), 1},
      {"a component twice", with_scan(sos_payload({{1, 0, 0}, {2, 1, 1}, {2, 1, 1}})), 1},
      {"components out of order", with_scan(sos_payload({{1, 0, 0}, {3, 1, 1}, {2, 1, 1}})), 1},
      {"no components", with_scan(sos_payload({})), 1},
      {"DC table 2", with_scan(selector_2), 1},
      {"AC table 2", with_scan(selector_ac_2), 1},
      {"spectral selection 0..0", with_scan(progressive), 1},
      {"successive approximation", with_scan(approximation), 1},
      {"extra bytes in the header", with_scan(longer), 999},
      {"a scan before the frame",
       tables().sos(colour_scan).sof0(16, 16, colour).raw(data).eoi().bytes(), 1},
  });
}

TEST(CraftedFaults, SegmentLengths) {
  const Bytes good = picture(16, 16, grey, grey_scan);
  struct Segment {
    const char* name;
    uint8_t code;
  } segments[] = {{"APP0", 0xE0}, {"APP14", 0xEE}, {"COM", 0xFE}, {"DQT", 0xDB},
                  {"DHT", 0xC4},  {"SOF0", 0xC0},  {"DRI", 0xDD}, {"SOS", 0xDA}};
  std::vector<Case> cases;
  const Bytes filler(20, 0x20);
  for (const Segment& s : segments) {
    const Bytes rest(good.begin() + 2, good.end());  // the valid file after its SOI
    for (const uint16_t length : {uint16_t{0}, uint16_t{1}}) {
      cases.push_back(
          {std::string(s.name) + " of length " + std::to_string(length),
           JpegBuilder().soi().segment_with_length(s.code, length, filler).raw(rest).bytes(), 1});
    }
    // The length reaches one byte past the end of the file.
    const Bytes head = tables().sof0(16, 16, grey).bytes();
    cases.push_back({std::string(s.name) + " longer than the file",
                     JpegBuilder().raw(head).segment_with_length(s.code, 23, filler).bytes(), 1});
    cases.push_back({std::string(s.name) + " of length 65535",
                     JpegBuilder().raw(head).segment_with_length(s.code, 65535, filler).bytes(),
                     1});
  }
  expect_cases(cases);
}

TEST(CraftedFaults, MarkersInsideEntropyData) {
  const Bytes head = tables().sof0(64, 64, colour).sos(colour_scan).bytes();
  const Bytes data = scan_data(64, 64, colour);
  const Bytes half = first_half(data);
  expect_cases({
      {"a DHT marker halfway", cat(cat(head, half), {0xFF, 0xC4, 0x00, 0x02}), 1},
      {"0xFF 0xFF halfway", cat(cat(cat(head, half), {0xFF, 0xFF}), data), 1},
      {"a frame marker halfway", cat(cat(cat(head, half), {0xFF, 0xC0}), data), 1},
      {"a DHT segment where the data should start",
       JpegBuilder().raw(head).dht(0, 0, standard_dc_luminance()).raw(data).eoi().bytes(), 1},
      {"a restart marker without restart intervals",
       cat(cat(cat(head, half), {0xFF, 0xD0}), Bytes(data.begin() + half.size(), data.end())),
       any_result},
      {"0xFF as the last byte, halfway", cat(cat(head, half), {0xFF}), 1},
      {"0xFF as the last byte after the data", cat(cat(head, data), {0xFF}), any_result},
      {"0xFF as the last byte where a marker is due", {0xFF, 0xD8, 0xFF}, 1},
      {"the start marker alone", {0xFF, 0xD8}, 1},
      {"a second start marker", cat({0xFF, 0xD8}, picture(16, 16, grey, grey_scan)), 1},
      {"an end marker before the scan", cat(tables().eoi().bytes(), data), 1},
  });
}

// Between the scans of a frame coded in several: fill bytes, stray restart markers and table or
// miscellaneous segments are passed over, and the picture is the same; anything else is refused.
TEST(CraftedFaults, BetweenScans) {
  // Three one-component scans (Cr, Y, Cb) with restart intervals; tables before each scan.
  const Bytes original =
      read_file(corpus_dir() + "/wide/seq_video001_150x103_422_three_scans_dri.jpg");
  ASSERT_FALSE(original.empty());
  // Where the second scan's header starts, the first scan's data and the tables behind it.
  const size_t at = find_pair(Bytes(original.begin() + 400, original.end()), 0xFF, 0xDA) + 400;
  const Bytes first_scan_segment(original.begin() + 399, original.begin() + 399 + 10);
  const Bytes quant_segment(original.begin() + 20, original.begin() + 89);
  const Bytes frame_segment(original.begin() + 158, original.begin() + 177);
  auto inserted = [&](const Bytes& bytes) {
    Bytes jpeg = original;
    jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
    return jpeg;
  };
  const DecodedPicture want = decode_picture(original);
  ASSERT_EQ(want.result, 0);
  const struct {
    const char* name;
    Bytes jpeg;
    Fault fault;  // none: the same picture
  } cases[] = {
      {"fill bytes", inserted({0xFF, 0xFF}), Fault::none},
      {"a stray restart marker", inserted({0xFF, 0xD5}), Fault::none},
      {"a comment", inserted({0xFF, 0xFE, 0x00, 0x04, 'h', 'i'}), Fault::none},
      {"an application segment", inserted({0xFF, 0xE1, 0x00, 0x03, 0}), Fault::none},
      {"the same restart interval", inserted({0xFF, 0xDD, 0x00, 0x04, 0x00, 0x03}), Fault::none},
      {"the same quantisation tables", inserted(quant_segment), Fault::none},
      {"a byte that is no marker", inserted({0x00}), Fault::not_a_marker},
      {"a second frame", inserted(frame_segment), Fault::second_frame},
      {"a number of lines", inserted({0xFF, 0xDC, 0x00, 0x04, 0x00, 0x67}), Fault::dnl},
      {"an unknown marker", inserted({0xFF, 0x01}), Fault::unknown_marker},
      {"the end of the image", inserted({0xFF, 0xD9}), Fault::early_end_of_image},
      {"the first scan's component again", inserted(first_scan_segment), Fault::bad_scan},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DecodedPicture have = decode_picture(c.jpeg);
    EXPECT_EQ(have.fault, c.fault);
    if (c.fault == Fault::none) {
      EXPECT_EQ(have.pixels, want.pixels);
    }
  }
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(convert_and_check(c.jpeg, dir).problem, "");
  }
}

TEST(CraftedFaults, SecondFrameHeader) {
  const Bytes data = scan_data(16, 16, grey);
  expect_cases({
      {"the same frame twice",
       tables().sof0(16, 16, grey).sof0(16, 16, grey).sos(grey_scan).raw(data).eoi().bytes(), 1},
      {"a larger second frame",
       tables().sof0(16, 16, grey).sof0(64, 64, colour).sos(grey_scan).raw(data).eoi().bytes(), 1},
  });
}

TEST(CraftedFaults, RestartIntervals) {
  const Bytes head = tables().sof0(48, 32, colour).dri(1).sos(colour_scan).bytes();
  const Bytes data = scan_data(48, 32, colour, 1);  // six MCUs, markers 0 to 4 between them
  Bytes out_of_sequence = data;
  out_of_sequence[find_pair(data, 0xFF, 0xD1) + 1] = 0xD2;
  Bytes first_repeated = data;
  first_repeated[find_pair(data, 0xFF, 0xD1) + 1] = 0xD0;
  Bytes missing = data;
  const size_t rst = find_pair(data, 0xFF, 0xD2);
  missing.erase(missing.begin() + static_cast<std::ptrdiff_t>(rst),
                missing.begin() + static_cast<std::ptrdiff_t>(rst) + 2);
  auto with_dri = [&](const Bytes& dri_payload, const Bytes& entropy) {
    return tables()
        .sof0(48, 32, colour)
        .segment(0xDD, dri_payload)
        .sos(colour_scan)
        .raw(entropy)
        .eoi()
        .bytes();
  };
  expect_cases({
      {"restart markers in sequence", cat(cat(head, data), {0xFF, 0xD9}), 999},
      {"DRI of one byte", with_dri({1}, data), 1},
      {"DRI of three bytes", with_dri({0, 1, 0}, data), 1},
      {"DRI with no content", with_dri({}, data), 1},
      {"marker 2 where 1 is due", cat(cat(head, out_of_sequence), {0xFF, 0xD9}), 1},
      {"marker 0 repeated", cat(cat(head, first_repeated), {0xFF, 0xD9}), 1},
      {"a marker missing", cat(cat(head, missing), {0xFF, 0xD9}), 1},
      {"markers where no interval was defined", with_dri({0, 0}, data), any_result},
      {"an interval longer than the scan", with_dri({0, 100}, scan_data(48, 32, colour)), 999},
  });
}

TEST(CraftedFaults, FilesEndingInsideTheScan) {
  const Bytes head = tables().sof0(64, 64, colour).sos(colour_scan).bytes();
  const Bytes data = scan_data(64, 64, colour);
  const Bytes half = first_half(data);
  expect_cases({
      {"halfway, no end marker", cat(head, half), 1},
      {"halfway, end marker", cat(cat(head, half), {0xFF, 0xD9}), 1},
      {"right after the data, no end marker", cat(head, data), 999},
      {"right after the data, end marker", cat(cat(head, data), {0xFF, 0xD9}), 999},
      {"right after the scan header", head, 1},
      {"inside the scan header", first(head, head.size() - 3), 1},
  });
}

// A table in which every 16-bit prefix is a code (two codes of one bit), so that the 1-bits
// that stand in past the end decode as blocks: grey DC 0 and an end of block, over and over.
const HuffmanSpec every_prefix_dc{{2}, {0, 0}};
const HuffmanSpec every_prefix_ac{{2}, {0x00, 0x00}};

Bytes frame_over_filler(uint16_t width, uint16_t height, const std::vector<FrameComponent>& frame,
                        size_t data_bytes) {
  std::vector<ScanComponent> scan;
  for (const FrameComponent& c : frame) scan.push_back({c.id, 0, 0});
  return JpegBuilder()
      .soi()
      .dqt(0, 1)
      .dht(0, 0, every_prefix_dc)
      .dht(1, 0, every_prefix_ac)
      .sof0(width, height, frame)
      .sos(scan)
      .raw(Bytes(data_bytes, 0))
      .bytes();
}

TEST(CraftedFaults, LargestFrameInASmallFileEndsQuickly) {
  // The largest frame the header accepts: 65535 x 10922 x 3 bytes is just below 2^31.
  const std::vector<FrameComponent> three = {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}};
  const Bytes jpeg = frame_over_filler(65535, 10922, three, 0);
  ASSERT_LT(jpeg.size(), 1024u);
  rusage before;
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  expect_cases({{"65535 x 10922 in " + std::to_string(jpeg.size()) + " bytes", jpeg, 1}});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  rusage after;
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(elapsed, std::chrono::seconds(2));
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "peak grew by that many KiB";
}

TEST(CraftedFaults, FrameNeedsTwoBitsOfInputPerBlock) {
  // Each block takes two bits at least, so a frame is refused when the input after its header
  // holds fewer than a quarter byte per block. Here 12 bytes follow the frame header besides the
  // data (scan header and end marker), and the frames are 8 blocks high.
  auto file = [](uint16_t width, size_t data_bytes) {
    return cat(frame_over_filler(width, 64, grey, data_bytes), {0xFF, 0xD9});
  };
  expect_cases({
      {"64 blocks over 16 bytes", file(64, 4), 999},
      {"64 blocks over 15 bytes", file(64, 3), 1},
      {"72 blocks over 18 bytes", file(72, 6), 999},
      {"72 blocks over 17 bytes", file(72, 5), 1},
      {"4096 blocks over 1024 bytes", file(4096, 1012), 999},
      {"4096 blocks over 1023 bytes", file(4096, 1011), 1},
  });
}

}  // namespace

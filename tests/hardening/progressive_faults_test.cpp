// The faults of progressive and arithmetic-coded files: scan scripts out of order, files cut
// short, arithmetic data with no marker after it, and scripts that would make a decode do far
// more work than its file is worth. Each is refused for its reason, soundly: one message, no
// output, no heap held.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hardening/checked_conversion.h"
#include "support/decoded_picture.h"
#include "support/jpeg_builder.h"
#include "support/reference_codec.h"

namespace {

struct Case {
  std::string name;
  Bytes jpeg;
  Fault fault;  // none: the file converts
};

void expect_faults(const std::vector<Case>& cases) {
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DecodedPicture picture = decode_picture(c.jpeg);
    EXPECT_EQ(picture.fault, c.fault);
    const CheckedConversion outcome = convert_and_check(c.jpeg, dir);
    EXPECT_EQ(outcome.problem, "");
    EXPECT_EQ(outcome.result, c.fault == Fault::none ? 999 : 1);
  }
}

// Offsets of the start-of-scan markers.
std::vector<size_t> scans_of(const Bytes& jpeg) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) at.push_back(i);
  }
  return at;
}

// The scan header fields after the components: Ss, Se, and Ah Al in one byte.
Bytes with_band(Bytes jpeg, size_t scan_at, int32_t ss, int32_t se, int32_t ah, int32_t al) {
  const size_t fields = scan_at + 5 + 2 * size_t{jpeg[scan_at + 4]};
  jpeg[fields] = static_cast<uint8_t>(ss);
  jpeg[fields + 1] = static_cast<uint8_t>(se);
  jpeg[fields + 2] = static_cast<uint8_t>(ah << 4 | al);
  return jpeg;
}

Bytes without(Bytes jpeg, size_t from, size_t to) {
  jpeg.erase(jpeg.begin() + static_cast<std::ptrdiff_t>(from),
             jpeg.begin() + static_cast<std::ptrdiff_t>(to));
  return jpeg;
}

Bytes photo(int32_t components = 3) {
  EncodeOptions options;
  options.components = components;
  return encode_jpeg(make_test_pixels(48, 32, components, 7), 48, 32, options);
}

TEST(ProgressiveFaults, ScanScriptsOutOfOrder) {
  TempDir dir;
  // The usual script: DC of all three (Al 1), luma 1-5 (Al 2), chroma 1-63 (Al 1), luma 6-63
  // (Al 2), luma 1-63 (2 to 1), DC refinement, then each component's last AC bit.
  const Bytes good = transcode("-progressive", photo(), dir);
  const std::vector<size_t> scan = scans_of(good);
  ASSERT_EQ(scan.size(), 10u);
  Bytes twice = good;  // the luma 1-5 scan again right after itself
  twice.insert(twice.begin() + static_cast<std::ptrdiff_t>(scan[2]), good.begin() + scan[1],
               good.begin() + scan[2]);
  expect_faults({
      {"the script as written", good, Fault::none},
      {"a DC scan with AC coefficients", with_band(good, scan[0], 0, 5, 0, 1),
       Fault::bad_progression},
      {"a band that starts after it ends", with_band(good, scan[1], 5, 3, 0, 2),
       Fault::bad_progression},
      {"a band past 63", with_band(good, scan[1], 1, 64, 0, 2), Fault::bad_progression},
      {"AC coefficients of three components", with_band(good, scan[0], 1, 5, 0, 1),
       Fault::bad_progression},
      {"AC coefficients before the component's DC", without(good, scan[0], scan[1]),
       Fault::bad_progression},
      {"a band's first scan twice", twice, Fault::bad_progression},
      {"a refinement of a bit not coded last", with_band(good, scan[5], 1, 63, 3, 2),
       Fault::bad_progression},
      {"a refinement of two bits", with_band(good, scan[5], 1, 63, 2, 0), Fault::bad_progression},
      {"a first scan leaving 14 bits out", with_band(good, scan[0], 0, 0, 0, 14),
       Fault::bad_progression},
      {"cut before the end marker", without(good, good.size() - 2, good.size()), Fault::truncated},
      // The 1-bits that stand in past the end make no code of this scan's table.
      {"cut inside the last scan", without(good, good.size() - 6, good.size()), Fault::bad_code},
  });
}

TEST(ProgressiveFaults, ArithmeticData) {
  TempDir dir;
  const Bytes sequential = transcode("-arithmetic -restart 1B", photo(), dir);
  const Bytes progressive = transcode("-arithmetic -progressive", photo(), dir);
  ASSERT_FALSE(sequential.empty());
  ASSERT_FALSE(progressive.empty());
  Bytes out_of_order = sequential;
  for (size_t i = 0; i + 1 < out_of_order.size(); ++i) {
    if (out_of_order[i] == 0xFF && out_of_order[i + 1] == 0xD1) {
      out_of_order[i + 1] = 0xD2;
      break;
    }
  }
  const size_t last_scan = scans_of(progressive).back();
  // DAC segments before the frame: a DC table's L above its U, an AC table's Kx of 0.
  auto with_dac = [&](uint8_t table, uint8_t value) {
    Bytes jpeg = sequential;
    const Bytes dac = {0xFF, 0xCC, 0x00, 0x04, table, value};
    jpeg.insert(jpeg.begin() + 2, dac.begin(), dac.end());
    return jpeg;
  };
  expect_faults({
      {"sequential, as written", sequential, Fault::none},
      {"progressive, as written", progressive, Fault::none},
      {"restart markers out of order", out_of_order, Fault::restart_out_of_order},
      {"sequential, cut inside the data",
       without(sequential, sequential.size() / 2, sequential.size()), Fault::data_cut_short},
      {"progressive, cut inside the last scan",
       without(progressive, last_scan + 20, progressive.size()), Fault::data_cut_short},
      {"conditioning of L above U", with_dac(0x00, 0x12), Fault::bad_segment},
      {"conditioning of Kx 0", with_dac(0x10, 0), Fault::bad_segment},
      {"conditioning of another Kx", with_dac(0x10, 9), Fault::none},
  });
}

// A progressive frame followed by scan headers with a byte of data each.
Bytes script_file(uint16_t width, uint16_t height, const std::vector<FrameComponent>& frame,
                  const std::vector<Bytes>& scan_headers) {
  JpegBuilder jpeg;
  jpeg.soi().dqt(0, 4).standard_dht().segment(0xC2, sof0_payload(width, height, frame));
  for (const Bytes& header : scan_headers) jpeg.segment(0xDA, header).raw({0x00});
  return jpeg.eoi().bytes();
}

Bytes scan_header(std::vector<uint8_t> ids, int32_t ss, int32_t se, int32_t ah, int32_t al) {
  Bytes header = {static_cast<uint8_t>(ids.size())};
  for (const uint8_t id : ids) header.insert(header.end(), {id, 0x00});
  header.insert(header.end(), {static_cast<uint8_t>(ss), static_cast<uint8_t>(se),
                               static_cast<uint8_t>(ah << 4 | al)});
  return header;
}

// Every coefficient of each component first with its 13 low bits left out, then refined one
// bit at a time: a legal script of 2,660 scans for three components.
std::vector<Bytes> bit_by_bit_script(int32_t components) {
  std::vector<uint8_t> all;
  for (int32_t i = 0; i < components; ++i) all.push_back(static_cast<uint8_t>(i + 1));
  std::vector<Bytes> scans = {scan_header(all, 0, 0, 0, 13)};
  for (int32_t al = 12; al >= 0; --al) scans.push_back(scan_header(all, 0, 0, al + 1, al));
  for (const uint8_t id : all) {
    for (int32_t k = 1; k < 64; ++k) {
      scans.push_back(scan_header({id}, k, k, 0, 13));
      for (int32_t al = 12; al >= 0; --al) scans.push_back(scan_header({id}, k, k, al + 1, al));
    }
  }
  return scans;
}

TEST(ProgressiveFaults, WorkBombsAreRefusedBeforeAnyScan) {
  const std::vector<FrameComponent> grey = {{1, 1, 1, 0}};
  const std::vector<FrameComponent> colour = {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}};
  const std::vector<Bytes> legal = bit_by_bit_script(3);
  ASSERT_EQ(legal.size(), 2660u);
  // The first component is 1/129 of the frame: 1001 scans of it visit its blocks eight times.
  const std::vector<FrameComponent> small_first = {{1, 1, 1, 0}, {2, 8, 8, 0}, {3, 8, 8, 0}};
  std::vector<Bytes> dc_scans(1001, scan_header({1}, 0, 0, 0, 0));
  // DC first, then each AC coefficient with one bit left out and its refinement: 127 scans,
  // 127 visits of each block.
  std::vector<Bytes> twice_each = {scan_header({1}, 0, 0, 0, 0)};
  for (int32_t k = 1; k < 64; ++k) {
    twice_each.push_back(scan_header({1}, k, k, 0, 1));
    twice_each.push_back(scan_header({1}, k, k, 1, 0));
  }
  const std::vector<Bytes> thousand(dc_scans.begin() + 1, dc_scans.end());
  const struct {
    const char* name;
    Bytes jpeg;
    Fault fault;
  } cases[] = {
      {"a legal script of 2,660 one-coefficient scans", script_file(64, 64, colour, legal),
       Fault::too_many_scans},
      {"1001 scans", script_file(64, 64, small_first, dc_scans), Fault::too_many_scans},
      // Refused at its second scan, which codes the DC again, not for its count.
      {"1000 scans", script_file(64, 64, small_first, thousand), Fault::bad_progression},
      {"127 visits of each block", script_file(8, 8, grey, twice_each), Fault::too_many_scans},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderState* d = new_decoder();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(decode_jpeg(*d, c.jpeg.data(), static_cast<int32_t>(c.jpeg.size())), 1);
    EXPECT_EQ(d->fault, c.fault);
    if (c.fault == Fault::too_many_scans) {
      EXPECT_EQ(d->scan_count, 0);  // none decoded
    }
    delete_decoder(d);
  }
}

// A Huffman-coded progressive frame needs a bit of its first DC scans per block; arithmetic
// coding can code a block in less, so a large frame in a small file converts.
TEST(ProgressiveFaults, InputNeededPerBlock) {
  TempDir dir;
  const std::vector<Bytes> one_dc_scan = {scan_header({1}, 0, 0, 0, 0)};
  Bytes huffman = script_file(256, 256, {{1, 1, 1, 0}}, one_dc_scan);  // 1024 blocks
  Bytes arithmetic = huffman;
  for (size_t i = 0; i + 1 < arithmetic.size(); ++i) {
    if (arithmetic[i] == 0xFF && arithmetic[i + 1] == 0xC2) arithmetic[i + 1] = 0xCA;
  }
  expect_faults({
      {"Huffman, 1024 blocks in 128 bytes of data and fewer", huffman, Fault::too_little_data},
      {"arithmetic, the same", arithmetic, Fault::none},
  });
}

}  // namespace

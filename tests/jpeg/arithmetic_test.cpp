// The arithmetic decoder: every transition of the probability estimation, Byte_in at stuffing,
// markers and the end of input, bad data, and block procedures against libjpeg-turbo's
// arithmetic encoder with conditioning of its own. (The fuzz targets keep it in bounds on any
// bytes.)

#include "jpeg/arithmetic.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/zigzag.h"
#include "jpeg/decoder.h"
#include "support/files.h"

namespace {

// T.81 D.1 encoder (Code_0 and Code_1 of Figures D.1 to D.4, Renorm_e, Byte_out with its
// stack of 0xFF bytes, Flush), to make test data. Table D.3 comes from the tables kept as data,
// not from the decoder's copy.
class TestEncoder {
 public:
  TestEncoder() {
    std::ifstream in(corpus_dir() + "/../jpeg-tables/qe_states.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string index, qe;
      Row row{};
      fields >> index >> qe >> row.next_lps >> row.next_mps >> row.switch_mps;
      row.qe = static_cast<uint32_t>(std::stoul(qe, nullptr, 16));
      table_.push_back(row);
    }
    EXPECT_EQ(table_.size(), 113u) << "T.81 Table D.3 data file missing or short";
  }

  // Returns whether the estimate moved (always after an LPS).
  bool encode(uint8_t& bin, int32_t d) {
    const int32_t mps = bin >> 7;
    const Row& row = table_.at(bin & 0x7F);
    if (d == mps) {
      if (!code(row.qe, true)) return false;
      bin = static_cast<uint8_t>(row.next_mps | mps << 7);
    } else {
      code(row.qe, false);
      bin = static_cast<uint8_t>(row.next_lps | (mps ^ row.switch_mps) << 7);
    }
    return true;
  }

  // Flush, Discard_final_zeros, then an EOI marker.
  Bytes finish() {
    uint32_t t = (c_ + a_ - 1) & 0xFFFF0000;
    if (t < c_) t += 0x8000;
    c_ = t << ct_;
    byte_out();
    c_ <<= 8;
    byte_out();
    for (; st_ > 0; --st_) out_.insert(out_.end(), {0xFF, 0x00});
    while (out_.size() > 1 && out_.back() == 0 && out_[out_.size() - 2] != 0xFF) out_.pop_back();
    Bytes bytes(out_.begin() + 1, out_.end());
    bytes.insert(bytes.end(), {0xFF, 0xD9});
    return bytes;
  }

 private:
  struct Row {
    int32_t next_lps, next_mps, switch_mps;
    uint32_t qe;
  };

  // Returns whether the interval was renormalised, which moves the estimate.
  bool code(uint32_t qe, bool mps) {
    a_ -= qe;
    if (mps) {
      if (a_ >= 0x8000) return false;
      if (a_ < qe) {
        c_ += a_;
        a_ = qe;
      }
    } else if (a_ >= qe) {
      c_ += a_;
      a_ = qe;
    }
    do {
      a_ <<= 1;
      c_ <<= 1;
      if (--ct_ == 0) {
        byte_out();
        ct_ = 8;
      }
    } while (a_ < 0x8000);
    return true;
  }
  void byte_out() {
    const uint32_t t = c_ >> 19;
    if (t > 0xFF) {  // the carry reaches the last byte out; stacked 0xFF bytes become zeros
      if (++out_.back() == 0xFF) out_.push_back(0x00);
      out_.insert(out_.end(), static_cast<size_t>(st_), 0x00);
      out_.push_back(static_cast<uint8_t>(t));
      st_ = 0;
    } else if (t == 0xFF) {
      ++st_;
    } else {
      for (; st_ > 0; --st_) out_.insert(out_.end(), {0xFF, 0x00});
      out_.push_back(static_cast<uint8_t>(t));
    }
    c_ &= 0x7FFFF;
  }

  std::vector<Row> table_;
  uint32_t c_ = 0;
  uint32_t a_ = 0x10000;
  int32_t ct_ = 11;
  int32_t st_ = 0;
  Bytes out_ = {0};  // out_[0] stands for the byte before the segment
};

TEST(ArithmeticDecoder, FollowsEveryTransitionOfTableD3) {
  // From every state and MPS sense, in a bin of its own: MPS decisions up to the first
  // renormalisation, and an LPS. The bin is the first of a table that serves as both DC and AC
  // bins, so that each decision is a whole block procedure of its own: a 0 is a DC difference
  // of zero, a 1 the end of an AC band at its first coefficient.
  TestEncoder encoder;
  std::vector<std::vector<uint8_t>> start, bins;
  std::vector<std::pair<size_t, int32_t>> decisions;  // table, decision
  for (int32_t i = 0; i < 4 * 113; ++i) {
    std::vector<uint8_t> table(arithmetic_ac_bins);
    table[0] = static_cast<uint8_t>(i / 4 | (i & 1) << 7);
    start.push_back(table);
    bins.push_back(table);
    const int32_t d = (table[0] >> 7) ^ (i >> 1 & 1);
    do {
      decisions.emplace_back(bins.size() - 1, d);
    } while (!encoder.encode(bins.back()[0], d));
  }
  const Bytes coded = encoder.finish();
  ArithmeticReader r;
  arithmetic_start(r, coded.data(), coded.data() + coded.size());
  std::vector<int16_t> block(64);
  for (size_t i = 0; i < decisions.size(); ++i) {
    uint8_t* table = start[decisions[i].first].data();
    if (decisions[i].second == 0) {
      int32_t context = 0;
      ASSERT_EQ(arithmetic_dc_difference(r, table, context, 0, 1), 0) << i;
    } else {
      arithmetic_ac_first(r, table, 5, 1, 1, 0, block.data());
      ASSERT_EQ(block[1], 0) << i;
    }
  }
  EXPECT_EQ(start, bins);
  EXPECT_EQ(r.fault, Fault::none);
}

TEST(ArithmeticDecoder, ByteInUnstuffsAndStopsAtMarkersAndTheEnd) {
  const struct {
    const char* name;
    Bytes bytes;
    uint32_t want_cx;     // the first two data bytes, zeros once the data stops
    int32_t want_cursor;  // after many more decisions
    bool at_marker;
    Fault fault;
  } cases[] = {
      {"stuffed zero after FF",
       {0xFF, 0x00, 0x34, 0xFF, 0x00, 0xFF, 0xD0},
       0xFF34,
       5,
       true,
       Fault::none},
      {"marker at once", {0xFF, 0xD9}, 0x0000, 0, true, Fault::none},
      {"marker after one byte", {0x12, 0xFF, 0xD0, 0x00}, 0x1200, 1, true, Fault::none},
      {"fill byte before marker", {0x12, 0xFF, 0xFF, 0xD9}, 0x1200, 1, true, Fault::none},
      {"end of input", {0x12, 0x34, 0x56}, 0x1234, 3, false, Fault::data_cut_short},
      {"lone FF at the end", {0x12, 0xFF}, 0x1200, 1, false, Fault::data_cut_short},
      {"empty input", {}, 0x0000, 0, false, Fault::data_cut_short},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ArithmeticReader r;
    arithmetic_start(r, c.bytes.data(), c.bytes.data() + c.bytes.size());
    EXPECT_EQ(r.c >> 48, c.want_cx);
    for (int32_t i = 0; i < 1000; ++i) arithmetic_decode_fixed(r);
    EXPECT_EQ(r.cursor - c.bytes.data(), c.want_cursor);
    EXPECT_EQ(r.at_marker, c.at_marker);
    EXPECT_EQ(r.fault, c.fault);
  }
}

// T.81 D.2 as its flowcharts draw it, for the fixed estimate (Qe 0x5A1D, MPS 0) alone: Renorm_d
// a bit at a time, and Byte_in a byte at a time when the bits run out. It meets the end of the
// input exactly where a decision first needs a byte past it.
struct PlainReader {
  explicit PlainReader(const Bytes& bytes) : data(bytes) {
    c = byte_in() << 24;
    c |= byte_in() << 16;
  }
  uint32_t byte_in() {
    if (at < data.size() && data[at] != 0xFF) return data[at++];
    if (data.size() - at < 2) {  // the end, or a lone 0xFF before it
      ended = true;
      return 0;
    }
    if (data[at + 1] == 0x00) {
      at += 2;
      return 0xFF;
    }
    marker = true;  // zeros from here, the marker left where it is
    return 0;
  }
  int32_t decide() {
    const uint32_t qe = 0x5A1D;
    a -= qe;
    int32_t d = 0;
    if ((c >> 16) < a) {
      if (a >= 0x8000) return 0;
      d = a < qe ? 1 : 0;
    } else {
      c -= a << 16;
      d = a < qe ? 0 : 1;
      a = qe;
    }
    do {
      if (ct == 0) {
        c |= byte_in() << 8;
        ct = 8;
      }
      a <<= 1;
      c <<= 1;
      --ct;
    } while (a < 0x8000);
    return d;
  }
  const Bytes& data;
  size_t at = 0;
  uint32_t a = 0x10000;
  uint32_t c = 0;
  int32_t ct = 0;
  bool ended = false;
  bool marker = false;
};

// The decoder fetches bytes ahead, yet over every cut of a coded stream, and the whole of it with
// junk after its marker, it decides as the plain reader does and meets the end of the input at
// the same decision.
TEST(ArithmeticDecoder, FetchingAheadMeetsTheEndWhereByteInWould) {
  TestEncoder encoder;
  std::vector<int32_t> decisions;
  uint32_t seed = 7;
  for (int32_t i = 0; i < 16000; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const int32_t d = (seed >> 24) < 90 ? 1 : 0;
    uint8_t fixed = 0;
    encoder.encode(fixed, d);
    decisions.push_back(d);
  }
  const Bytes coded = encoder.finish();
  ASSERT_GE(std::count(coded.begin(), coded.end(), 0xFF), 4) << coded.size();  // stuffed ones too
  for (size_t cut = 0; cut <= coded.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    Bytes bytes(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(cut));
    if (cut == coded.size()) bytes.insert(bytes.end(), 20, 0x5A);
    PlainReader plain(bytes);
    ArithmeticReader r;
    arithmetic_start(r, bytes.data(), bytes.data() + bytes.size());
    for (size_t i = 0; i < decisions.size() + 40; ++i) {
      const int32_t want = plain.decide();
      ASSERT_EQ(arithmetic_decode_fixed(r), want) << "decision " << i;
      ASSERT_EQ(r.fault == Fault::data_cut_short, plain.ended) << "decision " << i;
      if (!plain.ended && i < decisions.size()) {
        ASSERT_EQ(want, decisions[i]) << "decision " << i;
      }
    }
    EXPECT_EQ(r.at_marker, plain.marker);
  }
}

// Exact-sized heap buffers, so that AddressSanitizer sees any index past a table.
struct Bins {
  std::vector<uint8_t> dc = std::vector<uint8_t>(arithmetic_dc_bins);
  std::vector<uint8_t> ac = std::vector<uint8_t>(arithmetic_ac_bins);
};

TEST(ArithmeticDecoder, RefusesRunsPastTheBandAndOversizedMagnitudes) {
  TestEncoder run;  // no end of block at 5, then a zero at 5 = se
  Bins a;
  run.encode(a.ac[3 * 4], 0);
  run.encode(a.ac[3 * 4 + 1], 0);
  TestEncoder dc;  // nonzero, positive, then Sz >= 2^15: X1..X15 all 1
  Bins b;
  dc.encode(b.dc[0], 1);
  dc.encode(b.dc[1], 0);
  dc.encode(b.dc[2], 1);
  for (int32_t x = 20; x <= 34; ++x) dc.encode(b.dc[static_cast<size_t>(x)], 1);
  const Bytes run_bytes = run.finish();
  const Bytes dc_bytes = dc.finish();

  ArithmeticReader r;
  Bins fresh;
  std::vector<int16_t> block(64, 7);
  arithmetic_start(r, run_bytes.data(), run_bytes.data() + run_bytes.size());
  arithmetic_ac_first(r, fresh.ac.data(), 5, 5, 5, 0, block.data());
  EXPECT_EQ(r.fault, Fault::bad_arithmetic_data);
  EXPECT_EQ(block, std::vector<int16_t>(64, 7));

  int32_t context = 0;
  arithmetic_start(r, dc_bytes.data(), dc_bytes.data() + dc_bytes.size());
  arithmetic_dc_difference(r, fresh.dc.data(), context, 0, 1);
  EXPECT_EQ(r.fault, Fault::bad_arithmetic_data);
}

// Quantised coefficients with the spread of a photograph: a wandering DC, AC values that thin
// out with frequency, and now and then the largest ones of 8-bit samples.
std::vector<int16_t> make_coefficients(int32_t blocks, uint32_t seed) {
  std::vector<int16_t> values(static_cast<size_t>(blocks) * 64);
  const auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  int32_t dc = 0;
  for (int32_t b = 0; b < blocks; ++b) {
    dc += next() % 8 == 0 ? static_cast<int32_t>(next() % 801) - 400
                          : static_cast<int32_t>(next() % 9) - 4;
    dc = dc < -1024 ? -1024 : (dc > 1023 ? 1023 : dc);
    int16_t* block = &values[static_cast<size_t>(b) * 64];
    block[0] = static_cast<int16_t>(dc);
    const int32_t last = next() % 6 == 0 ? 0 : 63;
    for (int32_t k = 1; k <= last; ++k) {
      if (static_cast<int32_t>(next() % 100) >= 62 - k && next() % 12 != 0) continue;
      int32_t v = 1 + static_cast<int32_t>(next() % (1u << (next() % 7)));
      if (next() % 200 == 0) v = 1023;
      block[zigzag_order[k]] = static_cast<int16_t>(next() % 2 ? -v : v);
    }
  }
  return values;
}

struct ArithmeticFile {
  int32_t blocks_across = 6, blocks_down = 5;
  bool progressive = false;
  int32_t lower = 0, upper = 1, kx = 5;  // the DAC values
};

// libjpeg-turbo writes the coefficients as an arithmetic-coded greyscale file.
Bytes write_arithmetic(const ArithmeticFile& f, const std::vector<int16_t>& values) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(f.blocks_across * 8);
  cinfo.image_height = static_cast<JDIMENSION>(f.blocks_down * 8);
  cinfo.input_components = 1;
  cinfo.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  cinfo.arith_code = TRUE;
  cinfo.arith_dc_L[0] = static_cast<UINT8>(f.lower);
  cinfo.arith_dc_U[0] = static_cast<UINT8>(f.upper);
  cinfo.arith_ac_K[0] = static_cast<UINT8>(f.kx);
  if (f.progressive) jpeg_simple_progression(&cinfo);
  const auto common = reinterpret_cast<j_common_ptr>(&cinfo);
  jvirt_barray_ptr array = cinfo.mem->request_virt_barray(
      common, JPOOL_IMAGE, TRUE, static_cast<JDIMENSION>(f.blocks_across),
      static_cast<JDIMENSION>(f.blocks_down), 1);
  jpeg_write_coefficients(&cinfo, &array);
  for (int32_t y = 0; y < f.blocks_down; ++y) {
    JBLOCKROW row =
        cinfo.mem->access_virt_barray(common, array, static_cast<JDIMENSION>(y), 1, TRUE)[0];
    std::copy_n(&values[static_cast<size_t>(y * f.blocks_across) * 64], f.blocks_across * 64,
                &row[0][0]);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  Bytes bytes(buffer, buffer + size);
  free(buffer);
  return bytes;
}

// A minimal walk of such a file: every scan, one component, no restarts.
std::vector<int16_t> decode_arithmetic(const ArithmeticFile& f, const Bytes& file) {
  std::vector<int16_t> values(static_cast<size_t>(f.blocks_across * f.blocks_down) * 64);
  const uint8_t* end = file.data() + file.size();
  for (const uint8_t* p = file.data() + 2; end - p >= 4 && p[1] != 0xD9;) {
    const uint8_t* segment = p;
    p += 2 + (p[2] << 8 | p[3]);
    if (segment[1] != 0xDA) continue;
    const int32_t ss = segment[7], se = segment[8], ah = segment[9] >> 4, al = segment[9] & 15;
    ArithmeticStats stats{};
    ArithmeticReader r;
    arithmetic_start(r, p, end);
    int32_t context = 0, prediction = 0;
    for (size_t at = 0; at < values.size(); at += 64) {
      int16_t* block = &values[at];
      if (ss == 0 && ah == 0) {
        prediction += arithmetic_dc_difference(r, stats.dc[0], context, f.lower, f.upper);
        block[0] = static_cast<int16_t>(prediction * (1 << al));
      } else if (ss == 0) {
        block[0] = static_cast<int16_t>(block[0] | arithmetic_decode_fixed(r) << al);
      }
      if (se == 0) continue;
      if (ah == 0) {
        arithmetic_ac_first(r, stats.ac[0], f.kx, ss == 0 ? 1 : ss, se, al, block);
      } else {
        arithmetic_ac_refine(r, stats.ac[0], ss, se, al, block);
      }
    }
    EXPECT_EQ(r.fault, Fault::none);
    EXPECT_TRUE(r.at_marker) << "the scan's data ends at a marker";
    p = r.cursor;
  }
  // The blocks in natural order, as libjpeg gives them.
  std::vector<int16_t> natural(values.size());
  for (size_t at = 0; at < values.size(); at += 64) {
    for (int32_t k = 0; k < 64; ++k) natural[at + zigzag_order[k]] = values[at + k];
  }
  return natural;
}

TEST(ArithmeticBlocks, MatchTheCoefficientsLibjpegEncoded) {
  const struct {
    const char* name;
    ArithmeticFile f;
  } cases[] = {
      {"sequential", {}},
      {"sequential, DC bounds 2 and 6, Kx 12", {6, 5, false, 2, 6, 12}},
      {"progressive with successive approximation", {6, 5, true}},
      {"progressive, DC bounds 1 and 3, Kx 9", {6, 5, true, 1, 3, 9}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<int16_t> want = make_coefficients(c.f.blocks_across * c.f.blocks_down, 7);
    const std::vector<int16_t> have = decode_arithmetic(c.f, write_arithmetic(c.f, want));
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(have[i], want[i]) << "block " << i / 64 << ", natural index " << i % 64;
    }
  }
}

}  // namespace

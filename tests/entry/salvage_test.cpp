// Salvage against what is known of the damage: a file that converts converts the same; passed-
// over bytes and fields change nothing; a cut file keeps every row above the cut; a lost
// restart interval costs only its own rows. Each relation runs over files made from the corpus
// and the reference encoder, damaged at many places.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "entry/conversion.h"
#include "support/bmp_picture.h"
#include "support/files.h"
#include "support/reference_codec.h"

namespace {

struct Result {
  ConversionStatus status = ConversionStatus::damaged;
  Fault fault = Fault::none;
  int32_t detail = 0;
  BmpPicture picture;
};

Result convert(const Bytes& jpeg, const TempDir& dir, bool salvage, int32_t threads = 0) {
  write_file(dir.path("in.jpg"), jpeg);
  ConversionOptions options;
  options.print_message = false;
  options.salvage = salvage;
  options.threads = threads;
  const ConversionOutcome outcome =
      convert_jpeg(dir.path("in.jpg").c_str(), dir.path("out.bmp").c_str(), options);
  Result result{outcome.status, outcome.fault, outcome.fault_detail, {}};
  if (failed_side(outcome.status) == FailedSide::none) {
    EXPECT_TRUE(read_bmp(read_file(dir.path("out.bmp")), &result.picture));
    remove(dir.path("out.bmp").c_str());
  }
  return result;
}

struct Source {
  std::string name;
  Bytes jpeg;
  int32_t mcu_height;
  uint8_t grey[3];  // blue, green, red of a block no scan reached
};

EncodeOptions encoding(int32_t components, int32_t h, int32_t v, int32_t restart = 0) {
  EncodeOptions o;
  o.components = components;
  o.h_samp[0] = components == 4 ? 1 : h;
  o.v_samp[0] = components == 4 ? 1 : v;
  o.restart_interval = restart;
  return o;
}

// One-scan sequential files; with `restart_rows`, a restart marker after every MCU row.
std::vector<Source> sources(bool restart_rows) {
  struct Kind {
    const char* name;
    int32_t components, width, height, h, v;
  };
  const Kind kinds[] = {{"grey", 1, 61, 40, 1, 1},
                        {"4:2:0", 3, 70, 50, 2, 2},
                        {"4:2:2", 3, 48, 33, 2, 1},
                        {"CMYK", 4, 40, 24, 1, 1}};
  std::vector<Source> list;
  for (const Kind& k : kinds) {
    const int32_t across = (k.width + 8 * k.h - 1) / (8 * k.h);
    const EncodeOptions o = encoding(k.components, k.h, k.v, restart_rows ? across : 0);
    const Bytes pixels = make_test_pixels(k.width, k.height, k.components, 7);
    Source s{k.name, encode_jpeg(pixels, k.width, k.height, o), 8 * k.v, {82, 128, 174}};
    if (k.components == 4) std::copy_n("\x12\x40\x6e", 3, s.grey);
    list.push_back(s);
  }
  if (!restart_rows) {
    list.push_back(
        {"corpus 4:2:0", read_file(corpus_dir() + "/suite_32x32_420.jpg"), 16, {82, 128, 174}});
  }
  return list;
}

// Where the entropy-coded data of each scan begins, and where it ends (its next marker that is
// not a restart marker).
std::vector<std::pair<size_t, size_t>> scan_data(const Bytes& jpeg) {
  std::vector<std::pair<size_t, size_t>> scans;
  for (size_t i = 2; i + 3 < jpeg.size();) {
    const size_t length = size_t{jpeg[i + 2]} << 8 | jpeg[i + 3];
    if (jpeg[i + 1] != 0xDA) {
      i += 2 + length;
      continue;
    }
    size_t end = i + 2 + length;
    while (end + 1 < jpeg.size() &&
           !(jpeg[end] == 0xFF && jpeg[end + 1] != 0 && (jpeg[end + 1] & 0xF8) != 0xD0)) {
      ++end;
    }
    scans.push_back({i + 2 + length, end});
    i = end;
  }
  return scans;
}

// The first row of `have` that is not as wanted: rows [0, equal_rows) equal `clean`, rows from
// `grey_from` on the tone of mid-grey; -1 when all are.
int32_t first_wrong_row(const BmpPicture& have, const BmpPicture& clean, int32_t equal_rows,
                        int32_t grey_from, const uint8_t* grey) {
  const size_t row = size_t{3} * static_cast<size_t>(clean.width);
  if (have.width != clean.width || have.height != clean.height) return 0;
  for (int32_t y = 0; y < clean.height; ++y) {
    const auto at = static_cast<std::ptrdiff_t>(row * static_cast<size_t>(y));
    if (y < equal_rows &&
        !std::equal(have.bgr.begin() + at, have.bgr.begin() + at + static_cast<std::ptrdiff_t>(row),
                    clean.bgr.begin() + at)) {
      return y;
    }
    for (size_t x = 0; y >= grey_from && x < row; ++x) {
      if (have.bgr[static_cast<size_t>(at) + x] != grey[x % 3]) return y;
    }
  }
  return -1;
}

TEST(Salvage, ConvertsTheCorpusAsAStrictDecodeDoes) {
  TempDir dir;
  int32_t compared = 0;
  for (const CorpusExpectation& row : corpus_expectations()) {
    const Bytes jpeg = read_file(corpus_dir() + "/" + row.file);
    const Result strict = convert(jpeg, dir, false);
    if (strict.status != ConversionStatus::converted) continue;
    SCOPED_TRACE(row.file);
    const Result salvaged = convert(jpeg, dir, true);
    EXPECT_EQ(salvaged.status, ConversionStatus::converted);
    EXPECT_EQ(picture_difference(salvaged.picture, strict.picture), "");
    ++compared;
  }
  EXPECT_GE(compared, 40);
}

// Junk without 0xFF before any marker up to the first scan's, odd fields in a sequential scan's
// header: the clean picture, told as salvaged. Bytes after the end of the image are no damage.
TEST(Salvage, PassesOverJunkBeforeMarkersAndOddScanFields) {
  TempDir dir;
  std::vector<Source> files = sources(false);
  files.push_back(
      {"corpus progressive", read_file(corpus_dir() + "/wide/prog_f028c_591x400_444.jpg"), 8, {}});
  const std::string text = "junk: not a marker\r\n";
  for (const Source& source : files) {
    SCOPED_TRACE(source.name);
    const Bytes& clean = source.jpeg;
    const Result want = convert(clean, dir, false);
    ASSERT_EQ(want.status, ConversionStatus::converted);
    const size_t first_scan = scan_data(clean).front().first;
    for (size_t at = 2; at < first_scan; at += 2 + (size_t{clean[at + 2]} << 8 | clean[at + 3])) {
      for (const size_t length : {1, 2, 3, 19, 300}) {
        Bytes junk;
        while (junk.size() < length) junk.push_back(static_cast<uint8_t>(text[junk.size() % 20]));
        if (length == 300) std::fill(junk.begin(), junk.end(), 0);
        Bytes damaged = clean;
        damaged.insert(damaged.begin() + static_cast<std::ptrdiff_t>(at), junk.begin(), junk.end());
        SCOPED_TRACE("junk of " + std::to_string(length) + " before byte " + std::to_string(at));
        EXPECT_EQ(convert(damaged, dir, false).status, ConversionStatus::damaged);
        const Result have = convert(damaged, dir, true);
        EXPECT_EQ(have.status, ConversionStatus::salvaged);
        EXPECT_EQ(have.fault, Fault::junk_bytes);
        EXPECT_EQ(have.detail, static_cast<int32_t>(length));
        EXPECT_EQ(picture_difference(have.picture, want.picture), "");
      }
    }
    Bytes trailing = clean;
    trailing.insert(trailing.end(), text.begin(), text.end());
    EXPECT_EQ(convert(trailing, dir, true).status, ConversionStatus::converted);
    if (source.name.find("progressive") != std::string::npos) continue;
    for (const int fields : {0x01, 0x10, 0x3F}) {  // Ah and Al, or Ss, Se, Ah and Al
      Bytes odd = clean;
      const size_t header_end = scan_data(clean).front().first;
      odd[header_end - 1] = static_cast<uint8_t>(fields);
      if (fields == 0x3F) odd[header_end - 3] = 1, odd[header_end - 2] = 5;
      const Result have = convert(odd, dir, true);
      EXPECT_EQ(have.status, ConversionStatus::salvaged);
      EXPECT_EQ(have.fault, Fault::odd_scan_fields);
      EXPECT_EQ(picture_difference(have.picture, want.picture), "");
    }
  }
}

// A one-scan file cut inside its data keeps every MCU row above the one the data ran out in,
// and the rest is mid-grey. With a restart marker after each MCU row, that row is the count of
// markers before the cut; without, it is the same row for every kind of cut, never going back.
// Arithmetic-coded transcodes too: their decoder fetches bytes ahead, yet meets the cut only
// where its decisions need what is missing.
TEST(Salvage, KeepsTheRowsAboveACut) {
  TempDir dir;
  for (const bool restart_rows : {true, false}) {
    std::vector<Source> all = sources(restart_rows);
    for (size_t i = 0, huffman = all.size(); i < huffman; ++i) {
      Source coded = all[i];
      coded.name += ", arithmetic";
      coded.jpeg =
          transcode(restart_rows ? "-arithmetic -restart 1" : "-arithmetic", all[i].jpeg, dir);
      ASSERT_FALSE(coded.jpeg.empty());
      all.push_back(coded);
    }
    for (const Source& source : all) {
      SCOPED_TRACE(source.name + (restart_rows ? ", restart every row" : ""));
      const Result clean = convert(source.jpeg, dir, false);
      ASSERT_EQ(clean.status, ConversionStatus::converted);
      const auto [begin, end] = scan_data(source.jpeg).front();
      int32_t last_row = 0;
      int32_t markers = 0;
      for (size_t cut = begin; cut < end; ++cut) {
        if (cut >= begin + 2 && source.jpeg[cut - 2] == 0xFF && source.jpeg[cut - 1] >= 0xD0 &&
            source.jpeg[cut - 1] <= 0xD7) {
          ++markers;
        }
        const Bytes cut_file(source.jpeg.begin(),
                             source.jpeg.begin() + static_cast<std::ptrdiff_t>(cut));
        const Result have = convert(cut_file, dir, true, cut % 2 == 0 ? 1 : 2);
        ASSERT_EQ(have.status, ConversionStatus::salvaged) << "cut at " << cut;
        int32_t row = markers;
        if (!restart_rows) {
          // The lowest MCU row that the relation holds for.
          const int32_t rows = (clean.picture.height + source.mcu_height - 1) / source.mcu_height;
          for (row = 0; row < rows; ++row) {
            if (first_wrong_row(have.picture, clean.picture, row * source.mcu_height,
                                (row + 1) * source.mcu_height, source.grey) < 0) {
              break;
            }
          }
          ASSERT_LT(row, rows) << "cut at " << cut;
          ASSERT_GE(row, last_row) << "cut at " << cut;
          last_row = row;
        }
        ASSERT_EQ(first_wrong_row(have.picture, clean.picture, row * source.mcu_height,
                                  (row + 1) * source.mcu_height, source.grey),
                  -1)
            << "cut at " << cut << ", data ran out in MCU row " << row;
      }
    }
  }
}

// Cut at the end of a progressive scan, a file gives what its first scans give, strictly
// decoded with the end of the image after them.
TEST(Salvage, GivesTheScansBeforeACutAtTheirEnd) {
  TempDir dir;
  int32_t compared = 0;
  for (const Source& source : sources(false)) {
    // Huffman-coded: arithmetic decoding fetches bytes past a scan's end, which a cut file lacks.
    for (const char* options : {"-progressive", "-progressive -restart 2B"}) {
      SCOPED_TRACE(source.name + ", " + options);
      const Bytes coded = transcode(options, source.jpeg, dir);
      ASSERT_FALSE(coded.empty());
      for (const auto& [begin, end] : scan_data(coded)) {
        (void)begin;
        Bytes ended(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(end));
        const Result have = convert(ended, dir, true);
        ended.insert(ended.end(), {0xFF, 0xD9});
        const Result want = convert(ended, dir, false);
        ASSERT_EQ(want.status, ConversionStatus::converted);
        EXPECT_EQ(picture_difference(have.picture, want.picture), "") << "scan ending at " << end;
        compared += end + 2 < coded.size();
      }
    }
  }
  EXPECT_GE(compared, 50);
}

// Bytes overwritten in one restart interval (one MCU row here) lose that row alone.
TEST(Salvage, LosesOnlyTheDamagedRestartInterval) {
  TempDir dir;
  for (const Source& source : sources(true)) {
    SCOPED_TRACE(source.name);
    const Result clean = convert(source.jpeg, dir, false);
    std::vector<size_t> starts = {scan_data(source.jpeg).front().first};
    const size_t end = scan_data(source.jpeg).front().second;
    for (size_t i = starts[0]; i + 1 < end; ++i) {
      if (source.jpeg[i] == 0xFF && (source.jpeg[i + 1] & 0xF8) == 0xD0) starts.push_back(i + 2);
    }
    starts.push_back(end + 2);
    for (size_t row = 0; row + 1 < starts.size(); ++row) {
      const size_t length = starts[row + 1] - 2 - starts[row];
      for (const size_t offset : {size_t{0}, length / 3, length / 2}) {
        for (const size_t count : {1, 4, 40}) {
          Bytes damaged = source.jpeg;
          const size_t at = starts[row] + offset;
          if (damaged[at - 1] == 0xFF) continue;  // a marker would begin there
          for (size_t i = at; i < std::min(at + count, starts[row + 1] - 2); ++i) {
            damaged[i] =
                static_cast<uint8_t>(0x35 + 7 * i) == 0xFF ? 0 : static_cast<uint8_t>(0x35 + 7 * i);
          }
          if (damaged == source.jpeg) continue;
          const Result have = convert(damaged, dir, true);
          const auto first = static_cast<int32_t>(row) * source.mcu_height;
          BmpPicture masked = have.picture;
          // The damaged row may hold anything: take it from the clean picture.
          const size_t row_bytes = size_t{3} * static_cast<size_t>(clean.picture.width);
          for (int32_t y = first; y < first + source.mcu_height && y < masked.height; ++y) {
            std::copy_n(clean.picture.bgr.begin() +
                            static_cast<std::ptrdiff_t>(row_bytes * static_cast<size_t>(y)),
                        row_bytes,
                        masked.bgr.begin() +
                            static_cast<std::ptrdiff_t>(row_bytes * static_cast<size_t>(y)));
          }
          EXPECT_EQ(picture_difference(masked, clean.picture), "")
              << count << " bytes at " << at << ", in MCU row " << row;
        }
      }
    }
  }
}

}  // namespace

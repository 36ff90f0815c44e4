// Every corpus file cut short at many lengths and damaged in thousands of ways from a fixed
// seed, each through BMPSepia: the result must be 999 with a complete BMP of the frame's size or
// 1 with one message, with no heap held and no stray file (and, in the sanitizer build, no
// report). The work per file is bounded by its pixel count, so large photographs get fewer
// cases than small ones and the whole sweep stays within the test budget. Each case is decoded
// salvaging too, which must be as sound and equal the strict decode wherever that succeeds.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hardening/checked_conversion.h"
#include "support/conversion_check.h"

namespace {

// Pixels decoded per file, about a second of decoding in the plain build and three under the
// sanitizers; each case counts as the full picture, though most fail early. Large photographs
// get only the minimum counts. Both builds run the same cases.
constexpr int64_t budget_pixels = 24'000'000;
constexpr int64_t salvage_budget_pixels = 4 * budget_pixels;
// Passed-over bytes can lead to a frame header of any size, which arithmetic coding may fill
// from a few bytes: where strict failed, salvage refuses frames larger than the file's own.
constexpr int64_t min_salvage_max_pixels = 1 << 20;
constexpr int64_t min_strided_cuts = 4;
constexpr int64_t max_strided_cuts = 512;
constexpr int64_t min_mutations = 6;
constexpr int64_t max_mutations = 3000;
constexpr size_t every_length_below = 4096;         // files this small are cut at every length
constexpr size_t checked_through_files_every = 16;  // every 16th case also goes through BMPSepia

std::vector<std::string> corpus_files() {
  std::vector<std::string> files;
  for (const CorpusExpectation& row : corpus_expectations()) files.push_back(row.file);
  return files;
}

// Byte ranges of a file by what its parsers make of them: the segments they read field by field
// and the start of the entropy-coded data are `structure`; the contents of application and
// comment segments, passed over whole, and the rest of the entropy-coded data are not.
struct Layout {
  std::vector<std::pair<size_t, size_t>> structure;  // [begin, end) ranges in file order
  size_t data_begin;  // where the entropy-coded data begins past its first bytes
};

Layout layout_of(const Bytes& jpeg) {
  Layout layout{{}, jpeg.size()};
  size_t at = 2;
  layout.structure.push_back({0, std::min<size_t>(2, jpeg.size())});
  while (at + 4 <= jpeg.size()) {
    const uint8_t code = jpeg[at + 1];
    const size_t end = std::min(jpeg.size(), at + 2 + (size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]));
    const bool passed_over = (code >= 0xE0 && code <= 0xEF) || code == 0xFE;
    // A passed-over segment is structure in its marker, its length and its first bytes.
    layout.structure.push_back({at, passed_over ? std::min(end, at + 12) : end});
    if (end < at + 4) break;
    at = end;
    if (code == 0xDA) {
      layout.data_begin = std::min(jpeg.size(), at + 256);
      layout.structure.push_back({at, layout.data_begin});
      break;
    }
  }
  if (at + 4 > jpeg.size() && at < jpeg.size()) layout.structure.push_back({at, jpeg.size()});
  return layout;
}

struct Random {
  uint32_t state;
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  size_t below(size_t n) { return n == 0 ? 0 : next() % n; }
  uint8_t byte() { return static_cast<uint8_t>(next() >> 24); }
};

// Values that mean something to a JPEG parser: markers, lengths, counts, factors.
constexpr uint8_t telling_bytes[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x07, 0x08, 0x0F, 0x10, 0x11,
                                     0x22, 0x3F, 0x40, 0x7F, 0x80, 0xC0, 0xC2, 0xC4, 0xD0, 0xD7,
                                     0xD8, 0xD9, 0xDA, 0xDB, 0xDD, 0xE0, 0xFE, 0xFF};

// One random change, half the time inside the structure, where the parsers are; `what` says
// what was done, for the failure message.
Bytes mutate(const Bytes& original, const Layout& layout, Random* random, std::string* what) {
  Bytes b = original;
  if (b.empty()) {
    b.push_back(random->byte());
    *what = "one byte";
    return b;
  }
  size_t at = random->below(b.size());
  if (random->next() % 2 == 0 && !layout.structure.empty()) {
    const auto& range = layout.structure[random->below(layout.structure.size())];
    if (range.second > range.first) at = range.first + random->below(range.second - range.first);
  }
  const auto offset = static_cast<std::ptrdiff_t>(at);
  char text[96];
  switch (random->next() % 8) {
    case 0: {
      const int bit = static_cast<int>(random->below(8));
      b[at] ^= static_cast<uint8_t>(1 << bit);
      snprintf(text, sizeof text, "bit %d flipped at %zu", bit, at);
      break;
    }
    case 1:
      b[at] = random->byte();
      snprintf(text, sizeof text, "byte at %zu set to %u", at, b[at]);
      break;
    case 2:
      b[at] = telling_bytes[random->below(sizeof telling_bytes)];
      snprintf(text, sizeof text, "byte at %zu set to %u", at, b[at]);
      break;
    case 3: {
      const size_t count = 2 + random->below(7);
      for (size_t i = at; i < at + count && i < b.size(); ++i) b[i] = random->byte();
      snprintf(text, sizeof text, "%zu bytes at %zu overwritten", count, at);
      break;
    }
    case 4: {
      const size_t count = 2 + random->below(5);
      for (size_t i = 0; i < count; ++i) b[random->below(b.size())] = random->byte();
      snprintf(text, sizeof text, "%zu scattered bytes overwritten (first pick %zu)", count, at);
      break;
    }
    case 5: {
      const size_t count = std::min(b.size() - at, 1 + random->below(4));
      b.erase(b.begin() + offset, b.begin() + offset + static_cast<std::ptrdiff_t>(count));
      snprintf(text, sizeof text, "%zu bytes deleted at %zu", count, at);
      break;
    }
    case 6: {
      const size_t count = 1 + random->below(4);
      Bytes inserted;
      for (size_t i = 0; i < count; ++i) inserted.push_back(random->byte());
      if (random->next() % 2 == 0) inserted[0] = 0xFF;
      b.insert(b.begin() + offset, inserted.begin(), inserted.end());
      snprintf(text, sizeof text, "%zu bytes inserted at %zu", count, at);
      break;
    }
    default: {
      // A 16-bit field such as a length, width or height.
      const uint32_t values[] = {0, 1, 2, 0x7FFF, 0x8000, 0xFFFF, random->next() & 0xFFFF};
      const uint32_t v = values[random->below(7)];
      b[at] = static_cast<uint8_t>(v >> 8);
      if (at + 1 < b.size()) b[at + 1] = static_cast<uint8_t>(v);
      snprintf(text, sizeof text, "16 bits at %zu set to %u", at, v);
      break;
    }
  }
  *what = text;
  return b;
}

uint32_t seed_of(const std::string& name) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (const char c : name) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
  return h | 1;
}

class CorruptionSweep : public testing::TestWithParam<std::string> {};

TEST_P(CorruptionSweep, EveryCaseGivesASoundOutcome) {
  const std::string name = GetParam();
  const Bytes original = read_file(corpus_dir() + "/" + name);
  ASSERT_FALSE(original.empty()) << name;
  int32_t width = 0;
  int32_t height = 0;
  const int64_t pixels =
      declared_frame_size(original, &width, &height) ? int64_t{width} * height : 0;
  const int64_t cost = std::max<int64_t>(pixels, 4096);
  const size_t size = original.size();
  const Layout layout = layout_of(original);

  std::vector<size_t> cuts;
  if (size <= every_length_below) {
    for (size_t n = 0; n < size; ++n) cuts.push_back(n);
  } else {
    // Every cut inside the structure, a stride through what is passed over and through the
    // entropy-coded data, and every cut among the last bytes, where the end marker is.
    std::vector<bool> cut(size, false);
    for (const auto& range : layout.structure) {
      for (size_t n = range.first; n < range.second; ++n) cut[n] = true;
    }
    for (size_t n = 0; n < layout.data_begin; n += 509) cut[n] = true;
    const auto strided = static_cast<size_t>(
        std::clamp<int64_t>(budget_pixels / cost, min_strided_cuts, max_strided_cuts));
    for (size_t i = 1; i <= strided && layout.data_begin < size; ++i) {
      cut[layout.data_begin + (size - layout.data_begin) * i / (strided + 1)] = true;
    }
    const size_t tail = pixels < 1'000'000 ? 8 : 1;
    for (size_t n = size - tail; n < size; ++n) cut[n] = true;
    for (size_t n = 0; n < size; ++n) {
      if (cut[n]) cuts.push_back(n);
    }
  }
  const auto mutations =
      static_cast<int32_t>(std::clamp<int64_t>(budget_pixels / cost, min_mutations, max_mutations));

  TempDir dir;
  int32_t failures = 0;
  int32_t converted = 0;
  int32_t recovered = 0;
  int64_t salvage_spent = 0;
  size_t cases = 0;
  auto check = [&](const Bytes& jpeg, const std::string& what) {
    const CheckedConversion outcome = decode_and_check(jpeg);
    std::string problem = outcome.problem;
    // Salvage is sound too, and gives what strict gives wherever strict decodes. It decodes a
    // whole picture where strict stops early, so its cases have a budget of their own.
    if (salvage_spent < salvage_budget_pixels || outcome.result == 999) {
      const int64_t max_pixels =
          outcome.result == 999 ? 0 : std::max(pixels, min_salvage_max_pixels);
      const CheckedConversion salvaged = decode_and_check(jpeg, true, max_pixels);
      if (problem.empty()) problem = salvaged.problem;
      if (problem.empty() && outcome.result == 999 &&
          (salvaged.result != 999 || salvaged.damaged ||
           salvaged.pixel_hash != outcome.pixel_hash)) {
        problem = "salvage differs from a strict decode";
      }
      if (salvaged.result == 999) {
        ++recovered;
        salvage_spent += cost;
      }
    }
    if (problem.empty() && cases++ % checked_through_files_every == 0) {
      const CheckedConversion through_files = convert_and_check(jpeg, dir);
      problem = through_files.problem;
      if (problem.empty() && through_files.result != outcome.result) {
        problem = "BMPSepia gave " + std::to_string(through_files.result) + ", the decoder " +
                  std::to_string(outcome.result);
      }
    }
    if (outcome.result == 999) ++converted;
    if (!problem.empty() && ++failures <= 5)
      ADD_FAILURE() << name << ", " << what << ": " << problem;
  };
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpu_start = std::clock();
  for (const size_t n : cuts) {
    check(Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(n)),
          "cut to " + std::to_string(n) + " bytes");
  }
  Random random{seed_of(name)};
  for (int32_t i = 0; i < mutations; ++i) {
    std::string what;
    const Bytes jpeg = mutate(original, layout, &random, &what);
    check(jpeg, "mutation " + std::to_string(i) + ", " + what);
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(failures, 0);
  printf(
      "%s: %zu cuts and %d mutations, %d decoded, %d salvaged or decoded, %.1f s (%.1f s of "
      "CPU)\n",
      name.c_str(), cuts.size(), mutations, converted, recovered, elapsed.count(),
      static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC);
}

std::string test_name(const testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  for (char& c : name) {
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorruptionSweep, testing::ValuesIn(corpus_files()), test_name);

TEST(CorruptionSweep, CorpusIsThere) {
  EXPECT_GE(corpus_files().size(), 30u) << "corpus missing at " << corpus_dir();
}

}  // namespace

// BMPSepia called from several threads at once: every call gives the result and bytes of the
// same call made alone, and every message stays one whole line. The same for the conversion
// routine with the options the Windows tool's threads give it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bmpsepia.h"
#include "entry/conversion.h"
#include "platform/platform.h"
#include "support/files.h"

namespace {

constexpr int32_t thread_count = 6;
constexpr int32_t rounds = 3;

struct Outcome {
  int result;
  std::string digest;  // "-" when nothing was written
  bool operator==(const Outcome&) const = default;
};

Outcome convert(const std::string& in, const std::string& out) {
  const std::u16string wide_in = utf16(in);
  const std::u16string wide_out = utf16(out);
  const int result = BMPSepia(wide_in.c_str(), wide_out.c_str());
  Outcome outcome{result, file_exists(out) ? sha256_hex(read_file(out)) : "-"};
  unlink(out.c_str());
  return outcome;
}

TEST(Threads, ConcurrentCallsGiveTheBytesOfLoneCalls) {
  // Every kind of file the table holds, small ones first so that calls overlap in many ways,
  // and the refused ones, whose messages go out while other threads write theirs.
  std::vector<CorpusExpectation> rows = corpus_expectations();
  ASSERT_GE(rows.size(), 30u) << "corpus missing at " << corpus_dir();
  std::vector<std::string> files;
  for (const CorpusExpectation& row : rows) {
    if (read_file(corpus_dir() + "/" + row.file).size() < 200'000) files.push_back(row.file);
  }
  TempDir dir;
  std::map<std::string, Outcome> alone;
  int32_t failures_per_round = 0;
  for (const std::string& file : files) {
    alone[file] = convert(corpus_dir() + "/" + file, dir.path("alone.bmp"));
    failures_per_round += alone[file].result == 1;
  }

  fflush(stderr);
  const std::string messages_path = dir.path("messages.txt");
  FILE* messages = fopen(messages_path.c_str(), "w");
  ASSERT_NE(messages, nullptr);
  const int saved = dup(2);
  dup2(fileno(messages), 2);
  std::atomic<int32_t> mismatches{0};
  std::vector<std::string> reports(thread_count);
  std::vector<std::thread> threads;
  for (int32_t t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      for (int32_t round = 0; round < rounds; ++round) {
        for (size_t k = 0; k < files.size(); ++k) {
          // Each thread walks the files from its own place, so different files meet.
          const std::string& file = files[(k + static_cast<size_t>(t) * 7) % files.size()];
          const std::string out =
              dir.path("t" + std::to_string(t) + "_" + std::to_string(k) + ".bmp");
          const Outcome outcome = convert(corpus_dir() + "/" + file, out);
          if (!(outcome == alone[file]) && mismatches++ < 5) {
            reports[static_cast<size_t>(t)] += file + ": result " + std::to_string(outcome.result) +
                                               ", digest " + outcome.digest + "\n";
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  fclose(messages);

  EXPECT_EQ(mismatches.load(), 0);
  for (const std::string& report : reports) EXPECT_EQ(report, "");
  const Bytes text = read_file(messages_path);
  std::istringstream lines(std::string(text.begin(), text.end()));
  std::string line;
  int32_t count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_TRUE(line == "Error decoding jpg. Please try again..." ||
                line == "Error opening jpg. Please try again...")
        << "line " << count << ": " << line;
  }
  EXPECT_EQ(count, failures_per_round * rounds * thread_count);
}

// Turned pictures (the phone photograph stored on its side) among plain and refused ones, each
// call with its fault and without a message, as the Windows tool's threads make them.
TEST(Threads, ConcurrentTurnedConversionsGiveTheOutcomesOfLoneOnes) {
  struct Seen {
    int32_t result;
    Fault fault;
    int32_t detail;
    std::string digest;
    bool operator==(const Seen&) const = default;
  };
  const std::vector<std::string> files = {"recurser_landscape6_1200x1800_420_exif.jpg",
                                          "suite_32x32_420.jpg",
                                          "gofuzz_video001_150x103_422.jpg",
                                          "bad_lepton_nofsync.jpg",
                                          "unsup_suite_12bit_32x32.jpg",
                                          "bad_cimg_bad_huffman_table.jpeg"};
  TempDir dir;
  const auto convert_turned = [&](const std::string& file, const std::string& out) {
    ConversionOptions options;
    options.auto_orient = true;
    options.print_message = false;
    const ConversionOutcome c =
        convert_jpeg((corpus_dir() + "/" + file).c_str(), out.c_str(), options);
    Seen seen{conversion_result(c), c.fault, c.fault_detail,
              file_exists(out) ? sha256_hex(read_file(out)) : "-"};
    unlink(out.c_str());
    return seen;
  };
  std::map<std::string, Seen> alone;
  for (const std::string& file : files) alone[file] = convert_turned(file, dir.path("alone.bmp"));
  ASSERT_NE(alone[files[0]].digest, "-") << "corpus missing at " << corpus_dir();
  std::atomic<int32_t> mismatches{0};
  std::vector<std::thread> threads;
  for (int32_t t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      for (size_t k = 0; k < files.size(); ++k) {
        const std::string& file = files[(k + static_cast<size_t>(t)) % files.size()];
        const std::string out = dir.path("t" + std::to_string(t) + "_" + std::to_string(k));
        if (!(convert_turned(file, out) == alone[file])) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// A conversion with a second thread gives the bytes of one on the calling thread alone, and
// falls back to that when the thread cannot start or any allocation fails, holding nothing
// after: for rows handed over as they come (sequential) and shared out at the end (progressive).
TEST(SecondThread, GivesTheBytesOfOneThreadAndFallsBackWhenItCannotStart) {
  TempDir dir;
  const auto convert_with = [&](const std::string& file, int32_t threads) {
    ConversionOptions options;
    options.threads = threads;
    options.print_message = false;
    const std::string out = dir.path("out.bmp");
    const ConversionOutcome c =
        convert_jpeg((corpus_dir() + "/" + file).c_str(), out.c_str(), options);
    const std::string digest = file_exists(out) ? sha256_hex(read_file(out)) : "-";
    unlink(out.c_str());
    return std::make_pair(c.status, digest);
  };
  for (const char* file : {"wide/prog_f028c_591x400_444.jpg",
                           "jxl_bicycles_1024x631_420_dri192.jpg", "cimg_f028c_591x400_444.jpg"}) {
    SCOPED_TRACE(file);
    const auto alone = convert_with(file, 1);
    ASSERT_EQ(alone.first, ConversionStatus::converted);
    EXPECT_EQ(convert_with(file, 2), alone);
    platform_fail_threads(true);
    EXPECT_EQ(convert_with(file, 2), alone);
    platform_fail_threads(false);
    for (int32_t nth = 1; nth <= 40; ++nth) {
      const int32_t before = platform_live_allocations();
      platform_fail_allocation(nth);
      const auto failing = convert_with(file, 2);
      platform_fail_allocation(0);
      EXPECT_EQ(platform_live_allocations(), before) << nth;
      EXPECT_TRUE(failing == alone || failing.second == "-") << nth;
      if (failing == alone) break;
    }
  }
}

}  // namespace

// The public bmpsepia_* functions as an embedding program sees them: every way in gives
// BMPSepia's bytes, each bad input its status and reason, nothing is printed, and structs of an
// older, smaller size still work.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bmpsepia.h"
#include "support/files.h"

namespace {

bmpsepia_outcome fresh_outcome() {
  bmpsepia_outcome outcome{};
  outcome.size = sizeof outcome;
  return outcome;
}

bmpsepia_options defaults() {
  bmpsepia_options options;
  bmpsepia_options_init(&options);
  return options;
}

int32_t collect(void* context, const void* bytes, size_t count) {
  auto* out = static_cast<Bytes*>(context);
  out->insert(out->end(), static_cast<const uint8_t*>(bytes),
              static_cast<const uint8_t*>(bytes) + count);
  return 0;
}

// Every corpus file through each function: the file, the block in memory, the writer and the
// file from memory all hold BMPSepia's bytes, or all fail with one status.
TEST(Api, EveryWayInGivesBMPSepiasBytes) {
  TempDir dir;
  const bmpsepia_options options = defaults();
  for (const CorpusExpectation& row : corpus_expectations()) {
    SCOPED_TRACE(row.file);
    const std::string in = corpus_dir() + "/" + row.file;
    const Bytes jpeg = read_file(in);
    bmpsepia_outcome file = fresh_outcome();
    bmpsepia_outcome memory = fresh_outcome();
    bmpsepia_outcome writer = fresh_outcome();
    bmpsepia_outcome from_memory = fresh_outcome();
    void* bmp = nullptr;
    size_t bmp_size = 1;
    Bytes written;
    const std::string printed = printed_by([&] {
      bmpsepia_convert_file(in.c_str(), dir.path("file.bmp").c_str(), &options, &file);
      bmpsepia_convert_memory(jpeg.data(), jpeg.size(), &bmp, &bmp_size, nullptr, &memory);
      bmpsepia_convert_to_writer(jpeg.data(), jpeg.size(), collect, &written, &options, &writer);
      bmpsepia_convert_memory_to_file(jpeg.data(), jpeg.size(), dir.path("memory.bmp").c_str(),
                                      &options, &from_memory);
    });
    EXPECT_EQ(printed, "");
    const bool converts = row.sha256 != "-";
    EXPECT_EQ(file.status == BMPSEPIA_STATUS_CONVERTED, converts);
    for (const bmpsepia_outcome* other : {&memory, &writer, &from_memory}) {
      EXPECT_EQ(other->status, file.status);
      EXPECT_STREQ(other->reason, file.reason);
    }
    EXPECT_EQ(file.reason[0] == '\0', converts) << file.reason;
    const Bytes in_memory(static_cast<uint8_t*>(bmp), static_cast<uint8_t*>(bmp) + bmp_size);
    if (converts) {
      EXPECT_EQ(sha256_hex(read_file(dir.path("file.bmp"))), row.sha256);
      EXPECT_EQ(sha256_hex(read_file(dir.path("memory.bmp"))), row.sha256);
      EXPECT_EQ(sha256_hex(in_memory), row.sha256);
      EXPECT_EQ(sha256_hex(written), row.sha256);
    } else {
      EXPECT_EQ(bmp, nullptr);
      EXPECT_EQ(bmp_size, 0u);
      EXPECT_TRUE(written.empty());
    }
    bmpsepia_free(bmp);
    remove(dir.path("file.bmp").c_str());
    remove(dir.path("memory.bmp").c_str());
  }
  bmpsepia_free(nullptr);
}

// Inputs, options and outputs against the status and reason each gives.
TEST(Api, StatusAndReasonOfEachKindOfInput) {
  TempDir dir;
  const std::string good = corpus_dir() + "/suite_32x32_420.jpg";
  const std::string damaged = corpus_dir() + "/bad_lepton_nofsync.jpg";
  const std::string twelve_bit = corpus_dir() + "/unsup_suite_12bit_32x32.jpg";
  const std::string text = dir.path("text.jpg");
  write_file(text, Bytes{'n', 'o', 't', ' ', 'a', ' ', 'J', 'P', 'E', 'G'});
  bmpsepia_options salvage = defaults();
  salvage.salvage = 1;
  bmpsepia_options small = defaults();
  small.max_pixels = 1023;  // the picture has 1024
  bmpsepia_options unknown = defaults();
  unknown.size += 4;
  bmpsepia_options reserved = defaults();
  reserved.reserved[2] = 1;
  bmpsepia_options negative = defaults();
  negative.threads = -1;
  const struct {
    const char* what;
    const char* in;
    std::string out;
    const bmpsepia_options* options;
    int32_t status;
    const char* reason;
    int32_t salvage_recovers;
  } cases[] = {
      {"good", good.c_str(), "o.bmp", nullptr, BMPSEPIA_STATUS_CONVERTED, "", 0},
      {"missing", "missing.jpg", "o.bmp", nullptr, BMPSEPIA_STATUS_INPUT_UNREADABLE, "", 0},
      {"a folder", dir.root().c_str(), "o.bmp", nullptr, BMPSEPIA_STATUS_INPUT_UNREADABLE, "", 0},
      {"not JPEG", text.c_str(), "o.bmp", nullptr, BMPSEPIA_STATUS_NOT_JPEG, "not a JPEG file", 0},
      {"12-bit", twelve_bit.c_str(), "o.bmp", nullptr, BMPSEPIA_STATUS_UNSUPPORTED,
       "not supported: 12-bit samples", 0},
      {"damaged", damaged.c_str(), "o.bmp", nullptr, BMPSEPIA_STATUS_DAMAGED,
       "damaged: restart marker out of order", 1},
      {"salvaged", damaged.c_str(), "o.bmp", &salvage, BMPSEPIA_STATUS_SALVAGED,
       "restart marker out of order", 0},
      {"over max_pixels", good.c_str(), "o.bmp", &small, BMPSEPIA_STATUS_TOO_LARGE,
       "not supported: picture too large", 0},
      {"no folder", good.c_str(), "no/o.bmp", nullptr, BMPSEPIA_STATUS_OUTPUT_UNWRITABLE, "", 0},
      {"unknown size", good.c_str(), "o.bmp", &unknown, BMPSEPIA_STATUS_BAD_ARGUMENT, "", 0},
      {"reserved set", good.c_str(), "o.bmp", &reserved, BMPSEPIA_STATUS_BAD_ARGUMENT, "", 0},
      {"threads -1", good.c_str(), "o.bmp", &negative, BMPSEPIA_STATUS_BAD_ARGUMENT, "", 0},
      {"null input", nullptr, "o.bmp", nullptr, BMPSEPIA_STATUS_BAD_ARGUMENT, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bmpsepia_outcome outcome = fresh_outcome();
    int32_t result = -1;
    const std::string printed = printed_by([&] {
      result = bmpsepia_convert_file(c.in, dir.path(c.out).c_str(), c.options, &outcome);
    });
    EXPECT_EQ(printed, "");
    EXPECT_EQ(result, c.status);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_STREQ(outcome.reason, c.reason);
    EXPECT_EQ(outcome.salvage_recovers, c.salvage_recovers);
    const bool written = c.status <= BMPSEPIA_STATUS_SALVAGED;
    EXPECT_EQ(file_exists(dir.path(c.out)), written);
    const uint32_t percent = c.status == BMPSEPIA_STATUS_CONVERTED ? 100 : 66;
    EXPECT_EQ(outcome.recovered_percent, written ? percent : 0u);
    EXPECT_EQ(outcome.width != 0, written);
    remove(dir.path(c.out).c_str());
  }
  EXPECT_STREQ(bmpsepia_status_message(BMPSEPIA_STATUS_DAMAGED),
               "Error decoding jpg. Please try again...");
  EXPECT_STREQ(bmpsepia_status_message(BMPSEPIA_STATUS_CONVERTED), "");
  EXPECT_STREQ(bmpsepia_status_message(99), "");
}

// An older caller's structs are smaller: what lies past their end is neither read nor written.
TEST(Api, OlderSmallerStructsStillWork) {
  TempDir dir;
  const Bytes jpeg = read_file(corpus_dir() + "/bad_lepton_nofsync.jpg");
  struct Older {
    bmpsepia_options options;
    uint32_t guard;
  } older{};
  bmpsepia_options_init(&older.options);
  older.options.salvage = 1;  // past an older struct's end: not seen
  older.options.size = offsetof(bmpsepia_options, auto_orient);
  struct {
    bmpsepia_outcome outcome;
  } small{};
  memset(&small, 0x5A, sizeof small);
  small.outcome.size = offsetof(bmpsepia_outcome, reason) + 8;
  bmpsepia_convert_memory_to_file(jpeg.data(), jpeg.size(), dir.path("o.bmp").c_str(),
                                  &older.options, &small.outcome);
  EXPECT_EQ(small.outcome.status, BMPSEPIA_STATUS_DAMAGED);
  EXPECT_STREQ(small.outcome.reason, "damaged");  // cut to what fits, and ended
  EXPECT_EQ(static_cast<uint8_t>(small.outcome.reason[8]), 0x5A);
  bmpsepia_outcome least{};
  least.size = offsetof(bmpsepia_outcome, width);
  least.width = 7;
  void* bmp = nullptr;
  size_t size = 0;
  EXPECT_EQ(bmpsepia_convert_memory(jpeg.data(), jpeg.size(), &bmp, &size, nullptr, &least),
            BMPSEPIA_STATUS_DAMAGED);
  EXPECT_EQ(least.status, BMPSEPIA_STATUS_DAMAGED);
  EXPECT_EQ(least.width, 7u);
  least.size = 2;
  EXPECT_EQ(bmpsepia_convert_memory(jpeg.data(), jpeg.size(), &bmp, &size, nullptr, &least),
            BMPSEPIA_STATUS_BAD_ARGUMENT);
}

}  // namespace

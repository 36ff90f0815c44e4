// BMPSepia as a caller meets it: results, messages, files written or left alone, and no heap
// held after any call.

#include "bmpsepia.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>

#include "entry/conversion.h"
#include "platform/platform.h"
#include "support/bmp_picture.h"
#include "support/decoded_picture.h"
#include "support/files.h"
#include "support/reference_codec.h"

namespace {

const std::string opening_error = "Error opening jpg. Please try again...\n";
const std::string decoding_error = "Error decoding jpg. Please try again...\n";
const std::string output_error = "Error opening the output file.\n";
const std::string writing_error = "Error writing the output file.\n";

Bytes small_jpeg(int32_t width = 40, int32_t height = 30) {
  return encode_jpeg(make_test_pixels(width, height, 3, 5), width, height, EncodeOptions{});
}

class BMPSepiaTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(platform_live_allocations(), 0); }
  TempDir dir;
};

TEST_F(BMPSepiaTest, ConvertsAndWritesTheWholePicture) {
  write_file(dir.path("in.jpg"), small_jpeg(41, 29));
  const Conversion c = convert_files(dir.path("in.jpg"), dir.path("out.bmp"));
  EXPECT_EQ(c.result, 999);
  EXPECT_EQ(c.messages, "");
  EXPECT_EQ(read_file(dir.path("out.bmp")).size(), 54u + 29 * (41 * 3 + 1));
}

TEST_F(BMPSepiaTest, InputFailures) {
  ASSERT_EQ(mkdir(dir.path("folder.jpg").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.path("pipe.jpg").c_str(), 0644), 0);
  write_file(dir.path("empty.jpg"), {});
  write_file(dir.path("text.jpg"), {'h', 'e', 'l', 'l', 'o'});
  Bytes truncated = small_jpeg();
  truncated.resize(truncated.size() / 3);
  write_file(dir.path("truncated.jpg"), truncated);
  const struct {
    const char* name;
    std::string path;
    std::string message;
  } cases[] = {
      {"missing", dir.path("missing.jpg"), opening_error},
      {"directory", dir.path("folder.jpg"), opening_error},
      {"pipe without a writer", dir.path("pipe.jpg"), opening_error},
      {"device", "/dev/zero", opening_error},
      {"empty", dir.path("empty.jpg"), decoding_error},
      {"not a jpeg", dir.path("text.jpg"), decoding_error},
      {"cut short", dir.path("truncated.jpg"), decoding_error},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Conversion result = convert_files(c.path, dir.path("out.bmp"));
    EXPECT_EQ(result.result, 1);
    EXPECT_EQ(result.messages, c.message);
    EXPECT_FALSE(file_exists(dir.path("out.bmp")));
    EXPECT_EQ(platform_live_allocations(), 0);
  }
}

TEST_F(BMPSepiaTest, NullPaths) {
  write_file(dir.path("in.jpg"), small_jpeg());
  const std::u16string in = utf16(dir.path("in.jpg"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(BMPSepia(nullptr, in.c_str()), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), opening_error);
  testing::internal::CaptureStderr();
  EXPECT_EQ(BMPSepia(in.c_str(), nullptr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), output_error);
}

TEST_F(BMPSepiaTest, OutputFailuresReportFailureAndKeepWhatWasThere) {
  write_file(dir.path("in.jpg"), small_jpeg());
  ASSERT_EQ(mkdir(dir.path("folder.bmp").c_str(), 0755), 0);
  const Conversion missing_dir = convert_files(dir.path("in.jpg"), dir.path("no/such/out.bmp"));
  EXPECT_EQ(missing_dir.result, 1);
  EXPECT_EQ(missing_dir.messages, output_error);
  const Conversion onto_dir = convert_files(dir.path("in.jpg"), dir.path("folder.bmp"));
  EXPECT_EQ(onto_dir.result, 1);
  EXPECT_EQ(onto_dir.messages, output_error);

  write_file(dir.path("old.bmp"), {'o', 'l', 'd'});
  platform_fail_writes_after(1000);
  const Conversion full = convert_files(dir.path("in.jpg"), dir.path("old.bmp"));
  platform_fail_writes_after(-1);
  EXPECT_EQ(full.result, 1);
  EXPECT_EQ(full.messages, writing_error);
  EXPECT_EQ(read_file(dir.path("old.bmp")), (Bytes{'o', 'l', 'd'}));
}

TEST_F(BMPSepiaTest, FullDiskLeavesNoTruncatedFile) {
  const std::string mount_point = dir.path("small");
  ASSERT_EQ(mkdir(mount_point.c_str(), 0755), 0);
  if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=16k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root); the injected write failure "
                    "of OutputFailuresReportFailureAndKeepWhatWasThere covers the path";
  }
  write_file(dir.path("in.jpg"), small_jpeg(200, 100));
  const Conversion c = convert_files(dir.path("in.jpg"), mount_point + "/out.bmp");
  const std::vector<std::string> left = list_dir(mount_point);
  umount(mount_point.c_str());
  EXPECT_EQ(c.result, 1);
  EXPECT_EQ(c.messages, writing_error);
  EXPECT_TRUE(left.empty()) << left.front();
}

TEST_F(BMPSepiaTest, NonAsciiNames) {
  const std::string names[] = {"café_élan", "照片", "photo_📷", "mixed 名前 ü"};
  const Bytes jpeg = small_jpeg();
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    write_file(dir.path(name + ".jpg"), jpeg);
    const Conversion c = convert_files(dir.path(name + ".jpg"), dir.path(name + ".bmp"));
    EXPECT_EQ(c.result, 999) << c.messages;
    EXPECT_TRUE(file_exists(dir.path(name + ".bmp")));
  }
}

TEST_F(BMPSepiaTest, FailureDoesNotAffectTheNextCall) {
  write_file(dir.path("in.jpg"), small_jpeg());
  Bytes broken = small_jpeg();
  broken[broken.size() / 2] = 0xFF;
  broken[broken.size() / 2 + 1] = 0xC4;
  write_file(dir.path("broken.jpg"), broken);
  EXPECT_EQ(convert_files(dir.path("broken.jpg"), dir.path("a.bmp")).result, 1);
  const Conversion good = convert_files(dir.path("in.jpg"), dir.path("b.bmp"));
  EXPECT_EQ(good.result, 999);
  EXPECT_EQ(sha256_hex(read_file(dir.path("b.bmp"))),
            (convert_files(dir.path("in.jpg"), dir.path("c.bmp")),
             sha256_hex(read_file(dir.path("c.bmp")))));
}

// A plane of factor 3 down is held whole, as the last few MCU rows of it would not fall where
// a mask finds them: written as its rows come, on the calling thread alone or beside a second,
// the picture is the one decoded in memory.
TEST_F(BMPSepiaTest, FactorThreeDownWrittenAsItsRowsCome) {
  constexpr int32_t width = 45;
  constexpr int32_t height = 250;  // 11 MCU rows of 24
  for (const int32_t luma : {3, 1}) {
    EncodeOptions options;
    options.v_samp[0] = luma;
    options.v_samp[1] = 4 - luma;  // the other plane of factor 3 down
    options.h_samp[0] = 1;
    const Bytes jpeg = encode_jpeg(make_test_pixels(width, height, 3, 9), width, height, options);
    ASSERT_FALSE(jpeg.empty());
    const DecodedPicture decoded = decode_picture(jpeg);
    ASSERT_EQ(decoded.result, 0);
    BmpPicture want{width, height, decoded.pixels};
    for (size_t p = 0; p < want.bgr.size(); p += 3) std::swap(want.bgr[p], want.bgr[p + 2]);
    write_file(dir.path("in.jpg"), jpeg);
    for (const int32_t threads : {1, 2}) {
      SCOPED_TRACE(::testing::Message() << "luma 1x" << luma << ", threads " << threads);
      ConversionOptions conversion;
      conversion.threads = threads;
      const ConversionOutcome c =
          convert_jpeg(dir.path("in.jpg").c_str(), dir.path("out.bmp").c_str(), conversion);
      ASSERT_EQ(c.status, ConversionStatus::converted);
      BmpPicture have;
      ASSERT_TRUE(read_bmp(read_file(dir.path("out.bmp")), &have));
      EXPECT_EQ(picture_difference(have, want), "");
    }
  }
}

TEST_F(BMPSepiaTest, EveryAllocationFailureIsAFailureWithoutLeaks) {
  write_file(dir.path("in.jpg"), small_jpeg());
  for (int32_t nth = 1;; ++nth) {
    SCOPED_TRACE(nth);
    platform_fail_allocation(nth);
    const Conversion c = convert_files(dir.path("in.jpg"), dir.path("out.bmp"));
    const bool reached = platform_live_allocations() == 0;
    platform_fail_allocation(0);
    EXPECT_TRUE(reached);
    if (c.result == 999) break;  // the nth allocation was past the last one
    EXPECT_EQ(c.result, 1);
    EXPECT_TRUE(c.messages == opening_error || c.messages == decoding_error ||
                c.messages == output_error || c.messages == writing_error)
        << c.messages;
    EXPECT_FALSE(file_exists(dir.path("out.bmp")));
    ASSERT_LT(nth, 20);
  }
}

}  // namespace

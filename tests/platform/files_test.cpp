// Files at the edges of what a system's types and names hold: sizes past 2 and 4 GiB, which a
// 32-bit file offset cannot express, and output names as long as a directory entry allows. The
// big files are sparse, so they cost no disk space.

#include "support/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "bmpsepia.h"
#include "support/reference_codec.h"

namespace {

Bytes small_jpeg() {
  const int32_t width = 40, height = 24;
  return encode_jpeg(make_test_pixels(width, height, 3, 11), width, height, EncodeOptions{});
}

// A file of `size` bytes that holds no data blocks; false when the file system refuses.
bool make_sparse_file(const std::string& path, int64_t size, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  const bool sized = ftruncate(fd, static_cast<off_t>(size)) == 0;
  return close(fd) == 0 && sized;
}

TEST(PlatformFiles, InputsPastTwoAndFourGiBAreTooLargeToDecodeNotUnopenable) {
  const struct {
    const char* description;
    int64_t size;
  } cases[] = {
      {"just over 2 GiB", (int64_t{1} << 31) + 1},
      {"4 GiB and 1 KiB, 1 KiB in 32 bits", (int64_t{1} << 32) + 1024},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    TempDir dir;
    const std::string in = dir.path("huge.jpg");
    ASSERT_TRUE(make_sparse_file(in, c.size, 0644));
    const Conversion run = convert_files(in, dir.path("out.bmp"));
    EXPECT_EQ(run.result, BMPSEPIA_FAILED);
    EXPECT_EQ(run.messages, "Error decoding jpg. Please try again...\n");
    EXPECT_FALSE(file_exists(dir.path("out.bmp")));
  }
}

TEST(PlatformFiles, ReplacingAnOutputPastTwoGiBKeepsItsPermissions) {
  TempDir dir;
  const std::string in = dir.path("in.jpg");
  write_file(in, small_jpeg());
  const std::string out = dir.path("out.bmp");
  ASSERT_TRUE(make_sparse_file(out, int64_t{3} << 30, 0600));
  ASSERT_EQ(chmod(out.c_str(), 0600), 0);
  const Conversion run = convert_files(in, out);
  EXPECT_EQ(run.result, BMPSEPIA_CONVERTED) << run.messages;
  struct stat info;
  ASSERT_EQ(stat(out.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 54 + 40 * 3 * 24);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST(PlatformFiles, OutputNamesAsLongAsTheSystemAllowsAreWritten) {
  std::string chinese;
  for (int i = 0; i < 83; ++i) chinese += "\xE7\x85\xA7";  // U+7167, 3 bytes in UTF-8
  const struct {
    const char* description;
    std::string name;
  } cases[] = {
      {"255 ASCII bytes", std::string(251, 'a') + ".bmp"},
      {"253 bytes of Chinese", chinese + ".bmp"},
  };
  TempDir dir;
  const std::string in = dir.path("in.jpg");
  write_file(in, small_jpeg());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    const Conversion run = convert_files(in, dir.path(c.name));
    EXPECT_EQ(run.result, BMPSEPIA_CONVERTED) << run.messages;
    EXPECT_EQ(read_file(dir.path(c.name)).size(), 54u + 40 * 3 * 24);
  }
  EXPECT_EQ(list_dir(dir.root()).size(), 3u) << "a temporary file was left behind";
}

}  // namespace

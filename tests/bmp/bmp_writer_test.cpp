// The BMP file layout, and output failures that must neither report success nor destroy data.

#include "bmp/bmp_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "support/files.h"

namespace {

uint32_t le32(const Bytes& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

// A picture whose pixel (x, y) is (x, y, 7) as red, green, blue.
std::vector<uint8_t> picture(int32_t width, int32_t height) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
  uint8_t* p = pixels.data();
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x, p += 3) {
      p[0] = static_cast<uint8_t>(x);
      p[1] = static_cast<uint8_t>(y);
      p[2] = 7;
    }
  }
  return pixels;
}

// Writes a picture of red, green, blue pixels, top row first, through the row writer.
BmpWriteResult write_bmp(const char* path, int32_t width, int32_t height, const uint8_t* pixels) {
  struct Picture {
    const uint8_t* pixels;
    int32_t width;
  } picture{pixels, width};
  const auto copy_row = [](void* context, int32_t y, uint8_t* bgr) {
    const auto* p = static_cast<const Picture*>(context);
    const uint8_t* rgb = p->pixels + 3 * static_cast<size_t>(p->width) * y;
    for (int32_t x = 0; x < p->width; ++x, rgb += 3, bgr += 3) {
      bgr[0] = rgb[2];
      bgr[1] = rgb[1];
      bgr[2] = rgb[0];
    }
  };
  return write_bmp_rows(path, width, height, copy_row, &picture, false);
}

TEST(BmpWriter, LayoutPaddingAndOrder) {
  const struct {
    int32_t width, height, file_size;
  } cases[] = {{1, 1, 58}, {2, 2, 70}, {3, 2, 78}, {4, 3, 90}, {5, 1, 70}, {0, 3, 54}, {3, 0, 54}};
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height);
    const std::string path = dir.path("out.bmp");
    const std::vector<uint8_t> pixels = picture(c.width, c.height);
    ASSERT_EQ(write_bmp(path.c_str(), c.width, c.height, pixels.data()), BmpWriteResult::written);
    const Bytes file = read_file(path);
    ASSERT_EQ(file.size(), static_cast<size_t>(c.file_size));
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(le32(file, 2), static_cast<uint32_t>(c.file_size));
    EXPECT_EQ(le32(file, 10), 54u);
    EXPECT_EQ(le32(file, 14), 40u);
    EXPECT_EQ(le32(file, 18), static_cast<uint32_t>(c.width));
    EXPECT_EQ(le32(file, 22), static_cast<uint32_t>(c.height));
    EXPECT_EQ(file[26] | file[27] << 8, 1);
    EXPECT_EQ(file[28] | file[29] << 8, 24);
    for (size_t at : {30, 34, 38, 42, 46, 50}) EXPECT_EQ(le32(file, at), 0u) << at;
    const size_t row_bytes = (static_cast<size_t>(c.width) * 3 + 3) & ~size_t{3};
    for (int32_t k = 0; k < c.height; ++k) {
      const size_t row = 54 + static_cast<size_t>(k) * row_bytes;
      for (int32_t x = 0; x < c.width; ++x) {
        // File row k holds picture row height - 1 - k, as blue, green, red.
        const size_t p = row + 3 * static_cast<size_t>(x);
        ASSERT_EQ(file[p], 7);
        ASSERT_EQ(file[p + 1], c.height - 1 - k);
        ASSERT_EQ(file[p + 2], x);
      }
      for (size_t pad = row + 3 * static_cast<size_t>(c.width); pad < row + row_bytes; ++pad) {
        ASSERT_EQ(file[pad], 0);
      }
    }
  }
}

TEST(BmpWriter, SizeFieldOfAVgaPicture) {
  uint8_t header[bmp_header_bytes];
  build_bmp_header(640, 480, header);
  EXPECT_EQ(le32(Bytes(header, header + 54), 2), 921654u);
}

TEST(BmpWriter, UnopenableOutputsAreRefusedAndLeaveNothing) {
  TempDir dir;
  const std::vector<uint8_t> pixels = picture(2, 2);
  ASSERT_EQ(mkdir(dir.path("a_directory").c_str(), 0755), 0);
  const std::string cases[] = {dir.path("missing/out.bmp"), dir.path("a_directory"), ""};
  for (const std::string& path : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(write_bmp(path.c_str(), 2, 2, pixels.data()), BmpWriteResult::cannot_open);
  }
  EXPECT_EQ(write_bmp(nullptr, 2, 2, pixels.data()), BmpWriteResult::cannot_open);
  EXPECT_EQ(list_dir(dir.root()), std::vector<std::string>{"a_directory"});
}

TEST(BmpWriter, FailedWritesKeepTheOldFileAndLeaveNoTemporary) {
  TempDir dir;
  const std::string path = dir.path("out.bmp");
  write_file(path, {'o', 'l', 'd'});
  const std::vector<uint8_t> pixels = picture(64, 64);
  for (int64_t budget : {0, 54, 100, 9000}) {
    SCOPED_TRACE(budget);
    platform_fail_writes_after(budget);
    EXPECT_EQ(write_bmp(path.c_str(), 64, 64, pixels.data()), BmpWriteResult::cannot_write);
    platform_fail_writes_after(-1);
    EXPECT_EQ(read_file(path), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(list_dir(dir.root()), std::vector<std::string>{"out.bmp"});
  }
}

TEST(BmpWriter, ReplacesTheTargetOfASymbolicLink) {
  TempDir dir;
  write_file(dir.path("target.bmp"), {'o', 'l', 'd'});
  ASSERT_EQ(symlink("target.bmp", dir.path("link.bmp").c_str()), 0);
  const std::vector<uint8_t> pixels = picture(1, 1);
  ASSERT_EQ(write_bmp(dir.path("link.bmp").c_str(), 1, 1, pixels.data()), BmpWriteResult::written);
  struct stat info;
  ASSERT_EQ(lstat(dir.path("link.bmp").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(read_file(dir.path("target.bmp")).size(), 58u);
}

TEST(BmpWriter, PermissionsAreThoseOfCreationOrOfTheReplacedFile) {
  TempDir dir;
  const std::vector<uint8_t> pixels = picture(1, 1);
  const mode_t old_mask = umask(022);
  ASSERT_EQ(write_bmp(dir.path("new.bmp").c_str(), 1, 1, pixels.data()), BmpWriteResult::written);
  write_file(dir.path("kept.bmp"), {1});
  chmod(dir.path("kept.bmp").c_str(), 0640);
  ASSERT_EQ(write_bmp(dir.path("kept.bmp").c_str(), 1, 1, pixels.data()), BmpWriteResult::written);
  umask(old_mask);
  struct stat info;
  ASSERT_EQ(stat(dir.path("new.bmp").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  ASSERT_EQ(stat(dir.path("kept.bmp").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// An existing file the caller may not write is refused, not replaced behind its back. Root may
// write anything, so the call runs in a child that gives up root.
TEST(BmpWriter, ReadOnlyOutputOfAnotherUserIsRefused) {
  TempDir dir;
  const std::string path = dir.path("theirs.bmp");
  write_file(path, {'o', 'l', 'd'});
  chmod(path.c_str(), 0444);
  chmod(dir.root().c_str(), 0777);
  const pid_t child = fork();
  if (child == 0) {
    if (getuid() == 0 && setuid(65534) != 0) _exit(3);
    const std::vector<uint8_t> pixels = picture(1, 1);
    _exit(write_bmp(path.c_str(), 1, 1, pixels.data()) == BmpWriteResult::cannot_open ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(read_file(path), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(list_dir(dir.root()).size(), 1u);
}

}  // namespace

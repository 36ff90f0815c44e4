// BMPSepia through the Windows DLL with file names outside the ANSI code page: Chinese, Greek,
// emoji (surrogate pairs). Each must open, convert and be written under exactly its name, and
// fail as cleanly as an ASCII name would. Device names are refused as outputs, and the
// platform's own temporary file (its routines are built into this program) is shared with no
// one. Run with the corpus folder as the first argument.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bmpsepia.h"
#include "platform/platform.h"
#include "wide_files.h"

namespace {

std::wstring corpus_dir;

// Runs BMPSepia; returns its result and what it printed on the error stream.
struct Conversion {
  int result;
  std::string messages;
};

Conversion convert(const std::wstring& jpeg_path, const std::wstring& bmp_path) {
  const TempDir capture_dir;
  const std::wstring capture = capture_dir.path(L"stderr.txt");
  fflush(stderr);
  const int fd = _wopen(capture.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
  const int saved = _dup(2);
  _dup2(fd, 2);
  Conversion conversion{BMPSepia(jpeg_path.c_str(), bmp_path.c_str()), ""};
  fflush(stderr);
  _dup2(saved, 2);
  _close(saved);
  _close(fd);
  conversion.messages = read_file(capture);
  return conversion;
}

// A corpus file that converts, named by the first row of expected.tsv whose result is 999.
std::wstring sample_jpeg() {
  std::istringstream table(read_file(corpus_dir + L"\\expected.tsv"));
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string file;
    int result = 0;
    if (fields >> file >> result && result == BMPSEPIA_CONVERTED)
      return corpus_dir + L"\\" + widen(file);
  }
  return {};
}

// The BMP that an ASCII-named copy of the sample converts to: every other name must give it.
Bytes plain_bmp(const TempDir& dir) {
  const std::wstring in = dir.path(L"plain.jpg");
  const std::wstring out = dir.path(L"plain.bmp");
  EXPECT_TRUE(CopyFileW(sample_jpeg().c_str(), in.c_str(), FALSE));
  EXPECT_EQ(convert(in, out).result, BMPSEPIA_CONVERTED);
  return read_file(out);
}

struct Names {
  const char* description;
  const wchar_t* folder;
  const wchar_t* jpeg;
  const wchar_t* bmp;
};

const Names non_ascii_names[] = {
    {"Chinese", L"照片", L"风景.jpg", L"棕褐色.bmp"},
    {"emoji, outside the basic plane", L"📷 photos", L"😀.jpg", L"🌅 sunset.bmp"},
    {"Greek", L"Ελληνικά", L"φωτογραφία.jpg", L"σέπια.bmp"},
    {"mixed scripts", L"混合 mélange ✓", L"日本語 – テスト.jpeg", L"ЖЁ 🎞.bmp"},
    {"accented Latin", L"café", L"été.jpg", L"ñandú.bmp"},
};

TEST(WindowsPaths, NonAsciiNamesConvertToTheSameBytes) {
  const TempDir dir;
  const Bytes want = plain_bmp(dir);
  ASSERT_GT(want.size(), 54u);
  for (const Names& names : non_ascii_names) {
    SCOPED_TRACE(names.description);
    const std::wstring folder = dir.path(names.folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring in = folder + L"\\" + names.jpeg;
    const std::wstring out = folder + L"\\" + names.bmp;
    ASSERT_TRUE(CopyFileW(sample_jpeg().c_str(), in.c_str(), FALSE));
    const Conversion c = convert(in, out);
    EXPECT_EQ(c.result, BMPSEPIA_CONVERTED) << c.messages;
    EXPECT_EQ(c.messages, "");
    EXPECT_TRUE(read_file(out) == want) << "output differs from the ASCII-named conversion";
    const std::set<std::wstring> listed = list_dir(folder);
    EXPECT_TRUE(listed == (std::set<std::wstring>{names.jpeg, names.bmp})) << describe(listed);
  }
}

TEST(WindowsPaths, ForwardSlashesAndRelativeNamesWork) {
  const TempDir dir;
  const Bytes want = plain_bmp(dir);
  const std::wstring folder = dir.path(L"斜线");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(sample_jpeg().c_str(), (folder + L"\\输入.jpg").c_str(), FALSE));
  std::wstring slashed = folder;
  for (wchar_t& unit : slashed) unit = unit == L'\\' ? L'/' : unit;
  EXPECT_EQ(convert(slashed + L"/输入.jpg", slashed + L"/输出.bmp").result, BMPSEPIA_CONVERTED);
  EXPECT_TRUE(read_file(folder + L"\\输出.bmp") == want);

  wchar_t saved[MAX_PATH + 1];
  GetCurrentDirectoryW(MAX_PATH + 1, saved);
  ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
  const Conversion c = convert(L"输入.jpg", L"相对.bmp");
  SetCurrentDirectoryW(saved);
  EXPECT_EQ(c.result, BMPSEPIA_CONVERTED) << c.messages;
  EXPECT_TRUE(read_file(folder + L"\\相对.bmp") == want);

  // The prefix of long paths holds the one question mark a path may have.
  EXPECT_EQ(convert(slashed + L"/输入.jpg", L"\\\\?\\" + folder + L"\\长.bmp").result,
            BMPSEPIA_CONVERTED);
  EXPECT_TRUE(read_file(folder + L"\\长.bmp") == want);
}

TEST(WindowsPaths, ReplacingAnExistingOutputLeavesOnlyTheNewFile) {
  const TempDir dir;
  const Bytes want = plain_bmp(dir);
  const std::wstring folder = dir.path(L"替换");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring in = folder + L"\\输入 📷.jpg";
  const std::wstring out = folder + L"\\旧的 🌅.bmp";
  ASSERT_TRUE(CopyFileW(sample_jpeg().c_str(), in.c_str(), FALSE));
  write_file(out, "an older picture");
  const Conversion c = convert(in, out);
  EXPECT_EQ(c.result, BMPSEPIA_CONVERTED) << c.messages;
  EXPECT_TRUE(read_file(out) == want);
  const std::set<std::wstring> listed = list_dir(folder);
  EXPECT_EQ(listed.size(), 2u) << describe(listed);
}

TEST(WindowsPaths, FailuresReportOnceAndLeaveOutputsAsTheyWere) {
  const TempDir dir;
  const std::wstring good = dir.path(L"好 📷.jpg");
  ASSERT_TRUE(CopyFileW(sample_jpeg().c_str(), good.c_str(), FALSE));
  const std::wstring not_jpeg = dir.path(L"坏 ✗.jpg");
  write_file(not_jpeg, "this is not a picture");
  const std::wstring folder = dir.path(L"目录 📁");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring read_only = dir.path(L"只读 🔒.bmp");
  write_file(read_only, "keep me");
  ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));

  const struct {
    const char* description;
    std::wstring in, out;
    const char* message;
  } cases[] = {
      {"missing input", dir.path(L"缺失 ❓.jpg"), dir.path(L"出 1.bmp"),
       "Error opening jpg. Please try again..."},
      {"input is a folder", folder, dir.path(L"出 2.bmp"),
       "Error opening jpg. Please try again..."},
      {"input is a device", L"NUL", dir.path(L"出 4.bmp"),
       "Error opening jpg. Please try again..."},
      {"input is not a JPEG", not_jpeg, dir.path(L"出 3.bmp"),
       "Error decoding jpg. Please try again..."},
      {"output folder missing", good, dir.path(L"不存在 ❓\\出.bmp"),
       "Error opening the output file."},
      {"output is a folder", good, folder, "Error opening the output file."},
      {"output is read-only", good, read_only, "Error opening the output file."},
  };
  const std::set<std::wstring> before = list_dir(dir.root());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    const Conversion run = convert(c.in, c.out);
    EXPECT_EQ(run.result, BMPSEPIA_FAILED);
    EXPECT_EQ(run.messages, std::string(c.message) + "\n");
    EXPECT_TRUE(list_dir(dir.root()) == before) << describe(list_dir(dir.root()));
  }
  EXPECT_TRUE(read_file(read_only) == "keep me") << "the read-only file was changed";
  EXPECT_TRUE(list_dir(folder).empty());
}

// Device names, and wildcards, which are in no file name and would make a look a search.
TEST(WindowsPaths, DeviceNamesAreRefusedAsOutputs) {
  const TempDir dir;
  const std::wstring good = dir.path(L"good.jpg");
  ASSERT_TRUE(CopyFileW(sample_jpeg().c_str(), good.c_str(), FALSE));
  const std::wstring names[] = {L"NUL",
                                L"nul.bmp",
                                L"CON",
                                L"con .bmp",
                                L"COM1.bmp",
                                L"lpt9",
                                L"AUX.x.bmp",
                                L"CONOUT$",
                                L"COM\u00B9.bmp",
                                L"\\\\.\\NUL",
                                dir.path(L"PRN.bmp"),
                                dir.path(L"设备\\..\\nul"),
                                dir.path(L"*.jpg"),
                                dir.path(L"goo?.jpg")};
  const std::set<std::wstring> before = list_dir(dir.root());
  for (const std::wstring& name : names) {
    SCOPED_TRACE(utf8(name));
    const Conversion run = convert(good, name);
    EXPECT_EQ(run.result, BMPSEPIA_FAILED);
    EXPECT_EQ(run.messages, "Error opening the output file.\n");
    EXPECT_TRUE(list_dir(dir.root()) == before) << describe(list_dir(dir.root()));
  }
}

bool is_temp_name(const std::wstring& path) {
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  return name.size() == 30 && name.starts_with(L".bmpsepia-") && name.ends_with(L".tmp") &&
         name.find_first_not_of(L"0123456789abcdef", 10) == 26;
}

TEST(WindowsPaths, TheTemporaryFileIsSharedWithNoOneAndRandomlyNamed) {
  const TempDir dir;
  const std::string out = utf8(dir.path(L"输出.bmp"));
  PendingFile first;
  PendingFile second;
  ASSERT_TRUE(platform_begin_replace(out.c_str(), &first, false));
  ASSERT_TRUE(platform_begin_replace(out.c_str(), &second, false));
  EXPECT_TRUE(is_temp_name(first.temp_path)) << utf8(first.temp_path);
  EXPECT_TRUE(is_temp_name(second.temp_path)) << utf8(second.temp_path);
  EXPECT_NE(std::wstring(first.temp_path), std::wstring(second.temp_path));
  EXPECT_TRUE(platform_write("sepia", 5, first.stream));
  for (const DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}, DWORD{DELETE}}) {
    SCOPED_TRACE(access);
    const HANDLE other =
        CreateFileW(first.temp_path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  }
  EXPECT_TRUE(platform_commit_replace(&first));
  platform_abort_replace(&second);
  EXPECT_TRUE(read_file(dir.path(L"输出.bmp")) == "sepia");
  EXPECT_TRUE(list_dir(dir.root()) == std::set<std::wstring>{L"输出.bmp"})
      << describe(list_dir(dir.root()));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 2) {
    fputs("usage: bmpsepia_paths_test [gtest options] CORPUS_DIR\n", stderr);
    return 2;
  }
  corpus_dir = argv[1];
  if (sample_jpeg().empty()) {
    fprintf(stderr, "no corpus at %s\n", utf8(corpus_dir).c_str());
    return 2;
  }
  return RUN_ALL_TESTS();
}

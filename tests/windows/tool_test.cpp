// bmpsepia.exe as a Windows user runs it: started with a UTF-16 command line (CreateProcessW),
// its standard streams pipes, on real files with names outside the ANSI code page. Run with the
// corpus folder and the corpus table (tests/corpus_table.cmake) as arguments; the tool is
// beside this program.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/sha256.h"
#include "wide_files.h"

namespace {

std::wstring corpus_dir;
std::wstring table_path;
std::wstring tool_path;

const wchar_t* const good_file = L"cimg_f028c_591x400_444.jpg";
const wchar_t* const damaged_file = L"bad_lepton_nofsync.jpg";
const std::string damaged_message =
    "Error decoding jpg. Please try again... (damaged: restart marker out of order); --salvage "
    "writes what can be recovered";

std::string digest(const Bytes& bytes) {
  return sha256_hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// The SHA-256 that the corpus table gives for a file's BMP, "-" for none.
std::string expected_digest(const std::wstring& name) {
  std::istringstream table(read_file(table_path));
  std::string file, result, sha;
  while (table >> file >> result >> sha) {
    if (file == utf8(name)) return sha;
  }
  return "missing from " + utf8(table_path);
}

Bytes corpus(const std::wstring& name) { return read_file(corpus_dir + L"\\" + name); }

// Quoted as the C runtime splits a command line: backslashes double only before a quote.
std::wstring quote_argument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

struct ProgramRun {
  DWORD status = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

void drain(HANDLE from, std::string* into) {
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0) into->append(buffer, got);
  CloseHandle(from);
}

// Runs the tool in `cwd` with `input` through a pipe on its standard input (else NUL).
ProgramRun run_tool(const std::vector<std::wstring>& args, const std::wstring& cwd,
                    const std::optional<Bytes>& input = std::nullopt) {
  ProgramRun run;
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read, out_write, err_read, err_write, in_read, in_write = nullptr;
  if (!CreatePipe(&out_read, &out_write, &inherited, 0) ||
      !CreatePipe(&err_read, &err_write, &inherited, 0)) {
    return run;
  }
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  if (input) {
    if (!CreatePipe(&in_read, &in_write, &inherited, 0)) return run;
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  } else {
    in_read = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                          OPEN_EXISTING, 0, nullptr);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  std::wstring command = quote_argument(tool_path);
  for (const std::wstring& arg : args) command += L" " + quote_argument(arg);
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(tool_path.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, cwd.c_str(), &startup, &process);
  CloseHandle(out_write);
  CloseHandle(err_write);
  CloseHandle(in_read);
  std::thread feeder([&] {
    if (in_write == nullptr) return;
    DWORD put = 0;
    for (size_t done = 0; started && done < input->size(); done += put) {
      if (!WriteFile(in_write, input->data() + done, static_cast<DWORD>(input->size() - done), &put,
                     nullptr)) {
        break;
      }
    }
    CloseHandle(in_write);
  });
  std::thread out_reader(drain, out_read, &run.out);
  drain(err_read, &run.err);
  out_reader.join();
  feeder.join();
  if (!started) return run;
  WaitForSingleObject(process.hProcess, 120000);
  GetExitCodeProcess(process.hProcess, &run.status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return run;
}

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(WindowsTool, ConvertsOneFileUnderNamesOutsideTheCodePage) {
  const TempDir dir;
  const struct {
    const wchar_t* in;
    const wchar_t* out;
  } cases[] = {{L"风景 🌅.jpg", L"棕褐色 😀.bmp"}, {L"φωτογραφία.jpg", L"σέπια.bmp"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(utf8(c.in));
    write_file(dir.path(c.in), corpus(good_file));
    const ProgramRun run = run_tool({c.in, c.out}, dir.root());
    EXPECT_EQ(run.status, 0u) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(digest(read_file(dir.path(c.out))), expected_digest(good_file));
  }
  // An existing folder as the output takes the picture under the input's name.
  ASSERT_TRUE(CreateDirectoryW(dir.path(L"相册").c_str(), nullptr));
  const ProgramRun into = run_tool({L"风景 🌅.jpg", L"相册"}, dir.root());
  EXPECT_EQ(into.status, 0u) << into.err;
  EXPECT_EQ(digest(read_file(dir.path(L"相册\\风景 🌅.bmp"))), expected_digest(good_file));
}

TEST(WindowsTool, BatchWithABadFileConvertsTheRest) {
  const TempDir dir;
  const std::wstring in = dir.path(L"照片");
  ASSERT_TRUE(CreateDirectoryW(in.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((in + L"\\2019 夏").c_str(), nullptr));
  write_file(in + L"\\a.jpg", corpus(good_file));
  write_file(in + L"\\😀.JPG", corpus(L"gofuzz_video001_150x103_422.jpg"));
  write_file(in + L"\\bad.jpg", corpus(damaged_file));
  write_file(in + L"\\notes.txt", "not a picture");
  write_file(in + L"\\2019 夏\\海.jpeg", corpus(L"suite_32x32_420.jpg"));
  const ProgramRun run = run_tool({L"-r", L"-j", L"2", L"-o", L"出 out", L"照片"}, dir.root());
  EXPECT_EQ(run.status, 1u);
  const std::vector<std::string> lines = sorted_lines(run.err);
  ASSERT_EQ(lines.size(), 2u) << run.err;
  EXPECT_TRUE(lines[0].starts_with("bmpsepia: 3 converted, 1 failed, ")) << lines[0];
  EXPECT_EQ(lines[1], "照片/bad.jpg: " + damaged_message);
  const std::wstring out = dir.path(L"出 out");
  EXPECT_TRUE(list_dir(out) == (std::set<std::wstring>{L"a.bmp", L"😀.bmp", L"2019 夏"}))
      << describe(list_dir(out));
  EXPECT_EQ(digest(read_file(out + L"\\a.bmp")), expected_digest(good_file));
  EXPECT_EQ(digest(read_file(out + L"\\😀.bmp")),
            expected_digest(L"gofuzz_video001_150x103_422.jpg"));
  EXPECT_EQ(digest(read_file(out + L"\\2019 夏\\海.bmp")), expected_digest(L"suite_32x32_420.jpg"));
}

TEST(WindowsTool, StandardStreams) {
  const TempDir dir;
  write_file(dir.path(L"good.jpg"), corpus(good_file));
  const std::string want = expected_digest(good_file);

  const ProgramRun in = run_tool({L"-", L"从管道.bmp"}, dir.root(), corpus(good_file));
  EXPECT_EQ(in.status, 0u) << in.err;
  EXPECT_EQ(digest(read_file(dir.path(L"从管道.bmp"))), want);

  const ProgramRun out = run_tool({L"good.jpg", L"-"}, dir.root());
  EXPECT_EQ(out.status, 0u) << out.err;
  EXPECT_EQ(digest(out.out), want);  // binary: no byte 0x0A became 0x0D 0x0A

  const ProgramRun both = run_tool({L"-", L"-"}, dir.root(), corpus(good_file));
  EXPECT_EQ(both.status, 0u) << both.err;
  EXPECT_EQ(digest(both.out), want);

  const ProgramRun damaged = run_tool({L"-", L"-"}, dir.root(), corpus(damaged_file));
  EXPECT_EQ(damaged.status, 1u);
  EXPECT_EQ(damaged.out, "");
  EXPECT_EQ(damaged.err, "standard input: " + damaged_message + "\n");

  const ProgramRun junk = run_tool({L"-", L"-"}, dir.root(), Bytes("GIF89a"));
  EXPECT_EQ(junk.status, 1u);
  EXPECT_EQ(junk.err,
            "standard input: Error decoding jpg. Please try again... (not a JPEG file)\n");
}

// A phone photograph stored on its side comes out upright: its width and height swap.
TEST(WindowsTool, AutoOrient) {
  const TempDir dir;
  write_file(dir.path(L"side.jpg"), corpus(L"recurser_landscape6_1200x1800_420_exif.jpg"));
  const ProgramRun run = run_tool({L"--auto-orient", L"side.jpg", L"-"}, dir.root());
  EXPECT_EQ(run.status, 0u) << run.err;
  ASSERT_GE(run.out.size(), 54u);
  const auto le32 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(run.out[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(run.out[at + 1])) << 8;
  };
  EXPECT_EQ(le32(18), 1800u);
  EXPECT_EQ(le32(22), 1200u);
}

TEST(WindowsTool, FailuresAndUsageErrors) {
  const TempDir dir;
  const struct {
    std::vector<std::wstring> args;
    DWORD status;
    const char* err;
  } cases[] = {
      {{L"缺失.jpg", L"x.bmp"},
       1,
       "缺失.jpg: Error opening jpg. Please try again... (No such file or directory)\n"},
      {{L"a.jpg"}, 2, "bmpsepia: missing output file after 'a.jpg'\n"},
      {{L"-o", L"out", L"-"}, 2, "bmpsepia: standard input ('-') holds one picture, not a batch"},
      {{L"-j", L"0", L"-o", L"out", L"a.jpg"}, 2, "bmpsepia: invalid worker count '0'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    const ProgramRun run = run_tool(c.args, dir.root());
    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(run.err.starts_with(c.err)) << run.err;
    EXPECT_TRUE(list_dir(dir.root()).empty()) << describe(list_dir(dir.root()));
  }
  const ProgramRun help = run_tool({L"--help"}, dir.root());
  EXPECT_EQ(help.status, 0u);
  EXPECT_NE(help.out.find("--auto-orient"), std::string::npos);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 3) {
    fputs("usage: bmpsepia_tool_test [gtest options] CORPUS_DIR CORPUS_TABLE\n", stderr);
    return 2;
  }
  corpus_dir = argv[1];
  table_path = argv[2];
  wchar_t self[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  tool_path = std::wstring(self, length);
  tool_path = tool_path.substr(0, tool_path.find_last_of(L"\\/") + 1) + L"bmpsepia.exe";
  if (read_file(table_path).empty() || corpus(good_file).empty()) {
    fprintf(stderr, "no corpus at %s or no table at %s\n", utf8(corpus_dir).c_str(),
            utf8(table_path).c_str());
    return 2;
  }
  return RUN_ALL_TESTS();
}

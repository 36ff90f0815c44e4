#include "support/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "bmpsepia.h"
#include "support/sha256.h"

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/bmpsepia-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) abort();
  root_ = name.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(root_, ignored);
}

bool read_file(const std::string& path, Bytes* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

Bytes read_file(const std::string& path) {
  Bytes bytes;
  read_file(path, &bytes);
  return bytes;
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(path, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

std::u16string utf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<uint8_t>(utf8[i]);
    const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    uint32_t code = extra == 0 ? b : b & (0x3Fu >> extra);
    for (int k = 1; k <= extra; ++k) code = code << 6 | (static_cast<uint8_t>(utf8[i + k]) & 0x3F);
    i += static_cast<size_t>(extra) + 1;
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

std::string sha256_hex(const Bytes& bytes) { return sha256_hex(bytes.data(), bytes.size()); }

std::string corpus_dir() { return BMPSEPIA_TEST_CORPUS; }

std::vector<CorpusExpectation> corpus_expectations() {
  std::vector<CorpusExpectation> rows;
  std::ifstream in(BMPSEPIA_CORPUS_TABLE);
  CorpusExpectation row;
  while (in >> row.file >> row.result >> row.sha256) rows.push_back(row);
  return rows;
}

std::string printed_by(const std::function<void()>& call) {
  fflush(stderr);
  char capture[] = "/tmp/bmpsepia-stderr-XXXXXX";
  const int fd = mkstemp(capture);
  const int saved = dup(2);
  dup2(fd, 2);
  call();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(fd);
  const Bytes text = read_file(capture);
  unlink(capture);
  return std::string(text.begin(), text.end());
}

Conversion convert_files(const std::string& jpeg_path, const std::string& bmp_path) {
  const std::u16string in = utf16(jpeg_path);
  const std::u16string out = utf16(bmp_path);
  Conversion conversion{0, ""};
  conversion.messages = printed_by([&] { conversion.result = BMPSepia(in.c_str(), out.c_str()); });
  return conversion;
}

#pragma once
// Files, paths and digests for tests.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A fresh directory under the system's temporary folder, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return root_ + "/" + name; }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

bool read_file(const std::string& path, Bytes* bytes);
Bytes read_file(const std::string& path);  // empty when missing
void write_file(const std::string& path, const Bytes& bytes);
bool file_exists(const std::string& path);
std::vector<std::string> list_dir(const std::string& path);

std::u16string utf16(const std::string& utf8);
std::string sha256_hex(const Bytes& bytes);

// The project's corpus of real JPEG files, tests/corpus.
std::string corpus_dir();

// A corpus file (relative to corpus_dir()), the result BMPSepia must give for it and the
// SHA-256 of the BMP it must write ("-" for none), by the table that tests/corpus_table.cmake
// makes from what the decoder takes.
struct CorpusExpectation {
  std::string file;
  int result;
  std::string sha256;
};
std::vector<CorpusExpectation> corpus_expectations();

// Runs BMPSepia with UTF-8 paths; returns its result and what it printed on stderr.
struct Conversion {
  int result;
  std::string messages;
};
Conversion convert_files(const std::string& jpeg_path, const std::string& bmp_path);

// What `call` writes to descriptor 2, caught in a file meanwhile.
std::string printed_by(const std::function<void()>& call);

// Fixed-seed mutations of the smaller corpus files give exactly the results and bytes recorded
// in tests/data/golden_digests.tsv. Speed work must not change one output byte, for good files
// or damaged ones. Regenerate the table only for a deliberate change of behaviour, by running
// this test with BMPSEPIA_GOLDEN_WRITE=tests/data/golden_digests.tsv in the environment.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "support/files.h"

namespace {

constexpr size_t largest_file_bytes = 128 * 1024;
constexpr int32_t mutations_per_file = 120;

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15u + 1) {}
  uint32_t next(uint32_t bound) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<uint32_t>((state_ >> 11) % bound);
  }

 private:
  uint64_t state_;
};

// Mutation k of a file: a truncation, a few changed bytes, or a marker dropped in.
Bytes mutate(const Bytes& original, Random& random) {
  Bytes bytes = original;
  const uint32_t size = static_cast<uint32_t>(bytes.size());
  const uint32_t kind = random.next(10);
  if (kind < 2) {
    bytes.resize(random.next(size));
  } else if (kind < 9) {
    const uint32_t changes = kind < 6 ? 1 : 1 + random.next(8);
    for (uint32_t i = 0; i < changes; ++i)
      bytes[random.next(size)] = static_cast<uint8_t>(random.next(256));
  } else {
    const uint32_t at = random.next(size - 1);
    bytes[at] = 0xFF;
    bytes[at + 1] = static_cast<uint8_t>(0xC0 + random.next(64));
  }
  return bytes;
}

std::map<std::string, std::string> load_table(const std::string& path) {
  std::map<std::string, std::string> table;
  std::ifstream in(path);
  std::string name, digest;
  while (in >> name >> digest) table[name] = digest;
  return table;
}

TEST(Golden, MutatedCorpusFilesKeepTheirRecordedOutputs) {
  std::vector<std::string> names = list_dir(corpus_dir());
  std::sort(names.begin(), names.end());
  const std::map<std::string, std::string> want = load_table(BMPSEPIA_GOLDEN_TABLE);
  const char* write_path = getenv("BMPSEPIA_GOLDEN_WRITE");
  std::ostringstream written;
  TempDir dir;
  const std::string in = dir.path("in.jpg");
  const std::string out = dir.path("out.bmp");
  int32_t files = 0;
  for (const std::string& name : names) {
    const bool jpeg = name.ends_with(".jpg") || name.ends_with(".jpeg");
    if (!jpeg) continue;
    const Bytes original = read_file(corpus_dir() + "/" + name);
    if (original.size() < 4 || original.size() > largest_file_bytes) continue;
    SCOPED_TRACE(name);
    uint32_t seed = 2166136261u;  // FNV-1a of the name, the same on every platform
    for (char ch : name) seed = (seed ^ static_cast<uint8_t>(ch)) * 16777619u;
    Random random(seed);
    std::string lines;
    for (int32_t k = 0; k < mutations_per_file; ++k) {
      write_file(in, mutate(original, random));
      unlink(out.c_str());
      const Conversion c = convert_files(in, out);
      lines += std::to_string(c.result) + " " +
               (file_exists(out) ? sha256_hex(read_file(out)) : std::string("-")) + "\n";
    }
    const std::string digest = sha256_hex(Bytes(lines.begin(), lines.end()));
    written << name << "\t" << digest << "\n";
    ++files;
    if (write_path == nullptr) {
      const auto found = want.find(name);
      ASSERT_NE(found, want.end()) << "no recorded digest";
      EXPECT_EQ(digest, found->second);
    }
  }
  EXPECT_GE(files, 20);
  if (write_path != nullptr) {
    std::ofstream(write_path) << written.str();
  }
}

}  // namespace

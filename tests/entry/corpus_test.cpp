// Every real file of the corpus gives its expected result and, when it converts, exactly
// the expected bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "support/files.h"

namespace {

// Names the first pixel where two BMP files differ, for debugging against a full expected file.
std::string first_difference(const Bytes& have, const Bytes& want) {
  if (have.size() < 54 || want.size() != have.size()) {
    return "sizes differ: have " + std::to_string(have.size()) + ", want " +
           std::to_string(want.size());
  }
  const int32_t width = want[18] | want[19] << 8;
  const int32_t height = want[22] | want[23] << 8;
  const size_t row_bytes = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  for (size_t i = 0; i < have.size(); ++i) {
    if (have[i] == want[i]) continue;
    if (i < 54) return "header byte " + std::to_string(i);
    const size_t row = (i - 54) / row_bytes;
    const size_t x = (i - 54) % row_bytes / 3;
    const size_t p = 54 + row * row_bytes + 3 * x;
    std::ostringstream text;
    text << "pixel x=" << x << " y=" << (height - 1 - static_cast<int32_t>(row))
         << " (top row 0): have BGR " << int{have[p]} << "," << int{have[p + 1]} << ","
         << int{have[p + 2]} << " want " << int{want[p]} << "," << int{want[p + 1]} << ","
         << int{want[p + 2]};
    return text.str();
  }
  return "identical";
}

// Files of kinds the decoder does not take yet must still be refused cleanly.
TEST(Corpus, EveryFileGivesItsExpectedResultAndBytes) {
  const std::vector<CorpusExpectation> rows = corpus_expectations();
  ASSERT_GE(rows.size(), 55u) << "corpus missing at " << corpus_dir();
  TempDir dir;
  for (const CorpusExpectation& row : rows) {
    SCOPED_TRACE(row.file);
    std::string name = row.file;
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string out = dir.path(name + ".bmp");
    const Conversion c = convert_files(corpus_dir() + "/" + row.file, out);
    EXPECT_EQ(c.result, row.result) << c.messages;
    if (row.sha256 == "-") {
      EXPECT_FALSE(file_exists(out));
      continue;
    }
    const Bytes have = read_file(out);
    const std::string digest = sha256_hex(have);
    if (digest != row.sha256) {
      const std::string stem = row.file.substr(0, row.file.rfind('.'));
      const Bytes want = read_file(corpus_dir() + "/expected/" + stem + ".bmp");
      ADD_FAILURE() << "digest " << digest << " differs"
                    << (want.empty() ? std::string() : ": " + first_difference(have, want));
    }
  }
}

}  // namespace

// The tool at the user's streams and with the user's photographs: '-' for standard input and
// output, --auto-orient, and the reasons given for refused files.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "cli/run_tool.h"
#include "support/bmp_picture.h"
#include "support/files.h"
#include "support/jpeg_builder.h"

namespace {

const char* const good_file = "cimg_f028c_591x400_444.jpg";
const char* const damaged_file = "bad_lepton_nofsync.jpg";
const char* const sideways_file = "recurser_landscape6_1200x1800_420_exif.jpg";
const std::string decoding_error = "Error decoding jpg. Please try again...";

std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string corpus_file(const std::string& name) { return corpus_dir() + "/" + name; }

std::string expected_digest(const std::string& corpus_name) {
  for (const CorpusExpectation& row : corpus_expectations()) {
    if (row.file == corpus_name) return row.sha256;
  }
  return "missing from the corpus table";
}

RunOptions piped(const std::string& cwd, const Bytes& input) {
  RunOptions options = in_folder(cwd);
  options.input = text_of(input);
  return options;
}

TEST(ToolStreams, EachFormWritesThePictureOnlyOnSuccess) {
  TempDir dir;
  const Bytes good = read_file(corpus_file(good_file));
  const Bytes damaged = read_file(corpus_file(damaged_file));
  ASSERT_FALSE(good.empty()) << "corpus missing at " << corpus_dir();
  write_file(dir.path("good.jpg"), good);
  write_file(dir.path("damaged.jpg"), damaged);
  const std::string damaged_line = decoding_error +
                                   " (damaged: restart marker out of order); --salvage writes "
                                   "what can be recovered\n";
  const struct {
    const char* what;
    std::vector<std::string> args;
    RunOptions options;
    int status;
    const char* file;  // the BMP file written, if any, else the standard output
    std::string err;
  } cases[] = {
      {"a pipe into a file", {"-", "out.bmp"}, piped(dir.root(), good), 0, "out.bmp", ""},
      {"a file into a pipe", {"good.jpg", "-"}, in_folder(dir.root()), 0, nullptr, ""},
      {"a pipe into a pipe", {"-", "-"}, piped(dir.root(), good), 0, nullptr, ""},
      {"a damaged pipe",
       {"-", "bad.bmp"},
       piped(dir.root(), damaged),
       1,
       nullptr,
       "standard input: " + damaged_line},
      {"a damaged file into a pipe",
       {"damaged.jpg", "-"},
       in_folder(dir.root()),
       1,
       nullptr,
       "damaged.jpg: " + damaged_line},
      {"a damaged pipe into a pipe",
       {"-", "-"},
       piped(dir.root(), damaged),
       1,
       nullptr,
       "standard input: " + damaged_line},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t files_before = list_dir(dir.root()).size();
    const ProgramRun run = run_tool(c.args, c.options);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, c.err);
    if (c.status != 0) {
      EXPECT_EQ(run.out, "") << "bytes on standard output after a failure";
      EXPECT_EQ(list_dir(dir.root()).size(), files_before);
    } else if (c.file != nullptr) {
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(sha256_hex(read_file(dir.path(c.file))), expected_digest(good_file));
    } else {
      EXPECT_EQ(sha256_hex(bytes_of(run.out)), expected_digest(good_file));
    }
  }
  // Redirected from a file, as `bmpsepia - - < IN.jpg > OUT.bmp`.
  RunOptions redirected = in_folder(dir.root());
  redirected.input_file = dir.path("good.jpg");
  redirected.output_file = dir.path("redirected.bmp");
  EXPECT_EQ(run_tool({"-", "-"}, redirected).status, 0);
  EXPECT_EQ(sha256_hex(read_file(dir.path("redirected.bmp"))), expected_digest(good_file));
}

// `cat FILE | bmpsepia - -` for every file of the corpus: the same bytes as BMPSepia writes, or
// nothing and the decoding message.
TEST(ToolStreams, EveryCorpusFileThroughBothStreams) {
  const std::vector<CorpusExpectation> rows = corpus_expectations();
  ASSERT_GT(rows.size(), 30u) << "corpus missing at " << corpus_dir();
  for (const CorpusExpectation& row : rows) {
    SCOPED_TRACE(row.file);
    RunOptions options;
    options.input = text_of(read_file(corpus_file(row.file)));
    const ProgramRun run = run_tool({"-", "-"}, options);
    if (row.result == 999) {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(sha256_hex(bytes_of(run.out)), row.sha256);
    } else {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, "");
      EXPECT_TRUE(run.err.starts_with("standard input: " + decoding_error)) << run.err;
    }
  }
}

TEST(ToolStreams, JunkOrNothingOnStandardInput) {
  for (const std::string input : {"GIF89a and then some", ""}) {
    SCOPED_TRACE(input);
    RunOptions options;
    options.input = input;
    const ProgramRun run = run_tool({"-", "-"}, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "standard input: " + decoding_error + " (not a JPEG file)\n");
  }
}

TEST(ToolStreams, AFolderAsStandardInputIsToldAsOne) {
  TempDir dir;
  RunOptions options = in_folder(dir.root());
  options.input_file = dir.root();
  const ProgramRun run = run_tool({"-", "out.bmp"}, options);
  EXPECT_EQ(run.err, "standard input: Error opening jpg. Please try again... (Is a directory)\n");
  EXPECT_TRUE(run.status == 1 && list_dir(dir.root()).empty());
}

// Binary on a terminal would garble it, and waiting at a terminal for a JPEG file would look
// like a hang: each is refused before anything is read or written.
TEST(ToolStreams, ATerminalIsRefusedWithAHint) {
  TempDir dir;
  write_file(dir.path("good.jpg"), read_file(corpus_file(good_file)));
  const struct {
    std::vector<std::string> args;
    const char* hint;
  } cases[] = {
      {{"good.jpg", "-"}, "bmpsepia: standard output is a terminal, where a BMP picture would"},
      {{"-", "out.bmp"}, "bmpsepia: standard input is a terminal; redirect a JPEG file into it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hint);
    RunOptions options = in_folder(dir.root());
    options.terminal = true;
    const ProgramRun run = run_tool(c.args, options);
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(run.out.starts_with(c.hint)) << run.out;  // all three streams are the terminal
    EXPECT_TRUE(run.out.find("usage: bmpsepia") != std::string::npos) << run.out;
    EXPECT_LT(run.out.size(), 400u);
    EXPECT_EQ(list_dir(dir.root()), std::vector<std::string>{"good.jpg"});
  }
}

TEST(ToolStreams, AFullStandardOutputIsAWriteError) {
  RunOptions options;
  options.input_file = corpus_file(good_file);
  options.output_file = "/dev/full";
  const ProgramRun run = run_tool({"-", "-"}, options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "standard output: Error writing the output file.\n");
}

// Standard input that is the output file itself is not replaced by its own picture.
TEST(ToolStreams, StandardInputThatIsTheOutputIsNotReplaced) {
  TempDir dir;
  write_file(dir.path("x.jpg"), read_file(corpus_file(good_file)));
  RunOptions options = in_folder(dir.root());
  options.input_file = dir.path("x.jpg");
  const ProgramRun run = run_tool({"-", "x.jpg"}, options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "standard input: not converted: its output x.jpg is an input file\n");
  EXPECT_EQ(sha256_hex(read_file(dir.path("x.jpg"))),
            sha256_hex(read_file(corpus_file(good_file))));
}

TEST(ToolStreams, StreamsBelongToSingleConversions) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.path("folder").c_str(), 0755), 0);
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"-o", "out", "-"}, "bmpsepia: standard input ('-') holds one picture, not a batch"},
      {{"-o", "-", "a.jpg"},
       "bmpsepia: -o takes a folder or a .bmp file; to write one picture to standard"},
      {{"-", "folder"}, "bmpsepia: standard input has no name to give the picture in 'folder'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const ProgramRun run = run_tool(c.args, piped(dir.root(), {}));
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(run.err.starts_with(c.message)) << run.err;
    EXPECT_EQ(list_dir(dir.root()), std::vector<std::string>{"folder"});
  }
}

BmpPicture picture_of(const Bytes& file) {
  BmpPicture picture;
  EXPECT_TRUE(read_bmp(file, &picture));
  return picture;
}

// A phone photograph stored on its side: upright with --auto-orient, in a batch and through the
// streams; as stored without it.
TEST(ToolAutoOrient, UprightInABatchAndThroughStreams) {
  TempDir dir;
  write_file(dir.path("side.jpg"), read_file(corpus_file(sideways_file)));
  write_file(dir.path("plain.jpg"), read_file(corpus_file(good_file)));
  const ProgramRun batch = run_tool({"-q", "--auto-orient", "-o", "out", "side.jpg", "plain.jpg"},
                                    in_folder(dir.root()));
  EXPECT_EQ(batch.status, 0) << batch.err;
  const ProgramRun plain = run_tool({"side.jpg", "side.bmp"}, in_folder(dir.root()));
  EXPECT_EQ(plain.status, 0) << plain.err;
  const Bytes stored = read_file(dir.path("side.bmp"));
  EXPECT_EQ(sha256_hex(stored), expected_digest(sideways_file));
  const BmpPicture want = turn_clockwise(picture_of(stored));
  EXPECT_EQ(picture_difference(picture_of(read_file(dir.path("out/side.bmp"))), want), "");
  // A picture without an orientation tag is as BMPSepia writes it.
  EXPECT_EQ(sha256_hex(read_file(dir.path("out/plain.bmp"))), expected_digest(good_file));

  const ProgramRun streamed =
      run_tool({"--auto-orient", "-", "-"}, piped(dir.root(), read_file(dir.path("side.jpg"))));
  EXPECT_EQ(streamed.status, 0) << streamed.err;
  EXPECT_EQ(picture_difference(picture_of(bytes_of(streamed.out)), want), "");
}

// Each refused file is told with what it is: a kind that is not supported, or how it is
// damaged.
TEST(ToolReasons, RefusedFilesAndWhy) {
  const std::vector<FrameComponent> grey = {{1, 1, 1, 0}};
  const auto frame = [](uint8_t marker, const std::vector<FrameComponent>& components) {
    return JpegBuilder().soi().dqt(0, 4).segment(marker, sof0_payload(16, 16, components)).bytes();
  };
  // Ends after a whole segment, where the next marker should be.
  const Bytes cut_header = JpegBuilder().soi().dqt(0, 4).bytes();
  const struct {
    const char* name;
    Bytes jpeg;
    const char* reason;
  } cases[] = {
      {"12bit.jpg", read_file(corpus_file("unsup_suite_12bit_32x32.jpg")),
       "not supported: 12-bit samples"},
      {"lossless.jpg", frame(0xC3, grey), "not supported: lossless JPEG"},
      {"hierarchical.jpg", frame(0xC5, grey), "not supported: hierarchical JPEG"},
      {"dnl.jpg", read_file(corpus_file("unsup_suite_dnl_32x32.jpg")), "not supported: DNL"},
      {"factor5.jpg", frame(0xC0, {{1, 5, 1, 0}}), "not supported: sampling factor 5"},
      {"two.jpg", frame(0xC0, {{1, 1, 1, 0}, {2, 1, 1, 0}}), "not supported: 2 components"},
      {"huffman.jpg", read_file(corpus_file("bad_cimg_bad_huffman_table.jpeg")),
       "damaged: bad Huffman code in scan 1"},
      {"restart.jpg", read_file(corpus_file(damaged_file)), "damaged: restart marker out of order"},
      {"exif_cut.jpg", read_file(corpus_file("bad_goexif_exif_cut_64k.jpg")),
       "damaged: segment length past the end"},
      {"junk.jpg", read_file(corpus_file("bad_cimg_junk_between_segments.jpg")),
       "damaged: unknown marker 0x01"},
      {"short_scan.jpg", read_file(corpus_file("bad_lepton_singlerowtrunc.jpg")),
       "damaged: too little data for the picture's size"},
      {"swapped.jpg", read_file(corpus_file("bad_lepton_colorswap.jpg")),
       "damaged: bad header of scan 1"},
      {"cut.jpg", cut_header, "damaged: cut short"},
      {"zeros.jpg", read_file(corpus_file("bad_gofuzz_two_zero_bytes.jpg")), "not a JPEG file"},
  };
  TempDir dir;
  std::vector<std::string> args = {"-q", "-j", "2", "-o", "out"};
  std::vector<std::string> want;
  const std::set<std::string> salvageable = {"huffman.jpg", "restart.jpg", "junk.jpg",
                                             "short_scan.jpg"};
  for (const auto& c : cases) {
    ASSERT_FALSE(c.jpeg.empty()) << c.name;
    write_file(dir.path(c.name), c.jpeg);
    args.push_back(c.name);
    want.push_back(
        std::string(c.name) + ": " + decoding_error + " (" + c.reason + ")" +
        (salvageable.count(c.name) != 0 ? "; --salvage writes what can be recovered" : ""));
  }
  const ProgramRun run = run_tool(args, in_folder(dir.root()));
  EXPECT_EQ(run.status, 1);
  std::vector<std::string> lines;
  std::istringstream in(run.err);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());  // workers finish in any order
  std::sort(want.begin(), want.end());
  EXPECT_EQ(lines, want);
  EXPECT_TRUE(list_dir(dir.path("out")).empty());
}

}  // namespace

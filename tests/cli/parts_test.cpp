// The tool's parts that decide without converting: arguments, output names and clashes, path
// text, and the progress and summary lines.

#include <gtest/gtest.h>

#include "cli/options.h"
#include "cli/plan.h"
#include "cli/report.h"
#include "cli/utf8.h"

namespace {

TEST(Options, ParsesTheWaysUnixToolsAreCalled) {
  const struct {
    std::vector<std::string> args;
    Mode mode;
    std::vector<std::string> inputs;
    std::string output;
    int32_t jobs;
    bool recursive, quiet;
  } cases[] = {
      {{"a.jpg", "a.bmp"}, Mode::convert_one, {"a.jpg"}, "a.bmp", 0, false, false},
      {{"-q", "a.jpg", "a.bmp"}, Mode::convert_one, {"a.jpg"}, "a.bmp", 0, false, true},
      {{"-o", "out", "a.jpg", "b.jpg"},
       Mode::convert_batch,
       {"a.jpg", "b.jpg"},
       "out",
       0,
       false,
       false},
      {{"a.jpg", "-oout", "b.jpg"},
       Mode::convert_batch,
       {"a.jpg", "b.jpg"},
       "out",
       0,
       false,
       false},
      {{"--output=out", "in"}, Mode::convert_batch, {"in"}, "out", 0, false, false},
      {{"--output", "out", "in"}, Mode::convert_batch, {"in"}, "out", 0, false, false},
      {{"-rqj3", "-o", "out", "in"}, Mode::convert_batch, {"in"}, "out", 3, true, true},
      {{"-j", "256", "-o", "o", "in"}, Mode::convert_batch, {"in"}, "o", 256, false, false},
      {{"--jobs=2", "--recursive", "--quiet", "-o", "o", "in"},
       Mode::convert_batch,
       {"in"},
       "o",
       2,
       true,
       true},
      {{"-o", "o", "--", "-r", "--help"},
       Mode::convert_batch,
       {"-r", "--help"},
       "o",
       0,
       false,
       false},
      {{"-", "x.bmp"}, Mode::convert_one, {"-"}, "x.bmp", 0, false, false},
      {{"--version", "-x"}, Mode::version, {}, "", 0, false, false},
      {{"a", "b", "c", "-h"}, Mode::help, {}, "", 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ParsedArguments parsed = parse_arguments(c.args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.mode, c.mode);
    if (c.mode == Mode::help || c.mode == Mode::version) continue;
    EXPECT_EQ(parsed.options.inputs, c.inputs);
    EXPECT_EQ(parsed.options.output, c.output);
    EXPECT_EQ(parsed.options.jobs, c.jobs);
    EXPECT_EQ(parsed.options.recursive, c.recursive);
    EXPECT_EQ(parsed.options.quiet, c.quiet);
  }
}

TEST(Options, RefusesWhatItCannotUnderstand) {
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"-j", "257", "-o", "o", "in"}, "invalid worker count '257' for -j (want 1 to 256)"},
      {{"-j", "-1", "-o", "o", "in"}, "invalid worker count '-1' for -j (want 1 to 256)"},
      {{"-j", "99999999999", "-o", "o", "in"},
       "invalid worker count '99999999999' for -j (want 1 to 256)"},
      {{"-j", "", "-o", "o", "in"}, "invalid worker count '' for -j (want 1 to 256)"},
      {{"-o", "o", "in", "-j"}, "option '-j' needs a value"},
      {{"--output"}, "option '--output' needs a value"},
      {{"-rz", "a", "b"}, "unknown option '-z'"},
      {{"--recursive=1", "a", "b"}, "option '--recursive' takes no value"},
      {{"--out=o", "a"}, "unknown option '--out'"},
      {{"-o", "x", "--output=y", "a"}, "option -o given twice"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ParsedArguments parsed = parse_arguments(c.args);
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.error, c.error);
  }
}

TEST(Plan, OutputNamesReplaceTheLastExtension) {
  const struct {
    const char *name, *bmp;
    bool jpeg;
  } cases[] = {
      {"a.jpg", "a.bmp", true},
      {"a.JPEG", "a.bmp", true},
      {"a.JpG", "a.bmp", true},
      {"holiday.2019.jpeg", "holiday.2019.bmp", true},
      {"a.jpe", "a.bmp", true},
      {"a.JFIF", "a.bmp", true},
      {"a.jif", "a.bmp", false},
      {"a.png", "a.bmp", false},
      {"noextension", "noextension.bmp", false},
      {".jpg", ".jpg.bmp", true},
      {"a.jpg.txt", "a.jpg.bmp", false},
      {"café.JPG", "café.bmp", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bmp_name(c.name), c.bmp);
    EXPECT_EQ(has_jpeg_extension(c.name), c.jpeg);
  }
  EXPECT_EQ(join_path("out", "a.bmp"), "out/a.bmp");
  EXPECT_EQ(join_path("out/", "a.bmp"), "out/a.bmp");
  EXPECT_EQ(join_path("/", "a.bmp"), "/a.bmp");
}

Job job(const char* input, const char* output, uint64_t inode) {
  Job j;
  j.input = input;
  j.output = output;
  j.input_id = FileId{1, inode};
  return j;
}

TEST(Plan, ClashesAreMarkedAndTheFirstClaimWins) {
  std::vector<Job> jobs = {
      job("a/x.jpg", "out/x.bmp", 10),      job("b/x.jpg", "out/x.bmp", 11),
      job("a/../a/x.jpg", "out/x.bmp", 10),  // the same file again: dropped
      job("y.jpg", "out/y.bmp", 12),        job("c/x.JPG", "out/x.bmp", 13),
      job("z.jpg", "out/z.bmp", 14),  // whose output is the file y.jpg itself
  };
  const std::vector<FileId> output_ids = {{}, {}, {}, {}, {}, {1, 12}};
  resolve_conflicts(&jobs, output_ids);
  ASSERT_EQ(jobs.size(), 5u);
  const struct {
    const char *input, *problem;
  } want[] = {
      {"a/x.jpg", ""},
      {"b/x.jpg", "not converted: a/x.jpg also becomes out/x.bmp"},
      {"y.jpg", ""},
      {"c/x.JPG", "not converted: a/x.jpg also becomes out/x.bmp"},
      {"z.jpg", "not converted: its output out/z.bmp is an input file"},
  };
  for (size_t i = 0; i < jobs.size(); ++i) {
    SCOPED_TRACE(want[i].input);
    EXPECT_EQ(jobs[i].input, want[i].input);
    EXPECT_EQ(jobs[i].problem, want[i].problem);
  }
}

TEST(Utf8, ConvertsValidTextAndRefusesTheRest) {
  const struct {
    const char* what;
    std::string utf8;
    bool ok;
    std::u16string utf16;
  } cases[] = {
      {"ascii", "a/b.jpg", true, u"a/b.jpg"},
      {"two bytes", "caf\xc3\xa9", true, u"caf\u00e9"},
      {"three bytes", "\xe5\x86\x99", true, u"\u5199"},
      {"four bytes, a surrogate pair", "\xf0\x9f\x8c\x85", true, u"\U0001F305"},
      {"largest", "\xf4\x8f\xbf\xbf", true, u"\U0010FFFF"},
      {"empty", "", true, u""},
      {"latin-1", "caf\xe9", false, u""},
      {"lone continuation", "\x80", false, u""},
      {"overlong slash", "\xc0\xaf", false, u""},
      {"overlong three", "\xe0\x80\xaf", false, u""},
      {"overlong four", "\xf0\x80\x80\xaf", false, u""},
      {"encoded surrogate", "\xed\xa0\x80", false, u""},
      {"past U+10FFFF", "\xf4\x90\x80\x80", false, u""},
      {"F5 lead", "\xf5\x80\x80\x80", false, u""},
      {"cut short", "\xe5\x86", false, u""},
      {"continuation missing",
       "\xc3"
       "a",
       false, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::u16string out;
    EXPECT_EQ(utf8_to_utf16(c.utf8, &out), c.ok);
    if (c.ok) {
      EXPECT_EQ(out, c.utf16);
    }
  }
}

TEST(Report, ProgressAndSummaryLines) {
  EXPECT_EQ(progress_text(0, 120, 0), "0/120 (0%)");
  EXPECT_EQ(progress_text(0, 120, 5000), "0/120 (0%)");
  EXPECT_EQ(progress_text(37, 120, 3000), "37/120 (30%), 12.3 files/s, 0:07 left");
  EXPECT_EQ(progress_text(120, 120, 60000), "120/120 (100%), 2.0 files/s, 0:00 left");
  EXPECT_EQ(progress_text(1, 10000, 1000), "1/10000 (0%), 1.0 files/s, 2:46:39 left");
  EXPECT_EQ(progress_text(1, 3, 10), "1/3 (33%), 100.0 files/s, 0:00 left");
  EXPECT_EQ(summary_text(Tally{118, 0, 0, 2, 0}, 3420), "118 converted, 2 failed, 3.4 s");
  EXPECT_EQ(summary_text(Tally{41, 2, 5, 3, 0}, 1940),
            "41 converted, 2 salvaged, 5 skipped, 3 failed, 1.9 s");
  EXPECT_EQ(summary_text(Tally{5, 0, 0, 0, 7}, 49), "5 converted, 7 not started, 0.0 s");
  EXPECT_EQ(summary_text(Tally{0, 0, 4, 0, 0}, 10), "4 skipped, 0.0 s");
  EXPECT_EQ(summary_text(Tally{1000, 0, 0, 0, 0}, 754000), "1000 converted, 12:34");
  EXPECT_EQ(format_duration(59499), "0:59");
  EXPECT_EQ(format_duration(59500), "1:00");
  EXPECT_EQ(format_duration(3600000), "1:00:00");
}

}  // namespace

// The bmpsepia tool as a user meets it: a separate process, real files in a temporary folder,
// and what it prints, writes and returns.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "cli/run_tool.h"
#include "support/files.h"

namespace {

// Small real photographs of the corpus, of several kinds, and what each converts to.
const char* const good_files[] = {"suite_32x32_420.jpg", "cimg_f028c_591x400_444.jpg",
                                  "gofuzz_video001_150x103_422.jpg",
                                  "cimg_gel_508x349_grey_2x2_dri32.jpg", "suite_13x13_grey.jpg"};
const char* const damaged_file = "bad_lepton_nofsync.jpg";
const std::string reason_of_damaged =
    " (damaged: restart marker out of order); --salvage writes what can be recovered";
const std::string damaged_message = "Error decoding jpg. Please try again..." + reason_of_damaged;
const char* const bogus_table_file = "bad_cimg_bogus_dht.jpeg";
const char* const large_file = "jxl_flower_2268x1512_420_dri13.jpg";

std::string expected_digest(const std::string& corpus_name) {
  for (const CorpusExpectation& row : corpus_expectations()) {
    if (row.file == corpus_name) return row.sha256;
  }
  return "missing from the corpus table";
}

void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

void copy_corpus(const std::string& corpus_name, const std::string& to) {
  const Bytes bytes = read_file(corpus_dir() + "/" + corpus_name);
  ASSERT_FALSE(bytes.empty()) << "corpus missing at " << corpus_dir();
  write_file(to, bytes);
}

RunOptions on_terminal(const std::string& cwd) {
  RunOptions options = in_folder(cwd);
  options.terminal = true;
  return options;
}

// The user nobody may not reach the build folder, so it runs a copy of the tool and library
// in `folder`.
ProgramRun run_as_nobody(const std::vector<std::string>& args, const std::string& folder) {
  const std::string tool = folder + "/bmpsepia";
  const std::string library = BMPSEPIA_LIBRARY;
  write_file(tool, read_file(BMPSEPIA_TOOL));
  write_file(folder + library.substr(library.rfind('/')), read_file(library));
  chmod(tool.c_str(), 0755);
  RunOptions options = in_folder(folder);
  options.unprivileged = true;
  options.environment = {"LD_LIBRARY_PATH=" + folder};
  std::vector<std::string> argv{tool};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, options);
}

std::string digest_of(const std::string& path) { return sha256_hex(read_file(path)); }

// Whether process `pid` still runs: neither gone nor a zombie that nobody reaped yet.
bool is_running(pid_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat_file, line)) return false;
  const size_t close_paren = line.rfind(')');
  return close_paren != std::string::npos && close_paren + 2 < line.size() &&
         line[close_paren + 2] != 'Z';
}

// Waits until a worker of `tool` has a file open under `prefix`: it is converting.
pid_t busy_worker(pid_t tool, const std::string& prefix) {
  for (int tries = 0; tries < 20000; ++tries) {
    for (const pid_t worker : child_processes(tool)) {
      if (has_open_file_in(worker, prefix)) return worker;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return -1;
}

std::string real_path(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  std::string text = resolved != nullptr ? resolved : path;
  free(resolved);
  return text;
}

std::vector<std::string> sorted_names(const std::string& folder) {
  std::vector<std::string> names = list_dir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The summary line of a batch, without its time.
std::string summary_counts(const std::string& err) {
  const std::vector<std::string> lines = lines_of(err);
  if (lines.empty()) return "(no output)";
  const std::string& last = lines.back();
  const size_t comma = last.rfind(", ");
  return comma == std::string::npos ? last : last.substr(0, comma);
}

TEST(Tool, ConvertsOneFileQuietly) {
  TempDir dir;
  copy_corpus(good_files[1], dir.path("photo.jpg"));
  const ProgramRun run = run_tool({dir.path("photo.jpg"), dir.path("photo.bmp")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(digest_of(dir.path("photo.bmp")), expected_digest(good_files[1]));

  // An existing folder as the output takes the picture under the input's name.
  make_dir(dir.path("pictures"));
  const ProgramRun into = run_tool({dir.path("photo.jpg"), dir.path("pictures")});
  EXPECT_EQ(into.status, 0) << into.err;
  EXPECT_EQ(digest_of(dir.path("pictures/photo.bmp")), expected_digest(good_files[1]));
}

TEST(Tool, BatchWithTwoWorkersConvertsTheJpegFilesOfAFolder) {
  TempDir dir;
  make_dir(dir.path("in"));
  make_dir(dir.path("in/sub"));
  const char* const names[] = {"a.jpg", "b.JPG", "c.jpeg", "d.JPEG", "e.Jpg"};
  for (size_t i = 0; i < 5; ++i) copy_corpus(good_files[i], dir.path("in/") + names[i]);
  copy_corpus(good_files[0], dir.path("in/.hidden.jpg"));
  copy_corpus(good_files[0], dir.path("in/sub/deeper.jpg"));
  write_file(dir.path("in/notes.txt"), Bytes{'h', 'i'});

  const ProgramRun run = run_tool({"-j", "2", "-o", "out", "in"}, in_folder(dir.root()));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(sorted_names(dir.path("out")),
            (std::vector<std::string>{"a.bmp", "b.bmp", "c.bmp", "d.bmp", "e.bmp"}));
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(digest_of(dir.path("out/") + std::string(names[i]).substr(0, 1) + ".bmp"),
              expected_digest(good_files[i]));
  }
  // Not a terminal: no progress line, only the summary.
  ASSERT_EQ(lines_of(run.err).size(), 1u) << run.err;
  EXPECT_EQ(summary_counts(run.err), "bmpsepia: 5 converted");
  EXPECT_FALSE(contains(run.err, "\r"));
}

TEST(Tool, RecursiveBatchKeepsTheFolderLayout) {
  TempDir dir;
  make_dir(dir.path("in"));
  make_dir(dir.path("in/2019"));
  make_dir(dir.path("in/2019/summer"));
  copy_corpus(good_files[0], dir.path("in/top.jpg"));
  copy_corpus(good_files[2], dir.path("in/2019/summer/beach.jpg"));
  const ProgramRun run = run_tool({"-r", "-o", "out", "in"}, in_folder(dir.root()));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(digest_of(dir.path("out/top.bmp")), expected_digest(good_files[0]));
  EXPECT_EQ(digest_of(dir.path("out/2019/summer/beach.bmp")), expected_digest(good_files[2]));
}

TEST(Tool, ABatchWithNothingToConvertFails) {
  TempDir dir;
  make_dir(dir.path("in"));
  make_dir(dir.path("in/sub"));
  copy_corpus(good_files[0], dir.path("in/sub/deeper.jpg"));
  const ProgramRun run = run_tool({"-o", "out", "in"}, in_folder(dir.root()));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "bmpsepia: no JPEG files found (give -r to look in subfolders)\n");
  EXPECT_FALSE(file_exists(dir.path("out")));
}

TEST(Tool, BadFilesAmongGoodOnesAreNamedAndTheGoodOnesWritten) {
  TempDir dir;
  make_dir(dir.path("photos"));
  copy_corpus(good_files[0], dir.path("photos/first.jpg"));
  copy_corpus(damaged_file, dir.path("photos/damaged.jpg"));
  copy_corpus(bogus_table_file, dir.path("photos/bogus.jpg"));
  copy_corpus(good_files[1], dir.path("photos/last.jpg"));
  write_file(dir.path("photos/empty.jpg"), Bytes{});

  const ProgramRun run = run_tool({"-j", "2", "-o", "out", "photos"}, in_folder(dir.root()));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(sorted_names(dir.path("out")), (std::vector<std::string>{"first.bmp", "last.bmp"}));
  EXPECT_EQ(digest_of(dir.path("out/last.bmp")), expected_digest(good_files[1]));
  std::vector<std::string> lines = lines_of(run.err);
  ASSERT_EQ(lines.size(), 4u) << run.err;
  EXPECT_EQ(summary_counts(run.err), "bmpsepia: 2 converted, 3 failed");
  lines.pop_back();
  std::sort(lines.begin(), lines.end());  // workers finish in any order
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "photos/bogus.jpg: Error decoding jpg. Please try again... (damaged: bad "
                       "marker segment)",
                       "photos/damaged.jpg: Error decoding jpg. Please try again... (damaged: "
                       "restart marker out of order); --salvage writes what can be recovered",
                       "photos/empty.jpg: Error decoding jpg. Please try again... (not a JPEG "
                       "file)"}));
}

TEST(Tool, MissingInputIsNamedWithTheReason) {
  TempDir dir;
  const ProgramRun one = run_tool({"missing.jpg", "out.bmp"}, in_folder(dir.root()));
  EXPECT_EQ(one.status, 1);
  EXPECT_EQ(one.err,
            "missing.jpg: Error opening jpg. Please try again... (No such file or directory)\n");
  EXPECT_FALSE(file_exists(dir.path("out.bmp")));

  copy_corpus(good_files[0], dir.path("here.jpg"));
  const ProgramRun batch = run_tool({"-o", "out", "here.jpg", "gone.jpg"}, in_folder(dir.root()));
  EXPECT_EQ(batch.status, 1);
  EXPECT_TRUE(file_exists(dir.path("out/here.bmp")));
  EXPECT_TRUE(contains(batch.err, "gone.jpg: Error opening jpg. Please try again... (No such"))
      << batch.err;
  EXPECT_EQ(summary_counts(batch.err), "bmpsepia: 1 converted, 1 failed");
}

TEST(Tool, UnusableOutputFolderIsToldOnceAndNothingConverted) {
  const struct {
    const char* what;
    const char* folder;
    const char* message;
  } cases[] = {
      {"a folder the user cannot write in", "locked", "bmpsepia: cannot write into locked: "},
      {"a file in place of the folder", "plain.txt", "bmpsepia: cannot create the folder"},
      {"a folder beneath a file", "plain.txt/sub", "bmpsepia: cannot create the folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    chmod(dir.root().c_str(), 0755);  // the unprivileged user reads the inputs
    copy_corpus(good_files[0], dir.path("in.jpg"));
    chmod(dir.path("in.jpg").c_str(), 0644);
    write_file(dir.path("plain.txt"), Bytes{'x'});
    ASSERT_EQ(mkdir(dir.path("locked").c_str(), 0555), 0);
    const ProgramRun run = run_as_nobody({"-o", c.folder, "in.jpg"}, dir.root());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(lines_of(run.err).size(), 1u) << run.err;
    EXPECT_TRUE(run.err.starts_with(c.message)) << run.err;
    EXPECT_TRUE(sorted_names(dir.path("locked")).empty());
  }
}

TEST(Tool, OutputThatCannotBeWrittenIsNamed) {
  TempDir dir;
  copy_corpus(good_files[0], dir.path("a.jpg"));
  copy_corpus(good_files[1], dir.path("b.jpg"));
  const ProgramRun one = run_tool({"a.jpg", "no/such/folder/a.bmp"}, in_folder(dir.root()));
  EXPECT_EQ(one.status, 1);
  EXPECT_EQ(one.err,
            "no/such/folder/a.bmp: Error opening the output file. (No such file or directory)\n");

  // A folder stands where one output should go; the other file still converts.
  make_dir(dir.path("out"));
  make_dir(dir.path("out/a.bmp"));
  const ProgramRun batch = run_tool({"-o", "out", "a.jpg", "b.jpg"}, in_folder(dir.root()));
  EXPECT_EQ(batch.status, 1);
  EXPECT_TRUE(contains(batch.err, "out/a.bmp: Error opening the output file. (Is a directory)\n"))
      << batch.err;
  EXPECT_EQ(digest_of(dir.path("out/b.bmp")), expected_digest(good_files[1]));
}

TEST(Tool, NonAsciiFileNames) {
  TempDir dir;
  copy_corpus(good_files[1], dir.path("фото café 写真 🌅.jpg"));
  const ProgramRun one = run_tool({"фото café 写真 🌅.jpg", "sépia 🌅.bmp"}, in_folder(dir.root()));
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(digest_of(dir.path("sépia 🌅.bmp")), expected_digest(good_files[1]));

  make_dir(dir.path("Ölbilder"));
  copy_corpus(good_files[2], dir.path("Ölbilder/señal.JPG"));
  const ProgramRun batch = run_tool({"-o", "salida ü", "Ölbilder"}, in_folder(dir.root()));
  EXPECT_EQ(batch.status, 0) << batch.err;
  EXPECT_EQ(digest_of(dir.path("salida ü/señal.bmp")), expected_digest(good_files[2]));

  // A name that is not UTF-8 cannot be passed on as UTF-16; it is refused, not mangled.
  make_dir(dir.path("latin1"));
  copy_corpus(good_files[0], dir.path("latin1/caf\xe9.jpg"));
  copy_corpus(good_files[0], dir.path("latin1/plain.jpg"));
  const ProgramRun refused = run_tool({"-o", "out", "latin1"}, in_folder(dir.root()));
  EXPECT_EQ(refused.status, 1);
  // Shown escaped: a byte that is not UTF-8 could be half of a terminal command.
  EXPECT_TRUE(contains(refused.err, "latin1/caf\\xe9.jpg: not converted: the file name is not"))
      << refused.err;
  EXPECT_EQ(sorted_names(dir.path("out")), std::vector<std::string>{"plain.bmp"});
}

TEST(Tool, NameCollisionsAreReportedNotOverwritten) {
  TempDir dir;
  make_dir(dir.path("a"));
  make_dir(dir.path("b"));
  copy_corpus(good_files[0], dir.path("a/x.jpg"));
  copy_corpus(good_files[1], dir.path("b/x.jpg"));
  copy_corpus(good_files[2], dir.path("b/y.jpg"));
  copy_corpus(good_files[3], dir.path("b/y.JPEG"));

  const ProgramRun run = run_tool({"-o", "out", "a/x.jpg", "b"}, in_folder(dir.root()));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(digest_of(dir.path("out/x.bmp")), expected_digest(good_files[0]));
  EXPECT_EQ(digest_of(dir.path("out/y.bmp")),
            expected_digest(good_files[3]));  // "y.JPEG" < "y.jpg"
  EXPECT_TRUE(contains(run.err, "b/x.jpg: not converted: a/x.jpg also becomes out/x.bmp\n"))
      << run.err;
  EXPECT_TRUE(contains(run.err, "b/y.jpg: not converted: b/y.JPEG also becomes out/y.bmp\n"))
      << run.err;
  EXPECT_EQ(summary_counts(run.err), "bmpsepia: 2 converted, 2 failed");

  // The same file named twice is converted once, and that is no failure.
  const ProgramRun twice =
      run_tool({"-o", "out2", "a/x.jpg", "a/../a/x.jpg"}, in_folder(dir.root()));
  EXPECT_EQ(twice.status, 0) << twice.err;
  EXPECT_EQ(summary_counts(twice.err), "bmpsepia: 1 converted");
}

// Each entry under `root`: "/" for a folder, else its content's digest.
std::map<std::string, std::string> tree_of(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string path = entry.path().string();
    entries[path.substr(root.size() + 1)] = entry.is_directory() ? "/" : digest_of(path);
  }
  return entries;
}

// A summary line without its time ("bmpsepia: 2 converted, 0.1 s").
std::string without_time(const std::string& err) {
  const size_t comma = err.rfind(", ");
  const bool timed = err.starts_with("bmpsepia: ") && err.ends_with(" s\n");
  return timed && comma != std::string::npos ? err.substr(0, comma) + "\n" : err;
}

// Command lines over one scene, and what each must leave: the entries that appear or change
// (a folder, or the picture of good_files[i]), every other one as it was.
TEST(Tool, OutputFormsAndUpdates) {
  constexpr int folder = -1;
  const std::string hint = ", but the picture is a BMP; name it ";
  const std::string one = "bmpsepia: 1 converted\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // whole, or for a usage error its first line
    std::map<std::string, int> changed;
  } cases[] = {
      {{"in.jpg", "--output=OUT.BMP"}, 0, "", {{"OUT.BMP", 0}}},
      {{"-o", "o.bmp", "gone.jpg"},
       1,
       "gone.jpg: Error opening jpg. Please try again... (No such file or directory)\n",
       {}},
      {{"-o", "folder.bmp", "in.jpg"}, 0, one, {{"folder.bmp/in.bmp", 0}}},
      {{"-o", "o.bmp/", "in.jpg"}, 0, one, {{"o.bmp", folder}, {"o.bmp/in.bmp", 0}}},
      {{"-o", "sepia", "in.jpg"}, 0, one, {{"sepia", folder}, {"sepia/in.bmp", 0}}},
      {{"-o", "o.bmp", "in.jpg", "photos/c.jpe"},
       0,
       "bmpsepia: 2 converted\n",
       {{"o.bmp", folder}, {"o.bmp/in.bmp", 0}, {"o.bmp/c.bmp", 3}}},
      {{"-o", "out", "folder.png"}, 1, "bmpsepia: no JPEG files found\n", {}},  // no -r hint
      {{"in.jpg", "out.png"}, 2, "bmpsepia: 'out.png' ends in .png" + hint + "'out.bmp'\n", {}},
      {{"-o", "o.webp", "in.jpg"}, 2, "bmpsepia: 'o.webp' ends in .webp" + hint + "'o.bmp'\n", {}},
      {{"in.jpg", "a.JPEG"}, 2, "bmpsepia: 'a.JPEG' ends in .JPEG" + hint + "'a.bmp'\n", {}},
      {{"in.jpg", "folder.png"}, 0, "", {{"folder.png/in.bmp", 0}}},
      {{"-u", "-o", "done", "photos"},
       0,
       "bmpsepia: 2 converted, 1 skipped\n",
       {{"done/b.bmp", 2}, {"done/c.bmp", 3}}},
      {{"-u", "photos/a.jpg", "done/a.bmp"}, 0, "", {}},
      {{"--update", "photos/b.jfif", "-o", "done/b.bmp"}, 0, "", {{"done/b.bmp", 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    TempDir dir;
    for (const char* name : {"photos", "done", "folder.bmp", "folder.png"}) {
      make_dir(dir.path(name));
    }
    const std::pair<const char*, int> inputs[] = {
        {"in.jpg", 0}, {"photos/a.jpg", 1}, {"photos/b.jfif", 2}, {"photos/c.jpe", 3}};
    for (const auto& [name, i] : inputs) copy_corpus(good_files[i], dir.path(name));
    write_file(dir.path("done/a.bmp"), Bytes{'n', 'e', 'w'});
    write_file(dir.path("done/b.bmp"), Bytes{'o', 'l', 'd'});
    // The inputs an hour old, done/b.bmp a second older, done/a.bmp new.
    const time_t hour_ago = time(nullptr) - 3600;
    for (const char* name : {"photos/a.jpg", "photos/b.jfif", "photos/c.jpe", "done/b.bmp"}) {
      const time_t when = std::string(name) == "done/b.bmp" ? hour_ago - 1 : hour_ago;
      const timespec times[2] = {{when, 0}, {when, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, dir.path(name).c_str(), times, 0), 0) << name;
    }
    std::map<std::string, std::string> want = tree_of(dir.root());
    const ProgramRun run = run_tool(c.args, in_folder(dir.root()));
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(c.status == 2 ? lines_of(run.err).at(0) + "\n" : without_time(run.err), c.err);
    for (const auto& [name, from] : c.changed) {
      want[name] = from == folder ? "/" : expected_digest(good_files[from]);
    }
    EXPECT_EQ(tree_of(dir.root()), want);
  }
}

// Damaged files with and without --salvage: the line each gets, the summary, the exit status.
TEST(Tool, SalvageLinesAndExitStatus) {
  const std::string refused = "n.jpg: " + damaged_message;
  const std::string hint = "\n";
  const std::string salvaged = "n.jpg: damaged, recovered 66 % (restart marker out of order)\n";
  const std::string bogus =
      "b.jpeg: Error decoding jpg. Please try again... (damaged: bad marker "
      "segment)\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"n.jpg", "o.bmp"}, 1, refused + hint},
      {{"--salvage", "n.jpg", "o.bmp"}, 3, salvaged},
      {{"--salvage", "g.jpg", "o.bmp"}, 0, ""},
      {{"b.jpeg", "o.bmp"}, 1, bogus},
      {{"--salvage", "-o", "out", "g.jpg", "n.jpg"},
       3,
       salvaged + "bmpsepia: 1 converted, 1 salvaged\n"},
      {{"--salvage", "-o", "out", "n.jpg", "b.jpeg"},
       1,
       salvaged + bogus + "bmpsepia: 1 salvaged, 1 failed\n"},
      {{"--salvage=yes", "n.jpg", "o.bmp"}, 2, "bmpsepia: option '--salvage' takes no value\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    TempDir dir;
    copy_corpus(damaged_file, dir.path("n.jpg"));
    copy_corpus(bogus_table_file, dir.path("b.jpeg"));
    copy_corpus(good_files[0], dir.path("g.jpg"));
    const ProgramRun run = run_tool(c.args, in_folder(dir.root()));
    EXPECT_EQ(run.status, c.status);
    std::vector<std::string> lines = lines_of(run.err), want = lines_of(c.err);
    if (c.status == 2) lines.resize(1);
    for (std::string& line : lines) {
      line = without_time(line + "\n");
      line.pop_back();
    }
    std::sort(lines.begin(), lines.end());  // workers finish in any order
    std::sort(want.begin(), want.end());
    EXPECT_EQ(lines, want) << run.err;
  }
}

TEST(Tool, NeverReplacesAnInput) {
  TempDir dir;
  copy_corpus(good_files[0], dir.path("x.jpg"));
  const std::string before = digest_of(dir.path("x.jpg"));
  const ProgramRun same = run_tool({"x.jpg", "./x.jpg"}, in_folder(dir.root()));
  EXPECT_EQ(same.status, 1);
  EXPECT_TRUE(contains(same.err, "x.jpg: not converted: its output ./x.jpg is an input file"))
      << same.err;
  EXPECT_EQ(digest_of(dir.path("x.jpg")), before);

  // A named input ending in .bmp would be its own output in its own folder.
  copy_corpus(good_files[0], dir.path("odd.bmp"));
  const ProgramRun batch = run_tool({"-o", ".", "odd.bmp"}, in_folder(dir.root()));
  EXPECT_EQ(batch.status, 1);
  EXPECT_EQ(digest_of(dir.path("odd.bmp")), before);
}

TEST(Tool, UsageErrorsExitWithTwoAndAHint) {
  TempDir dir;
  make_dir(dir.path("folder"));
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "missing input and output files"},
      {{"a.jpg"}, "missing output file after 'a.jpg'"},
      {{"a.jpg", "b.jpg", "c.bmp"}, "too many files; to convert several, give -o FOLDER"},
      {{"-x", "a.jpg", "b.bmp"}, "unknown option '-x'"},
      {{"--colour", "a.jpg", "b.bmp"}, "unknown option '--colour'"},
      {{"-o", "out"}, "no input files given"},
      {{"a.jpg", "-o"}, "option '-o' needs a value"},
      {{"-o", "", "a.jpg"}, "option -o needs a folder name"},
      {{"-o", "x", "-o", "y", "a.jpg"}, "option -o given twice"},
      {{"-j", "0", "-o", "out", "a.jpg"}, "invalid worker count '0' for -j (want 1 to 256)"},
      {{"--jobs=many", "-o", "out", "a.jpg"}, "invalid worker count 'many'"},
      {{"--quiet=yes", "a.jpg", "b.bmp"}, "option '--quiet' takes no value"},
      {{"folder", "out.bmp"}, "'folder' is a folder; to convert the files in it, give -o FOLDER"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const ProgramRun run = run_tool(c.args, in_folder(dir.root()));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    const std::vector<std::string> lines = lines_of(run.err);
    ASSERT_EQ(lines.size(), 2u) << run.err;
    EXPECT_TRUE(lines[0].starts_with(std::string("bmpsepia: ") + c.message)) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("usage: bmpsepia IN.jpg OUT.bmp")) << lines[1];
    EXPECT_TRUE(contains(lines[1], "bmpsepia --help")) << lines[1];
    EXPECT_EQ(sorted_names(dir.root()), std::vector<std::string>{"folder"});
  }
}

TEST(Tool, HelpAndVersion) {
  const ProgramRun help = run_tool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const char* part : {"SYNOPSIS", "OPTIONS", "EXIT STATUS", "EXAMPLES", "-j, --jobs=N",
                           "Error decoding jpg", "12-bit"}) {
    EXPECT_TRUE(contains(help.out, part)) << part;
  }
  // Help wins over anything else on the line, errors included.
  EXPECT_EQ(run_tool({"-x", "-h"}).out, help.out);

  const ProgramRun version = run_tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("bmpsepia ") + BMPSEPIA_VERSION + "\n");
}

TEST(Tool, QuietBatchTellsOnlyFailures) {
  TempDir dir;
  copy_corpus(good_files[0], dir.path("good.jpg"));
  copy_corpus(damaged_file, dir.path("bad.jpg"));
  const ProgramRun run =
      run_tool({"-q", "-o", "out", "good.jpg", "bad.jpg"}, in_folder(dir.root()));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "bad.jpg: " + damaged_message + "\n");
  EXPECT_TRUE(file_exists(dir.path("out/good.bmp")));
}

TEST(Tool, ProgressLineOnlyOnATerminal) {
  TempDir dir;
  make_dir(dir.path("in"));
  for (int i = 0; i < 4; ++i)
    copy_corpus(good_files[i], dir.path("in/" + std::to_string(i) + ".jpg"));
  copy_corpus(damaged_file, dir.path("in/bad.jpg"));

  const ProgramRun shown = run_tool({"-j", "2", "-o", "out", "in"}, on_terminal(dir.root()));
  EXPECT_EQ(shown.status, 1) << shown.out;
  // Drawn at once, wiped before the failure line and at the end, then the summary.
  EXPECT_TRUE(shown.out.starts_with("\rbmpsepia: 0/5 (0%)\033[K")) << shown.out;
  EXPECT_TRUE(contains(shown.out, "\r\033[Kin/bad.jpg: " + damaged_message + "\r\n")) << shown.out;
  const size_t summary = shown.out.rfind("\r\033[Kbmpsepia: 4 converted, 1 failed, ");
  ASSERT_NE(summary, std::string::npos) << shown.out;
  EXPECT_EQ(shown.out.find('\r', summary + 1), shown.out.size() - 2);  // only the final "\r\n"

  const ProgramRun quiet = run_tool({"-q", "-o", "out2", "in"}, on_terminal(dir.root()));
  EXPECT_EQ(quiet.out, "in/bad.jpg: " + damaged_message + "\r\n");
}

TEST(Tool, AWorkerThatDiesCostsOnlyItsFile) {
  TempDir dir;
  make_dir(dir.path("in"));
  const int count = 8;
  for (int i = 0; i < count; ++i)
    copy_corpus(large_file, dir.path("in/" + std::to_string(i) + ".jpg"));
  // A worker with a file open in the output folder is in the middle of a conversion.
  char* root = realpath(dir.root().c_str(), nullptr);
  const std::string out_prefix = std::string(root) + "/out/";
  free(root);
  const auto kill_a_busy_worker = [&out_prefix](pid_t tool) {
    for (int tries = 0; tries < 20000; ++tries) {
      for (const pid_t worker : child_processes(tool)) {
        if (has_open_file_in(worker, out_prefix)) {
          kill(worker, SIGKILL);
          return;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  const ProgramRun run =
      run_tool({"-j", "2", "-o", "out", "in"}, in_folder(dir.root(), kill_a_busy_worker));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.err, ": not converted: the worker process was ended by signal 9"))
      << run.err;
  EXPECT_EQ(summary_counts(run.err), "bmpsepia: 7 converted, 1 failed");
  EXPECT_EQ(list_dir(dir.path("out")).size(), 7u);  // and no half-written file
}

TEST(Tool, InterruptFinishesConversionsUnderWayAndLeavesNoPartFile) {
  TempDir dir;
  make_dir(dir.path("in"));
  const int count = 12;
  for (int i = 0; i < count; ++i)
    copy_corpus(large_file, dir.path("in/" + std::to_string(i) + ".jpg"));
  const std::string out = dir.path("out");
  // Like Ctrl-C at a shell: to the whole process group, once the first output is begun.
  const auto interrupt = [&out](pid_t tool) {
    for (int tries = 0; tries < 20000 && list_dir(out).empty(); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(-tool, SIGINT);
  };
  const ProgramRun run = run_tool({"-j", "2", "-o", "out", "in"}, in_folder(dir.root(), interrupt));
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_TRUE(contains(run.err, "bmpsepia: interrupted: ")) << run.err;
  for (const std::string& name : list_dir(out)) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(name.ends_with(".bmp"));
    EXPECT_EQ(digest_of(out + "/" + name), expected_digest(large_file));
  }
}

TEST(Tool, NamesWithControlCharactersStayOnOneLine) {
  TempDir dir;
  copy_corpus(good_files[0], dir.path("good.jpg"));
  copy_corpus(damaged_file, dir.path("bad\nname.jpg"));
  const struct {
    std::vector<std::string> args;
    std::string first_line;
    size_t lines;
  } cases[] = {
      {{"-q", "-o", "out", "bad\nname.jpg"},
       "bad\\nname.jpg: Error decoding jpg. Please try again..." + reason_of_damaged,
       1},
      {{"good.jpg", "gone\x1b[2J/x.bmp"},
       "gone\\x1b[2J/x.bmp: Error opening the output file. (No such file or directory)",
       1},
      {{"\t\r\x7f\xc2\x9b\\\xe9.jpg", "x.bmp"},
       "\\t\\r\\x7f\\xc2\\x9b\\\\\\xe9.jpg: not converted: the file name is not valid UTF-8",
       1},
      {{"good.jpg", "\xe9.bmp"}, "\\xe9.bmp: not converted: the file name is not valid UTF-8", 1},
      {{"\xe9.jpg", "\xe9.bmp"}, "\\xe9.jpg: not converted: the file name is not valid UTF-8", 1},
      {{"-\n", "a.jpg", "b.bmp"}, "bmpsepia: unknown option '-\\n'", 2},  // and the usage line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first_line);
    const std::vector<std::string> lines = lines_of(run_tool(c.args, in_folder(dir.root())).err);
    ASSERT_EQ(lines.size(), c.lines);
    EXPECT_EQ(lines[0], c.first_line);
  }
}

TEST(Tool, OutputsThatAreNotPlainFilesAreRefusedAtOnceWithTheReason) {
  TempDir dir;
  copy_corpus(good_files[0], dir.path("good.jpg"));
  ASSERT_EQ(mkfifo(dir.path("fifo.bmp").c_str(), 0644), 0);
  ASSERT_EQ(symlink("nowhere.bmp", dir.path("dangling.bmp").c_str()), 0);
  ASSERT_EQ(symlink("loop.bmp", dir.path("loop.bmp").c_str()), 0);
  std::vector<std::pair<std::string, std::string>> cases = {
      {"fifo.bmp", "not a regular file"},
      {"dangling.bmp", "a symbolic link to nothing"},
      {"loop.bmp", "Too many levels of symbolic links"}};
  if (geteuid() == 0) {
    ASSERT_EQ(mknod(dir.path("null.bmp").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(mkdir(dir.path("shared").c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.path("shared").c_str(), 01777), 0);
    write_file(dir.path("mine.bmp"), Bytes{'o', 'l', 'd'});
    ASSERT_EQ(symlink("../mine.bmp", dir.path("shared/out.bmp").c_str()), 0);
    ASSERT_EQ(lchown(dir.path("shared/out.bmp").c_str(), 65534, 65534), 0);
    cases.push_back({"null.bmp", "not a regular file"});
    cases.push_back(
        {"shared/out.bmp", "a symbolic link that another user made in a shared folder"});
  }
  for (const auto& [name, reason] : cases) {
    SCOPED_TRACE(name);
    const auto start = std::chrono::steady_clock::now();
    const ProgramRun run = run_tool({"good.jpg", name}, in_folder(dir.root()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, name + ": Error opening the output file. (" + reason + ")\n");
  }
  EXPECT_FALSE(file_exists(dir.path("nowhere.bmp")));
  if (geteuid() == 0) {
    EXPECT_EQ(read_file(dir.path("mine.bmp")), (Bytes{'o', 'l', 'd'}));
  }
}

// As root in a shared sticky folder: a path through a link that another user made there, and
// a file that another user left there open to all, are refused with the reason; nothing is
// made or replaced, here or where the link points.
TEST(Tool, PathsPlantedInASharedFolderAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, and the user nobody to plant the paths";
  const std::string opening = ": Error opening the output file. (";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"in.jpg", "shared/link/pwn.bmp"},
       "shared/link/pwn.bmp" + opening +
           "a symbolic link that another user made in a shared folder)\n"},
      {{"-o", "shared/link/new", "in.jpg"},
       "bmpsepia: cannot create the folder shared/link/new: a symbolic link that another user made "
       "in a shared folder\n"},
      {{"in.jpg", "shared/theirs.bmp"},
       "shared/theirs.bmp" + opening + "a file that another user owns in a shared folder)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    TempDir dir;
    copy_corpus(good_files[0], dir.path("in.jpg"));
    make_dir(dir.path("mine"));
    make_dir(dir.path("shared"));
    ASSERT_EQ(chmod(dir.path("shared").c_str(), 01777), 0);
    ASSERT_EQ(symlink("../mine", dir.path("shared/link").c_str()), 0);
    write_file(dir.path("shared/theirs.bmp"), Bytes{'o', 'l', 'd'});
    ASSERT_EQ(chmod(dir.path("shared/theirs.bmp").c_str(), 0666), 0);
    for (const char* name : {"shared/link", "shared/theirs.bmp"}) {
      ASSERT_EQ(lchown(dir.path(name).c_str(), 65534, 65534), 0);
    }
    const std::map<std::string, std::string> before = tree_of(dir.root());
    const ProgramRun run = run_tool(c.args, in_folder(dir.root()));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(tree_of(dir.root()), before);  // nothing in mine/ either
  }
}

// A worker stopped part way cannot finish. After a first SIGINT or SIGTERM the tool waits for
// it; a second kills the workers and ends the tool; and when the tool alone is killed, as by
// `timeout --foreground -s KILL`, its workers die with it. This process adopts the orphans:
// were they init's, the kernel would end the stopped worker with the SIGHUP it sends to an
// orphaned process group, whatever the tool did.
TEST(Tool, ASecondSignalOrTheToolsDeathEndsTheWorkersAtOnce) {
  const struct {
    int first, second, status;
  } cases[] = {{SIGINT, SIGINT, 130}, {SIGTERM, SIGTERM, 143}, {0, SIGKILL, 128 + SIGKILL}};
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(strsignal(c.second));
    TempDir dir;
    make_dir(dir.path("in"));
    for (int i = 0; i < 6; ++i)
      copy_corpus(large_file, dir.path("in/" + std::to_string(i) + ".jpg"));
    const std::string out_prefix = real_path(dir.root()) + "/out/";
    std::vector<pid_t> workers;
    bool waited_after_first = c.first == 0;
    bool ended = false;
    const auto act = [&](pid_t tool) {
      const pid_t busy = busy_worker(tool, out_prefix);
      if (busy < 0) return;
      kill(busy, SIGSTOP);
      workers = child_processes(tool);
      if (c.first != 0) {
        kill(-tool, c.first);  // to the process group, as a shell's Ctrl-C
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        waited_after_first = is_running(tool);
      }
      kill(c.first != 0 ? -tool : tool, c.second);
      for (int tries = 0; tries < 500 && !ended; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ended = std::none_of(workers.begin(), workers.end(), is_running);
      }
      for (const pid_t worker : workers) kill(worker, SIGKILL);
    };
    const ProgramRun run = run_tool({"-j", "2", "-o", "out", "in"}, in_folder(dir.root(), act));
    for (const pid_t worker : workers) waitpid(worker, nullptr, WNOHANG);
    ASSERT_FALSE(workers.empty()) << "no worker was seen converting";
    EXPECT_TRUE(waited_after_first);
    EXPECT_TRUE(ended) << "a worker ran on";
    EXPECT_EQ(run.status, c.status) << run.err;
    if (c.first != 0) {
      EXPECT_TRUE(contains(run.err, ": not converted: stopped part way by a second signal\n"))
          << run.err;
    }
    for (const std::string& name : list_dir(dir.path("out"))) {
      EXPECT_EQ(digest_of(dir.path("out/" + name)), expected_digest(large_file)) << name;
    }
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST(Tool, SyncFlushesEachOutputBeforeAndItsFolderAfterTheRename) {
  TempDir dir;
  copy_corpus(good_files[1], dir.path("in.jpg"));
  const std::string log = dir.path("calls.txt");
  const ProgramRun traced = run_program(
      {"/usr/bin/strace", "-f", "-qq", "-e", "trace=fsync,syncfs,rename,renameat,renameat2", "-o",
       log, BMPSEPIA_TOOL, "--sync", "-o", "out", "in.jpg"},
      in_folder(dir.root()));
  if (traced.status != 0 || !file_exists(log)) {
    printf("strace cannot run here (%d): only the conversion is checked\n", traced.status);
    EXPECT_EQ(run_tool({"--sync", "-q", "-o", "out", "in.jpg"}, in_folder(dir.root())).status, 0);
  }
  EXPECT_EQ(digest_of(dir.path("out/in.bmp")), expected_digest(good_files[1]));
  std::vector<std::string> calls;  // "fsync", "renameat", ... in order, from every process
  const Bytes text = read_file(log);
  std::istringstream lines(std::string(text.begin(), text.end()));
  for (std::string line, pid, call; std::getline(lines, line);) {
    std::istringstream fields(line);
    if (fields >> pid >> call) calls.push_back(call.substr(0, call.find('(')));
  }
  const auto rename = std::find_if(calls.begin(), calls.end(), [](const std::string& call) {
    return call.starts_with("rename");
  });
  if (calls.empty()) return;
  ASSERT_NE(rename, calls.end());
  EXPECT_NE(std::find(calls.begin(), rename, "fsync"), rename) << "no flush before the rename";
  EXPECT_NE(std::find(rename, calls.end(), "fsync"), calls.end()) << "no flush after the rename";
}

}  // namespace

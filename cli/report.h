#pragma once
// Everything the tool tells the user on standard error: failure lines, the progress line of a
// batch on a terminal, and the closing summary.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// `text` with a backslash as \\, newline, tab and carriage return as \n, \t and \r, and every
// other control character (C0, DEL, C1) and every byte that is not part of valid UTF-8 as
// \xHH: a name can neither split a message in two nor send the terminal a command.
std::string escape_controls(std::string_view text);

std::string format_duration(int64_t milliseconds);  // "0:07", "12:30", "1:02:03"
// "37/120 (30%), 12.3 files/s, 0:07 left"; rate and time left wait for the first file.
std::string progress_text(size_t done, size_t total, int64_t elapsed_ms);
// How the files of a batch ended, each counted once.
struct Tally {
  size_t converted = 0;
  size_t salvaged = 0;  // damaged, written as far as recovered, under --salvage
  size_t skipped = 0;   // up to date, under --update
  size_t failed = 0;
  size_t not_started = 0;  // after an interruption
};

// "41 converted, 2 salvaged, 5 skipped, 3 failed, 1.9 s": what is zero is left out.
std::string summary_text(const Tally& tally, int64_t elapsed_ms);

enum class FileResult : uint8_t { converted, salvaged, failed };

class Reporter {
 public:
  Reporter(size_t total, bool progress, bool summary);

  // One whole line, escaped, the progress line kept below it.
  void line(const std::string& text);
  void count(FileResult result);  // shown by the next line or tick
  void skip();                    // a file left alone: in the summary, not in the progress line
  void tick();                    // redraws the progress line when it is due
  void finish(bool interrupted);

  size_t salvaged() const { return salvaged_; }
  size_t failed() const { return failed_; }

 private:
  int64_t elapsed_ms() const;
  size_t done() const { return converted_ + salvaged_ + failed_; }
  void draw();
  void clear();

  size_t total_;  // the files to convert or to fail, the skipped ones not among them
  size_t converted_ = 0;
  size_t salvaged_ = 0;
  size_t failed_ = 0;
  size_t skipped_ = 0;
  bool progress_;
  bool summary_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  int64_t last_draw_ms_ = -1;
};

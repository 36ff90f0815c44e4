// Messages, the progress line and the summary.

#include "cli/report.h"

#include <utility>

#include "cli/system.h"
#include "cli/utf8.h"

namespace {

constexpr int64_t redraw_interval_ms = 100;

// Tenths as "12.3" from a value given in tenths.
std::string tenths_text(int64_t tenths) {
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

// Blanks the line from column `used` on: with the terminal's sequence, or where it has none by
// writing spaces over it.
std::string blank_rest(size_t used) {
  if (const char* erase = erase_to_line_end()) return erase;
  const size_t columns = terminal_columns();
  return used + 1 < columns ? std::string(columns - 1 - used, ' ') : "";
}

// Back to the start of a blank line.
std::string wipe_line() {
  std::string text = "\r";
  text += blank_rest(0);
  if (erase_to_line_end() == nullptr) text += '\r';
  return text;
}

}  // namespace

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t length = 0;
    const uint32_t code = decode_utf8(text.substr(i), &length);
    const bool control = length == 0 || code < 0x20 || (code >= 0x7F && code <= 0x9F);
    if (!control && code != '\\') {
      out.append(text.substr(i, length));
    } else if (code == '\\' || code == '\n' || code == '\t' || code == '\r') {
      out += code == '\\' ? "\\\\" : code == '\n' ? "\\n" : code == '\t' ? "\\t" : "\\r";
    } else {
      for (size_t k = 0; k < (length == 0 ? 1 : length); ++k) {
        const auto byte = static_cast<uint8_t>(text[i + k]);
        out += "\\x";
        out += "0123456789abcdef"[byte >> 4];
        out += "0123456789abcdef"[byte & 15];
      }
    }
    i += length == 0 ? 1 : length;
  }
  return out;
}

std::string format_duration(int64_t milliseconds) {
  const int64_t seconds = (milliseconds + 500) / 1000;
  const int64_t hours = seconds / 3600;
  const int64_t minutes = seconds / 60 % 60;
  auto two = [](int64_t v) {
    std::string text = std::to_string(v);
    if (v < 10) text.insert(text.begin(), '0');
    return text;
  };
  return hours > 0 ? std::to_string(hours) + ":" + two(minutes) + ":" + two(seconds % 60)
                   : std::to_string(minutes) + ":" + two(seconds % 60);
}

std::string progress_text(size_t done, size_t total, int64_t elapsed_ms) {
  const auto done64 = static_cast<int64_t>(done);
  const auto total64 = static_cast<int64_t>(total);
  const int64_t percent = total64 == 0 ? 100 : done64 * 100 / total64;
  std::string text =
      std::to_string(done) + "/" + std::to_string(total) + " (" + std::to_string(percent) + "%)";
  if (done64 == 0 || elapsed_ms <= 0) return text;
  text += ", " + tenths_text(done64 * 10000 / elapsed_ms) + " files/s, ";
  text += format_duration((total64 - done64) * elapsed_ms / done64) + " left";
  return text;
}

std::string summary_text(const Tally& tally, int64_t elapsed_ms) {
  const std::pair<size_t, const char*> parts[] = {{tally.converted, " converted"},
                                                  {tally.salvaged, " salvaged"},
                                                  {tally.skipped, " skipped"},
                                                  {tally.failed, " failed"},
                                                  {tally.not_started, " not started"}};
  std::string text;
  for (const auto& [count, what] : parts) {
    if (count > 0) text += std::to_string(count) + what + ", ";
  }
  if (text.empty()) text = "0 converted, ";
  const int64_t tenths = (elapsed_ms + 50) / 100;
  return text + (tenths < 600 ? tenths_text(tenths) + " s" : format_duration(elapsed_ms));
}

Reporter::Reporter(size_t total, bool progress, bool summary)
    : total_(total),
      progress_(progress),
      summary_(summary),
      start_(std::chrono::steady_clock::now()) {
  if (progress_) draw();
}

int64_t Reporter::elapsed_ms() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

void Reporter::draw() {
  std::string text = "bmpsepia: " + progress_text(done(), total_, elapsed_ms());
  // A line wider than the terminal would wrap, and "\r" returns only to the last row of it.
  const size_t columns = terminal_columns();
  if (text.size() >= columns) text.resize(columns - 1);
  text.insert(0, 1, '\r');
  text += blank_rest(text.size() - 1);
  write_stderr(text);
  drawn_ = true;
  last_draw_ms_ = elapsed_ms();
}

void Reporter::clear() {
  if (!drawn_) return;
  write_stderr(wipe_line());
  drawn_ = false;
}

void Reporter::line(const std::string& text) {
  write_stderr((drawn_ ? wipe_line() : "") + escape_controls(text) + "\n");
  drawn_ = false;
  if (progress_) draw();
}

void Reporter::count(FileResult result) {
  ++(result == FileResult::converted  ? converted_
     : result == FileResult::salvaged ? salvaged_
                                      : failed_);
}

void Reporter::skip() { ++skipped_; }

void Reporter::tick() {
  if (progress_ && elapsed_ms() - last_draw_ms_ >= redraw_interval_ms) draw();
}

void Reporter::finish(bool interrupted) {
  if (progress_) clear();
  if (summary_ || interrupted) {
    const Tally tally{converted_, salvaged_, skipped_, failed_, total_ - done()};
    write_stderr("bmpsepia: " + (interrupted ? std::string("interrupted: ") : std::string()) +
                 summary_text(tally, elapsed_ms()) + "\n");
  }
}

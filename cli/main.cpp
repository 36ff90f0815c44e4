// bmpsepia: converts JPEG photographs into sepia-toned 24-bit BMP pictures, one file or a
// batch, through the library's exported BMPSepia.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "cli/plan.h"
#include "cli/report.h"
#include "cli/workers.h"
#include "platform/platform.h"

namespace {

constexpr std::string_view input_open_message = "Error opening jpg. Please try again...";

// The library's messages about the output file name the output; all others name the input.
bool is_about_output(std::string_view line) {
  return line.starts_with("Error opening the output file") ||
         line.starts_with("Error writing the output file");
}

std::vector<std::string> outcome_lines(const Job& job, const Outcome& outcome) {
  std::vector<std::string> lines;
  size_t start = 0;
  const std::string& text = outcome.messages;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    std::string out = (is_about_output(line) ? job.output : job.input) + ": " + std::string(line);
    if (line == input_open_message) {
      const std::string reason = explain_input_failure(job.input);
      if (!reason.empty()) out += " (" + reason + ")";
    } else if (is_about_output(line) && line.starts_with("Error opening")) {
      const std::string reason = explain_output_failure(job.output);
      if (!reason.empty()) out += " (" + reason + ")";
    }
    lines.push_back(std::move(out));
  }
  if (outcome.halted) {
    lines.push_back(job.input + ": not converted: stopped part way by a second signal");
  } else if (outcome.end_signal != 0) {
    lines.push_back(job.input + ": not converted: the worker process was ended by signal " +
                    std::to_string(outcome.end_signal) + " (" + strsignal(outcome.end_signal) +
                    ")");
  } else if (outcome.end_status > 0) {
    lines.push_back(job.input + ": not converted: the worker process exited with status " +
                    std::to_string(outcome.end_status));
  } else if (!outcome.converted && lines.empty()) {
    lines.push_back(job.input + ": not converted");
  }
  return lines;
}

int usage_error(const std::string& message) {
  write_stderr("bmpsepia: " + escape_controls(message) +
               "\nusage: bmpsepia IN.jpg OUT.bmp | bmpsepia [-qr] [-j N] -o FOLDER IN...  "
               "(more: bmpsepia --help)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const ParsedArguments parsed = parse_arguments(args);
  if (!parsed.ok) return usage_error(parsed.error);
  const Options& options = parsed.options;
  if (options.mode == Mode::help) {
    fputs(usage_text(), stdout);
    return fflush(stdout) == 0 ? 0 : 1;
  }
  if (options.mode == Mode::version) {
    printf("bmpsepia %s\n", BMPSEPIA_VERSION);
    return fflush(stdout) == 0 ? 0 : 1;
  }

  Plan plan = plan_conversion(options);
  if (!plan.usage_error.empty()) return usage_error(plan.usage_error);
  if (plan.fatal.empty()) prepare_outputs(options, &plan);
  if (!plan.fatal.empty()) {
    write_stderr("bmpsepia: " + escape_controls(plan.fatal) + "\n");
    return 1;
  }

  const bool batch = options.mode == Mode::convert_batch;
  const bool progress = batch && !options.quiet && isatty(STDERR_FILENO) == 1;
  Reporter reporter(plan.jobs.size(), progress, batch && !options.quiet);
  std::vector<size_t> todo;
  for (size_t i = 0; i < plan.jobs.size(); ++i) {
    const Job& job = plan.jobs[i];
    if (job.problem.empty()) {
      todo.push_back(i);
      continue;
    }
    reporter.count(false);
    reporter.line(job.input + ": " + job.problem);
  }

  WorkerEvents events;
  events.done = [&](size_t index, const Outcome& outcome) {
    reporter.count(outcome.converted);
    for (const std::string& line : outcome_lines(plan.jobs[index], outcome)) reporter.line(line);
    reporter.tick();
  };
  events.tick = [&] { reporter.tick(); };
  // Inherited by the workers, which alone call the library.
  platform_sync_outputs(options.sync);
  const int32_t workers = options.jobs > 0 ? options.jobs : default_worker_count();
  const int stopped_by = run_workers(plan.jobs, todo, workers, events);
  reporter.finish(stopped_by != 0);
  if (stopped_by != 0) return 128 + stopped_by;
  return reporter.failed() == 0 ? 0 : 1;
}

// bmpsepia: converts JPEG photographs into sepia-toned 24-bit BMP pictures, one file, a stream
// or a batch, through the library's conversion routine.

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "bmpsepia.h"
#include "cli/options.h"
#include "cli/plan.h"
#include "cli/report.h"
#include "cli/system.h"
#include "cli/workers.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// Why the conversion failed, as far as the tool can tell, or empty: for the input or the output
// the tool looks at the path, for the decode the library says.
std::string reason_for(const Job& job, const bmpsepia_outcome& conversion) {
  switch (conversion.status) {
    case BMPSEPIA_STATUS_INPUT_UNREADABLE:
      return job.from_standard_input ? explain_standard_input_failure()
                                     : explain_input_failure(job.input);
    case BMPSEPIA_STATUS_OUTPUT_UNWRITABLE:
      return job.to_standard_output ? "closed" : explain_output_failure(job.output);
    default:
      return conversion.reason;
  }
}

// The library's line for a failure, naming the file it is about, then the reason in
// parentheses; then whatever else the conversion wrote on standard error, line by line.
std::vector<std::string> outcome_lines(const Job& job, const Outcome& outcome) {
  std::vector<std::string> lines;
  const bmpsepia_outcome& conversion = outcome.conversion;
  if (outcome.reported && conversion.status == BMPSEPIA_STATUS_SALVAGED) {
    lines.push_back(job.input + ": damaged, recovered " +
                    std::to_string(conversion.recovered_percent) + " % (" + conversion.reason +
                    ")");
  } else if (outcome.reported && conversion.status != BMPSEPIA_STATUS_CONVERTED) {
    const bool about_output = conversion.status == BMPSEPIA_STATUS_OUTPUT_UNWRITABLE ||
                              conversion.status == BMPSEPIA_STATUS_WRITE_FAILED;
    std::string line =
        (about_output ? job.output : job.input) + ": " + bmpsepia_status_message(conversion.status);
    const std::string reason = reason_for(job, conversion);
    if (!reason.empty()) line += " (" + reason + ")";
    if (conversion.salvage_recovers != 0) line += "; --salvage writes what can be recovered";
    lines.push_back(std::move(line));
  }
  size_t start = 0;
  const std::string& text = outcome.messages;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(job.input + ": " + text.substr(start, end - start));
    start = end + 1;
  }
  if (outcome.halted) {
    lines.push_back(job.input + ": not converted: stopped part way by a second signal");
  } else if (outcome.end_signal != 0) {
    lines.push_back(job.input + ": not converted: the worker process was ended by signal " +
                    std::to_string(outcome.end_signal) + " (" + signal_text(outcome.end_signal) +
                    ")");
  } else if (outcome.end_status > 0) {
    lines.push_back(job.input + ": not converted: the worker process exited with status " +
                    std::to_string(outcome.end_status));
  } else if (!outcome.reported && lines.empty()) {
    lines.push_back(job.input + ": not converted");
  }
  return lines;
}

FileResult result_of(const Outcome& outcome) {
  if (!outcome.reported) return FileResult::failed;
  switch (outcome.conversion.status) {
    case BMPSEPIA_STATUS_CONVERTED:
      return FileResult::converted;
    case BMPSEPIA_STATUS_SALVAGED:
      return FileResult::salvaged;
    default:
      return FileResult::failed;
  }
}

int usage_error(const std::string& message) {
  write_stderr("bmpsepia: " + escape_controls(message) +
               "\nusage: bmpsepia IN.jpg OUT.bmp | bmpsepia [-qru] [-j N] -o FOLDER IN...  "
               "(more: bmpsepia --help)\n");
  return 2;
}

int print_text(const std::string& text) {
  fputs(text.c_str(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}

int run(const std::vector<std::string>& args) {
  const ParsedArguments parsed = parse_arguments(args);
  if (!parsed.ok) return usage_error(parsed.error);
  Options options = parsed.options;
  if (options.mode == Mode::help) return print_text(usage_text());
  if (options.mode == Mode::version) return print_text("bmpsepia " BMPSEPIA_VERSION "\n");
  settle_output_form(&options);

  Plan plan = plan_conversion(options);
  if (!plan.usage_error.empty()) return usage_error(plan.usage_error);
  if (plan.fatal.empty()) prepare_outputs(options, &plan);
  if (!plan.fatal.empty()) {
    write_stderr("bmpsepia: " + escape_controls(plan.fatal) + "\n");
    return 1;
  }

  const bool batch = options.mode == Mode::convert_batch;
  const bool progress = batch && !options.quiet && is_terminal(StandardStream::error);
  const auto skipped = static_cast<size_t>(std::count_if(
      plan.jobs.begin(), plan.jobs.end(), [](const Job& job) { return job.up_to_date; }));
  Reporter reporter(plan.jobs.size() - skipped, progress, batch && !options.quiet);
  std::vector<size_t> todo;
  for (size_t i = 0; i < plan.jobs.size(); ++i) {
    const Job& job = plan.jobs[i];
    if (job.up_to_date) {
      reporter.skip();
    } else if (job.problem.empty()) {
      todo.push_back(i);
    } else {
      reporter.count(FileResult::failed);
      reporter.line((job.problem_is_output ? job.output : job.input) + ": " + job.problem);
    }
  }

  WorkerEvents events;
  events.done = [&](size_t index, const Outcome& outcome) {
    reporter.count(result_of(outcome));
    for (const std::string& line : outcome_lines(plan.jobs[index], outcome)) reporter.line(line);
    reporter.tick();
  };
  events.tick = [&] { reporter.tick(); };
  bmpsepia_options conversion;
  bmpsepia_options_init(&conversion);
  conversion.auto_orient = options.auto_orient ? 1 : 0;
  conversion.salvage = options.salvage ? 1 : 0;
  conversion.sync = options.sync ? 1 : 0;
  conversion.max_pixels = options.max_pixels;
  const int32_t workers = options.jobs > 0 ? options.jobs : default_worker_count();
  // Workers side by side keep the processors busy: each takes one thread.
  if (workers > 1 && todo.size() > 1) conversion.threads = 1;
  const int stopped_by = run_workers(plan.jobs, todo, workers, conversion, events);
  reporter.finish(stopped_by != 0);
  if (stopped_by != 0) return 128 + stopped_by;
  if (reporter.failed() > 0) return 1;
  return reporter.salvaged() > 0 ? 3 : 0;
}

}  // namespace

#if defined(_WIN32)
// The command line as Windows holds it, in UTF-16, so that any file name arrives whole; the
// tool works in UTF-8 as everywhere else.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
    if (bytes > 0) {
      WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg.data(), bytes, nullptr, nullptr);
    }
    arg.pop_back();  // the terminator
    args.push_back(std::move(arg));
  }
  return run(args);
}
#else
int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
#endif

#pragma once
// Runs conversions at once: in worker processes on POSIX, where a worker that dies (out of
// memory, a signal) costs only the file it was converting, and a second Ctrl-C can stop them
// all at once; in threads on Windows.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bmpsepia.h"
#include "cli/plan.h"

struct Outcome {
  bool reported = false;  // the conversion ran to its end, and `conversion` says how
  bmpsepia_outcome conversion{};
  std::string messages;    // anything else written on standard error during the job
  int32_t end_signal = 0;  // the worker died during the job by this signal
  int32_t end_status = 0;  // or exited with this status
  bool halted = false;     // killed part way, after a second SIGINT or SIGTERM
};

struct WorkerEvents {
  std::function<void(size_t job, const Outcome& outcome)> done;
  std::function<void()> tick;  // at least ten times a second
};

// Converts jobs[i] for each i in `todo`, in that order, with up to `workers` at once, with
// `options` and each job's streams, printing nothing of the library's; reports each outcome in this
// thread as it arrives. Returns 0 when every job ran, or the signal (SIGINT, SIGTERM) that stopped
// it: after the first, conversions under way are finished and no other started; a second stops them
// at once, and its number is returned.
int run_workers(const std::vector<Job>& jobs, const std::vector<size_t>& todo, int32_t workers,
                const bmpsepia_options& options, const WorkerEvents& events);

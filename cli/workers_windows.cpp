// Conversions at once in threads: each call of the library has a decoder record of its own, so
// threads share nothing but the queue of jobs and the finished outcomes, which this thread
// reports. Ctrl-C lets the conversions under way finish and starts no other; a second stops the
// tool at once, leaving their temporary files behind.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "cli/convert.h"
#include "cli/workers.h"

namespace {

std::atomic<int> stop_signal{0};  // the first Ctrl-C or Ctrl-Break: finish what is under way
std::atomic<int> halt_signal{0};  // a second one: stop now

BOOL WINAPI on_control(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  const int number = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
  int none = 0;
  if (!stop_signal.compare_exchange_strong(none, number)) halt_signal = number;
  return TRUE;
}

// What a thread needs to convert a job: copies, so that a thread left running when the tool
// stops at once reads nothing of the caller's.
struct Task {
  size_t index;
  Job job;
  bmpsepia_options options;
};

// Shared by the threads and this one; owned by all of them, so that it outlives a stop.
struct Queue {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Task> waiting;
  std::set<size_t> under_way;
  std::deque<std::pair<size_t, Outcome>> finished;
  size_t running = 0;  // threads not yet ended
};

Outcome convert(const Task& task) {
  Outcome outcome;
  outcome.reported = true;
  outcome.conversion = convert_job(task.job, task.options);
  return outcome;
}

void work(const std::shared_ptr<Queue>& queue) {
  std::unique_lock lock(queue->mutex);
  while (stop_signal == 0 && !queue->waiting.empty()) {
    const Task task = std::move(queue->waiting.front());
    queue->waiting.pop_front();
    queue->under_way.insert(task.index);
    lock.unlock();
    Outcome outcome = convert(task);
    lock.lock();
    queue->under_way.erase(task.index);
    queue->finished.emplace_back(task.index, std::move(outcome));
    queue->changed.notify_all();
  }
  --queue->running;
  queue->changed.notify_all();
}

}  // namespace

int run_workers(const std::vector<Job>& jobs, const std::vector<size_t>& todo, int32_t workers,
                const bmpsepia_options& options, const WorkerEvents& events) {
  if (todo.empty()) return 0;
  stop_signal = 0;
  halt_signal = 0;
  SetConsoleCtrlHandler(on_control, TRUE);
  auto queue = std::make_shared<Queue>();
  for (const size_t index : todo) {
    queue->waiting.push_back(Task{index, jobs[index], options});
  }
  const size_t count =
      std::min<size_t>(todo.size(), static_cast<size_t>(workers < 1 ? 1 : workers));
  std::vector<std::thread> threads;
  std::string failure;
  for (size_t i = 0; i < count; ++i) {
    try {
      std::lock_guard lock(queue->mutex);
      threads.emplace_back(work, queue);
      ++queue->running;
    } catch (const std::system_error& error) {
      failure = error.what();
      break;
    }
  }
  std::unique_lock lock(queue->mutex);
  if (threads.empty()) {
    // Without any thread the jobs cannot run; each is told as failed.
    for (const Task& task : queue->waiting) {
      Outcome outcome;
      outcome.messages = "not converted: cannot start a thread: " + failure + "\n";
      outcome.end_status = -1;
      events.done(task.index, outcome);
    }
    SetConsoleCtrlHandler(on_control, FALSE);
    return 0;
  }
  bool halted = false;
  for (;;) {
    queue->changed.wait_for(lock, std::chrono::milliseconds(100));
    std::deque<std::pair<size_t, Outcome>> finished;
    finished.swap(queue->finished);
    const bool ended = queue->running == 0;
    std::set<size_t> under_way = halt_signal != 0 ? queue->under_way : std::set<size_t>{};
    lock.unlock();
    for (const auto& [index, outcome] : finished) events.done(index, outcome);
    events.tick();
    if (halt_signal != 0) {
      for (const size_t index : under_way) {
        Outcome outcome;
        outcome.halted = true;
        events.done(index, outcome);
      }
      halted = true;
      break;
    }
    if (ended) break;
    lock.lock();
  }
  for (std::thread& thread : threads) {
    if (halted) {
      thread.detach();  // ended with the process, which exits at once
    } else {
      thread.join();
    }
  }
  SetConsoleCtrlHandler(on_control, FALSE);
  return halt_signal != 0 ? halt_signal.load() : stop_signal.load();
}

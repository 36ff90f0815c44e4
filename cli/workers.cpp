// A pool of forked workers. Each converts one file at a time: the parent sends a job number
// over a socket, the worker runs the library's conversion and answers with its outcome. The
// worker's standard error is a pipe that the parent reads, so whatever else it writes there
// reaches the parent, which alone writes to the terminal, in whole lines naming the file.

#include "cli/workers.h"

#include <fcntl.h>
#include <poll.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "cli/convert.h"

namespace {

volatile sig_atomic_t stop_signal = 0;  // the first SIGINT or SIGTERM: finish what is under way
volatile sig_atomic_t halt_signal = 0;  // a second one: kill the workers now
constexpr int32_t max_deaths_without_job = 16;

extern "C" void on_stop(int number) {
  if (stop_signal == 0) {
    stop_signal = number;
  } else {
    halt_signal = number;
  }
}

struct Worker {
  pid_t pid = -1;
  int control = -1;  // socket: job numbers in, results out
  int errors = -1;   // read end of the worker's standard error
  std::string captured;
  int64_t job = -1;  // the job under way, or -1
};

bool read_all(int fd, void* buffer, size_t bytes) {
  auto* at = static_cast<char*>(buffer);
  while (bytes > 0) {
    const ssize_t n = read(fd, at, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

// MSG_NOSIGNAL: a worker that died must not take the parent with it.
bool send_all(int fd, const void* buffer, size_t bytes) {
  const auto* at = static_cast<const char*>(buffer);
  while (bytes > 0) {
    const ssize_t n = send(fd, at, bytes, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

// What a worker answers for each job: the job and how its conversion ended.
struct Reply {
  uint32_t job;
  bmpsepia_outcome outcome;
};

[[noreturn]] void worker_main(const std::vector<Job>& jobs, const bmpsepia_options& options,
                              int control, int errors, pid_t parent) {
  // Interruption is the parent's to handle: it lets conversions under way finish, or on a
  // second signal kills the workers.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  // A reader of standard output that goes away makes a failed write, told as one, not a death.
  signal(SIGPIPE, SIG_IGN);
#if defined(__linux__)
  // Nor may a worker outlive the tool, however the tool ends (SIGKILL from timeout included).
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(0);
#else
  (void)parent;
#endif
  dup2(errors, STDERR_FILENO);
  close(errors);
  for (;;) {
    uint32_t index = 0;
    if (!read_all(control, &index, sizeof index)) _exit(0);
    if (index >= jobs.size()) _exit(3);
    const Job& job = jobs[index];
    const Reply reply{index, convert_job(job, options)};
    fflush(stderr);
    if (!send_all(control, &reply, sizeof reply)) _exit(0);
  }
}

class Pool {
 public:
  Pool(const std::vector<Job>& jobs, const std::vector<size_t>& todo,
       const bmpsepia_options& options, const WorkerEvents& events)
      : jobs_(jobs), todo_(todo), options_(options), events_(events) {}

  void run(int32_t count) {
    workers_.resize(static_cast<size_t>(count));
    for (Worker& worker : workers_) {
      if (!spawn(&worker)) break;
      give_work(&worker);
    }
    if (alive() == 0) fail_unstarted();
    while (alive() > 0) {
      if (halt_signal != 0 && !halted_) halt();
      wait_for_events();
      events_.tick();
    }
  }

 private:
  size_t alive() const {
    size_t count = 0;
    for (const Worker& worker : workers_) count += worker.pid > 0 ? 1 : 0;
    return count;
  }

  bool spawn(Worker* worker) {
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) return false;
    int errors[2];
    if (pipe2(errors, O_CLOEXEC) != 0) {
      close(channel[0]);
      close(channel[1]);
      return false;
    }
    fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
      close(channel[0]);
      close(errors[0]);
      // Holding another worker's ends would hide that worker's death from the parent.
      for (const Worker& other : workers_) {
        if (other.control >= 0) close(other.control);
        if (other.errors >= 0) close(other.errors);
      }
      worker_main(jobs_, options_, channel[1], errors[1], parent);
    }
    close(channel[1]);
    close(errors[1]);
    if (pid < 0) {
      spawn_error_ = strerror(errno);
      close(channel[0]);
      close(errors[0]);
      return false;
    }
    fcntl(errors[0], F_SETFL, O_NONBLOCK);
    *worker = Worker{};
    worker->pid = pid;
    worker->control = channel[0];
    worker->errors = errors[0];
    return true;
  }

  // Hands the worker the next job, or ends it when there is none.
  void give_work(Worker* worker) {
    if (stop_signal != 0 || next_ == todo_.size()) {
      retire(worker);
      return;
    }
    const auto index = static_cast<uint32_t>(todo_[next_]);
    if (!send_all(worker->control, &index, sizeof index)) {
      on_death(worker);  // the job stays for another worker
      return;
    }
    worker->job = static_cast<int64_t>(index);
    ++next_;
  }

  // Reads what the worker wrote on standard error so far; all of it once the worker is gone.
  void drain(Worker* worker) {
    char buffer[4096];
    while (worker->errors >= 0) {
      const ssize_t n = read(worker->errors, buffer, sizeof buffer);
      if (n > 0) {
        worker->captured.append(buffer, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        if (n == 0) {
          close(worker->errors);
          worker->errors = -1;
        }
        return;
      }
    }
  }

  // Kills every worker. Each death, or the answer a worker gave just before, then arrives as
  // usual through its socket; unnamed, an output under way vanishes with its worker.
  void halt() {
    halted_ = true;
    for (const Worker& worker : workers_) {
      if (worker.pid > 0) kill(worker.pid, SIGKILL);
    }
  }

  // Ends an idle worker: without a job to read it exits.
  void retire(Worker* worker) {
    close(worker->control);
    worker->control = -1;
    int status = 0;
    while (waitpid(worker->pid, &status, 0) < 0 && errno == EINTR) {
    }
    drain(worker);
    if (worker->errors >= 0) close(worker->errors);
    *worker = Worker{};
  }

  void on_reply(Worker* worker) {
    Reply reply;
    if (!read_all(worker->control, &reply, sizeof reply) || reply.job != worker->job) {
      on_death(worker);
      return;
    }
    // Anything written before the reply already waits in the pipe.
    drain(worker);
    Outcome outcome;
    outcome.reported = true;
    outcome.conversion = reply.outcome;
    outcome.messages.swap(worker->captured);
    const auto job = static_cast<size_t>(worker->job);
    worker->job = -1;
    events_.done(job, outcome);
    give_work(worker);
  }

  void on_death(Worker* worker) {
    close(worker->control);
    worker->control = -1;
    int status = 0;
    while (waitpid(worker->pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (worker->errors >= 0) fcntl(worker->errors, F_SETFL, 0);  // dead: read to the end
    drain(worker);
    Outcome outcome;
    outcome.messages.swap(worker->captured);
    if (WIFSIGNALED(status)) outcome.end_signal = WTERMSIG(status);
    if (WIFEXITED(status)) outcome.end_status = WEXITSTATUS(status);
    outcome.halted = halted_;
    if (outcome.end_signal == 0 && outcome.end_status == 0) outcome.end_status = -1;
    const int64_t job = worker->job;
    *worker = Worker{};
    if (job >= 0) events_.done(static_cast<size_t>(job), outcome);
    // One bad file must not stop the rest: replace the worker. Only deaths that took no job
    // with them could repeat without end, so only those are limited.
    deaths_without_job_ = job >= 0 ? 0 : deaths_without_job_ + 1;
    if (deaths_without_job_ <= max_deaths_without_job && next_ < todo_.size() && stop_signal == 0 &&
        spawn(worker)) {
      give_work(worker);
    }
    if (alive() == 0) fail_unstarted();
  }

  void wait_for_events() {
    std::vector<pollfd> fds;
    for (const Worker& worker : workers_) {
      // Every worker has two entries, in order, so that entry 2k belongs to worker k.
      const bool running = worker.pid > 0;
      fds.push_back(pollfd{running ? worker.control : -1, POLLIN, 0});
      fds.push_back(pollfd{running ? worker.errors : -1, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), 100) <= 0) return;  // a timeout, or a signal to look at
    for (size_t k = 0; k < workers_.size(); ++k) {
      Worker* worker = &workers_[k];
      // Each worker is seen once: a replacement in the same slot waits for the next poll.
      if (fds[2 * k + 1].revents != 0) drain(worker);
      if (fds[2 * k].revents != 0) on_reply(worker);
    }
  }

  // Without any worker the jobs left cannot run; each is told as failed.
  void fail_unstarted() {
    if (stop_signal != 0) return;
    while (next_ < todo_.size()) {
      Outcome outcome;
      outcome.messages = "not converted: " +
                         (spawn_error_.empty() ? std::string("the worker processes failed")
                                               : "cannot start a worker: " + spawn_error_) +
                         "\n";
      outcome.end_status = -1;
      events_.done(todo_[next_++], outcome);
    }
  }

  const std::vector<Job>& jobs_;
  const std::vector<size_t>& todo_;
  const bmpsepia_options& options_;
  const WorkerEvents& events_;
  std::vector<Worker> workers_;
  size_t next_ = 0;
  std::string spawn_error_;
  int32_t deaths_without_job_ = 0;
  bool halted_ = false;
};

}  // namespace

int run_workers(const std::vector<Job>& jobs, const std::vector<size_t>& todo, int32_t workers,
                const bmpsepia_options& options, const WorkerEvents& events) {
  if (todo.empty()) return 0;
  stop_signal = 0;
  halt_signal = 0;
  struct sigaction stop {};
  stop.sa_handler = on_stop;
  sigemptyset(&stop.sa_mask);
  stop.sa_flags = 0;  // no SA_RESTART: poll returns at once to look at the flag
  struct sigaction old_int {};
  struct sigaction old_term {};
  sigaction(SIGINT, &stop, &old_int);
  sigaction(SIGTERM, &stop, &old_term);
  Pool pool(jobs, todo, options, events);
  const auto count = static_cast<int32_t>(
      std::min<size_t>(todo.size(), static_cast<size_t>(workers < 1 ? 1 : workers)));
  pool.run(count);
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  return halt_signal != 0 ? halt_signal : stop_signal;
}

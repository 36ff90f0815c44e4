// Spawns programs for the command-line tests and collects what they print.

#include "cli/run_tool.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

constexpr int nobody = 65534;
constexpr int timeout_seconds = 120;

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const RunOptions& options) {
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  if (options.unprivileged && geteuid() == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(126);
  }
  for (const std::string& setting : options.environment) {
    putenv(const_cast<char*>(setting.c_str()));
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  perror(args[0]);
  _exit(127);
}

// Reads both streams until they close, ending the program if it runs far too long.
void collect(pid_t pid, int out_fd, int err_fd, ProgramRun* run) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int fds[2] = {out_fd, err_fd};
  std::string* sinks[2] = {&run->out, &run->err};
  while (fds[0] >= 0 || fds[1] >= 0) {
    pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    const int ready = poll(polled, 2, 1000);
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      run->err += "\n[killed after " + std::to_string(timeout_seconds) + " s]\n";
      break;
    }
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || polled[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {  // a terminal says EIO once its program ends
        close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  for (const int fd : fds) {
    if (fd >= 0) close(fd);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

RunOptions in_folder(const std::string& cwd, std::function<void(pid_t)> while_running) {
  RunOptions options;
  options.cwd = cwd;
  options.while_running = std::move(while_running);
  return options;
}

ProgramRun run_program(const std::vector<std::string>& argv, const RunOptions& options) {
  ProgramRun run;
  fflush(nullptr);
  if (options.terminal) {
    int master = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 100;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) return run;
    if (pid == 0) exec_child(argv, options);  // a session and process group of its own
    if (options.while_running) options.while_running(pid);
    collect(pid, master, -1, &run);
    return run;
  }
  int out[2];
  int err[2];
  int in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) return run;
  if (pipe2(err, O_CLOEXEC) != 0) return run;
  if (options.input && pipe2(in, O_CLOEXEC) != 0) return run;
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    setpgid(0, 0);  // so a test can signal the program and its workers together, like a shell
    const int in_fd = options.input                ? in[0]
                      : options.input_file.empty() ? open("/dev/null", O_RDONLY)
                                                   : open(options.input_file.c_str(), O_RDONLY);
    const int out_fd = options.output_file.empty()
                           ? out[1]
                           : open(options.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd < 0 || out_fd < 0) _exit(126);
    dup2(in_fd, STDIN_FILENO);
    dup2(out_fd, STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    exec_child(argv, options);
  }
  setpgid(pid, pid);  // as the child does, so that neither order of the two races
  close(out[1]);
  close(err[1]);
  // Fed from a thread of its own, so that a program writing much before it reads cannot stall
  // both sides; a program that stops reading ends the feed with EPIPE, never a signal here.
  std::thread feeder;
  if (options.input) {
    close(in[0]);
    feeder = std::thread([fd = in[1], &bytes = *options.input] {
      sigset_t pipe_signal;
      sigemptyset(&pipe_signal);
      sigaddset(&pipe_signal, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
      for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      close(fd);
    });
  }
  if (options.while_running) options.while_running(pid);
  collect(pid, out[0], err[0], &run);
  if (feeder.joinable()) feeder.join();
  return run;
}

ProgramRun run_tool(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv{BMPSEPIA_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, options);
}

std::vector<pid_t> child_processes(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (const dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream stat_file("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    if (!std::getline(stat_file, line)) continue;
    // The fields after the parenthesised command name: state, then the parent's id.
    const size_t close_paren = line.rfind(')');
    if (close_paren == std::string::npos) continue;
    std::istringstream fields(line.substr(close_paren + 1));
    std::string state;
    pid_t ppid = 0;
    if (fields >> state >> ppid && ppid == parent) children.push_back(pid);
  }
  closedir(proc);
  return children;
}

bool has_open_file_in(pid_t pid, const std::string& prefix) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = opendir(folder.c_str());
  if (fds == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(fds)) {
    char target[4096];
    const ssize_t n = readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target);
    if (n > 0 && std::string(target, static_cast<size_t>(n)).starts_with(prefix)) found = true;
  }
  closedir(fds);
  return found;
}

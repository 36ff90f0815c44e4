#pragma once
// Runs a program the way a user at a shell would: a separate process with its own standard
// streams, optionally on a terminal or as an unprivileged user.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct ProgramRun {
  int status = -1;  // the exit status, or 128 + the signal that ended it
  std::string out;  // standard output; on a terminal, everything the program wrote
  std::string err;
};

struct RunOptions {
  std::string cwd;                           // empty: the test's own
  bool terminal = false;                     // standard output and error on a pseudo-terminal
  bool unprivileged = false;                 // when running as root, run as nobody instead
  std::vector<std::string> environment;      // NAME=value settings added for the program
  std::function<void(pid_t)> while_running;  // called once the program has started
  // Standard input: these bytes through a pipe, else the file `input_file`, else /dev/null.
  std::optional<std::string> input;
  std::string input_file;
  std::string output_file;  // standard output into this file rather than into `out`
};

// Options to run in the folder `cwd`, optionally doing `while_running` meanwhile.
RunOptions in_folder(const std::string& cwd, std::function<void(pid_t)> while_running = nullptr);

// argv[0] is the program's path.
ProgramRun run_program(const std::vector<std::string>& argv, const RunOptions& options = {});
// Runs the built bmpsepia tool with `args`.
ProgramRun run_tool(const std::vector<std::string>& args, const RunOptions& options = {});

// Process ids whose parent is `parent`.
std::vector<pid_t> child_processes(pid_t parent);
// Whether process `pid` has a file open whose path starts with `prefix`.
bool has_open_file_in(pid_t pid, const std::string& prefix);

// Expands folders into files, maps each input to its output and finds clashes. Only
// prepare_outputs changes anything on disk.

#include "cli/plan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "cli/utf8.h"

namespace {

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  const std::string_view tail = text.substr(text.size() - suffix.size());
  return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

std::string_view base_name(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

FileId id_of(const struct stat& info) {
  return FileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

FileId id_of_path(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? id_of(info) : FileId{};
}

// The folder a path names its file in: "." when it has no slash.
std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

bool is_folder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Notes the input's identity. A named pipe or device would block or fail the whole-file read,
// so only regular files go on; a missing file is left to fail, and be told, when opened.
void check_input(Job* job) {
  struct stat info;
  if (stat(job->input.c_str(), &info) != 0) return;
  job->input_id = id_of(info);
  if (!S_ISREG(info.st_mode)) job->problem = "not converted: not a regular file";
}

struct Walker {
  const Options& options;
  std::vector<Job>* jobs;

  void add(const std::string& input, const std::string& output_name) {
    Job job;
    job.input = input;
    job.output = join_path(options.output, output_name);
    check_input(&job);
    jobs->push_back(std::move(job));
  }

  // `relative` is where the folder sits below the operand, "" or ending in '/'.
  void walk(const std::string& folder, const std::string& relative) {
    DIR* stream = opendir(folder.c_str());
    if (stream == nullptr) {
      Job job;
      job.input = folder;
      job.problem = std::string("cannot read the folder: ") + strerror(errno);
      jobs->push_back(std::move(job));
      return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(stream)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(stream);
    std::sort(names.begin(), names.end());
    std::vector<std::string> subfolders;
    for (const std::string& name : names) {
      const std::string path = join_path(folder, name);
      struct stat info;
      if (lstat(path.c_str(), &info) != 0) continue;
      // Links to folders are not followed, so a walk always ends.
      if (S_ISDIR(info.st_mode)) {
        if (options.recursive) subfolders.push_back(name);
        continue;
      }
      if (!has_jpeg_extension(name)) continue;
      // A link to a file counts as that file; a broken one is left to fail when opened.
      const bool broken_link = S_ISLNK(info.st_mode) && stat(path.c_str(), &info) != 0;
      if (broken_link || S_ISREG(info.st_mode)) add(path, relative + bmp_name(name));
    }
    for (const std::string& name : subfolders) {
      walk(join_path(folder, name), relative + name + "/");
    }
  }
};

void check_names(Job* job) {
  std::u16string ignored;
  if (job->problem.empty() &&
      (!utf8_to_utf16(job->input, &ignored) || !utf8_to_utf16(job->output, &ignored))) {
    job->problem = "not converted: the file name is not valid UTF-8";
  }
}

Plan plan_one(const Options& options) {
  Plan plan;
  const std::string& input = options.inputs[0];
  if (is_folder(input)) {
    plan.usage_error = "'" + input + "' is a folder; to convert the files in it, give -o FOLDER";
    return plan;
  }
  Job job;
  job.input = input;
  job.output = is_folder(options.output) ? join_path(options.output, bmp_name(base_name(input)))
                                         : options.output;
  check_input(&job);
  plan.jobs.push_back(std::move(job));
  resolve_conflicts(&plan.jobs, {id_of_path(plan.jobs[0].output)});
  check_names(&plan.jobs[0]);
  return plan;
}

Plan plan_batch(const Options& options) {
  Plan plan;
  Walker walker{options, &plan.jobs};
  bool saw_folder = false;
  for (const std::string& operand : options.inputs) {
    if (is_folder(operand)) {
      saw_folder = true;
      walker.walk(operand, "");
    } else {
      // Named files are taken whatever their extension; a missing one fails when opened.
      walker.add(operand, bmp_name(base_name(operand)));
    }
  }
  if (plan.jobs.empty()) {
    plan.fatal = saw_folder && !options.recursive
                     ? "no JPEG files found (give -r to look in subfolders)"
                     : "no JPEG files found";
    return plan;
  }
  std::vector<FileId> output_ids;
  output_ids.reserve(plan.jobs.size());
  for (const Job& job : plan.jobs) output_ids.push_back(id_of_path(job.output));
  resolve_conflicts(&plan.jobs, output_ids);
  for (Job& job : plan.jobs) check_names(&job);
  return plan;
}

}  // namespace

bool has_jpeg_extension(std::string_view name) {
  return ends_with_ignoring_case(name, ".jpg") || ends_with_ignoring_case(name, ".jpeg");
}

std::string bmp_name(std::string_view name) {
  const size_t dot = name.rfind('.');
  // A leading dot starts a hidden name, not an extension.
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name) + ".bmp";
}

std::string join_path(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

void resolve_conflicts(std::vector<Job>* jobs, const std::vector<FileId>& output_ids) {
  std::set<std::pair<uint64_t, uint64_t>> inputs;
  for (const Job& job : *jobs) {
    if (job.input_id.known()) inputs.insert({job.input_id.device, job.input_id.inode});
  }
  std::map<std::string, size_t> claimed;  // output -> index of the first job writing it
  std::vector<Job> kept;
  kept.reserve(jobs->size());
  for (size_t i = 0; i < jobs->size(); ++i) {
    Job& job = (*jobs)[i];
    if (!job.problem.empty() || job.output.empty()) {
      kept.push_back(std::move(job));
      continue;
    }
    const auto [first, fresh] = claimed.emplace(job.output, kept.size());
    if (!fresh) {
      const Job& owner = kept[first->second];
      if (job.input_id.known() && job.input_id == owner.input_id) continue;  // named twice
      job.problem = "not converted: " + owner.input + " also becomes " + job.output;
    } else if (output_ids[i].known() &&
               inputs.count({output_ids[i].device, output_ids[i].inode}) != 0) {
      job.problem = "not converted: its output " + job.output + " is an input file";
    }
    kept.push_back(std::move(job));
  }
  *jobs = std::move(kept);
}

Plan plan_conversion(const Options& options) {
  return options.mode == Mode::convert_one ? plan_one(options) : plan_batch(options);
}

void prepare_outputs(const Options& options, Plan* plan) {
  if (options.mode != Mode::convert_batch) return;
  std::error_code error;
  std::filesystem::create_directories(options.output, error);
  if (error && !is_folder(options.output)) {
    plan->fatal = "cannot create the folder " + options.output + ": " + error.message();
    return;
  }
  if (!is_folder(options.output)) {
    plan->fatal = options.output + " is not a folder";
    return;
  }
  if (access(options.output.c_str(), W_OK | X_OK) != 0) {
    plan->fatal = "cannot write into " + options.output + ": " + strerror(errno);
    return;
  }
  std::set<std::string> made;
  for (Job& job : plan->jobs) {
    if (!job.problem.empty()) continue;
    const size_t slash = job.output.rfind('/');
    const std::string folder = job.output.substr(0, slash);
    if (slash == std::string::npos || folder.size() <= options.output.size() ||
        made.count(folder) != 0) {
      continue;
    }
    std::filesystem::create_directories(folder, error);
    if (error && !is_folder(folder)) {
      job.problem = "cannot create the folder " + folder + ": " + error.message();
      continue;
    }
    made.insert(folder);
  }
}

std::string explain_input_failure(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return strerror(errno);
  struct stat info;
  const bool folder = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
  close(fd);
  return folder ? strerror(EISDIR) : "";
}

std::string explain_output_failure(const std::string& path) {
  // Asked as the library decides, by looking at the path, never opening it.
  std::string target = path;
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    struct stat folder;
    if (stat(folder_of(path).c_str(), &folder) == 0 &&
        (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && info.st_uid != geteuid() &&
        info.st_uid != folder.st_uid) {
      return "a symbolic link that another user made in a shared folder";
    }
    if (stat(path.c_str(), &info) != 0) {
      return errno == ENOENT ? "a symbolic link to nothing" : strerror(errno);
    }
    if (char* resolved = realpath(path.c_str(), nullptr)) {
      target = resolved;
      free(resolved);
    }
  }
  const bool exists = stat(target.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) return strerror(EISDIR);
  if (exists && !S_ISREG(info.st_mode)) return "not a regular file";
  if (exists && access(target.c_str(), W_OK) != 0) return strerror(errno);
  struct stat folder;
  if (stat(folder_of(target).c_str(), &folder) != 0) return strerror(errno);
  if (!S_ISDIR(folder.st_mode)) return strerror(ENOTDIR);
  if (access(folder_of(target).c_str(), W_OK | X_OK) != 0) return strerror(errno);
  // A sticky folder lets only the owners of the file and of the folder replace the file.
  if (exists && (folder.st_mode & S_ISVTX) != 0 && geteuid() != 0 && info.st_uid != geteuid() &&
      folder.st_uid != geteuid()) {
    return strerror(EPERM);
  }
  return "";
}

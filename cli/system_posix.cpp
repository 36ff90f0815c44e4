// The tool's questions to a POSIX system.

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "cli/system.h"

namespace {

FileId id_of(const struct stat& info) {
  return FileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

int descriptor_of(StandardStream stream) {
  return stream == StandardStream::input    ? STDIN_FILENO
         : stream == StandardStream::output ? STDOUT_FILENO
                                            : STDERR_FILENO;
}

// The folder a path names its file in: "." when it has no slash.
std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

}  // namespace

FileId file_id(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? id_of(info) : FileId{};
}

FileId standard_stream_id(StandardStream stream) {
  struct stat info;
  return fstat(descriptor_of(stream), &info) == 0 && S_ISREG(info.st_mode) ? id_of(info) : FileId{};
}

PathKind path_kind(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return PathKind::missing;
  if (S_ISDIR(info.st_mode)) return PathKind::folder;
  return S_ISREG(info.st_mode) ? PathKind::regular : PathKind::other;
}

bool is_up_to_date(const std::string& output, const std::string& input) {
  struct stat made;
  struct stat source;
  if (stat(output.c_str(), &made) != 0 || !S_ISREG(made.st_mode) ||
      stat(input.c_str(), &source) != 0) {
    return false;
  }
  return made.st_mtim.tv_sec != source.st_mtim.tv_sec
             ? made.st_mtim.tv_sec > source.st_mtim.tv_sec
             : made.st_mtim.tv_nsec >= source.st_mtim.tv_nsec;
}

bool list_folder(const std::string& path, std::vector<FolderEntry>* entries, std::string* error) {
  DIR* stream = opendir(path.c_str());
  if (stream == nullptr) {
    *error = strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(stream)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(stream);
  for (std::string& name : names) {
    const std::string full = path + (path.ends_with('/') ? "" : "/") + name;
    struct stat info;
    if (lstat(full.c_str(), &info) != 0) continue;
    FolderEntry entry;
    entry.folder = S_ISDIR(info.st_mode);
    const bool broken_link = S_ISLNK(info.st_mode) && stat(full.c_str(), &info) != 0;
    entry.file = broken_link || S_ISREG(info.st_mode);
    entry.name = std::move(name);
    entries->push_back(std::move(entry));
  }
  return true;
}

std::string make_folders(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  // Another process may have made it meanwhile: only a folder that is not there is a failure.
  return error && path_kind(path) != PathKind::folder ? error.message() : "";
}

std::string folder_write_problem(const std::string& path) {
  return access(path.c_str(), W_OK | X_OK) != 0 ? strerror(errno) : "";
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

bool is_terminal(StandardStream stream) { return isatty(descriptor_of(stream)) == 1; }

size_t terminal_columns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

const char* erase_to_line_end() { return "\033[K"; }

void write_stderr(const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(STDERR_FILENO, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<size_t>(n);
  }
}

int32_t default_worker_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return count;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int32_t>(online) : 1;
}

std::string signal_text(int32_t number) { return strsignal(number); }

bool is_path_separator(char c) { return c == '/'; }

// The tool's questions to a POSIX system.

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/system.h"

namespace {

constexpr int32_t max_link_hops = 40;  // as the library, and the kernel, count them
#if defined(O_PATH)
constexpr int folder_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;  // needs no read permission
#else
constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
constexpr const char* planted_link_reason =
    "a symbolic link that another user made in a shared folder";

FileId id_of(const struct stat& info) {
  return FileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

int descriptor_of(StandardStream stream) {
  return stream == StandardStream::input    ? STDIN_FILENO
         : stream == StandardStream::output ? STDOUT_FILENO
                                            : STDERR_FILENO;
}

// The library's rule, which it applies whether or not fs.protected_symlinks is on: in a sticky
// world-writable folder only the caller's links and those of the folder's owner are followed.
bool is_planted_link(int folder, const struct stat& link) {
  struct stat dir;
  if (fstat(folder, &dir) != 0) return true;
  const uid_t caller = geteuid();
  return (dir.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && link.st_uid != caller &&
         link.st_uid != dir.st_uid;
}

// Opens the folder `path` names, from `base` unless it is absolute, part by part as the library
// walks an output's path: each symbolic link is followed but a planted one, `hops` counting
// them. With `create`, a missing part of the path as given is made (never one that a link's
// text names: a link to nothing stays that). -1, with why in `problem`, when it cannot.
int walk_folders(int base, const std::string& path, bool create, int32_t* hops,
                 std::string* problem) {
  std::string text = path;
  size_t at = 0;
  size_t link_end = 0;  // text[0, link_end) came from links
  int folder = openat(base, text.starts_with('/') ? "/" : ".", folder_flags);
  int error = errno;
  while (folder >= 0) {
    while (at < text.size() && text[at] == '/') ++at;
    if (at == text.size()) return folder;
    const size_t end = std::min(text.find('/', at), text.size());
    const std::string part = text.substr(at, end - at);
    struct stat info;
    if (fstatat(folder, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      error = errno;
      if (error != ENOENT || !create || at < link_end) break;
      // One made meanwhile by another process (EEXIST) does as well: it is looked at again.
      if (mkdirat(folder, part.c_str(), 0777) != 0 && errno != EEXIST) {
        error = errno;
        break;
      }
      continue;
    }
    if (S_ISLNK(info.st_mode)) {
      if (++*hops > max_link_hops) {
        error = ELOOP;
        break;
      }
      if (is_planted_link(folder, info)) {
        *problem = planted_link_reason;
        break;
      }
      char target[4096];
      const ssize_t bytes = readlinkat(folder, part.c_str(), target, sizeof target);
      if (bytes <= 0 || static_cast<size_t>(bytes) >= sizeof target) {
        error = bytes < 0 ? errno : ENAMETOOLONG;
        break;
      }
      const auto target_length = static_cast<size_t>(bytes);
      link_end = target_length + (link_end > end ? link_end - end : 0);
      text = std::string(target, target_length) + text.substr(end);
      at = 0;
      if (text.starts_with('/')) {
        close(folder);
        folder = open("/", folder_flags);
        error = errno;
      }
      continue;
    }
    if (!S_ISDIR(info.st_mode)) {
      error = ENOTDIR;
      break;
    }
    const int next = openat(folder, part.c_str(), folder_flags | O_NOFOLLOW);
    error = errno;
    close(folder);
    folder = next;
    at = end;
  }
  if (folder >= 0) close(folder);
  if (problem->empty()) *problem = strerror(error);
  return -1;
}

// Why a sticky folder forbids replacing the file found there (null: nothing is there), or empty.
std::string replace_problem(int folder, const struct stat* file) {
  struct stat dir;
  if (file == nullptr || fstat(folder, &dir) != 0 || (dir.st_mode & S_ISVTX) == 0) return "";
  const uid_t caller = geteuid();
  // The library's other rule, which it applies whether or not fs.protected_regular is on: in
  // a sticky folder others may write, a file of neither the caller nor the folder's owner.
  if ((dir.st_mode & (S_IWGRP | S_IWOTH)) != 0 && file->st_uid != caller &&
      file->st_uid != dir.st_uid) {
    return "a file that another user owns in a shared folder";
  }
  // A sticky folder lets only the owners of the file and of the folder replace the file.
  return caller != 0 && file->st_uid != caller && dir.st_uid != caller ? strerror(EPERM) : "";
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
  int32_t hops = 0;
  std::string problem;
  const int folder = walk_folders(AT_FDCWD, path, true, &hops, &problem);
  if (folder >= 0) close(folder);
  return problem;
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

bool read_file_bytes(const std::string& path, size_t limit, std::vector<uint8_t>* bytes,
                     bool* longer) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    if (fd >= 0) close(fd);
    return false;
  }
  *longer = static_cast<uint64_t>(info.st_size) > limit;
  bytes->resize(*longer ? 0 : static_cast<size_t>(info.st_size));
  size_t size = 0;
  while (size < bytes->size()) {
    const ssize_t got = read(fd, bytes->data() + size, bytes->size() - size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // a short file goes on with what it held
    size += static_cast<size_t>(got);
  }
  bytes->resize(size);
  close(fd);
  return true;
}

bool standard_input_readable() {
  struct stat info;
  return fstat(STDIN_FILENO, &info) == 0 && !S_ISDIR(info.st_mode);
}

size_t read_standard_input(void* into, size_t capacity) {
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, into, capacity);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return 0;
  }
}

bool write_standard_output(const void* bytes, size_t count) {
  const auto* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t put = write(STDOUT_FILENO, at, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    at += put;
    count -= static_cast<size_t>(put);
  }
  return true;
}

std::string explain_standard_input_failure() {
  struct stat info;
  if (fstat(STDIN_FILENO, &info) != 0) return "closed";
  return S_ISDIR(info.st_mode) ? strerror(EISDIR) : "";
}

std::string explain_output_failure(const std::string& path) {
  // Asked as the library decides, walking the path part by part, never opening the output.
  std::string text = path;
  int base = AT_FDCWD;
  int32_t hops = 0;
  bool through_link = false;  // the last part came from a link's text
  for (;;) {
    const size_t slash = text.rfind('/');
    const std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
    std::string problem;
    const int folder = walk_folders(
        base, slash == std::string::npos ? "." : text.substr(0, slash + 1), false, &hops, &problem);
    if (base != AT_FDCWD) close(base);
    if (folder < 0) {
      return through_link && problem == strerror(ENOENT) ? "a symbolic link to nothing" : problem;
    }
    struct stat info;
    const bool exists =
        !name.empty() && fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    std::string reason;
    if (name.empty()) {
      reason = strerror(EISDIR);  // a path ending in a slash names a folder
    } else if (!exists && errno != ENOENT) {
      reason = strerror(errno);
    } else if (!exists && through_link) {
      reason = "a symbolic link to nothing";
    } else if (exists && S_ISLNK(info.st_mode)) {
      if (++hops > max_link_hops) {
        reason = strerror(ELOOP);
      } else if (is_planted_link(folder, info)) {
        reason = planted_link_reason;
      } else {
        char target[4096];
        const ssize_t bytes = readlinkat(folder, name.c_str(), target, sizeof target);
        if (bytes > 0 && static_cast<size_t>(bytes) < sizeof target) {
          text.assign(target, static_cast<size_t>(bytes));
          base = folder;  // a relative target is read from the link's folder
          through_link = true;
          continue;
        }
        reason = strerror(bytes < 0 ? errno : ENAMETOOLONG);
      }
    } else if (exists && S_ISDIR(info.st_mode)) {
      reason = strerror(EISDIR);
    } else if (exists && !S_ISREG(info.st_mode)) {
      reason = "not a regular file";
    } else if (exists && faccessat(folder, name.c_str(), W_OK, AT_EACCESS) != 0) {
      reason = strerror(errno);
    } else if (faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) != 0) {
      reason = strerror(errno);
    } else {
      reason = replace_problem(folder, exists ? &info : nullptr);
    }
    close(folder);
    return reason;
  }
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

// The platform's file routines over POSIX: opening streams and replacing output files.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace {

FILE* stream_of(PlatformFile* file) { return reinterpret_cast<FILE*>(file); }

char* copy_text(const char* text, size_t length) {
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

// Follows symbolic links at `path` (dangling ones too) so that the link's target is replaced
// rather than the link itself. Returns an owned path, or null when out of memory.
char* follow_links(const char* path) {
  char* current = copy_text(path, strlen(path));
  for (int32_t hops = 0; current != nullptr && hops < 40; ++hops) {
    struct stat info;
    if (lstat(current, &info) != 0 || !S_ISLNK(info.st_mode)) break;
    char target[4096];
    const ssize_t length = readlink(current, target, sizeof target - 1);
    if (length <= 0) break;
    const char* slash = strrchr(current, '/');
    char* next = nullptr;
    if (target[0] == '/' || slash == nullptr) {
      next = copy_text(target, static_cast<size_t>(length));
    } else {
      const size_t dir_length = static_cast<size_t>(slash - current) + 1;
      next = static_cast<char*>(malloc(dir_length + static_cast<size_t>(length) + 1));
      if (next != nullptr) {
        memcpy(next, current, dir_length);
        memcpy(next + dir_length, target, static_cast<size_t>(length));
        next[dir_length + static_cast<size_t>(length)] = '\0';
      }
    }
    free(current);
    current = next;
  }
  return current;
}

// Creates a new, unique file ".NAME.XXXXXXXX.tmp" in the directory of `final_path` with the
// permissions that creating the final file directly would give (0666 less the umask). A NAME
// too long for that to fit in a directory entry is shortened, at a character boundary.
int create_temp_beside(const char* final_path, char** temp_path) {
  const char* slash = strrchr(final_path, '/');
  const size_t dir_length = slash == nullptr ? 0 : static_cast<size_t>(slash - final_path) + 1;
  const char* base = final_path + dir_length;
  constexpr size_t entry_bytes = 255;      // the common limit of a name in a directory
  constexpr size_t decoration_bytes = 14;  // "." + "." + 8 hex digits + ".tmp"
  size_t base_length = strlen(base);
  if (base_length > entry_bytes - decoration_bytes) {
    base_length = entry_bytes - decoration_bytes;
    while (base_length > 0 && (static_cast<uint8_t>(base[base_length]) & 0xC0) == 0x80) {
      --base_length;
    }
  }
  const size_t bytes = dir_length + base_length + decoration_bytes + 1;
  char* name = static_cast<char*>(malloc(bytes));
  if (name == nullptr) return -1;
  static uint32_t counter = 0;
  for (int32_t attempt = 0; attempt < 100; ++attempt) {
    const uint32_t salt = static_cast<uint32_t>(getpid()) * 2654435761u ^
                          static_cast<uint32_t>(time(nullptr)) ^ (++counter * 40503u);
    snprintf(name, bytes, "%.*s.%.*s.%08x.tmp", static_cast<int>(dir_length), final_path,
             static_cast<int>(base_length), base, salt);
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      *temp_path = name;
      return fd;
    }
    if (errno != EEXIST) break;
  }
  free(name);
  return -1;
}

}  // namespace

PlatformFile* platform_open(const char* path, const char* mode) {
  if (path == nullptr) return nullptr;
  // Only regular files: a directory cannot be read, and opening a pipe or a device would wait
  // for a writer, or never end. Opening without blocking lets the check come first.
  const bool reading = mode[0] == 'r';
  const int fd = open(
      path, (reading ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC) | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  FILE* stream = fdopen(fd, mode);
  if (stream == nullptr) close(fd);
  return reinterpret_cast<PlatformFile*>(stream);
}

void platform_seek(PlatformFile* file, SeekOrigin origin) {
  fseeko(stream_of(file), 0, origin == SeekOrigin::end ? SEEK_END : SEEK_SET);
}

int64_t platform_tell(PlatformFile* file) { return ftello(stream_of(file)); }

bool platform_begin_replace(const char* path, PendingFile* pending) {
  *pending = PendingFile{nullptr, nullptr, nullptr, -1};
  if (path == nullptr || path[0] == '\0') return false;
  char* final_path = follow_links(path);
  if (final_path == nullptr) return false;
  struct stat info;
  int32_t mode = -1;
  if (stat(final_path, &info) == 0) {
    // Refuse what opening the file for writing would refuse, without touching its contents.
    const int probe = S_ISDIR(info.st_mode) ? -1 : open(final_path, O_WRONLY | O_CLOEXEC);
    if (probe < 0) {
      free(final_path);
      return false;
    }
    close(probe);
    mode = static_cast<int32_t>(info.st_mode & 07777);
  }
  char* temp_path = nullptr;
  const int fd = create_temp_beside(final_path, &temp_path);
  if (fd < 0) {
    free(final_path);
    return false;
  }
  FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) {
    close(fd);
    unlink(temp_path);
    free(temp_path);
    free(final_path);
    return false;
  }
  *pending = PendingFile{reinterpret_cast<PlatformFile*>(stream), temp_path, final_path, mode};
  return true;
}

static void forget_pending(PendingFile* pending) {
  free(pending->temp_path);
  free(pending->final_path);
  *pending = PendingFile{nullptr, nullptr, nullptr, -1};
}

bool platform_commit_replace(PendingFile* pending) {
  FILE* stream = stream_of(pending->stream);
  bool ok = true;
  if (pending->mode >= 0) ok = fchmod(fileno(stream), static_cast<mode_t>(pending->mode)) == 0;
  ok = fclose(stream) == 0 && ok;
  ok = ok && rename(pending->temp_path, pending->final_path) == 0;
  if (!ok) unlink(pending->temp_path);
  forget_pending(pending);
  return ok;
}

void platform_abort_replace(PendingFile* pending) {
  fclose(stream_of(pending->stream));
  unlink(pending->temp_path);
  forget_pending(pending);
}

// The platform layer over the C library and, for replacing output files, POSIX.

#include "platform/platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

int32_t allocations_until_failure = 0;
int64_t write_budget_bytes = -1;
int32_t live_allocations = 0;

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

// Creates a new, unique file in the directory of `final_path` with the permissions that
// creating the final file directly would give (0666 less the umask).
int create_temp_beside(const char* final_path, char** temp_path) {
  const char* slash = strrchr(final_path, '/');
  const size_t dir_length = slash == nullptr ? 0 : static_cast<size_t>(slash - final_path) + 1;
  const char* base = final_path + dir_length;
  const size_t bytes = dir_length + strlen(base) + 40;
  char* name = static_cast<char*>(malloc(bytes));
  if (name == nullptr) return -1;
  static uint32_t counter = 0;
  for (int32_t attempt = 0; attempt < 100; ++attempt) {
    const uint32_t salt = static_cast<uint32_t>(getpid()) * 2654435761u ^
                          static_cast<uint32_t>(time(nullptr)) ^ (++counter * 40503u);
    snprintf(name, bytes, "%.*s.%s.%08x.tmp", static_cast<int>(dir_length), final_path, base, salt);
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

size_t platform_read(void* buffer, size_t bytes, PlatformFile* file) {
  return fread(buffer, 1, bytes, stream_of(file));
}

bool platform_write(const void* source, size_t bytes, PlatformFile* file) {
  if (write_budget_bytes >= 0) {
    if (static_cast<int64_t>(bytes) > write_budget_bytes) {
      write_budget_bytes = 0;
      return false;
    }
    write_budget_bytes -= static_cast<int64_t>(bytes);
  }
  return fwrite(source, 1, bytes, stream_of(file)) == bytes;
}

bool platform_close(PlatformFile* file) { return fclose(stream_of(file)) == 0; }

void* platform_allocate(size_t bytes) {
  if (allocations_until_failure > 0 && --allocations_until_failure == 0) return nullptr;
  // Picture-sized blocks are touched whole, once: on huge pages that costs one fault per 2 MiB
  // instead of one per 4 KiB.
  constexpr size_t huge_page = size_t{2} << 20;
  void* block = nullptr;
  if (bytes >= 4 * huge_page) {
    if (posix_memalign(&block, huge_page, bytes) != 0) block = nullptr;
    if (block != nullptr) madvise(block, bytes & ~(huge_page - 1), MADV_HUGEPAGE);
  } else {
    block = malloc(bytes == 0 ? 1 : bytes);
  }
  if (block != nullptr) ++live_allocations;
  return block;
}

void platform_release(void* block) {
  if (block == nullptr) return;
  --live_allocations;
  free(block);
}

int32_t platform_wide_length(const char16_t* wide) {
  int32_t length = 0;
  while (wide[length] != 0) ++length;
  return length;
}

size_t platform_narrow_capacity(int32_t length) {
  // A UTF-16 unit needs at most 3 UTF-8 bytes; a surrogate pair needs 4 for its 2 units.
  return (static_cast<size_t>(length) + 1) * 3;
}

void platform_wide_to_narrow(const char16_t* wide, char* narrow, size_t capacity) {
  if (capacity == 0) return;
  size_t out = 0;
  for (size_t i = 0; wide[i] != 0; ++i) {
    uint32_t code = wide[i];
    if (code >= 0xD800 && code <= 0xDBFF && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (wide[i + 1] - 0xDC00u);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    uint8_t bytes[4];
    size_t count = 0;
    if (code < 0x80) {
      bytes[count++] = static_cast<uint8_t>(code);
    } else if (code < 0x800) {
      bytes[count++] = static_cast<uint8_t>(0xC0 | code >> 6);
      bytes[count++] = static_cast<uint8_t>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      bytes[count++] = static_cast<uint8_t>(0xE0 | code >> 12);
      bytes[count++] = static_cast<uint8_t>(0x80 | (code >> 6 & 0x3F));
      bytes[count++] = static_cast<uint8_t>(0x80 | (code & 0x3F));
    } else {
      bytes[count++] = static_cast<uint8_t>(0xF0 | code >> 18);
      bytes[count++] = static_cast<uint8_t>(0x80 | (code >> 12 & 0x3F));
      bytes[count++] = static_cast<uint8_t>(0x80 | (code >> 6 & 0x3F));
      bytes[count++] = static_cast<uint8_t>(0x80 | (code & 0x3F));
    }
    if (out + count >= capacity) break;
    memcpy(narrow + out, bytes, count);
    out += count;
  }
  narrow[out] = '\0';
}

void platform_console_print(const char* message) { fputs(message, stderr); }

void platform_console_follow_up() {
  fputc('\n', stderr);
  fflush(stderr);
}

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

void platform_fail_allocation(int32_t nth) { allocations_until_failure = nth; }
void platform_fail_writes_after(int64_t bytes) { write_budget_bytes = bytes; }
int32_t platform_live_allocations() { return live_allocations; }

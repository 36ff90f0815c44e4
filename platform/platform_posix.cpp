// The platform's file routines over POSIX: opening streams and replacing output files.
//
// An output is judged by what stands at its path, looked at with lstat and never opened, so no
// device's open is triggered and no FIFO blocks. The path is walked part by part, following
// symbolic links hop by hop as the system would, except one that another user planted in a
// sticky world-writable folder, wherever on the path it stands; nor is a file that another
// user planted in a shared sticky folder replaced. The new file is written unnamed (O_TMPFILE)
// in the folder of the file it replaces and linked in when complete, or, where the file system
// cannot, under a random name only this call removes.

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/test_hooks.h"

namespace {

constexpr int32_t max_link_hops = 40;  // where the kernel, too, reports a loop
constexpr size_t path_bytes = 4096;    // PATH_MAX on Linux, terminator included
constexpr size_t name_bytes = sizeof PendingFile::name;
constexpr int32_t name_attempts = 8;
#if defined(O_PATH)
constexpr int folder_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;  // needs no read permission
#else
constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Set once by a test, read by every call: atomic so that no call races the setter.
#if defined(BMPSEPIA_TEST_HOOKS)
std::atomic<bool> named_temporaries{false};
#endif

FILE* stream_of(PlatformFile* file) { return reinterpret_cast<FILE*>(file); }

// ".bmpsepia-" and 16 hex digits from the system's random source: no other user can guess it
// to take it first, and two calls at once never pick the same one but by a 2^-64 chance.
bool make_temp_name(char (&name)[sizeof PendingFile::temp_name]) {
  uint8_t random[8];
  if (getentropy(random, sizeof random) != 0) return false;
  char* out = name;
  for (const char* c = ".bmpsepia-"; *c != '\0'; ++c) *out++ = *c;
  for (const uint8_t byte : random) {
    *out++ = "0123456789abcdef"[byte >> 4];
    *out++ = "0123456789abcdef"[byte & 15];
  }
  memcpy(out, ".tmp", 5);
  return true;
}

// The kernel's rule when fs.protected_symlinks is on, applied here because it may be off: in a
// sticky world-writable folder, only the caller's links and those of the folder's owner are
// followed, so nobody can point another user's output at a file of their choosing.
bool is_planted_link(int folder, const struct stat& link) {
  struct stat dir;
  if (fstat(folder, &dir) != 0) return true;
  const uid_t caller = geteuid();
  return (dir.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && link.st_uid != caller &&
         link.st_uid != dir.st_uid;
}

bool give_up(int folder) {
  if (folder >= 0) close(folder);
  return false;
}

// Finds the directory entry that writing `path` replaces: pending->folder and pending->name,
// and what stands there in `info` (st_mode 0 when nothing). The path is walked part by part,
// as the kernel would, but a symbolic link met anywhere on it, as a folder or as the last part,
// is looked at before it is followed, so the rule against planted links holds for each; at
// most max_link_hops in all. False when the output must be refused: a dangling link, a loop, a
// planted link, a folder that cannot be reached, a path that ends in a slash.
bool find_entry(const char* path, PendingFile* pending, struct stat* info) {
  char text[path_bytes];  // what is left to walk starts at text[at]
  size_t length = strlen(path);
  if (length >= sizeof text) return false;
  memcpy(text, path, length + 1);
  size_t at = 0;
  int folder = open(text[0] == '/' ? "/" : ".", folder_flags);
  int32_t hops = 0;
  bool named_by_link = false;  // the last part came from a link's text
  for (;;) {
    if (folder < 0) return false;
    while (text[at] == '/') ++at;
    size_t end = at;
    while (text[end] != '\0' && text[end] != '/') ++end;
    size_t after = end;
    while (text[after] == '/') ++after;
    const bool last = text[after] == '\0';
    // "a/b.bmp/" (or "/") names a folder, never a file to write.
    if (end == at || (last && after != end)) return give_up(folder);
    const size_t part_length = end - at;
    if (part_length >= name_bytes) return give_up(folder);
    char part[name_bytes];
    memcpy(part, text + at, part_length);
    part[part_length] = '\0';
    if (fstatat(folder, part, info, AT_SYMLINK_NOFOLLOW) != 0) {
      // Nothing there is a file to create; a link to nothing is refused, not followed.
      if (!last || errno != ENOENT || named_by_link) return give_up(folder);
      info->st_mode = 0;
    }
    if (info->st_mode == 0 || (last && !S_ISLNK(info->st_mode))) {
      pending->folder = folder;
      memcpy(pending->name, part, part_length + 1);
      return true;
    }
    if (S_ISLNK(info->st_mode)) {
      if (++hops > max_link_hops || is_planted_link(folder, *info)) return give_up(folder);
      char target[path_bytes];
      const ssize_t bytes = readlinkat(folder, part, target, sizeof target);
      const size_t rest = length - end;  // what follows the link, from its slash
      if (bytes <= 0 || static_cast<size_t>(bytes) + rest >= sizeof text) return give_up(folder);
      // The link's text takes its place; a relative one is read from the link's folder.
      const auto target_length = static_cast<size_t>(bytes);
      memmove(text + target_length, text + end, rest + 1);
      memcpy(text, target, target_length);
      length = target_length + rest;
      at = 0;
      named_by_link = named_by_link || last;
      if (text[0] == '/') {
        close(folder);
        folder = open("/", folder_flags);
      }
      continue;
    }
    // A folder on the way, opened without following: a link put in its place since it was
    // looked at is refused, not followed unchecked.
    const int next = openat(folder, part, folder_flags | O_NOFOLLOW);
    close(folder);
    folder = next;
    at = end;
  }
}

// Whether the caller may replace the regular file found: write it, as opening it would ask
// (root may write a read-only file, as cp does), and rename over it, which a sticky folder
// allows only to the file's owner, the folder's owner and root; and it is no planted file.
bool may_replace(const PendingFile& pending, const struct stat& info) {
  if (faccessat(pending.folder, pending.name, W_OK, AT_EACCESS) != 0) return false;
  struct stat dir;
  if (fstat(pending.folder, &dir) != 0) return false;
  const uid_t caller = geteuid();
  const bool sticky = (dir.st_mode & S_ISVTX) != 0;
  // The kernel's rule when fs.protected_regular is 2, applied here because it may be off: in a
  // sticky folder that others may write, a file of neither the caller nor the folder's owner
  // may be a trap laid for the caller (a file of the planter's, open to all), root included.
  if (sticky && (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0 && info.st_uid != caller &&
      info.st_uid != dir.st_uid) {
    return false;
  }
  return !sticky || caller == 0 || info.st_uid == caller || dir.st_uid == caller;
}

// The permissions a plain create in `folder` gives: 0666 less the umask, or what the folder's
// default ACL says. Asked of an empty file made for the purpose, never of umask(), which would
// change the mask of the whole process while other threads create files.
bool creation_mode(int folder, int32_t* mode) {
  char probe[sizeof PendingFile::temp_name];
  for (int32_t attempt = 0; attempt < name_attempts; ++attempt) {
    if (!make_temp_name(probe)) return false;
    const int fd =
        openat(folder, probe, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    struct stat info;
    const bool known = fstat(fd, &info) == 0;
    close(fd);
    unlinkat(folder, probe, 0);
    if (known) *mode = static_cast<int32_t>(info.st_mode & 07777);
    return known;
  }
  return false;
}

#if defined(O_TMPFILE)
// An unnamed file in the folder, already 0600, or -1. It is used only where it can be linked in
// later through /proc/self/fd, which needs no privilege.
int create_unnamed(int folder, int32_t* mode) {
#if defined(BMPSEPIA_TEST_HOOKS)
  if (named_temporaries.load(std::memory_order_relaxed)) return -1;
#endif
  const int fd = openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  // Created 0666 so that the system applies the umask or default ACL, read back, then made
  // private before a byte is written; unnamed, nobody else could open it meanwhile.
  char self[32];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  struct stat info;
  struct stat seen;
  if (fstat(fd, &info) == 0 && stat(self, &seen) == 0 && seen.st_ino == info.st_ino &&
      seen.st_dev == info.st_dev && fchmod(fd, 0600) == 0) {
    *mode = static_cast<int32_t>(info.st_mode & 07777);
    return fd;
  }
  close(fd);
  return -1;
}
#endif

// The new file, private (0600) to the caller: unnamed where the system allows, else under a
// random name made exclusively. Sets pending->mode to a plain create's mode when nothing is
// to be replaced (pending->owner < 0).
int create_temp(PendingFile* pending) {
  int32_t mode = 0;
#if defined(O_TMPFILE)
  const int unnamed = create_unnamed(pending->folder, &mode);
  if (unnamed >= 0) {
    if (pending->owner < 0) pending->mode = mode;
    return unnamed;
  }
#endif
  if (pending->owner < 0) {
    if (!creation_mode(pending->folder, &mode)) return -1;
    pending->mode = mode;
  }
  for (int32_t attempt = 0; attempt < name_attempts; ++attempt) {
    if (!make_temp_name(pending->temp_name)) break;
    const int fd = openat(pending->folder, pending->temp_name,
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  pending->temp_name[0] = '\0';
  return -1;
}

// Gives the complete file the replaced file's owner and group where the caller may set them
// (root may; an ordinary user may give a group of their own), then its final permissions. A
// set-user-ID or set-group-ID bit stays only with the owner or group it was meant for.
bool set_final_attributes(int fd, const PendingFile& pending) {
  auto mode = static_cast<mode_t>(pending.mode);
  if (pending.owner >= 0) {
    const auto owner = static_cast<uid_t>(pending.owner);
    const auto group = static_cast<gid_t>(pending.group);
    struct stat now;
    if (fstat(fd, &now) != 0) return false;
    if (now.st_uid != owner || now.st_gid != group) {
      const bool changed = fchown(fd, owner, group) == 0 || fchown(fd, now.st_uid, group) == 0;
      if (changed && fstat(fd, &now) != 0) return false;
    }
    if (now.st_uid != owner) mode &= ~mode_t{S_ISUID};
    if (now.st_gid != group) mode &= ~mode_t{S_ISGID};
  }
  return fchmod(fd, mode) == 0;
}

// Gives the unnamed file a random name in its folder, from which it is renamed at once.
bool link_unnamed(int fd, PendingFile* pending) {
  char self[32];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  for (int32_t attempt = 0; attempt < name_attempts; ++attempt) {
    if (!make_temp_name(pending->temp_name)) break;
    if (linkat(AT_FDCWD, self, pending->folder, pending->temp_name, AT_SYMLINK_FOLLOW) == 0) {
      return true;
    }
    if (errno != EEXIST) break;
  }
  pending->temp_name[0] = '\0';
  return false;
}

// What stands at the output may have changed since it was looked at: a device, FIFO or socket
// put there meanwhile is not replaced. A link is, itself, never what it points to.
bool special_file_at(const PendingFile& pending) {
  struct stat info;
  if (fstatat(pending.folder, pending.name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode);
}

// After the rename, for a durable file: the folder's entry reaches the disk. A folder the caller
// may not read cannot be flushed alone; then the whole file system is, through the file.
bool sync_folder(int folder, int file) {
  const int readable = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (readable >= 0) {
    const bool synced = fsync(readable) == 0;
    close(readable);
    return synced;
  }
#if defined(__linux__)
  return syncfs(file) == 0;
#else
  (void)file;
  sync();
  return true;
#endif
}

void forget_pending(PendingFile* pending) {
  if (pending->folder >= 0) close(pending->folder);
  *pending = PendingFile{};
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

bool platform_begin_replace(const char* path, PendingFile* pending, bool durable) {
  *pending = PendingFile{};
  pending->durable = durable;
  if (path == nullptr || path[0] == '\0') return false;
  struct stat info;
  if (!find_entry(path, pending, &info) ||
      (info.st_mode != 0 && (!S_ISREG(info.st_mode) || !may_replace(*pending, info)))) {
    forget_pending(pending);
    return false;
  }
  if (info.st_mode != 0) {
    pending->mode = static_cast<int32_t>(info.st_mode & 07777);
    pending->owner = info.st_uid;
    pending->group = info.st_gid;
  }
  const int fd = create_temp(pending);
  FILE* stream = fd < 0 ? nullptr : fdopen(fd, "wb");
  if (stream == nullptr) {
    if (fd >= 0) close(fd);
    if (pending->temp_name[0] != '\0') unlinkat(pending->folder, pending->temp_name, 0);
    forget_pending(pending);
    return false;
  }
  pending->stream = reinterpret_cast<PlatformFile*>(stream);
  return true;
}

bool platform_commit_replace(PendingFile* pending) {
  FILE* stream = stream_of(pending->stream);
  const int fd = fileno(stream);
  const bool durable = pending->durable;
  // Flushed once the attributes are set, so that they reach the disk with the data.
  bool ok =
      fflush(stream) == 0 && set_final_attributes(fd, *pending) && (!durable || fsync(fd) == 0);
  const int kept = ok && durable ? dup(fd) : -1;  // for a folder that cannot be opened to flush
  if (ok && pending->temp_name[0] == '\0') ok = link_unnamed(fd, pending);
  ok = fclose(stream) == 0 && ok;  // before the rename: a network file system reports here
  ok = ok && !special_file_at(*pending) &&
       renameat(pending->folder, pending->temp_name, pending->folder, pending->name) == 0;
  if (!ok && pending->temp_name[0] != '\0') unlinkat(pending->folder, pending->temp_name, 0);
  if (ok && durable) ok = kept >= 0 && sync_folder(pending->folder, kept);
  if (kept >= 0) close(kept);
  forget_pending(pending);
  return ok;
}

void platform_abort_replace(PendingFile* pending) {
  fclose(stream_of(pending->stream));
  if (pending->temp_name[0] != '\0') unlinkat(pending->folder, pending->temp_name, 0);
  forget_pending(pending);
}

#if defined(BMPSEPIA_TEST_HOOKS)
void platform_name_temporaries(bool on) { named_temporaries.store(on, std::memory_order_relaxed); }
#endif

bool platform_write_at(const void* source, size_t bytes, int64_t offset, PlatformFile* file) {
#if defined(BMPSEPIA_TEST_HOOKS)
  if (platform_write_fails(bytes)) return false;
#endif
  const int fd = fileno(stream_of(file));
  const auto* at = static_cast<const uint8_t*>(source);
  while (bytes > 0) {
    const ssize_t n = pwrite(fd, at, bytes, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    bytes -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

struct PlatformThread {
  pthread_t thread;
  void (*run)(void* context);
  void* context;
};

namespace {

void* run_thread(void* record) {
  auto* thread = static_cast<PlatformThread*>(record);
  thread->run(thread->context);
  return nullptr;
}

}  // namespace

PlatformThread* platform_start_thread(void (*run)(void* context), void* context) {
#if defined(BMPSEPIA_TEST_HOOKS)
  if (platform_threads_fail()) return nullptr;
#endif
  auto* thread = static_cast<PlatformThread*>(platform_allocate(sizeof(PlatformThread)));
  if (thread == nullptr) return nullptr;
  thread->run = run;
  thread->context = context;
  if (pthread_create(&thread->thread, nullptr, run_thread, thread) != 0) {
    platform_release(thread);
    return nullptr;
  }
  return thread;
}

void platform_join_thread(PlatformThread* thread) {
  pthread_join(thread->thread, nullptr);
  platform_release(thread);
}

int32_t platform_cpu_count() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int32_t>(online) : 1;
}

struct PlatformSignal {
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  int32_t count;
  bool ended;
};

PlatformSignal* platform_new_signal() {
  auto* signal = static_cast<PlatformSignal*>(platform_allocate(sizeof(PlatformSignal)));
  if (signal == nullptr) return nullptr;
  pthread_mutex_init(&signal->mutex, nullptr);
  pthread_cond_init(&signal->changed, nullptr);
  signal->count = 0;
  signal->ended = false;
  return signal;
}

void platform_delete_signal(PlatformSignal* signal) {
  if (signal == nullptr) return;
  pthread_cond_destroy(&signal->changed);
  pthread_mutex_destroy(&signal->mutex);
  platform_release(signal);
}

void platform_raise_signal(PlatformSignal* signal, int32_t count) {
  pthread_mutex_lock(&signal->mutex);
  if (count > signal->count) signal->count = count;
  pthread_cond_broadcast(&signal->changed);
  pthread_mutex_unlock(&signal->mutex);
}

void platform_end_signal(PlatformSignal* signal) {
  pthread_mutex_lock(&signal->mutex);
  signal->ended = true;
  pthread_cond_broadcast(&signal->changed);
  pthread_mutex_unlock(&signal->mutex);
}

int32_t platform_wait_signal(PlatformSignal* signal, int32_t seen, bool* ended) {
  pthread_mutex_lock(&signal->mutex);
  while (signal->count <= seen && !signal->ended) {
    pthread_cond_wait(&signal->changed, &signal->mutex);
  }
  const int32_t count = signal->count;
  *ended = signal->ended;
  pthread_mutex_unlock(&signal->mutex);
  return count;
}

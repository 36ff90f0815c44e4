// The platform's file routines over the Windows C runtime: opening streams and replacing output
// files. Paths arrive as UTF-8 and reach the wide-character routines as UTF-16, so a name
// outside the ANSI code page (Chinese, emoji) opens like any other.
//
// An output is judged before anything is opened: a device name (CON, NUL, COM1...) or a path
// in the device namespace is refused, as are a folder, a read-only file and any reparse point
// but a link to a file, whose target is replaced and the link kept. The new file is written
// under a random name, shared with no one while it is written, and moved over the output.

#define _CRT_RAND_S  // rand_s: the system's random source, through msvcrt

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/test_hooks.h"

namespace {

constexpr int32_t name_attempts = 8;

FILE* stream_of(PlatformFile* file) { return reinterpret_cast<FILE*>(file); }

// The UTF-16 form of a UTF-8 path in a block of its own, or null when no memory is left.
wchar_t* wide_path(const char* path) {
  const int units = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  auto* wide = static_cast<wchar_t*>(malloc(sizeof(wchar_t) * static_cast<size_t>(units)));
  if (wide == nullptr) return nullptr;
  if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, units) != units) {
    free(wide);
    return nullptr;
  }
  return wide;
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Units before the last part of the path.
size_t folder_length(const wchar_t* path) {
  size_t length = 0;
  for (size_t i = 0; path[i] != 0; ++i) {
    if (is_separator(path[i]) || path[i] == L':') length = i + 1;
  }
  return length;
}

wchar_t upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }

// Whether `path` names a device rather than a file: a path in the device namespace (\\.\), or
// a last part that is a device's name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with superscript
// 1-3 too, CONIN$, CONOUT$), which Windows takes whatever extension or trailing spaces follow.
bool names_a_device(const wchar_t* path) {
  if (is_separator(path[0]) && is_separator(path[1]) && path[2] == L'.' && is_separator(path[3])) {
    return true;
  }
  const wchar_t* base = path + folder_length(path);
  size_t length = 0;
  while (base[length] != 0 && base[length] != L'.') ++length;
  while (length > 0 && base[length - 1] == L' ') --length;
  const wchar_t* const names[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* name : names) {
    size_t i = 0;
    while (i < length && name[i] != 0 && upper(base[i]) == name[i]) ++i;
    if (i == length && name[i] == 0) return true;
  }
  if (length != 4) return false;
  const bool com = upper(base[0]) == L'C' && upper(base[1]) == L'O' && upper(base[2]) == L'M';
  const bool lpt = upper(base[0]) == L'L' && upper(base[1]) == L'P' && upper(base[2]) == L'T';
  const wchar_t digit = base[3];
  return (com || lpt) && ((digit >= L'1' && digit <= L'9') || digit == L'\u00B9' ||
                          digit == L'\u00B2' || digit == L'\u00B3');
}

// What stands at `path`, not followed if it is a reparse point: its attributes and reparse
// tag. False when nothing does.
bool look_at(const wchar_t* path, DWORD* attributes, DWORD* tag) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW(path, &entry);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  *attributes = entry.dwFileAttributes;
  *tag = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? entry.dwReserved0 : 0;
  return true;
}

// The file a link to a file leads to, as a path of its own, or null when it leads nowhere or to
// anything but a plain file on a disk. Opened for its attributes only.
wchar_t* link_target(const wchar_t* link) {
  const HANDLE file = CreateFileW(link, FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  wchar_t* target = nullptr;
  const DWORD units = GetFinalPathNameByHandleW(file, nullptr, 0, VOLUME_NAME_DOS);
  if (GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
      units > 0) {
    target = static_cast<wchar_t*>(malloc(sizeof(wchar_t) * units));
    if (target != nullptr &&
        GetFinalPathNameByHandleW(file, target, units, VOLUME_NAME_DOS) >= units) {
      free(target);
      target = nullptr;
    }
  }
  CloseHandle(file);
  return target;
}

// Whether the regular file at `path` may be replaced: not read-only, and openable for writing
// (no other program holds it against that, the ACL allows it). The attributes are asked first:
// an administrator's open, as wine's under root, may succeed on a read-only file.
bool may_replace(const wchar_t* path, DWORD attributes) {
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) return false;
  const HANDLE probe =
      CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return false;
  const bool disk_file = GetFileType(probe) == FILE_TYPE_DISK;
  CloseHandle(probe);
  return disk_file;
}

// Decides what to write over: `*final_path` itself, or for a link to a file its target, which
// then replaces `*final_path`. False when the output must be refused.
bool find_output(wchar_t** final_path) {
  if (names_a_device(*final_path)) return false;
  // Wildcards are in no file name, and would make the look below a search; the prefix of long
  // paths (\\?\) is the one place a question mark belongs.
  const wchar_t* rest = *final_path;
  if (is_separator(rest[0]) && is_separator(rest[1]) && rest[2] == L'?' && is_separator(rest[3])) {
    rest += 4;
  }
  for (const wchar_t* c = rest; *c != 0; ++c) {
    if (*c == L'*' || *c == L'?') return false;
  }
  DWORD attributes = 0;
  DWORD tag = 0;
  if (!look_at(*final_path, &attributes, &tag)) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (tag != IO_REPARSE_TAG_SYMLINK || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return false;
    }
    wchar_t* target = link_target(*final_path);
    if (target == nullptr) return false;
    free(*final_path);
    *final_path = target;
    if (!look_at(*final_path, &attributes, &tag)) return false;
  }
  return may_replace(*final_path, attributes);
}

// Creates a file under a random name in the folder of `final_path`, shared with no one: until
// it is closed, complete, nobody else can open it. The name has a fixed length, so it fits
// wherever the final name does.
HANDLE create_temp_beside(const wchar_t* final_path, wchar_t** temp_path) {
  const size_t dir_length = folder_length(final_path);
  const size_t units = dir_length + 32;
  auto* name = static_cast<wchar_t*>(malloc(sizeof(wchar_t) * units));
  if (name == nullptr) return INVALID_HANDLE_VALUE;
  memcpy(name, final_path, sizeof(wchar_t) * dir_length);
  for (int32_t attempt = 0; attempt < name_attempts; ++attempt) {
    unsigned int random[2];
    if (rand_s(&random[0]) != 0 || rand_s(&random[1]) != 0) break;
    wchar_t* out = name + dir_length;
    for (const wchar_t* c = L".bmpsepia-"; *c != 0; ++c) *out++ = *c;
    for (const unsigned int word : random) {
      for (int32_t shift = 28; shift >= 0; shift -= 4)
        *out++ = L"0123456789abcdef"[word >> shift & 15];
    }
    for (const wchar_t* c = L".tmp"; *c != 0; ++c) *out++ = *c;
    *out = 0;
    const HANDLE file =
        CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      *temp_path = name;
      return file;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  free(name);
  return INVALID_HANDLE_VALUE;
}

void forget_pending(PendingFile* pending) {
  free(pending->temp_path);
  free(pending->final_path);
  *pending = PendingFile{};
}

}  // namespace

PlatformFile* platform_open(const char* path, const char* mode) {
  if (path == nullptr) return nullptr;
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return nullptr;
  wchar_t wide_mode[8] = {};
  for (size_t i = 0; mode[i] != '\0' && i + 1 < sizeof wide_mode / sizeof wide_mode[0]; ++i) {
    wide_mode[i] = static_cast<wchar_t>(mode[i]);
  }
  FILE* stream = _wfopen(wide, wide_mode);
  free(wide);
  if (stream == nullptr) return nullptr;
  // Only regular files: reading a device (CON) or a pipe would wait for a writer.
  struct _stat64 info;
  if (_fstat64(_fileno(stream), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
    fclose(stream);
    return nullptr;
  }
  return reinterpret_cast<PlatformFile*>(stream);
}

void platform_seek(PlatformFile* file, SeekOrigin origin) {
  _fseeki64(stream_of(file), 0, origin == SeekOrigin::end ? SEEK_END : SEEK_SET);
}

int64_t platform_tell(PlatformFile* file) { return _ftelli64(stream_of(file)); }

bool platform_begin_replace(const char* path, PendingFile* pending, bool durable) {
  *pending = PendingFile{};
  pending->durable = durable;
  if (path == nullptr || path[0] == '\0') return false;
  pending->final_path = wide_path(path);
  if (pending->final_path == nullptr || !find_output(&pending->final_path)) {
    forget_pending(pending);
    return false;
  }
  const HANDLE file = create_temp_beside(pending->final_path, &pending->temp_path);
  const int fd = file == INVALID_HANDLE_VALUE
                     ? -1
                     : _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
  FILE* stream = fd < 0 ? nullptr : _fdopen(fd, "wb");
  if (stream == nullptr) {
    if (fd >= 0) {
      _close(fd);
    } else if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
    }
    if (pending->temp_path != nullptr) _wunlink(pending->temp_path);
    forget_pending(pending);
    return false;
  }
  pending->stream = reinterpret_cast<PlatformFile*>(stream);
  return true;
}

bool platform_commit_replace(PendingFile* pending) {
  FILE* stream = stream_of(pending->stream);
  const bool durable = pending->durable;
  bool ok = fflush(stream) == 0 &&
            (!durable ||
             FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) != 0);
  ok = fclose(stream) == 0 && ok;
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
  ok = ok && MoveFileExW(pending->temp_path, pending->final_path, flags) != 0;
  if (!ok) _wunlink(pending->temp_path);
  forget_pending(pending);
  return ok;
}

void platform_abort_replace(PendingFile* pending) {
  fclose(stream_of(pending->stream));
  _wunlink(pending->temp_path);
  forget_pending(pending);
}

// Windows always names its temporary files.
#if defined(BMPSEPIA_TEST_HOOKS)
void platform_name_temporaries(bool) {}
#endif

bool platform_write_at(const void* source, size_t bytes, int64_t offset, PlatformFile* file) {
#if defined(BMPSEPIA_TEST_HOOKS)
  if (platform_write_fails(bytes)) return false;
#endif
  // Through the handle, at its own offset, so that two threads may write one file at once.
  FILE* stream = stream_of(file);
  if (fflush(stream) != 0) return false;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  const auto* at = static_cast<const uint8_t*>(source);
  while (bytes > 0) {
    const DWORD chunk = bytes > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes);
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
    place.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD written = 0;
    if (!WriteFile(handle, at, chunk, &written, &place) || written == 0) return false;
    at += written;
    bytes -= written;
    offset += written;
  }
  return true;
}

struct PlatformThread {
  HANDLE handle;
  void (*run)(void* context);
  void* context;
};

namespace {

DWORD WINAPI run_thread(void* record) {
  auto* thread = static_cast<PlatformThread*>(record);
  thread->run(thread->context);
  return 0;
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
  thread->handle = CreateThread(nullptr, 0, run_thread, thread, 0, nullptr);
  if (thread->handle == nullptr) {
    platform_release(thread);
    return nullptr;
  }
  return thread;
}

void platform_join_thread(PlatformThread* thread) {
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
  platform_release(thread);
}

int32_t platform_cpu_count() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int32_t>(info.dwNumberOfProcessors) : 1;
}

struct PlatformSignal {
  SRWLOCK lock;
  CONDITION_VARIABLE changed;
  int32_t count;
  bool ended;
};

PlatformSignal* platform_new_signal() {
  auto* signal = static_cast<PlatformSignal*>(platform_allocate(sizeof(PlatformSignal)));
  if (signal == nullptr) return nullptr;
  InitializeSRWLock(&signal->lock);
  InitializeConditionVariable(&signal->changed);
  signal->count = 0;
  signal->ended = false;
  return signal;
}

void platform_delete_signal(PlatformSignal* signal) { platform_release(signal); }

void platform_raise_signal(PlatformSignal* signal, int32_t count) {
  AcquireSRWLockExclusive(&signal->lock);
  if (count > signal->count) signal->count = count;
  ReleaseSRWLockExclusive(&signal->lock);
  WakeAllConditionVariable(&signal->changed);
}

void platform_end_signal(PlatformSignal* signal) {
  AcquireSRWLockExclusive(&signal->lock);
  signal->ended = true;
  ReleaseSRWLockExclusive(&signal->lock);
  WakeAllConditionVariable(&signal->changed);
}

int32_t platform_wait_signal(PlatformSignal* signal, int32_t seen, bool* ended) {
  AcquireSRWLockExclusive(&signal->lock);
  while (signal->count <= seen && !signal->ended) {
    SleepConditionVariableSRW(&signal->changed, &signal->lock, INFINITE, 0);
  }
  const int32_t count = signal->count;
  *ended = signal->ended;
  ReleaseSRWLockExclusive(&signal->lock);
  return count;
}

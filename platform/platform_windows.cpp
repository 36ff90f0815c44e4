// The platform's file routines over the Windows C runtime: opening streams and replacing output
// files. Paths arrive as UTF-8 and reach the wide-character routines as UTF-16, so a name
// outside the ANSI code page (Chinese, emoji) opens like any other.

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

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

// Creates a new, unique file in the directory of `final_path`. The name has a fixed length, so
// it fits wherever the final name does.
int create_temp_beside(const wchar_t* final_path, wchar_t** temp_path) {
  size_t dir_length = 0;
  for (size_t i = 0; final_path[i] != 0; ++i) {
    if (final_path[i] == L'\\' || final_path[i] == L'/' || final_path[i] == L':') {
      dir_length = i + 1;
    }
  }
  const size_t units = dir_length + 32;
  auto* name = static_cast<wchar_t*>(malloc(sizeof(wchar_t) * units));
  if (name == nullptr) return -1;
  memcpy(name, final_path, sizeof(wchar_t) * dir_length);
  static uint32_t counter = 0;
  for (int32_t attempt = 0; attempt < 100; ++attempt) {
    const uint32_t salt = static_cast<uint32_t>(GetCurrentProcessId()) * 2654435761u ^
                          static_cast<uint32_t>(GetTickCount()) ^ (++counter * 40503u);
    wchar_t* out = name + dir_length;
    for (const wchar_t* c = L".bmpsepia-"; *c != 0; ++c) *out++ = *c;
    for (int32_t shift = 28; shift >= 0; shift -= 4)
      *out++ = L"0123456789abcdef"[salt >> shift & 15];
    for (const wchar_t* c = L".tmp"; *c != 0; ++c) *out++ = *c;
    *out = 0;
    const int fd = _wopen(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE);
    if (fd >= 0) {
      *temp_path = name;
      return fd;
    }
    if (errno != EEXIST) break;
  }
  free(name);
  return -1;
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

bool platform_begin_replace(const char* path, PendingFile* pending) {
  *pending = PendingFile{};
  if (path == nullptr || path[0] == '\0') return false;
  wchar_t* final_path = wide_path(path);
  if (final_path == nullptr) return false;
  // Refuse what opening the file for writing would refuse (a directory, a read-only file, one
  // that another program holds), without touching its contents. The attributes are asked
  // first: an administrator's open, as wine's under root, may succeed on a read-only file.
  const DWORD attributes = GetFileAttributesW(final_path);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    free(final_path);
    return false;
  }
  const HANDLE probe =
      CreateFileW(final_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
    free(final_path);
    return false;
  }
  wchar_t* temp_path = nullptr;
  const int fd = create_temp_beside(final_path, &temp_path);
  if (fd < 0) {
    free(final_path);
    return false;
  }
  FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) {
    _close(fd);
    _wunlink(temp_path);
    free(temp_path);
    free(final_path);
    return false;
  }
  pending->stream = reinterpret_cast<PlatformFile*>(stream);
  pending->temp_path = temp_path;
  pending->final_path = final_path;
  return true;
}

bool platform_commit_replace(PendingFile* pending) {
  bool ok = fclose(stream_of(pending->stream)) == 0;
  ok = ok && MoveFileExW(pending->temp_path, pending->final_path, MOVEFILE_REPLACE_EXISTING) != 0;
  if (!ok) _wunlink(pending->temp_path);
  forget_pending(pending);
  return ok;
}

void platform_abort_replace(PendingFile* pending) {
  fclose(stream_of(pending->stream));
  _wunlink(pending->temp_path);
  forget_pending(pending);
}

// The tool's questions to Windows. Paths arrive as UTF-8 and reach the wide-character routines
// as UTF-16, never through the ANSI code page; text for the console goes out as UTF-16 too.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "cli/system.h"

namespace {

std::wstring wide(const std::string& utf8) {
  const int units =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(units > 0 ? units : 0), L'\0');
  if (units > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), units);
  }
  return text;
}

std::string narrow(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return "";
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
  out.pop_back();
  return out;
}

// The system's words for an error, without the closing full stop and line end.
std::string error_text(DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return strerror(ENOENT);
  wchar_t* text = nullptr;
  const DWORD units = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = units > 0 ? narrow(text) : "error " + std::to_string(error);
  LocalFree(text);
  while (!out.empty() &&
         (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
    out.pop_back();
  }
  return out;
}

HANDLE handle_of(StandardStream stream) {
  return GetStdHandle(stream == StandardStream::input    ? STD_INPUT_HANDLE
                      : stream == StandardStream::output ? STD_OUTPUT_HANDLE
                                                         : STD_ERROR_HANDLE);
}

FileId id_of(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) return {};
  return FileId{info.dwVolumeSerialNumber,
                uint64_t{info.nFileIndexHigh} << 32 | uint64_t{info.nFileIndexLow}};
}

// Opened for its attributes only, links followed, folders too; shared with everyone.
HANDLE open_to_look(const std::string& path) {
  return CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::string folder_of(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && !is_path_separator(path[end - 1])) --end;
  return end == 0 ? "." : path.substr(0, end);
}

}  // namespace

FileId file_id(const std::string& path) {
  const HANDLE file = open_to_look(path);
  if (file == INVALID_HANDLE_VALUE) return {};
  const FileId id = id_of(file);
  CloseHandle(file);
  return id;
}

FileId standard_stream_id(StandardStream stream) {
  BY_HANDLE_FILE_INFORMATION info;
  const HANDLE handle = handle_of(stream);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return {};
  }
  return id_of(handle);
}

PathKind path_kind(const std::string& path) {
  const HANDLE file = open_to_look(path);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::folder : PathKind::regular;
  }
  BY_HANDLE_FILE_INFORMATION info;
  PathKind kind = PathKind::other;  // a device: CON, NUL, a pipe
  if (GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info)) {
    kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::folder
                                                                   : PathKind::regular;
  }
  CloseHandle(file);
  return kind;
}

bool is_up_to_date(const std::string& output, const std::string& input) {
  WIN32_FILE_ATTRIBUTE_DATA made;
  WIN32_FILE_ATTRIBUTE_DATA source;
  if (!GetFileAttributesExW(wide(output).c_str(), GetFileExInfoStandard, &made) ||
      (made.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      !GetFileAttributesExW(wide(input).c_str(), GetFileExInfoStandard, &source)) {
    return false;
  }
  return CompareFileTime(&made.ftLastWriteTime, &source.ftLastWriteTime) >= 0;
}

bool list_folder(const std::string& path, std::vector<FolderEntry>* entries, std::string* error) {
  std::string pattern = path;
  if (!pattern.empty() && !is_path_separator(pattern.back())) pattern += '\\';
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileExW(wide(pattern + "*").c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;  // the root of an empty drive
    *error = error_text(code);
    return false;
  }
  do {
    if (found.cFileName[0] == L'.') continue;
    const DWORD attributes = found.dwFileAttributes;
    FolderEntry entry;
    entry.name = narrow(found.cFileName);
    // A reparse point that is a folder (a link, a junction) is not followed, as on POSIX.
    entry.folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                   (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    entry.file = (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    entries->push_back(std::move(entry));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return true;
}

std::string make_folders(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(wide(path)), error);
  if (!error || path_kind(path) == PathKind::folder) return "";
  return error.category() == std::system_category() ? error_text(static_cast<DWORD>(error.value()))
                                                    : error.message();
}

// Whether a file may be made in a folder is known only by making one: each output tells its own.
std::string folder_write_problem(const std::string&) { return ""; }

std::string explain_input_failure(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return error_text(GetLastError());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return strerror(EISDIR);
  const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return error_text(GetLastError());
  const bool disk = GetFileType(file) == FILE_TYPE_DISK;
  CloseHandle(file);
  return disk ? "" : "not a regular file";
}

namespace {

// A standard stream in binary mode: text mode would turn every 0x0A byte written into 0x0D 0x0A
// and end a read at the first 0x1A. False for a program started without it (a GUI or detached
// process).
bool binary_stream(FILE* stream) {
  const int fd = _fileno(stream);
  if (fd < 0) return false;
  const intptr_t handle = _get_osfhandle(fd);
  return handle != -1 && handle != -2 && _setmode(fd, _O_BINARY) != -1;
}

}  // namespace

bool read_file_bytes(const std::string& path, size_t limit, std::vector<uint8_t>* bytes,
                     bool* longer) {
  FILE* file = _wfopen(wide(path).c_str(), L"rb");
  if (file == nullptr) return false;
  const bool sized = _fseeki64(file, 0, SEEK_END) == 0;
  const int64_t size = sized ? _ftelli64(file) : -1;
  if (size < 0 || _fseeki64(file, 0, SEEK_SET) != 0) {
    fclose(file);
    return false;
  }
  *longer = static_cast<uint64_t>(size) > limit;
  bytes->resize(*longer ? 0 : static_cast<size_t>(size));
  bytes->resize(fread(bytes->data(), 1, bytes->size(), file));
  fclose(file);
  return true;
}

bool standard_input_readable() { return binary_stream(stdin); }

size_t read_standard_input(void* into, size_t capacity) {
  return binary_stream(stdin) ? fread(into, 1, capacity, stdin) : 0;
}

bool write_standard_output(const void* bytes, size_t count) {
  return binary_stream(stdout) && fwrite(bytes, 1, count, stdout) == count && fflush(stdout) == 0;
}

std::string explain_standard_input_failure() {
  const HANDLE input = handle_of(StandardStream::input);
  return input == nullptr || input == INVALID_HANDLE_VALUE ? "closed" : "";
}

std::string explain_output_failure(const std::string& path) {
  const PathKind kind = path_kind(path);
  if (kind == PathKind::folder) return strerror(EISDIR);
  if (kind == PathKind::other) return "not a regular file";
  if (kind == PathKind::regular) {
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      return "read-only";
    }
  }
  const DWORD folder = GetFileAttributesW(wide(folder_of(path)).c_str());
  if (folder == INVALID_FILE_ATTRIBUTES) return error_text(GetLastError());
  if ((folder & FILE_ATTRIBUTE_DIRECTORY) == 0) return strerror(ENOTDIR);
  return "";
}

bool is_terminal(StandardStream stream) {
  DWORD mode = 0;
  return GetConsoleMode(handle_of(stream), &mode) != 0;
}

size_t terminal_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(handle_of(StandardStream::error), &info)) return 80;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 1 ? static_cast<size_t>(columns) : 80;
}

// Consoles of Windows 10 and later take the terminal's sequences once asked to; older ones do
// not, and the progress line is then blanked with spaces.
const char* erase_to_line_end() {
  static const bool sequences = [] {
    const HANDLE console = handle_of(StandardStream::error);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) != 0 &&
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
  }();
  return sequences ? "\033[K" : nullptr;
}

void write_stderr(const std::string& text) {
  const HANDLE handle = handle_of(StandardStream::error);
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode) != 0) {
    // The console shows UTF-16 whatever its code page.
    const std::wstring units = wide(text);
    DWORD written = 0;
    for (size_t done = 0; done < units.size(); done += written) {
      if (!WriteConsoleW(handle, units.data() + done, static_cast<DWORD>(units.size() - done),
                         &written, nullptr) ||
          written == 0) {
        return;
      }
    }
    return;
  }
  DWORD written = 0;
  for (size_t done = 0; done < text.size(); done += written) {
    if (!WriteFile(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                   nullptr) ||
        written == 0) {
      return;
    }
  }
}

int32_t default_worker_count() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    int32_t count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count;
  }
  return 1;
}

std::string signal_text(int32_t number) {
  return number == SIGINT ? "Interrupt" : number == SIGTERM ? "Terminated" : "signal";
}

// A drive's colon ends a name's folder part too: "C:photo.jpg" is photo.jpg on drive C.
bool is_path_separator(char c) { return c == '/' || c == '\\' || c == ':'; }

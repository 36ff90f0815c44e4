#pragma once
// What the tool asks of the operating system beyond converting: file identities and kinds,
// folder listings, the standard streams and the console. POSIX in system_posix.cpp, Windows in
// system_windows.cpp. Paths are UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;  // 0 when unknown
  bool known() const { return inode != 0; }
  bool operator==(const FileId&) const = default;
};

enum class StandardStream { input, output, error };
enum class PathKind { missing, folder, regular, other };

struct FolderEntry {
  std::string name;
  bool folder = false;  // a folder itself: links to folders are not followed, so a walk ends
  bool file = false;    // a regular file, a link to one, or a link to nothing (fails when opened)
};

FileId file_id(const std::string& path);  // links followed; unknown when it cannot be reached
FileId standard_stream_id(StandardStream stream);  // known only for a regular file
PathKind path_kind(const std::string& path);       // links followed
// Whether `output` is a regular file modified no earlier than `input`, by modification time
// alone (links followed); false when either cannot be looked at.
bool is_up_to_date(const std::string& output, const std::string& input);
// The entries of a folder whose names do not start with a dot, in no particular order; false
// with the system's reason in `error` when it cannot be read.
bool list_folder(const std::string& path, std::vector<FolderEntry>* entries, std::string* error);
// Creates a folder and those above it; empty, or why it could not.
std::string make_folders(const std::string& path);
// Why files cannot be created in an existing folder, or empty when nothing is found.
std::string folder_write_problem(const std::string& path);
// Why opening a file for reading or creating an output may have failed, as the system says it,
// or empty when nothing is found.
std::string explain_input_failure(const std::string& path);
std::string explain_standard_input_failure();  // "closed", or the system's words for a folder
std::string explain_output_failure(const std::string& path);

// Standard input and output as byte streams, untranslated (binary on Windows): whether standard
// input can be read at all (open, and not a folder); up to `capacity` bytes of it, 0 at its end
// or on an error; and all of `count` bytes onto standard output, false when that failed.
bool standard_input_readable();
// The bytes of the file at `path` up to `limit` of them, the rest left unread; false when it
// cannot be opened or read, with `*longer` set when it holds more.
bool read_file_bytes(const std::string& path, size_t limit, std::vector<uint8_t>* bytes,
                     bool* longer);
size_t read_standard_input(void* into, size_t capacity);
bool write_standard_output(const void* bytes, size_t count);

bool is_terminal(StandardStream stream);
size_t terminal_columns();        // of the terminal on standard error; 80 when unknown
const char* erase_to_line_end();  // the terminal's sequence for it, or null when it has none
void write_stderr(const std::string& text);  // all of it, in one go where the system allows
int32_t default_worker_count();              // the CPUs this process may run on
std::string signal_text(int32_t number);
bool is_path_separator(char c);  // '/', and on Windows '\' too

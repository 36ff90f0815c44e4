#pragma once
// The only door to the operating system: files, heap memory, path text and the console, one
// small function per role. Everything else in the library goes through here.

#include <cstddef>
#include <cstdint>
#include <cstring>

struct PlatformFile;  // an open byte stream

enum class SeekOrigin { start, end };

// Paths are UTF-8; each system's file routines get them in the form they take.
PlatformFile* platform_open(const char* path, const char* mode);  // null path or failure: null
void platform_seek(PlatformFile* file, SeekOrigin origin);        // to offset 0 from origin
int64_t platform_tell(PlatformFile* file);                        // -1 when it cannot tell
size_t platform_read(void* buffer, size_t bytes, PlatformFile* file);
bool platform_write(const void* source, size_t bytes, PlatformFile* file);
bool platform_close(PlatformFile* file);  // false when buffered bytes could not be written

void* platform_allocate(size_t bytes);  // null when none is available
void platform_release(void* block);     // null does nothing
// Inline: the decoder clears 256 bytes of coefficients for every block.
inline void platform_fill(void* block, size_t bytes) { memset(block, 0, bytes); }

int32_t platform_wide_length(const char16_t* wide);
// Bytes a narrow copy of a wide path of `length` units may need, terminator included.
size_t platform_narrow_capacity(int32_t length);
// Writes the terminated UTF-8 form of `wide` into `narrow` (capacity in bytes). An unpaired
// surrogate becomes U+FFFD. Stops early rather than overrun the capacity.
void platform_wide_to_narrow(const char16_t* wide, char* narrow, size_t capacity);

void platform_console_print(const char* message);
void platform_console_follow_up();

// An output file is written beside its final path and moved into place only when complete, so
// a failed run never truncates or destroys what was there.
#if defined(_WIN32)
using NativePathChar = wchar_t;  // UTF-16, as the wide file routines take it
#else
using NativePathChar = char;
#endif
struct PendingFile {
  PlatformFile* stream;
  NativePathChar* temp_path;   // owned
  NativePathChar* final_path;  // owned: the output path (on POSIX with symbolic links followed)
  int32_t mode;  // permissions to give the new file, or -1 to keep those it was created with
};
// False, with nothing created, when the path cannot be written as opening it would refuse.
bool platform_begin_replace(const char* path, PendingFile* pending);
// Closes the stream and renames the file into place; false (and nothing left behind) on failure.
bool platform_commit_replace(PendingFile* pending);
void platform_abort_replace(PendingFile* pending);

// Test hooks: fail the nth allocation from now (1 is the next; 0 never), fail every write once
// `bytes` more bytes have been written (-1 never), and count blocks not yet released.
void platform_fail_allocation(int32_t nth);
void platform_fail_writes_after(int64_t bytes);
int32_t platform_live_allocations();

// A message is the text as one line on the console, then the follow-up that flushes it.
inline void emit_message(const char* text) {
  platform_console_print(text);
  platform_console_follow_up();
}

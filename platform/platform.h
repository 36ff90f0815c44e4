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

// Writes `bytes` at `offset` of a file opened for writing, wherever earlier writes went.
bool platform_write_at(const void* source, size_t bytes, int64_t offset, PlatformFile* file);

// A second thread for one large picture. platform_start_thread runs `run(context)` on a new
// thread, or gives null when none can be started (the caller then does the work itself);
// platform_join_thread waits for it to end and frees it.
struct PlatformThread;
PlatformThread* platform_start_thread(void (*run)(void* context), void* context);
void platform_join_thread(PlatformThread* thread);
int32_t platform_cpu_count();  // the processors this process may run on, at least 1

// A count that one thread raises and another waits on, until it is ended: how rows are handed
// from the thread that decodes them to the one that writes them.
struct PlatformSignal;
PlatformSignal* platform_new_signal();  // null when there is no memory
void platform_delete_signal(PlatformSignal* signal);
void platform_raise_signal(PlatformSignal* signal, int32_t count);  // the count only grows
void platform_end_signal(PlatformSignal* signal);                   // waiters return at once
// Waits until the count passes `seen` or the signal is ended; gives the count, and whether
// it has ended.
int32_t platform_wait_signal(PlatformSignal* signal, int32_t seen, bool* ended);

void platform_console_print(const char* message);
void platform_console_follow_up();

// An output file is written beside its final path and moved into place only when complete, so
// a failed run never truncates or destroys what was there. What stands at the path decides:
// nothing is created, a regular file the caller may replace is replaced, keeping its
// permissions (and, where the caller may set them, its owner and group); anything else is
// refused without being opened. The new file stays private to the caller until it is moved.
#if defined(_WIN32)
struct PendingFile {
  PlatformFile* stream = nullptr;
  wchar_t* temp_path = nullptr;   // owned, UTF-16 as the wide file routines take it
  wchar_t* final_path = nullptr;  // owned
  bool durable = false;           // flushed to the disk, and its folder, before it counts
};
#else
struct PendingFile {
  PlatformFile* stream = nullptr;
  int folder = -1;          // the folder of the file to replace, held open: the rename lands there
  char name[256] = {};      // that file's name in it (symbolic links followed)
  char temp_name[32] = {};  // the new file's name while it has one; empty while it is unnamed
  int32_t mode = 0;         // the permissions it gets once complete
  int64_t owner = -1;       // the replaced file's owner and group, or -1
  int64_t group = -1;
  bool durable = false;  // flushed to the disk, and its folder, before it counts
};
#endif
// False, with nothing created, when the output must be refused or the file cannot be made.
// A `durable` file and its folder reach the disk before the commit returns; otherwise it is as
// durable as any other file.
bool platform_begin_replace(const char* path, PendingFile* pending, bool durable);
// Closes the stream and moves the file into place; false (and nothing left behind) on failure.
bool platform_commit_replace(PendingFile* pending);
void platform_abort_replace(PendingFile* pending);

#if defined(BMPSEPIA_TEST_HOOKS)
// Built into the tests' copy of the library alone: write outputs through a named temporary file
// even where an unnamed one is possible; fail the nth allocation from now (1 is the next; 0
// never); fail every write once `bytes` more bytes have been written (-1 never); refuse to
// start threads; and count blocks not yet released.
void platform_name_temporaries(bool on);
void platform_fail_threads(bool on);  // every platform_start_thread gives null
void platform_fail_allocation(int32_t nth);
void platform_fail_writes_after(int64_t bytes);
int32_t platform_live_allocations();
#endif

// A message is the text as one line on the console, then the follow-up that flushes it.
inline void emit_message(const char* text) {
  platform_console_print(text);
  platform_console_follow_up();
}

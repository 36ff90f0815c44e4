// The platform routines that every system shares: streams once open, the heap, path text and
// the console. Opening files and replacing outputs live in platform_posix.cpp and
// platform_windows.cpp.

#include "platform/platform.h"

#include "platform/test_hooks.h"

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

#if defined(BMPSEPIA_TEST_HOOKS)
// Atomic, as calls may come from several threads.
std::atomic<int32_t> allocations_until_failure{0};
std::atomic<int64_t> write_budget_bytes{-1};
std::atomic<int32_t> live_allocations{0};

std::atomic<bool> threads_fail{false};

// Whether the test asked for this allocation to fail.
bool allocation_fails() {
  int32_t until = allocations_until_failure.load(std::memory_order_relaxed);
  while (until > 0 && !allocations_until_failure.compare_exchange_weak(until, until - 1)) {
  }
  return until == 1;
}

// Whether the test's budget of bytes runs out before this write of `bytes`.
bool write_fails(size_t bytes) {
  const auto wanted = static_cast<int64_t>(bytes);
  int64_t budget = write_budget_bytes.load(std::memory_order_relaxed);
  while (budget >= 0 &&
         !write_budget_bytes.compare_exchange_weak(budget, wanted > budget ? 0 : budget - wanted)) {
  }
  return budget >= 0 && wanted > budget;
}
#endif

FILE* stream_of(PlatformFile* file) { return reinterpret_cast<FILE*>(file); }

}  // namespace

size_t platform_read(void* buffer, size_t bytes, PlatformFile* file) {
  return fread(buffer, 1, bytes, stream_of(file));
}

bool platform_write(const void* source, size_t bytes, PlatformFile* file) {
#if defined(BMPSEPIA_TEST_HOOKS)
  if (write_fails(bytes)) return false;
#endif
  return fwrite(source, 1, bytes, stream_of(file)) == bytes;
}

#if defined(BMPSEPIA_TEST_HOOKS)
bool platform_write_fails(size_t bytes) { return write_fails(bytes); }
bool platform_threads_fail() { return threads_fail; }
#endif

bool platform_close(PlatformFile* file) { return fclose(stream_of(file)) == 0; }

void* platform_allocate(size_t bytes) {
#if defined(BMPSEPIA_TEST_HOOKS)
  if (allocation_fails()) return nullptr;
#endif
  void* block = nullptr;
#if defined(_WIN32)
  block = malloc(bytes == 0 ? 1 : bytes);
#else
  // Picture-sized blocks, and the input file, are touched whole, once: on huge pages that
  // costs one fault per 2 MiB instead of one per 4 KiB.
  constexpr size_t huge_page = size_t{2} << 20;
  if (bytes >= huge_page) {
    if (posix_memalign(&block, huge_page, bytes) != 0) block = nullptr;
#if defined(MADV_HUGEPAGE)
    if (block != nullptr) madvise(block, bytes & ~(huge_page - 1), MADV_HUGEPAGE);
#endif
  } else {
    block = malloc(bytes == 0 ? 1 : bytes);
  }
#endif
#if defined(BMPSEPIA_TEST_HOOKS)
  if (block != nullptr) ++live_allocations;
#endif
  return block;
}

void platform_release(void* block) {
  if (block == nullptr) return;
#if defined(BMPSEPIA_TEST_HOOKS)
  --live_allocations;
#endif
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

// The line end goes out with the text in one call, which the stream does whole: messages of
// calls on several threads never share a line.
void platform_console_print(const char* message) { fprintf(stderr, "%s\n", message); }

void platform_console_follow_up() { fflush(stderr); }

#if defined(BMPSEPIA_TEST_HOOKS)
void platform_fail_threads(bool on) { threads_fail = on; }
void platform_fail_allocation(int32_t nth) { allocations_until_failure = nth; }
void platform_fail_writes_after(int64_t bytes) { write_budget_bytes = bytes; }
int32_t platform_live_allocations() { return live_allocations; }
#endif

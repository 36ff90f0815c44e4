// The exported entry points: BMPSepia, the conversion routine with no options over UTF-16
// paths, and the bmpsepia_* functions, the routine with the caller's options, which never
// print.

#include "bmpsepia.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "entry/conversion.h"
#include "entry/fault_reasons.h"
#include "platform/platform.h"

namespace {

// A narrow (UTF-8) copy of a wide path in a block of its own, or null for a null path or when
// no memory is left; either way opening it then fails as for a missing file.
char* narrow_path(const char16_t* wide) {
  if (wide == nullptr) return nullptr;
  const size_t capacity = platform_narrow_capacity(platform_wide_length(wide));
  auto* narrow = static_cast<char*>(platform_allocate(capacity));
  if (narrow == nullptr) return nullptr;
  narrow[0] = '\0';
  platform_wide_to_narrow(wide, narrow, capacity);
  return narrow;
}

// The statuses are the conversion's, in its order.
static_assert(static_cast<int32_t>(ConversionStatus::write_failed) == BMPSEPIA_STATUS_WRITE_FAILED);
static_assert(static_cast<int32_t>(ConversionStatus::salvaged) == BMPSEPIA_STATUS_SALVAGED);

constexpr size_t options_least = offsetof(bmpsepia_options, auto_orient);
constexpr size_t outcome_least = offsetof(bmpsepia_outcome, width);

// Whether the field at `offset` of `bytes` bytes lies within a struct of `size` bytes: an older
// caller's struct ends before the fields added after it.
constexpr bool within(uint32_t size, size_t offset, size_t bytes) { return offset + bytes <= size; }

// The caller's options as the routine takes them; false for a size this library does not know
// or reserved words that are not zero.
bool read_options(const bmpsepia_options* given, ConversionOptions* options) {
  options->print_message = false;
  if (given == nullptr) return true;
  const uint32_t size = given->size;
  if (size < options_least || size > sizeof *given || size % 4 != 0) return false;
  // Fields past an older struct's end are not the caller's: they keep their defaults.
  bmpsepia_options o{};
  memcpy(&o, given, size);
  for (const uint32_t word : o.reserved) {
    if (word != 0) return false;
  }
  if (o.threads < 0) return false;
  options->max_pixels =
      o.max_pixels > uint64_t{INT64_MAX} ? INT64_MAX : static_cast<int64_t>(o.max_pixels);
  options->auto_orient = o.auto_orient != 0;
  options->salvage = o.salvage != 0;
  options->threads = o.threads;
  options->durable = o.sync != 0;
  return true;
}

bool outcome_size_known(const bmpsepia_outcome* outcome) {
  return outcome == nullptr || (outcome->size >= outcome_least &&
                                outcome->size <= sizeof *outcome && outcome->size % 4 == 0);
}

// Fills what fits of the caller's outcome; returns the status.
int32_t tell(const ConversionOutcome& c, bmpsepia_outcome* outcome) {
  const auto status = static_cast<int32_t>(c.status);
  if (outcome == nullptr) return status;
  bmpsepia_outcome o{};
  o.size = outcome->size;
  o.status = status;
  if (failed_side(c.status) == FailedSide::none) {
    o.width = static_cast<uint32_t>(c.width);
    o.height = static_cast<uint32_t>(c.height);
    o.recovered_percent = static_cast<uint32_t>(c.recovered_percent);
  }
  o.salvage_recovers = c.salvage_recovers ? 1 : 0;
  // A salvaged picture is damaged by its status: its reason says how alone.
  describe_fault(c.fault, c.fault_detail, o.reason, sizeof o.reason,
                 c.status != ConversionStatus::salvaged);
  memcpy(outcome, &o, outcome->size);
  if (within(outcome->size, offsetof(bmpsepia_outcome, reason), 1)) {
    // A reason cut by an older, smaller struct still ends.
    outcome->reason[outcome->size - offsetof(bmpsepia_outcome, reason) - 1] = '\0';
  }
  return status;
}

int32_t bad_argument(bmpsepia_outcome* outcome) {
  if (outcome != nullptr && outcome_size_known(outcome)) {
    bmpsepia_outcome o{};
    o.size = outcome->size;
    o.status = BMPSEPIA_STATUS_BAD_ARGUMENT;
    memcpy(outcome, &o, outcome->size);
  }
  return BMPSEPIA_STATUS_BAD_ARGUMENT;
}

// The conversion of bytes in memory, with `options` already read and its output chosen.
int32_t convert_bytes(const void* jpeg, size_t jpeg_size, const char* bmp_path,
                      ConversionOptions& options, bmpsepia_outcome* outcome) {
  options.input_bytes = static_cast<const uint8_t*>(jpeg);
  options.input_size = jpeg_size;
  return tell(convert_jpeg(nullptr, bmp_path, options), outcome);
}

struct Writer {
  bmpsepia_write_fn write;
  void* context;
};

bool to_writer(void* context, const uint8_t* bytes, size_t count) {
  const auto& w = *static_cast<const Writer*>(context);
  return w.write(w.context, bytes, count) == 0;
}

}  // namespace

extern "C" BMPSEPIA_API int BMPSepia(const bmpsepia_char* jpeg_path,
                                     const bmpsepia_char* bmp_path) {
  char* in_path = narrow_path(reinterpret_cast<const char16_t*>(jpeg_path));
  char* out_path = narrow_path(reinterpret_cast<const char16_t*>(bmp_path));
  const ConversionOutcome outcome = convert_jpeg(in_path, out_path, ConversionOptions{});
  platform_release(in_path);
  platform_release(out_path);
  return conversion_result(outcome);
}

extern "C" BMPSEPIA_API int32_t bmpsepia_convert_file(const char* jpeg_path, const char* bmp_path,
                                                      const bmpsepia_options* options,
                                                      bmpsepia_outcome* outcome) {
  ConversionOptions routine;
  if (jpeg_path == nullptr || bmp_path == nullptr || !outcome_size_known(outcome) ||
      !read_options(options, &routine)) {
    return bad_argument(outcome);
  }
  return tell(convert_jpeg(jpeg_path, bmp_path, routine), outcome);
}

#if defined(_WIN32)
extern "C" BMPSEPIA_API int32_t bmpsepia_convert_file_w(const wchar_t* jpeg_path,
                                                        const wchar_t* bmp_path,
                                                        const bmpsepia_options* options,
                                                        bmpsepia_outcome* outcome) {
  if (jpeg_path == nullptr || bmp_path == nullptr) return bad_argument(outcome);
  char* in_path = narrow_path(reinterpret_cast<const char16_t*>(jpeg_path));
  char* out_path = narrow_path(reinterpret_cast<const char16_t*>(bmp_path));
  int32_t status = BMPSEPIA_STATUS_OUT_OF_MEMORY;
  if (in_path != nullptr && out_path != nullptr) {
    status = bmpsepia_convert_file(in_path, out_path, options, outcome);
  } else if (outcome != nullptr && outcome_size_known(outcome)) {
    ConversionOutcome none{};
    none.status = ConversionStatus::out_of_memory;
    none.fault = Fault::out_of_memory;
    tell(none, outcome);
  }
  platform_release(in_path);
  platform_release(out_path);
  return status;
}
#endif

extern "C" BMPSEPIA_API int32_t bmpsepia_convert_memory(const void* jpeg, size_t jpeg_size,
                                                        void** bmp, size_t* bmp_size,
                                                        const bmpsepia_options* options,
                                                        bmpsepia_outcome* outcome) {
  if (bmp != nullptr) *bmp = nullptr;
  if (bmp_size != nullptr) *bmp_size = 0;
  ConversionOptions routine;
  if (jpeg == nullptr || bmp == nullptr || bmp_size == nullptr || !outcome_size_known(outcome) ||
      !read_options(options, &routine)) {
    return bad_argument(outcome);
  }
  uint8_t* made = nullptr;
  size_t made_size = 0;
  routine.memory_output = &made;
  routine.memory_size = &made_size;
  const int32_t status = convert_bytes(jpeg, jpeg_size, nullptr, routine, outcome);
  *bmp = made;
  *bmp_size = made_size;
  return status;
}

extern "C" BMPSEPIA_API int32_t bmpsepia_convert_to_writer(const void* jpeg, size_t jpeg_size,
                                                           bmpsepia_write_fn write, void* context,
                                                           const bmpsepia_options* options,
                                                           bmpsepia_outcome* outcome) {
  ConversionOptions routine;
  if (jpeg == nullptr || write == nullptr || !outcome_size_known(outcome) ||
      !read_options(options, &routine)) {
    return bad_argument(outcome);
  }
  Writer writer{write, context};
  routine.sink = to_writer;
  routine.sink_context = &writer;
  return convert_bytes(jpeg, jpeg_size, nullptr, routine, outcome);
}

extern "C" BMPSEPIA_API int32_t bmpsepia_convert_memory_to_file(const void* jpeg, size_t jpeg_size,
                                                                const char* bmp_path,
                                                                const bmpsepia_options* options,
                                                                bmpsepia_outcome* outcome) {
  ConversionOptions routine;
  if (jpeg == nullptr || bmp_path == nullptr || !outcome_size_known(outcome) ||
      !read_options(options, &routine)) {
    return bad_argument(outcome);
  }
  return convert_bytes(jpeg, jpeg_size, bmp_path, routine, outcome);
}

extern "C" BMPSEPIA_API void bmpsepia_free(void* bmp) { platform_release(bmp); }

extern "C" BMPSEPIA_API const char* bmpsepia_status_message(int32_t status) {
  if (status < BMPSEPIA_STATUS_CONVERTED || status > BMPSEPIA_STATUS_WRITE_FAILED) return "";
  const char* message = conversion_message(static_cast<ConversionStatus>(status));
  return message != nullptr ? message : "";
}

// The conversion routine behind BMPSepia and the tool: load the JPEG bytes, decode them, write
// the BMP rows straight into the file or stream, turned upright when asked.

#include "entry/conversion.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bmp/bmp_writer.h"
#include "bmpsepia.h"
#include "entry/fault_reasons.h"
#include "entry/orientation.h"
#include "entry/pipeline.h"
#include "jpeg/salvage.h"
#include "platform/platform.h"

namespace {

struct Input {
  uint8_t* bytes;  // owned
  int32_t size;
};

enum class LoadResult { loaded, cannot_open, too_large, no_memory };

LoadResult load_file(const char* path, Input* input) {
  PlatformFile* file = platform_open(path, "rb");
  if (file == nullptr) return LoadResult::cannot_open;
  platform_seek(file, SeekOrigin::end);
  const int64_t size = platform_tell(file);
  if (size < 0) {
    platform_close(file);
    return LoadResult::cannot_open;
  }
  if (size > INT32_MAX) {
    platform_close(file);
    return LoadResult::too_large;
  }
  input->bytes = static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(size)));
  if (input->bytes == nullptr) {
    platform_close(file);
    return LoadResult::no_memory;
  }
  platform_seek(file, SeekOrigin::start);
  // A short read goes on with the bytes that arrived.
  input->size = static_cast<int32_t>(platform_read(input->bytes, static_cast<size_t>(size), file));
  platform_close(file);
  return LoadResult::loaded;
}

// Standard input, whose size is known only at its end: read into a block that doubles as it
// fills, so that a stream of n bytes is held in at most 2n while it arrives.
LoadResult load_stream(PlatformFile* stream, Input* input) {
  if (stream == nullptr) return LoadResult::cannot_open;
  constexpr int64_t first_capacity = 64 * 1024;
  int64_t capacity = 0;
  int64_t size = 0;
  uint8_t* bytes = nullptr;
  for (;;) {
    if (size == capacity) {
      if (capacity == INT32_MAX) {
        platform_release(bytes);
        return LoadResult::too_large;
      }
      // At most INT32_MAX bytes: one more than a decode takes, to tell a longer stream.
      const int64_t grown = capacity == 0 ? first_capacity : capacity * 2;
      const int64_t next = grown > INT32_MAX ? INT32_MAX : grown;
      auto* larger = static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(next)));
      if (larger == nullptr) {
        platform_release(bytes);
        return LoadResult::no_memory;
      }
      if (size > 0) memcpy(larger, bytes, static_cast<size_t>(size));
      platform_release(bytes);
      bytes = larger;
      capacity = next;
    }
    const size_t got = platform_read(bytes + size, static_cast<size_t>(capacity - size), stream);
    if (got == 0) break;  // the end, or an error: go on with the bytes that arrived
    size += static_cast<int64_t>(got);
  }
  if (size == INT32_MAX) {
    platform_release(bytes);
    return LoadResult::too_large;
  }
  input->bytes = bytes;
  input->size = static_cast<int32_t>(size);
  return LoadResult::loaded;
}

ConversionOutcome ended(const ConversionOptions& options, ConversionStatus status,
                        Fault fault = Fault::none, int32_t detail = 0) {
  if (options.print_message && conversion_message(status) != nullptr) {
    emit_message(conversion_message(status));
  }
  return ConversionOutcome{status, fault, detail, 0, 1, 0, 0, false};
}

ConversionOutcome refused(const ConversionOptions& options, Fault fault, int32_t detail = 0) {
  return ended(options, fault_status(fault), fault, detail);
}

// BMPSEPIA_THREADS, read once for the process: 1 keeps every conversion on its calling thread,
// N above 1 lets any picture take a second thread; unset (0), the library chooses.
int32_t threads_from_environment() {
  static const int32_t threads = [] {
    const char* text = getenv("BMPSEPIA_THREADS");
    if (text == nullptr) return 0;
    const long value = strtol(text, nullptr, 10);
    return value < 1 ? 0 : value > 64 ? 64 : static_cast<int32_t>(value);
  }();
  return threads;
}

}  // namespace

int32_t conversion_result(const ConversionOutcome& outcome) {
  return outcome.status == ConversionStatus::converted ||
                 outcome.status == ConversionStatus::salvaged
             ? BMPSEPIA_CONVERTED
             : BMPSEPIA_FAILED;
}

const char* conversion_message(ConversionStatus status) {
  switch (status) {
    case ConversionStatus::converted:
    case ConversionStatus::salvaged:
      return nullptr;
    case ConversionStatus::input_unreadable:
      return "Error opening jpg. Please try again...";
    case ConversionStatus::output_unwritable:
      return "Error opening the output file.";
    case ConversionStatus::write_failed:
      return "Error writing the output file.";
    default:
      return "Error decoding jpg. Please try again...";
  }
}

ConversionOutcome convert_jpeg(const char* input_path, const char* output_path,
                               const ConversionOptions& options) {
  Input input{nullptr, 0};
  const LoadResult loaded = options.from_standard_input
                                ? load_stream(platform_standard_input(), &input)
                                : load_file(input_path, &input);
  if (loaded == LoadResult::cannot_open) return ended(options, ConversionStatus::input_unreadable);
  if (loaded != LoadResult::loaded) {
    return refused(options,
                   loaded == LoadResult::too_large ? Fault::too_large : Fault::out_of_memory);
  }
  // Each call has a record of its own, so that calls from several threads do not meet.
  DecoderState* decoder = new_decoder();
  if (decoder == nullptr) {
    platform_release(input.bytes);
    return refused(options, Fault::out_of_memory);
  }
  decoder->salvage = options.salvage;
  decoder->max_pixels = options.max_pixels;
  // A file takes the rows as they are made; standard output, which cannot be taken back, only
  // once the picture has decoded.
  PipelineOutcome piped{false, BmpWriteResult::written};
  if (options.to_standard_output) {
    decode_jpeg(*decoder, input.bytes, input.size);
  } else {
    const int32_t threads = options.threads != 0 ? options.threads : threads_from_environment();
    piped = decode_into_file(*decoder, input.bytes, input.size, output_path, options.auto_orient,
                             threads);
  }
  platform_release(input.bytes);
  if (failed(*decoder)) {
    const Fault fault = decoder->fault;
    const int32_t detail = decoder->fault_detail;
    const bool recovers = !decoder->salvage && recoverable(*decoder, fault);
    delete_decoder(decoder);
    ConversionOutcome outcome = refused(options, fault, detail);
    outcome.salvage_recovers = recovers;
    return outcome;
  }
  // A salvaged picture says what it lost: its first damage and the share recovered.
  const bool damaged = decoder->damage != Fault::none;
  ConversionOutcome outcome{damaged ? ConversionStatus::salvaged : ConversionStatus::converted,
                            decoder->damage,
                            decoder->damage_detail,
                            damaged ? recovered_percent(*decoder) : 100,
                            1,
                            0,
                            0,
                            false};
  if (piped.used) {
    const Picture picture = picture_of(*decoder);
    delete_decoder(decoder);
    if (piped.written == BmpWriteResult::cannot_open) {
      return ended(options, ConversionStatus::output_unwritable);
    }
    if (piped.written == BmpWriteResult::cannot_write) {
      return ended(options, ConversionStatus::write_failed);
    }
    outcome.width = picture.width;
    outcome.height = picture.height;
    return outcome;
  }
  // The picture is rendered row by row straight into the file, never whole in memory, unless
  // a quarter turn reads it by columns.
  PictureRows rows;
  if (!begin_rows(*decoder, options.auto_orient, RenderOptions{}, &rows)) {
    delete_decoder(decoder);
    return refused(options, Fault::out_of_memory);
  }
  const BmpWriteResult written =
      options.to_standard_output
          ? write_bmp_stream(platform_standard_output(), rows.width, rows.height,
                             render_picture_row, &rows)
          : write_bmp_rows(output_path, rows.width, rows.height, render_picture_row, &rows);
  outcome.orientation = rows.orientation;
  outcome.width = rows.width;
  outcome.height = rows.height;
  end_rows(&rows);
  delete_decoder(decoder);
  if (written == BmpWriteResult::cannot_open) {
    return ended(options, ConversionStatus::output_unwritable);
  }
  if (written == BmpWriteResult::cannot_write)
    return ended(options, ConversionStatus::write_failed);
  return outcome;
}

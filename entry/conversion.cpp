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
  const uint8_t* bytes;
  int32_t size;
  uint8_t* owned;  // the bytes, when loaded here
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
  input->owned = static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(size)));
  if (input->owned == nullptr) {
    platform_close(file);
    return LoadResult::no_memory;
  }
  input->bytes = input->owned;
  platform_seek(file, SeekOrigin::start);
  // A short read goes on with the bytes that arrived.
  input->size = static_cast<int32_t>(platform_read(input->owned, static_cast<size_t>(size), file));
  platform_close(file);
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
  Input input{options.input_bytes, 0, nullptr};
  LoadResult loaded = LoadResult::loaded;
  if (options.input_bytes == nullptr) {
    loaded = load_file(input_path, &input);
  } else if (options.input_size > INT32_MAX) {
    loaded = LoadResult::too_large;
  } else {
    input.size = static_cast<int32_t>(options.input_size);
  }
  if (loaded == LoadResult::cannot_open) return ended(options, ConversionStatus::input_unreadable);
  if (loaded != LoadResult::loaded) {
    return refused(options,
                   loaded == LoadResult::too_large ? Fault::too_large : Fault::out_of_memory);
  }
  // Each call has a record of its own, so that calls from several threads do not meet.
  DecoderState* decoder = new_decoder();
  if (decoder == nullptr) {
    platform_release(input.owned);
    return refused(options, Fault::out_of_memory);
  }
  decoder->salvage = options.salvage;
  decoder->max_pixels = options.max_pixels;
  // A file takes the rows as they are made; a sink or a block in memory, which hold no half
  // pictures, only once the picture has decoded.
  const bool to_file = options.sink == nullptr && options.memory_output == nullptr;
  PipelineOutcome piped{false, BmpWriteResult::written};
  if (!to_file) {
    decode_jpeg(*decoder, input.bytes, input.size);
  } else {
    const int32_t threads = options.threads != 0 ? options.threads : threads_from_environment();
    piped = decode_into_file(*decoder, input.bytes, input.size, output_path, options.auto_orient,
                             threads, options.durable);
  }
  platform_release(input.owned);
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
  BmpWriteResult written = BmpWriteResult::written;
  if (to_file) {
    written = write_bmp_rows(output_path, rows.width, rows.height, render_picture_row, &rows,
                             options.durable);
  } else if (options.sink != nullptr) {
    const bool taken = write_bmp_to(options.sink, options.sink_context, rows.width, rows.height,
                                    render_picture_row, &rows);
    written = taken ? BmpWriteResult::written : BmpWriteResult::cannot_write;
  } else {
    // One spare byte, which the last row rendered may write.
    const int64_t bytes = bmp_file_size(rows.width, rows.height);
    auto* bmp = static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(bytes) + 1));
    if (bmp == nullptr) {
      end_rows(&rows);
      delete_decoder(decoder);
      return refused(options, Fault::out_of_memory);
    }
    render_bmp_into(bmp, rows.width, rows.height, render_picture_row, &rows);
    *options.memory_output = bmp;
    *options.memory_size = static_cast<size_t>(bytes);
  }
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

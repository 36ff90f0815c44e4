#pragma once
// The one conversion routine: load a JPEG file (or take its bytes in memory), decode it, write
// the BMP to a file, a sink or a block of memory. BMPSepia is this routine with no options; the
// public API sets them.

#include <cstddef>
#include <cstdint>

#include "bmp/bmp_writer.h"
#include "jpeg/decoder.h"

struct ConversionOptions {
  // The JPEG bytes in memory, read in place, instead of the input path's (over INT32_MAX bytes
  // are refused as too large).
  const uint8_t* input_bytes = nullptr;
  size_t input_size = 0;
  // Instead of the output path, once the picture has decoded: the BMP handed to `sink` in
  // pieces, or made in one block of platform_allocate's, which `memory_output` is set to (with
  // its size) and the caller releases.
  BmpByteSink sink = nullptr;
  void* sink_context = nullptr;
  uint8_t** memory_output = nullptr;
  size_t* memory_size = nullptr;
  bool auto_orient = false;   // turn the picture as its EXIF orientation says
  bool print_message = true;  // print the failure's message, as BMPSepia does
  bool durable = false;       // an output file reaches the disk before it counts as written
  // Write what can be recovered of a damaged file (jpeg/salvage.h) rather than refuse it.
  bool salvage = false;
  // A frame of more pixels is refused as too large before anything is allocated; 0: no bound
  // but the 2 GiB one.
  int64_t max_pixels = 0;
  // 0: the library's choice (BMPSEPIA_THREADS when set, else a second thread for a large
  // picture while the process has a processor to spare); 1: the calling thread only; 2 or
  // more: a second thread beside it for any picture.
  int32_t threads = 0;
};

// How a conversion ended. Each failure comes from one side: the input (it cannot be read), the
// decode (it is refused, and `fault` says why), or the output (it cannot be written).
enum class ConversionStatus : uint8_t {
  converted,
  salvaged,          // damaged, written as far as it could be recovered
  input_unreadable,  // the input cannot be opened, sized or read
  not_jpeg,          // the decode's refusals, by the kind of their fault
  unsupported,
  damaged,
  too_large,
  out_of_memory,
  output_unwritable,  // the output cannot be created or replaced
  write_failed,       // writing failed part way; nothing is left behind
};

enum class FailedSide : uint8_t { none, input, output };

// The file a failure's message names: the output for the output's failures, the input for all
// others.
constexpr FailedSide failed_side(ConversionStatus status) {
  if (status == ConversionStatus::converted || status == ConversionStatus::salvaged) {
    return FailedSide::none;
  }
  return status == ConversionStatus::output_unwritable || status == ConversionStatus::write_failed
             ? FailedSide::output
             : FailedSide::input;
}

struct ConversionOutcome {
  ConversionStatus status;
  // Why the decode refused the input, or for a salvaged one its first damage: Fault::none when
  // neither.
  Fault fault;
  int32_t fault_detail;
  int32_t recovered_percent;  // of a salvaged picture: the share of its blocks decoded
  int32_t orientation;        // the EXIF orientation applied, 1 (none) to 8
  int32_t width;              // of the picture written, or 0
  int32_t height;
  // Of a refused decode: whether salvage recovers its fault, so that a hint may offer it.
  bool salvage_recovers;
};

// BMPSepia's result for an outcome: BMPSEPIA_CONVERTED (for a salvaged one too) or
// BMPSEPIA_FAILED.
int32_t conversion_result(const ConversionOutcome& outcome);
// The library's line for a failure, exactly as BMPSepia has always printed it; null for none.
const char* conversion_message(ConversionStatus status);

// Paths are UTF-8; a null one fails as a missing file would.
ConversionOutcome convert_jpeg(const char* input_path, const char* output_path,
                               const ConversionOptions& options);

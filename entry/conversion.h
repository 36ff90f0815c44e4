#pragma once
// The one conversion routine: load a JPEG file or standard input, decode it, write the BMP to
// a file or standard output. BMPSepia is this routine with no options; the tool sets them.

#include <cstdint>

#include "jpeg/decoder.h"

struct ConversionOptions {
  bool from_standard_input = false;  // the input path is not read
  bool to_standard_output = false;   // the output path is not used; written once decoded
  bool auto_orient = false;          // turn the picture as its EXIF orientation says
  bool print_message = true;         // print the failure's message, as BMPSepia does
};

struct ConversionOutcome {
  int32_t result;       // BMPSEPIA_CONVERTED or BMPSEPIA_FAILED
  const char* message;  // on failure, the library's line for it (printed when asked)
  Fault fault;          // why the input was refused: Fault::none when it was not
  int32_t fault_detail;
  int32_t orientation;  // the EXIF orientation applied, 1 (none) to 8
};

// Paths are UTF-8; a null one fails as a missing file would.
ConversionOutcome convert_jpeg(const char* input_path, const char* output_path,
                               const ConversionOptions& options);

// The messages, exactly as BMPSepia has always printed them.
constexpr const char* input_open_message = "Error opening jpg. Please try again...";
constexpr const char* input_decode_message = "Error decoding jpg. Please try again...";
constexpr const char* output_open_message = "Error opening the output file.";
constexpr const char* output_write_message = "Error writing the output file.";

// libFuzzer target: the decode from bytes in memory, as BMPSepia runs it once the file is
// loaded, colour conversion and sepia included; then the whole picture is read and its BMP
// header built, and every buffer released. Crashes on any outcome a caller could not live with.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bmp/bmp_writer.h"
#include "entry/image.h"
#include "jpeg/decoder.h"
#include "platform/platform.h"
#include "support/conversion_check.h"

namespace {

volatile uint32_t picture_sum = 0;  // keeps the read of every pixel

[[noreturn]] void fault(const char* what) {
  fprintf(stderr, "decode_fuzzer: %s\n", what);
  abort();
}

void check_picture(const uint8_t* data, size_t size) {
  int32_t width = 0;
  int32_t height = 0;
  if (!declared_frame_size(std::vector<uint8_t>(data, data + size), &width, &height)) {
    fault("decoded a file without a frame");
  }
  if (image_width() != width || image_height() != height) fault("decoded another size");
  const uint8_t* pixels = image_pixels();
  if (pixels == nullptr) fault("decoded without a picture");
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes; ++i) sum += pixels[i];
  picture_sum = sum;
  uint8_t header[bmp_header_bytes];
  build_bmp_header(width, height, header);
  const std::vector<uint8_t> header_bytes(header, header + bmp_header_bytes);
  if (!bmp_problem(header_bytes, bmp_file_bytes(width, height), width, height).empty()) {
    fault("BMP header does not fit the picture");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  const int32_t blocks_before = platform_live_allocations();
  reset_decoder();
  const int32_t status = decode_jpeg(data, static_cast<int32_t>(size));
  if (status != 0 && status != 1) fault("decode_jpeg gave neither 0 nor 1");
  if (status == 0) check_picture(data, size);
  release_decoder();
  if (platform_live_allocations() != blocks_before) fault("heap blocks held after release");
  return 0;
}

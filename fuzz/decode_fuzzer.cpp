// libFuzzer target: the decode from bytes in memory, exactly as BMPSepia runs it once the file
// is loaded: a record of its own, decode_jpeg, then every row rendered as the BMP writer asks
// for them (blue, green, red, bottom row first), upright as --auto-orient turns it, and the
// record freed. Crashes on any outcome a caller could not live with.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "bmp/bmp_writer.h"
#include "entry/orientation.h"
#include "jpeg/decoder.h"
#include "platform/platform.h"
#include "support/conversion_check.h"

namespace {

volatile uint32_t picture_sum = 0;  // keeps the read of every pixel

[[noreturn]] void fault(const char* what) {
  fprintf(stderr, "decode_fuzzer: %s\n", what);
  abort();
}

void check_picture(DecoderState& d, const uint8_t* data, size_t size) {
  int32_t width = 0;
  int32_t height = 0;
  if (!declared_frame_size(std::vector<uint8_t>(data, data + size), &width, &height)) {
    fault("decoded a file without a frame");
  }
  const Picture picture = picture_of(d);
  if (picture.width != width || picture.height != height) fault("decoded another size");
  if (picture.orientation < 1 || picture.orientation > 8) fault("an orientation out of range");
  PictureRows rows;
  if (!begin_rows(d, true, RenderOptions{}, &rows)) fault("no memory to render");
  if (turns_a_quarter(picture.orientation)) std::swap(width, height);
  if (rows.width != width || rows.height != height) fault("turned to another size");
  // A row as the writer hands it over: exactly its pixels and one spare byte.
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3 + 1);
  uint32_t sum = 0;
  for (int32_t y = height - 1; y >= 0; --y) {
    render_picture_row(&rows, y, row.data());
    for (size_t i = 0; i + 1 < row.size(); ++i) sum += row[i];
  }
  end_rows(&rows);
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
  if (size > INT32_MAX || too_large_to_fuzz(std::vector<uint8_t>(data, data + size))) return 0;
  const int32_t blocks_before = platform_live_allocations();
  DecoderState* d = new_decoder();
  if (d == nullptr) fault("no memory for a record");
  const int32_t result = decode_jpeg(*d, data, static_cast<int32_t>(size));
  if (result != 0 && result != 1) fault("decode_jpeg gave neither 0 nor 1");
  if ((result == 0) != (d->fault == Fault::none)) fault("a result that disagrees with the fault");
  if (result == 0) check_picture(*d, data, size);
  delete_decoder(d);
  if (platform_live_allocations() != blocks_before) fault("heap blocks held after the decode");
  return 0;
}

// libFuzzer target: the decode from bytes in memory, exactly as BMPSepia runs it once the file
// is loaded: a record of its own, decode_jpeg, then every row rendered as the BMP writer asks
// for them (blue, green, red, bottom row first), upright as --auto-orient turns it, and the
// record freed. Crashes on any outcome a caller could not live with. Built with
// BMPSEPIA_FUZZ_SALVAGE set, it salvages, and where a strict decode succeeds must give its
// picture.

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

#ifndef BMPSEPIA_FUZZ_SALVAGE
#define BMPSEPIA_FUZZ_SALVAGE 0
#endif
constexpr bool salvaging = BMPSEPIA_FUZZ_SALVAGE != 0;
// Passed-over bytes may hide the frame header from too_large_to_fuzz's walk: the decoder itself
// holds a salvaged frame to its bound.
constexpr int64_t salvage_max_pixels = 4'000'000;

[[noreturn]] void fault(const char* what) {
  fprintf(stderr, "decode_fuzzer: %s\n", what);
  abort();
}

// Checks the decoded picture and gives a digest of its rows.
uint64_t check_picture(DecoderState& d, const uint8_t* data, size_t size) {
  int32_t width = 0;
  int32_t height = 0;
  const Picture picture = picture_of(d);
  const bool walked = declared_frame_size(std::vector<uint8_t>(data, data + size), &width, &height);
  if (d.salvage && (!walked || d.damage == Fault::junk_bytes)) {
    width = picture.width;  // the walk may have been led astray
    height = picture.height;
  } else if (!walked) {
    fault("decoded a file without a frame");
  }
  if (picture.width != width || picture.height != height) fault("decoded another size");
  if (picture.orientation < 1 || picture.orientation > 8) fault("an orientation out of range");
  PictureRows rows;
  if (!begin_rows(d, true, RenderOptions{}, &rows)) fault("no memory to render");
  if (turns_a_quarter(picture.orientation)) std::swap(width, height);
  if (rows.width != width || rows.height != height) fault("turned to another size");
  // A row as the writer hands it over: exactly its pixels and one spare byte.
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3 + 1);
  uint64_t digest = 14695981039346656037u;  // FNV-1a
  for (int32_t y = height - 1; y >= 0; --y) {
    render_picture_row(&rows, y, row.data());
    for (size_t i = 0; i + 1 < row.size(); ++i) digest = (digest ^ row[i]) * 1099511628211u;
  }
  end_rows(&rows);
  uint8_t header[bmp_header_bytes];
  build_bmp_header(width, height, header);
  const std::vector<uint8_t> header_bytes(header, header + bmp_header_bytes);
  if (!bmp_problem(header_bytes, bmp_file_bytes(width, height), width, height).empty()) {
    fault("BMP header does not fit the picture");
  }
  return digest;
}

// Decodes and checks; the digest of the picture, or 0 when the decode failed.
uint64_t decode(const uint8_t* data, size_t size, bool salvage) {
  DecoderState* d = new_decoder();
  if (d == nullptr) fault("no memory for a record");
  d->salvage = salvage;
  d->max_pixels = salvage ? salvage_max_pixels : 0;
  const int32_t result = decode_jpeg(*d, data, static_cast<int32_t>(size));
  if (result != 0 && result != 1) fault("decode_jpeg gave neither 0 nor 1");
  if ((result == 0) != (d->fault == Fault::none)) fault("a result that disagrees with the fault");
  const uint64_t digest = result == 0 ? check_picture(*d, data, size) | 1 : 0;
  if (!salvage && result == 0 && d->damage != Fault::none) fault("damage without salvage");
  delete_decoder(d);
  return digest;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT32_MAX || too_large_to_fuzz(std::vector<uint8_t>(data, data + size))) return 0;
  const int32_t blocks_before = platform_live_allocations();
  const uint64_t strict = decode(data, size, false);
  if (salvaging) {
    const uint64_t salvaged = decode(data, size, true);
    if (strict != 0 && salvaged != strict) fault("salvage differs from a strict decode");
  }
  if (platform_live_allocations() != blocks_before) fault("heap blocks held after the decode");
  return 0;
}

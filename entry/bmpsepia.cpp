// The exported entry point: the conversion routine with no options, over UTF-16 paths.

#include "bmpsepia.h"

#include <cstdint>

#include "entry/conversion.h"
#include "platform/platform.h"

namespace {

// A narrow (UTF-8) copy of a wide path in a block of its own, or null for a null path or when
// no memory is left; either way opening it then fails as for a missing file.
char* narrow_path(const bmpsepia_char* wide) {
  if (wide == nullptr) return nullptr;
  const auto* units = reinterpret_cast<const char16_t*>(wide);
  const size_t capacity = platform_narrow_capacity(platform_wide_length(units));
  auto* narrow = static_cast<char*>(platform_allocate(capacity));
  if (narrow == nullptr) return nullptr;
  narrow[0] = '\0';
  platform_wide_to_narrow(units, narrow, capacity);
  return narrow;
}

}  // namespace

extern "C" BMPSEPIA_API int BMPSepia(const bmpsepia_char* jpeg_path,
                                     const bmpsepia_char* bmp_path) {
  char* in_path = narrow_path(jpeg_path);
  char* out_path = narrow_path(bmp_path);
  const ConversionOutcome outcome = convert_jpeg(in_path, out_path, ConversionOptions{});
  platform_release(in_path);
  platform_release(out_path);
  return conversion_result(outcome);
}

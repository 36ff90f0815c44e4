// The exported entry point: load the JPEG file, decode it, write the BMP file.

#include "bmpsepia.h"

#include <cstdint>

#include "bmp/bmp_writer.h"
#include "jpeg/decoder.h"
#include "platform/platform.h"
#include "render/render.h"

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

void render_bgr_row(void* decoder, int32_t y, uint8_t* bgr) {
  render_row(*static_cast<DecoderState*>(decoder), y, ChannelOrder::bgr, bgr);
}

struct Input {
  uint8_t* bytes;  // owned
  int32_t size;
};

enum class LoadResult { loaded, cannot_open, cannot_hold };

LoadResult load_file(const char* path, Input* input) {
  PlatformFile* file = platform_open(path, "rb");
  if (file == nullptr) return LoadResult::cannot_open;
  platform_seek(file, SeekOrigin::end);
  const int64_t size = platform_tell(file);
  if (size < 0) {
    platform_close(file);
    return LoadResult::cannot_open;
  }
  input->bytes = size > INT32_MAX
                     ? nullptr
                     : static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(size)));
  if (input->bytes == nullptr) {
    platform_close(file);
    return LoadResult::cannot_hold;
  }
  platform_seek(file, SeekOrigin::start);
  // A short read goes on with the bytes that arrived.
  input->size = static_cast<int32_t>(platform_read(input->bytes, static_cast<size_t>(size), file));
  platform_close(file);
  return LoadResult::loaded;
}

int32_t convert(const bmpsepia_char* jpeg_path, const bmpsepia_char* bmp_path) {
  char* in_path = narrow_path(jpeg_path);
  Input input{nullptr, 0};
  const LoadResult loaded = load_file(in_path, &input);
  platform_release(in_path);
  if (loaded == LoadResult::cannot_open) {
    emit_message("Error opening jpg. Please try again...");
    return BMPSEPIA_FAILED;
  }
  if (loaded == LoadResult::cannot_hold) {
    emit_message("Error decoding jpg. Please try again...");
    return BMPSEPIA_FAILED;
  }
  // Each call has a record of its own, so that calls from several threads do not meet.
  DecoderState* decoder = new_decoder();
  // The picture is rendered row by row straight into the file, never whole in memory.
  const int32_t decoded =
      decoder == nullptr ? status_failed : decode_jpeg(*decoder, input.bytes, input.size);
  platform_release(input.bytes);
  if (decoded != 0) {
    delete_decoder(decoder);
    emit_message("Error decoding jpg. Please try again...");
    return BMPSEPIA_FAILED;
  }
  char* out_path = narrow_path(bmp_path);
  const bool written =
      write_bmp_rows(out_path, decoder->width, decoder->height, render_bgr_row, decoder);
  platform_release(out_path);
  delete_decoder(decoder);
  return written ? BMPSEPIA_CONVERTED : BMPSEPIA_FAILED;
}

}  // namespace

extern "C" BMPSEPIA_API int BMPSepia(const bmpsepia_char* jpeg_path,
                                     const bmpsepia_char* bmp_path) {
  return convert(jpeg_path, bmp_path);
}

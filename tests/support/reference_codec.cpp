#include "support/reference_codec.h"

#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

namespace {

struct ErrorTrap {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void on_error(j_common_ptr info) { longjmp(reinterpret_cast<ErrorTrap*>(info->err)->jump, 1); }
void on_message(j_common_ptr, int) {}

}  // namespace

Bytes encode_jpeg(const Bytes& pixels, int32_t width, int32_t height,
                  const EncodeOptions& options) {
  jpeg_compress_struct info;
  ErrorTrap trap;
  info.err = jpeg_std_error(&trap.manager);
  trap.manager.error_exit = on_error;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  if (setjmp(trap.jump) != 0) {
    jpeg_destroy_compress(&info);
    free(buffer);
    return {};
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = options.components;
  info.in_color_space = options.components == 1   ? JCS_GRAYSCALE
                        : options.components == 4 ? JCS_CMYK
                                                  : JCS_RGB;
  jpeg_set_defaults(&info);
  if (options.ycck) jpeg_set_colorspace(&info, JCS_YCCK);
  jpeg_set_quality(&info, options.quality, options.extended ? FALSE : TRUE);
  for (int32_t i = 0; i < options.components; ++i) {
    info.comp_info[i].h_samp_factor = options.h_samp[i];
    info.comp_info[i].v_samp_factor = options.v_samp[i];
  }
  info.restart_interval = static_cast<unsigned int>(options.restart_interval);
  info.dct_method = JDCT_ISLOW;
  jpeg_start_compress(&info, TRUE);
  const int32_t row_bytes = width * options.components;
  while (info.next_scanline < info.image_height) {
    JSAMPROW row =
        const_cast<JSAMPROW>(&pixels[info.next_scanline * static_cast<size_t>(row_bytes)]);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  Bytes out(buffer, buffer + size);
  free(buffer);
  return out;
}

Bytes transcode(const std::string& options, const Bytes& jpeg, const TempDir& dir) {
  const std::string in = dir.path("transcode_in.jpg");
  const std::string out = dir.path("transcode_out.jpg");
  write_file(in, jpeg);
  const std::string command =
      "jpegtran " + options + " -outfile '" + out + "' '" + in + "' 2>/dev/null";
  if (system(command.c_str()) != 0) return {};
  return read_file(out);
}

bool reference_decode(const Bytes& jpeg, DecodedImage* image) {
  jpeg_decompress_struct info;
  ErrorTrap trap;
  info.err = jpeg_std_error(&trap.manager);
  trap.manager.error_exit = on_error;
  trap.manager.emit_message = on_message;
  if (setjmp(trap.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  info.dct_method = JDCT_ISLOW;
  info.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&info);
  image->width = static_cast<int32_t>(info.output_width);
  image->height = static_cast<int32_t>(info.output_height);
  image->components = info.output_components;
  const size_t row_bytes =
      static_cast<size_t>(image->width) * static_cast<size_t>(image->components);
  image->pixels.assign(row_bytes * static_cast<size_t>(image->height), 0);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = &image->pixels[info.output_scanline * row_bytes];
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

Bytes make_test_pixels(int32_t width, int32_t height, int32_t components, uint32_t seed) {
  Bytes pixels(static_cast<size_t>(width) * static_cast<size_t>(height) *
               static_cast<size_t>(components));
  uint32_t state = seed * 2654435761u + 1;
  size_t i = 0;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      for (int32_t c = 0; c < components; ++c) {
        state = state * 1664525u + 1013904223u;
        const int32_t smooth = (x * (3 + c) + y * (5 - c)) * 255 / (width + height + 1);
        const int32_t edge = ((x / 7 + y / 5 + c) % 3 == 0) ? 60 : 0;
        const int32_t noise = static_cast<int32_t>(state >> 28) - 8;
        int32_t v = smooth + edge + noise;
        v = v < 0 ? 0 : (v > 255 ? 255 : v);
        pixels[i++] = static_cast<uint8_t>(v);
      }
    }
  }
  return pixels;
}

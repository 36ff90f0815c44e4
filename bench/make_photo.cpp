// Builds a 24-megapixel test photograph from real photographs: crops tiled at full resolution
// (never enlarged), encoded at quality 90 with the given chroma subsampling, or as CMYK ink
// values (stored inverted, 255 for no ink, as print workflows store them).
//   make_photo CORPUS_DIR OUT.jpg 420|422|444|cmyk

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/files.h"
#include "support/reference_codec.h"

namespace {

constexpr int32_t width = 6000;
constexpr int32_t height = 4000;

struct Tile {
  const char* file;
  int32_t x, y, w, h;  // where the crop goes; it is taken from the photo's top-left corner
};

// The canvas filled by shelves of crops, largest photo first.
const Tile tiles[] = {
    {"lepton_slrhills_4608x3456_422.jpg", 0, 0, 4608, 3456},
    {"lepton_slrindoor_3456x4608_440_trailing.jpg", 4608, 0, 1392, 4000},
    {"lepton_iphone_3264x2448_420_dri204.jpg", 0, 3456, 3264, 544},
    {"jxl_flower_2268x1512_420_dri13.jpg", 3264, 3456, 1344, 544},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: make_photo CORPUS_DIR OUT.jpg 420|422|444|cmyk\n");
    return 2;
  }
  Bytes canvas(static_cast<size_t>(width) * height * 3);
  for (const Tile& tile : tiles) {
    DecodedImage photo;
    if (!reference_decode(read_file(std::string(argv[1]) + "/" + tile.file), &photo) ||
        photo.components != 3 || photo.width < tile.w || photo.height < tile.h) {
      fprintf(stderr, "make_photo: cannot use %s\n", tile.file);
      return 1;
    }
    for (int32_t y = 0; y < tile.h; ++y) {
      memcpy(&canvas[(static_cast<size_t>(tile.y + y) * width + tile.x) * 3],
             &photo.pixels[static_cast<size_t>(y) * photo.width * 3],
             static_cast<size_t>(tile.w) * 3);
    }
  }
  EncodeOptions options;
  options.quality = 90;
  const std::string layout = argv[3];
  if (layout == "cmyk") {
    // Black takes what the three inks share: its stored value is the brightest channel, and
    // each colour's stored value what is left of it under that black.
    Bytes inks(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0, o = 0; i < canvas.size(); i += 3, o += 4) {
      const int32_t top = std::max({canvas[i], canvas[i + 1], canvas[i + 2]});
      for (size_t c = 0; c < 3; ++c) {
        inks[o + c] = static_cast<uint8_t>(top == 0 ? 255 : canvas[i + c] * 255 / top);
      }
      inks[o + 3] = static_cast<uint8_t>(top);
    }
    options.components = 4;
    for (int32_t c = 0; c < 4; ++c) options.h_samp[c] = options.v_samp[c] = 1;
    write_file(argv[2], encode_jpeg(inks, width, height, options));
    return 0;
  }
  options.h_samp[0] = layout == "444" ? 1 : 2;
  options.v_samp[0] = layout == "420" ? 2 : 1;
  write_file(argv[2], encode_jpeg(canvas, width, height, options));
  return 0;
}

// Writes a small generated JPEG photograph stand-in, for the demonstration run.
#include <cstdio>

#include "support/reference_codec.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_sample OUT.jpg\n");
    return 2;
  }
  const int32_t width = 640, height = 480;
  EncodeOptions options;
  write_file(argv[1], encode_jpeg(make_test_pixels(width, height, 3, 7), width, height, options));
  return 0;
}

// Writes the generated seed inputs of the fuzz targets into a folder: the sample pictures of
// every sampling layout, greyscale, restart intervals and tiny size, and a few built around
// tables that the standard ones never exercise.

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "support/jpeg_builder.h"

namespace {

bool write(const std::string& path, const Bytes& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && written;
}

// One grey 16 x 8 picture coded with the given tables by `code`.
Bytes with_tables(const HuffmanSpec& dc, const HuffmanSpec& ac, void (*code)(EntropyCoder*)) {
  EntropyCoder coder(dc, ac, dc, ac);
  code(&coder);
  coder.bits.align();
  return JpegBuilder()
      .soi()
      .dqt(0, 255)
      .dht(0, 0, dc)
      .dht(1, 0, ac)
      .sof0(16, 8, {{1, 1, 1, 0}})
      .sos({{1, 0, 0}})
      .raw(coder.bits.bytes())
      .eoi()
      .bytes();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_seeds FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  mkdir(folder.c_str(), 0777);
  int written = 0;
  auto put = [&](const std::string& name, const Bytes& bytes) {
    if (!write(folder + "/" + name + ".jpg", bytes)) {
      fprintf(stderr, "make_seeds: cannot write %s\n", name.c_str());
      return;
    }
    ++written;
  };
  for (const NamedPicture& picture : sample_pictures())
    put(picture.name, make_jpeg(picture.recipe));
  // Every 16-bit prefix a code, so that the 1-bits past the end decode as blocks.
  put("tables_every_prefix", with_tables({{2}, {0, 0}}, {{2}, {0x00, 0x00}}, [](EntropyCoder* c) {
        c->dc_symbol(0, 0);
        c->ac_symbol(0, 0x00);
      }));
  // Extra-bit counts beyond the baseline ones, and a run that lands on position 63.
  put("tables_wide_sizes",
      with_tables({{0, 2}, {15, 11}}, {{0, 0, 4}, {0x00, 0x0F, 0xE1, 0xF0}}, [](EntropyCoder* c) {
        for (int block = 0; block < 2; ++block) {
          c->dc_symbol(0, 15);
          c->bits.put(0x4321, 15);
          c->ac_symbol(0, 0x0F);
          c->bits.put(0x1234, 15);
          c->ac_symbol(0, 0xF0);
          c->ac_symbol(0, 0xF0);
          c->ac_symbol(0, 0xE1);
          c->bits.put(1, 1);
        }
      }));
  printf("%d seeds written to %s\n", written, folder.c_str());
  return written == 0 ? 1 : 0;
}

// Writes the generated seed inputs of the fuzz targets into a folder: the sample pictures of
// every sampling layout, greyscale, restart intervals, tiny size, several scans, extended
// frames and four components, a few built around tables that the standard ones never
// exercise, and progressive and arithmetic-coded versions of some, made by jpegtran where it
// is installed.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
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
  // The same coefficients coded progressive and arithmetic, with restart intervals.
  const char* const recodings[][2] = {
      {"progressive", "-progressive"},
      {"progressive_dri1", "-progressive -restart 1B"},
      {"arithmetic_dri2", "-arithmetic -restart 2B"},
      {"arithmetic_progressive", "-arithmetic -progressive"},
  };
  for (const char* name :
       {"colour_420_35x21_dri2", "colour_422_33x17", "grey_13x7", "cmyk_16x16", "colour_420_1x1"}) {
    for (const auto& recoding : recodings) {
      const std::string in = folder + "/" + name + ".jpg";
      const std::string out = folder + "/" + name + "_" + recoding[0] + ".jpg";
      const std::string command = std::string("jpegtran ") + recoding[1] + " -outfile '" + out +
                                  "' '" + in + "' 2>/dev/null";
      if (system(command.c_str()) == 0) ++written;
    }
  }
  printf("%d seeds written to %s\n", written, folder.c_str());
  return written == 0 ? 1 : 0;
}

// In-process speed: JPEG bytes in memory to the sepia picture in memory, against the reference
// decoder's own decode to RGB (integer inverse DCT, no fancy upsampling).
//   bench PHOTO.jpg...

#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "entry/orientation.h"
#include "jpeg/decoder.h"
#include "support/decoded_picture.h"
#include "support/files.h"
#include "support/reference_codec.h"

namespace {

// Both sides write their picture into one buffer, sized and touched before any timing, as a
// program converting many photographs would keep it.
std::vector<uint8_t> picture;

// BMPSepia's path: a record of its own, the decode, then every row rendered.
void run_ours(benchmark::State& state, const Bytes* jpeg) {
  for (auto _ : state) {
    DecoderState* d = new_decoder();
    PictureRows rows;
    if (d == nullptr || decode_jpeg(*d, jpeg->data(), static_cast<int32_t>(jpeg->size())) != 0 ||
        !begin_rows(*d, false, RenderOptions{}, &rows)) {
      state.SkipWithError("decode failed");
      delete_decoder(d);
      break;
    }
    const size_t row_bytes = static_cast<size_t>(rows.width) * 3;
    for (int32_t y = 0; y < rows.height; ++y) {
      render_picture_row(&rows, y, &picture[static_cast<size_t>(y) * row_bytes]);
    }
    benchmark::DoNotOptimize(picture.data());
    end_rows(&rows);
    delete_decoder(d);
  }
}

void run_reference(benchmark::State& state, const Bytes* jpeg) {
  for (auto _ : state) {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg->data(), static_cast<unsigned long>(jpeg->size()));
    jpeg_read_header(&info, TRUE);
    info.dct_method = JDCT_ISLOW;
    info.do_fancy_upsampling = FALSE;
    // libjpeg gives four components only as ink values.
    if (info.num_components != 4) info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    const size_t row_bytes = size_t{info.output_width} * info.output_components;
    while (info.output_scanline < info.output_height) {
      JSAMPROW row = &picture[info.output_scanline * row_bytes];
      jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    benchmark::DoNotOptimize(picture.data());
  }
}

// Collects each benchmark's processor time per iteration, in seconds: on a busy machine it is
// steadier than wall time, and a single-threaded decode spends one on the other.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      seconds[run.run_name.function_name] =
          run.cpu_accumulated_time / static_cast<double>(run.iterations);
    }
  }
  std::map<std::string, double> seconds;
};

// Our plain colour must agree with the reference decoder before speed means anything. It
// gives four-component pictures as ink values, which become colour as ours do.
bool output_agrees(const Bytes& jpeg) {
  DecodedImage want;
  const DecodedPicture ours = decode_picture(jpeg, false);
  if (!reference_decode(jpeg, &want) || ours.result != 0 ||
      ours.pixels.size() != size_t{3} * want.width * want.height) {
    return false;
  }
  int32_t largest = 0;
  for (size_t i = 0; i < ours.pixels.size(); ++i) {
    const size_t pixel = i / 3;
    const int32_t reference =
        want.components == 4
            ? (want.pixels[4 * pixel + i % 3] * want.pixels[4 * pixel + 3] + 127) / 255
            : want.pixels[i];
    const int32_t d = std::abs(int32_t{ours.pixels[i]} - reference);
    largest = d > largest ? d : largest;
  }
  return largest <= 4;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::string> names;
  std::vector<Bytes> photos;
  std::vector<double> megapixels;
  photos.reserve(static_cast<size_t>(argc));
  for (int i = 1; i < argc; ++i) {
    photos.push_back(read_file(argv[i]));
    std::string name = argv[i];
    name = name.substr(name.rfind('/') + 1);
    if (photos.back().empty() || !output_agrees(photos.back())) {
      fprintf(stderr, "bench: %s does not decode as the reference does\n", argv[i]);
      return 1;
    }
    names.push_back(name);
    const DecodedPicture decoded = decode_picture(photos.back());
    megapixels.push_back(static_cast<double>(decoded.width) * decoded.height / 1e6);
    // Room for the reference's ink values, four bytes a pixel, and the spare byte rendering
    // may write past a row's end.
    const size_t bytes = decoded.pixels.size() / 3 * 4 + 1;
    if (bytes > picture.size()) picture.resize(bytes);
    benchmark::RegisterBenchmark(("ours/" + name).c_str(), run_ours, &photos.back())
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2.0);
    benchmark::RegisterBenchmark(("reference/" + name).c_str(), run_reference, &photos.back())
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2.0);
  }
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  // speed: the reference's time over ours; 0.5 means half as fast as the reference.
  printf("\n%-16s %10s %14s %8s %8s\n", "image", "ours ms", "reference ms", "speed", "MP/s");
  for (size_t i = 0; i < names.size(); ++i) {
    const double ours = collector.seconds["ours/" + names[i]];
    const double reference = collector.seconds["reference/" + names[i]];
    printf("%-16s %10.1f %14.1f %8.2f %8.1f\n", names[i].c_str(), ours * 1e3, reference * 1e3,
           reference / ours, megapixels[i] / ours);
  }
  return 0;
}

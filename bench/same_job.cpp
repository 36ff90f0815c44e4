// The same job in one process, timed by the wall clock: BMPSepia(IN, OUT) against the best
// program a user could write on the reference decoder, which reads the file into a fresh buffer,
// decodes it to blue, green, red with the integer inverse DCT and no fancy upsampling into a
// fresh zeroed buffer laid out as the BMP (rows bottom-up, padded), tones each pixel through a
// table on B+G+R, writes the whole file with one write to a temporary name and renames it. Both
// write into one folder (tmpfs where there is one). Runs alternate, A B A B; the ratio is taken
// per pair and its median printed.
//   same_job [--pairs N] OUT_FOLDER PHOTO.jpg...

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bmpsepia.h"
// After <cstdio>: the reference decoder's header uses FILE without including it.
#include <jpeglib.h>

namespace {

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

bool run_ours(const std::string& in, const std::string& out) {
  return BMPSepia(wide(in).c_str(), wide(out).c_str()) == BMPSEPIA_CONVERTED;
}

struct Tone {
  uint8_t bgr[766][3];
  Tone() {
    for (int32_t sum = 0; sum < 766; ++sum) {
      const int32_t grey = sum / 3;
      bgr[sum][0] = static_cast<uint8_t>(std::max(grey - 46, 0));
      bgr[sum][1] = static_cast<uint8_t>(grey);
      bgr[sum][2] = static_cast<uint8_t>(std::min(grey + 46, 255));
    }
  }
};
const Tone tone;

void put_le32(uint8_t* p, uint32_t v) {
  for (int32_t i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool run_reference(const std::string& in, const std::string& out) {
  FILE* file = fopen(in.c_str(), "rb");
  if (file == nullptr) return false;
  fseek(file, 0, SEEK_END);
  const long size = ftell(file);
  fseek(file, 0, SEEK_SET);
  auto* jpeg = static_cast<uint8_t*>(malloc(static_cast<size_t>(size)));
  const size_t got = fread(jpeg, 1, static_cast<size_t>(size), file);
  fclose(file);
  jpeg_decompress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg, static_cast<unsigned long>(got));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_EXT_BGR;
  info.dct_method = JDCT_ISLOW;
  info.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&info);
  const size_t width = info.output_width;
  const size_t height = info.output_height;
  const size_t stride = (width * 3 + 3) & ~size_t{3};
  const size_t bytes = 54 + stride * height;
  auto* bmp = static_cast<uint8_t*>(calloc(bytes, 1));
  while (info.output_scanline < height) {
    JSAMPROW row = bmp + 54 + (height - 1 - info.output_scanline) * stride;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  free(jpeg);
  for (size_t y = 0; y < height; ++y) {
    uint8_t* p = bmp + 54 + y * stride;
    for (size_t x = 0; x < width; ++x, p += 3) memcpy(p, tone.bgr[p[0] + p[1] + p[2]], 3);
  }
  bmp[0] = 'B';
  bmp[1] = 'M';
  put_le32(bmp + 2, static_cast<uint32_t>(bytes));
  put_le32(bmp + 10, 54);
  put_le32(bmp + 14, 40);
  put_le32(bmp + 18, static_cast<uint32_t>(width));
  put_le32(bmp + 22, static_cast<uint32_t>(height));
  bmp[26] = 1;
  bmp[28] = 24;
  const std::string temporary = out + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const bool written = fd >= 0 && write(fd, bmp, bytes) == static_cast<ssize_t>(bytes);
  if (fd >= 0) close(fd);
  free(bmp);
  return written && rename(temporary.c_str(), out.c_str()) == 0;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  int32_t pairs = 9;
  int first = 1;
  if (argc > 2 && strcmp(argv[1], "--pairs") == 0) {
    pairs = atoi(argv[2]);
    first = 3;
  }
  if (argc - first < 2 || pairs < 1) {
    fprintf(stderr, "usage: same_job [--pairs N] OUT_FOLDER PHOTO.jpg...\n");
    return 2;
  }
  const std::string folder = argv[first];
  const char* threads = getenv("BMPSEPIA_THREADS");
  const char* simd = getenv("BMPSEPIA_SIMD");
  printf("same job, %d pairs, BMPSEPIA_THREADS=%s BMPSEPIA_SIMD=%s\n", pairs,
         threads != nullptr ? threads : "(unset)", simd != nullptr ? simd : "(unset)");
  printf("%-24s %10s %12s %8s\n", "photo", "ours ms", "reference ms", "ratio");
  for (int i = first + 1; i < argc; ++i) {
    const std::string in = argv[i];
    const std::string ours_out = folder + "/same-job-ours.bmp";
    const std::string reference_out = folder + "/same-job-reference.bmp";
    // Warm the page cache and both paths once; the outputs must agree before timing means much.
    if (!run_ours(in, ours_out) || !run_reference(in, reference_out)) {
      fprintf(stderr, "same_job: %s failed\n", in.c_str());
      return 1;
    }
    std::vector<double> ours, reference, ratios;
    for (int32_t k = 0; k < pairs; ++k) {
      const double a = now_seconds();
      run_ours(in, ours_out);
      const double b = now_seconds();
      run_reference(in, reference_out);
      const double c = now_seconds();
      ours.push_back(b - a);
      reference.push_back(c - b);
      ratios.push_back((b - a) / (c - b));
    }
    unlink(ours_out.c_str());
    unlink(reference_out.c_str());
    const std::string name = in.substr(in.rfind('/') + 1);
    printf("%-24s %10.1f %12.1f %8.2f\n", name.c_str(), median(ours) * 1e3, median(reference) * 1e3,
           median(ratios));
  }
  return 0;
}

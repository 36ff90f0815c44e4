// libFuzzer target: BMPSepia itself, on a real input file and a real output path in a folder of
// its own. Crashes unless the call gives 999 with no message and a complete BMP of the frame's
// size, or 1 with the one decoding message and nothing written; in both cases with no heap
// held and no other file left in the folder. Built with BMPSEPIA_FUZZ_SALVAGE set, it runs the
// conversion routine salvaging instead, with the same demands of a salvaged picture.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bmpsepia.h"
#include "entry/conversion.h"
#include "platform/platform.h"
#include "support/conversion_check.h"

namespace {

#ifndef BMPSEPIA_FUZZ_SALVAGE
#define BMPSEPIA_FUZZ_SALVAGE 0
#endif
constexpr bool salvaging = BMPSEPIA_FUZZ_SALVAGE != 0;
constexpr int64_t salvage_max_pixels = 4'000'000;  // passed-over bytes hide the frame's size

std::string folder;
std::u16string in_path;
std::u16string out_path;
std::string out_narrow;
ConversionOutcome outcome;  // of the last salvaging conversion

[[noreturn]] void fault(const std::string& what) {
  fprintf(stderr, "convert_fuzzer: %s\n", what.c_str());
  abort();
}

std::u16string widen(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

// Runs BMPSepia with the C stream `stderr` swapped for one in memory: the messages are caught
// while a sanitizer's report, written straight to descriptor 2, still shows.
int convert(std::string* messages) {
  char* text = nullptr;
  size_t length = 0;
  FILE* memory = open_memstream(&text, &length);
  if (memory == nullptr) fault("no memory stream");
  FILE* console = stderr;
  stderr = memory;
  int result = 0;
  if (salvaging) {
    ConversionOptions options;
    options.salvage = true;
    options.max_pixels = salvage_max_pixels;
    outcome = convert_jpeg((folder + "/in.jpg").c_str(), out_narrow.c_str(), options);
    result = conversion_result(outcome);
  } else {
    result = BMPSepia(in_path.c_str(), out_path.c_str());
  }
  stderr = console;
  fclose(memory);
  messages->assign(text, length);
  free(text);
  return result;
}

std::vector<std::string> folder_entries() {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) fault("folder gone");
  while (const dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      names.push_back(entry->d_name);
    }
  }
  closedir(dir);
  return names;
}

void check_output(const std::vector<uint8_t>& jpeg) {
  int32_t width = 0;
  int32_t height = 0;
  const bool walked = declared_frame_size(jpeg, &width, &height);
  if (salvaging && (!walked || outcome.fault == Fault::junk_bytes)) {
    width = outcome.width;  // the walk may have been led astray
    height = outcome.height;
  } else if (!walked) {
    fault("converted a file without a frame");
  }
  FILE* f = fopen(out_narrow.c_str(), "rb");
  if (f == nullptr) fault("converted without an output file");
  std::vector<uint8_t> header(54);
  header.resize(fread(header.data(), 1, header.size(), f));
  fclose(f);
  struct stat info;
  if (stat(out_narrow.c_str(), &info) != 0) fault("output vanished");
  const std::string problem = bmp_problem(header, info.st_size, width, height);
  if (!problem.empty()) fault("output: " + problem);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/bmpsepia-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) fault("cannot make a folder");
  folder = pattern;
  in_path = widen(folder + "/in.jpg");
  out_narrow = folder + "/out.bmp";
  out_path = widen(out_narrow);
  atexit([] {
    unlink((folder + "/in.jpg").c_str());
    unlink(out_narrow.c_str());
    rmdir(folder.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> jpeg(data, data + size);
  if (too_large_to_fuzz(jpeg)) return 0;
  FILE* in = fopen((folder + "/in.jpg").c_str(), "wb");
  if (in == nullptr || fwrite(data, 1, size, in) != size || fclose(in) != 0) {
    fault("cannot write the input file");
  }
  const int32_t blocks_before = platform_live_allocations();
  std::string messages;
  const int result = convert(&messages);
  if (result == BMPSEPIA_CONVERTED) {
    if (!messages.empty()) fault("converted but printed: " + messages);
    check_output(jpeg);
    unlink(out_narrow.c_str());
  } else if (result == BMPSEPIA_FAILED) {
    if (messages != "Error decoding jpg. Please try again...\n") fault("failed with: " + messages);
  } else {
    fault("result " + std::to_string(result));
  }
  if (platform_live_allocations() != blocks_before) fault("heap blocks held after the call");
  const std::vector<std::string> left = folder_entries();
  if (left.size() != 1 || left[0] != "in.jpg") fault("files left beside the output");
  return 0;
}

#include "hardening/checked_conversion.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bmp/bmp_writer.h"
#include "bmpsepia.h"
#include "jpeg/decoder.h"
#include "platform/platform.h"
#include "support/conversion_check.h"
#include "support/decoded_picture.h"

namespace {

constexpr const char* decode_message = "Error decoding jpg. Please try again...\n";

int64_t file_bytes(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? int64_t{info.st_size} : -1;
}

Bytes head_of(const std::string& path, size_t count) {
  Bytes head(count);
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return {};
  head.resize(fread(head.data(), 1, count, f));
  fclose(f);
  return head;
}

}  // namespace

Conversion convert_catching_messages(const std::string& jpeg_path, const std::string& bmp_path) {
  char* text = nullptr;
  size_t length = 0;
  FILE* memory = open_memstream(&text, &length);
  FILE* console = stderr;
  fflush(console);
  stderr = memory;
  const std::u16string in = utf16(jpeg_path);
  const std::u16string out = utf16(bmp_path);
  const int result = BMPSepia(in.c_str(), out.c_str());
  stderr = console;
  fclose(memory);
  Conversion conversion{result, std::string(text, length)};
  free(text);
  return conversion;
}

namespace {

std::string describe(const Conversion& c) {
  return "result " + std::to_string(c.result) + ", messages \"" + c.messages + "\"";
}

std::string outcome_problem(const Bytes& jpeg, const Conversion& c, const std::string& out) {
  if (c.result == 1) {
    if (c.messages != decode_message) return "failed with " + describe(c);
    if (file_exists(out)) return "failed but wrote " + out;
    return "";
  }
  if (c.result != 999) return "unexpected " + describe(c);
  if (!c.messages.empty()) return "converted but printed \"" + c.messages + "\"";
  int32_t width = 0;
  int32_t height = 0;
  if (!declared_frame_size(jpeg, &width, &height)) return "converted a file without a frame";
  const std::string bmp = bmp_problem(head_of(out, 54), file_bytes(out), width, height);
  return bmp.empty() ? "" : "output: " + bmp;
}

}  // namespace

CheckedConversion convert_and_check(const Bytes& jpeg, const TempDir& dir) {
  const std::string in = dir.path("in.jpg");
  const std::string out = dir.path("out.bmp");
  write_file(in, jpeg);
  const int32_t blocks_before = platform_live_allocations();
  const Conversion c = convert_catching_messages(in, out);
  std::string problem = outcome_problem(jpeg, c, out);
  unlink(out.c_str());
  const int32_t held = platform_live_allocations() - blocks_before;
  if (problem.empty() && held != 0) {
    problem = std::to_string(held) + " heap blocks held after the call";
  }
  const std::vector<std::string> left = list_dir(dir.root());
  if (problem.empty() && (left.size() != 1 || left[0] != "in.jpg")) {
    problem = "files left in the folder:";
    for (const std::string& name : left) problem += " " + name;
  }
  return CheckedConversion{c.result, problem};
}

CheckedConversion decode_and_check(const Bytes& jpeg, bool salvage, int64_t max_pixels) {
  const int32_t blocks_before = platform_live_allocations();
  const DecodedPicture picture = decode_picture(jpeg, true, salvage, max_pixels);
  CheckedConversion outcome{picture.result == 0 ? 999 : 1, ""};
  outcome.damaged = picture.damage != Fault::none;
  outcome.pixel_hash = 14695981039346656037u;  // FNV-1a
  for (const uint8_t byte : picture.pixels)
    outcome.pixel_hash = (outcome.pixel_hash ^ byte) * 1099511628211u;
  if ((picture.result == 0) != (picture.fault == Fault::none)) {
    outcome.problem = "decode_jpeg gave " + std::to_string(picture.result) + " with fault " +
                      std::to_string(static_cast<int>(picture.fault));
  }
  int32_t width = 0;
  int32_t height = 0;
  // Bytes that salvage passed over may lead the check's walk of the segments astray.
  const bool walked = declared_frame_size(jpeg, &width, &height) &&
                      !(salvage && picture.damage == Fault::junk_bytes);
  if (salvage && !walked) {
    width = picture.width;
    height = picture.height;
  }
  const size_t pixel_bytes = size_t{3} * static_cast<size_t>(width) * static_cast<size_t>(height);
  if (outcome.result == 999 && !walked && !salvage) {
    outcome.problem = "decoded a file without a frame";
  } else if (outcome.result == 999 && (picture.width != width || picture.height != height)) {
    outcome.problem = "decoded " + std::to_string(picture.width) + "x" +
                      std::to_string(picture.height) + " from a frame of " + std::to_string(width) +
                      "x" + std::to_string(height);
  } else if (outcome.result == 999 && picture.pixels.size() != pixel_bytes) {
    outcome.problem = "rendered " + std::to_string(picture.pixels.size()) + " bytes";
  } else if (outcome.result == 999) {
    uint8_t header[bmp_header_bytes];
    build_bmp_header(width, height, header);
    outcome.problem = bmp_problem(Bytes(header, header + bmp_header_bytes),
                                  bmp_file_bytes(width, height), width, height);
  } else if (picture.fault == Fault::none) {
    outcome.problem = "failed without a fault";
  }
  const int32_t held = platform_live_allocations() - blocks_before;
  if (outcome.problem.empty() && held != 0) {
    outcome.problem = std::to_string(held) + " heap blocks held after the decode";
  }
  return outcome;
}

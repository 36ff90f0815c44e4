#include "support/conversion_check.h"

namespace {

int32_t be16(const std::vector<uint8_t>& b, size_t at) { return b[at] << 8 | b[at + 1]; }

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

bool skipped_segment(uint8_t code) {
  return code == 0xC4 || code == 0xCC || code == 0xDB || code == 0xDD ||
         (code >= 0xE0 && code <= 0xEF) || code == 0xFE;
}

// The frame types a decoder of sequential, progressive and arithmetic-coded files takes.
bool frame_marker(uint8_t code) {
  return code == 0xC0 || code == 0xC1 || code == 0xC2 || code == 0xC9 || code == 0xCA;
}

}  // namespace

bool declared_frame_size(const std::vector<uint8_t>& jpeg, int32_t* width, int32_t* height) {
  if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return false;
  size_t at = 2;
  while (at + 4 <= jpeg.size()) {
    if (jpeg[at] == 0xFF && jpeg[at + 1] == 0xFF) {  // a fill byte
      ++at;
      continue;
    }
    const uint8_t code = jpeg[at + 1];
    if ((code & 0xF8) == 0xD0) {  // a restart marker, which has no length
      at += 2;
      continue;
    }
    const size_t length = static_cast<size_t>(be16(jpeg, at + 2));
    if (frame_marker(code)) {
      if (at + 9 > jpeg.size()) return false;
      *height = be16(jpeg, at + 5);
      *width = be16(jpeg, at + 7);
      return true;
    }
    if (!skipped_segment(code) || length < 2) return false;
    at += 2 + length;
  }
  return false;
}

bool too_large_to_fuzz(const std::vector<uint8_t>& jpeg) {
  int32_t width = 0;
  int32_t height = 0;
  return declared_frame_size(jpeg, &width, &height) && int64_t{width} * height > 4'000'000;
}

int64_t bmp_file_bytes(int32_t width, int32_t height) {
  const int64_t row = (int64_t{width} * 3 + 3) / 4 * 4;
  return 54 + row * height;
}

std::string bmp_problem(const std::vector<uint8_t>& header, int64_t file_bytes, int32_t width,
                        int32_t height) {
  if (header.size() < 54) return "shorter than a BMP header";
  const int64_t want = bmp_file_bytes(width, height);
  if (file_bytes != want) {
    return "file has " + std::to_string(file_bytes) + " bytes, a " + std::to_string(width) + "x" +
           std::to_string(height) + " BMP has " + std::to_string(want);
  }
  const struct {
    size_t offset;
    uint32_t value;
    const char* field;
  } fields[] = {{2, static_cast<uint32_t>(want), "file size"},
                {10, 54, "pixel offset"},
                {14, 40, "info header size"},
                {18, static_cast<uint32_t>(width), "width"},
                {22, static_cast<uint32_t>(height), "height"},
                {26, 1 | 24 << 16, "planes and bits per pixel"},
                {30, 0, "compression"}};
  if (header[0] != 'B' || header[1] != 'M') return "no BM signature";
  for (const auto& f : fields) {
    const uint32_t have = le32(header, f.offset);
    if (have != f.value) {
      return std::string(f.field) + " is " + std::to_string(have) + ", want " +
             std::to_string(f.value);
    }
  }
  return "";
}

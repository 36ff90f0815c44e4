#include "support/bmp_picture.h"

#include <cstddef>

namespace {

uint32_t le32(const Bytes& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

size_t offset(const BmpPicture& p, int32_t x, int32_t y) {
  return 3 * (static_cast<size_t>(y) * static_cast<size_t>(p.width) + static_cast<size_t>(x));
}

BmpPicture blank(int32_t width, int32_t height) {
  BmpPicture p;
  p.width = width;
  p.height = height;
  p.bgr.resize(3 * static_cast<size_t>(width) * static_cast<size_t>(height));
  return p;
}

void copy_pixel(const BmpPicture& from, int32_t x, int32_t y, BmpPicture* to, int32_t to_x,
                int32_t to_y) {
  for (size_t k = 0; k < 3; ++k)
    to->bgr[offset(*to, to_x, to_y) + k] = from.bgr[offset(from, x, y) + k];
}

}  // namespace

bool read_bmp(const Bytes& file, BmpPicture* picture) {
  if (file.size() < 54 || file[0] != 'B' || file[1] != 'M' || le32(file, 10) != 54) return false;
  const auto width = static_cast<int32_t>(le32(file, 18));
  const auto height = static_cast<int32_t>(le32(file, 22));
  if (width < 0 || height < 0 || (file[28] | file[29] << 8) != 24) return false;
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  if (file.size() != 54 + stride * static_cast<size_t>(height)) return false;
  *picture = blank(width, height);
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = file.data() + 54 + stride * static_cast<size_t>(height - 1 - y);
    std::copy(row, row + 3 * static_cast<size_t>(width),
              picture->bgr.begin() + offset(*picture, 0, y));
  }
  return true;
}

BmpPicture turn_clockwise(const BmpPicture& p) {
  BmpPicture turned = blank(p.height, p.width);
  for (int32_t y = 0; y < p.height; ++y) {
    for (int32_t x = 0; x < p.width; ++x) copy_pixel(p, x, y, &turned, p.height - 1 - y, x);
  }
  return turned;
}

BmpPicture mirror_left_right(const BmpPicture& p) {
  BmpPicture mirrored = blank(p.width, p.height);
  for (int32_t y = 0; y < p.height; ++y) {
    for (int32_t x = 0; x < p.width; ++x) copy_pixel(p, x, y, &mirrored, p.width - 1 - x, y);
  }
  return mirrored;
}

BmpPicture upright(const BmpPicture& stored, int32_t orientation) {
  const auto half_turn = [](const BmpPicture& p) { return turn_clockwise(turn_clockwise(p)); };
  switch (orientation) {
    case 2:  // mirror left-right
      return mirror_left_right(stored);
    case 3:  // turn 180
      return half_turn(stored);
    case 4:  // mirror top-bottom
      return half_turn(mirror_left_right(stored));
    case 5:  // transpose: the top row becomes the left column
      return mirror_left_right(turn_clockwise(stored));
    case 6:  // turn 90 clockwise
      return turn_clockwise(stored);
    case 7:  // transverse: the top row becomes the right column, read upwards
      return half_turn(mirror_left_right(turn_clockwise(stored)));
    case 8:  // turn 90 counter-clockwise
      return half_turn(turn_clockwise(stored));
    default:
      return stored;
  }
}

std::string picture_difference(const BmpPicture& have, const BmpPicture& want) {
  if (have.width != want.width || have.height != want.height) {
    return "size " + std::to_string(have.width) + "x" + std::to_string(have.height) + ", want " +
           std::to_string(want.width) + "x" + std::to_string(want.height);
  }
  for (size_t i = 0; i < have.bgr.size(); ++i) {
    if (have.bgr[i] == want.bgr[i]) continue;
    const size_t pixel = i / 3;
    return "pixel x=" + std::to_string(pixel % static_cast<size_t>(have.width)) +
           " y=" + std::to_string(pixel / static_cast<size_t>(have.width)) + " byte " +
           std::to_string(i % 3) + ": " + std::to_string(have.bgr[i]) + ", want " +
           std::to_string(want.bgr[i]);
  }
  return "";
}

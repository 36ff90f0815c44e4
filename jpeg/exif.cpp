// The EXIF Orientation tag: a TIFF structure (either byte order) whose first IFD may hold tag
// 0x0112, a SHORT from 1 to 8.

#include "jpeg/exif.h"

#include <cstdint>

namespace {

constexpr int32_t tag_orientation = 0x0112;
constexpr int32_t type_short = 3;
constexpr int32_t ifd_entry_bytes = 12;

// A TIFF structure of `size` bytes in either byte order. Every read asks for its place first:
// offsets come from the file, so they are compared with what is left, never added to.
struct TiffReader {
  const uint8_t* start;
  int64_t size;
  bool little_endian;

  bool holds(int64_t at, int64_t bytes) const { return at >= 0 && at <= size - bytes; }
  uint32_t u16(int64_t at) const {
    const uint8_t* p = start + at;
    return little_endian ? uint32_t{p[0]} | uint32_t{p[1]} << 8 : uint32_t{p[0]} << 8 | p[1];
  }
  uint32_t u32(int64_t at) const {
    return little_endian ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  }
};

}  // namespace

int32_t tiff_orientation(const uint8_t* tiff, int32_t size) {
  if (size < 8) return 1;
  TiffReader r{tiff, size, tiff[0] == 'I'};
  const bool ordered = (tiff[0] == 'I' && tiff[1] == 'I') || (tiff[0] == 'M' && tiff[1] == 'M');
  if (!ordered || r.u16(2) != 42) return 1;
  const int64_t ifd = r.u32(4);
  if (!r.holds(ifd, 2)) return 1;
  // An IFD that claims more entries than the segment holds is damaged as a whole.
  const int64_t entries = r.u16(ifd);
  if (!r.holds(ifd + 2, entries * ifd_entry_bytes)) return 1;
  for (int64_t i = 0; i < entries; ++i) {
    const int64_t entry = ifd + 2 + i * ifd_entry_bytes;
    if (r.u16(entry) != tag_orientation) continue;
    // A SHORT of count 1 sits in the first two bytes of the value field.
    if (r.u16(entry + 2) != type_short || r.u32(entry + 4) != 1) return 1;
    const uint32_t value = r.u16(entry + 8);
    return value >= 1 && value <= 8 ? static_cast<int32_t>(value) : 1;
  }
  return 1;
}

#pragma once
// Readers and writers of multi-byte fields: JPEG fields are big-endian, BMP fields little-endian.

#include <cstdint>

inline int32_t read_be16(const uint8_t* p) { return int32_t{p[0]} << 8 | p[1]; }

inline void write_le16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void write_le32(uint8_t* p, uint32_t v) {
  write_le16(p, v & 0xFFFF);
  write_le16(p + 2, v >> 16);
}

#pragma once
// Marker codes (T.81 Table B.1): the byte after 0xFF that names a marker.

#include <cstdint>

namespace marker {

constexpr uint8_t sof0 = 0xC0;   // baseline
constexpr uint8_t sof1 = 0xC1;   // extended sequential, Huffman
constexpr uint8_t sof2 = 0xC2;   // progressive, Huffman
constexpr uint8_t sof3 = 0xC3;   // lossless, Huffman
constexpr uint8_t dht = 0xC4;    // Huffman tables
constexpr uint8_t sof7 = 0xC7;   // differential lossless, Huffman
constexpr uint8_t jpg = 0xC8;    // reserved for extensions
constexpr uint8_t sof9 = 0xC9;   // extended sequential, arithmetic
constexpr uint8_t sof10 = 0xCA;  // progressive, arithmetic
constexpr uint8_t sof11 = 0xCB;  // lossless, arithmetic
constexpr uint8_t dac = 0xCC;    // arithmetic conditioning
constexpr uint8_t sof15 = 0xCF;  // differential lossless, arithmetic
constexpr uint8_t rst0 = 0xD0;   // restart markers RST0..RST7
constexpr uint8_t soi = 0xD8;
constexpr uint8_t eoi = 0xD9;
constexpr uint8_t sos = 0xDA;
constexpr uint8_t dqt = 0xDB;
constexpr uint8_t dnl = 0xDC;  // number of lines
constexpr uint8_t dri = 0xDD;  // restart interval
constexpr uint8_t dhp = 0xDE;  // hierarchical progression
constexpr uint8_t exp = 0xDF;  // expand reference components
constexpr uint8_t app0 = 0xE0;
constexpr uint8_t app1 = 0xE1;
constexpr uint8_t app14 = 0xEE;
constexpr uint8_t app15 = 0xEF;
constexpr uint8_t com = 0xFE;
constexpr uint8_t fill = 0xFF;     // a fill byte before a marker; every marker's first byte
constexpr uint8_t stuffed = 0x00;  // after 0xFF in entropy-coded data: a data byte 0xFF

constexpr bool is_restart(uint8_t code) { return (code & 0xF8) == rst0; }
// 0xC0..0xCF but DHT, JPG and DAC: a frame header.
constexpr bool is_frame(uint8_t code) {
  return (code & 0xF0) == sof0 && code != dht && code != jpg && code != dac;
}
constexpr bool is_app(uint8_t code) { return code >= app0 && code <= app15; }

}  // namespace marker

// Where the entropy-coded data that starts at `from` ends: the next marker (0xFF followed by
// anything but a stuffed 0x00), or null when the input ends first.
inline const uint8_t* next_marker(const uint8_t* from, const uint8_t* end) {
  for (const uint8_t* p = from; p + 1 < end; ++p) {
    if (p[0] == marker::fill && p[1] != marker::stuffed) return p;
  }
  return nullptr;
}

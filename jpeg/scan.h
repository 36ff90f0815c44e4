#pragma once
// What the scan loops of sequential and progressive frames share: the scan header, and the walk
// over a scan's blocks with its restart intervals. A scan's coding (Huffman or arithmetic, into
// sample planes or into the coefficient store) is a class with three members:
//   bool failed() const;
//   void block(DecoderState& d, ComponentPlane& c, int32_t bx, int32_t by);  // block (bx, by)
//   void restart(DecoderState& d, const ScanHeader& scan, int32_t index);    // marker `index`
// The walk knows the order of blocks, not how their bits are coded.

#include <cstdint>

#include "jpeg/arithmetic.h"
#include "jpeg/bit_reader.h"
#include "jpeg/decoder.h"

// Work a frame's scans may ask for. Clean progressive scripts visit each block at most 64
// times, a first scan and refinements of each band, in far fewer scans.
constexpr int32_t max_scans = 1000;
constexpr int32_t max_visits_per_block = 100;

struct ScanHeader {
  int32_t count;
  ComponentPlane* components[max_components];  // in the scan header's order
  int32_t ss;                                  // spectral selection
  int32_t se;
  int32_t ah;  // successive approximation
  int32_t al;
};

// Blocks a scan visits: one component's own area when it is alone, whole MCUs otherwise.
inline int64_t scan_blocks(const DecoderState& d, const ScanHeader& scan) {
  if (scan.count == 1) {
    const ComponentPlane& c = *scan.components[0];
    return int64_t{(c.plane_width + 7) / 8} * ((c.plane_height + 7) / 8);
  }
  int64_t per_mcu = 0;
  for (int32_t i = 0; i < scan.count; ++i) {
    per_mcu += scan.components[i]->h_samp * scan.components[i]->v_samp;
  }
  return int64_t{d.mcus_across} * d.mcus_down * per_mcu;
}

// Counts MCUs down to each restart marker and has the coding read it.
template <class Coding>
struct RestartCounter {
  int32_t interval;
  int32_t countdown;
  int32_t index;

  // After an MCU that is not the scan's last.
  void after_mcu(DecoderState& d, const ScanHeader& scan, Coding& coding) {
    if (interval == 0 || --countdown != 0) return;
    coding.restart(d, scan, index);
    countdown = interval;
    index = (index + 1) & 7;
  }
};

// Walks the scan's blocks in their coded order: one component alone is one block per MCU,
// row by row over its own area; several are whole MCUs across the frame, each with every block
// of every scan component in the scan header's order.
template <class Coding>
void walk_scan(DecoderState& d, const ScanHeader& scan, Coding& coding) {
  RestartCounter<Coding> restart{d.restart_interval, d.restart_interval, 0};
  if (scan.count == 1) {
    ComponentPlane& c = *scan.components[0];
    const int32_t across = (c.plane_width + 7) / 8;
    const int32_t down = (c.plane_height + 7) / 8;
    for (int32_t by = 0; by < down && !coding.failed(); ++by) {
      for (int32_t bx = 0; bx < across && !coding.failed(); ++bx) {
        coding.block(d, c, bx, by);
        if (by != down - 1 || bx != across - 1) restart.after_mcu(d, scan, coding);
      }
    }
    return;
  }
  // The MCU's blocks, listed once: the planes' sample stores would otherwise have every
  // sampling factor read again for each block.
  struct McuBlock {
    ComponentPlane* component;
    int32_t h, v, h_samp, v_samp;
  };
  McuBlock blocks[max_components * 8 * 8];  // sampling factors go up to 8
  int32_t count = 0;
  for (int32_t i = 0; i < scan.count; ++i) {
    ComponentPlane& c = *scan.components[i];
    for (int32_t v = 0; v < c.v_samp; ++v) {
      for (int32_t h = 0; h < c.h_samp; ++h) blocks[count++] = {&c, h, v, c.h_samp, c.v_samp};
    }
  }
  for (int32_t my = 0; my < d.mcus_down && !coding.failed(); ++my) {
    for (int32_t mx = 0; mx < d.mcus_across && !coding.failed(); ++mx) {
      for (int32_t j = 0; j < count && !coding.failed(); ++j) {
        const McuBlock& b = blocks[j];
        coding.block(d, *b.component, mx * b.h_samp + b.h, my * b.v_samp + b.v);
      }
      if (my != d.mcus_down - 1 || mx != d.mcus_across - 1) restart.after_mcu(d, scan, coding);
    }
  }
}

// Where the entropy-coded data that starts at `from` ends: the next marker (0xFF followed by
// anything but a stuffed 0x00), or null when the input ends first.
inline const uint8_t* next_marker(const uint8_t* from, const uint8_t* end) {
  for (const uint8_t* p = from; p + 1 < end; ++p) {
    if (p[0] == 0xFF && p[1] != 0x00) return p;
  }
  return nullptr;
}

// The Huffman tables of a scan, each with its short-code table: [0 DC, 1 AC][slot].
struct ScanTables {
  FastEntry fast[2][table_slots][1 << fast_bits];
};

// Makes ready the Huffman tables a scan decodes with (its components' DC tables when `dc`, AC
// tables when `ac`; a slot no segment defined takes the standard table where there is one) and
// starts the scan's predictions and bits afresh. False (with `status` failed) where a table is
// missing.
bool start_huffman_scan(DecoderState& d, const ScanHeader& scan, bool dc, bool ac,
                        ScanTables& tables);

// Between restart intervals of Huffman-coded data the next restart marker must stand,
// byte-aligned; the reader passes it up as 16 bits of data.
inline void read_restart_marker(BitReader& r, int32_t index) {
  consume_bits(r, r.count & 7);  // the rest of a partly read byte
  need_bits(r, 16);
  if (peek_bits(r, 16) != (0xFFD0u | static_cast<uint32_t>(index))) {
    reader_fail(r, Fault::restart_out_of_order);
  }
  consume_bits(r, 16);
}

// The arithmetic-coded data of a scan: the reader and the statistics, which start afresh with
// each restart interval, as the DC predictions and conditioning do (T.81 F.2.4.4, G.2).
class ArithmeticData {
 public:
  ArithmeticData(const DecoderState& d, const ScanHeader& scan) {
    arithmetic_start(reader, d.cursor, d.input_end);
    start_interval(scan);
  }

  bool failed() const { return reader.failed; }

  // The next restart marker must follow the interval's data, past any bytes the decoder did
  // not need.
  void restart(DecoderState& d, const ScanHeader& scan, int32_t index);

  // Leaves the cursor on the marker after the scan's data, for the marker loop; a failure, or
  // data that the input ends inside with no marker, fails the decode.
  void finish(DecoderState& d);

  ArithmeticReader reader{};
  ArithmeticStats stats;

 private:
  void start_interval(const ScanHeader& scan);
  Fault fault_ = Fault::none;
};

// The scan of a progressive frame, into the coefficient store (progressive.cpp). The header
// has passed its checks; `status` tells the outcome.
void decode_progressive_scan(DecoderState& d, const ScanHeader& scan);

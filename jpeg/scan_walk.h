#pragma once
// What the coding processes share: the walk over a scan's blocks in their coded order, with its
// restart intervals. A scan's coding (Huffman or arithmetic, into sample planes or into the
// coefficient store) is a class with three members:
//   bool failed() const;
//   void block(DecoderState& d, ComponentPlane& c, int32_t bx, int32_t by);  // block (bx, by)
//   void restart(DecoderState& d, const ScanHeader& scan, int32_t index);    // marker `index`
// The walk knows the order of blocks, not how their bits are coded.

#include <cstdint>
#include <cstring>

#include "jpeg/arithmetic.h"
#include "jpeg/decoder.h"
#include "jpeg/marker_codes.h"
#include "jpeg/scan_header.h"

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
// When `final` (the scan completes a sequential picture), the MCU rows whose every block is
// decoded are published as they are done.
template <class Coding>
void walk_scan(DecoderState& d, const ScanHeader& scan, Coding& coding, bool final = false) {
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
      // The plane's block rows past its visible area are never coded.
      if (final && !coding.failed()) {
        publish_rows(d, by + 1 == down ? d.mcus_down : (by + 1) / c.v_samp);
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
    if (final && !coding.failed()) publish_rows(d, my + 1);
  }
}

// The arithmetic-coded data of a scan, for the codings of both processes: the reader and the
// statistics, which start afresh with each restart interval, as the DC predictions and
// conditioning do (T.81 F.2.4.4, G.2).
class ArithmeticScan {
 public:
  ArithmeticScan(const DecoderState& d, const ScanHeader& scan) {
    arithmetic_start(reader, d.cursor, d.input_end);
    start_interval(scan);
  }

  bool failed() const { return reader.fault != Fault::none; }

  // The next restart marker must follow the interval's data, past any bytes the decoder did
  // not need.
  void restart(DecoderState& d, const ScanHeader& scan, int32_t index) {
    const uint8_t* found = next_marker(reader.cursor, d.input_end);
    if (found == nullptr || found[1] != (marker::rst0 | index)) {
      if (reader.fault == Fault::none) {
        reader.fault = found == nullptr ? Fault::data_cut_short : Fault::restart_out_of_order;
      }
      return;
    }
    arithmetic_start(reader, found + 2, d.input_end);
    start_interval(scan);
  }

  // Leaves the cursor on the marker after the scan's data, for the marker loop; a fault, or
  // data that the input ends inside with no marker, fails the decode. Decisions that go wrong
  // where no marker ends the data are told as the data cut short, which they follow from.
  void finish(DecoderState& d) const {
    const uint8_t* end_marker = next_marker(reader.cursor, d.input_end);
    if (end_marker == nullptr) {
      const bool told = reader.fault != Fault::none && reader.fault != Fault::bad_arithmetic_data;
      fail(d, told ? reader.fault : Fault::data_cut_short, d.scan_count);
      return;
    }
    if (reader.fault != Fault::none) {
      fail(d, reader.fault, d.scan_count);
      return;
    }
    d.cursor = end_marker;
    d.bytes_left = static_cast<int32_t>(d.input_end - end_marker);
  }

  ArithmeticReader reader{};
  ArithmeticStats stats;

 private:
  void start_interval(const ScanHeader& scan) {
    memset(&stats, 0, sizeof stats);
    for (int32_t i = 0; i < scan.count; ++i) {
      scan.components[i]->dc_predictor = 0;
      scan.components[i]->dc_context = 0;
    }
  }
};

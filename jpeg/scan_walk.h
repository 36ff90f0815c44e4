#pragma once
// What the coding processes share: the walk over a scan's blocks in their coded order, with its
// restart intervals, and with salvage, what follows a fault in the data. A scan's coding
// (Huffman or arithmetic, into sample planes or into the coefficient store) is a class with:
//   bool failed() const;  Fault fault() const;
//   void block(DecoderState& d, ComponentPlane& c, int32_t bx, int32_t by);  // block (bx, by)
//   void restart(DecoderState& d, const ScanHeader& scan, int32_t index);    // marker `index`
//   const uint8_t* interval_start() const;  // the byte after the last marker read well
//   void drop(ComponentPlane& c, int32_t bx, int32_t by);  // a block salvage gives up
//   void resume(DecoderState& d, const ScanHeader& scan, const uint8_t* data);  // after a marker
//   void stop(DecoderState& d, const uint8_t* at);  // the scan ends; the marker loop goes on at
// The walk knows the order of blocks, not how their bits are coded.

#include <cstdint>
#include <cstring>

#include "jpeg/arithmetic.h"
#include "jpeg/decoder.h"
#include "jpeg/marker_codes.h"
#include "jpeg/salvage.h"
#include "jpeg/scan_header.h"

// The blocks of one MCU of a scan, listed once: the planes' sample stores would otherwise have
// every sampling factor read again for each block. A scan of one component has MCUs of one
// block, row by row over the component's own area.
struct ScanLayout {
  struct McuBlock {
    ComponentPlane* component;
    int32_t h, v, h_samp, v_samp;
  };
  McuBlock blocks[max_components * 8 * 8];  // sampling factors go up to 8
  int32_t count = 0;
  int32_t across = 0;  // MCUs
  int32_t down = 0;

  ScanLayout(const DecoderState& d, const ScanHeader& scan) {
    if (scan.count == 1) {
      ComponentPlane& c = *scan.components[0];
      blocks[count++] = {&c, 0, 0, 1, 1};
      across = (c.plane_width + 7) / 8;
      down = (c.plane_height + 7) / 8;
      return;
    }
    for (int32_t i = 0; i < scan.count; ++i) {
      ComponentPlane& c = *scan.components[i];
      for (int32_t v = 0; v < c.v_samp; ++v) {
        for (int32_t h = 0; h < c.h_samp; ++h) blocks[count++] = {&c, h, v, c.h_samp, c.v_samp};
      }
    }
    across = d.mcus_across;
    down = d.mcus_down;
  }
};

// The MCU rows of the picture whose blocks are final once `mcu_rows` rows of the scan's MCUs are:
// a one-component scan's block rows past its visible area are never coded.
inline int32_t picture_rows_done(const DecoderState& d, const ScanHeader& scan,
                                 const ScanLayout& layout, int32_t mcu_rows) {
  if (mcu_rows >= layout.down) return d.mcus_down;
  return scan.count == 1 ? mcu_rows / scan.components[0]->v_samp : mcu_rows;
}

// Salvage: where a scan goes on after a fault in restart interval `interval`, which began after
// the last marker read well (at `from`): at the next restart marker whose number is 1 to 7
// ahead of that marker's, the intervals between lost. Gives the interval to go on with, and in
// `data` where it begins; or -1 when no such marker comes before another marker or the end, and
// in `data` where the scan's data then ends.
inline int32_t resume_point(const DecoderState& d, int32_t interval, const uint8_t* from,
                            const uint8_t** data) {
  const int32_t last = (interval - 1) & 7;  // the number of the marker before the interval
  for (const uint8_t* p = from; (p = next_marker(p, d.input_end)) != nullptr; p += 2) {
    if (!marker::is_restart(p[1])) {
      *data = p;
      return -1;
    }
    const int32_t ahead = (p[1] - marker::rst0 - last) & 7;
    if (ahead != 0) {
      *data = p + 2;
      return interval + ahead;
    }
  }
  *data = d.input_end;
  return -1;
}

// Walks the scan's blocks in their coded order, MCU by MCU, the restart markers between their
// intervals. When `final` (the scan completes a sequential picture), the MCU rows whose every
// block is final are published as they are done. A fault ends the scan; salvaging, the MCU it
// is found in is given up (coding.drop), and the walk goes on at a later restart marker.
template <class Coding>
void walk_scan(DecoderState& d, const ScanHeader& scan, Coding& coding, bool final = false) {
  const ScanLayout layout(d, scan);
  const int32_t total = layout.across * layout.down;
  const int32_t interval_mcus = d.restart_interval;
  d.blocks_planned += int64_t{total} * layout.count;
  const auto publish = [&](int32_t mcus) {
    if (final) publish_rows(d, picture_rows_done(d, scan, layout, mcus / layout.across));
  };
  const auto drop_mcu = [&](int32_t mcu) {
    const int32_t mx = mcu % layout.across;
    const int32_t my = mcu / layout.across;
    for (int32_t j = 0; j < layout.count; ++j) {
      const ScanLayout::McuBlock& b = layout.blocks[j];
      coding.drop(*b.component, mx * b.h_samp + b.h, my * b.v_samp + b.v);
    }
  };
  for (int32_t mcu = 0; mcu < total;) {
    bool broken = false;  // the fault came in the MCU, not in the marker after it
    const int32_t mx = mcu % layout.across;
    const int32_t my = mcu / layout.across;
    for (int32_t j = 0; j < layout.count; ++j) {
      const ScanLayout::McuBlock& b = layout.blocks[j];
      coding.block(d, *b.component, mx * b.h_samp + b.h, my * b.v_samp + b.v);
      if (coding.failed()) {
        broken = true;
        break;
      }
    }
    if (!broken) {
      d.blocks_decoded += layout.count;
      ++mcu;
      if (mx == layout.across - 1) publish(mcu);
      if (interval_mcus == 0 || mcu == total || mcu % interval_mcus != 0) continue;
      coding.restart(d, scan, (mcu / interval_mcus - 1) & 7);
      if (!coding.failed()) continue;
    }
    if (!salvages(d, coding.fault())) return;  // the coding hands the fault over as it finishes
    note_damage(d, coding.fault(), d.scan_count);
    // The interval that began after the last marker read well: the fault's own, or after a
    // marker that did not come where it should, the one it ended.
    const int32_t interval = interval_mcus == 0 ? 0 : (broken ? mcu : mcu - 1) / interval_mcus;
    const uint8_t* data = nullptr;
    const int32_t next =
        interval_mcus == 0 ? -1 : resume_point(d, interval, coding.interval_start(), &data);
    const int32_t resume_mcu = next < 0 ? total : next * interval_mcus;
    // Published row by row as they are given up: a ring of rows holds only the last few.
    for (int32_t lost = mcu; lost < resume_mcu && lost < total; ++lost) {
      drop_mcu(lost);
      if ((lost + 1) % layout.across == 0) publish(lost + 1);
    }
    if (next < 0 || resume_mcu >= total) {
      publish(total);
      if (next >= 0) data = next_marker(data, d.input_end);
      coding.stop(d, data == nullptr ? d.input_end : data);
      return;
    }
    mcu = resume_mcu;
    publish(mcu - mcu % layout.across);
    coding.resume(d, scan, data);
  }
}

// The arithmetic-coded data of a scan, for the codings of both processes: the reader and the
// statistics, which start afresh with each restart interval, as the DC predictions and
// conditioning do (T.81 F.2.4.4, G.2).
class ArithmeticScan {
 public:
  ArithmeticScan(const DecoderState& d, const ScanHeader& scan) : interval_start_(d.cursor) {
    arithmetic_start(reader, d.cursor, d.input_end);
    start_interval(scan);
  }

  bool failed() const { return reader.fault != Fault::none; }
  Fault fault() const { return reader.fault; }
  const uint8_t* interval_start() const { return interval_start_; }

  void resume(DecoderState& d, const ScanHeader& scan, const uint8_t* data) {
    arithmetic_start(reader, data, d.input_end);
    start_interval(scan);
    interval_start_ = data;
  }

  void stop(DecoderState&, const uint8_t* at) {
    reader.fault = Fault::none;
    stop_at_ = at;
  }

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
    interval_start_ = found + 2;
  }

  // Leaves the cursor on the marker after the scan's data, for the marker loop; a fault, or
  // data that the input ends inside with no marker, fails the decode. Decisions that go wrong
  // where no marker ends the data are told as the data cut short, which they follow from.
  void finish(DecoderState& d) const {
    if (stop_at_ != nullptr) {  // salvage ended the scan early, there
      d.cursor = stop_at_;
      d.bytes_left = static_cast<int32_t>(d.input_end - stop_at_);
      return;
    }
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
  const uint8_t* interval_start_;
  const uint8_t* stop_at_ = nullptr;
  void start_interval(const ScanHeader& scan) {
    memset(&stats, 0, sizeof stats);
    for (int32_t i = 0; i < scan.count; ++i) {
      scan.components[i]->dc_predictor = 0;
      scan.components[i]->dc_context = 0;
    }
  }
};

#pragma once
// The scan header (T.81 B.2.3): which components a scan codes, with which tables, and which
// band and bits of their coefficients; and the checks that it fits the frame's process.

#include <cstdint>

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

// Reads the scan header: 1 to 4 of the frame's components, named by id in frame order, each
// once. False (with the decode failed) when it does not fit the frame.
bool read_scan_header(DecoderState& d, ScanHeader& scan);

// A sequential frame codes each component once, whole: spectral values 0, 63 and no successive
// approximation. A progressive scan must come in its script's order (T.81 G.1.1.1); it records
// the bits its bands then hold. False (with the decode failed) when the scan does not fit;
// salvaging, a sequential scan is read as if its fields fitted, and a progressive one out of
// order gives false without failing, to be passed over.
bool check_sequential_scan(DecoderState& d, const ScanHeader& scan);
bool check_progressive_scan(DecoderState& d, const ScanHeader& scan);

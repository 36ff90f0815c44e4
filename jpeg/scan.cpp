// A scan as the marker loop meets it: its header, the work it may ask for, and the coding
// process of the frame it belongs to.

#include <cstdint>
#include <cstring>

#include "jpeg/decoder.h"
#include "jpeg/marker_codes.h"
#include "jpeg/progressive.h"
#include "jpeg/scan_header.h"
#include "jpeg/sequential.h"
#include "platform/platform.h"

namespace {

// Three-component frames hold red, green, blue rather than YCbCr when an Adobe segment says
// so (transform 0), or when no JFIF or Adobe segment says anything and the components are
// named 'R', 'G', 'B'. Four components are YCCK when an Adobe segment says so (transform 2).
ColourModel colour_model(const DecoderState& d) {
  if (d.component_count == 1) return ColourModel::grey;
  if (d.component_count == 4) {
    return d.adobe_seen && d.adobe_transform == 2 ? ColourModel::ycck : ColourModel::cmyk;
  }
  if (d.jfif_seen) return ColourModel::ycbcr;
  if (d.adobe_seen) return d.adobe_transform == 0 ? ColourModel::rgb : ColourModel::ycbcr;
  const ComponentPlane* c = d.components;
  return c[0].id == 'R' && c[1].id == 'G' && c[2].id == 'B' ? ColourModel::rgb : ColourModel::ycbcr;
}

// A sequential frame's planes, made as its first scan begins: the whole picture, or only the
// last few MCU rows when one scan codes every component and the rows' taker takes each as it
// comes. Those rows are found by a mask, which needs a power of two of block rows: a plane of
// factor 3 down is held whole.
bool allocate_planes(DecoderState& d, const ScanHeader& scan) {
  const bool streamed =
      scan.count == d.component_count && d.rows_sink != nullptr && d.rows_sink(d.rows_context, 0);
  bool by_mask = true;
  for (int32_t i = 0; i < d.component_count; ++i) by_mask = by_mask && d.components[i].v_samp != 3;
  d.ring_rows = streamed && by_mask && d.mcus_down > ring_mcu_rows ? ring_mcu_rows : 0;
  for (int32_t i = 0; i < d.component_count; ++i) {
    ComponentPlane& c = d.components[i];
    const int32_t block_rows = d.ring_rows != 0 ? d.ring_rows * c.v_samp : c.blocks_down;
    c.ring_mask = d.ring_rows != 0 ? block_rows - 1 : -1;
    c.samples = static_cast<uint8_t*>(
        platform_allocate(static_cast<size_t>(int64_t{c.stride} * 8 * block_rows)));
    if (c.samples == nullptr) {
      fail(d, Fault::out_of_memory);
      return false;
    }
    if (d.salvage) memset(c.samples, 128, static_cast<size_t>(int64_t{c.stride} * 8 * block_rows));
  }
  return true;
}

// Passes over a scan's entropy-coded data, to the next marker that is not a restart marker.
void skip_scan_data(DecoderState& d) {
  const uint8_t* p = next_marker(d.cursor, d.input_end);
  while (p != nullptr && marker::is_restart(p[1])) p = next_marker(p + 2, d.input_end);
  d.cursor = p != nullptr ? p : d.input_end;
  d.bytes_left = static_cast<int32_t>(d.input_end - d.cursor);
}

}  // namespace

void decode_scan(DecoderState& d) {
  ++d.scan_count;
  // Without a frame there is nothing to decode into, and no picture to report.
  if (!d.frame_seen) {
    fail(d, Fault::no_frame);
    return;
  }
  // What the segments before the first scan said is all there is to say.
  if (d.scan_count == 1) d.colour_model = colour_model(d);
  ScanHeader scan{};
  if (!read_scan_header(d, scan)) return;
  ++d.scans_read;
  // A progressive script was counted at the frame already, as far as the file could be walked;
  // this holds whatever the walk saw.
  d.blocks_visited += scan_blocks(d, scan);
  if (d.scan_count > max_scans || (d.progressive && d.blocks_visited > d.visit_limit)) {
    fail(d, Fault::too_many_scans);
    return;
  }
  if (d.progressive) {
    if (check_progressive_scan(d, scan)) {
      decode_progressive_scan(d, scan);
    } else if (!failed(d)) {
      d.blocks_planned += scan_blocks(d, scan);  // planned, and lost
      skip_scan_data(d);
    }
    return;
  }
  if (!check_sequential_scan(d, scan)) return;
  if (d.components_coded == 0 && !allocate_planes(d, scan)) return;
  const bool final = d.components_coded + scan.count == d.component_count;
  decode_sequential_scan(d, scan, final);
  if (failed(d)) return;
  for (int32_t i = 0; i < scan.count; ++i) scan.components[i]->coded = true;
  d.components_coded += scan.count;
  if (final) {
    publish_rows(d, d.mcus_down);
    d.complete = true;
    return;
  }
  // The marker loop goes on from where the data ended: the reader stopped on the marker that
  // ends it, or before any bytes it did not need.
  d.bytes_left = static_cast<int32_t>(d.input_end - d.cursor);
}

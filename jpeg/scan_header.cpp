// The scan header and the checks of the frame's process.

#include "jpeg/scan_header.h"

#include <cstdint>

#include "jpeg/decoder.h"
#include "jpeg/salvage.h"

bool read_scan_header(DecoderState& d, ScanHeader& scan) {
  read_segment_length(d);
  if (failed(d)) return false;
  const auto refuse = [&d] {
    fail(d, Fault::bad_scan, d.scan_count);
    return false;
  };
  scan.count = d.segment_left >= 1 ? d.cursor[0] : 0;
  if (scan.count < 1 || scan.count > max_components || d.segment_left < 2 * scan.count + 4) {
    return refuse();
  }
  skip_bytes(d, 1);
  int32_t next = 0;  // the frame component after the last one named
  for (int32_t i = 0; i < scan.count; ++i) {
    const uint8_t id = d.cursor[0];
    const uint8_t selectors = d.cursor[1];
    // In the frame's order, which other decoders hold to too.
    ComponentPlane* c = nullptr;
    for (; next < d.component_count && c == nullptr; ++next) {
      if (d.components[next].id == id) c = &d.components[next];
    }
    if (c == nullptr || (selectors & 0xCC) != 0) return refuse();
    c->dc_table = selectors >> 4;
    c->ac_table = selectors & 0x0F;
    scan.components[i] = c;
    skip_bytes(d, 2);
  }
  scan.ss = d.cursor[0];
  scan.se = d.cursor[1];
  scan.ah = d.cursor[2] >> 4;
  scan.al = d.cursor[2] & 0x0F;
  skip_bytes(d, d.segment_left);
  return true;
}

bool check_sequential_scan(DecoderState& d, const ScanHeader& scan) {
  for (int32_t i = 0; i < scan.count; ++i) {
    if (scan.components[i]->coded) {
      fail(d, Fault::bad_scan, d.scan_count);
      return false;
    }
  }
  if (scan.ss == 0 && scan.se == 63 && scan.ah == 0 && scan.al == 0) return true;
  // Salvage reads the scan as if its fields were those of a sequential one.
  if (salvages(d, Fault::odd_scan_fields)) {
    note_damage(d, Fault::odd_scan_fields, d.scan_count);
    return true;
  }
  fail(d, Fault::odd_scan_fields, d.scan_count);
  return false;
}

bool check_progressive_scan(DecoderState& d, const ScanHeader& scan) {
  bool fits = scan.ss <= scan.se && scan.se <= 63 && (scan.ss != 0 || scan.se == 0) &&
              (scan.ss == 0 || scan.count == 1) && scan.al <= 13;
  for (int32_t i = 0; i < scan.count && fits; ++i) {
    const ComponentPlane& c = *scan.components[i];
    fits = scan.ss == 0 || c.last_al[0] >= 0;
    for (int32_t k = scan.ss; k <= scan.se && fits; ++k) {
      fits = scan.ah == 0 ? c.last_al[k] < 0 : c.last_al[k] == scan.ah && scan.al == scan.ah - 1;
    }
  }
  if (!fits) {
    // Salvage passes the scan over, judged against the scans decoded so far.
    if (salvages(d, Fault::bad_progression)) {
      note_damage(d, Fault::bad_progression, d.scan_count);
    } else {
      fail(d, Fault::bad_progression, d.scan_count);
    }
    return false;
  }
  for (int32_t i = 0; i < scan.count; ++i) {
    ComponentPlane& c = *scan.components[i];
    // Dequantised, at the end, with the tables in force at the component's first scan.
    if (!c.coded) {
      for (int32_t k = 0; k < 64; ++k) c.quant[k] = d.quant_tables[c.quant_index][k];
      c.coded = true;
    }
    for (int32_t k = scan.ss; k <= scan.se; ++k) c.last_al[k] = static_cast<int8_t>(scan.al);
  }
  return true;
}

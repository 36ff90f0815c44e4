// The marker loop that walks a JPEG file's segments, and the frame, restart-interval and
// application segments. The loop is the one walk over the segments: whatever a segment says
// of the picture (its colour model, its orientation) is read here, as the loop passes it.

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "common/byte_order.h"
#include "jpeg/decoder.h"
#include "jpeg/exif.h"
#include "jpeg/marker_codes.h"
#include "jpeg/salvage.h"
#include "jpeg/scan_header.h"
#include "platform/platform.h"

namespace {

// The marker codes the loop takes, whose segments it reads or passes over.
bool is_taken(uint8_t code) {
  return code == marker::sof0 || code == marker::sof1 || code == marker::sof2 ||
         code == marker::sof9 || code == marker::sof10 || code == marker::dht ||
         code == marker::sos || code == marker::dqt || code == marker::dri || code == marker::dac ||
         marker::is_app(code) || code == marker::com || marker::is_restart(code) ||
         code == marker::eoi;
}

// Reads the next marker and returns its code, with 0xFF fill bytes before it passed over.
// Before the first scan the marker's first byte is not examined, as files with a damaged one
// have always been read; after a scan's entropy-coded data only a marker may follow. Salvage
// passes over bytes without 0xFF where a strict decode would stop at them, to the next marker.
uint8_t read_marker(DecoderState& d) {
  if (d.bytes_left < 2) {
    fail(d, Fault::truncated);
    return 0;
  }
  const bool misplaced =
      d.cursor[0] != marker::fill && (d.scan_count > 0 || !is_taken(d.cursor[1]));
  // A strict decode fails at once on such bytes, with a fault salvage would pass over.
  if (misplaced && !d.salvage) d.junk_met = true;
  if (misplaced && salvages(d, Fault::junk_bytes)) {
    int32_t junk = 0;
    while (junk < d.bytes_left && d.cursor[junk] != marker::fill) ++junk;
    note_damage(d, Fault::junk_bytes, junk);
    skip_bytes(d, junk);
    if (d.bytes_left < 2) {
      fail(d, Fault::truncated);
      return 0;
    }
  }
  if (d.cursor[0] == marker::fill) {
    while (d.bytes_left > 2 && d.cursor[1] == marker::fill) skip_bytes(d, 1);
  } else if (d.scan_count > 0) {
    fail(d, Fault::not_a_marker);
    return 0;
  }
  skip_bytes(d, 2);
  return d.cursor[-1];
}

// Salvage, once the file ends or breaks off where a strict decode would refuse it: what was
// decoded stands, and blocks no scan reached are those of zero coefficients.
void keep_what_was_decoded(DecoderState& d) {
  note_damage(d, d.fault, d.fault_detail);
  d.fault = Fault::none;
  d.fault_detail = 0;
  for (int32_t i = 0; i < d.component_count && !d.progressive; ++i) {
    ComponentPlane& c = d.components[i];
    if (!c.coded) d.blocks_planned += int64_t{(c.plane_width + 7) / 8} * ((c.plane_height + 7) / 8);
    if (c.samples != nullptr) continue;
    // The first scan's header came, but not its data: the planes were never made.
    const int64_t bytes = int64_t{c.stride} * 8 * c.blocks_down;
    c.ring_mask = -1;
    c.samples = static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(bytes)));
    if (c.samples == nullptr) {
      fail(d, Fault::out_of_memory);
      return;
    }
    memset(c.samples, 128, static_cast<size_t>(bytes));
  }
  d.complete = true;
  publish_rows(d, d.mcus_down);
}

// Frame types by the low nibble of their marker 0xC0..0xCF: which the decoder takes, and why
// it refuses the others. 0xC4, 0xC8 and 0xCC are not frames.
bool read_frame_type(DecoderState& d, uint8_t code) {
  switch (code) {
    case marker::sof0:
    case marker::sof1:
    case marker::sof2:
    case marker::sof9:
    case marker::sof10:
      // A second frame is refused next, and salvage keeps the first: its process stands.
      if (d.frame_seen) return true;
      d.progressive = code == marker::sof2 || code == marker::sof10;
      d.arithmetic = code == marker::sof9 || code == marker::sof10;
      return true;
    case marker::sof3:
    case marker::sof7:
    case marker::sof11:
    case marker::sof15:
      fail(d, Fault::lossless);
      return false;
    default:  // the differential frames of a hierarchical process
      fail(d, Fault::hierarchical);
      return false;
  }
}

// The blocks that the scan whose header (after its length) is `header` would visit.
int64_t visits_of_scan(DecoderState& d, const uint8_t* header, int32_t bytes) {
  ScanHeader scan{};
  const int32_t count = bytes >= 1 ? header[0] : 0;
  if (count < 1 || count > max_components || bytes < 1 + 2 * count) return 0;
  for (int32_t i = 0; i < count; ++i) {
    for (int32_t j = 0; j < d.component_count; ++j) {
      if (d.components[j].id == header[1 + 2 * i]) scan.components[scan.count] = &d.components[j];
    }
    if (scan.components[scan.count] != nullptr) ++scan.count;
  }
  return scan.count == 0 ? 0 : scan_blocks(d, scan);
}

// A progressive frame's scans are counted before any is decoded, so that a script of thousands
// of scans, or one that would visit every block more than 100 times, is refused at once rather
// than after the work. The walk stops at the end of the image or at anything it cannot read
// past; the scans are counted again as they are decoded.
void check_scan_script(DecoderState& d) {
  const uint8_t* p = d.cursor;
  const uint8_t* end = d.input_end;
  int32_t scans = 0;
  int64_t visits = 0;
  while (end - p >= 4 && p[0] == marker::fill) {
    const uint8_t code = p[1];
    if (code == marker::fill || marker::is_restart(code)) {  // a fill byte, a stray restart
      p += code == marker::fill ? 1 : 2;
      continue;
    }
    if (code == marker::eoi) break;
    const int32_t length = read_be16(p + 2);
    if (length < 2 || end - p - 2 < length) break;
    p += 2 + length;
    if (code != marker::sos) continue;
    ++scans;
    visits += visits_of_scan(d, p - length + 2, length - 2);
    // Past the scan's data and its restart markers.
    while ((p = next_marker(p, end)) != nullptr && marker::is_restart(p[1])) p += 2;
    if (p == nullptr) break;
  }
  if (scans > max_scans || visits > d.visit_limit) fail(d, Fault::too_many_scans);
}

}  // namespace

int32_t decode_jpeg(DecoderState& d, const uint8_t* data, int32_t size) {
  begin_input(d, data, size);
  if (d.bytes_left < 2 || data[0] != marker::fill || data[1] != marker::soi) {
    fail(d, Fault::not_jpeg);
    return 1;
  }
  skip_bytes(d, 2);
  for (int32_t slot = 0; slot < table_slots; ++slot) {
    d.dc_upper[slot] = 1;  // arithmetic conditioning where no segment sets it
    d.ac_kx[slot] = 5;
  }
  d.orientation = 1;
  while (!failed(d) && !d.complete) {
    const uint8_t code = read_marker(d);
    if (failed(d)) break;
    if (marker::is_frame(code)) {
      if (read_frame_type(d, code)) parse_frame_header(d);
    } else if (code == marker::dht) {
      parse_huffman_tables(d);
    } else if (code == marker::sos) {
      decode_scan(d);
    } else if (code == marker::dqt) {
      parse_quant_tables(d);
    } else if (code == marker::dri) {
      parse_restart_interval(d);
    } else if (code == marker::dac) {
      parse_arithmetic_conditioning(d);
    } else if (marker::is_app(code)) {
      parse_app_segment(d, code);
    } else if (code == marker::com) {
      skip_segment(d);
    } else if (marker::is_restart(code)) {
      // A restart marker with no scan data around it: nothing to restart.
    } else if (code == marker::eoi) {
      // A progressive frame is complete at its end; coefficients no scan coded are zero.
      if (d.progressive && d.scan_count > 0) {
        d.complete = true;
        publish_rows(d, d.mcus_down);
      } else {
        fail(d, Fault::early_end_of_image);
      }
    } else if (code == marker::dnl) {
      fail(d, Fault::dnl);
    } else if (code == marker::dhp || code == marker::exp) {
      fail(d, Fault::hierarchical);
    } else {
      fail(d, Fault::unknown_marker, code);
    }
  }
  if (failed(d) && recovery_of(d.fault) == Recovery::keep_decoded && salvages(d, d.fault)) {
    keep_what_was_decoded(d);
  }
  return failed(d) ? 1 : 0;
}

void parse_frame_header(DecoderState& d) {
  // A second frame would replace the first one's planes while they are still held.
  if (d.frame_seen) {
    fail(d, Fault::second_frame);
    return;
  }
  d.frame_seen = true;
  read_segment_length(d);
  if (failed(d)) return;
  if (d.segment_left < 6) {
    fail(d, Fault::bad_segment);
    return;
  }
  if (d.cursor[0] != 8) {
    fail(d, Fault::precision, d.cursor[0]);
    return;
  }
  d.height = read_be16(d.cursor + 1);
  d.width = read_be16(d.cursor + 3);
  d.component_count = d.cursor[5];
  skip_bytes(d, 6);
  const int32_t count = d.component_count;
  // Two components make no picture, more overflow `components`.
  if (count != 1 && count != 3 && count != 4) {
    fail(d, Fault::component_count, count);
    return;
  }
  // A height of 0 would come later in a DNL segment, which the decoder does not take.
  if (d.height == 0) {
    fail(d, Fault::dnl);
    return;
  }
  if (d.width == 0 || d.segment_left < 3 * count) {
    fail(d, Fault::bad_segment);
    return;
  }
  int32_t h_max = 0;
  int32_t v_max = 0;
  for (int32_t i = 0; i < count; ++i) {
    ComponentPlane& c = d.components[i];
    c.id = d.cursor[0];
    c.h_samp = d.cursor[1] >> 4;
    c.v_samp = d.cursor[1] & 0x0F;
    for (const int32_t factor : {c.h_samp, c.v_samp}) {
      if (factor == 0 || (factor > 4 && factor != 8)) {
        fail(d, Fault::sampling_factor, factor);
        return;
      }
    }
    c.quant_index = d.cursor[2];
    if ((c.quant_index & 0xFC) != 0) {
      fail(d, Fault::bad_segment);
      return;
    }
    skip_bytes(d, 3);
    d.quant_used_mask |= 1 << c.quant_index;
    if (c.h_samp > h_max) h_max = c.h_samp;
    if (c.v_samp > v_max) v_max = c.v_samp;
  }
  // Planes are enlarged by whole ratios, so each factor must divide the largest in its direction.
  // Among 1 to 4 and 8 only 3 beside 2, 4 or 8 fails that, and 3 is the factor refused.
  for (int32_t i = 0; i < count; ++i) {
    if (h_max % d.components[i].h_samp != 0 || v_max % d.components[i].v_samp != 0) {
      fail(d, Fault::sampling_factor, 3);
      return;
    }
  }
  d.mcu_width = 8 * h_max;
  d.mcu_height = 8 * v_max;
  d.mcus_across = (d.width + d.mcu_width - 1) / d.mcu_width;
  d.mcus_down = (d.height + d.mcu_height - 1) / d.mcu_height;
  // Every picture is written as 3-byte pixels, and a BMP file's size must fit its 32-bit field:
  // refusing more than INT32_MAX bytes of pixels keeps every later picture size in 32 bits.
  if (int64_t{d.width} * d.height * 3 > INT32_MAX ||
      (d.max_pixels > 0 && int64_t{d.width} * d.height > d.max_pixels)) {
    fail(d, Fault::too_large);
    return;
  }
  int64_t blocks = 0;          // of the components' own areas
  int64_t covered_blocks = 0;  // of the areas whole MCUs cover
  for (int32_t i = 0; i < count; ++i) {
    ComponentPlane& c = d.components[i];
    c.plane_width = (c.h_samp * d.width + h_max - 1) / h_max;
    c.plane_height = (c.v_samp * d.height + v_max - 1) / v_max;
    c.blocks_across = c.h_samp * d.mcus_across;
    c.blocks_down = c.v_samp * d.mcus_down;
    c.stride = 8 * c.blocks_across;
    blocks += int64_t{(c.plane_width + 7) / 8} * ((c.plane_height + 7) / 8);
    covered_blocks += int64_t{c.blocks_across} * c.blocks_down;
  }
  // Sequential frames decode into whole planes; progressive ones gather 16-bit coefficients
  // and render from planes of one MCU row. All buffers of a picture together, the input
  // included, stay within 2 GiB.
  int64_t buffer_bytes = d.input_end - d.cursor;
  for (int32_t i = 0; i < count; ++i) {
    const ComponentPlane& c = d.components[i];
    const int64_t rows = d.progressive ? 8 * c.v_samp : 8 * int64_t{c.blocks_down};
    buffer_bytes += c.stride * rows;
    if (d.progressive) buffer_bytes += int64_t{c.blocks_across} * c.blocks_down * 64 * 2;
  }
  if (buffer_bytes > INT32_MAX) {
    fail(d, Fault::too_large);
    return;
  }
  // A Huffman-coded block takes at least two bits in a sequential scan (a one-bit DC code and a
  // one-bit end of block), and at least one in a progressive frame's first DC scan. A frame of
  // more blocks than the input left could code could only be decoded from the 1-bits that stand
  // in past the end: refusing it before anything is allocated keeps the memory and time of a
  // decode in proportion to the input, not to the size its header claims. Arithmetic coding
  // can code a block in less than a bit, so only the 2 GiB bound holds it.
  const int64_t bits_per_block = d.arithmetic ? 0 : d.progressive ? 1 : 2;
  if (blocks * bits_per_block > int64_t{d.bytes_left} * 8) {
    // Salvage holds a frame by the 2 GiB bound alone, as arithmetic-coded ones are.
    if (salvages(d, Fault::too_little_data)) {
      note_damage(d, Fault::too_little_data, 0);
    } else {
      fail(d, Fault::too_little_data);
      return;
    }
  }
  // A sequential frame's planes wait for its first scan, which tells whether they must hold the
  // whole picture; a progressive one renders from planes of one MCU row.
  for (int32_t i = 0; d.progressive && i < count; ++i) {
    ComponentPlane& c = d.components[i];
    c.samples =
        static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(c.stride * 8 * c.v_samp)));
    if (c.samples == nullptr) {
      fail(d, Fault::out_of_memory);
      return;
    }
    const auto store_bytes = static_cast<size_t>(int64_t{c.blocks_across} * c.blocks_down * 128);
    c.coefficients = static_cast<int16_t*>(platform_allocate(store_bytes));
    if (c.coefficients == nullptr) {
      fail(d, Fault::out_of_memory);
      return;
    }
    platform_fill(c.coefficients, store_bytes);
    for (int8_t& al : c.last_al) al = -1;
  }
  skip_bytes(d, d.segment_left);
  d.visit_limit = covered_blocks * max_visits_per_block;
  if (d.progressive) check_scan_script(d);
}

void parse_restart_interval(DecoderState& d) {
  read_segment_length(d);
  if (failed(d)) return;
  if (d.segment_left != 2) {
    fail(d, Fault::bad_segment);
    return;
  }
  d.restart_interval = read_be16(d.cursor);
  skip_bytes(d, 2);
}

void parse_app_segment(DecoderState& d, uint8_t code) {
  read_segment_length(d);
  if (failed(d)) return;
  if (d.segment_left < 0) {
    fail(d, Fault::bad_segment);
    return;
  }
  const uint8_t* content = d.cursor;
  const int32_t bytes = d.segment_left;
  // Only what comes before the first scan says how to read the picture.
  if (d.scan_count == 0) {
    if (code == marker::app0 && bytes >= 5 && memcmp(content, "JFIF", 5) == 0) {
      d.jfif_seen = true;
    } else if (code == marker::app14 && bytes >= 12 && memcmp(content, "Adobe", 5) == 0) {
      d.adobe_seen = true;
      d.adobe_transform = content[11];
    } else if (code == marker::app1 && !d.exif_seen && bytes >= 6 &&
               memcmp(content, "Exif\0\0", 6) == 0) {
      d.exif_seen = true;
      d.orientation = tiff_orientation(content + 6, bytes - 6);
    }
  }
  skip_bytes(d, bytes);
}

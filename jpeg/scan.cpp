// The scan: its header, the tables it needs, the block loops with restart markers, and the
// decoding of one 8x8 block from Huffman codes to samples in its plane.

#include <cstdint>
#include <cstring>

#include "common/integer.h"
#include "common/vector_units.h"
#include "jpeg/bit_reader.h"
#include "jpeg/decoder.h"
#include "platform/platform.h"

const uint8_t zigzag_order[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                  35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                  58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

namespace {

struct ScanHeader {
  int32_t count;
  ComponentPlane* components[max_components];  // in the scan header's order
  int32_t ss;                                  // spectral selection
  int32_t se;
  int32_t ah;  // successive approximation
  int32_t al;
};

// Reads the scan header: 1 to 4 of the frame's components, named by id in frame order, none
// already decoded, with sequential spectral values. False (with `status` failed)
// otherwise.
bool read_scan_header(DecoderState& d, ScanHeader& scan) {
  read_segment_length(d);
  if (d.status != status_running) return false;
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
    // Each named once, in the frame's order (T.81 B.2.3), which other decoders hold to too.
    ComponentPlane* c = nullptr;
    for (; next < d.component_count && c == nullptr; ++next) {
      if (d.components[next].id == id) c = &d.components[next];
    }
    if (c == nullptr || c->coded || (selectors & 0xCC) != 0) return refuse();
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
  if (scan.ss != 0 || scan.se != 63 || scan.ah != 0 || scan.al != 0) return refuse();
  return true;
}

// The Huffman tables of the scan, each with its short-code table.
struct ScanTables {
  FastEntry fast[2][table_slots][1 << fast_bits];
};

// Makes ready the table of `table_class` in `slot`: a slot no segment defined takes the
// standard table where there is one. False (with `status` failed) where there is none.
bool prepare_huffman_table(DecoderState& d, int32_t table_class, int32_t slot, ScanTables& tables,
                           uint32_t& built) {
  const uint32_t bit = 1u << (4 * table_class + slot);
  if ((built & bit) != 0) return true;
  if ((d.huffman_defined_mask & bit) == 0 &&
      (slot > 1 || !install_standard_huffman_table(d, table_class, slot))) {
    fail(d, Fault::missing_table, d.scan_count);
    return false;
  }
  build_fast_table(d.huffman_lookup[table_class][slot], tables.fast[table_class][slot]);
  built |= bit;
  return true;
}

// Between restart intervals the data must carry the next restart marker, byte-aligned; the DC
// predictions start again after it.
void read_restart_marker(BitReader& r, const ScanHeader& scan, int32_t index) {
  consume_bits(r, r.count & 7);  // the rest of a partly read byte
  need_bits(r, 16);
  if (peek_bits(r, 16) != (0xFFD0u | static_cast<uint32_t>(index))) {
    reader_fail(r, Fault::restart_out_of_order);
  }
  consume_bits(r, 16);
  for (int32_t i = 0; i < scan.count; ++i) scan.components[i]->dc_predictor = 0;
}

// Reads one block's codes into `coefficients`, dequantised, in natural order. Returns the rows
// that may hold a non-zero coefficient (bit r for row r).
inline uint32_t read_coefficients(DecoderState& d, BitReader& r, const ScanTables& tables,
                                  ComponentPlane& component) {
  int32_t* coefficients = d.coefficients;  // all zero on entry
  const uint16_t* quant = d.quant_tables[component.quant_index];
  const int32_t dc_slot = component.dc_table;
  const HuffmanValue dc = read_huffman(r, tables.fast[0][dc_slot], d.huffman_lookup[0][dc_slot]);
  component.dc_predictor = wrap_add(component.dc_predictor, dc.value);
  coefficients[0] = wrap_mul(component.dc_predictor, quant[0]);
  const FastEntry* ac_fast = tables.fast[1][component.ac_table];
  const HuffmanEntry* ac_full = d.huffman_lookup[1][component.ac_table];
  uint32_t rows_used = 1;
  // A failure ends the scan after this block, so the loop need not ask about it: a code that
  // is not found gives symbol 0 and ends the block, and every pass moves k on.
  for (int32_t k = 0; k < 63;) {
    const HuffmanValue ac = read_huffman(r, ac_fast, ac_full);
    if ((ac.symbol & 0x0F) == 0) {  // no extra bits: end of block, or sixteen zeros
      if (ac.symbol == 0) break;
      if (ac.symbol != 0xF0) {
        reader_fail(r, Fault::bad_coefficients);
        break;
      }
    }
    k += (ac.symbol >> 4) + 1;
    if (k > 63) {
      reader_fail(r, Fault::bad_coefficients);
      break;
    }
    const int32_t natural = zigzag_order[k];
    // At most 15 extra bits and 16-bit quantisers: the product stays below 2^31.
    coefficients[natural] = ac.value * quant[k];
    rows_used |= 1u << (natural >> 3);
  }
  return rows_used;
}

// Decodes one block. The reader is held in locals for the block: plane stores (bytes, which may
// alias anything) would otherwise send it back to memory after each one.
void decode_block_from(DecoderState& d, BitReader& reader, const ScanTables& tables,
                       ComponentPlane* component, uint8_t* dest) {
  BitReader r = reader;
  const uint32_t rows_used = read_coefficients(d, r, tables, *component);
  reader = r;
  // After a failure the scan stops and the plane's samples no longer matter.
  if (!r.failed) transform_block(d.coefficients, rows_used, dest, component->stride);
}

// Counts MCUs down to each restart marker and reads it.
struct RestartCounter {
  int32_t interval;
  int32_t countdown;
  int32_t index;

  // After an MCU that is not the scan's last.
  void after_mcu(BitReader& r, const ScanHeader& scan) {
    if (interval == 0 || --countdown != 0) return;
    read_restart_marker(r, scan, index);
    countdown = interval;
    index = (index + 1) & 7;
  }
};

// A scan of one component: one block per MCU, over the blocks of the component's own area.
void decode_blocks(DecoderState& d, const ScanHeader& scan, const ScanTables& tables,
                   BitReader& r) {
  ComponentPlane* c = scan.components[0];
  const int32_t across = (c->plane_width + 7) / 8;
  const int32_t down = (c->plane_height + 7) / 8;
  RestartCounter restart{d.restart_interval, d.restart_interval, 0};
  for (int32_t by = 0; by < down && !r.failed; ++by) {
    uint8_t* row = c->samples + 8 * by * c->stride;
    for (int32_t bx = 0; bx < across && !r.failed; ++bx) {
      decode_block_from(d, r, tables, c, row + 8 * bx);
      if (by != down - 1 || bx != across - 1) restart.after_mcu(r, scan);
    }
  }
}

// A scan of several components: MCUs across the frame, each with every block of every scan
// component, in the scan header's order.
void decode_mcus(DecoderState& d, const ScanHeader& scan, const ScanTables& tables, BitReader& r) {
  RestartCounter restart{d.restart_interval, d.restart_interval, 0};
  for (int32_t my = 0; my < d.mcus_down && !r.failed; ++my) {
    for (int32_t mx = 0; mx < d.mcus_across && !r.failed; ++mx) {
      for (int32_t i = 0; i < scan.count && !r.failed; ++i) {
        ComponentPlane* c = scan.components[i];
        for (int32_t v = 0; v < c->v_samp && !r.failed; ++v) {
          uint8_t* row = c->samples + 8 * ((my * c->v_samp + v) * c->stride + mx * c->h_samp);
          for (int32_t h = 0; h < c->h_samp && !r.failed; ++h) {
            decode_block_from(d, r, tables, c, row + 8 * h);
          }
        }
      }
      if (my != d.mcus_down - 1 || mx != d.mcus_across - 1) restart.after_mcu(r, scan);
    }
  }
}

}  // namespace

void decode_scan(DecoderState& d) {
  ++d.scan_count;
  // Without a frame there is nothing to decode into, and no picture to report.
  if (!d.frame_seen) {
    fail(d, Fault::no_frame);
    return;
  }
  ScanHeader scan;
  if (!read_scan_header(d, scan)) return;
  ScanTables tables;
  uint32_t built = 0;
  for (int32_t i = 0; i < scan.count; ++i) {
    const ComponentPlane* c = scan.components[i];
    if (!prepare_huffman_table(d, 0, c->dc_table, tables, built) ||
        !prepare_huffman_table(d, 1, c->ac_table, tables, built)) {
      return;
    }
  }
  for (int32_t i = 0; i < scan.count; ++i) scan.components[i]->dc_predictor = 0;
  d.bit_buffer = 0;
  d.bit_count = 0;
  BitReader r = load_bit_reader(d);
  platform_fill(d.coefficients, sizeof d.coefficients);
  if (scan.count == 1) {
    decode_blocks(d, scan, tables, r);
  } else {
    decode_mcus(d, scan, tables, r);
  }
  store_bit_reader(d, r);
  if (r.failed) return;
  for (int32_t i = 0; i < scan.count; ++i) scan.components[i]->coded = true;
  d.components_coded += scan.count;
  if (d.components_coded == d.component_count) {
    d.status = status_scan_done;
    return;
  }
  // The marker loop goes on from where the data ended: the reader stopped on the marker that
  // ends it, or before any bytes it did not need.
  d.bytes_left = static_cast<int32_t>(d.input_end - d.cursor);
}

void decode_block(DecoderState& d, ComponentPlane* component, uint8_t* dest) {
  if (d.huffman_lookup[0][component->dc_table] == nullptr ||
      d.huffman_lookup[1][component->ac_table] == nullptr) {
    fail(d, Fault::missing_table, d.scan_count);
    return;
  }
  ScanTables tables;
  build_fast_table(d.huffman_lookup[0][component->dc_table], tables.fast[0][component->dc_table]);
  build_fast_table(d.huffman_lookup[1][component->ac_table], tables.fast[1][component->ac_table]);
  BitReader r = load_bit_reader(d);
  platform_fill(d.coefficients, sizeof d.coefficients);
  decode_block_from(d, r, tables, component, dest);
  store_bit_reader(d, r);
}
